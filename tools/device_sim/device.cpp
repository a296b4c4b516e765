#include "device.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "crypto.h"
#include "tftp_client.h"

namespace sim {
namespace {

constexpr size_t kVersionOffset = 92;
constexpr size_t kVersionMax = 35;
constexpr size_t kMaxFileName = 255;

std::string htmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '&') out += "&amp;";
        else out += c;
    }
    return out;
}

// UTF-8 text in Windows-1252; a character that code page lacks, or a byte
// that is not UTF-8, becomes '?'.
std::string toWindows1252(const std::string& text) {
    static const unsigned short high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    std::string out;
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        int length = byte < 0x80                   ? 1
                     : byte >= 0xC2 && byte < 0xE0 ? 2
                     : byte >= 0xE0 && byte < 0xF0 ? 3
                     : byte >= 0xF0 && byte < 0xF5 ? 4
                                                   : 0;
        unsigned cp = length == 1 ? byte : byte & (0xFFu >> (length + 1));
        for (int k = 1; k < length; ++k) {
            auto next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
            if ((next & 0xC0) != 0x80) length = 0;
            else cp = cp << 6 | (next & 0x3F);
        }
        if (length == 0) {
            out += '?';
            ++i;
            continue;
        }
        i += static_cast<size_t>(length);
        char mapped = '?';
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) mapped = static_cast<char>(cp);
        for (unsigned k = 0; k < 32; ++k)
            if (high[k] == cp) mapped = static_cast<char>(0x80 + k);
        out += mapped;
    }
    return out;
}

HttpResponse page(int status, const std::string& title, const std::string& body) {
    HttpResponse r;
    r.status = status;
    r.body = "<html><head><title>" + title + "</title></head><body>" + body + "</body></html>\n";
    return r;
}

}  // namespace

std::string imageVersion(const std::vector<uint8_t>& image) {
    std::string version;
    for (size_t i = kVersionOffset; i < image.size() && i < kVersionOffset + kVersionMax && image[i] != 0; ++i)
        version += static_cast<char>(image[i]);
    return version;
}

bool parseUpgradeSource(const std::string& text, uint32_t& address, uint16_t& port, std::string& file) {
    const std::string scheme = "tftp://";
    if (text.compare(0, scheme.size(), scheme) != 0) return false;
    size_t hostEnd = text.find_first_of(":/", scheme.size());
    if (hostEnd == std::string::npos) return false;
    if (!parseIPv4(std::string_view(text).substr(scheme.size(), hostEnd - scheme.size()), address) || address == 0)
        return false;
    size_t pos = hostEnd;
    port = 69;
    if (text[pos] == ':') {
        size_t digitsEnd = text.find('/', pos + 1);
        if (digitsEnd == std::string::npos || digitsEnd == pos + 1 || digitsEnd - pos - 1 > 5) return false;
        unsigned long value = 0;
        for (size_t i = pos + 1; i < digitsEnd; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            value = value * 10 + static_cast<unsigned long>(text[i] - '0');
        }
        if (value == 0 || value > 65535) return false;
        port = static_cast<uint16_t>(value);
        pos = digitsEnd;
    }
    file = text.substr(pos);  // from the '/' on
    return file.size() > 1 && file.size() <= kMaxFileName;
}

Device::Device(const Options& options, Log& log)
    : options_(options),
      log_(log),
      server_(log,
              HttpBehaviour{options.noAnswer, options.neverClose, options.slowAnswerMs, options.dripAnswerMs,
                            options.slowAnswers, options.http10, options.chunkBytes, options.keepAliveMs,
                            options.lowercaseHeaders},
              [this](const HttpRequest& request) { return handle(request); }) {
    digest_.user = options.user;
    digest_.password = options.password;
    digest_.realm = options.realm;
    digest_.opaque = options.opaque;
    digest_.qop = options.qop;
    digest_.algorithm = options.algorithm;
    nonce_ = newNonce();
    softwareVersion_ = options.softwareVersion;
}

Device::~Device() {
    stop();
    server_.stop();
}

