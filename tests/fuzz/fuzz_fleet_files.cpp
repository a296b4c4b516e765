// The files ulx-fleet reads: a device list, a password file's first line,
// and an earlier report (--retry). Any bytes: no crash, and every device a
// list gives has an address and credentials the device can receive.
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
    return 0;
}
