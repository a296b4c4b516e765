// Small socket helpers for the device simulator: an owning file
// descriptor, IPv4 text conversion, and a bounded wait for input.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

// Owns one file descriptor and closes it when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Strict dotted quad "a.b.c.d", each part 0..255 in decimal; host order out.
bool parseIPv4(std::string_view text, uint32_t& address);
std::string formatIPv4(uint32_t address);

sockaddr_in socketAddress(uint32_t address, uint16_t port);
uint32_t addressOf(const sockaddr_in& socketAddress);
uint16_t portOf(const sockaddr_in& socketAddress);
std::string formatEndpoint(const sockaddr_in& socketAddress);

// Waits up to ms for fd to become readable: 1 readable (or closed by the
// peer), 0 time out, -1 error. EINTR counts as a time out.
int waitReadable(int fd, int ms);

// Lowercase hexadecimal, bytes separated by sep (none when sep is 0).
std::string hexBytes(const uint8_t* data, size_t size, char sep = 0);

}  // namespace sim
