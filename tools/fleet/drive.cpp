// One device's run: its own program, whose dialogs the person of the
// protocol client answers, watched for silence, time and the operator's
// Ctrl-C.
#include "fleet/fleet.h"

#include <algorithm>
#include <climits>
#include <optional>

namespace fleet {

namespace {

using Steady = std::chrono::steady_clock;
using ulxproto::CancelCause;
using ulxproto::Event;

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
        local_ = ulxtools::formatDottedQuad(fleet_.records[index].local);
    }

    void run() {
        update([](Record& r) {
            r.started = true;
            r.startTime = WallClock::now();
            r.stage = Stage::Running;
        });
        note(ulxproto::phaseText(ulxproto::Phase::Starting));
        process_.setKeepHistory(false);
        process_.setStderrPath("/dev/null");
        if (!process_.start(config_.program)) {
            finish(Outcome::ProgramFailed, "cannot start " + config_.program + ": " + process_.lastError());
            return;
        }
        update([&](Record& r) {
            r.pid = process_.pid();
            r.process = &process_;
        });
        ulxproto::Answers answers;
        answers.device = entry_.address;
        answers.local = local_;
        answers.user = entry_.user;
        // The password is tried once: a second dialog means the device
        // refused it, and the fleet never asks again.
        if (entry_.hasPassword) answers.passwords = {entry_.password};
        answers.upgrade = [this](const ulxproto::Seen& seen) {
            return !config_.inventory && !(seen.device.current() && !config_.force);
        };
        person_.emplace(process_, answers);
        loop();
        conclude();
    }

private:
    template <typename F>
    void update(F change) {
        std::lock_guard<std::mutex> hold(fleet_.lock);
        change(fleet_.records[index_]);
    }

    void note(const std::string& text) {
        {
            std::lock_guard<std::mutex> hold(fleet_.lock);
            fleet_.notes.push_back(Note{WallClock::now(), false, entry_.address + " " + text});
        }
        wakeMainLoop(fleet_);
    }

    // What the person saw, into the record; a new phase into the log.
    void publish() {
        const ulxproto::Seen& s = person_->seen();
        bool moved = false;
        update([&](Record& r) {
            moved = r.phase != s.phase;
            r.phase = s.phase;
            r.identified = s.identified;
            r.device = s.device;
            r.newVersion = s.newVersion;
            r.bytes = s.bytes;
            r.total = s.total;
            r.waitPos = s.waitPos;
            r.waitRange = s.waitRange;
            r.restarting = s.restarting;
        });
        if (moved) note(ulxproto::phaseText(s.phase));
    }

    // Ctrl-C once: every run whose last image is not yet delivered; twice:
    // every run.
    bool cancelWanted() const {
        const ulxproto::Seen& s = person_->seen();
        int level = fleet_.cancelLevel.load();
        return level >= 2 || (level == 1 && !s.delivered && !s.restarting);
    }

