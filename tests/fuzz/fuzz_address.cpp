// The dotted-address parser against a plain reading of its rules: length
// 7 to 15, only digits, '.' and '*', numbers split at runs of separators,
// each decimal and at most 255, exactly four.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/ui.h"

namespace {

int reference(const std::string& text, uint32_t* address) {
    *address = 0;
    if (text.size() < 7 || text.size() > 15) return 4;
    for (char c : text)
        if (!(c >= '0' && c <= '9') && c != '.' && c != '*') return 5;
    uint32_t octets[4] = {};
    int taken = 0;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find_first_of(".*", i);
        if (end == std::string::npos) end = text.size();
        if (end > i) {
            if (taken == 4) return 2;
            std::string number = text.substr(i, end - i);
            size_t first = number.find_first_not_of('0');
            std::string significant = first == std::string::npos ? "0" : number.substr(first);
            if (significant.size() > 3 || std::stoul(significant) > 255) return 1;
            octets[taken++] = static_cast<uint32_t>(std::stoul(significant));
        }
        i = end + 1;
    }
    if (taken < 4) return 3;
    *address = octets[0] << 24 | octets[1] << 16 | octets[2] << 8 | octets[3];
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The text ends at its first NUL, as a C string does.
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));
    uint32_t address = 0xDEADBEEF, expected = 0;
    int code = parseDottedAddress(text.c_str(), &address);
    int expectedCode = reference(text, &expected);
    if (code != expectedCode || address != expected) {
        fprintf(stderr, "\"%s\": %d %08x, expected %d %08x\n", text.c_str(), code, address, expectedCode, expected);
        abort();
    }
    if (parseDottedAddress(text.c_str(), nullptr) != code) abort();
    return 0;
}
