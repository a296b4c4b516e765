// Device answers: classification, fields, the label count, the first line, where an answer ends,
// chunked bodies. Every buffer has its exact size, so AddressSanitizer sees any access past it.
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

// The answer's end, whole and in pieces of data[0] % 7 + 1 bytes, is the same and within the
// bytes; the chunked body behind a head decodes within its length, in place alike.
void checkFraming(const uint8_t* data, size_t size) {
    if (size > RESPONSE_MAX_CHARS) return;
    const int length = static_cast<int>(size);
    std::unique_ptr<char[]> bytes(new char[size]);
    memcpy(bytes.get(), data, size);
    AnswerFrame whole{};
    int end = answerLength(bytes.get(), length, &whole);
    check(end >= -1 && end <= length);
    AnswerFrame frame{};
    int step = size > 0 ? data[0] % 7 + 1 : 1, piecewise = 0;
    for (int n = 0; n < length && piecewise == 0;) {
        n = n + step < length ? n + step : length;
        piecewise = answerLength(bytes.get(), n, &frame);
    }
    check(piecewise == end);
    check(whole.headLength >= 0 && whole.headLength <= length);

    const char* body = bytes.get() + whole.headLength;
    const int bodyLength = length - whole.headLength;
    std::unique_ptr<char[]> out(new char[static_cast<size_t>(bodyLength)]);
    ChunkedBody b = decodeChunked(body, bodyLength, out.get());
    check(b.used >= 0 && b.used <= bodyLength && b.decoded >= 0 && b.decoded <= bodyLength);
    check(b.state != CHUNKED_COMPLETE || b.decoded <= b.used);
    ChunkedBody counted = decodeChunked(body, bodyLength, nullptr);
    check(counted.state == b.state && counted.used == b.used && counted.decoded == b.decoded);
    std::unique_ptr<char[]> copy(new char[static_cast<size_t>(bodyLength)]);
    memcpy(copy.get(), body, static_cast<size_t>(bodyLength));
    ChunkedBody inPlace = decodeChunked(copy.get(), bodyLength, copy.get());
    check(inPlace.decoded == b.decoded && memcmp(copy.get(), out.get(), static_cast<size_t>(b.decoded)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text(new char[size + 1]);
    memcpy(text.get(), data, size);
    text[size] = '\0';

    DigestState state{};
    int cls = classifyResponse(text.get(), &state);
    check(cls >= -2 && cls <= 3);
    check(isStatusPage(text.get()) == (cls == RESPONSE_OK && countDeviceLabels(text.get()) > 0));

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
    checkFraming(data, size);
    return 0;
}
