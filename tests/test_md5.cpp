// MD5 (RFC 1321): known digests, padding boundaries, piecewise feeding,
// wiping of the context, hexadecimal text, and a randomised comparison with
// OpenSSL's MD5.
#include "web/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string hexOf(const uint8_t digest[16]) {
    char text[33];
    digestToHex(digest, text);
    return text;
}

// Feeds the message in pieces of the given sizes (the last piece takes the rest).
std::string md5Pieces(const std::string& message, const std::vector<size_t>& pieces) {
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
    MD5Final(digest, &context);
    return hexOf(digest);
}

std::string md5Text(const std::string& message) { return md5Pieces(message, {}); }

std::string opensslMd5(const std::string& message) {
    uint8_t digest[16];
    unsigned int length = 0;
    EXPECT_EQ(1, EVP_Digest(message.data(), message.size(), digest, &length, EVP_md5(), nullptr));
    EXPECT_EQ(16u, length);
    return hexOf(digest);
}

TEST(Md5, Rfc1321TestSuite) {
    struct Case { const char* message; const char* digest; };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890"
         "1234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.digest, md5Text(c.message)) << '"' << c.message << '"';
}

// 55 bytes leave room for padding in the block; 56..63 need a second block;
// 64 is a full block followed by a padding block.
TEST(Md5, PaddingBoundaryLengths) {
    for (size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u}) {
        std::string message(length, 'q');
        for (size_t i = 0; i < length; ++i) message[i] = static_cast<char>('a' + i % 26);
        EXPECT_EQ(opensslMd5(message), md5Text(message)) << "length " << length;
    }
}

TEST(Md5, PiecewiseFeedingEqualsOneShot) {
    std::string message;
    for (int i = 0; i < 200; ++i) message += static_cast<char>(i * 7 + 3);
    const std::string expected = md5Text(message);
    const std::vector<std::vector<size_t>> splits = {
        {0, 0, 0}, {1}, {63, 1}, {64}, {0, 64, 0, 64, 0}, {10, 20, 30, 40}, {199}, {1, 1, 1, 1, 1, 127},
    };
    for (const auto& split : splits) EXPECT_EQ(expected, md5Pieces(message, split));
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
    context.count[0] = 0xfffffff8u;  // 2^29 - 1 bytes so far: one byte before the wrap
    MD5Update(&context, "x", 1);
    EXPECT_EQ(0u, context.count[0]);
    EXPECT_EQ(1u, context.count[1]);
}

TEST(Md5, HexTextIsLowercaseWithLeadingZeros) {
    const uint8_t digest[16] = {0x00, 0x0a, 0xff, 0x10, 0xab, 0xcd, 0xef, 0x01,
                                0x23, 0x45, 0x67, 0x89, 0x9a, 0xbc, 0xde, 0xf0};
    char text[34];
    memset(text, 'Z', sizeof text);
    digestToHex(digest, text);
    EXPECT_EQ(std::string("000aff10abcdef01234567899abcdef0"), text);
    EXPECT_EQ('Z', text[33]);  // exactly 33 bytes written
}

// Random messages of 0..300 bytes, fed in random pieces (zero-length ones
// included), must agree with an independent implementation.
TEST(Md5, MatchesOpenSslOnRandomMessages) {
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string message(random() % 301, '\0');
        for (char& c : message) c = static_cast<char>(random() & 0xff);
        std::vector<size_t> pieces;
        for (size_t total = 0; total < message.size();) {
            size_t piece = random() % 80;
            pieces.push_back(piece);
            total += piece;
        }
        ASSERT_EQ(opensslMd5(message), md5Pieces(message, pieces)) << "round " << round;
    }
}

}  // namespace
