// MD5 (RFC 1321): known digests, every length fed in random pieces against
// OpenSSL, wiping of the context, the 64-bit bit count, the hexadecimal text.
#include "web/md5.h"

#include <gtest/gtest.h>

#include <random>

#include "support/web_server.h"

namespace {

// The message fed in pieces of the given sizes (the last update takes the rest).
std::string md5Pieces(const std::string& message, const std::vector<size_t>& pieces = {}) {
    MD5_CTX context;
    MD5Init(&context);
    size_t at = 0;
    for (size_t size : pieces) {
        size_t n = std::min(size, message.size() - at);
        MD5Update(&context, message.data() + at, static_cast<uint32_t>(n));
        at += n;
    }
    MD5Update(&context, message.data() + at, static_cast<uint32_t>(message.size() - at));
    uint8_t digest[16];
    char text[33];
    MD5Final(digest, &context);
    digestToHex(digest, text);
    return text;
}

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [message, digest] : cases) EXPECT_EQ(digest, md5Pieces(message)) << '"' << message << '"';
}

// Every length 0 .. 300 (so 55/56/63/64/119/120/128 and the rest), in one
// piece and in random pieces of 0 .. 149 bytes (so updates that fill the
// buffer, span several blocks, or add nothing).
TEST(Md5, EveryLengthInPiecesMatchesOpenSsl) {
    std::mt19937 random(12345);
    for (size_t length = 0; length <= 300; ++length) {
        for (int round = 0; round < 8; ++round) {
            std::string message(length, '\0');
            for (char& c : message) c = static_cast<char>(random() & 0xff);
            std::vector<size_t> pieces;
            for (size_t total = 0; round > 0 && total < length; total += pieces.back())
                pieces.push_back(random() % 150);
            ASSERT_EQ(ulxtest::md5Hex(message), md5Pieces(message, pieces)) << "length " << length << ", " << round;
        }
    }
}

TEST(Md5, FinalLeavesOnlyZeros) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, "secret password", 15);
    uint8_t digest[16];
    MD5Final(digest, &context);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&context);
    for (size_t i = 0; i < sizeof context; ++i) ASSERT_EQ(0, bytes[i]) << "byte " << i;
}

// The bit count is 64 bits wide: a carry out of the low word reaches the high one.
TEST(Md5, BitCountCarriesIntoHighWord) {
    MD5_CTX context;
    MD5Init(&context);
    context.count[0] = 0xfffffff8u;  // 2^29 - 1 bytes so far
    MD5Update(&context, "x", 1);
    EXPECT_EQ(0u, context.count[0]);
    EXPECT_EQ(1u, context.count[1]);
}

TEST(Md5, HexTextIsLowercaseWithLeadingZerosAndExactly33Bytes) {
    const uint8_t digest[16] = {0x00, 0x0a, 0xff, 0x10, 0xab, 0xcd, 0xef, 0x01,
                                0x23, 0x45, 0x67, 0x89, 0x9a, 0xbc, 0xde, 0xf0};
    char text[34];
    memset(text, 'Z', sizeof text);
    digestToHex(digest, text);
    EXPECT_EQ(std::string("000aff10abcdef01234567899abcdef0"), text);
    EXPECT_EQ('Z', text[33]);
}

}  // namespace
