// This computer's networks, and the local address each device is upgraded from.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "fleet/fleet.h"

namespace fleet {

std::vector<LocalNetwork> localNetworks() {
    std::vector<LocalNetwork> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
        if (!(i->ifa_flags & IFF_UP)) continue;
        LocalNetwork n;
        n.address = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        n.mask = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        if (n.address != 0) out.push_back(n);
    }
    freeifaddrs(list);
    return out;
}

uint32_t chooseLocalAddress(uint32_t device, const std::vector<uint32_t>& candidates,
                            const std::vector<LocalNetwork>& networks, uint32_t fallback) {
    for (uint32_t c : candidates)
        for (const LocalNetwork& n : networks)
            if ((c & n.mask) == (n.address & n.mask) && (device & n.mask) == (n.address & n.mask)) return c;
    return fallback;
}

}  // namespace fleet
