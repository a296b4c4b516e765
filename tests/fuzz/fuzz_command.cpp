// The automation protocol's command reader, and the event strings it pairs
// with: any line parses or is refused without harm; any text makes an event
// string of valid UTF-8 without raw control characters, and typing that
// string back gives the text again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/headless/protocol.h"

namespace {

bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        size_t n = b < 0x80 ? 1 : b >= 0xC2 && b < 0xE0 ? 2 : b >= 0xE0 && b < 0xF0 ? 3 : b >= 0xF0 && b < 0xF5 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        unsigned cp = n == 1 ? b : b & (0xFFu >> (n + 1));
        for (size_t k = 1; k < n; ++k) {
            auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3F);
        }
        const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;  // controls are escaped
        i += n;
    }
    return true;
}

void roundTrip(const std::string& text) {
    std::string quoted = eventString(text.c_str());
    if (!validUtf8(quoted)) abort();
    QueuedMessage m;
    if (parseCommand(("type 3 1005 " + quoted).c_str(), &m) != 1 || m.kind != QM_TYPE || m.window != 3 ||
        m.control != 1005 || m.text != text.c_str()) {
        fprintf(stderr, "%s came back as \"%s\"\n", quoted.c_str(), m.text.c_str());
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    QueuedMessage m;
    int parsed = parseCommand(line.c_str(), &m);
    if (parsed < -1 || parsed > 1) abort();
    // What was typed is text of the program's code page: it goes out again
    // as an event and comes back unchanged.
    if (parsed == 1 && m.kind == QM_TYPE) roundTrip(m.text);
    roundTrip(line);
    return 0;
}
