// Whether text is UTF-8: shortest forms, no surrogates, nothing above
// U+10FFFF; with noControls, also no raw control character (C0, DEL, C1).
// Written apart from the program's own decoder, so that it can judge it.
#pragma once

#include <string>

inline bool validUtf8(const std::string& text, bool noControls = false) {
    for (size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        size_t n = b < 0x80 ? 1 : b >= 0xC2 && b < 0xE0 ? 2 : b >= 0xE0 && b < 0xF0 ? 3 : b >= 0xF0 && b < 0xF5 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        unsigned cp = n == 1 ? b : b & (0xFFu >> (n + 1));
        for (size_t k = 1; k < n; ++k) {
            auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3F);
        }
        const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (noControls && (cp < 0x20 || (cp >= 0x7F && cp < 0xA0))) return false;
        i += n;
    }
    return true;
}
