// The conversion between SockAddrIn and the system's sockaddr_in, the same
// wherever Berkeley sockets are (Linux and Winsock alike). Include it after
// the system's socket header.
#pragma once

#include <cstring>

#include "platform/platform.h"

template <class SystemAddress>
SystemAddress toSystemAddress(const SockAddrIn* a) {
    SystemAddress sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = PLAT_AF_INET;
    sa.sin_port = a->port;
    sa.sin_addr.s_addr = a->addr;
    return sa;
}

template <class SystemAddress>
void fromSystemAddress(const SystemAddress& sa, SockAddrIn* out) {
    out->family = PLAT_AF_INET;
    out->port = sa.sin_port;
    out->addr = sa.sin_addr.s_addr;
}