bool Device::start(std::string& error) {
    if (!server_.start(options_.addressValue, options_.httpPort, error)) return false;
    std::string nonce;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nonce = nonce_;
    }
    log_.write(Json("ready")
                   .str("address", options_.address)
                   .num("http_port", options_.httpPort)
                   .num("pid", getpid())
                   .str("software_version", options_.softwareVersion)
                   .flag("password", !options_.password.empty())
                   .str("nonce", options_.password.empty() ? "" : nonce));
    return true;
}

void Device::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
}

bool Device::waitFor(long ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
    return !stop_;
}

// ---- Web answers (on the connection threads) ----

std::string Device::newNonce() const {
    if (options_.nonceChars == 0) return randomHex(16);
    std::string nonce = randomHex(static_cast<size_t>(options_.nonceChars + 1) / 2);
    nonce.resize(static_cast<size_t>(options_.nonceChars));
    return nonce;
}

HttpResponse Device::handle(const HttpRequest& request) {
    if (request.method != "GET") {
        HttpResponse r = page(405, "Method Not Allowed", "Only GET is served.");
        r.headers.emplace_back("Allow", "GET");
        return r;
    }
    if (options_.foreignStatus != 0) {
        // Some other web server at the address: a printer, a router.
        HttpResponse r = page(static_cast<int>(options_.foreignStatus), "Printer", "<p>Welcome to the printer.</p>");
        if (options_.foreignStatus / 100 == 3) r.headers.emplace_back("Location", "/index.html");
        return r;
    }
    HttpResponse refusal;
    if (!options_.password.empty() && !authorize(request, refusal)) return refusal;
    std::string path = request.target.substr(0, request.target.find('?'));
    if (path == "/admin/advanced") return statusPage();
    if (path == "/admin/upgrade") return upgradeOrder(request);
    return page(404, "Not Found", "No such page.");
}

HttpResponse Device::challenge(const std::string& reason, bool stale) {
    // Called with mutex_ held.
    HttpResponse r = page(401, "Unauthorized", "Authorization required.");
    std::string value = buildChallenge(digest_, options_.crlfInNonce ? nonce_ + "\r\nX-Injected: 1" : nonce_, stale);
    if (options_.basicChallengeFirst) r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"Basic Area\"");
    if (options_.sha256First)
        r.headers.emplace_back("WWW-Authenticate", "Digest realm=\"" + digest_.realm + "\", nonce=\"" + nonce_ +
                                                       "\", algorithm=SHA-256, qop=\"auth\"");
    r.headers.emplace_back("WWW-Authenticate", value);
    log_.write(Json("auth_challenge").str("reason", reason).str("nonce", nonce_).str("header", value));
    return r;
}

bool Device::authorize(const HttpRequest& request, HttpResponse& refusal) {
    const std::string* header = request.header("Authorization");
    std::lock_guard<std::mutex> lock(mutex_);
    if (header == nullptr) {
        refusal = challenge("no Authorization line", false);
        return false;
    }
    DigestCheck check = checkAuthorization(digest_, *header, request.method, request.target, nonce_, nonceCounts_);
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& p : check.params.params) fields.emplace_back(p.name, p.value);
    log_.write(Json("auth_check")
                   .str("path", request.target)
                   .pairs("fields", fields)
                   .str("current_nonce", nonce_)
                   .str("expected", check.expected)
                   .str("got", check.got)
                   .flag("ok", check.ok)
                   .str("reason", check.reason)
                   .flag("stale", check.stale)
                   .strings("notes", check.notes));
    if (check.ok) {
        if (nonceCounts_.size() >= 1000) nonceCounts_.clear();  // bounded; a client beyond it may replay
        nonceCounts_[check.cnonce] = check.nc;
        return true;
    }
    bool refused = !check.stale && check.reason != "unknown nonce";
    if (refused && options_.wrongPasswordPolicy == WrongPasswordPolicy::NewNonce) {
        nonce_ = newNonce();
        nonceCounts_.clear();
    }
    refusal = challenge(check.reason, check.stale);
    return false;
}

