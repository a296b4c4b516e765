#pragma once

#include <cstdint>

// IPv4 addresses of the interfaces that are up (host order), others first
// in interface order, then loopback ones; at most max.
int interfaceAddresses(uint32_t* table, int max);
