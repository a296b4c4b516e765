// The protocol's command reader and event strings: any line parses or is refused without harm;
// any text makes valid UTF-8 without raw control characters that types back as the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/headless/protocol.h"
#include "support/utf8.h"

namespace {

void roundTrip(const std::string& text) {
    std::string quoted = eventString(text.c_str());
    if (!validUtf8(quoted, true)) abort();
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
    if (parsed == 1 && m.kind == QM_TYPE) roundTrip(m.text);
    roundTrip(line);
    return 0;
}
