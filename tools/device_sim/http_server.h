// The device's web server: HTTP/1.1 over TCP, one request per connection
// (or, with keep-alive, as many as come while it is held), each connection
// on a thread of its own. Every read is bounded in size and
// time; stop() ends every connection and joins every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "log.h"
#include "net.h"

namespace sim {

struct HttpRequest {
    std::string peer;  // "a.b.c.d:port"
    std::string method;
    std::string target;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;
    const std::string* header(std::string_view name) const;  // case-insensitive name
};

struct HttpResponse {
    int status = 200;
    std::string reason;  // the status line's text; empty: the usual one
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Runs once the answer has gone out (and, normally, the connection is closed).
    std::function<void()> afterAnswer;
};

// Fault switches of the web server.
struct HttpBehaviour {
    bool noAnswer = false;
    bool neverClose = false;
    long slowAnswerMs = 0;
    long dripAnswerMs = 0;  // each answer byte by byte, this far apart
    long slowAnswers = 0;   // only the first N answers are slow (0: every one)
    bool http10 = false;    // "HTTP/1.0" status lines
    long chunkBytes = 0;    // chunked bodies, chunks of this size (0: Content-Length)
    long keepAliveMs = 0;   // hold the connection this long after an answer, for more requests (0: close)
    bool lowercaseHeaders = false;
};

class HttpServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    HttpServer(Log& log, HttpBehaviour behaviour, Handler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on address:port (SO_REUSEADDR) and starts accepting.
    bool start(uint32_t address, uint16_t port, std::string& error);
    // Closes the listening socket and every open connection; joins all threads.
    void stop();

private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void serve(Fd connection, std::string peer);
    bool readRequest(int fd, std::string& raw, std::string& error);
    bool waitForMore(int fd, std::string& raw);  // keep-alive: true when more bytes came before the hold ended
    std::string formatAnswer(const HttpResponse& response) const;
    void holdOpen(int fd);
    bool sendAll(int fd, const std::string& data);
    bool drip(int fd, const std::string& data);  // false when the peer left or the server stops
    bool pause(long ms);                         // false when stopped meanwhile
    void reap(bool all);

    Log& log_;
    HttpBehaviour behaviour_;
    Handler handler_;
    Fd listen_;
    std::atomic<bool> stopping_{false};
    std::atomic<long> slowGiven_{0};  // answers held back by slowAnswerMs so far
    std::thread acceptThread_;
    std::list<std::unique_ptr<Connection>> connections_;  // touched by the accept thread, then by stop()
};

// "200 OK", "401 Unauthorized", ...
std::string statusLine(int status);

}  // namespace sim