    // How long the loop may sleep without an event: until the program's
    // silence, the run's time or a cancel's grace would run out (a
    // millisecond past it, so that the check after the wait sees it out).
    int sleepMs(Steady::time_point begin, Steady::time_point lastWord) const {
        auto until = std::min(lastWord + std::chrono::milliseconds(config_.silenceMs),
                              begin + std::chrono::milliseconds(config_.timeoutMs));
        if (cancelSince_) until = std::min(until, *cancelSince_ + std::chrono::milliseconds(config_.cancelMs));
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Steady::now()).count() + 1;
        return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }

    // Sleeps until the program writes, a limit runs out, or the main thread
    // interrupts the wait (a Ctrl-C); never wakes just to look.
    void loop() {
        const auto begin = Steady::now();
        auto lastWord = begin;
        while (!person_->seen().exited && fatal_.empty()) {
            auto e = process_.waitFor([](const Event&) { return true; }, sleepMs(begin, lastWord));
            if (e) {
                lastWord = Steady::now();
                if (e->kind.empty()) {
                    std::string raw = e->raw.size() > 120 ? e->raw.substr(0, 120) + "..." : e->raw;
                    fatal_ = "the program wrote a line that is no event: " + raw;
                    break;
                }
                person_->take(*e);
                publish();
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
            if (cancelWanted()) {
                if (!cancelSince_) cancelSince_ = Steady::now();
                person_->cancel();
            }
        }
    }

    CancelReason reason() const {
        switch (person_->seen().cancelled) {
            case CancelCause::Requested: return CancelReason::Operator;
            case CancelCause::Passwords: return entry_.hasPassword ? CancelReason::Password : CancelReason::NoPassword;
            case CancelCause::LocalMissing: return CancelReason::LocalMissing;
            case CancelCause::Declined: return config_.inventory ? CancelReason::Inventory : CancelReason::Current;
            case CancelCause::Chosen:
            case CancelCause::None: break;
        }
        return CancelReason::None;
    }

    void conclude() {
        const ulxproto::Seen& s = person_->seen();
        int status;
        if (s.exited) {
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
        const CancelReason why = reason();
        if (!fatal_.empty()) {
            finish(why == CancelReason::Operator && !s.success ? Outcome::Cancelled : Outcome::ProgramFailed, fatal_);
            return;
        }
        Outcome o = outcomeOfMessage(s.message, why, s.success);
        std::string detail;
        if (why == CancelReason::Password) detail = "the device refused the password";
        else if (why == CancelReason::NoPassword) detail = "the device asks for a password and none was given";
        else if (why == CancelReason::LocalMissing) detail = "the program does not offer the local address " + local_;
        else if (o == Outcome::ProgramFailed && s.message.empty())
            detail = "the program ended without a verdict (exit " + std::to_string(s.exitCode) + ")";
        else if (o == Outcome::UpgradeFailed) detail = "a message the fleet does not name";
        finish(o, detail);
    }

    void finish(Outcome o, const std::string& detail) {
        std::lock_guard<std::mutex> hold(fleet_.lock);
        Record& r = fleet_.records[index_];
        r.outcome = o;
        r.message = person_ ? person_->seen().message : "";
        r.detail = detail;
        r.ended = true;
        r.endTime = WallClock::now();
        r.stage = Stage::Done;
        r.pid = -1;
        r.process = nullptr;
        // The program verifies only a complete transfer. Its last count may
        // have been superseded by the restart's title before it was read.
        if (r.restarting && o != Outcome::UploadIncomplete && r.total > 0) r.bytes = r.total;
        fleet_.notes.push_back(Note{r.endTime, true, entry_.address + " " + describe(r)});
        wakeMainLoop(fleet_);
    }

    const RunConfig& config_;
    Fleet& fleet_;
    size_t index_;
    DeviceEntry entry_;
    std::string local_;
    ulxproto::ScriptProcess process_;
    std::optional<ulxproto::Person> person_;
    std::optional<Steady::time_point> cancelSince_;
    bool ended_ = false;
    std::string fatal_;  // why the program was stopped or failed outright
};

}  // namespace

const char* stageText(const Record& r) {
    switch (r.stage) {
        case Stage::Queued: return "queued";
        case Stage::Done: return "done";
        case Stage::Running: break;
    }
    return ulxproto::phaseText(r.phase);
}

std::string describe(const Record& r) {
    std::string out = outcomeText(r.outcome);
    switch (r.outcome) {
        case Outcome::Upgraded: return out + " from " + r.device.software + " to " + r.newVersion;
        case Outcome::Current: return out + " (" + r.device.software + ")";
        case Outcome::Identified:
            return out + ": " + r.device.product + " " + r.device.software + (r.current() ? " (current)" : "");
        default: break;
    }
    if (!r.message.empty()) out += ": " + r.message;
    if (!r.detail.empty()) out += " (" + r.detail + ")";
    return out;
}

void driveDevice(const RunConfig& config, Fleet& fleet, size_t index) { DeviceRun(config, fleet, index).run(); }

}  // namespace fleet
