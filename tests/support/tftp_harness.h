// Test support for the TFTP server: generated images, a scripted UDP peer
// on loopback, and an in-process server that accepts one read request and
// runs the real session on a thread of its own (as the listener thread
// would), answering the message boxes and the success dialog it opens.
// Header-only, so that the suites need no extra build target.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/globals.h"
#include "platform/platform.h"
#include "support/inprocess.h"
#include "tftp/tftp.h"

namespace tftptest {

// 127.0.c.d in host order, and as text.
inline uint32_t loopback(int c, int d) { return 0x7f000000u | (static_cast<uint32_t>(c) << 8) | static_cast<uint32_t>(d); }
inline std::string dotted(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
           "." + std::to_string(a & 255);
}

// Image bytes: a 128-byte header holding the version text at offset 92
// (when the image is that long), the rest from a seeded generator.
inline std::vector<uint8_t> makeImage(size_t size, uint32_t seed, const char* version = "3.1.7(GWe)") {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    size_t vlen = strlen(version) + 1;
    if (size >= static_cast<size_t>(IMAGE_VERSION_OFFSET) + vlen) memcpy(&bytes[IMAGE_VERSION_OFFSET], version, vlen);
    return bytes;
}

// Points the image record at bytes (which must outlive its use).
inline void installImage(FirmwareImage* image, const std::vector<uint8_t>& bytes, const char* version) {
    image->bytes = bytes.data();
    image->size = static_cast<uint32_t>(bytes.size());
    memset(image->header, 0, sizeof image->header);
    if (!bytes.empty())
        memcpy(image->header, bytes.data(), bytes.size() < sizeof image->header ? bytes.size() : sizeof image->header);
    // Short test images have no room for a header: the version goes into
    // the record only.
    snprintf(reinterpret_cast<char*>(image->header + IMAGE_VERSION_OFFSET), IMAGE_HEADER_SIZE - IMAGE_VERSION_OFFSET,
             "%s", version);
}

// ---------------------------------------------------------------- packets

// opcode, then text, then a NUL unless told otherwise.
inline std::vector<uint8_t> packet(uint16_t opcode, const std::string& text = "", bool nul = true) {
    std::vector<uint8_t> p(2 + text.size() + (nul ? 1 : 0), 0);
    p[0] = static_cast<uint8_t>(opcode >> 8);
    p[1] = static_cast<uint8_t>(opcode);
    std::copy(text.begin(), text.end(), p.begin() + 2);
    return p;
}
inline std::vector<uint8_t> rrq(const std::string& name) { return packet(TFTP_RRQ, name + '\0' + "octet"); }
inline std::vector<uint8_t> ack(uint16_t block) {
    return packet(TFTP_ACK, std::string{static_cast<char>(block >> 8), static_cast<char>(block)}, false);
}
// The OACK the server sends for an image of this size.
inline std::vector<uint8_t> oack(uint32_t size) {
    return packet(TFTP_OACK, std::string("tsize") + '\0' + std::to_string(size) + '\0' + "timeout" + '\0' + "5");
}

struct Datagram {
    std::vector<uint8_t> bytes;
    uint32_t address = 0;
    uint16_t port = 0;
    uint32_t clockMs = 0;  // platClockMs() at arrival
    uint16_t opcode() const { return bytes.size() >= 2 ? static_cast<uint16_t>(bytes[0] << 8 | bytes[1]) : 0xffff; }
    uint16_t block() const { return bytes.size() >= 4 ? static_cast<uint16_t>(bytes[2] << 8 | bytes[3]) : 0xffff; }
};

// A UDP socket of the test, bound on a loopback address.
class UdpPeer {
public:
    UdpPeer() = default;
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;
    ~UdpPeer() {
        if (fd_ >= 0) close(fd_);
    }
    bool open(uint32_t address, uint16_t port = 0) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = addr(address, port);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        address_ = address;
        return true;
    }
    uint16_t port() const { return port_; }
    uint32_t address() const { return address_; }
    bool send(uint32_t address, uint16_t port, const std::vector<uint8_t>& bytes) {
        sockaddr_in a = addr(address, port);
        return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
               static_cast<ssize_t>(bytes.size());
    }
    // The next datagram, waiting at most timeoutMs of real time.
    std::optional<Datagram> receive(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
        Datagram d;
        d.bytes.resize(2048);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd_, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        d.clockMs = platClockMs();
        d.bytes.resize(static_cast<size_t>(n));
        d.address = ntohl(from.sin_addr.s_addr);
        d.port = ntohs(from.sin_port);
        return d;
    }

private:
    static sockaddr_in addr(uint32_t address, uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        a.sin_port = htons(port);
        return a;
    }
    int fd_ = -1;
    uint16_t port_ = 0;
    uint32_t address_ = 0;
};

