// Where the devices come from: list files, the command line, or the report
// of an earlier run (--retry); then the shared password for those whose line
// gives none. A further source of devices goes beside these in
// collectDevices().
#include <sys/stat.h>

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
// line (a file only its owner can read), else the environment.
void giveSharedPassword(const Options& o, std::vector<DeviceEntry>& entries) {
    std::string shared, error;
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
        return;
    }
    for (DeviceEntry& e : entries)
        if (!e.hasPassword) {
            e.password = shared;
            e.hasPassword = true;
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
    if (entries.empty()) usageError("no device: give --list FILE, addresses or --retry REPORT");
    std::set<uint32_t> seen;
    for (const DeviceEntry& e : entries)
        if (!seen.insert(e.addressValue).second) usageError(e.origin + ": " + e.address + " is listed twice");
    giveSharedPassword(o, entries);
    return entries;
}

}  // namespace fleet
