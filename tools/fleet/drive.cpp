// One device's run: its own program, whose dialogs are answered through
// the automation protocol as a person would answer them.
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "driver/protocol_driver.h"
#include "fleet/fleet.h"

namespace fleet {

namespace {

using Steady = std::chrono::steady_clock;
using ulxtest::Event;
using ulxtest::ScriptProcess;

// The dialogs' templates, and which of them offer Cancel (button 2).
const std::string WARNING = "139", ADDRESS = "101", ADDRESS_PHONE = "305", CONFIRM = "103", CONFIRM_TWO_STAGE = "304",
                  PASSWORD = "104", CONNECTING = "105", UPLOADING = "110", SUCCESS = "111", WAITING = "114",
                  MSGBOX = "msgbox";
const std::set<std::string> CANCELLABLE = {WARNING,  ADDRESS,    ADDRESS_PHONE, CONFIRM, CONFIRM_TWO_STAGE,
                                           PASSWORD, CONNECTING, UPLOADING,     WAITING};

// Controls of the address, password and confirmation dialogs.
constexpr int ADDRESS_ENTRY = 1000, LOCAL_LIST = 1017, USER_ENTRY = 1003, PASSWORD_ENTRY = 1005;
constexpr int SERIAL = 1002, MAC = 1003, SOFTWARE = 1004, HARDWARE = 1005, PRODUCT = 1006;

bool startsWith(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

long msSince(Steady::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - t).count());
}

std::string statusText(int status) {
    if (status > 128) return "killed by signal " + std::to_string(status - 128);
    if (status < 0) return "stopped by the fleet";
    return "exit " + std::to_string(status);
}

class DeviceRun {
public:
    DeviceRun(const RunConfig& config, Fleet& fleet, size_t index) : config_(config), fleet_(fleet), index_(index) {
        std::lock_guard<std::mutex> hold(fleet_.lock);
        entry_ = fleet_.records[index].entry;
        local_ = formatAddress(fleet_.records[index].local);
    }

    void run() {
        update([](Record& r) {
            r.started = true;
            r.startTime = WallClock::now();
        });
        setStage(Stage::Starting);
        process_.setKeepHistory(false);
        process_.setStderrPath("/dev/null");
        if (!process_.start(config_.program)) {
            finish(Outcome::ProgramFailed, "cannot start " + config_.program + ": " + process_.lastError());
            return;
        }
        update([&](Record& r) { r.pid = process_.pid(); });
        loop();
        conclude();
    }

private:
    template <typename F>
    void update(F change) {
        std::lock_guard<std::mutex> hold(fleet_.lock);
        change(fleet_.records[index_]);
    }

    void setStage(Stage s) {
        std::lock_guard<std::mutex> hold(fleet_.lock);
        Record& r = fleet_.records[index_];
        if (r.stage == s) return;
        r.stage = s;
        fleet_.notes.push_back(Note{WallClock::now(), false, entry_.address + " " + stageText(s)});
    }

    bool cancelWanted() const {
        int level = fleet_.cancelLevel.load();
        return level >= 2 || (level == 1 && !delivered_ && !restarting_);
    }

    void pressCancel(int w) {
        process_.press(w, 2);
        cancelledWindow_ = w;
        reason_ = CancelReason::Operator;
    }

    void loop() {
        const auto begin = Steady::now();
        auto lastWord = begin;
        while (!exited_ && fatal_.empty()) {
            auto e = process_.waitFor([](const Event&) { return true; }, 100);
            if (e) {
                lastWord = Steady::now();
                handle(*e);
            } else if (process_.outputEnded()) {
                ended_ = true;
                return;
            } else if (msSince(lastWord) > config_.silenceMs) {
                fatal_ = "the program said nothing for " + std::to_string(config_.silenceMs / 1000) + " s";
            } else if (msSince(begin) > config_.timeoutMs) {
                fatal_ = "the run took longer than " + std::to_string(config_.timeoutMs / 1000) + " s";
            } else if (cancelSince_ && msSince(*cancelSince_) > config_.cancelMs) {
                fatal_ =
                    "the program did not end within " + std::to_string(config_.cancelMs / 1000) + " s of the cancel";
            }
            // The operator's Ctrl-C: Cancel in the newest window that offers
            // it now (windows shown later get it when they are shown).
            if (cancelWanted()) {
                if (!cancelSince_) cancelSince_ = Steady::now();
                if (cancelledWindow_ < 0 && !openCancellable_.empty()) pressCancel(openCancellable_.back());
            }
        }
    }

