// A person at the program's dialogs, over the automation protocol: Continue
// past the warning, the device's address and a local address, the password
// when the device asks, Upgrade (or Cancel) at the confirmation, OK to the
// success dialog and to every message box. The fleet, the demo and the tests
// all answer the dialogs through this one walker; it notes what it saw.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "protocol_client/program.h"

namespace ulxproto {

using Lines = std::vector<std::string>;

// The dialogs' template numbers as the protocol's "open" lines carry them,
// and "msgbox" for a message box.
std::string templateName(int templateId);
extern const char MSGBOX[];

// How far a run has come, by the windows it showed.
enum class Phase { Starting, Connecting, Identified, Waiting, Uploading, Restarting, Verifying };
const char* phaseText(Phase phase);

// Why the person pressed a Cancel of its own.
enum class CancelCause {
    None,
    Chosen,        // Answers::cancelIn
    Passwords,     // a password dialog after the passwords ran out
    LocalMissing,  // the address dialog does not offer Answers::local
    Declined,      // the confirmation, by Answers::upgrade
    Requested,     // Person::cancel()
};

struct Seen;

// How the person answers.
struct Answers {
    Lines passwords;             // for successive password dialogs; Cancel when they run out
    std::string cancelIn = "";   // the template of a window to Cancel once it is shown
    std::string local = "";      // the "Your IP Address" item to pick (empty: as offered)
    std::string user = "admin";  // typed unless it is the prefilled "admin"
    int cancelAt = 1;            // which window of cancelIn's template gets the Cancel (1: the first)
    std::string device = "";     // the device address typed
    // At the confirmation: Upgrade when it returns true (unset: always).
    std::function<bool(const Seen&)> upgrade = nullptr;
    // Told each answer as the person gives it ("Continue", "Upgrade", ...).
    std::function<void(const std::string&)> narrate = nullptr;
};

// What the device reported in the confirmation dialog.
struct DeviceReport {
    std::string product, serial, mac, software, hardware;
    std::string embeddedVersion;  // "Confirm Upgrade to Ver. X"
    bool current() const { return !embeddedVersion.empty() && software == embeddedVersion; }
};

// What the person saw.
struct Seen {
    Lines opened, messages;                    // templates in order; message box texts
    std::vector<int> dialogAfter;              // per password dialog, the attempts (connecting windows) before it
    std::map<std::string, std::string> texts;  // "template/control" (or "template/title") -> last text
    Phase phase = Phase::Starting;
    bool identified = false;  // the confirmation was shown
    DeviceReport device;
    std::string message;              // the last message box text, or the success dialog's title
    std::string newVersion;           // the success dialog's version
    bool success = false;             // the success dialog was shown
    long bytes = 0, total = 0;        // bytes the device acknowledged of the image in transfer, its size
    long waitPos = 0, waitRange = 0;  // the uploading window's bar
    // The last stage's image: acknowledged whole; the device restarts into
    // it. A two-stage run's Transition image sets neither.
    bool delivered = false, restarting = false;
    int passwordDialogs = 0;
    CancelCause cancelled = CancelCause::None;
    bool exited = false;
    int exitCode = -1;
    int count(const std::string& t) const;
};

class Person {
public:
    Person(ScriptProcess& program, Answers answers) : program_(program), answers_(std::move(answers)) {}

    // Notes one event and answers a dialog once it is shown.
    void take(const Event& e);
    // Cancel in the newest window that offers it, or in the next one shown
    // when none does now; once per run.
    void cancel();
    bool cancelPending() const { return cancelWanted_; }
    const Seen& seen() const { return seen_; }

private:
    void shown(const std::string& kind, int w);
    void title(const std::string& kind, const std::string& text);
    void pressCancel(int w, CancelCause cause);
    void say(const std::string& what);

    ScriptProcess& program_;
    Answers answers_;
    Seen seen_;
    std::map<int, std::string> kinds_;  // window -> template
    std::map<int, Lines> localItems_;   // address dialog -> the local addresses offered
    std::vector<int> openCancellable_;  // shown windows that offer Cancel, oldest first
    bool cancelWanted_ = false;         // cancel() was called
    int cancelledWindow_ = -1;          // where that Cancel went
    size_t nextPassword_ = 0;
};

// Walks a started program's dialogs to its end (or until it says nothing
// for silenceMs).
Seen walk(ScriptProcess& program, Answers answers, int silenceMs = 60000);

// Starts the program and walks the warning with Continue (which closes it
// with 1); the address dialog's window once shown, or -1.
int toAddressDialog(ScriptProcess& p, const std::string& program, const Lines& args = {}, const Lines& env = {});

}  // namespace ulxproto
