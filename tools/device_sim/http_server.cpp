#include "http_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxRequestBytes = 16 * 1024;  // request line and headers
constexpr size_t kMaxHeaders = 100;
constexpr int kPollMs = 100;  // how often a waiting thread looks at the stop flag
constexpr auto kRequestTimeout = std::chrono::seconds(10);
constexpr auto kSendTimeout = std::chrono::seconds(10);
constexpr size_t kMaxConnections = 64;

std::string lower(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string trim(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    return std::string(text.substr(b, e - b));
}

// Splits the head of a request (up to the empty line) into its parts.
bool parseRequest(std::string_view head, HttpRequest& request, std::string& error) {
    size_t lineEnd = head.find("\r\n");
    std::string_view line = head.substr(0, lineEnd);
    size_t s1 = line.find(' ');
    size_t s2 = s1 == std::string_view::npos ? s1 : line.find(' ', s1 + 1);
    if (s2 == std::string_view::npos || line.find(' ', s2 + 1) != std::string_view::npos) {
        error = "malformed request line";
        return false;
    }
    request.method = std::string(line.substr(0, s1));
    request.target = std::string(line.substr(s1 + 1, s2 - s1 - 1));
    request.version = std::string(line.substr(s2 + 1));
    if (request.method.empty() || request.target.empty() || request.version.rfind("HTTP/", 0) != 0) {
        error = "malformed request line";
        return false;
    }
    size_t pos = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string_view::npos) end = head.size();
        std::string_view header = head.substr(pos, end - pos);
        pos = end + 2;
        if (header.empty()) break;
        size_t colon = header.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            error = "malformed header line";
            return false;
        }
        if (request.headers.size() >= kMaxHeaders) {
            error = "too many header lines";
            return false;
        }
        request.headers.emplace_back(std::string(header.substr(0, colon)), trim(header.substr(colon + 1)));
    }
    return true;
}

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const {
    std::string wanted = lower(name);
    for (const auto& h : headers)
        if (lower(h.first) == wanted) return &h.second;
    return nullptr;
}

std::string statusLine(int status) {
    switch (status) {
        case 200: return "200 OK";
        case 400: return "400 Bad Request";
        case 301: return "301 Moved Permanently";
        case 401: return "401 Unauthorized";
        case 404: return "404 Not Found";
        case 405: return "405 Method Not Allowed";
        case 431: return "431 Request Header Fields Too Large";
        case 500: return "500 Internal Server Error";
        case 503: return "503 Service Unavailable";
        default: return std::to_string(status) + " Status";
    }
}

HttpServer::HttpServer(Log& log, HttpBehaviour behaviour, Handler handler)
    : log_(log), behaviour_(behaviour), handler_(std::move(handler)) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(uint32_t address, uint16_t port, std::string& error) {
    stop();
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = socketAddress(address, port);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = "bind " + formatEndpoint(sa) + ": " + strerror(errno);
        return false;
    }
    if (listen(fd.get(), 16) != 0) {
        error = std::string("listen: ") + strerror(errno);
        return false;
    }
    listen_ = std::move(fd);
    stopping_ = false;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void HttpServer::stop() {
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    listen_.reset();
    reap(true);
}

