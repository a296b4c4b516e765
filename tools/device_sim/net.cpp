#include "net.h"

#include "shared/text.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace sim {

void Fd::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

bool parseIPv4(std::string_view text, uint32_t& address) { return ulxtools::parseDottedQuad(text, address); }

std::string formatIPv4(uint32_t address) { return ulxtools::formatDottedQuad(address); }

sockaddr_in socketAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

uint32_t addressOf(const sockaddr_in& sa) { return ntohl(sa.sin_addr.s_addr); }
uint16_t portOf(const sockaddr_in& sa) { return ntohs(sa.sin_port); }

std::string formatEndpoint(const sockaddr_in& sa) {
    return formatIPv4(addressOf(sa)) + ":" + std::to_string(portOf(sa));
}

int waitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

std::string hexBytes(const uint8_t* data, size_t size, char sep) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        if (i > 0 && sep != 0) out += sep;
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0f];
    }
    return out;
}

}  // namespace sim
