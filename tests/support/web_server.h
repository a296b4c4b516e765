// Test support: a scripted HTTP server on loopback in the test process, the
// answers a device gives, and independent checks with OpenSSL.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ulxtest {

// Sends bytes (in this many parts, 20 ms apart) and closes, or holds the
// connection unanswered until stop(); keepOpen: holds it after the bytes.
struct Reply {
    std::string bytes;
    bool hold = false;
    int pieces = 1;
    bool keepOpen = false;
};
struct Request {
    std::string bytes, peerAddress;  // the head up to its blank line; its source
    uint16_t peerPort = 0;
    uint32_t clockMs = 0;  // platClockMs() when the head was read
};

// Serves connections one after another on a thread of its own.
class WebServer {
public:
    using Script = std::function<Reply(const Request&, int index)>;
    ~WebServer() { stop(); }
    // Listens on address:port; request i (from 0) gets script(request, i).
    // "" or why it cannot.
    std::string start(const std::string& address, uint16_t port, Script script);
    void stop();  // closes the listener and resets held connections; idempotent
    bool waitRequests(size_t count, int timeoutMs = 5000);
    std::vector<Request> requests();

private:
    void serve();
    Script script_;
    int listener_ = -1;
    std::thread thread_;
    std::vector<int> held_;  // serving thread only, until joined
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Request> requests_;
};

// The replies in order; requests past the end get the last one.
WebServer::Script inOrder(std::vector<Reply> replies);

// The status page's fields, and the confirmation dialog's control for each.
struct DeviceField {
    const char* label;
    const char* value;
    int control;
};
extern const DeviceField kDeviceFields[5];
// A row per field; `version` replaces the software version, null drops its row.
std::string statusPageHtml(const char* version = kDeviceFields[2].value);
std::string statusPage(const std::string& statusLine = "HTTP/1.1 200 OK", const char* version = kDeviceFields[2].value);

// Polls done every 25 ms until it holds or timeoutMs has passed; its last answer.
bool eventually(const std::function<bool()>& done, int timeoutMs = 10000);

std::string md5Hex(const std::string& message);
std::string sha256Hex(const std::string& message);
std::string readFile(const std::string& path);

}  // namespace ulxtest
