// The read request as the listener takes it from the socket: at most 1024
// bytes from anyone on the LAN. The name must lie inside the datagram, NUL
// included, and only opcode 1 yields one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tftp/tftp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(TFTP_PACKET_SIZE)) size = TFTP_PACKET_SIZE;  // what one receive takes
    // A copy of exactly the received length, so any read past it is caught.
    std::vector<uint8_t> datagram(data, data + size);
    const uint8_t* packet = datagram.empty() ? nullptr : datagram.data();
    int length = static_cast<int>(size);
    const char* name = packet ? readRequestFileName(packet, length) : nullptr;
    if (!name) return 0;
    if (length < 3 || readU16BE(packet) != TFTP_RRQ) abort();
    if (name != reinterpret_cast<const char*>(packet + 2)) abort();
    if (memchr(name, '\0', static_cast<size_t>(length - 2)) == nullptr) abort();
    return 0;
}
