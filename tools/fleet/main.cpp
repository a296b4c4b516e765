// ulx-fleet: upgrades many devices from one computer, unattended, with live
// progress and a report. See --help and the README.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "fleet/app.h"
#include "shared/text.h"

using namespace fleet;

namespace {

bool executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// ulx-upgrade-script beside this program, else by PATH.
std::string defaultProgram() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<size_t>(n));
        dir = dir.substr(0, dir.rfind('/') + 1);
        if (executable(dir + "ulx-upgrade-script")) return dir + "ulx-upgrade-script";
    }
    return "ulx-upgrade-script";
}

// The addresses the program will offer: its own test list when
// ULX_LOCAL_ADDRESSES is set (test programs read it), else this computer's,
// loopback last.
std::vector<uint32_t> offeredAddresses(const std::vector<LocalNetwork>& networks) {
    std::vector<uint32_t> out;
    if (const char* list = getenv("ULX_LOCAL_ADDRESSES")) {
        std::stringstream s(list);
        for (std::string item; std::getline(s, item, ',');) {
            uint32_t a = 0;
            if (ulxtools::parseDottedQuad(item, a)) out.push_back(a);
        }
        return out;
    }
    for (int loopback = 0; loopback < 2; ++loopback)
        for (const LocalNetwork& n : networks)
            if (((n.address >> 24) == 127) == (loopback == 1)) out.push_back(n.address);
    return out;
}

// Each device's record with its local address, decided before anything starts.
void prepareRecords(const Options& o, const std::vector<DeviceEntry>& entries, Fleet& fleet) {
    uint32_t fallback = 0;
    if (!o.local.empty() && !ulxtools::parseDottedQuad(o.local, fallback))
        usageError("bad value for --local: " + o.local);
    const auto networks = localNetworks();
    const auto offered = offeredAddresses(networks);
    for (const DeviceEntry& e : entries) {
        Record r;
        r.entry = e;
        r.local = chooseLocalAddress(e.addressValue, offered, networks, fallback);
        if (r.local == 0) usageError(e.address + " is on none of this computer's networks: give --local");
        fleet.records.push_back(r);
    }
}

void printInventory(const std::vector<Record>& records) {
    printf("\n%-15s  %-10s  %-14s  %-17s  %-12s  %-8s  %s\n", "address", "product", "serial", "mac", "software",
           "hardware", "current");
    for (const Record& r : records) {
        const ulxproto::DeviceReport& d = r.device;
        if (r.identified)
            printf("%-15s  %-10s  %-14s  %-17s  %-12s  %-8s  %s\n", r.entry.address.c_str(), d.product.c_str(),
                   d.serial.c_str(), d.mac.c_str(), d.software.c_str(), d.hardware.c_str(), r.current() ? "yes" : "no");
        else printf("%-15s  %s\n", r.entry.address.c_str(), describe(r).c_str());
    }
}

// The summary, the report and the exit code. found: the scan's summary
// line (empty without --scan).
int finish(const Options& o, const Fleet& fleet, Gate stoppedBy, const std::string& found) {
    std::map<Outcome, int> tally;
    bool allGood = true;
    for (const Record& r : fleet.records) {
        ++tally[r.outcome];
        allGood = allGood && outcomeSucceeded(r.outcome) && (o.inventory || r.outcome != Outcome::Identified);
    }
    const size_t count = fleet.records.size();
    if (o.inventory && count > 0) printInventory(fleet.records);
    std::string counts;
    for (const auto& [outcome, n] : tally)
        counts += (counts.empty() ? "" : ", ") + std::to_string(n) + " " + outcomeText(outcome);
    if (count > 0) printf("\n%zu device%s: %s\n", count, count == 1 ? "" : "s", counts.c_str());
    else printf("\nno ULX device found\n");
    if (!found.empty()) printf("scan: %s\n", found.c_str());
    // A scan that finds no device at all has most likely swept the wrong
    // network.
    if (!o.scans.empty() && count == 0) allGood = false;
    int code = allGood                              ? EXIT_ALL_GOOD
               : stoppedBy == Gate::CanaryFailed    ? EXIT_CANARY_FAILED
               : stoppedBy == Gate::TooManyFailures ? EXIT_TOO_MANY_FAILURES
                                                    : EXIT_SOME_FAILED;
    if (!o.report.empty()) {
        const std::string text = reportText(o.report, fleet.records);
        std::string written, error;
        if (!writeReport(o.report, text, written, error)) {
            // Nowhere took it: the records go to standard error rather than nowhere.
            fprintf(stderr, "ulx-fleet: %s; the report follows\n%s", error.c_str(), text.c_str());
            code = code == EXIT_ALL_GOOD ? EXIT_SOME_FAILED : code;
        } else if (written != o.report) {
            fprintf(stderr, "ulx-fleet: cannot write the report %s: written to %s instead\n", o.report.c_str(),
                    written.c_str());
            printf("report: %s\n", written.c_str());
        } else {
            printf("report: %s\n", written.c_str());
        }
    }
    fflush(stdout);
    return code;
}

