// Discovery: the address ranges of --scan, the sweep of a TCP port over
// them, and what became of the hosts that answered (the list they give,
// the summary line).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

#include "fleet/fleet.h"
#include "shared/text.h"

namespace fleet {

namespace {

using Steady = std::chrono::steady_clock;

// One to maxDigits decimal digits, nothing else, at most high.
bool smallNumber(const std::string& text, size_t maxDigits, uint32_t high, uint32_t& out) {
    if (text.empty() || text.size() > maxDigits) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v > high) return false;
    out = v;
    return true;
}

// A unicast address a device can have: not in 0.0.0.0/8, nor multicast
// or reserved (224.0.0.0 and above).
bool unicast(uint32_t a) { return (a >> 24) != 0 && (a >> 24) < 224; }

}  // namespace

bool parseScanRange(const std::string& text, uint32_t& first, uint32_t& last, std::string& error) {
    const size_t slash = text.find('/'), dash = text.find('-');
    const std::string head = text.substr(0, std::min(slash, dash));
    uint32_t base = 0;
    if (!ulxtools::parseDottedQuad(head, base)) {
        error = "\"" + text + "\" is no address range (a.b.c.d/P or a.b.c.d-e)";
        return false;
    }
    if (slash != std::string::npos) {
        uint32_t prefix = 0;
        if (dash != std::string::npos || !smallNumber(text.substr(slash + 1), 2, 32, prefix)) {
            error = "\"" + text + "\": the prefix length is a number from 16 to 32";
            return false;
        }
        if (prefix < 16) {
            error = "\"" + text + "\" is larger than a /16 (65536 addresses)";
            return false;
        }
        const uint32_t mask = prefix == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
        if ((base & ~mask) != 0) {
            error = "\"" + text + "\" has host bits set: the network is " + ulxtools::formatDottedQuad(base & mask) +
                    "/" + std::to_string(prefix);
            return false;
        }
        first = base;
        last = base | ~mask;
        if (prefix <= 30) {  // the network and broadcast addresses are no host's
            ++first;
            --last;
        }
    } else if (dash != std::string::npos) {
        uint32_t end = 0;
        if (!smallNumber(text.substr(dash + 1), 3, 255, end) || end < (base & 255)) {
            error = "\"" + text + "\": the range's end is a last octet from " + std::to_string(base & 255) + " to 255";
            return false;
        }
        first = base;
        last = (base & ~255u) | end;
    } else {
        first = last = base;
    }
    if (!unicast(first) || !unicast(last)) {
        error = "\"" + text + "\" holds addresses no device can have";
        return false;
    }
    return true;
}

bool scanAddresses(const std::vector<std::string>& values, std::vector<uint32_t>& out, std::string& error) {
    // Ranges as first..last, merged where they overlap, so a /16 given
    // twice costs no more than once.
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const std::string& v : values) {
        uint32_t first = 0, last = 0;
        if (!parseScanRange(v, first, last, error)) return false;
        ranges.emplace_back(first, last);
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<uint32_t, uint32_t>> merged;
    for (const auto& r : ranges)
        if (!merged.empty() && r.first <= merged.back().second + 1ull)
            merged.back().second = std::max(merged.back().second, r.second);
        else merged.push_back(r);
    uint64_t total = 0;
    for (const auto& r : merged) total += uint64_t{r.second} - r.first + 1;
    if (total > kMaxScanAddresses) {
        error = "the scan covers " + std::to_string(total) + " addresses, more than a /16 (65536)";
        return false;
    }
    out.clear();
    out.reserve(static_cast<size_t>(total));
    for (const auto& r : merged)
        for (uint64_t a = r.first; a <= r.second; ++a) out.push_back(static_cast<uint32_t>(a));
    return true;
}

// ---------------------------------------------------------------- the sweep

namespace {

// The sockets of a sweep, each closed once.
class Sweep {
public:
    Sweep(const std::vector<uint32_t>& addresses, uint16_t port, const SweepLimits& limits, SweepResult& result)
        : addresses_(addresses), port_(port), limits_(limits), result_(result), fds_(addresses.size(), -1) {}
    ~Sweep() {
        for (int fd : fds_)
            if (fd >= 0) close(fd);
        if (epoll_ >= 0) close(epoll_);
    }

