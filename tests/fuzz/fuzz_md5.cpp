// MD5 against OpenSSL's: the input fed in pieces whose sizes the first
// bytes choose, the digest and its hexadecimal text compared.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "web/md5.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // Piece sizes cycle through two values from 0 to 255.
    const size_t pieces[2] = {data[0], data[1]};
    const uint8_t* message = data + 2;
    const size_t length = size - 2;

    MD5_CTX context;
    MD5Init(&context);
    for (size_t at = 0, k = 0; at < length; ++k) {
        size_t n = pieces[k % 2] < length - at ? pieces[k % 2] : length - at;
        MD5Update(&context, message + at, static_cast<uint32_t>(n));
        at += n;
        if (pieces[0] == 0 && pieces[1] == 0) {  // empty pieces only: the rest at once
            MD5Update(&context, message + at, static_cast<uint32_t>(length - at));
            at = length;
        }
    }
    uint8_t ours[16];
    MD5Final(ours, &context);

    uint8_t theirs[EVP_MAX_MD_SIZE];
    unsigned theirLength = 0;
    if (EVP_Digest(message, length, theirs, &theirLength, EVP_md5(), nullptr) != 1 || theirLength != 16) abort();
    char hex[33], expected[33];
    digestToHex(ours, hex);
    for (int i = 0; i < 16; ++i) snprintf(expected + 2 * i, 3, "%02x", theirs[i]);
    if (memcmp(ours, theirs, 16) != 0 || strcmp(hex, expected) != 0) {
        fprintf(stderr, "length %zu: %s, OpenSSL %s\n", length, hex, expected);
        abort();
    }
    return 0;
}
