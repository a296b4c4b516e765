// This computer's IPv4 addresses. Resolving the host name gives 127.0.1.1
// on most Linux systems, an address no device can reach, so the list comes
// from the interfaces instead: addresses of interfaces that are up,
// others first in interface order, then loopback ones.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "platform/platform.h"
#include "platform/posix/local_addresses.h"

int interfaceAddresses(uint32_t* table, int max) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    int count = 0;
    for (int loopbackPass = 0; loopbackPass < 2; ++loopbackPass) {
        for (ifaddrs* i = list; i && count < max; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
            if (!(i->ifa_flags & IFF_UP)) continue;
            bool loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
            if (loopback != (loopbackPass == 1)) continue;
            uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
            if (a == 0) continue;
            table[count++] = a;
        }
    }
    freeifaddrs(list);
    return count;
}
