// Test support for the device web client: a scripted HTTP server on a
// loopback address inside the test process, the answers a device gives,
// an independent check of the Authorization line (OpenSSL's MD5), a counter
// of connection attempts, and the walk of ulx-test-script through its
// device request.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/protocol_driver.h"

namespace ulxtest {

// What the server does with one request.
struct Reply {
    std::string bytes;  // sent, then the connection is closed
    bool hold = false;  // take the request but never answer (until stop)
    int pieces = 1;     // bytes sent in this many parts, 20 ms apart
};

// One request as received (up to and including its blank line) and where
// it came from.
struct Request {
    std::string bytes;
    std::string peerAddress;
    uint16_t peerPort = 0;
};

class WebServer {
public:
    using Script = std::function<Reply(const Request&, int index)>;

    ~WebServer() { stop(); }
    // Listens on address:port and answers the request with index i (from
    // 0) with script(request, i). False, with lastError(), when it cannot.
    bool start(const std::string& address, uint16_t port, Script script);
    // Closes the listener and resets every held connection; idempotent.
    void stop();
    // Waits at most timeoutMs until count requests have arrived.
    bool waitRequests(size_t count, int timeoutMs = 5000);
    std::vector<Request> requests();
    const std::string& lastError() const { return error_; }

private:
    void serve();
    void answer(int fd, const std::string& peer, uint16_t port);

    Script script_;
    std::string error_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::vector<int> held_;  // serving thread only, until joined
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Request> requests_;
};

// The replies in order; requests past the end get the last one.
WebServer::Script inOrder(std::vector<Reply> replies);

// The five labels of the status page, their values, and the confirmation
// dialog control that shows each.
struct DeviceField {
    const char* label;
    const char* value;
    int control;
};
extern const DeviceField kDeviceFields[5];

// The status page as HTML: one table row per field, label cell then value
// cell.
std::string statusPageHtml();
// A whole answer with that page under the given status line.
std::string statusPage(const std::string& statusLine = "HTTP/1.1 200 OK");
// A Digest refusal as Apache words it: realm "ulx", algorithm=MD5
// unquoted, qop="auth".
std::string refusal(const std::string& nonce);

std::string md5Hex(const std::string& message);
// A parameter of the request's "Authorization: Digest" line, quotes
// removed; "" when absent.
std::string authParam(const std::string& request, const std::string& name);
// True when the request's Authorization response is the RFC 2617 digest of
// its own parameters with this password.
bool digestMatches(const std::string& request, const std::string& password);

// Counts the connection attempts (TCP SYN) to address:port on the loopback
// interface from construction on. Needs raw-socket rights: ok() tells.
class SynCounter {
public:
    SynCounter(const std::string& address, uint16_t port);
    ~SynCounter();
    bool ok() const { return fd_ >= 0; }
    int count();  // all seen so far

private:
    int fd_ = -1;
    uint32_t address_;  // network order
    uint16_t port_;
    int count_ = 0;
};

// Walks `program` (ulx-test-script) to its first device request: Continue
// at the warning, the device address, this computer's 127.0.0.1 as local
// address, OK. True once the address dialog has closed with OK.
bool startRun(ScriptProcess& p, const char* program, const std::string& deviceAddress);
// Answers each password dialog that opens with the next password. Returns,
// per dialog, how many connecting windows (attempts) had opened by then.
// Checks that each dialog comes prefilled with "admin".
std::vector<int> answerPasswordDialogs(ScriptProcess& p, const std::vector<std::string>& passwords);
// How many windows of this template have opened so far.
int countOpened(ScriptProcess& p, const std::string& tmpl);
// The confirmation dialog must show the five fields of the page; Cancel
// there must give "Upgrade Failed: User Abort" and exit 0.
void expectConfirmationThenAbort(ScriptProcess& p);
// Message box "Upgrade Failed: User Abort", OK, exit 0.
void expectUserAbort(ScriptProcess& p);

}  // namespace ulxtest
