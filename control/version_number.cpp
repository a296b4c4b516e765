#include <cstdio>
#include <cstring>

#include "control/control.h"

namespace {
constexpr uint32_t MAX_U32 = 4294967295u;

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

// One component, read as the C library's strtoul reads with base 0 where
// unsigned long has 32 bits: blanks skipped, optional sign, 0x for
// hexadecimal, a leading 0 for octal; a value above 4294967295 reads as
// 4294967295, '-' negates modulo 2^32. *end is left at text when no digit
// was read.
uint32_t readComponent(const char* text, const char** end) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digitValue(p[2]) < 16) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    const char* digits = p;
    uint64_t value = 0;
    bool overflow = false;
    while (digitValue(*p) < base) {
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digitValue(*p));
        if (value > MAX_U32) {
            overflow = true;
            value = MAX_U32;
        }
        ++p;
    }
    if (p == digits) {
        *end = text;
        return 0;
    }
    *end = p;
    if (overflow) return MAX_U32;
    uint32_t v = static_cast<uint32_t>(value);
    return negative ? 0u - v : v;
}
}  // namespace

uint32_t versionNumber(const char* text) {
    uint32_t number = 0;
    const char* cursor = text;
    for (int i = 0; i < 3; ++i) {
        const char* end;
        uint32_t component = readComponent(cursor, &end);
        number = number * 100u + component;
        cursor = end;
        if (*cursor == '\0') break;
        ++cursor;  // one character on, whatever it is
    }
    return number;
}

void decideStage(const char* deviceVersion, const char* transitionVersion) {
    if (TargetStage.load() != 0) return;
    if (strstr(deviceVersion, "(NT")) return;
    int32_t device = static_cast<int32_t>(versionNumber(deviceVersion));
    int32_t transition = static_cast<int32_t>(versionNumber(transitionVersion));
    if (device >= transition) TargetStage.store(1);
}

int buildUpgradePath(char* out, int cap, uint32_t a, uint16_t port, const char* fileName) {
    int n = snprintf(out, static_cast<size_t>(cap), "/admin/upgrade?tftp://%u.%u.%u.%u:%u%s", a >> 24,
                     (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff, static_cast<unsigned>(port), fileName);
    return (n < 0 || n >= cap) ? -1 : n;
}
