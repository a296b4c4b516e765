#include "protocol_client/person.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "ui/ui.h"

namespace ulxproto {

const char MSGBOX[] = "msgbox";

std::string templateName(int templateId) { return std::to_string(templateId); }

namespace {

std::string name(int templateId) { return templateName(templateId); }

bool isAddress(const std::string& k) { return k == name(IDD_ADDRESS) || k == name(IDD_ADDRESS_PHONE); }
bool isConfirm(const std::string& k) { return k == name(IDD_CONFIRM) || k == name(IDD_CONFIRM_TWO_STAGE); }

// The windows whose Cancel (IDC_CANCEL) ends the run.
bool offersCancel(const std::string& k) {
    for (int id : {IDD_WARNING, IDD_ADDRESS, IDD_ADDRESS_PHONE, IDD_CONFIRM, IDD_CONFIRM_TWO_STAGE, IDD_PASSWORD,
                   IDD_CONNECTING, IDD_UPLOADING, IDD_WAITING})
        if (k == name(id)) return true;
    return false;
}

bool startsWith(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

// Titles the program gives its windows.
const char CONFIRM_TITLE[] = "Confirm Upgrade to Ver. ";
const char UPDATING_TITLE[] = "Updating ";
const char LAST_STAGE[] = "Target";  // the stage word of the last (or only) image

}  // namespace

const char* phaseText(Phase phase) {
    switch (phase) {
        case Phase::Starting: return "starting";
        case Phase::Connecting: return "connecting";
        case Phase::Identified: return "identified";
        case Phase::Waiting: return "waiting for the download";
        case Phase::Uploading: return "uploading";
        case Phase::Restarting: return "restarting";
        case Phase::Verifying: return "verifying";
    }
    return "";
}

int Seen::count(const std::string& t) const { return static_cast<int>(std::count(opened.begin(), opened.end(), t)); }

void Person::say(const std::string& what) {
    if (answers_.narrate) answers_.narrate(what);
}

void Person::pressCancel(int w, CancelCause cause) {
    program_.press(w, IDC_CANCEL);
    cancelledWindow_ = w;
    if (seen_.cancelled == CancelCause::None) seen_.cancelled = cause;
    say("Cancel");
}

void Person::cancel() {
    cancelWanted_ = true;
    if (cancelledWindow_ < 0 && !openCancellable_.empty()) pressCancel(openCancellable_.back(), CancelCause::Requested);
}

void Person::take(const Event& e) {
    const int w = e.window;
    if (e.kind == "exit") {
        seen_.exited = true;
        seen_.exitCode = e.nums.empty() ? -1 : static_cast<int>(e.nums[0]);
        return;
    }
    if (e.kind == "open") {
        kinds_[w] = e.tmpl;
        if (e.tmpl == name(IDD_PASSWORD)) seen_.dialogAfter.push_back(seen_.count(name(IDD_CONNECTING)));
        seen_.opened.push_back(e.tmpl);
        if (e.tmpl == name(IDD_CONNECTING)) {
            if (seen_.phase == Phase::Restarting || seen_.delivered) seen_.phase = Phase::Verifying;
            else if (!seen_.identified) seen_.phase = Phase::Connecting;
        } else if (e.tmpl == name(IDD_WAITING)) {
            seen_.phase = Phase::Waiting;
        } else if (e.tmpl == name(IDD_UPLOADING)) {
            seen_.phase = Phase::Uploading;
        }
        return;
    }
    const std::string& kind = kinds_[w];
    if (e.kind == "title") {
        seen_.texts[kind + "/title"] = e.text;
        title(kind, e.text);
    } else if (e.kind == "text") {
        seen_.texts[kind + "/" + std::to_string(e.control)] = e.text;
        if (kind == MSGBOX && e.control == 0) {
            seen_.messages.push_back(e.text);
            seen_.message = e.text;
        } else if (kind == name(IDD_SUCCESS) && e.control == IDC_SOFTWARE) {
            seen_.newVersion = e.text;
        } else if (isConfirm(kind)) {
            DeviceReport& d = seen_.device;
            if (e.control == IDC_SERIAL) d.serial = e.text;
            else if (e.control == IDC_MAC) d.mac = e.text;
            else if (e.control == IDC_SOFTWARE) d.software = e.text;
            else if (e.control == IDC_HARDWARE) d.hardware = e.text;
            else if (e.control == IDC_PRODUCT) d.product = e.text;
        }
    } else if (e.kind == "add" && e.control == IDC_LOCAL_LIST) {
        localItems_[w].push_back(e.text);
    } else if ((e.kind == "range" || e.kind == "pos") && kind == name(IDD_UPLOADING) && !e.nums.empty()) {
        if (e.kind == "range" && e.nums.size() == 2) seen_.waitRange = e.nums[1];
        else if (e.kind == "pos") seen_.waitPos = e.nums[0];
    } else if (e.kind == "close") {
        std::erase(openCancellable_, w);
    } else if (e.kind == "error") {
        // A Cancel reached a window that had just closed: the next one gets it.
        if (w == cancelledWindow_) {
            cancelledWindow_ = -1;
            if (cancelWanted_ && !openCancellable_.empty())
                pressCancel(openCancellable_.back(), CancelCause::Requested);
        }
    } else if (e.kind == "shown") {
        shown(kind, w);
    }
}

void Person::title(const std::string& kind, const std::string& text) {
    if (kind == name(IDD_UPLOADING)) {
        char stage[16] = "";
        long acked = 0, total = 0;
        if (sscanf(text.c_str(), "Uploading %15s Firmware to ULX@%*s %ld/%ld Bytes", stage, &acked, &total) == 3) {
            seen_.bytes = acked;
            seen_.total = total;
            if (total > 0 && acked == total && std::string(stage) == LAST_STAGE) seen_.delivered = true;
        } else if (startsWith(text, UPDATING_TITLE)) {
            seen_.phase = Phase::Restarting;
            if (startsWith(text.substr(sizeof UPDATING_TITLE - 1), LAST_STAGE)) seen_.restarting = true;
        }
    } else if (isConfirm(kind)) {
        if (startsWith(text, CONFIRM_TITLE)) seen_.device.embeddedVersion = text.substr(sizeof CONFIRM_TITLE - 1);
    } else if (kind == name(IDD_SUCCESS)) {
        seen_.message = text;
    }
}

void Person::shown(const std::string& kind, int w) {
    if (offersCancel(kind)) {
        openCancellable_.push_back(w);
        if (cancelWanted_) {
            pressCancel(w, CancelCause::Requested);
            return;
        }
        if (!answers_.cancelIn.empty() && kind == answers_.cancelIn && seen_.count(kind) >= answers_.cancelAt) {
            answers_.cancelIn.clear();
            pressCancel(w, CancelCause::Chosen);
            return;
        }
    }
    if (kind == name(IDD_WARNING)) {
        say("Continue");
        program_.press(w, IDC_OK);
    } else if (isAddress(kind)) {
        const Lines& items = localItems_[w];
        int index = -1;
        for (size_t i = 0; i < items.size() && index < 0; ++i)
            if (items[i] == answers_.local) index = static_cast<int>(i);
        if (!answers_.local.empty() && index < 0) {
            pressCancel(w, CancelCause::LocalMissing);
            return;
        }
        say("device address " + answers_.device + ", local address " +
            (index >= 0      ? answers_.local
             : items.empty() ? std::string("(none)")
                             : items[0]) +
            ", OK");
        program_.type(w, IDC_ADDRESS, answers_.device);
        if (index >= 0) program_.select(w, IDC_LOCAL_LIST, index);
        program_.press(w, IDC_OK);
    } else if (kind == name(IDD_PASSWORD)) {
        ++seen_.passwordDialogs;
        if (nextPassword_ >= answers_.passwords.size()) {
            pressCancel(w, CancelCause::Passwords);
            return;
        }
        say("user " + answers_.user + ", password " + answers_.passwords[nextPassword_] + ", OK");
        if (answers_.user != "admin") program_.type(w, IDC_USER, answers_.user);
        program_.type(w, IDC_PASSWORD, answers_.passwords[nextPassword_++]);
        program_.press(w, IDC_OK);
    } else if (isConfirm(kind)) {
        seen_.identified = true;
        seen_.phase = Phase::Identified;
        if (answers_.upgrade && !answers_.upgrade(seen_)) {
            pressCancel(w, CancelCause::Declined);
            return;
        }
        say("Upgrade");
        program_.press(w, IDC_OK);
    } else if (kind == name(IDD_SUCCESS) || kind == MSGBOX) {
        if (kind != MSGBOX) seen_.success = true;
        say("OK");
        program_.press(w, IDC_OK);
    }
}

Seen walk(ScriptProcess& program, Answers answers, int silenceMs) {
    Person person(program, std::move(answers));
    while (auto e = program.waitFor([](const Event& x) { return !x.kind.empty(); }, silenceMs)) {
        person.take(*e);
        if (person.seen().exited) break;
    }
    return person.seen();
}

int toAddressDialog(ScriptProcess& p, const std::string& program, const Lines& args, const Lines& env) {
    int w = p.start(program, args, env) ? p.waitOpen(name(IDD_WARNING)) : -1;
    if (w < 0 || !p.waitEvent("shown", w) || !p.press(w, IDC_OK)) return -1;
    if (p.waitEvent("close", w).value_or(Event{}).result != "1") return -1;
    int a = p.waitOpen(name(IDD_ADDRESS));
    return a >= 0 && p.waitEvent("shown", a) ? a : -1;
}

}  // namespace ulxproto
