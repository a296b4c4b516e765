// The simulator's hashing and randomness, all from OpenSSL: an
// implementation independent of the product's own MD5.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

std::array<uint8_t, 16> md5(std::string_view data);
std::string md5Hex(std::string_view data);  // 32 lowercase hexadecimal characters
std::string sha256Hex(const uint8_t* data, size_t size);
std::string randomHex(size_t bytes);  // 2 * bytes lowercase hexadecimal characters

}  // namespace sim
