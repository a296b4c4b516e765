// MD5 message digest (RFC 1321) and its lowercase hexadecimal text.
#pragma once

#include <cstdint>

struct MD5_CTX {
    uint32_t state[4];   // A, B, C, D
    uint32_t count[2];   // message length in bits, modulo 2^64, low word first
    uint8_t buffer[64];  // input that does not yet fill a block
};

void MD5Init(MD5_CTX* context);
void MD5Update(MD5_CTX* context, const void* input, uint32_t length);
// Writes the 16-byte digest, then overwrites the whole context with zeros.
void MD5Final(uint8_t digest[16], MD5_CTX* context);
// 32 lowercase hexadecimal characters and a NUL (always 33 bytes).
void digestToHex(const uint8_t digest[16], char text[33]);
