// Version order over any three texts: reflexive, antisymmetric and transitive.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "control/control.h"

namespace {

int sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Three NUL-separated texts.
    std::string input(reinterpret_cast<const char*>(data), size), t[3];
    for (size_t k = 0, at = 0; k < 3 && at <= input.size(); ++k) {
        size_t end = std::min(input.find('\0', at), input.size());
        t[k] = input.substr(at, end - at);
        at = end + 1;
    }
    const char *a = t[0].c_str(), *b = t[1].c_str(), *c = t[2].c_str();
    int ab = compareVersions(a, b), bc = compareVersions(b, c), ac = compareVersions(a, c);
    if (compareVersions(a, a) != 0 || sign(ab) != -sign(compareVersions(b, a))) abort();
    if (ab <= 0 && bc <= 0 && ac > 0) abort();
    return 0;
}
