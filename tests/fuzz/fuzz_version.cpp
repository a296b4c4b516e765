// Version order: a total order (reflexive, antisymmetric, transitive over
// three texts), and the packed number a text used to stand for orders the
// same way wherever each component is a plain decimal below 100.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "control/control.h"

namespace {

// The components of a plain text: up to three numbers of one or two digits
// without a leading zero, separated by '.'; after the third any rest that
// does not go on with a digit or '.' (ignored). Its packed number then is
// the components in base 100. False for any other text.
bool packedNumber(const std::string& text, int64_t* number) {
    *number = 0;
    size_t i = 0;
    for (int count = 0; count < 3; ++count) {
        size_t digits = 0;
        while (i + digits < text.size() && text[i + digits] >= '0' && text[i + digits] <= '9') ++digits;
        if (digits == 0 || digits > 2 || (digits == 2 && text[i] == '0')) return false;
        *number = *number * 100 + std::stoi(text.substr(i, digits));
        i += digits;
        if (i == text.size()) return true;
        if (text[i] != '.') return count == 2;
        ++i;
        if (count == 2) return true;
    }
    return true;
}

int sign(int64_t v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Three NUL-separated texts.
    std::string input(reinterpret_cast<const char*>(data), size), t[3];
    for (int k = 0, at = 0; k < 3; ++k) {
        size_t end = input.find('\0', static_cast<size_t>(at));
        if (end == std::string::npos) end = input.size();
        if (static_cast<size_t>(at) <= input.size()) t[k] = input.substr(static_cast<size_t>(at), end - static_cast<size_t>(at));
        at = static_cast<int>(end) + 1;
    }
    const char *a = t[0].c_str(), *b = t[1].c_str(), *c = t[2].c_str();
    int ab = compareVersions(a, b), ba = compareVersions(b, a), bc = compareVersions(b, c), ac = compareVersions(a, c);
    if (compareVersions(a, a) != 0 || sign(ab) != -sign(ba)) abort();
    if (ab <= 0 && bc <= 0 && ac > 0) abort();
    int64_t pa, pb;
    if (packedNumber(t[0], &pa) && packedNumber(t[1], &pb) && sign(ab) != sign(pa - pb)) {
        fprintf(stderr, "\"%s\" vs \"%s\": %d, packed %lld vs %lld\n", a, b, ab, static_cast<long long>(pa),
                static_cast<long long>(pb));
        abort();
    }
    return 0;
}
