#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <vector>

#include "net.h"

namespace sim {
namespace {

// One command-line option: its name, the name of its value (empty for a
// flag), its help line and what it does with the value.
struct OptionEntry {
    const char* name;
    const char* valueName;
    const char* help;
    std::function<bool(Options&, const std::string&)> apply;
};

bool parseNumber(const std::string& text, long minimum, long maximum, long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < minimum || value > maximum) return false;
    out = value;
    return true;
}

auto number(long Options::*field, long minimum, long maximum) {
    return [=](Options& o, const std::string& v) { return parseNumber(v, minimum, maximum, o.*field); };
}

auto text(std::string Options::*field) {
    return [=](Options& o, const std::string& v) {
        o.*field = v;
        return true;
    };
}

auto flag(bool Options::*field) {
    return [=](Options& o, const std::string&) {
        o.*field = true;
        return true;
    };
}

constexpr long kMaxMs = 24L * 3600 * 1000;

const std::vector<OptionEntry>& optionTable() {
    static const std::vector<OptionEntry> table = {
        {"--address", "A", "IPv4 address the device lives on (default 127.0.0.2)",
         [](Options& o, const std::string& v) {
             o.address = v;
             return parseIPv4(v, o.addressValue);
         }},
        {"--http-port", "P", "TCP port of its web server (default 80)",
         [](Options& o, const std::string& v) {
             long port = 0;
             if (!parseNumber(v, 1, 65535, port)) return false;
             o.httpPort = static_cast<uint16_t>(port);
             return true;
         }},
        {"--product-name", "TEXT", "\"Product Name:\" of the status page (default ULX-7400)",
         text(&Options::productName)},
        {"--mac", "TEXT", "\"MAC Address:\" (default 02:00:5E:10:74:00)", text(&Options::mac)},
        {"--software-version", "TEXT", "\"Software Version:\" until an upgrade (default 3.0.2(GWe))",
         text(&Options::softwareVersion)},
        {"--hardware-version", "TEXT", "\"Hardware Version:\" (default 2.0.1)", text(&Options::hardwareVersion)},
        {"--serial", "TEXT", "\"Serial Number:\" (default ULX74000A1B2)", text(&Options::serial)},
        {"--password", "P", "demand HTTP Digest authentication with this password (default: none)",
         text(&Options::password)},
        {"--user", "NAME", "user name the password belongs to (default admin)", text(&Options::user)},
        {"--realm", "TEXT", "realm of the challenge (default \"ULX Admin\")", text(&Options::realm)},
        {"--opaque", "TEXT", "opaque value of the challenge (default: none sent)", text(&Options::opaque)},
        {"--qop", "auth|auth-int|list|none", "qop of the challenge; list = qop=\"auth,auth-int\" (default auth)",
         [](Options& o, const std::string& v) {
             if (v == "auth") o.qop = QopMode::Auth;
             else if (v == "auth-int") o.qop = QopMode::AuthInt;
             else if (v == "list") o.qop = QopMode::List;
             else if (v == "none") o.qop = QopMode::None;
             else return false;
             return true;
         }},
        {"--algorithm", "quoted|unquoted|absent|md5-sess",
         "algorithm=\"MD5\", algorithm=MD5, none, or algorithm=\"MD5-sess\" (default quoted)",
         [](Options& o, const std::string& v) {
             if (v == "quoted") o.algorithm = AlgorithmMode::Quoted;
             else if (v == "unquoted") o.algorithm = AlgorithmMode::Unquoted;
             else if (v == "absent") o.algorithm = AlgorithmMode::Absent;
             else if (v == "md5-sess") o.algorithm = AlgorithmMode::Md5Sess;
             else return false;
             return true;
         }},
        {"--wrong-password-policy", "same|new",
         "after a failed check, challenge with the same nonce or a new one per 401 (default same)",
         [](Options& o, const std::string& v) {
             if (v == "same") o.wrongPasswordPolicy = WrongPasswordPolicy::SameNonce;
             else if (v == "new") o.wrongPasswordPolicy = WrongPasswordPolicy::NewNonce;
             else return false;
             return true;
         }},
        {"--idle-delay", "MS", "wait after answering an upgrade order before the read request (default 500)",
         number(&Options::idleDelayMs, 0, kMaxMs)},
        {"--restart-ms", "MS", "how long the web server is away while the device restarts (default 3000)",
         number(&Options::restartMs, 0, kMaxMs)},
        {"--dally-ms", "MS",
         "stay this long after the last acknowledgement, to repeat it should the last block come again (default "
         "1000)",
         number(&Options::dallyMs, 0, kMaxMs)},
        {"--image-out", "FILE", "write the received image there", text(&Options::imageOut)},
        {"--wrong-version", nullptr,
         "after the restart, report a third version: neither the image's nor the one before",
         flag(&Options::wrongVersion)},
        {"--old-page-ms", "MS",
         "after the transfer, keep serving the old page (old version) this long while writing flash, then restart",
         number(&Options::oldPageMs, 1, kMaxMs)},
        {"--rrq-from", "A", "send the read request from address A (a second interface) instead of the device's",
         [](Options& o, const std::string& v) {
             o.rrqFrom = v;
             return parseIPv4(v, o.rrqFromValue) && o.rrqFromValue != 0;
         }},
        {"--rrq-new-port", nullptr,
         "lose the first option acknowledgement and send the read request again from a "
         "new UDP port",
         flag(&Options::rrqNewPort)},
        {"--never-ack-oack", nullptr, "never acknowledge the option acknowledgement", flag(&Options::neverAckOack)},
        {"--stop-ack-at", "N", "stop acknowledging from DATA block N on", number(&Options::stopAckAt, 1, 1L << 30)},
        {"--drop-ack-every", "N", "leave out every Nth acknowledgement", number(&Options::dropAckEvery, 1, 1L << 30)},
        {"--duplicate-acks", nullptr, "send every acknowledgement twice", flag(&Options::duplicateAcks)},
        {"--foreign-port-ack", nullptr, "also send every acknowledgement from a second, foreign UDP port",
         flag(&Options::foreignPortAck)},
        {"--repeat-rrq-at", "N", "send the read request again when DATA block N arrives",
         number(&Options::repeatRrqAt, 1, 1L << 30)},
        {"--no-answer", nullptr, "read HTTP requests but never answer; close only when the peer does",
         flag(&Options::noAnswer)},
        {"--slow-answer", "MS", "wait this long before each HTTP answer", number(&Options::slowAnswerMs, 0, kMaxMs)},
        {"--slow-answers", "N", "only the first N HTTP answers are slow (default: every one)",
         number(&Options::slowAnswers, 1, 1L << 30)},
        {"--never-close", nullptr, "answer HTTP requests but keep the connection open", flag(&Options::neverClose)},
        {"--silent-after-upgrade", nullptr, "after the transfer, never come back (no web server)",
         flag(&Options::silentAfterUpgrade)},
        // ---- the web client's checks: answer timing, foreign servers, challenges
        {"--drip-answer", "MS", "send each HTTP answer one byte at a time, MS apart",
         number(&Options::dripAnswerMs, 1, kMaxMs)},
        {"--foreign-server", "STATUS",
         "play a web server that is no ULX: every request gets STATUS (e.g. 404, 301, 500) and a page without "
         "the status page's labels",
         number(&Options::foreignStatus, 100, 599)},
        {"--basic-challenge-first", nullptr, "put a Basic challenge (realm \"Basic Area\") before the Digest one",
         flag(&Options::basicChallengeFirst)},
        {"--crlf-in-nonce", nullptr, "the challenge's quoted nonce holds CR LF and a header line",
         flag(&Options::crlfInNonce)},
        // ---- how the web server speaks HTTP
        {"--http10", nullptr, "answer with \"HTTP/1.0\" status lines", flag(&Options::http10)},
        {"--chunked", "N", "send each answer's body chunked (Transfer-Encoding: chunked), N bytes a chunk",
         number(&Options::chunkBytes, 1, 1L << 20)},
        {"--keep-alive", "MS",
         "keep each connection open MS after an answer (no \"Connection: close\"), serving further requests on it",
         number(&Options::keepAliveMs, 1, kMaxMs)},
        {"--lowercase-headers", nullptr, "send header names in lower case (www-authenticate:, content-length:)",
         flag(&Options::lowercaseHeaders)},
        {"--long-nonce", "N", "challenge with nonces of N characters (default 32)",
         number(&Options::nonceChars, 1, 65536)},
        {"--sha256-first", nullptr, "put a SHA-256 Digest challenge before the MD5 one", flag(&Options::sha256First)},
        // ---- after the restart, and the theft of the image
        {"--restart-answer", "page|error|no-labels|no-version",
         "after the restart, status page requests get: the page; \"500 Flash write failed\"; a page without any "
         "label; the page without \"Software Version:\" (default page)",
         [](Options& o, const std::string& v) {
             if (v == "page") o.restartAnswer = RestartAnswer::StatusPage;
             else if (v == "error") o.restartAnswer = RestartAnswer::Error;
             else if (v == "no-labels") o.restartAnswer = RestartAnswer::NoLabels;
             else if (v == "no-version") o.restartAnswer = RestartAnswer::NoVersion;
             else return false;
             return true;
         }},
        {"--restart-answers", "N", "only the first N status page requests after the restart get --restart-answer",
         number(&Options::restartAnswers, 1, 1L << 30)},
        {"--thief", "A", "a third host on address A sends the same read request first, on seeing the order",
         [](Options& o, const std::string& v) {
             o.thief = v;
             return parseIPv4(v, o.thiefAddress) && o.thiefAddress != 0;
         }},
        // ---- text encoding of the status page
        {"--windows-1252-fields", nullptr, "send the status page's field texts (given in UTF-8) in Windows-1252",
         flag(&Options::windows1252Fields)},
        // ----
        {"--exit-after-upgrade", nullptr,
         "exit 0 once back after the restart and one status page served (silent: after the transfer)",
         flag(&Options::exitAfterUpgrade)},
        {"--exit-after", "MS", "exit 0 after this long whatever happens (default: never)",
         number(&Options::exitAfterMs, 1, kMaxMs)},
        {"--log", "FILE", "write the JSON-lines log there (default: standard output)", text(&Options::logPath)},
    };
    return table;
}

}  // namespace