HttpResponse Device::statusPage() {
    std::string version;
    bool upgraded = false;
    bool wrong = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        version = softwareVersion_;
        upgraded = upgraded_;
        wrong = upgraded && options_.restartAnswer != RestartAnswer::StatusPage &&
                (options_.restartAnswers == 0 || restartAnswersGiven_ < options_.restartAnswers);
        if (wrong) ++restartAnswersGiven_;
    }
    if (wrong && options_.restartAnswer != RestartAnswer::NoVersion) return restartAnswer();
    std::string rows;
    auto row = [&rows, this](const char* label, const std::string& value) {
        std::string text = options_.windows1252Fields ? toWindows1252(value) : value;
        rows += "<tr><td>" + std::string(label) + "</td><td>" + htmlEscape(text) + "</td></tr>\n";
    };
    row("Product Name:", options_.productName);
    row("MAC Address:", options_.mac);
    if (!wrong) row("Software Version:", version);
    row("Hardware Version:", options_.hardwareVersion);
    row("Serial Number:", options_.serial);
    HttpResponse r = page(200, "Advanced", "<h1>Advanced</h1>\n<table>\n" + rows + "</table>");
    if (wrong) log_.write(Json("restart_answer").str("kind", "no-version"));
    if (upgraded && !wrong) {
        r.afterAnswer = [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            servedAfterUpgrade_ = true;
            changed_.notify_all();
        };
    }
    return r;
}

HttpResponse Device::restartAnswer() {
    bool error = options_.restartAnswer == RestartAnswer::Error;
    log_.write(Json("restart_answer").str("kind", error ? "error" : "no-labels"));
    if (!error) return page(200, "Starting", "<h1>Starting</h1>\n<p>Please wait.</p>");
    HttpResponse r = page(500, "Error", "Flash write failed");
    r.reason = "Flash write failed";
    return r;
}

HttpResponse Device::upgradeOrder(const HttpRequest& request) {
    size_t mark = request.target.find('?');
    std::string source = mark == std::string::npos ? "" : request.target.substr(mark + 1);
    Order order;
    if (!parseUpgradeSource(source, order.address, order.port, order.file)) {
        log_.write(Json("upgrade_refused").str("reason", "not tftp://a.b.c.d[:port]/name").str("source", source));
        return page(400, "Bad Request", "Expected /admin/upgrade?tftp://a.b.c.d:port/name");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (phase_ != Phase::Idle) {
        log_.write(Json("upgrade_refused").str("reason", "an upgrade is already under way").str("source", source));
        return page(503, "Busy", "An upgrade is already under way.");
    }
    phase_ = Phase::Ordered;
    order_ = order;
    log_.write(
        Json("upgrade_order").str("server", formatIPv4(order.address)).num("port", order.port).str("file", order.file));
    HttpResponse r = page(200, "Upgrade", "Fetching " + htmlEscape(source));
    r.afterAnswer = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        orderAnswered_ = true;
        changed_.notify_all();
    };
    return r;
}

// ---- The device's life (on the thread of run()) ----

// A host on the LAN that saw the order go by (it travels in clear text)
// asks for the image first, from its own address, and waits the idle delay
// for any answer.
void Device::stealFirst(const Order& order) {
    std::vector<uint8_t> rrq = {0, 1};
    for (const std::string& text : {order.file, std::string("octet")}) {
        rrq.insert(rrq.end(), text.begin(), text.end());
        rrq.push_back(0);
    }
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local = socketAddress(options_.thiefAddress, 0), server = socketAddress(order.address, order.port);
    bool sent = fd.valid() && bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                sendto(fd.get(), rrq.data(), rrq.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server) ==
                    static_cast<ssize_t>(rrq.size());
    bool answered = sent && waitReadable(fd.get(), static_cast<int>(options_.idleDelayMs)) == 1;
    log_.write(Json("thief_rrq")
                   .str("from", options_.thief)
                   .str("file", order.file)
                   .flag("sent", sent)
                   .flag("answered", answered));
}

