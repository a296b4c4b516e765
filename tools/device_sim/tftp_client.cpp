#include "tftp_client.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "crypto.h"
#include "net.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

enum Opcode : uint16_t { RRQ = 1, WRQ = 2, DATA = 3, ACK = 4, ERROR = 5, OACK = 6 };

constexpr size_t kBlockSize = 512;
constexpr size_t kMaxImage = 64u * 1024 * 1024;
// The timeout asked for in the read request, and our retransmission interval.
constexpr auto kTimeout = std::chrono::seconds(5);
// Give up after this many intervals without a word from the server.
constexpr int kMaxSilentIntervals = 5;
// Log lines per kind of repeated event; the rest is only counted.
constexpr int kMaxDetailLines = 50;

uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void putU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xff));
}

void putText(std::vector<uint8_t>& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

bool isDecimal(const std::string& text, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool sameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// One transfer from the read request to the last block.
class Transfer {
public:
    Transfer(Log& log, const TftpFaults& faults, const std::atomic<bool>& stop)
        : log_(log), faults_(faults), stop_(stop) {}

    TftpResult run(uint32_t localAddress, uint32_t serverAddress, uint16_t serverPort, const std::string& fileName,
                   const std::function<void()>& onLastBlock);

private:
    bool openSocket(Fd& fd, uint32_t localAddress);
    void sendTo(int fd, const std::vector<uint8_t>& packet, const sockaddr_in& to);
    void sendRrq();
    void sendError(const sockaddr_in& to, uint16_t code, const std::string& message);
    void sendAck(uint16_t block);
    bool acksStopped();
    void handle(const uint8_t* packet, size_t length, const sockaddr_in& from);
    void handleOack(const uint8_t* packet, size_t length);
    void handleData(const uint8_t* packet, size_t length);
    void fail(std::string reason) {
        if (error_.empty()) error_ = std::move(reason);
    }
    void logDone(const TftpResult& result);

    Log& log_;
    const TftpFaults& faults_;
    const std::atomic<bool>& stop_;

    Fd socket_;
    Fd foreign_;            // second port of --foreign-port-ack
    sockaddr_in server_{};  // where the read request goes
    sockaddr_in peer_{};    // the server's transfer port, fixed by its first answer
    bool havePeer_ = false;
    std::string fileName_;
    std::string error_;
    Clock::time_point started_;
    Clock::time_point lastBlockAt_{};  // when the last block came in

    std::vector<uint8_t> image_;
    bool oackSeen_ = false;
    bool finished_ = false;  // the short last block has arrived
    uint16_t lastBlock_ = 0;
    long blocks_ = 0;  // DATA blocks received (first arrivals), not wrapped
    long tsize_ = -1;
    uint16_t lastAck_ = 0;
    bool haveLastAck_ = false;
    bool rrqRepeated_ = false;
    bool stoppedLogged_ = false;
    bool newPortUsed_ = false;
    uint32_t localAddress_ = 0;

    long retransmissionsSeen_ = 0;
    long ackAttempts_ = 0;
    long acksSent_ = 0;
    long acksDropped_ = 0;
    long acksResent_ = 0;
    long duplicateAcksSent_ = 0;
    long foreignAcksSent_ = 0;
    long foreignDatagrams_ = 0;
    long ignored_ = 0;
};

bool Transfer::openSocket(Fd& fd, uint32_t localAddress) {
    fd.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        fail(std::string("udp socket: ") + strerror(errno));
        return false;
    }
    sockaddr_in local = socketAddress(localAddress, 0);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        fail("udp bind " + formatIPv4(localAddress) + ": " + strerror(errno));
        return false;
    }
    return true;
}

