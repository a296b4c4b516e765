#include "shared/text.h"

namespace ulxtools {

std::string jsonString(std::string_view text, HighBytes high) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || (byte >= 0x7f && high == HighBytes::Escape)) {
            out += "\\u00";
            out += digits[byte >> 4];
            out += digits[byte & 0x0f];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

bool parseDottedQuad(std::string_view text, uint32_t& out) {
    uint32_t value = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        size_t digits = 0;
        uint32_t octet = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
            octet = octet * 10 + static_cast<uint32_t>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || octet > 255) return false;
        value = (value << 8) | octet;
    }
    if (pos != text.size()) return false;
    out = value;
    return true;
}

std::string formatDottedQuad(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xff) + "." + std::to_string((a >> 8) & 0xff) +
           "." + std::to_string(a & 0xff);
}

}  // namespace ulxtools
