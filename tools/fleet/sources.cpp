// Where the devices come from: list files, the command line, or the report
// of an earlier run (--retry), and the hosts a sweep of port 80 finds
// (--scan); then the shared password for those whose line gives none.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "fleet/app.h"
#include "shared/text.h"

namespace fleet {

namespace {

constexpr const char* kPasswordVariable = "ULX_FLEET_PASSWORD";

std::vector<DeviceEntry> fromLists(const Options& o) {
    std::vector<DeviceEntry> entries;
    std::string error;
    for (const std::string& list : o.lists) {
        std::string text;
        if (!readFile(list, text)) usageError("cannot read " + list);
        if (!parseDeviceList(text, list, entries, error)) usageError(error);
    }
    return entries;
}

void fromCommandLine(const Options& o, std::vector<DeviceEntry>& entries) {
    std::string error;
    for (const std::string& a : o.addresses) {
        if (!parseDeviceList(a, "command line", entries, error)) usageError("\"" + a + "\" is not a device address");
        if (entries.back().hasPassword) usageError("a password on the command line shows in ps: use a list file");
    }
}

// The devices of an earlier report that were neither upgraded nor already
// current, in its order; the lists' lines lend them users and passwords.
std::vector<DeviceEntry> fromRetry(const Options& o, const std::vector<DeviceEntry>& listed) {
    std::string text, error;
    if (!readFile(o.retry, text)) usageError("cannot read " + o.retry);
    std::vector<ReportRow> rows;
    if (!parseReport(text, rows, error)) usageError(o.retry + ": " + error);
    std::vector<DeviceEntry> entries;
    for (size_t i = 0; i < rows.size(); ++i) {
        Outcome outcome = Outcome::Pending;
        outcomeFromText(rows[i].outcome, outcome);
        if (outcome == Outcome::Upgraded || outcome == Outcome::Current) continue;
        DeviceEntry e;
        e.address = rows[i].address;
        e.origin = o.retry + ":" + std::to_string(i + 1);
        if (!ulxtools::parseDottedQuad(e.address, e.addressValue) || e.addressValue == 0)
            usageError(e.origin + ": \"" + e.address + "\" is not a device address");
        for (const DeviceEntry& l : listed)
            if (l.addressValue == e.addressValue) {
                e.user = l.user;
                e.password = l.password;
                e.hasPassword = l.hasPassword;
            }
        entries.push_back(e);
    }
    if (entries.empty()) {
        printf("%s: every device was upgraded or already current: nothing to retry\n", o.retry.c_str());
        exit(EXIT_ALL_GOOD);
    }
    return entries;
}

// The password for the lines that give none: the password file's first
// line (a file only its owner can read), else the environment; false when
// neither gives one.
bool sharedPassword(const Options& o, std::string& shared) {
    std::string error;
    if (!o.passwordFile.empty()) {
        struct stat st {};
        std::string text;
        if (stat(o.passwordFile.c_str(), &st) != 0 || !readFile(o.passwordFile, text))
            usageError("cannot read " + o.passwordFile);
        if (std::string fault = passwordFileModeFault(st.st_mode); !fault.empty())
            usageError("the password file " + o.passwordFile + ": " + fault);
        if (!readSharedPassword(text, shared, error)) usageError(o.passwordFile + ": " + error);
    } else if (const char* p = getenv(kPasswordVariable)) {
        shared = p;
        if (std::string fault = credentialFault(shared); !fault.empty())
            usageError(std::string("$") + kPasswordVariable + ": " + fault);
    } else {
        return false;
    }
    return true;
}

// The hosts that answer on port 80 of the --scan ranges, in address order.
// A listed address keeps its entry; it is marked scanned.
void fromScan(const Options& o, const std::vector<uint32_t>& addresses, std::vector<DeviceEntry>& entries) {
    SweepLimits limits;
    limits.timeoutMs = static_cast<int>(o.scanTimeoutMs);
    SweepResult found;
    std::string error;
    if (!sweepPort(addresses, 80, limits, found, error)) {
        fprintf(stderr, "ulx-fleet: %s\n", error.c_str());
        exit(EXIT_SOME_FAILED);
    }
    printf("scan of %zu address%s: %zu answered on port 80, %d refused, %d silent, %d unreachable (%.2f s)\n",
           addresses.size(), addresses.size() == 1 ? "" : "es", found.answered.size(), found.refused, found.silent,
           found.unreachable, static_cast<double>(found.elapsedMs) / 1000);
    fflush(stdout);
    for (uint32_t a : found.answered) {
        auto listed = std::find_if(entries.begin(), entries.end(),
                                   [a](const DeviceEntry& e) { return e.addressValue == a && !e.scanned; });
        if (listed != entries.end()) {
            listed->scanned = true;
            continue;
        }
        DeviceEntry e;
        e.addressValue = a;
        e.address = ulxtools::formatDottedQuad(a);
        e.origin = "scan";
        e.scanned = true;
        entries.push_back(e);
    }
}

}  // namespace

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

std::vector<DeviceEntry> collectDevices(const Options& o) {
    std::vector<DeviceEntry> entries = fromLists(o);
    if (!o.retry.empty()) entries = fromRetry(o, entries);
    else fromCommandLine(o, entries);
    std::vector<uint32_t> scanned;
    std::string error;
    if (!scanAddresses(o.scans, scanned, error)) usageError("bad value for --scan: " + error);
    if (entries.empty() && o.scans.empty())
        usageError("no device: give --list FILE, addresses, --scan or --retry REPORT");
    std::set<uint32_t> seen;
    for (const DeviceEntry& e : entries)
        if (!seen.insert(e.addressValue).second) usageError(e.origin + ": " + e.address + " is listed twice");
    // Every usage error before the sweep, which takes its time.
    std::string shared;
    const bool haveShared = sharedPassword(o, shared);
    if (!o.scans.empty()) fromScan(o, scanned, entries);
    if (haveShared)
        for (DeviceEntry& e : entries)
            if (!e.hasPassword) {
                e.password = shared;
                e.hasPassword = true;
            }
    return entries;
}

}  // namespace fleet
