// The program ulx-fleet around the fleet's logic: its options, where its
// devices come from, the run with its live view, and its ending.
#pragma once

#include <string>
#include <vector>

#include "fleet/fleet.h"

namespace fleet {

// Exit codes.
enum : int {
    EXIT_ALL_GOOD = 0,           // every device upgraded or already current (inventory: identified)
    EXIT_SOME_FAILED = 1,        // any device not
    EXIT_USAGE = 2,              // bad usage: nothing started
    EXIT_CANARY_FAILED = 3,      // --canary: a canary device failed, the others were not started
    EXIT_TOO_MANY_FAILURES = 4,  // --max-failures: reached, the devices left were not started
};

struct Options {
    std::vector<std::string> lists, addresses, scans;
    std::string passwordFile, local, report, program, retry, writeList;
    bool inventory = false, force = false, yes = false;
    long jobs = 16;
    long timeoutSeconds = 600;
    long scanTimeoutMs = SweepLimits{}.timeoutMs;
    Rollout rollout;
};

// options.cpp
[[noreturn]] void usageError(const std::string& text);
Options parseArguments(int argc, char** argv);

// sources.cpp: every device, in order, with its user and password, then
// the hosts a scan found answering (each marked scanned; an address listed
// too keeps its line's user and password); a bad source ends the program
// with EXIT_USAGE before anything starts.
std::vector<DeviceEntry> collectDevices(const Options& o);
bool readFile(const std::string& path, std::string& out);

// run.cpp
// Shows the program's own warning and asks the operator once.
bool acknowledgeWarning(const std::string& program, size_t devices);
// Runs every device to its end (or the rollout's or the operator's stop);
// the gate that stopped the rollout, Gate::Open when none did.
Gate runFleet(Fleet& fleet, const RunConfig& config, const Options& o);

}  // namespace fleet
