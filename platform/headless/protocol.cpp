#include "platform/headless/protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// Unicode of the bytes 0x80-0x9F in Windows-1252; the five it leaves
// undefined stand for the C1 control characters of the same value, as the
// system's own conversion has them. 0xA0-0xFF are Latin-1.
const unsigned short CP1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

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

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool readHex4(const char* p, unsigned* cp) {
    *cp = 0;
    for (int i = 0; i < 4; ++i) {
        int v = hexValue(p[i]);
        if (v < 0) return false;
        *cp = *cp * 16 + static_cast<unsigned>(v);
    }
    return true;
}

bool parseInt(const char*& p, int* out) {
    while (*p == ' ' || *p == '\t') ++p;
    char* end = nullptr;
    errno = 0;
    long v = strtol(p, &end, 10);
    if (end == p || errno != 0 || v < -2147483647L || v > 2147483647L) return false;
    *out = static_cast<int>(v);
    p = end;
    return true;
}

bool parseWord(const char*& p, std::string* out) {
    while (*p == ' ' || *p == '\t') ++p;
    const char* start = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    out->assign(start, p);
    return !out->empty();
}

// A JSON string at p, as Windows-1252 text.
bool parseJsonString(const char*& p, std::string* out) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '"') return false;
    ++p;
    out->clear();
    while (*p && *p != '"') {
        unsigned cp = 0;
        if (*p != '\\') {
            int length = readUtf8(reinterpret_cast<const unsigned char*>(p), &cp);
            if (length == 0) {
                *out += *p++;  // ASCII, or a byte that is not UTF-8: as it is
            } else {
                *out += toCp1252(cp);
                p += length;
            }
            continue;
        }
        ++p;
        switch (*p) {
            case 'r': cp = '\r'; break;
            case 'n': cp = '\n'; break;
            case 't': cp = '\t'; break;
            case 'b': cp = '\b'; break;
            case 'f': cp = '\f'; break;
            case '"': cp = '"'; break;
            case '\\': cp = '\\'; break;
            case '/': cp = '/'; break;
            case 'u': {
                if (!readHex4(p + 1, &cp)) return false;
                p += 4;
                // A surrogate pair is one character (outside the code page).
                unsigned low = 0;
                if (cp >= 0xD800 && cp < 0xDC00 && p[1] == '\\' && p[2] == 'u' && readHex4(p + 3, &low) &&
                    low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    p += 6;
                }
                break;
            }
            default: return false;
        }
        *out += toCp1252(cp);
        ++p;
    }
    if (*p != '"') return false;
    ++p;
    return true;
}

bool atEnd(const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
    return *p == '\0';
}

}  // namespace

std::string eventString(const char* text) {
    std::string out = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        unsigned cp = fromCp1252(*p);
        switch (cp) {
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
                    char hex[8];
                    snprintf(hex, sizeof hex, "\\u%04x", cp);
                    out += hex;
                } else {
                    appendUtf8(&out, cp);
                }
        }
    }
    out += '"';
    return out;
}

int parseCommand(const char* line, QueuedMessage* m) {
    const char* p = line;
    std::string verb;
    *m = QueuedMessage{0, QM_CLOSE, 0, 0, std::string()};
    if (!parseWord(p, &verb)) return 0;  // blank lines are allowed
    bool ok = parseInt(p, &m->window);
    if (ok && verb == "press") {
        m->kind = QM_PRESS;
        ok = parseInt(p, &m->control);
    } else if (ok && verb == "type") {
        m->kind = QM_TYPE;
        ok = parseInt(p, &m->control) && parseJsonString(p, &m->text);
    } else if (ok && verb == "select") {
        m->kind = QM_SELECT;
        ok = parseInt(p, &m->control) && parseInt(p, &m->number);
    } else if (ok && verb == "key") {
        std::string key;
        ok = parseWord(p, &key);
        if (key == "Return") m->kind = QM_RETURN;
        else if (key == "Escape") m->kind = QM_ESCAPE;
        else ok = false;
    } else if (ok && verb == "close") {
        m->kind = QM_CLOSE;
    } else {
        ok = false;
    }
    return ok && atEnd(p) ? 1 : -1;
}
