#include "support/web_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace ulxtest {

bool WebServer::start(const std::string& address, uint16_t port, Script script) {
    script_ = std::move(script);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    int one = 1;
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 || listener_ < 0 ||
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listener_, 16) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0) {
        error_ = "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
}

void WebServer::stop() {
    if (thread_.joinable()) {
        (void)!write(wake_[1], "x", 1);
        thread_.join();
    }
    // Held connections end with a reset, which leaves no TIME_WAIT behind
    // on the client's port.
    for (int fd : held_) {
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    held_.clear();
    for (int* fd : {&listener_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

// Connections are served one after another, as the client makes them.
void WebServer::serve() {
    for (;;) {
        pollfd p[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        answer(fd, text, ntohs(peer.sin_port));
    }
}

void WebServer::answer(int fd, const std::string& peer, uint16_t port) {
    // Nothing here may block the serving thread for long.
    timeval fiveSeconds{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &fiveSeconds, sizeof fiveSeconds);
    Request r{"", peer, port};
    char chunk[4096];
    while (r.bytes.find("\r\n\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) break;
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        r.bytes.append(chunk, static_cast<size_t>(n));
    }
    int index;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        index = static_cast<int>(requests_.size());
        requests_.push_back(r);
    }
    changed_.notify_all();
    Reply reply = script_(r, index);
    if (reply.hold) {
        held_.push_back(fd);
        return;
    }
    size_t piece = reply.bytes.size() / std::max(reply.pieces, 1) + 1;
    for (size_t at = 0; at < reply.bytes.size(); at += piece) {
        if (at) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (send(fd, reply.bytes.data() + at, std::min(piece, reply.bytes.size() - at), MSG_NOSIGNAL) < 0) break;
    }
    close(fd);
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
    return [replies](const Request&, int index) {
        return replies[std::min(static_cast<size_t>(index), replies.size() - 1)];
    };
}

const DeviceField kDeviceFields[5] = {
    {"Product Name:", "ULX-7400", 1006},
    {"MAC Address:", "00:0E:08:AB:CD:EF", 1003},
    {"Software Version:", "3.1.5(GWd)", 1004},
    {"Hardware Version:", "2.1", 1005},
    {"Serial Number:", "FM0123456789", 1002},
};

std::string statusPageHtml() {
    std::string html = "<html><body><h1>Status</h1>\n<table>\n";
    for (const DeviceField& f : kDeviceFields)
        html += std::string("<tr><td>") + f.label + "</td><td>" + f.value + "</td></tr>\n";
    return html + "</table></body></html>\n";
}

std::string statusPage(const std::string& statusLine) {
    std::string html = statusPageHtml();
    return statusLine + "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(html.size()) +
           "\r\nConnection: close\r\n\r\n" + html;
}

std::string refusal(const std::string& nonce) {
    return "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"ulx\", nonce=\"" + nonce +
           "\", algorithm=MD5, qop=\"auth\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string md5Hex(const std::string& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(message.data(), message.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned i = 0; i < length; ++i) {
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

std::string authParam(const std::string& request, const std::string& name) {
    size_t line = request.find("\r\nAuthorization: Digest ");
    if (line == std::string::npos) return "";
    size_t end = request.find("\r\n", line + 2);
    for (size_t at = request.find(name + "=", line); at < end; at = request.find(name + "=", at + 1)) {
        char before = request[at - 1];
        if (before != ' ' && before != ',') continue;
        size_t value = at + name.size() + 1;
        if (request[value] == '"') return request.substr(value + 1, request.find('"', value + 1) - value - 1);
        return request.substr(value, std::min(request.find(',', value), end) - value);
    }
    return "";
}

bool digestMatches(const std::string& request, const std::string& password) {
    auto a = [&](const char* name) { return authParam(request, name); };
    std::string ha1 = md5Hex(a("username") + ":" + a("realm") + ":" + password);
    std::string ha2 = md5Hex("GET:" + a("uri"));
    std::string middle = a("qop").empty() ? "" : a("nc") + ":" + a("cnonce") + ":" + a("qop") + ":";
    return !a("response").empty() && a("response") == md5Hex(ha1 + ":" + a("nonce") + ":" + middle + ha2);
}

SynCounter::SynCounter(const std::string& address, uint16_t port) : port_(htons(port)) {
    inet_pton(AF_INET, address.c_str(), &address_);
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd < 0) return;
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_IP);
    ll.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
    int size = 8 << 20;  // room for whatever else runs on the loopback meanwhile
    if (bind(fd, reinterpret_cast<sockaddr*>(&ll), sizeof ll) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

SynCounter::~SynCounter() {
    if (fd_ >= 0) close(fd_);
}

int SynCounter::count() {
    unsigned char packet[128];
    sockaddr_ll from{};
    socklen_t len = sizeof from;
    // Each packet on the loopback shows up once outgoing and once incoming:
    // only the incoming copy counts.
    while (fd_ >= 0 && recvfrom(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &len) > 0) {
        len = sizeof from;
        if (from.sll_pkttype == PACKET_OUTGOING || packet[9] != IPPROTO_TCP) continue;
        const unsigned char* tcp = packet + (packet[0] & 15) * 4;
        uint32_t destination;
        uint16_t destinationPort;
        memcpy(&destination, packet + 16, 4);
        memcpy(&destinationPort, tcp + 2, 2);
        bool syn = (tcp[13] & 0x12) == 0x02;  // SYN without ACK
        if (syn && destination == address_ && destinationPort == port_) ++count_;
    }
    return count_;
}

bool startRun(ScriptProcess& p, const char* program, const std::string& deviceAddress) {
    if (!p.start(program)) return false;
    int warning = p.waitOpen("139");
    if (warning < 0 || !p.waitEvent("shown", warning)) return false;
    p.press(warning, 1);
    int dialog = p.waitOpen("101");
    if (dialog < 0 || !p.waitEvent("shown", dialog)) return false;
    int item = -1, index = 0;
    for (const Event& e : p.events()) {
        if (e.kind != "add" || e.window != dialog || e.control != 1017) continue;
        if (e.text == "127.0.0.1") item = index;
        ++index;
    }
    if (item < 0) return false;
    p.type(dialog, 1000, deviceAddress);
    p.select(dialog, 1017, item);
    p.press(dialog, 1);
    auto closed = p.waitEvent("close", dialog);
    return closed && closed->result == "1";
}

int countOpened(ScriptProcess& p, const std::string& tmpl) {
    int n = 0;
    for (const Event& e : p.events()) n += e.kind == "open" && e.tmpl == tmpl;
    return n;
}

std::vector<int> answerPasswordDialogs(ScriptProcess& p, const std::vector<std::string>& passwords) {
    std::vector<int> attempts;
    for (const std::string& password : passwords) {
        int w = p.waitOpen("104");
        if (w < 0) break;
        attempts.push_back(countOpened(p, "105"));  // no attempt runs while the dialog is open
        auto user = p.waitText(w, 1003);
        EXPECT_EQ(user ? user->text : "(none)", "admin");
        if (!p.waitEvent("shown", w)) break;
        p.type(w, 1005, password);
        p.press(w, 1);
        auto closed = p.waitEvent("close", w);
        EXPECT_EQ(closed ? closed->result : "(none)", "1");
    }
    return attempts;
}

void expectConfirmationThenAbort(ScriptProcess& p) {
    int w = p.waitOpen("103");
    ASSERT_GT(w, 0) << p.transcript();
    ASSERT_TRUE(p.waitEvent("shown", w)) << p.transcript();
    for (const DeviceField& f : kDeviceFields) {
        std::string shown = "(not set)";
        for (const Event& e : p.events())
            if (e.kind == "text" && e.window == w && e.control == f.control) shown = e.text;
        EXPECT_EQ(shown, f.value) << f.label;
    }
    p.press(w, 2);
    expectUserAbort(p);
}

void expectUserAbort(ScriptProcess& p) {
    auto box = p.waitMsgBox();
    ASSERT_TRUE(box) << p.transcript();
    EXPECT_EQ(box->caption, "ULX Firwmare Upgrade Error");
    EXPECT_EQ(box->text, "Upgrade Failed: User Abort");
    ASSERT_TRUE(p.waitEvent("shown", box->window));
    p.press(box->window, 1);
    EXPECT_EQ(p.waitExit(), 0) << p.transcript();
    EXPECT_EQ(p.wait(), 0);
}

}  // namespace ulxtest