void Device::writeImage(const std::vector<uint8_t>& image) {
    if (options_.imageOut.empty()) return;
    FILE* file = fopen(options_.imageOut.c_str(), "wb");
    bool ok = file != nullptr && fwrite(image.data(), 1, image.size(), file) == image.size();
    if (file != nullptr) ok = fclose(file) == 0 && ok;
    log_.write(Json("image_written")
                   .str("path", options_.imageOut)
                   .num("bytes", static_cast<long long>(image.size()))
                   .flag("ok", ok));
}

bool Device::reopenWebServer() {
    std::string error;
    for (int attempt = 0; attempt < 50 && !stop_; ++attempt) {
        if (server_.start(options_.addressValue, options_.httpPort, error)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    log_.write(Json("fatal").str("reason", "web server cannot come back: " + error));
    return false;
}

void Device::run() {
    TftpFaults faults{options_.neverAckOack,   options_.stopAckAt,   options_.dropAckEvery, options_.duplicateAcks,
                      options_.foreignPortAck, options_.repeatRrqAt, options_.dallyMs,      options_.rrqNewPort};
    const uint32_t rrqFrom = options_.rrqFromValue != 0 ? options_.rrqFromValue : options_.addressValue;
    while (!stop_) {
        Order order;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || orderAnswered_; });
            if (stop_) break;
            order = *order_;
            orderAnswered_ = false;
        }
        if (options_.thiefAddress != 0) stealFirst(order);
        if (!waitFor(options_.idleDelayMs)) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            phase_ = Phase::Transferring;
        }
        // The device restarts once the last block is in: its web server goes
        // away at once, open connections included.
        auto downSince = std::chrono::steady_clock::now();
        auto goDown = [&] {
            downSince = std::chrono::steady_clock::now();
            log_.write(Json("restart").num("down_ms", options_.silentAfterUpgrade ? -1 : options_.restartMs));
            server_.stop();
            std::lock_guard<std::mutex> lock(mutex_);
            phase_ = options_.silentAfterUpgrade ? Phase::Gone : Phase::Restarting;
        };
        // With --old-page-ms the device is still writing flash after the
        // last block: its old page stays up until it restarts.
        auto restart = [&] {
            if (options_.oldPageMs == 0) goDown();
        };
        TftpResult result = fetchImage(log_, faults, stop_, rrqFrom, order.address, order.port, order.file, restart);
        if (stop_) break;
        if (!result.complete) {
            log_.write(Json("upgrade_failed").str("reason", result.error));
            std::lock_guard<std::mutex> lock(mutex_);
            phase_ = Phase::Idle;
            continue;
        }
        writeImage(result.image);
        std::string version = imageVersion(result.image);
        log_.write(Json("image_received")
                       .num("bytes", static_cast<long long>(result.image.size()))
                       .str("version", version)
                       .str("sha256", result.sha256));
        if (options_.oldPageMs > 0) {
            log_.write(Json("writing_flash").num("old_page_ms", options_.oldPageMs));
            if (!waitFor(options_.oldPageMs)) break;
            goDown();
        }
        if (options_.silentAfterUpgrade) {
            log_.write(Json("silent").str("reason", "--silent-after-upgrade: the web server stays away"));
            if (!options_.exitAfterUpgrade) {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return stop_.load(); });
            }
            break;
        }
        auto down = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - downSince);
        if (!waitFor(options_.restartMs - static_cast<long>(down.count()))) break;
        std::string reported = version;
        std::string nonce;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (options_.wrongVersion) reported = version + "-other";
            nonce_ = newNonce();
            nonce = nonce_;
            nonceCounts_.clear();
            softwareVersion_ = reported;
            upgraded_ = true;
            servedAfterUpgrade_ = false;
            phase_ = Phase::Idle;
            order_.reset();
        }
        if (!reopenWebServer()) {
            exitCode_ = 1;
            break;
        }
        log_.write(Json("back")
                       .str("software_version", reported)
                       .str("image_version", version)
                       .flag("wrong_version", options_.wrongVersion)
                       .str("nonce", options_.password.empty() ? "" : nonce));
        if (options_.exitAfterUpgrade) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || servedAfterUpgrade_; });
            break;
        }
    }
    finished_ = true;
}

}  // namespace sim