void Transfer::sendTo(int fd, const std::vector<uint8_t>& packet, const sockaddr_in& to) {
    sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void Transfer::sendRrq() {
    // Like a real client: octet mode, and ask for the size and a timeout.
    std::vector<uint8_t> packet;
    putU16(packet, RRQ);
    putText(packet, fileName_);
    for (const char* text : {"octet", "tsize", "0", "timeout", "5"}) putText(packet, text);
    sendTo(socket_.get(), packet, server_);
}

void Transfer::sendError(const sockaddr_in& to, uint16_t code, const std::string& message) {
    std::vector<uint8_t> packet;
    putU16(packet, ERROR);
    putU16(packet, code);
    putText(packet, message);
    sendTo(socket_.get(), packet, to);
}

bool Transfer::acksStopped() {
    bool stopped = (faults_.stopAckAt > 0 && blocks_ >= faults_.stopAckAt) || (faults_.neverAckOack && blocks_ == 0);
    if (stopped && !stoppedLogged_ && blocks_ > 0) {
        stoppedLogged_ = true;
        log_.write(Json("tftp_acks_stopped").num("at_block", blocks_));
    }
    return stopped;
}

void Transfer::sendAck(uint16_t block) {
    if (acksStopped()) return;
    lastAck_ = block;
    haveLastAck_ = true;
    ++ackAttempts_;
    if (faults_.dropAckEvery > 0 && ackAttempts_ % faults_.dropAckEvery == 0) {
        ++acksDropped_;
        if (acksDropped_ <= kMaxDetailLines) log_.write(Json("tftp_ack_dropped").num("block", block));
        return;
    }
    std::vector<uint8_t> packet;
    putU16(packet, ACK);
    putU16(packet, block);
    sendTo(socket_.get(), packet, peer_);
    ++acksSent_;
    if (faults_.duplicateAcks) {
        sendTo(socket_.get(), packet, peer_);
        ++duplicateAcksSent_;
    }
    if (faults_.foreignPortAck) {
        sendTo(foreign_.get(), packet, peer_);
        ++foreignAcksSent_;
    }
}

void Transfer::handleOack(const uint8_t* packet, size_t length) {
    if (blocks_ > 0) {
        ++ignored_;
        log_.write(Json("tftp_ignored").str("reason", "option acknowledgement after DATA"));
        return;
    }
    if (oackSeen_) {
        ++retransmissionsSeen_;
        if (retransmissionsSeen_ <= kMaxDetailLines)
            log_.write(Json("tftp_retransmission").num("block", 0).str("packet", "OACK"));
        sendAck(0);
        return;
    }
    if (faults_.rrqNewPort && !newPortUsed_) {
        // As if the OACK never came: the client gives up on this port and
        // asks again from a new one, a new transfer identifier.
        newPortUsed_ = true;
        if (!openSocket(socket_, localAddress_)) return;
        havePeer_ = false;
        sendRrq();
        sockaddr_in local{};
        socklen_t localLength = sizeof local;
        getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&local), &localLength);
        log_.write(
            Json("tftp_rrq_new_port").str("from", formatEndpoint(local)).str("oack_from", formatEndpoint(peer_)));
        return;
    }
    oackSeen_ = true;

    // Options: NUL-terminated name and value pairs, only those we asked for.
    std::vector<std::string> texts, problems;
    std::string current;
    for (size_t i = 2; i < length; ++i) {
        if (packet[i] == 0) {
            texts.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(packet[i]);
        }
    }
    if (!current.empty()) problems.push_back("last text not NUL-terminated");
    if (texts.size() % 2 != 0) problems.push_back("option without value");
    if (texts.empty()) problems.push_back("no options");
    std::vector<std::pair<std::string, std::string>> options;
    for (size_t i = 0; i + 1 < texts.size(); i += 2) {
        std::string name = lower(texts[i]);
        const std::string& value = texts[i + 1];
        options.emplace_back(texts[i], value);
        if (name == "tsize") {
            if (isDecimal(value, 10)) tsize_ = std::stol(value);
            else problems.push_back("tsize not a decimal number");
        } else if (name == "timeout") {
            // RFC 2349: the server takes the timeout asked for or leaves the option out.
            if (value != "5") problems.push_back("timeout " + value + " differs from the 5 asked for");
        } else {
            problems.push_back("option " + texts[i] + " was not requested");
        }
    }
    log_.write(Json("tftp_oack")
                   .str("from", formatEndpoint(peer_))
                   .str("hex", hexBytes(packet, length, ' '))
                   .pairs("options", options)
                   .flag("ok", problems.empty())
                   .strings("problems", problems));
    if (!problems.empty()) {
        sendError(peer_, 8, "option negotiation failed");
        fail("bad option acknowledgement");
        return;
    }
    if (faults_.neverAckOack) {
        log_.write(Json("tftp_oack_not_acked"));
        return;
    }
    sendAck(0);
}