// The hosts a scan found that are no ULX leave the run: counted in the
// summary line, never reported, listed or upgraded. An address the
// operator listed stays whatever it is.
void dropForeign(std::vector<Record>& records) {
    records.erase(
        std::remove_if(records.begin(), records.end(),
                       [](const Record& r) { return r.outcome == Outcome::NotUlx && r.entry.origin == "scan"; }),
        records.end());
}

void writeScanList(const Options& o, const std::vector<Record>& records) {
    if (o.writeList.empty()) return;
    std::string header = "ULX devices found by ulx-fleet --scan";
    for (const std::string& s : o.scans) header += " " + s;
    header += " at " + isoTime(WallClock::now());
    if (writeWhole(o.writeList, scanListText(records, header))) printf("list: %s\n", o.writeList.c_str());
    else fprintf(stderr, "ulx-fleet: cannot write the list %s\n", o.writeList.c_str());
    fflush(stdout);
}

// Without --inventory, a scan's hosts are identified first, by the same
// runs an inventory makes; the ULX devices among them join the upgrade,
// the hosts that may be devices but could not be identified (a password,
// no answer) keep that outcome. false when the operator cancelled.
bool identifyScanned(const Options& o, const RunConfig& config, Fleet& fleet, std::vector<Record>& kept,
                     std::string& found) {
    Fleet scanned;
    std::vector<Record> others;
    for (Record& r : fleet.records) (r.entry.scanned ? scanned.records : others).push_back(r);
    RunConfig identify = config;
    identify.inventory = true;
    Options plain = o;
    plain.inventory = true;
    plain.rollout = Rollout{};  // the canary and the failure limit are the upgrade's
    if (!scanned.records.empty()) {
        runFleet(scanned, identify, plain);
        // runFleet takes Ctrl-C from a signalfd; at the warning's question
        // it ends the program again.
        sigset_t endSignals;
        sigemptyset(&endSignals);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&endSignals, s);
        pthread_sigmask(SIG_UNBLOCK, &endSignals, nullptr);
    }
    found = scanSummary(scanned.records);
    writeScanList(o, scanned.records);
    if (scanned.cancelLevel.load() > 0) {
        fleet.records = scanned.records;
        dropForeign(fleet.records);
        return false;
    }
    for (Record& r : scanned.records) {
        if (r.outcome == Outcome::Identified) {
            Record fresh;
            fresh.entry = r.entry;
            fresh.local = r.local;
            others.push_back(fresh);
        } else {
            kept.push_back(r);
        }
    }
    dropForeign(kept);
    fleet.records = others;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parseArguments(argc, argv);
    std::string error;
    if (!o.report.empty() && !reportWritable(o.report, error)) usageError(error);
    if (!o.writeList.empty() && !reportWritable(o.writeList, error)) usageError("cannot write the list " + o.writeList);
    // Inventory changes nothing; an upgrade needs the operator's word on
    // the warning, once.
    if (!o.inventory && !o.yes && !isatty(STDIN_FILENO)) usageError("no one can answer the warning here: give --yes");
    const std::vector<DeviceEntry> entries = collectDevices(o);
    Fleet fleet;
    prepareRecords(o, entries, fleet);

    RunConfig config;
    config.program = o.program.empty() ? defaultProgram() : o.program;
    config.inventory = o.inventory;
    config.force = o.force;
    config.timeoutMs = static_cast<int>(o.timeoutSeconds * 1000);

    signal(SIGPIPE, SIG_IGN);
    std::string found;
    if (o.inventory) {
        const Gate stoppedBy = fleet.records.empty() ? Gate::Open : runFleet(fleet, config, o);
        if (!o.scans.empty()) {
            found = scanSummary(fleet.records);
            writeScanList(o, fleet.records);
            dropForeign(fleet.records);
        }
        return finish(o, fleet, stoppedBy, found);
    }
    std::vector<Record> kept;
    if (!o.scans.empty() && !identifyScanned(o, config, fleet, kept, found)) return finish(o, fleet, Gate::Open, found);
    Gate stoppedBy = Gate::Open;
    if (!fleet.records.empty()) {
        if (!o.yes && !acknowledgeWarning(config.program, fleet.records.size())) {
            fprintf(stderr, "ulx-fleet: not acknowledged; nothing was done\n");
            return EXIT_SOME_FAILED;
        }
        stoppedBy = runFleet(fleet, config, o);
    }
    fleet.records.insert(fleet.records.end(), kept.begin(), kept.end());
    return finish(o, fleet, stoppedBy, found);
}
