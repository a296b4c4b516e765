#include "platform/platform.h"
#include "platform/posix/local_addresses.h"

int platLocalAddresses(uint32_t* table, int max) { return interfaceAddresses(table, max); }