void Transfer::handleData(const uint8_t* packet, size_t length) {
    uint16_t block = readU16(packet + 2);
    size_t size = length - 4;
    if (!finished_ && block == static_cast<uint16_t>(lastBlock_ + 1)) {
        if (blocks_ == 0 && !oackSeen_)
            log_.write(Json("tftp_no_oack").str("reason", "the server answered with DATA 1, ignoring the options"));
        if (size > kBlockSize) {
            sendError(peer_, 4, "block larger than 512 bytes");
            fail("DATA block " + std::to_string(block) + " larger than 512 bytes");
            return;
        }
        if (image_.size() + size > kMaxImage) {
            sendError(peer_, 3, "image too large");
            fail("image larger than 64 MiB");
            return;
        }
        image_.insert(image_.end(), packet + 4, packet + length);
        lastBlock_ = block;
        ++blocks_;
        if (faults_.repeatRrqAt > 0 && blocks_ == faults_.repeatRrqAt && !rrqRepeated_) {
            rrqRepeated_ = true;
            sendRrq();
            log_.write(Json("tftp_rrq_repeated").num("at_block", blocks_).str("to", formatEndpoint(server_)));
        }
        sendAck(block);
        if (size < kBlockSize) finished_ = true;
    } else if (blocks_ > 0 && block == lastBlock_) {
        ++retransmissionsSeen_;
        if (retransmissionsSeen_ <= kMaxDetailLines)
            log_.write(Json("tftp_retransmission").num("block", block).str("packet", "DATA"));
        sendAck(block);
    } else {
        ++ignored_;
        if (ignored_ <= kMaxDetailLines)
            log_.write(Json("tftp_ignored").str("reason", "unexpected DATA block").num("block", block));
    }
}

void Transfer::handle(const uint8_t* packet, size_t length, const sockaddr_in& from) {
    // The first answer from the server's address fixes its transfer port
    // (the port the read request went to, or a new one as RFC 1350 allows).
    if (!havePeer_ && from.sin_addr.s_addr == server_.sin_addr.s_addr) {
        havePeer_ = true;
        peer_ = from;
        log_.write(Json("tftp_first_answer")
                       .str("from", formatEndpoint(from))
                       .flag("from_request_port", from.sin_port == server_.sin_port)
                       .num("opcode", length >= 2 ? readU16(packet) : -1));
    }
    if (!havePeer_ || !sameEndpoint(from, peer_)) {
        ++foreignDatagrams_;
        if (foreignDatagrams_ <= kMaxDetailLines)
            log_.write(
                Json("tftp_foreign").str("from", formatEndpoint(from)).num("bytes", static_cast<long long>(length)));
        sendError(from, 5, "Unknown transfer ID");
        return;
    }
    uint16_t opcode = length >= 2 ? readU16(packet) : 0;
    if (opcode == OACK) {
        handleOack(packet, length);
    } else if (opcode == DATA && length >= 4) {
        handleData(packet, length);
    } else if (opcode == ERROR) {
        std::string message;
        for (size_t i = 4; i < length && packet[i] != 0 && message.size() < 200; ++i)
            message += static_cast<char>(packet[i]);
        long code = length >= 4 ? readU16(packet + 2) : -1;
        log_.write(Json("tftp_error_received").num("code", code).str("message", message));
        fail("server sent ERROR " + std::to_string(code) + ": " + message);
    } else {
        ++ignored_;
        if (ignored_ <= kMaxDetailLines)
            log_.write(Json("tftp_ignored")
                           .str("reason", "unexpected packet")
                           .str("hex", hexBytes(packet, length < 16 ? length : 16, ' ')));
    }
}

