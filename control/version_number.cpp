#include <cstdio>
#include <cstring>

#include "control/control.h"

namespace {
constexpr int64_t COMPONENT_MAX = 4294967295;

// One component at text: blanks skipped, an optional sign, then decimal
// digits (a leading 0 is just a digit; a value above 4294967295 reads as
// that). *end is left at text when no digit was read.
int64_t readComponent(const char* text, const char** end) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    const char* digits = p;
    int64_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value > COMPONENT_MAX) value = COMPONENT_MAX;
        ++p;
    }
    if (p == digits) {
        *end = text;
        return 0;
    }
    *end = p;
    return negative ? -value : value;
}
}  // namespace

void readVersion(const char* text, VersionParts* version) {
    for (int64_t& part : version->part) part = 0;
    // The build's suffix ("(GWe)", "(NTr)") names a line, not a rank: the
    // components end where it begins.
    int count = 0;
    const char* cursor = text;
    while (count < 3 && *cursor != '(') {
        const char* end;
        version->part[count++] = readComponent(cursor, &end);
        cursor = end;
        if (*cursor == '\0' || *cursor == '(') break;
        ++cursor;  // one character on, whatever it is
    }
    // Components a text leaves out are zeros on the right: "3.1" is 3.1.0.
}

int compareVersions(const char* a, const char* b) {
    VersionParts va, vb;
    readVersion(a, &va);
    readVersion(b, &vb);
    for (int i = 0; i < 3; ++i)
        if (va.part[i] != vb.part[i]) return va.part[i] < vb.part[i] ? -1 : 1;
    return 0;
}

void decideStage(const char* deviceVersion, const char* transitionVersion) {
    if (g_stage.load() != Stage::Transition) return;
    if (strstr(deviceVersion, "(NT")) return;
    if (compareVersions(deviceVersion, transitionVersion) >= 0) g_stage.store(Stage::Target);
}

int buildUpgradePath(char* out, int cap, uint32_t a, uint16_t port, const char* fileName) {
    int n = snprintf(out, static_cast<size_t>(cap), "/admin/upgrade?tftp://%u.%u.%u.%u:%u%s", a >> 24, (a >> 16) & 0xff,
                     (a >> 8) & 0xff, a & 0xff, static_cast<unsigned>(port), fileName);
    return (n < 0 || n >= cap) ? -1 : n;
}