    bool run(std::string& error) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) return fail("epoll_create1", error);
        const auto begin = Steady::now();
        size_t next = 0;
        epoll_event events[64];
        while (next < addresses_.size() || open_ > 0) {
            // Connections started earlier time out earlier: the oldest one
            // still open sets how long the wait may be. The places of those
            // timed out are taken at once, before the wait.
            while (!order_.empty()) {
                const auto [index, deadline] = order_.front();
                if (fds_[index] >= 0) {
                    if (deadline > Steady::now()) break;
                    ++result_.silent;
                    end(index);
                }
                order_.pop_front();
            }
            while (open_ < limits_.inFlight && next < addresses_.size())
                if (!start(next++, error)) return false;
            if (order_.empty()) continue;
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(order_.front().second - Steady::now()).count();
            const int n = epoll_wait(epoll_, events, 64, static_cast<int>(std::max<long long>(left, 0)));
            if (n < 0 && errno != EINTR) return fail("epoll_wait", error);
            for (int i = 0; i < n; ++i) {
                const size_t index = static_cast<size_t>(events[i].data.u64);
                if (fds_[index] < 0) continue;
                int fault = 0;
                socklen_t length = sizeof fault;
                if (getsockopt(fds_[index], SOL_SOCKET, SO_ERROR, &fault, &length) != 0) fault = errno;
                classify(index, fault);
                end(index);
            }
        }
        std::sort(result_.answered.begin(), result_.answered.end());
        result_.elapsedMs =
            static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - begin).count());
        return true;
    }

private:
    static bool fail(const char* what, std::string& error) {
        error = std::string("the scan: ") + what + ": " + strerror(errno);
        return false;
    }

    bool start(size_t index, std::string& error) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return fail("socket", error);
        fds_[index] = fd;
        ++open_;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        to.sin_addr.s_addr = htonl(addresses_[index]);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
            classify(index, 0);
            end(index);
            return true;
        }
        if (errno != EINPROGRESS) {
            classify(index, errno);
            end(index);
            return true;
        }
        epoll_event e{};
        e.events = EPOLLOUT;  // writable once connected or failed; errors and hangups always report
        e.data.u64 = index;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) != 0) return fail("epoll_ctl", error);
        order_.emplace_back(index, Steady::now() + std::chrono::milliseconds(limits_.timeoutMs));
        return true;
    }

    void classify(size_t index, int fault) {
        if (fault == 0) result_.answered.push_back(addresses_[index]);
        else if (fault == ECONNREFUSED) ++result_.refused;
        else ++result_.unreachable;
    }

    // Closing the socket also takes it out of the epoll set.
    void end(size_t index) {
        close(fds_[index]);
        fds_[index] = -1;
        --open_;
    }

    const std::vector<uint32_t>& addresses_;
    const uint16_t port_;
    const SweepLimits limits_;
    SweepResult& result_;
    std::vector<int> fds_;                                     // per address: its socket while open
    std::deque<std::pair<size_t, Steady::time_point>> order_;  // open connections by start, with deadlines
    int epoll_ = -1;
    int open_ = 0;
};

}  // namespace

bool sweepPort(const std::vector<uint32_t>& addresses, uint16_t port, const SweepLimits& limits, SweepResult& result,
               std::string& error) {
    result = SweepResult{};
    return Sweep(addresses, port, limits, result).run(error);
}

// ---------------------------------------------------------------- what a scan found

std::string scanListText(const std::vector<Record>& records, const std::string& header) {
    std::string text = "# " + header + "\n";
    std::string unidentified;
    for (const Record& r : records) {
        if (!r.entry.scanned || r.outcome == Outcome::NotUlx) continue;
        const std::string line = r.entry.address + "," + r.entry.user;
        if (r.outcome == Outcome::Identified) text += line + "\n";
        else unidentified += "# " + line + ": " + outcomeText(r.outcome) + "\n";
    }
    if (!unidentified.empty()) text += "# Found, but not identified:\n" + unidentified;
    return text;
}

std::string scanSummary(const std::vector<Record>& records) {
    int answered = 0;
    std::map<Outcome, int> tally;
    for (const Record& r : records)
        if (r.entry.scanned) {
            ++answered;
            ++tally[r.outcome];
        }
    const int ulx = tally[Outcome::Identified];
    std::string text = std::to_string(answered) + (answered == 1 ? " host" : " hosts") + " answered on port 80, " +
                       std::to_string(ulx) + (ulx == 1 ? " was a ULX device, " : " were ULX devices, ") +
                       std::to_string(tally[Outcome::NotUlx]) + " not a ULX";
    for (const auto& [outcome, n] : tally)
        if (n > 0 && outcome != Outcome::Identified && outcome != Outcome::NotUlx)
            text += ", " + std::to_string(n) + " " + outcomeText(outcome);
    return text;
}

}  // namespace fleet
