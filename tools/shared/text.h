// Texts every tool shares: JSON string literals and dotted IPv4 addresses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ulxtools {

// What becomes of bytes at or above 0x7f in a JSON string.
enum class HighBytes {
    Keep,    // passed through: the text is UTF-8 already
    Escape,  // each byte on its own as \u00XX: a line stays valid whatever a peer sent
};

// A JSON string literal, quotes included: \" \\ \r \n escaped, every other
// byte below 0x20 as \u00XX.
std::string jsonString(std::string_view text, HighBytes high = HighBytes::Keep);

// A strict dotted quad: four decimal parts of one to three digits, each
// 0..255, nothing else; the address in host order.
bool parseDottedQuad(std::string_view text, uint32_t& out);
std::string formatDottedQuad(uint32_t address);

}  // namespace ulxtools
