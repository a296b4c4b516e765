// What became of a device: the outcomes, their names, and the program's
// messages that decide them.
#include "fleet/fleet.h"

namespace fleet {

namespace {

const char FAILED[] = "Upgrade Failed: ";
const char USER_ABORT[] = "Upgrade Failed: User Abort";

struct OutcomeName {
    Outcome outcome;
    const char* text;
};
const OutcomeName NAMES[] = {
    {Outcome::Pending, "not run"},
    {Outcome::Identified, "identified"},
    {Outcome::Upgraded, "upgraded"},
    {Outcome::Current, "already current"},
    {Outcome::WrongPassword, "wrong password"},
    {Outcome::PasswordNeeded, "password needed"},
    {Outcome::NoResponse, "no response"},
    {Outcome::NotUlx, "not a ULX"},
    {Outcome::ChallengeTooLong, "password challenge too long"},
    {Outcome::UploadIncomplete, "upload incomplete"},
    {Outcome::VersionNotMatching, "version not matching"},
    {Outcome::UpgradeFailed, "upgrade failed"},
    {Outcome::Cancelled, "cancelled"},
    {Outcome::ProgramFailed, "program failed"},
    {Outcome::NotStarted, "not started"},
};

bool startsWith(const std::string& s, const char* head) { return s.rfind(head, 0) == 0; }

}  // namespace

const char* outcomeText(Outcome outcome) {
    for (const OutcomeName& n : NAMES)
        if (n.outcome == outcome) return n.text;
    return "";
}

bool outcomeFromText(const std::string& text, Outcome& out) {
    for (const OutcomeName& n : NAMES)
        if (text == n.text) {
            out = n.outcome;
            return true;
        }
    return false;
}

bool outcomeSucceeded(Outcome outcome) {
    return outcome == Outcome::Identified || outcome == Outcome::Upgraded || outcome == Outcome::Current;
}

const std::vector<MessageOutcome>& messageTable() {
    static const std::vector<MessageOutcome> table = {
        {"Upgrade Failed: No Response From ULX", false, Outcome::NoResponse},
        // "(…)": the beginning of what answered instead.
        {"Upgrade Failed: Not a ULX Status Page", true, Outcome::NotUlx},
        // "(over N characters)": the bound the program keeps.
        {"Upgrade Failed: ULX Password Challenge Too Long", true, Outcome::ChallengeTooLong},
        {"Upgrade Failed: Firmware Upload Incomplete", false, Outcome::UploadIncomplete},
        {"Upgrade Failed: Version not matching", false, Outcome::VersionNotMatching},
        // A Cancel: the fleet's own reason for it decides (outcomeOfMessage).
        {USER_ABORT, false, Outcome::Cancelled},
        // The program could not get what it runs on from this computer:
        // sockets, threads, memory, its dialogs, its own image.
        {"Upgrade Failed: Can't ", true, Outcome::ProgramFailed},
        {"Upgrade Failed: Firmware image missing from this program", false, Outcome::ProgramFailed},
        {"Upgrade Failed: Winsock init error", false, Outcome::ProgramFailed},
    };
    return table;
}

bool messageOutcome(const std::string& message, Outcome& out) {
    for (const MessageOutcome& m : messageTable())
        if (m.prefix ? startsWith(message, m.text) : message == m.text) {
            out = m.outcome;
            return true;
        }
    return false;
}

Outcome outcomeOfMessage(const std::string& message, CancelReason reason, bool success) {
    if (success) return Outcome::Upgraded;
    // The fleet's own Cancel: what it was pressed for decides. The warning
    // and address dialogs end the run without a message.
    if (message == USER_ABORT || message.empty()) {
        switch (reason) {
            case CancelReason::Inventory: return message.empty() ? Outcome::ProgramFailed : Outcome::Identified;
            case CancelReason::Current: return message.empty() ? Outcome::ProgramFailed : Outcome::Current;
            case CancelReason::Password: return Outcome::WrongPassword;
            case CancelReason::NoPassword: return Outcome::PasswordNeeded;
            case CancelReason::Operator: return Outcome::Cancelled;
            case CancelReason::LocalMissing:
            case CancelReason::None: return Outcome::ProgramFailed;
        }
    }
    Outcome o = Outcome::ProgramFailed;
    if (messageOutcome(message, o)) return o;
    // A failure the program names and this table does not (yet): still the
    // upgrade's failure, not the program's.
    return startsWith(message, FAILED) ? Outcome::UpgradeFailed : Outcome::ProgramFailed;
}

}  // namespace fleet
