// What --version of an upgrade program prints: the program's own version
// and the firmware it carries.
#include "control/control.h"

namespace {
// Appends "<label>: <product> <version>\n" for embedded image `id`, or
// nothing when the build does not carry it.
bool appendImage(char* out, int cap, int* length, const char* label, int id) {
    FirmwareImage image{};
    if (!mapImage(id, &image)) return true;
    char product[32];
    bool phone = false;
    identifyProduct(image.header, product, sizeof product, &phone);
    return appendFormat(out, cap, length, "%s: %s %s\n", label, product, imageVersionText(image));
}
}  // namespace

int formatProgramVersion(const char* program, char* out, int cap) {
    int length = 0;
    if (cap <= 0) return -1;
    out[0] = 0;
    bool ok = appendFormat(out, cap, &length, "%s %s\n", program, ULX_VERSION_TEXT) &&
              appendImage(out, cap, &length, "firmware", TARGET_IMAGE_ID) &&
              appendImage(out, cap, &length, "transition firmware", TRANSITION_IMAGE_ID);
    return ok ? length : -1;
}
