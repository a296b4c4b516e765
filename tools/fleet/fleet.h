// ulx-fleet: many devices upgraded from one computer, each by its own
// ulx-upgrade-script process answered through the automation protocol as a
// person would answer its dialogs (protocol_client/person.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "protocol_client/person.h"

namespace fleet {

// ---------------------------------------------------------------- devices (devices.cpp)

struct DeviceEntry {
    std::string address;  // as written, "a.b.c.d"
    uint32_t addressValue = 0;
    std::string user = "admin";
    std::string password;
    bool hasPassword = false;  // the line gave one (possibly empty)
    std::string origin;        // "FILE:LINE", "command line", "REPORT:RECORD" or "scan"
    bool scanned = false;      // the sweep found it answering on port 80
};

// Why a user name or password cannot reach the device as written (the
// dialog keeps 126 characters of Windows-1252; the text is UTF-8), or
// empty when it can.
std::string credentialFault(const std::string& text);

// Reads a device list: one device a line, "address[,user[,password]]", with
// # comments and blank lines. Appends to out; false with "NAME:LINE: reason"
// in error at the first bad line.
bool parseDeviceList(const std::string& text, const std::string& name, std::vector<DeviceEntry>& out,
                     std::string& error);

// The shared password from a password file's text: its first line. False
// with the reason in error when it cannot reach the device as written.
bool readSharedPassword(const std::string& text, std::string& password, std::string& error);
// Empty when a file of this mode may hold a password (no access for group
// or others, as ssh asks of keys), else why not.
std::string passwordFileModeFault(unsigned mode);

// ---------------------------------------------------------------- local addresses (local_addresses.cpp)

// One IPv4 network of this computer's interfaces.
struct LocalNetwork {
    uint32_t address = 0;
    uint32_t mask = 0;
};

std::vector<LocalNetwork> localNetworks();

// The local address to upgrade a device from: among candidates (the
// addresses the program offers), the first whose network holds the device,
// else fallback (0: none).
uint32_t chooseLocalAddress(uint32_t device, const std::vector<uint32_t>& candidates,
                            const std::vector<LocalNetwork>& networks, uint32_t fallback);

// ---------------------------------------------------------------- outcomes (outcomes.cpp)

enum class Outcome {
    Pending,
    Identified,  // inventory: the device answered and was left as it was
    Upgraded,
    Current,
    WrongPassword,
    PasswordNeeded,  // the device asks for a password and none was given
    NoResponse,
    NotUlx,  // the address answers with a web page that is no ULX status page
    ChallengeTooLong,  // the device's Digest challenge carries a value longer than the program keeps
    UploadIncomplete,
    VersionNotMatching,
    UpgradeFailed,  // the program ended the upgrade with a message of its own the fleet names no closer
    Cancelled,
    ProgramFailed,
    NotStarted,  // a staged rollout stopped before this device
};
const char* outcomeText(Outcome outcome);
// The outcome of a report's text; false when the text names none.
bool outcomeFromText(const std::string& text, Outcome& out);
// True for the outcomes a run counts as a success.
bool outcomeSucceeded(Outcome outcome);

// What the program's last message means, when the fleet did not press a
// Cancel of its own: every "Upgrade Failed: " text the program shows.
struct MessageOutcome {
    const char* text;  // the message, or its beginning when prefix
    bool prefix;
    Outcome outcome;
};
const std::vector<MessageOutcome>& messageTable();
// The table's outcome of a message; false when no row names it.
bool messageOutcome(const std::string& message, Outcome& out);

// The fleet's reason for a Cancel of its own, which decides what the
// program's "User Abort" means.
enum class CancelReason { None, Inventory, Current, Password, NoPassword, Operator, LocalMissing };
Outcome outcomeOfMessage(const std::string& message, CancelReason reason, bool success);

// ---------------------------------------------------------------- discovery (scan.cpp)

// The most addresses one run sweeps: a /16.
constexpr uint32_t kMaxScanAddresses = 65536;

// The addresses of a --scan value, first to last (host order): a CIDR
// "a.b.c.d/P" (P 16 to 32, no host bits set; its hosts, without the
// network and broadcast addresses up to a /30), a range "a.b.c.d-e" (last
// octet d to e), or one address. False with the reason in error.
bool parseScanRange(const std::string& text, uint32_t& first, uint32_t& last, std::string& error);
// Every address of the values, each once, in order; false with the reason
// in error for a bad value or more than kMaxScanAddresses in all.
bool scanAddresses(const std::vector<std::string>& values, std::vector<uint32_t>& out, std::string& error);

struct SweepLimits {
    int timeoutMs = 1000;  // the longest one address may take to answer
    int inFlight = 256;    // connections attempted at once
};

struct SweepResult {
    std::vector<uint32_t> answered;  // a TCP connection was accepted, in address order
    int refused = 0;                 // reset at once: a host, but nothing listens
    int silent = 0;                  // no answer within the timeout
    int unreachable = 0;             // the network said no (no route, no ARP answer)
    long elapsedMs = 0;
};

// Tries a TCP connection to port of every address, at most inFlight at a
// time, each for at most timeoutMs, and closes each at once. False with
// the reason in error when the sweep itself cannot go on (no sockets).
bool sweepPort(const std::vector<uint32_t>& addresses, uint16_t port, const SweepLimits& limits, SweepResult& result,
               std::string& error);

// ---------------------------------------------------------------- one device's run (drive.cpp)

enum class Stage { Queued, Running, Done };

using WallClock = std::chrono::system_clock;

// What happened to one device. Written by its driver thread and read by
// the main thread, both under Fleet::lock.
struct Record {
    DeviceEntry entry;
    uint32_t local = 0;
    Stage stage = Stage::Queued;
    ulxproto::Phase phase = ulxproto::Phase::Starting;
    Outcome outcome = Outcome::Pending;
    std::string message;  // the exact text the program showed last (message box or success title)
    std::string detail;   // what the fleet adds (why a program failed)
    bool identified = false;
    ulxproto::DeviceReport device;    // what the confirmation dialog showed
    std::string newVersion;           // the success dialog's version
    long bytes = 0, total = 0;        // bytes acknowledged by the device, image size
    long waitPos = 0, waitRange = 0;  // the uploading window's bar (the restart's wait, once restarting)
    bool restarting = false;
    bool started = false, ended = false;
    WallClock::time_point startTime, endTime;
    int pid = -1;
    // The running program's driver connection, for the main thread to get
    // the driver's attention (a Ctrl-C); null when none runs.
    ulxproto::ScriptProcess* process = nullptr;
    bool current() const { return identified && device.current(); }
};
const char* stageText(const Record& r);
// One line on what became of a device: "upgraded from X to Y", ...
std::string describe(const Record& r);

struct RunConfig {
    std::string program;
    bool inventory = false;
    bool force = false;
    int timeoutMs = 600000;  // a device's whole run
    int silenceMs = 60000;   // the longest a program may say nothing
    int cancelMs = 15000;    // how long a cancelled program may take to end
};

// A line for the log: a device's new stage, or (final) its outcome.
struct Note {
    WallClock::time_point at;
    bool final = false;
    std::string text;  // "ADDRESS text"
};

// Everything the driver threads and the main thread share.
struct Fleet {
    std::mutex lock;  // guards every Record and notes
    std::vector<Record> records;
    std::vector<Note> notes;  // in the order they happened; the main thread takes them
    // 0: run; 1: cancel every device whose last image is not yet delivered;
    // 2: cancel every device still running; 3: kill every program.
    std::atomic<int> cancelLevel{0};
    // The main thread's wake-up (an eventfd): a driver that leaves a note
    // or ends writes it (wakeMainLoop), so the main thread shows it and
    // starts the next device at once. Set by runFleet before the first
    // driver starts, -1 outside a run.
    int wakeFd = -1;
};
void wakeMainLoop(Fleet& fleet);

// Runs the program for records[index] and answers its dialogs to the end.
void driveDevice(const RunConfig& config, Fleet& fleet, size_t index);

// ---------------------------------------------------------------- staged rollouts (rollout.cpp)

struct Rollout {
    int canary = 0;       // --canary N: the first N alone (0: none)
    int maxFailures = 0;  // --max-failures N (0: no limit)
};

// Whether more devices may start, from the records' state.
enum class Gate {
    Open,          // start what the other limits allow
    CanaryWait,    // the canary devices are still running: nothing else yet
    CanaryFailed,  // a canary device did not end upgraded or current: nothing more
    TooManyFailures,
};
Gate rolloutGate(const Rollout& rollout, const std::vector<Record>& records);
// The detail a device not started gets for a closed gate.
std::string gateDetail(Gate gate, const Rollout& rollout);

// ---------------------------------------------------------------- the report (report.cpp)

std::string isoTime(WallClock::time_point t);
// A CSV field: quoted when it holds a comma, quote or line break; a text
// that a spreadsheet would take for a formula (=, +, -, @, tab, CR first)
// gets a leading single quote.
std::string csvField(const std::string& s);
std::string reportCsv(const std::vector<Record>& records);
std::string reportJson(const std::vector<Record>& records);
bool reportFormatKnown(const std::string& path);
// The report's text for the file name's extension (.csv, .json).
std::string reportText(const std::string& path, const std::vector<Record>& records);
// Whether a report can be written at path: before anything starts.
bool reportWritable(const std::string& path, std::string& error);
// Writes text to path (beside it and renamed, so a reader never sees half a
// report). When that fails, to a file of its own beside it, else in the
// current directory, else the temporary one: where it went in written, or
// false when nowhere took it.
bool writeReport(const std::string& path, const std::string& text, std::string& written, std::string& error);

// Writes text to path through a file beside it, renamed: a reader never
// sees half of it.
bool writeWhole(const std::string& path, const std::string& text);

// The device list of what a scan found, for --list: a line "address,user"
// for each device identified (never a password), a comment line for each
// host that may be a device the scan could not identify (a password, no
// answer), nothing for the hosts that are no ULX. header: its first
// comment line.
std::string scanListText(const std::vector<Record>& records, const std::string& header);
// "N hosts answered on port 80, M were ULX devices, K not a ULX", then the
// other outcomes of the hosts the scan found.
std::string scanSummary(const std::vector<Record>& records);

// One record of a report that ulx-fleet wrote, as much as a retry needs.
struct ReportRow {
    std::string address, outcome;
};
// Reads a CSV or JSON report of ulx-fleet; false with the reason in error.
bool parseReport(const std::string& text, std::vector<ReportRow>& rows, std::string& error);

}  // namespace fleet