    void handle(const Event& e) {
        const int w = e.window;
        if (e.kind.empty()) {
            std::string raw = e.raw.size() > 120 ? e.raw.substr(0, 120) + "..." : e.raw;
            fatal_ = "the program wrote a line that is no event: " + raw;
            return;
        }
        if (e.kind == "exit") {
            exited_ = true;
            exitCode_ = static_cast<int>(e.nums.at(0));
            return;
        }
        if (e.kind == "open") {
            kinds_[w] = e.tmpl;
            if (e.tmpl == CONNECTING) {
                if (restarting_ || delivered_) setStage(Stage::Verifying);
                else if (!identified_) setStage(Stage::Connecting);
            } else if (e.tmpl == WAITING) {
                setStage(Stage::Waiting);
            } else if (e.tmpl == UPLOADING) {
                setStage(Stage::Uploading);
            }
            return;
        }
        const std::string& kind = kinds_[w];
        if (e.kind == "title") {
            title(kind, e.text);
        } else if (e.kind == "text") {
            text(kind, e.control, e.text);
        } else if (e.kind == "add" && e.control == LOCAL_LIST) {
            localItems_[w].push_back(e.text);
        } else if ((e.kind == "range" || e.kind == "pos") && kind == UPLOADING) {
            update([&](Record& r) {
                if (e.kind == "range") r.waitRange = e.nums.at(1);
                else r.waitPos = e.nums.at(0);
            });
        } else if (e.kind == "close") {
            std::erase(openCancellable_, w);
        } else if (e.kind == "error") {
            // Cancel reached a window that had just closed: the next one gets it.
            if (w == cancelledWindow_) cancelledWindow_ = -1;
        } else if (e.kind == "shown") {
            shown(kind, w);
        }
    }

    void title(const std::string& kind, const std::string& text) {
        if (kind == UPLOADING) {
            long acked = 0, total = 0;
            if (sscanf(text.c_str(), "Uploading %*s Firmware to ULX@%*s %ld/%ld Bytes", &acked, &total) == 2) {
                if (total > 0 && acked == total) delivered_ = true;
                update([&](Record& r) {
                    r.bytes = acked;
                    r.total = total;
                });
            } else if (startsWith(text, "Updating ")) {
                restarting_ = true;
                setStage(Stage::Restarting);
            }
        } else if (kind == CONFIRM || kind == CONFIRM_TWO_STAGE) {
            const std::string head = "Confirm Upgrade to Ver. ";
            if (startsWith(text, head)) update([&](Record& r) { r.embeddedVersion = text.substr(head.size()); });
        } else if (kind == SUCCESS) {
            message_ = text;
        }
    }

    void text(const std::string& kind, int control, const std::string& text) {
        if (kind == MSGBOX && control == 0) {
            message_ = text;
        } else if (kind == SUCCESS && control == SOFTWARE) {
            update([&](Record& r) { r.newVersion = text; });
        } else if (kind == CONFIRM || kind == CONFIRM_TWO_STAGE) {
            update([&](Record& r) {
                if (control == SERIAL) r.serial = text;
                else if (control == MAC) r.mac = text;
                else if (control == SOFTWARE) r.software = text;
                else if (control == HARDWARE) r.hardware = text;
                else if (control == PRODUCT) r.product = text;
            });
        }
    }

    void shown(const std::string& kind, int w) {
        if (CANCELLABLE.count(kind)) {
            openCancellable_.push_back(w);
            if (cancelWanted()) {
                pressCancel(w);
                return;
            }
        }
        if (kind == WARNING) {
            process_.press(w, 1);
        } else if (kind == ADDRESS || kind == ADDRESS_PHONE) {
            const auto& items = localItems_[w];
            int index = -1;
            for (size_t i = 0; i < items.size(); ++i)
                if (items[i] == local_) index = static_cast<int>(i);
            if (index < 0) {
                failure_ = "the program does not offer the local address " + local_;
                process_.press(w, 2);
                return;
            }
            process_.type(w, ADDRESS_ENTRY, entry_.address);
            process_.select(w, LOCAL_LIST, index);
            process_.press(w, 1);
        } else if (kind == PASSWORD) {
            // The password is tried once: a second dialog means the device
            // refused it, and the fleet never asks again.
            if (++passwordDialogs_ == 1 && entry_.hasPassword) {
                process_.type(w, USER_ENTRY, entry_.user);
                process_.type(w, PASSWORD_ENTRY, entry_.password);
                process_.press(w, 1);
            } else {
                failure_ = entry_.hasPassword ? "the device refused the password"
                                              : "the device asks for a password and the list gives none";
                reason_ = CancelReason::Password;
                process_.press(w, 2);
            }
        } else if (kind == CONFIRM || kind == CONFIRM_TWO_STAGE) {
            identified_ = true;
            bool current = false;
            update([&](Record& r) {
                r.identified = true;
                current = r.current();
            });
            setStage(Stage::Identified);
            if (config_.inventory || (current && !config_.force)) {
                reason_ = config_.inventory ? CancelReason::Inventory : CancelReason::Current;
                process_.press(w, 2);
            } else {
                process_.press(w, 1);
            }
        } else if (kind == SUCCESS) {
            success_ = true;
            process_.press(w, 1);
        } else if (kind == MSGBOX) {
            process_.press(w, 1);
        }
    }