// A well-behaved client: RRQ, ACK 0 for the OACK, then each DATA block
// acknowledged until the short one. The bytes, or nullopt when the server
// broke the protocol or fell silent for a second.
inline std::optional<std::vector<uint8_t>> download(UdpPeer& client, uint32_t server, uint16_t port,
                                                    const std::string& name) {
    if (!client.send(server, port, rrq(name))) return std::nullopt;
    std::optional<Datagram> d = client.receive(1000);
    if (!d || d->opcode() != TFTP_OACK || d->port != port) return std::nullopt;
    std::vector<uint8_t> bytes;
    for (uint16_t block = 0;; ++block) {
        client.send(server, port, ack(block));
        if (d->opcode() == TFTP_DATA && d->bytes.size() < TFTP_DATA_HEADER + TFTP_BLOCK_SIZE) return bytes;
        d = client.receive(1000);
        if (!d || d->opcode() != TFTP_DATA || d->block() != static_cast<uint16_t>(block + 1)) return std::nullopt;
        bytes.insert(bytes.end(), d->bytes.begin() + TFTP_DATA_HEADER, d->bytes.end());
    }
}

// ---------------------------------------------------------------- server

// What a session showed, from its start to its end.
struct SessionRecord {
    bool ended = false;
    std::vector<std::string> lines;     // every event line, in order
    std::vector<std::string> messages;  // the texts of the message boxes
    bool successDialog = false;
    uint32_t firstMessageClockMs = 0;   // platClockMs() when the first box opened
};

// One read request served by the real runTftpSession on a thread of its
// own, on a socket bound here. The thread ends its life with a marker
// window (template 990) so that finish() knows when it is over.
class SessionServer {
public:
    SessionServer() = default;
    SessionServer(const SessionServer&) = delete;
    SessionServer& operator=(const SessionServer&) = delete;
    ~SessionServer() {
        // A session that never ended (a failed test) is left to the end of
        // the process, with its socket.
        if (!finished_) {
            if (thread_.joinable()) thread_.detach();
            return;
        }
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }

    // Binds address:port and waits (at most acceptMs) on the thread for
    // the first datagram, which starts the session whatever it holds.
    bool start(uint32_t address, uint16_t port, int acceptMs = 20000) {
        ui_.emplace();
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        a.sin_port = htons(port);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        thread_ = std::thread([this, address, port, acceptMs] {
            pollfd p{fd_, POLLIN, 0};
            char name[TFTP_FILE_NAME_SIZE] = "";
            sockaddr_in from{};
            socklen_t len = sizeof from;
            if (poll(&p, 1, acceptMs) == 1) {
                uint8_t buf[TFTP_PACKET_SIZE];
                ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n > 2) snprintf(name, sizeof name, "%.*s", static_cast<int>(n - 2), buf + 2);
                runTftpSession(fd_, address, port, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), name);
            }
            static const DialogTemplate marker{990, 10, 10, "tftp session over", "MS Sans Serif", 8, nullptr, 0};
            platDestroyWindow(platCreateDialog(nullptr, &marker, [](PlatWindow, int, int) { return 0; }));
        });
        return true;
    }

    // Follows the session's event lines until it is over (at most
    // timeoutMs), pressing OK in every message box and success dialog.
    SessionRecord finish(int timeoutMs = 30000) {
        SessionRecord r;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int box = -1;
        while (!r.ended && std::chrono::steady_clock::now() < deadline) {
            std::string line = ui_->waitLine("");
            if (line.empty()) continue;
            r.lines.push_back(line);
            int w = -1;
            char kind[16] = "";
            if (sscanf(line.c_str(), "open %d %15s", &w, kind) == 2) {
                if (strcmp(kind, "msgbox") == 0) {
                    box = w;
                    if (r.messages.empty()) r.firstMessageClockMs = platClockMs();
                } else if (strcmp(kind, "111") == 0) {
                    r.successDialog = true;
                    ui_->command("press " + std::to_string(w) + " 1");
                } else if (strcmp(kind, "990") == 0) {
                    r.ended = true;
                }
            } else if (box >= 0 && line.rfind("text " + std::to_string(box) + " 0 ", 0) == 0) {
                std::string text = line.substr(line.find(" 0 ") + 3);
                r.messages.push_back(text.size() >= 2 ? text.substr(1, text.size() - 2) : text);
                ui_->command("press " + std::to_string(box) + " 1");
                box = -1;
            }
        }
        finished_ = r.ended;
        if (r.ended && thread_.joinable()) thread_.join();
        return r;
    }

private:
    std::optional<ulxtest::InProcessUi> ui_;
    std::thread thread_;
    int fd_ = -1;
    bool finished_ = false;
};

// The lines of `lines` that begin with prefix.
inline std::vector<std::string> linesStarting(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

}  // namespace tftptest
