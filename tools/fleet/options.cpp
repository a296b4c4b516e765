// ulx-fleet's command line.
#include <cstdio>
#include <cstdlib>
#include <set>

#include "fleet/app.h"

#ifndef ULX_VERSION_TEXT
#define ULX_VERSION_TEXT "unknown"
#endif

namespace fleet {

namespace {

const char HELP[] =
    "usage: ulx-fleet [options] [ADDRESS...]\n"
    "Upgrades the firmware of many ULX devices at once, each through its own\n"
    "ulx-upgrade-script answered as a person would answer its dialogs.\n"
    "\n"
    "  --list FILE           the devices, one a line: address[,user[,password]];\n"
    "                        # starts a comment line; may be given more than once\n"
    "  ADDRESS               a device (user admin) given on the command line\n"
    "  --scan RANGE          the devices found on port 80 of a.b.c.d/P (P 16 to 32) or\n"
    "                        a.b.c.d-e (last octet d to e); may be given more than once.\n"
    "                        Every host that answers is identified first; only ULX\n"
    "                        devices are inventoried or upgraded\n"
    "  --scan-timeout MS     how long an address may take to answer (default 1000)\n"
    "  --write-list FILE     with --scan: the ULX devices found, as a --list file\n"
    "  --retry REPORT        the devices of an earlier report (CSV or JSON) that were\n"
    "                        neither upgraded nor already current; --list lines give\n"
    "                        their users and passwords\n"
    "  --password-file FILE  the password (its first line) of every device whose\n"
    "                        line gives none; else $ULX_FLEET_PASSWORD. Mode 0600.\n"
    "  --inventory           identify every device and change nothing\n"
    "  --force               upgrade devices already at the embedded version too\n"
    "  --jobs N              upgrades at once (default 16; at most 100 per local address)\n"
    "  --canary N            the first N devices alone; the rest only when all N are\n"
    "                        upgraded or already current\n"
    "  --max-failures N      start nothing more once N devices failed\n"
    "  --local A             local address for devices on none of this computer's networks\n"
    "  --yes                 acknowledge the program's warning without asking\n"
    "  --report FILE         write one record per device, CSV or JSON by the extension\n"
    "  --timeout SECONDS     the longest one device's run may take (default 600)\n"
    "  --program PATH        the program to run per device (default: ulx-upgrade-script\n"
    "                        beside ulx-fleet, else from PATH); for tests and labs\n"
    "  --help, --version\n"
    "\n"
    "Exit code: 0 when every device is upgraded or already current (inventory:\n"
    "identified), 1 when any is not, 2 on bad usage, 3 when --canary stopped the\n"
    "rollout, 4 when --max-failures did. Ctrl-C cancels the runs whose image is not\n"
    "yet delivered (a second Ctrl-C the others too) and writes the report.\n";

long number(const std::string& name, const std::string& value, long low, long high) {
    char* end = nullptr;
    long v = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || v < low || v > high)
        usageError("bad value for " + name + ": " + value + " (" + std::to_string(low) + " to " + std::to_string(high) +
                   ")");
    return v;
}

}  // namespace

void usageError(const std::string& text) {
    fprintf(stderr, "ulx-fleet: %s (see --help)\n", text.c_str());
    exit(EXIT_USAGE);
}

Options parseArguments(int argc, char** argv) {
    Options o;
    const std::set<std::string> withValue = {
        "--list",  "--password-file", "--jobs",         "--local", "--report",       "--timeout",   "--program",
        "--retry", "--canary",        "--max-failures", "--scan",  "--scan-timeout", "--write-list"};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        if (arg == "--help" || arg == "-h") {
            fputs(HELP, stdout);
            exit(0);
        }
        if (arg == "--version") {
            printf("ulx-fleet %s\n", ULX_VERSION_TEXT);
            exit(0);
        }
        if (arg.rfind("--", 0) != 0) {
            o.addresses.push_back(arg);
            continue;
        }
        if (auto eq = arg.find('='); eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            if (!withValue.count(arg)) usageError(arg + " takes no value");
        } else if (withValue.count(arg)) {
            if (i + 1 >= argc) usageError(arg + " needs a value");
            value = argv[++i];
        }
        if (arg == "--list") o.lists.push_back(value);
        else if (arg == "--password-file") o.passwordFile = value;
        else if (arg == "--local") o.local = value;
        else if (arg == "--report") o.report = value;
        else if (arg == "--program") o.program = value;
        else if (arg == "--retry") o.retry = value;
        else if (arg == "--scan") o.scans.push_back(value);
        else if (arg == "--write-list") o.writeList = value;
        else if (arg == "--scan-timeout") o.scanTimeoutMs = number(arg, value, 10, 60000);
        else if (arg == "--jobs") o.jobs = number(arg, value, 1, 1000);
        else if (arg == "--timeout") o.timeoutSeconds = number(arg, value, 1, 24 * 3600);
        else if (arg == "--canary") o.rollout.canary = static_cast<int>(number(arg, value, 1, 100000));
        else if (arg == "--max-failures") o.rollout.maxFailures = static_cast<int>(number(arg, value, 1, 100000));
        else if (arg == "--inventory") o.inventory = true;
        else if (arg == "--force") o.force = true;
        else if (arg == "--yes") o.yes = true;
        else usageError("unknown option " + arg);
    }
    if (o.inventory && o.force) usageError("--force and --inventory exclude each other");
    if (!o.report.empty() && !reportFormatKnown(o.report)) usageError("--report FILE ends in .csv or .json");
    if (!o.retry.empty() && (!o.addresses.empty() || !o.scans.empty()))
        usageError("--retry takes its devices from the report alone");
    std::vector<uint32_t> scanned;
    std::string error;
    if (!scanAddresses(o.scans, scanned, error)) usageError("bad value for --scan: " + error);
    if (!o.writeList.empty() && o.scans.empty()) usageError("--write-list writes what --scan found: give --scan");
    return o;
}

}  // namespace fleet
