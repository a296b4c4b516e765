// ulx-fleet: many devices upgraded from one computer, each by its own
// ulx-upgrade-script process answered through the automation protocol as a
// person would answer its dialogs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace fleet {

// ---------------------------------------------------------------- the list

struct DeviceEntry {
    std::string address;  // as written, "a.b.c.d"
    uint32_t addressValue = 0;
    std::string user = "admin";
    std::string password;
    bool hasPassword = false;  // the line gave one (possibly empty)
    std::string origin;        // "FILE:LINE" or "command line"
};

// Strict dotted quad, each part 0..255 in decimal; host order out.
bool parseAddress(const std::string& text, uint32_t& out);

// Reads a device list: one device a line, "address[,user[,password]]", with
// # comments and blank lines. Appends to out; false with "NAME:LINE: reason"
// in error at the first bad line.
bool parseDeviceList(const std::string& text, const std::string& name, std::vector<DeviceEntry>& out,
                     std::string& error);

// ---------------------------------------------------------------- local addresses

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

std::string formatAddress(uint32_t address);

// ---------------------------------------------------------------- one device's run

enum class Stage { Queued, Starting, Connecting, Identified, Waiting, Uploading, Restarting, Verifying, Done };
const char* stageText(Stage stage);

enum class Outcome {
    Pending,
    Identified,  // inventory: the device answered and was left as it was
    Upgraded,
    Current,
    WrongPassword,
    NoResponse,
    UploadIncomplete,
    VersionNotMatching,
    Cancelled,
    ProgramFailed,
};
const char* outcomeText(Outcome outcome);
// True for the outcomes a run counts as a success.
bool outcomeSucceeded(Outcome outcome);

using WallClock = std::chrono::system_clock;

// What happened to one device. Written by its driver thread and read by
// the main thread, both under Fleet::lock.
struct Record {
    DeviceEntry entry;
    uint32_t local = 0;
    Stage stage = Stage::Queued;
    Outcome outcome = Outcome::Pending;
    std::string message;  // the exact text the program showed last (message box or success title)
    std::string detail;   // what the fleet adds (why a program failed)
    // What the confirmation dialog showed.
    bool identified = false;
    std::string product, serial, mac, software, hardware;
    std::string embeddedVersion;      // "Confirm Upgrade to Ver. X"
    std::string newVersion;           // the success dialog's version
    long bytes = 0, total = 0;        // bytes acknowledged by the device, image size
    long waitPos = 0, waitRange = 0;  // the uploading window's bar (the restart's wait, once restarting)
    bool started = false, ended = false;
    WallClock::time_point startTime, endTime;
    int pid = -1;
    bool current() const { return identified && !embeddedVersion.empty() && software == embeddedVersion; }
};

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
    // 0: run; 1: cancel every device whose image is not yet delivered;
    // 2: cancel every device still running.
    std::atomic<int> cancelLevel{0};
};

// Runs the program for records[index] and answers its dialogs to the end.
void driveDevice(const RunConfig& config, Fleet& fleet, size_t index);

// Maps the program's last message to an outcome (the fleet's own reason
// for a Cancel, if it pressed one, decides what "User Abort" means).
enum class CancelReason { None, Inventory, Current, Password, Operator };
Outcome outcomeOfMessage(const std::string& message, CancelReason reason, bool success);
// One line on what became of a device: "upgraded from X to Y", ...
std::string describe(const Record& r);

// ---------------------------------------------------------------- the report

std::string isoTime(WallClock::time_point t);
std::string reportCsv(const std::vector<Record>& records);
std::string reportJson(const std::vector<Record>& records);
// Writes CSV or JSON by the file name's extension (.csv, .json).
bool writeReport(const std::string& path, const std::vector<Record>& records, std::string& error);
bool reportFormatKnown(const std::string& path);

}  // namespace fleet
