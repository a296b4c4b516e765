// Test support: real web servers with HTTP Digest authentication - Apache 2
// with mod_auth_digest and lighttpd with mod_auth - each started for one
// test on a loopback address, port 80, from a temporary directory, and
// stopped with it. Both serve the status page (statusPageHtml) as text/html
// at /admin/advanced behind user "admin" in realm "ulx", and close the
// connection after every answer, as the device does.
#pragma once

#include <sys/types.h>

#include <string>

namespace ulxtest {

enum class PeerKind { Apache, Lighttpd };

class WebPeer {
public:
    explicit WebPeer(PeerKind kind) : kind_(kind) {}
    ~WebPeer() { stop(); }
    WebPeer(const WebPeer&) = delete;
    WebPeer& operator=(const WebPeer&) = delete;

    // The server's executable; "" when it is not installed.
    std::string program() const;
    // Starts the server and waits (at most 10 s) until it takes
    // connections. False, with lastError(), otherwise.
    bool start(const std::string& address, const std::string& password);
    // Ends the server's whole process group and removes its directory.
    void stop();
    const std::string& lastError() const { return error_; }
    // What the server wrote to its logs, for failure messages.
    std::string log() const;

private:
    std::string configuration(const std::string& address) const;

    PeerKind kind_;
    std::string dir_;
    std::string error_;
    pid_t pid_ = -1;
};

}  // namespace ulxtest
