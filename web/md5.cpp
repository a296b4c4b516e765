// MD5 message digest after RFC 1321. Words are read and written least
// significant byte first by explicit shifts, so the result does not depend
// on the byte order of the processor.
#include "web/md5.h"

#include <cstddef>

namespace {

// Additive constants T[1..64] of RFC 1321: the integer part of
// 4294967296 * abs(sin(i)), i in radians.
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts: four per round, repeated over its sixteen steps.
constexpr int kShift[4][4] = {
    {7, 12, 17, 22},
    {5, 9, 14, 20},
    {4, 11, 16, 23},
    {6, 10, 15, 21},
};

uint32_t rotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Overwrites memory in a way the compiler may not drop as a dead store:
// key material (password-derived words) must not linger after use.
void wipe(void* p, size_t n) {
    volatile uint8_t* q = static_cast<volatile uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) q[i] = 0;
}

uint32_t readWordLE(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void writeWordLE(uint8_t* p, uint32_t w) {
    p[0] = static_cast<uint8_t>(w);
    p[1] = static_cast<uint8_t>(w >> 8);
    p[2] = static_cast<uint8_t>(w >> 16);
    p[3] = static_cast<uint8_t>(w >> 24);
}

// One 64-byte block through the four rounds of RFC 1321 section 3.4.
// Step i of round r uses auxiliary function F, G, H or I, message word
// x[k] with k = i, 5i+1, 3i+5 or 7i (mod 16), constant T[i+1] and the
// round's rotation for i mod 4; the registers then rotate (a,b,c,d) ->
// (d,a',b,c).
void transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = readWordLE(block + 4 * i);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int k;
        // clang-format off: the four rounds read as a table
        switch (i / 16) {
            case 0:
                f = (b & c) | (~b & d);
                k = i;
                break;  // F
            case 1:
                f = (b & d) | (c & ~d);
                k = (5 * i + 1) % 16;
                break;  // G
            case 2:
                f = b ^ c ^ d;
                k = (3 * i + 5) % 16;
                break;  // H
            default:
                f = c ^ (b | ~d);
                k = (7 * i) % 16;
                break;  // I
        }
        // clang-format on
        uint32_t next = b + rotateLeft(a + f + x[k] + kSine[i], kShift[i / 16][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;

    // The decoded words are derived from the message; do not leave them
    // on the stack.
    wipe(x, sizeof x);
}

}  // namespace

void MD5Init(MD5_CTX* context) {
    if (context == nullptr) return;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
    context->count[0] = 0;
    context->count[1] = 0;
}

void MD5Update(MD5_CTX* context, const void* input, uint32_t length) {
    if (context == nullptr || input == nullptr || length == 0) return;
    const uint8_t* bytes = static_cast<const uint8_t*>(input);

    // Bytes already waiting in the buffer, from the bit count.
    uint32_t index = (context->count[0] >> 3) & 0x3f;

    // Bit count modulo 2^64: 8 * length split over the two words with carry.
    uint32_t bits = length << 3;
    context->count[0] += bits;
    if (context->count[0] < bits) ++context->count[1];
    context->count[1] += length >> 29;

    uint32_t room = 64 - index;
    uint32_t used = 0;
    if (length >= room) {
        // Complete the waiting block, then run whole blocks straight from
        // the input.
        for (uint32_t i = 0; i < room; ++i) context->buffer[index + i] = bytes[i];
        transform(context->state, context->buffer);
        for (used = room; length - used >= 64; used += 64) transform(context->state, bytes + used);
        index = 0;
    }
    for (uint32_t i = 0; used + i < length; ++i) context->buffer[index + i] = bytes[used + i];
}

void MD5Final(uint8_t digest[16], MD5_CTX* context) {
    if (context == nullptr) return;

    // The length field holds the count as it was before padding.
    uint8_t lengthBytes[8];
    writeWordLE(lengthBytes, context->count[0]);
    writeWordLE(lengthBytes + 4, context->count[1]);

    // 0x80 then zeros up to 56 mod 64, so that the 8 length bytes end a block.
    static const uint8_t kPadding[64] = {0x80};
    uint32_t index = (context->count[0] >> 3) & 0x3f;
    uint32_t padLength = index < 56 ? 56 - index : 120 - index;
    MD5Update(context, kPadding, padLength);
    MD5Update(context, lengthBytes, 8);

    if (digest != nullptr) {
        for (int i = 0; i < 4; ++i) writeWordLE(digest + 4 * i, context->state[i]);
    }
    wipe(context, sizeof *context);
}

void digestToHex(const uint8_t digest[16], char text[33]) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 0x0f];
    }
    text[32] = '\0';
}
