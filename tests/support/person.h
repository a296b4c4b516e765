// A person at the program's dialogs, over the automation protocol: Continue,
// the device address, the passwords in turn, OK to every question, and
// Cancel in one chosen window.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "driver/protocol_driver.h"

namespace ulxtest {

using Lines = std::vector<std::string>;

// The passwords for successive password dialogs (Cancel when they run out),
// the template of a window to Cancel, the local address to pick (empty:
// item 0), the user name typed (unless it is the prefilled "admin"), and
// which window of that template gets the Cancel (1: the first).
struct Person {
    Lines passwords;
    std::string cancelIn = "", local = "", user = "admin";
    int cancelAt = 1;
};

// Starts the program and walks the warning dialog with Continue (which
// closes it with 1); the address dialog's window once shown, or -1.
inline int toAddressDialog(ScriptProcess& p, const std::string& program, const Lines& args = {},
                           const Lines& env = {}) {
    int w = p.start(program, args, env) ? p.waitOpen("139") : -1;
    if (w < 0 || !p.waitEvent("shown", w) || !p.press(w, 1)) return -1;
    if (p.waitEvent("close", w).value_or(Event{}).result != "1") return -1;
    int a = p.waitOpen("101");
    return a >= 0 && p.waitEvent("shown", a) ? a : -1;
}

// What the person saw.
struct Seen {
    Lines opened, messages;                    // templates in order; message box texts
    std::vector<int> dialogAfter;              // per password dialog, the attempts (connecting windows) before it
    std::map<std::string, std::string> texts;  // "template/control" (or "template/title") -> last text
    int exitCode = -1;
    int count(const std::string& t) const { return static_cast<int>(std::count(opened.begin(), opened.end(), t)); }
};

inline Seen drive(ScriptProcess& ui, const std::string& device, Person person) {
    Seen seen;
    std::map<int, std::string> kinds;
    size_t nextPassword = 0;
    while (auto e = ui.waitFor([](const Event& x) { return !x.kind.empty(); }, 60000)) {
        const int w = e->window;
        const std::string& t = kinds[w];
        if (e->kind == "open") {
            kinds[w] = e->tmpl;
            if (e->tmpl == "104") seen.dialogAfter.push_back(seen.count("105"));
            seen.opened.push_back(e->tmpl);
        } else if (e->kind == "text" || e->kind == "title") {
            seen.texts[t + "/" + (e->kind == "title" ? "title" : std::to_string(e->control))] = e->text;
            if (t == "msgbox" && e->kind == "text") seen.messages.push_back(e->text);
        } else if (e->kind == "exit") {
            seen.exitCode = static_cast<int>(e->nums.at(0));
            break;
        } else if (e->kind != "shown") {
        } else if (t == person.cancelIn && seen.count(t) >= person.cancelAt) {
            ui.press(w, 2);
            person.cancelIn.clear();
        } else if (t == "139" || t == "103" || t == "304" || t == "111" || t == "msgbox") {
            ui.press(w, 1);
        } else if (t == "101" || t == "305") {
            ui.type(w, 1000, device);
            int index = 0;
            for (const Event& x : ui.events())
                if (x.kind == "add" && x.window == w && x.text == person.local) ui.select(w, 1017, index);
                else if (x.kind == "add" && x.window == w) ++index;
            ui.press(w, 1);
        } else if (t == "104") {
            bool typed = nextPassword < person.passwords.size();
            if (typed && person.user != "admin") ui.type(w, 1003, person.user);
            if (typed) ui.type(w, 1005, person.passwords[nextPassword++]);
            ui.press(w, typed ? 1 : 2);
        }
    }
    return seen;
}

}  // namespace ulxtest
