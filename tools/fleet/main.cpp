// ulx-fleet: upgrades many devices from one computer, unattended, with live
// progress and a report. See --help and the README.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "driver/protocol_driver.h"
#include "fleet/fleet.h"

#ifndef ULX_VERSION_TEXT
#define ULX_VERSION_TEXT "unknown"
#endif

using namespace fleet;

namespace {

constexpr int kMaxPerLocalAddress = 100;  // the TFTP listener's ports 69 to 168
constexpr const char* kPasswordVariable = "ULX_FLEET_PASSWORD";

const char HELP[] =
    "usage: ulx-fleet [options] [ADDRESS...]\n"
    "Upgrades the firmware of many ULX devices at once, each through its own\n"
    "ulx-upgrade-script answered as a person would answer its dialogs.\n"
    "\n"
    "  --list FILE           the devices, one a line: address[,user[,password]];\n"
    "                        # starts a comment line; may be given more than once\n"
    "  ADDRESS               a device (user admin) given on the command line\n"
    "  --password-file FILE  the password (its first line) of every device whose\n"
    "                        line gives none; else $ULX_FLEET_PASSWORD\n"
    "  --inventory           identify every device and change nothing\n"
    "  --force               upgrade devices already at the embedded version too\n"
    "  --jobs N              upgrades at once (default 16; at most 100 per local address)\n"
    "  --local A             local address for devices on none of this computer's networks\n"
    "  --yes                 acknowledge the program's warning without asking\n"
    "  --report FILE         write one record per device, CSV or JSON by the extension\n"
    "  --timeout SECONDS     the longest one device's run may take (default 600)\n"
    "  --program PATH        the program to run per device (default: ulx-upgrade-script\n"
    "                        beside ulx-fleet, else from PATH); for tests and labs\n"
    "  --help, --version\n"
    "\n"
    "Exit code: 0 when every device is upgraded or already current (inventory:\n"
    "identified), 1 when any is not, 2 on bad usage. Ctrl-C cancels the runs whose\n"
    "image is not yet delivered (a second Ctrl-C the others too) and writes the report.\n";

struct Options {
    std::vector<std::string> lists, addresses;
    std::string passwordFile, local, report, program;
    bool inventory = false, force = false, yes = false;
    long jobs = 16;
    long timeoutSeconds = 600;
};

[[noreturn]] void usageError(const std::string& text) {
    fprintf(stderr, "ulx-fleet: %s (see --help)\n", text.c_str());
    exit(2);
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

long number(const std::string& name, const std::string& value, long low, long high) {
    char* end = nullptr;
    long v = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || v < low || v > high)
        usageError("bad value for " + name + ": " + value + " (" + std::to_string(low) + " to " + std::to_string(high) +
                   ")");
    return v;
}

Options parseArguments(int argc, char** argv) {
    Options o;
    const std::set<std::string> withValue = {"--list",   "--password-file", "--jobs",   "--local",
                                             "--report", "--timeout",       "--program"};
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
        else if (arg == "--jobs") o.jobs = number(arg, value, 1, 1000);
        else if (arg == "--timeout") o.timeoutSeconds = number(arg, value, 1, 24 * 3600);
        else if (arg == "--inventory") o.inventory = true;
        else if (arg == "--force") o.force = true;
        else if (arg == "--yes") o.yes = true;
        else usageError("unknown option " + arg);
    }
    if (o.inventory && o.force) usageError("--force and --inventory exclude each other");
    if (!o.report.empty() && !reportFormatKnown(o.report)) usageError("--report FILE ends in .csv or .json");
    return o;
}

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
            if (parseAddress(item, a)) out.push_back(a);
        }
        return out;
    }
    for (int loopback = 0; loopback < 2; ++loopback)
        for (const LocalNetwork& n : networks)
            if (((n.address >> 24) == 127) == (loopback == 1)) out.push_back(n.address);
    return out;
}

// ---------------------------------------------------------------- the warning