void HttpServer::reap(bool all) {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (all || (*it)->done) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void HttpServer::acceptLoop() {
    while (!stopping_) {
        reap(false);
        if (waitReadable(listen_.get(), kPollMs) <= 0) continue;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        Fd fd(accept4(listen_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        if (!fd.valid()) continue;
        std::string peerText = formatEndpoint(peer);
        if (connections_.size() >= kMaxConnections) {
            log_.write(Json("http_refused").str("peer", peerText).str("reason", "too many open connections"));
            continue;  // closed at once
        }
        auto connection = std::make_unique<Connection>();
        Connection* c = connection.get();
        c->thread = std::thread([this, c, f = std::move(fd), peerText]() mutable {
            serve(std::move(f), peerText);
            c->done = true;
        });
        connections_.push_back(std::move(connection));
    }
}

bool HttpServer::pause(long ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(left < kPollMs ? left : kPollMs));
    }
    return false;
}

// Reads up to the empty line that ends the head, within size and time
// limits. false: nothing to answer (peer gone, stopped, or an error in
// error that deserves an answer).
bool HttpServer::readRequest(int fd, std::string& raw, std::string& error) {
    auto deadline = Clock::now() + kRequestTimeout;
    char chunk[2048];
    while (!stopping_) {
        if (raw.find("\r\n\r\n") != std::string::npos) return true;
        if (raw.size() >= kMaxRequestBytes) {
            error = "request head too large";
            return false;
        }
        if (Clock::now() > deadline && !behaviour_.noAnswer) {
            error = "request incomplete after 10 s";
            return false;
        }
        int ready = waitReadable(fd, kPollMs);
        if (ready < 0) return false;
        if (ready == 0) continue;
        size_t room = kMaxRequestBytes - raw.size();
        ssize_t n = recv(fd, chunk, room < sizeof chunk ? room : sizeof chunk, 0);
        if (n <= 0) return false;
        raw.append(chunk, static_cast<size_t>(n));
    }
    return false;
}

// Keeps a connection open, throwing away whatever arrives, until the peer
// closes it or the server stops.
void HttpServer::holdOpen(int fd) {
    char chunk[2048];
    while (!stopping_) {
        int ready = waitReadable(fd, kPollMs);
        if (ready < 0) return;
        if (ready == 0) continue;
        if (recv(fd, chunk, sizeof chunk, 0) <= 0) return;
    }
}

bool HttpServer::sendAll(int fd, const std::string& data) {
    auto deadline = Clock::now() + kSendTimeout;
    size_t sent = 0;
    while (sent < data.size()) {
        if (stopping_ || Clock::now() > deadline) return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, kPollMs) <= 0) continue;
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool HttpServer::drip(int fd, const std::string& data) {
    for (char c : data)
        if (!pause(behaviour_.dripAnswerMs) || !sendAll(fd, std::string(1, c))) return false;
    return true;
}

// The status line, the headers and the body as they go out: "Connection:
// close" and Content-Length unless keep-alive or chunked bodies say
// otherwise; header names as given or in lower case.
std::string HttpServer::formatAnswer(const HttpResponse& response) const {
    auto line = [this](const std::string& name, const std::string& value) {
        return (behaviour_.lowercaseHeaders ? lower(name) : name) + ": " + value + "\r\n";
    };
    std::string text = std::string(behaviour_.http10 ? "HTTP/1.0 " : "HTTP/1.1 ") +
                       (response.reason.empty() ? statusLine(response.status)
                                                : std::to_string(response.status) + " " + response.reason) +
                       "\r\n";
    text += line("Server", "ulx-device-sim");
    for (const auto& h : response.headers) text += line(h.first, h.second);
    text += line("Content-Type", "text/html");
    if (behaviour_.chunkBytes > 0) text += line("Transfer-Encoding", "chunked");
    else text += line("Content-Length", std::to_string(response.body.size()));
    if (behaviour_.keepAliveMs == 0) text += line("Connection", "close");
    else if (behaviour_.http10) text += line("Connection", "keep-alive");
    text += "\r\n";
    if (behaviour_.chunkBytes == 0) return text + response.body;
    const size_t size = static_cast<size_t>(behaviour_.chunkBytes);
    for (size_t at = 0; at < response.body.size(); at += size) {
        std::string part = response.body.substr(at, size);
        char hex[24];
        snprintf(hex, sizeof hex, "%zx\r\n", part.size());
        text += hex + part + "\r\n";
    }
    return text + "0\r\n\r\n";
}

// Keep-alive: holds the connection up to keepAliveMs for the next request.
// True when bytes of it arrived (appended to raw); false when the peer
// closed, the hold ended or the server stops.
bool HttpServer::waitForMore(int fd, std::string& raw) {
    auto end = Clock::now() + std::chrono::milliseconds(behaviour_.keepAliveMs);
    char chunk[2048];
    while (!stopping_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return false;
        int ready = waitReadable(fd, left < kPollMs ? static_cast<int>(left) : kPollMs);
        if (ready < 0) return false;
        if (ready == 0) continue;
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        raw.append(chunk, static_cast<size_t>(n));
        return true;
    }
    return false;
}

void HttpServer::serve(Fd connection, std::string peer) {
    std::string raw;
    for (;;) {
        std::string error;
        bool complete = readRequest(connection.get(), raw, error);
        HttpRequest request;
        request.peer = peer;
        if (complete && !parseRequest(std::string_view(raw).substr(0, raw.find("\r\n\r\n") + 2), request, error))
            complete = false;
        if (complete) {
            log_.write(Json("http_request")
                           .str("peer", peer)
                           .str("method", request.method)
                           .str("path", request.target)
                           .flag("auth", request.header("Authorization") != nullptr)
                           .flag("answered", !behaviour_.noAnswer));
        } else if (!error.empty()) {
            log_.write(Json("http_bad_request")
                           .str("peer", peer)
                           .str("reason", error)
                           .num("bytes", static_cast<long long>(raw.size())));
        }
        if (behaviour_.noAnswer) {
            holdOpen(connection.get());
            return;
        }
        if (!complete && error.empty()) return;  // the peer went away or the server stops

        HttpResponse response;
        if (complete) {
            response = handler_(request);
        } else {
            response.status = error == "request head too large" ? 431 : 400;
            response.body = "<html><body>" + statusLine(response.status) + "</body></html>\n";
        }
        const bool slow =
            behaviour_.slowAnswerMs > 0 && (behaviour_.slowAnswers == 0 || slowGiven_++ < behaviour_.slowAnswers);
        if (slow && !pause(behaviour_.slowAnswerMs)) return;

        std::string text = formatAnswer(response);
        bool sent = behaviour_.dripAnswerMs > 0 ? drip(connection.get(), text) : sendAll(connection.get(), text);
        log_.write(Json("http_response")
                       .str("peer", peer)
                       .str("path", request.target)
                       .num("status", response.status)
                       .flag("sent", sent)
                       .flag("closed", !behaviour_.neverClose && behaviour_.keepAliveMs == 0));
        if (!sent) {
            // The client is gone; what the device decided still happens.
            if (response.afterAnswer && !stopping_) response.afterAnswer();
            return;
        }
        if (behaviour_.neverClose) {
            if (response.afterAnswer) response.afterAnswer();
            holdOpen(connection.get());
            return;
        }
        if (behaviour_.keepAliveMs > 0 && complete) {
            // The connection stays for the next request; the client may
            // close it at once, or send one, or the hold ends and we close.
            if (response.afterAnswer) response.afterAnswer();
            raw.erase(0, raw.find("\r\n\r\n") + 4);
            if (waitForMore(connection.get(), raw)) continue;
        } else if (response.afterAnswer) {
            // Close our side at once (the client reads until it sees the
            // end), then run what the answer set off.
            shutdown(connection.get(), SHUT_WR);
            response.afterAnswer();
        }
        break;
    }
    // Give the client a moment to close its side, so no reset cuts the answer.
    shutdown(connection.get(), SHUT_WR);
    char chunk[512];
    auto end = Clock::now() + std::chrono::seconds(1);
    while (!stopping_ && Clock::now() < end) {
        int ready = waitReadable(connection.get(), kPollMs);
        if (ready < 0 || (ready > 0 && recv(connection.get(), chunk, sizeof chunk, 0) <= 0)) break;
    }
}

}  // namespace sim
