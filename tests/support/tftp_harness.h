// Test support for the TFTP server: generated images, a scripted UDP peer on
// loopback, and the real session run in-process on a thread of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/base/base.h"
#include "platform/platform.h"
#include "platform/posix/clock_internal.h"
#include "support/inprocess.h"
#include "tftp/tftp.h"
#include "ui/ui.h"

namespace tftptest {

// 127.0.c.d in host order, and as text.
inline uint32_t loopback(int c, int d) { return 0x7f000000u | static_cast<uint32_t>(c << 8 | d); }
inline std::string dotted(uint32_t a) {
    return "127.0." + std::to_string(a >> 8 & 255) + '.' + std::to_string(a & 255);
}

// Seeded pseudo-random bytes with the version text at offset 92 when it fits.
inline std::vector<uint8_t> makeImage(size_t size, uint32_t seed, const char* version = "3.1.7(GWe)") {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    if (size > IMAGE_VERSION_OFFSET + strlen(version))
        strcpy(reinterpret_cast<char*>(&bytes[IMAGE_VERSION_OFFSET]), version);
    return bytes;
}

// Points the image record at bytes (which must outlive it); the version goes into
// the record's header even where the image has no room.
inline void installImage(FirmwareImage* image, const std::vector<uint8_t>& bytes, const char* version) {
    image->bytes = bytes.data();
    image->size = static_cast<uint32_t>(bytes.size());
    memset(image->header, 0, sizeof image->header);
    if (!bytes.empty()) memcpy(image->header, bytes.data(), std::min(bytes.size(), sizeof image->header));
    snprintf(reinterpret_cast<char*>(image->header + IMAGE_VERSION_OFFSET), IMAGE_HEADER_SIZE - IMAGE_VERSION_OFFSET,
             "%s", version);
}

// opcode, then text, then a NUL unless told otherwise.
inline std::vector<uint8_t> packet(uint16_t opcode, const std::string& text = "", bool nul = true) {
    std::vector<uint8_t> p(2 + text.size() + nul, 0);
    p[0] = static_cast<uint8_t>(opcode >> 8);
    p[1] = static_cast<uint8_t>(opcode);
    std::copy(text.begin(), text.end(), p.begin() + 2);
    return p;
}
inline std::vector<uint8_t> rrq(const std::string& name) { return packet(TFTP_RRQ, name + '\0' + "octet"); }
inline std::vector<uint8_t> ack(uint16_t block) {
    return packet(TFTP_ACK, {static_cast<char>(block >> 8), static_cast<char>(block)}, false);
}
// The OACK the server sends for an image of this size.
inline std::vector<uint8_t> oack(uint32_t size) {
    return packet(TFTP_OACK, std::string("tsize") + '\0' + std::to_string(size) + '\0' + "timeout" + '\0' + "5");
}

struct Datagram {
    std::vector<uint8_t> bytes;
    uint16_t port = 0;
    uint32_t clockMs = 0;  // platClockMs() at arrival
    uint16_t opcode() const { return bytes.size() >= 2 ? static_cast<uint16_t>(bytes[0] << 8 | bytes[1]) : 0xffff; }
    uint16_t block() const { return bytes.size() >= 4 ? static_cast<uint16_t>(bytes[2] << 8 | bytes[3]) : 0xffff; }
};

inline sockaddr_in inet(uint32_t address, uint16_t port) { return {AF_INET, htons(port), {htonl(address)}, {}}; }

// A UDP socket of the test on a loopback address.
class UdpPeer {
public:
    UdpPeer() = default;
    UdpPeer(const UdpPeer&) = delete;
    ~UdpPeer() { close(fd_); }
    bool open(uint32_t address, uint16_t port = 0) {
        sockaddr_in a = inet(address, port);
        return bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    bool send(uint32_t address, uint16_t port, const std::vector<uint8_t>& bytes) {
        sockaddr_in a = inet(address, port);
        return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
               static_cast<ssize_t>(bytes.size());
    }
    // The next datagram, waiting at most timeoutMs of real time.
    std::optional<Datagram> receive(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        Datagram d{std::vector<uint8_t>(2048)};
        sockaddr_in from{};
        socklen_t len = sizeof from;
        if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
        ssize_t n = recvfrom(fd_, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        d.bytes.resize(static_cast<size_t>(n));
        d.port = ntohs(from.sin_port);
        d.clockMs = platClockMs();
        return d;
    }

private:
    int fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// A well-behaved client on the real-time clock: RRQ, ACK 0 for the OACK, an ACK per
// DATA until the short one. The bytes, or nullopt on a broken protocol or 5 s of silence.
inline std::optional<std::vector<uint8_t>> download(UdpPeer& client, uint32_t server, uint16_t port,
                                                    const std::string& name) {
    // Real time till the end: the scaled clock would make a server's 30 retransmission
    // intervals shorter than a busy machine may stall a client.
    struct Restore {
        uint32_t scale;
        ~Restore() { platClockRescale(scale); }
    } realTime{platClockRescale(1)};
    client.send(server, port, rrq(name));
    std::optional<Datagram> d = client.receive(5000);
    if (!d || d->opcode() != TFTP_OACK || d->port != port) return std::nullopt;
    std::vector<uint8_t> bytes;
    for (uint16_t block = 0;; ++block) {
        client.send(server, port, ack(block));
        if (d->opcode() == TFTP_DATA && d->bytes.size() < TFTP_DATA_HEADER + TFTP_BLOCK_SIZE) return bytes;
        d = client.receive(5000);
        if (!d || d->opcode() != TFTP_DATA || d->block() != static_cast<uint16_t>(block + 1)) return std::nullopt;
        bytes.insert(bytes.end(), d->bytes.begin() + TFTP_DATA_HEADER, d->bytes.end());
    }
}

// What a session showed, from its start to its end.
struct SessionRecord {
    bool ended = false;
    std::vector<std::string> lines;     // every event line, in order
    std::vector<std::string> messages;  // the texts of the message boxes
    bool successDialog = false;
    int uploading = -1;                // the uploading window
    uint32_t firstMessageClockMs = 0;  // platClockMs() when the first box opened
    // The lines about the uploading window that begin with kind.
    std::vector<std::string> of(const std::string& kind) const {
        std::vector<std::string> out;
        std::string prefix = kind + " " + std::to_string(uploading) + " ";
        for (const auto& l : lines)
            if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
        return out;
    }
};

// One read request served by the real runTftpSession on a thread of its own,
// which ends with a marker window (template 990) for finish() to see. The thread never
// outlives the server: a session not begun is called off, a running one is driven to its end.
class SessionServer {
public:
    ~SessionServer() {
        uint64_t one = 1;
        if (write(wake_, &one, sizeof one) != sizeof one) perror("eventfd");
        while (thread_.joinable() && !finished_) finish();
        close(fd_);
        close(wake_);
    }

    // The first datagram within 20 s starts the session, whatever it holds;
    // the device is at its source unless given.
    bool start(uint32_t address, uint16_t port, uint32_t device = 0) {
        ui_.emplace();
        sockaddr_in a = inet(address, port);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        thread_ = std::thread([this, address, port, device] {
            pollfd p[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
            char name[TFTP_FILE_NAME_SIZE] = "";
            uint8_t buf[TFTP_PACKET_SIZE];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            if (poll(p, 2, 20000) > 0 && (p[0].revents & POLLIN)) {
                ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n > 2) snprintf(name, sizeof name, "%.*s", static_cast<int>(n - 2), buf + 2);
                uint32_t source = ntohl(from.sin_addr.s_addr);
                RunSetup& setup = *editRunSetup();
                setup.localAddress = address;
                setup.deviceAddress = device ? device : source;
                char reported[128];
                // The run shows the success dialog after a verified Target image.
                if (runTftpSession(setup, fd_, port, source, ntohs(from.sin_port), name, reported, sizeof reported) &&
                    g_stage.load() == Stage::Target)
                    showSuccessDialog(reported);
            }
            static const DialogTemplate marker{990, 10, 10, "tftp session over", "MS Sans Serif", 8, nullptr, 0};
            platDestroyWindow(platCreateDialog(
                &marker, [](PlatWindow, int, int, void*) { return 0; }, nullptr));
        });
        return true;
    }

    // Follows the session's lines until it is over (at most 30 s), pressing
    // OK in every message box and success dialog.
    SessionRecord finish() {
        SessionRecord r;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int box = -1;
        while (!r.ended && std::chrono::steady_clock::now() < deadline) {
            std::string line = ui_->waitLine("");
            if (line.empty()) continue;
            r.lines.push_back(line);
            int w = -1;
            char kind[16] = "";
            if (sscanf(line.c_str(), "open %d %15s", &w, kind) == 2) {
                std::string k = kind;
                if (k == "msgbox" && r.messages.empty()) r.firstMessageClockMs = platClockMs();
                if (k == "msgbox") box = w;
                if (k == "110") r.uploading = w;
                if (k == "111") r.successDialog = true, ui_->command("press " + std::to_string(w) + " 1");
                r.ended = k == "990";
            } else if (box >= 0 && line.rfind("text " + std::to_string(box) + " 0 \"", 0) == 0) {
                std::string text = line.substr(line.find(" 0 \"") + 4);
                r.messages.push_back(text.substr(0, text.size() - 1));
                ui_->command("press " + std::to_string(box) + " 1");
                box = -1;
            }
        }
        if ((finished_ = r.ended)) thread_.join();
        return r;
    }

private:
    std::optional<ulxtest::InProcessUi> ui_;
    std::thread thread_;
    int fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int wake_ = eventfd(0, EFD_CLOEXEC);
    bool finished_ = false;
};

}  // namespace tftptest