// Shows the program's own warning and asks the operator once.
bool acknowledgeWarning(const std::string& program, size_t devices) {
    ulxtest::ScriptProcess p;
    p.setStderrPath("/dev/null");
    if (!p.start(program)) {
        fprintf(stderr, "ulx-fleet: cannot start %s: %s\n", program.c_str(), p.lastError().c_str());
        return false;
    }
    int w = p.waitOpen("139", 10000);
    auto text = w >= 0 ? p.waitText(w, 1021, 10000) : std::nullopt;
    if (!text) {
        fprintf(stderr, "ulx-fleet: %s showed no warning\n", program.c_str());
        return false;
    }
    p.closeInput();  // the warning gets its close box: the program ends
    p.wait(5000);
    std::string shown;
    for (char c : text->text)
        if (c != '\r') shown += c;
    printf("%s\n\nUpgrade %zu device%s? [y/N] ", shown.c_str(), devices, devices == 1 ? "" : "s");
    fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    std::transform(answer.begin(), answer.end(), answer.begin(), [](unsigned char c) { return std::tolower(c); });
    return answer == "y" || answer == "yes";
}

// ---------------------------------------------------------------- progress

std::string clockText(WallClock::time_point t) {
    time_t seconds = WallClock::to_time_t(t);
    tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string elapsedText(long seconds) {
    char text[32];
    snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
    return text;
}

std::string summaryLine(const std::vector<Record>& records, long elapsed) {
    int done = 0, failed = 0, toGo = 0, running = 0;
    for (const Record& r : records) {
        if (r.stage == Stage::Done) (outcomeSucceeded(r.outcome) ? done : failed)++;
        else ++toGo;
        if (r.started && r.stage != Stage::Done) ++running;
    }
    char text[160];
    snprintf(text, sizeof text, "done %d, failed %d, to go %d (%d running), elapsed %s", done, failed, toGo, running,
             elapsedText(elapsed).c_str());
    return text;
}

std::string bar(long pos, long range, int width) {
    int filled = range > 0 ? static_cast<int>(std::min(pos, range) * width / range) : 0;
    std::string text = "[";
    text.append(static_cast<size_t>(filled), '#');
    text.append(static_cast<size_t>(width - filled), '.');
    return text + "]";
}

std::string progressLine(const Record& r) {
    char text[256];
    std::string amount, meter;
    if (r.stage == Stage::Uploading || (r.total > 0 && r.stage != Stage::Restarting)) {
        amount = std::to_string(r.bytes) + "/" + std::to_string(r.total);
        meter = bar(r.bytes, r.total, 20);
    } else if (r.stage == Stage::Restarting) {
        amount = std::to_string(r.bytes) + "/" + std::to_string(r.total);
        meter = bar(r.waitPos, r.waitRange, 20);
    }
    snprintf(text, sizeof text, "%-15s  %-24s  %17s %s", r.entry.address.c_str(), stageText(r.stage), amount.c_str(),
             meter.c_str());
    return text;
}

int terminalSize(int* columns) {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0) {
        *columns = 80;
        return 24;
    }
    *columns = ws.ws_col;
    return ws.ws_row;
}

// Live progress on a terminal: finished devices scroll up as lines of
// their own, the running ones and a summary are redrawn in place.
class TerminalView {
public:
    void draw(Fleet& fleet, long elapsed, bool last) {
        std::vector<Note> notes;
        std::vector<std::string> block;
        int columns = 80;
        int rows = terminalSize(&columns);
        {
            std::lock_guard<std::mutex> hold(fleet.lock);
            notes.swap(fleet.notes);
            if (!last) {
                const size_t room = rows > 4 ? static_cast<size_t>(rows - 3) : 1;
                size_t running = 0;
                for (const Record& r : fleet.records) {
                    if (!r.started || r.stage == Stage::Done) continue;
                    if (++running <= room) block.push_back(progressLine(r));
                }
                if (running > room) block.push_back("... and " + std::to_string(running - room) + " more");
            }
            block.push_back(summaryLine(fleet.records, elapsed));
        }
        std::string out;
        if (drawn_ > 0) out += "\r\x1b[" + std::to_string(drawn_) + "A";
        for (const Note& n : notes)
            if (n.final) out += "\x1b[2K" + fit(n.text, columns) + "\n";
        for (const std::string& line : block) out += "\x1b[2K" + fit(line, columns) + "\n";
        out += "\x1b[J";
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
        drawn_ = static_cast<int>(block.size());
    }

private:
    static std::string fit(const std::string& s, int columns) {
        size_t width = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
        return s.size() > width ? s.substr(0, width) : s;
    }
    int drawn_ = 0;
};

