// The dotted-address parser on any text: a code 0 to 5, the address cleared unless 0, the same
// code without an address; 4 exactly for a length outside 7 to 15, then 5 exactly for a character
// other than a digit, '.' or '*'.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ui/ui.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The text ends at its first NUL, as a C string does.
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::min(text.find('\0'), size));
    uint32_t address = 0xDEADBEEF;
    int code = parseDottedAddress(text.c_str(), &address);
    if (code < 0 || code > 5 || (code != 0 && address != 0)) abort();
    if (parseDottedAddress(text.c_str(), nullptr) != code) abort();
    bool lengthOk = text.size() >= 7 && text.size() <= 15;
    if (lengthOk == (code == 4)) abort();
    bool onlyDigitsAndSeparators = text.find_first_not_of("0123456789.*") == std::string::npos;
    if (lengthOk && onlyDigitsAndSeparators == (code == 5)) abort();
    return 0;
}