    void conclude() {
        int status;
        if (exited_) {
            status = process_.wait(5000);
        } else if (ended_) {
            status = process_.wait(5000);
            fatal_ = "the program ended without a verdict (" + statusText(status) + ")";
        } else {
            process_.closeInput();
            status = process_.wait(0);  // kills the program's whole process group
            fatal_ += ": stopped";
        }
        (void)status;
        if (!fatal_.empty()) {
            finish(reason_ == CancelReason::Operator && !success_ ? Outcome::Cancelled : Outcome::ProgramFailed,
                   fatal_);
            return;
        }
        Outcome o = outcomeOfMessage(message_, reason_, success_);
        std::string detail = failure_;
        if (o == Outcome::ProgramFailed && detail.empty())
            detail = message_.empty() ? "the program ended without a verdict (exit " + std::to_string(exitCode_) + ")"
                                      : "a message the fleet does not know";
        if (!failure_.empty() && reason_ != CancelReason::Password) o = Outcome::ProgramFailed;
        finish(o, detail);
    }

    void finish(Outcome o, const std::string& detail) {
        std::lock_guard<std::mutex> hold(fleet_.lock);
        Record& r = fleet_.records[index_];
        r.outcome = o;
        r.message = message_;
        r.detail = detail;
        r.ended = true;
        r.endTime = WallClock::now();
        r.stage = Stage::Done;
        r.pid = -1;
        // The program verifies only a complete transfer. Its last count may
        // have been superseded by the restart's title before it was read.
        if (restarting_ && o != Outcome::UploadIncomplete && r.total > 0) r.bytes = r.total;
        fleet_.notes.push_back(Note{r.endTime, true, entry_.address + " " + describe(r)});
    }

    const RunConfig& config_;
    Fleet& fleet_;
    size_t index_;
    DeviceEntry entry_;
    std::string local_;
    ScriptProcess process_;

    std::map<int, std::string> kinds_;                    // window -> template
    std::map<int, std::vector<std::string>> localItems_;  // address dialog -> its local addresses
    std::vector<int> openCancellable_;                    // shown windows that offer Cancel, oldest first
    int cancelledWindow_ = -1;                            // where the operator's Cancel went
    std::optional<Steady::time_point> cancelSince_;
    CancelReason reason_ = CancelReason::None;
    int passwordDialogs_ = 0;
    bool identified_ = false, delivered_ = false, restarting_ = false, success_ = false;
    bool exited_ = false, ended_ = false;
    int exitCode_ = -1;
    std::string message_;  // the last message box text, or the success title
    std::string failure_;  // why the fleet ended the run early by a Cancel of its own
    std::string fatal_;    // why the program was stopped or failed outright
};

}  // namespace

std::string describe(const Record& r) {
    std::string out = outcomeText(r.outcome);
    switch (r.outcome) {
        case Outcome::Upgraded: return out + " from " + r.software + " to " + r.newVersion;
        case Outcome::Current: return out + " (" + r.software + ")";
        case Outcome::Identified: return out + ": " + r.product + " " + r.software + (r.current() ? " (current)" : "");
        default: break;
    }
    if (!r.message.empty()) out += ": " + r.message;
    if (!r.detail.empty()) out += " (" + r.detail + ")";
    return out;
}

void driveDevice(const RunConfig& config, Fleet& fleet, size_t index) { DeviceRun(config, fleet, index).run(); }

}  // namespace fleet
