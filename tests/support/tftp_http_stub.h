// A tiny threaded HTTP server for the verification after a transfer: it
// accepts each connection, reads the request head, writes one canned
// answer (possibly empty) and closes. It counts the requests and notes the
// clock (platClockMs) of the first. Header-only, like tftp_harness.h.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace tftptest {

// A status page answer that reports `version` as the software version,
// or none at all when version is null.
inline std::string statusPage(const char* version) {
    std::string body = "<html><table><tr><td>Product Name:</td><td>ULX-7400</td></tr>";
    if (version) body += std::string("<tr><td>Software Version:</td><td>") + version + "</td></tr>";
    body += "</table></html>";
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n" + body;
}

class HttpStub {
public:
    HttpStub() = default;
    HttpStub(const HttpStub&) = delete;
    HttpStub& operator=(const HttpStub&) = delete;
    ~HttpStub() { stop(); }

    bool start(uint32_t address, uint16_t port, std::string answer) {
        answer_ = std::move(answer);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        a.sin_port = htons(port);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 16) != 0) return false;
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    int requests() const { return requests_.load(); }
    uint32_t firstRequestClockMs() const { return firstClock_.load(); }

private:
    void serve() {
        while (!stopping_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            // The request head ends with an empty line; 2 s at most.
            std::string head;
            char buf[1024];
            pollfd q{c, POLLIN, 0};
            while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192 && poll(&q, 1, 2000) == 1) {
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                head.append(buf, static_cast<size_t>(n));
            }
            if (requests_.fetch_add(1) == 0) firstClock_ = platClockMs();
            size_t sent = 0;
            while (sent < answer_.size()) {
                ssize_t n = send(c, answer_.data() + sent, answer_.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            close(c);
        }
    }

    std::string answer_;
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::atomic<uint32_t> firstClock_{0};
};

}  // namespace tftptest
