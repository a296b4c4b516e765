#include "platform/posix/resources.h"

#include <cstring>

#include "platform/platform.h"

bool platFindResource(const char* type, int id, const uint8_t** bytes, uint32_t* size) {
    for (int i = 0; i < g_platResourceCount; ++i) {
        const PlatResource& r = g_platResources[i];
        if (r.id == id && strcmp(r.type, type) == 0) {
            *bytes = r.start;
            *size = static_cast<uint32_t>(r.end - r.start);
            return true;
        }
    }
    return false;
}
