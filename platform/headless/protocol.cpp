#include "platform/headless/protocol.h"

#include "platform/posix/code_page.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

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

// A JSON string at p, as Windows-1252 text; *lost (when given) tells
// whether a character the code page lacks became '?'.
bool parseJsonString(const char*& p, std::string* out, bool* lost = nullptr) {
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
                if (lost && out->back() == '?' && cp != '?') *lost = true;
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
        if (lost && out->back() == '?' && cp != '?') *lost = true;
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
        ok = parseInt(p, &m->control) && parseJsonString(p, &m->text, &m->lost);
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
