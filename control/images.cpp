#include <cctype>
#include <cstring>

#include "control/control.h"
#include "tftp/tftp.h"

namespace {
struct ProductRow {
    const char* code;
    int compared;
    const char* displayName;
    bool phone;
};

// Tried in order; the first code that matches the start of the header wins.
const ProductRow PRODUCTS[] = {
    {"ulx7400", 7, "ULX-7400", false}, {"ulx7200", 7, "ULX-7100/7200", false}, {"ulx7101", 7, "ULX-7101", false},
    {"tarnel", 6, "ULX-590", true},    {"ulx7210", 7, "ULX-7210", false},
};
}  // namespace

bool mapImage(int id, FirmwareImage* image) {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    if (!platFindResource("ULX_FIRMWARE", id, &bytes, &size)) return false;
    // The build refuses such images already; a block count past the 16-bit
    // block numbers of TFTP could never be delivered whole.
    if (size < IMAGE_HEADER_SIZE || size > TFTP_MAX_IMAGE_SIZE) return false;
    image->bytes = bytes;
    image->size = size;
    memcpy(image->header, bytes, IMAGE_HEADER_SIZE);
    // The version text ends within the header; should an image lack the
    // terminator, the copy gets one at its last byte.
    if (!memchr(image->header + IMAGE_VERSION_OFFSET, 0, IMAGE_HEADER_SIZE - IMAGE_VERSION_OFFSET))
        image->header[IMAGE_HEADER_SIZE - 1] = 0;
    return true;
}

void identifyProduct(const uint8_t* header, char* displayName, int nameCap, bool* phoneProduct) {
    *phoneProduct = false;
    for (const ProductRow& row : PRODUCTS) {
        int i = 0;
        while (i < row.compared && tolower(header[i]) == row.code[i]) ++i;
        if (i == row.compared) {
            copyText(displayName, nameCap, row.displayName);
            *phoneProduct = row.phone;
            return;
        }
    }
    copyText(displayName, nameCap, "ODM-Product");
}
