// Device answers: status classification (and with it the challenge parser),
// field extraction, the label count and the first line named in messages.
// Every buffer is allocated at its exact size, so AddressSanitizer sees any
// read or write past it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "web/digest.h"
#include "web/http.h"

namespace {

const char* const LABELS[] = {
    "Product Name:", "MAC Address:", "Software Version:", "Hardware Version:", "Serial Number:"};

void check(bool condition) {
    if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text(new char[size + 1]);
    memcpy(text.get(), data, size);
    text[size] = '\0';

    DigestState state{};
    int cls = classifyResponse(text.get(), &state);
    check(cls >= -2 && cls <= 2);

    int labels = 0;
    for (const char* label : LABELS) {
        std::unique_ptr<char[]> dest(new char[128]);
        memset(dest.get(), 'U', 128);
        char* got = extractField(text.get(), label, dest.get(), 127);
        bool present = strstr(text.get(), label) != nullptr;
        labels += present;
        if (got == nullptr) {
            for (int i = 0; i < 128; ++i) check(dest[i] == 'U');  // untouched
            continue;
        }
        check(got == dest.get() && present);
        size_t n = strnlen(got, 128);
        check(n <= 127 && memchr(got, '<', n) == nullptr);
    }
    check(countDeviceLabels(text.get()) == labels);

    int cap = size > 0 ? data[0] % 100 + 1 : 1;
    std::unique_ptr<char[]> line(new char[cap]);
    describeAnswer(text.get(), line.get(), cap, 80);
    size_t n = strnlen(line.get(), static_cast<size_t>(cap));
    check(n < static_cast<size_t>(cap) && n <= 80);
    for (size_t i = 0; i < n; ++i) check(static_cast<unsigned char>(line[i]) >= 0x20 && line[i] != 0x7f);
    return 0;
}
