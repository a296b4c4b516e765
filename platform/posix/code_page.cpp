// Windows-1252, the code page of the program's texts and of what a
// device's page holds, to and from Unicode, for the backends that show
// them in UTF-8 (the automation protocol, Qt).
#include "platform/posix/code_page.h"

namespace {

// Unicode of the bytes 0x80-0x9F in Windows-1252; the five it leaves
// undefined stand for the C1 control characters of the same value, as the
// system's own conversion has them. 0xA0-0xFF are Latin-1.
const unsigned short CP1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

unsigned fromCp1252(unsigned char b) { return b >= 0x80 && b < 0xA0 ? CP1252_HIGH[b - 0x80] : b; }

// The Windows-1252 byte of a code point, or '?' when it has none.
char toCp1252(unsigned cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
    for (unsigned i = 0; i < 32; ++i)
        if (CP1252_HIGH[i] == cp) return static_cast<char>(0x80 + i);
    return '?';
}

void appendUtf8(std::string* out, unsigned cp) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xc0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        *out += static_cast<char>(0xe0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        *out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

// One UTF-8 sequence at p (shortest form, no surrogates): its length and
// *cp, or 0 when the bytes there are not one.
int readUtf8(const unsigned char* p, unsigned* cp) {
    int length = p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 && p[0] < 0xE0 ? 2 : 0;
    if (length == 0 || p[0] > 0xF4) return 0;
    unsigned value = p[0] & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;  // a NUL ends the text here too
        value = value << 6 | (p[i] & 0x3F);
    }
    const unsigned least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return length;
}

std::string cp1252ToUtf8(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        appendUtf8(&out, fromCp1252(*p));
    return out;
}
