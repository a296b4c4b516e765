#include "support/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/platform.h"

namespace ulxtest {

std::string WebServer::start(const std::string& address, uint16_t port, Script script) {
    script_ = std::move(script);
    sockaddr_in sa{AF_INET, htons(port), {}, {}};
    int one = 1;
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 || listener_ < 0 ||
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listener_, 16) != 0) {
        return "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(errno);
    }
    thread_ = std::thread([this] { serve(); });
    return "";
}

void WebServer::stop() {
    if (thread_.joinable()) {
        shutdown(listener_, SHUT_RDWR);  // ends the blocked accept
        thread_.join();
    }
    // Held connections end with a reset: no TIME_WAIT on the client's port.
    for (int fd : held_) {
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    held_.clear();
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
}

void WebServer::serve() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0 && errno == EINVAL) return;  // shut down
        if (fd < 0) continue;
        timeval fiveSeconds{5, 0};  // nothing may block this thread for long
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &fiveSeconds, sizeof fiveSeconds);
        char text[INET_ADDRSTRLEN], chunk[4096];
        Request r{"", inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text), ntohs(peer.sin_port)};
        for (pollfd p{fd, POLLIN, 0}; r.bytes.find("\r\n\r\n") == std::string::npos && poll(&p, 1, 5000) == 1;) {
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            r.bytes.append(chunk, static_cast<size_t>(n));
        }
        r.clockMs = platClockMs();
        std::unique_lock<std::mutex> hold(mutex_);
        int index = static_cast<int>(requests_.size());
        requests_.push_back(r);
        hold.unlock();
        changed_.notify_all();
        Reply reply = script_(r, index);
        if (reply.hold) {
            held_.push_back(fd);
            continue;
        }
        size_t piece = reply.bytes.size() / std::max(reply.pieces, 1) + 1;
        for (size_t at = 0; at < reply.bytes.size(); at += piece) {
            if (at) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (send(fd, reply.bytes.data() + at, std::min(piece, reply.bytes.size() - at), MSG_NOSIGNAL) < 0) break;
        }
        if (reply.keepOpen) held_.push_back(fd);
        else close(fd);
    }
}

bool WebServer::waitRequests(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

std::vector<Request> WebServer::requests() {
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_;
}

WebServer::Script inOrder(std::vector<Reply> replies) {
    return [replies](const Request&, int i) { return replies[std::min<size_t>(i, replies.size() - 1)]; };
}

const DeviceField kDeviceFields[5] = {
    {"Product Name:", "ULX-7400", 1006},       {"MAC Address:", "00:0E:08:AB:CD:EF", 1003},
    {"Software Version:", "3.1.5(GWd)", 1004}, {"Hardware Version:", "2.1", 1005},
    {"Serial Number:", "FM0123456789", 1002},
};

std::string statusPageHtml(const char* version) {
    std::string html = "<html><body><h1>Status</h1>\n<table>\n";
    for (const DeviceField& f : kDeviceFields) {
        const char* value = &f == &kDeviceFields[2] ? version : f.value;
        if (value) html += std::string("<tr><td>") + f.label + "</td><td>" + value + "</td></tr>\n";
    }
    return html + "</table></body></html>\n";
}

std::string statusPage(const std::string& statusLine, const char* version) {
    std::string html = statusPageHtml(version);
    return statusLine + "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(html.size()) +
           "\r\nConnection: close\r\n\r\n" + html;
}

static std::string digestHex(const std::string& message, const EVP_MD* md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(message.data(), message.size(), digest, &length, md, nullptr);
    std::string hex;
    const char* digits = "0123456789abcdef";
    for (unsigned i = 0; i < length; ++i) hex += {digits[digest[i] / 16], digits[digest[i] % 16]};
    return hex;
}
std::string md5Hex(const std::string& message) { return digestHex(message, EVP_md5()); }
std::string sha256Hex(const std::string& message) { return digestHex(message, EVP_sha256()); }

bool eventually(const std::function<bool()>& done, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs && !done(); waited += 25) usleep(25000);
    return done();
}

std::string readFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

}  // namespace ulxtest
