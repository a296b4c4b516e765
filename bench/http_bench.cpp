// Time per request against a web server (not a test).
//
//   ulx-http-bench LOCAL DEVICE [COUNT]
//       GETs /admin/advanced on DEVICE:80 from LOCAL (ports 23456 up) with
//       the program's own HTTP exchange and the real clock: once to take
//       the Digest challenge (user admin, password secret), then COUNT
//       (default 10) authorised requests, each timed from the connect to
//       the end of the answer. Prints the median and the longest, and how
//       many of them brought the status page.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "web/http.h"
#include "web/web.h"

namespace {

uint32_t address(const char* text) {
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1) {
        fprintf(stderr, "not an IPv4 address: %s\n", text);
        exit(2);
    }
    return ntohl(a.s_addr);
}

char g_answer[RESPONSE_BUFFER_SIZE];

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: ulx-http-bench LOCAL DEVICE [COUNT]\n");
        return 2;
    }
    const uint32_t local = address(argv[1]), device = address(argv[2]);
    const int count = argc > 3 ? atoi(argv[3]) : 10;
    const char* path = "/admin/advanced";
    HttpResult first = httpGet(local, FIRST_LOCAL_PORT, device, DEVICE_HTTP_PORT, path, g_answer, RESPONSE_MAX_CHARS);
    webStoreResult(first);
    if (first.status == HTTP_REFUSED) webStoreCredentials("admin", "secret");
    std::vector<uint32_t> times;
    int pages = 0;
    for (int i = 0; i < count; ++i) {
        uint32_t start = platClockMs();
        HttpResult r = httpGet(local, FIRST_LOCAL_PORT, device, DEVICE_HTTP_PORT, path, g_answer, RESPONSE_MAX_CHARS);
        webStoreResult(r);
        times.push_back(platClockMs() - start);
        pages += r.status == HTTP_ANSWERED && countDeviceLabels(g_answer) > 0;
    }
    if (times.empty()) return 2;
    std::sort(times.begin(), times.end());
    printf("requests %d  median %u ms  longest %u ms  status pages %d\n", count, times[times.size() / 2], times.back(),
           pages);
    return pages == count ? 0 : 1;
}