// Plain timestamped lines where standard output is no terminal.
class PlainView {
public:
    void draw(Fleet& fleet, long elapsed, bool last) {
        std::vector<Note> notes;
        std::string summary;
        {
            std::lock_guard<std::mutex> hold(fleet.lock);
            notes.swap(fleet.notes);
            summary = summaryLine(fleet.records, elapsed);
        }
        for (const Note& n : notes) printf("%s %s\n", clockText(n.at).c_str(), n.text.c_str());
        if (last || elapsed >= nextSummary_) {
            printf("%s %s\n", clockText(WallClock::now()).c_str(), summary.c_str());
            nextSummary_ = elapsed + 10;
        }
        fflush(stdout);
    }

private:
    long nextSummary_ = 10;
};

void printInventory(const std::vector<Record>& records) {
    printf("\n%-15s  %-10s  %-14s  %-17s  %-12s  %-8s  %s\n", "address", "product", "serial", "mac", "software",
           "hardware", "current");
    for (const Record& r : records) {
        if (r.identified)
            printf("%-15s  %-10s  %-14s  %-17s  %-12s  %-8s  %s\n", r.entry.address.c_str(), r.product.c_str(),
                   r.serial.c_str(), r.mac.c_str(), r.software.c_str(), r.hardware.c_str(), r.current() ? "yes" : "no");
        else printf("%-15s  %s\n", r.entry.address.c_str(), describe(r).c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parseArguments(argc, argv);

    // The devices: the lists, then the command line's addresses.
    std::vector<DeviceEntry> entries;
    std::string error;
    for (const std::string& list : o.lists) {
        std::string text;
        if (!readFile(list, text)) usageError("cannot read " + list);
        if (!parseDeviceList(text, list, entries, error)) usageError(error);
    }
    for (const std::string& a : o.addresses) {
        if (!parseDeviceList(a, "command line", entries, error)) usageError("\"" + a + "\" is not a device address");
        if (entries.back().hasPassword) usageError("a password on the command line shows in ps: use a list file");
    }
    if (entries.empty()) usageError("no device: give --list FILE or addresses");
    std::set<uint32_t> seen;
    for (const DeviceEntry& e : entries)
        if (!seen.insert(e.addressValue).second) usageError(e.origin + ": " + e.address + " is listed twice");

    // Passwords for the lines that give none.
    std::string shared;
    bool haveShared = false;
    if (!o.passwordFile.empty()) {
        std::string text;
        if (!readFile(o.passwordFile, text)) usageError("cannot read " + o.passwordFile);
        shared = text.substr(0, text.find('\n'));
        if (!shared.empty() && shared.back() == '\r') shared.pop_back();
        haveShared = true;
    } else if (const char* p = getenv(kPasswordVariable)) {
        shared = p;
        haveShared = true;
    }
    for (DeviceEntry& e : entries)
        if (!e.hasPassword && haveShared) {
            e.password = shared;
            e.hasPassword = true;
        }

    // Each device's local address, decided before anything starts.
    uint32_t fallback = 0;
    if (!o.local.empty() && !parseAddress(o.local, fallback)) usageError("bad value for --local: " + o.local);
    const auto networks = localNetworks();
    const auto offered = offeredAddresses(networks);
    Fleet fleet;
    for (const DeviceEntry& e : entries) {
        Record r;
        r.entry = e;
        r.local = chooseLocalAddress(e.addressValue, offered, networks, fallback);
        if (r.local == 0) usageError(e.address + " is on none of this computer's networks: give --local");
        fleet.records.push_back(r);
    }

    RunConfig config;
    config.program = o.program.empty() ? defaultProgram() : o.program;
    config.inventory = o.inventory;
    config.force = o.force;
    config.timeoutMs = static_cast<int>(o.timeoutSeconds * 1000);

    signal(SIGPIPE, SIG_IGN);
    // Inventory changes nothing; an upgrade needs the operator's word on
    // the warning, once.
    if (!o.inventory && !o.yes) {
        if (!isatty(STDIN_FILENO)) usageError("no one can answer the warning here: give --yes");
        if (!acknowledgeWarning(config.program, entries.size())) {
            fprintf(stderr, "ulx-fleet: not acknowledged; nothing was done\n");
            return 1;
        }
    }

    // Signals are taken by sigtimedwait in the loop below, never by a
    // handler; every thread started from here on inherits the block.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    const size_t count = fleet.records.size();
    std::vector<std::thread> workers(count);
    std::vector<bool> joined(count, false);
    std::map<uint32_t, int> perLocal;
    size_t running = 0;
    const bool terminal = isatty(STDOUT_FILENO);
    TerminalView tv;
    PlainView pv;
    const auto begin = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin).count());
    };
    if (!terminal)
        printf("%s %s %zu device%s with %s\n", clockText(WallClock::now()).c_str(),
               o.inventory ? "inventory of" : "upgrade of", count, count == 1 ? "" : "s", config.program.c_str());

    for (;;) {
        // Start what the limits allow, in list order.
        if (fleet.cancelLevel.load() == 0) {
            for (size_t i = 0; i < count && running < static_cast<size_t>(o.jobs); ++i) {
                if (workers[i].joinable() || joined[i]) continue;
                uint32_t local = fleet.records[i].local;
                if (perLocal[local] >= kMaxPerLocalAddress) continue;
                ++perLocal[local];
                ++running;
                workers[i] = std::thread(driveDevice, std::cref(config), std::ref(fleet), i);
            }
        }
        // Join the finished ones.
        for (size_t i = 0; i < count; ++i) {
            if (!workers[i].joinable()) continue;
            bool ended;
            {
                std::lock_guard<std::mutex> hold(fleet.lock);
                ended = fleet.records[i].ended;
            }
            if (!ended) continue;
            workers[i].join();
            joined[i] = true;
            --perLocal[fleet.records[i].local];
            --running;
        }
        bool queued = false;
        for (size_t i = 0; i < count; ++i) queued = queued || (!joined[i] && !workers[i].joinable());
        if (running == 0 && (!queued || fleet.cancelLevel.load() > 0)) break;

        timespec tick{0, 200 * 1000 * 1000};
        int caught = sigtimedwait(&endSignals, nullptr, &tick);
        if (caught > 0) {
            int level = std::min(fleet.cancelLevel.load() + 1, 3);
            fleet.cancelLevel.store(level);
            const char* what = level == 1   ? "cancelling every upgrade whose image is not yet delivered "
                                              "(again: those restarting too)"
                               : level == 2 ? "cancelling every upgrade (again: stop the programs at once)"
                                            : "stopping every program at once";
            {
                std::lock_guard<std::mutex> hold(fleet.lock);
                fleet.notes.push_back(Note{WallClock::now(), true, std::string("ulx-fleet: ") + what});
                // Third time: the programs are killed, the drivers see them end.
                if (level == 3)
                    for (const Record& r : fleet.records)
                        if (r.pid > 0) kill(-r.pid, SIGKILL);
            }
        }
        if (terminal) tv.draw(fleet, elapsed(), false);
        else pv.draw(fleet, elapsed(), false);
    }

    // Devices never started: cancelled.
    for (size_t i = 0; i < count; ++i) {
        Record& r = fleet.records[i];
        if (!joined[i] && r.outcome == Outcome::Pending) {
            r.outcome = Outcome::Cancelled;
            r.detail = "not started";
            r.stage = Stage::Done;
        }
    }
    if (terminal) tv.draw(fleet, elapsed(), true);
    else pv.draw(fleet, elapsed(), true);

    std::map<Outcome, int> tally;
    bool allGood = true;
    for (const Record& r : fleet.records) {
        ++tally[r.outcome];
        allGood = allGood && outcomeSucceeded(r.outcome) && (o.inventory || r.outcome != Outcome::Identified);
    }
    if (o.inventory) printInventory(fleet.records);
    std::string counts;
    for (const auto& [outcome, n] : tally)
        counts += (counts.empty() ? "" : ", ") + std::to_string(n) + " " + outcomeText(outcome);
    printf("\n%zu device%s: %s\n", count, count == 1 ? "" : "s", counts.c_str());
    int code = allGood ? 0 : 1;
    if (!o.report.empty()) {
        if (writeReport(o.report, fleet.records, error)) {
            printf("report: %s\n", o.report.c_str());
        } else {
            fprintf(stderr, "ulx-fleet: %s\n", error.c_str());
            code = 1;
        }
    }
    fflush(stdout);
    return code;
}
