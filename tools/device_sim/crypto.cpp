#include "crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <random>
#include <vector>

#include "net.h"

namespace sim {

std::array<uint8_t, 16> md5(std::string_view data) {
    std::array<uint8_t, 16> out{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_md5(), nullptr);
    return out;
}

std::string md5Hex(std::string_view data) {
    auto digest = md5(data);
    return hexBytes(digest.data(), digest.size());
}

std::string sha256Hex(const uint8_t* data, size_t size) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data, size, out, &length, EVP_sha256(), nullptr);
    return hexBytes(out, length);
}

std::string randomHex(size_t bytes) {
    std::vector<uint8_t> buffer(bytes);
    if (RAND_bytes(buffer.data(), static_cast<int>(bytes)) != 1) {
        // OpenSSL's generator is not seeded: fall back to the system's.
        std::random_device device;
        for (auto& b : buffer) b = static_cast<uint8_t>(device());
    }
    return hexBytes(buffer.data(), buffer.size());
}

}  // namespace sim