TftpResult Transfer::run(uint32_t localAddress, uint32_t serverAddress, uint16_t serverPort,
                         const std::string& fileName, const std::function<void()>& onLastBlock) {
    started_ = Clock::now();
    fileName_ = fileName;
    localAddress_ = localAddress;
    server_ = socketAddress(serverAddress, serverPort);
    TftpResult result;
    if (!openSocket(socket_, localAddress) || (faults_.foreignPortAck && !openSocket(foreign_, localAddress))) {
        result.error = error_;
        logDone(result);
        return result;
    }
    sendRrq();
    sockaddr_in local{};
    socklen_t localLength = sizeof local;
    getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&local), &localLength);
    log_.write(Json("tftp_rrq")
                   .str("from", formatEndpoint(local))
                   .str("to", formatEndpoint(server_))
                   .str("file", fileName_)
                   .str("mode", "octet")
                   .str("options", "tsize=0 timeout=5"));

    auto lastWord = Clock::now();  // last datagram from the server
    Clock::time_point dallyEnd{};
    int silentIntervals = 0;
    uint8_t buffer[1024];
    while (error_.empty()) {
        if (stop_) {
            fail("stopped");
            break;
        }
        if (finished_ && dallyEnd == Clock::time_point{}) {
            lastBlockAt_ = Clock::now();
            if (onLastBlock) onLastBlock();
            dallyEnd = Clock::now() + std::chrono::milliseconds(faults_.dallyMs);
        }
        if (finished_ && Clock::now() >= dallyEnd) break;
        int ready = waitReadable(socket_.get(), 100);
        if (ready < 0) {
            fail(std::string("poll: ") + strerror(errno));
            break;
        }
        if (ready == 0) {
            if (finished_ || Clock::now() - lastWord < kTimeout) continue;
            lastWord = Clock::now();
            if (++silentIntervals > kMaxSilentIntervals) {
                fail(havePeer_ ? "the server went silent" : "no answer to the read request");
                break;
            }
            if (!havePeer_) {
                sendRrq();
                log_.write(Json("tftp_rrq_resent").num("attempt", silentIntervals));
            } else if (haveLastAck_ && !acksStopped()) {
                // A real client repeats its last acknowledgement when nothing comes.
                std::vector<uint8_t> packet;
                putU16(packet, ACK);
                putU16(packet, lastAck_);
                sendTo(socket_.get(), packet, peer_);
                ++acksResent_;
                log_.write(Json("tftp_ack_resent").num("block", lastAck_));
            }
            continue;
        }
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = recvfrom(socket_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) continue;
        handle(buffer, static_cast<size_t>(n), from);
        if (havePeer_ && sameEndpoint(from, peer_)) {
            lastWord = Clock::now();
            silentIntervals = 0;
        }
    }
    result.complete = finished_ && error_.empty();
    result.error = result.complete ? "" : error_;
    result.sha256 = sha256Hex(image_.data(), image_.size());
    result.image = std::move(image_);
    logDone(result);
    return result;
}

void Transfer::logDone(const TftpResult& result) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
    Json line("tftp_done");
    line.flag("complete", result.complete)
        .str("error", result.error)
        .str("file", fileName_)
        .num("blocks", blocks_)
        .num("bytes", static_cast<long long>(result.image.size()))
        .num("tsize", tsize_)
        .flag("size_matches_tsize", tsize_ < 0 || tsize_ == static_cast<long long>(result.image.size()))
        .num("retransmissions_seen", retransmissionsSeen_)
        .num("acks_sent", acksSent_)
        .num("acks_dropped", acksDropped_)
        .num("acks_resent", acksResent_)
        .num("duplicate_acks_sent", duplicateAcksSent_)
        .num("foreign_acks_sent", foreignAcksSent_)
        .num("foreign_datagrams", foreignDatagrams_)
        .num("ignored", ignored_)
        .flag("rrq_repeated", rrqRepeated_)
        .flag("rrq_new_port", newPortUsed_)
        .str("sha256", result.sha256)
        .num("ms", ms);
    // From the read request to the last block in, as the device sees it.
    if (lastBlockAt_ != Clock::time_point{})
        line.num("transfer_us", std::chrono::duration_cast<std::chrono::microseconds>(lastBlockAt_ - started_).count());
    log_.write(line);
}

}  // namespace

TftpResult fetchImage(Log& log, const TftpFaults& faults, const std::atomic<bool>& stop, uint32_t localAddress,
                      uint32_t serverAddress, uint16_t serverPort, const std::string& fileName,
                      const std::function<void()>& onLastBlock) {
    Transfer transfer(log, faults, stop);
    return transfer.run(localAddress, serverAddress, serverPort, fileName, onLastBlock);
}

}  // namespace sim
