// The byte layouts the server sends: OACK and DATA (RFC 1350, RFC 2347,
// RFC 2349), built in place in the caller's buffer; and the one it reads
// from outside, the read request's file name.
#include <cstdio>
#include <cstring>

#include "tftp/tftp.h"

void writeU16BE(uint8_t* dst, uint32_t value) {
    dst[0] = static_cast<uint8_t>((value >> 8) & 0xffu);
    dst[1] = static_cast<uint8_t>(value & 0xffu);
}

uint16_t readU16BE(const uint8_t* src) { return static_cast<uint16_t>((static_cast<unsigned>(src[0]) << 8) | src[1]); }

namespace {
// Appends text and its NUL at offset; the new offset.
int putText(uint8_t* packet, int offset, const char* text) {
    size_t n = strlen(text) + 1;
    memcpy(packet + offset, text, n);
    return offset + static_cast<int>(n);
}
}  // namespace

// opcode 6 | "tsize" NUL | size in decimal NUL | "timeout" NUL | "5" NUL:
// 19 + d bytes for a size of d digits, at most 29. No block size option is
// offered, so the device keeps 512-byte blocks.
bool sendOptionAck(PlatSocket s, uint8_t* packet, const SockAddrIn* to, uint32_t imageSize) {
    char size[16];
    int digits = snprintf(size, sizeof size, "%u", static_cast<unsigned>(imageSize));
    if (digits <= 0 || digits >= static_cast<int>(sizeof size)) return false;
    writeU16BE(packet, TFTP_OACK);
    int length = putText(packet, 2, "tsize");
    length = putText(packet, length, size);
    length = putText(packet, length, "timeout");
    length = putText(packet, length, "5");
    return platSendTo(s, packet, length, to) == length;
}

bool sendDataBlock(PlatSocket s, uint8_t* packet, const uint8_t* data, uint32_t length, uint16_t block,
                   const SockAddrIn* to) {
    if (length > static_cast<uint32_t>(TFTP_BLOCK_SIZE)) length = TFTP_BLOCK_SIZE;
    writeU16BE(packet, TFTP_DATA);
    writeU16BE(packet + 2, block);
    if (length > 0) memcpy(packet + TFTP_DATA_HEADER, data, length);
    const int size = TFTP_DATA_HEADER + static_cast<int>(length);
    return platSendTo(s, packet, size, to) == size;
}

const char* readRequestFileName(const uint8_t* packet, int length) {
    if (length < 2 || readU16BE(packet) != TFTP_RRQ) return nullptr;
    const void* end = memchr(packet + 2, '\0', static_cast<size_t>(length - 2));
    return end ? reinterpret_cast<const char*>(packet + 2) : nullptr;
}
