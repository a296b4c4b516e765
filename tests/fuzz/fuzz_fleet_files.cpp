// What ulx-fleet reads from outside: a device list, a password file's first
// line, an earlier report (--retry) and the ranges of --scan. Any bytes: no
// crash, every device a list gives has an address and credentials the
// device can receive, and a range is never empty, reversed or beyond a /16.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fleet/fleet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<fleet::DeviceEntry> entries;
    std::string error, password;
    if (fleet::parseDeviceList(text, "list", entries, error))
        for (const fleet::DeviceEntry& e : entries)
            if (e.addressValue == 0 || !fleet::credentialFault(e.password).empty()) abort();
    fleet::readSharedPassword(text, password, error);
    std::vector<fleet::ReportRow> rows;
    if (fleet::parseReport(text, rows, error))
        for (const fleet::ReportRow& r : rows) {
            fleet::Outcome o;
            if (r.address.empty() || !fleet::outcomeFromText(r.outcome, o)) abort();
        }
    uint32_t first = 0, last = 0;
    if (fleet::parseScanRange(text, first, last, error) &&
        (first == 0 || first > last || last - first >= fleet::kMaxScanAddresses))
        abort();
    return 0;
}
