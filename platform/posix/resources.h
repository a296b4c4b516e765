// Embedded resources of a Linux program: a table generated at build time
// next to the assembler file that carries the bytes.
#pragma once

#include <cstdint>

struct PlatResource {
    const char* type;
    int id;
    const uint8_t* start;
    const uint8_t* end;
};

extern const PlatResource g_platResources[];
extern const int g_platResourceCount;
