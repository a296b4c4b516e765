// Test programs: ULX_LOCAL_ADDRESSES="127.0.5.1,127.0.0.1" replaces this
// computer's address list, so that each test can give the program a
// loopback address of its own. Unset, the interfaces' addresses are used.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/local_addresses.h"

int platLocalAddresses(uint32_t* table, int max) {
    const char* list = getenv("ULX_LOCAL_ADDRESSES");
    if (!list) return interfaceAddresses(table, max);
    int count = 0;
    char item[32];
    while (*list && count < max) {
        size_t n = strcspn(list, ",");
        if (n < sizeof item) {
            memcpy(item, list, n);
            item[n] = '\0';
            in_addr a;
            if (inet_pton(AF_INET, item, &a) == 1) table[count++] = ntohl(a.s_addr);
        }
        list += n;
        if (*list == ',') ++list;
    }
    return count;
}