std::string helpText() {
    std::string out =
        "usage: ulx-device-sim [options]\n"
        "Plays a ULX device on an IPv4 address: a web server with the status page\n"
        "/admin/advanced and the upgrade order /admin/upgrade?tftp://a.b.c.d:port/name,\n"
        "a TFTP client that fetches the image, and a restart into the new version.\n"
        "It logs what it sees as JSON lines.\n\noptions:\n";
    for (const auto& entry : optionTable()) {
        std::string left = std::string("  ") + entry.name;
        if (entry.valueName != nullptr) left += std::string(" ") + entry.valueName;
        if (left.size() < 38) left.resize(38, ' ');
        else left += "\n" + std::string(38, ' ');
        out += left + entry.help + "\n";
    }
    out += "  --help                              show this text\n";
    out += "  --version                           show the program's version\n";
    return out;
}

ParseResult parseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return ParseResult::Help;
        if (arg == "--version") return ParseResult::Version;
        std::string name = arg, value;
        bool inlineValue = false;
        if (auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        const OptionEntry* found = nullptr;
        for (const auto& entry : optionTable())
            if (name == entry.name) found = &entry;
        if (found == nullptr) {
            error = "unknown option " + arg;
            return ParseResult::Error;
        }
        if (found->valueName == nullptr) {
            if (inlineValue) {
                error = name + " takes no value";
                return ParseResult::Error;
            }
        } else if (!inlineValue) {
            if (i + 1 >= argc) {
                error = name + " needs a value (" + found->valueName + ")";
                return ParseResult::Error;
            }
            value = argv[++i];
        }
        if (!found->apply(options, value)) {
            error = "bad value for " + name + ": " + value;
            return ParseResult::Error;
        }
    }
    return ParseResult::Run;
}

}  // namespace sim
