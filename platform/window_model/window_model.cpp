// The window model: records, per-thread delivery of user input, modal
// loops, message boxes, focus and the end of input. Backends observe it.
#include "platform/window_model/window_model.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/clock_internal.h"
#include "platform/posix/thread_end.h"
#include "platform/refused_entry.h"
#include "platform/window_model/backend_hooks.h"

namespace {

constexpr int ID_OK = 1;
constexpr int ID_CANCEL = 2;

struct Control {
    int id;
    DialogControlKind kind;
    uint16_t style;
    std::string text;
    std::vector<std::string> items;
    int selection = -1;
    int low = 0, high = 100, pos = 0;
    bool lost = false;  // an entry's text had a character code page 1252 lacks
};

struct Window {
    int number = 0;
    const DialogTemplate* tmpl = nullptr;  // null for a message box
    std::shared_ptr<ThreadQueue> owner;
    PlatDialogProc proc = nullptr;
    void* context = nullptr;  // handed to every call of proc
    bool messageBox = false;
    bool visible = false;
    bool enabled = true;
    bool alive = true;
    bool ended = false;
    bool eofClosePending = false;
    int result = 0;
    int focus = 0;  // control id with the keyboard focus, 0 none
    PlatRect rect{0, 0, 0, 0};
    std::vector<Control> controls;

    Control* control(int id) {
        for (auto& c : controls)
            if (c.id == id) return &c;
        return nullptr;
    }
};

std::mutex g_lock;  // guards everything below, and the order of the events
std::map<int, std::shared_ptr<Window>> g_windows;
int g_nextNumber = 1;
bool g_endOfInput = false;
bool g_exiting = false;
WindowObserver* g_observer = nullptr;

// Reports one event to the observer; the caller holds g_lock.
template <class Report>
void notify(Report report) {
    if (!g_exiting && g_observer) report(*g_observer);
}

std::shared_ptr<Window> findLocked(int number) {
    auto it = g_windows.find(number);
    return it == g_windows.end() ? nullptr : it->second;
}

std::shared_ptr<Window> find(int number) {
    std::lock_guard<std::mutex> hold(g_lock);
    return findLocked(number);
}

Control* controlLocked(int number, int id) {
    auto w = findLocked(number);
    return w ? w->control(id) : nullptr;
}

std::shared_ptr<Window> createWindow(const DialogTemplate* tmpl, PlatDialogProc proc, void* context,
                                     const char* caption) {
    auto w = std::make_shared<Window>();
    w->tmpl = tmpl;
    w->proc = proc;
    w->context = context;
    w->messageBox = tmpl == nullptr;
    w->owner = currentThreadQueue();
    if (tmpl) {
        for (int i = 0; i < tmpl->controlCount; ++i) {
            const DialogControl& d = tmpl->controls[i];
            w->controls.push_back(Control{d.id, d.kind, d.style, d.text ? d.text : "", {}});
        }
    } else {
        w->controls.push_back(Control{ID_OK, CTL_BUTTON, STY_TABSTOP | STY_DEFAULT, "OK", {}});
        w->controls.push_back(Control{0, CTL_LABEL, 0, "", {}});
        w->focus = ID_OK;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    if (tmpl && g_observer) {
        int width = 0, height = 0;
        g_observer->windowSize(tmpl, &width, &height);
        w->rect = PlatRect{0, 0, width, height};
    }
    w->number = g_nextNumber++;
    w->eofClosePending = g_endOfInput;
    g_windows[w->number] = w;
    notify(
        [&](WindowObserver& o) { o.opened(w->number, tmpl, tmpl ? (tmpl->caption ? tmpl->caption : "") : caption); });
    return w;
}

void setFocusLocked(Window& w, int id, bool always) {
    if (w.focus == id && !always) return;
    w.focus = id;
    notify([&](WindowObserver& o) { o.focusSet(w.number, id); });
}

// The dialog manager's initial focus: the first control with a tab stop.
void focusFirstTabStop(Window& w) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (auto& c : w.controls) {
        if (c.style & STY_TABSTOP) {
            setFocusLocked(w, c.id, true);
            return;
        }
    }
}

void showLocked(Window& w) {
    if (w.visible) return;
    w.visible = true;
    notify([&](WindowObserver& o) { o.shown(w.number); });
}

void errorLocked(int number, const char* reason) {
    notify([&](WindowObserver& o) { o.error(number, reason); });
}

// The command a key gives: Return presses the focused push button, else
// the default button (command 1 when there is none, as dialogs do).
int returnCommand(Window& w) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (Control* f = w.control(w.focus))
        if (f->kind == CTL_BUTTON) return f->id;
    for (auto& c : w.controls)
        if (c.kind == CTL_BUTTON && (c.style & STY_DEFAULT)) return c.id;
    return ID_OK;
}

void deliverCommand(Window& w, int command) {
    if (w.messageBox) {
        // A message box with one OK button: OK, Return, Escape and the
        // close box all end it with OK.
        std::lock_guard<std::mutex> hold(g_lock);
        w.ended = true;
        w.result = ID_OK;
        (void)command;
        return;
    }
    if (w.proc) w.proc(w.number, DLG_COMMAND, command, w.context);
}

// OK in a dialog whose entry holds a character the code page lacks: the
// entry is refused with a message owned by the dialog, and the focus goes
// back to it, so the user types it again; the dialog stays open. True when
// refused.
bool refuseLostEntry(Window& w) {
    int refused = 0;
    bool password = false;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (w.messageBox) return false;
        for (const Control& c : w.controls) {
            if (c.kind == CTL_ENTRY_FIELD && c.lost) {
                refused = c.id;
                password = (c.style & STY_PASSWORD) != 0;
                break;
            }
        }
    }
    if (refused == 0) return false;
    platMessageBox(w.number, password ? REFUSED_PASSWORD_TEXT : REFUSED_ENTRY_TEXT, REFUSED_CAPTION);
    platSetFocus(w.number, refused);
    return true;
}

// Carries out one queued message on the owner thread.
void handle(const QueuedMessage& m) {
    auto w = find(m.window);
    int command = -1;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (!w || !w->alive) return errorLocked(m.window, "window is closed");
        if (!w->enabled) return errorLocked(m.window, "window is disabled");
        Control* c = w->control(m.control);
        switch (m.kind) {
            case QM_PRESS:
                setFocusLocked(*w, m.control, false);  // a click moves the focus to the button
                command = m.control;
                break;
            case QM_TYPE:
                if (c) c->text = m.text, c->lost = m.lost;
                setFocusLocked(*w, m.control, false);
                break;
            case QM_SELECT:
                if (!c || m.number < 0 || m.number >= static_cast<int>(c->items.size()))
                    return errorLocked(m.window, "no such item");
                c->selection = m.number;
                setFocusLocked(*w, m.control, false);
                break;
            case QM_FOCUS:
                if (c) setFocusLocked(*w, m.control, false);
                break;
            case QM_RETURN:
            case QM_ESCAPE:
            case QM_CLOSE: break;
        }
    }
    if (m.kind == QM_RETURN) command = returnCommand(*w);
    if (m.kind == QM_ESCAPE || m.kind == QM_CLOSE) command = ID_CANCEL;
    if (command == ID_OK && refuseLostEntry(*w)) return;
    if (command >= 0) deliverCommand(*w, command);
}

// Handles one message for the calling thread's windows (only window
// `filter` and its controls when filter is not 0): a queued one, or, once
// the input has ended, the close box of a window that has not had it.
bool dispatchOne(ThreadQueue* q, int filter) {
    QueuedMessage m;
    if (queueTake(
            q, [filter](const QueuedMessage& x) { return filter == 0 || x.window == filter; }, &m)) {
        handle(m);
        return true;
    }
    std::shared_ptr<Window> closing;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (!g_endOfInput) return false;
        for (auto& [number, w] : g_windows) {
            if (w->owner.get() != q || (filter != 0 && number != filter)) continue;
            if (w->alive && w->visible && w->enabled && w->eofClosePending) {
                w->eofClosePending = false;
                closing = w;
                break;
            }
        }
    }
    if (!closing) return false;
    deliverCommand(*closing, ID_CANCEL);
    return true;
}

bool endedLocked(Window& w) {
    std::lock_guard<std::mutex> hold(g_lock);
    return w.ended;
}

// The loop of a modal dialog or message box: handles the thread's
// messages, waiting for them, until w has ended.
void modalLoop(Window& w) {
    ThreadQueue* q = w.owner.get();
    for (;;) {
        if (endedLocked(w)) return;
        if (dispatchOne(q, 0)) continue;
        queueClearWake(q);
        if (dispatchOne(q, 0)) continue;
        if (endedLocked(w)) return;
        queueWait(q, -1);
    }
}

}  // namespace

// ---------------------------------------------------------------- input

void windowModelStart(WindowObserver* observer) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_observer = observer;
}

void windowModelError(int number, const char* reason) {
    std::lock_guard<std::mutex> hold(g_lock);
    errorLocked(number, reason);
}

void windowModelInput(QueuedMessage m) {
    std::shared_ptr<ThreadQueue> owner;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        auto w = findLocked(m.window);
        const char* reason = nullptr;
        if (!w) reason = "no such window";
        else if (!w->alive) reason = "window is closed";
        else if (!w->enabled) reason = "window is disabled";
        else if (m.kind == QM_PRESS || m.kind == QM_TYPE || m.kind == QM_SELECT || m.kind == QM_FOCUS) {
            Control* c = w->control(m.control);
            if (!c || (w->messageBox && m.control == 0)) reason = "no such control";
            else if (m.kind == QM_PRESS && c->kind != CTL_BUTTON) reason = "control is not a button";
            else if (m.kind == QM_TYPE && c->kind != CTL_ENTRY_FIELD && c->kind != CTL_IP_ADDRESS)
                reason = "control is not an entry";
            else if (m.kind == QM_SELECT && c->kind != CTL_COMBO) reason = "control is not a list";
        }
        if (reason) return errorLocked(m.window, reason);
        owner = w->owner;
    }
    queuePost(owner.get(), std::move(m));
}

void windowModelEndOfInput() {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_endOfInput = true;
        for (auto& [number, w] : g_windows)
            if (w->alive) w->eofClosePending = true;
    }
    queueWakeAll();
}

void backendBeforeExit(int code) {
    g_lock.lock();  // held until the process ends: nothing is reported after "exit"
    notify([&](WindowObserver& o) { o.exiting(code); });
    g_exiting = true;
}

// ---------------------------------------------------------------- platform

void platInitCommonControls() {}

int platDialogBox(const DialogTemplate* tmpl, PlatDialogProc proc, void* context) {
    if (!tmpl || !proc) return -1;
    auto w = createWindow(tmpl, proc, context, nullptr);
    if (proc(w->number, DLG_INIT, 0, context)) focusFirstTabStop(*w);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        showLocked(*w);
    }
    modalLoop(*w);
    std::lock_guard<std::mutex> hold(g_lock);
    w->alive = false;
    notify([&](WindowObserver& o) { o.closed(w->number, false, w->result); });
    return w->result;
}

PlatWindow platCreateDialog(const DialogTemplate* tmpl, PlatDialogProc proc, void* context) {
    if (!tmpl || !proc) return 0;
    auto w = createWindow(tmpl, proc, context, nullptr);
    if (proc(w->number, DLG_INIT, 0, context)) focusFirstTabStop(*w);
    return w->number;
}

void platShowWindow(PlatWindow number) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (auto w = findLocked(number)) showLocked(*w);
}

void platDestroyWindow(PlatWindow number) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    if (!w || !w->alive) return;
    w->alive = false;
    notify([&](WindowObserver& o) { o.closed(number, true, 0); });
}

void platEndDialog(PlatWindow number, int result) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (auto w = findLocked(number)) {
        w->ended = true;
        w->result = result;
    }
}

bool platPeekAndDispatch(PlatWindow w) {
    ThreadQueue* q = currentThreadQueueIfAny();
    return q && dispatchOne(q, w);
}

namespace {
// Forgets earlier wake-ups of q, then tells whether something already
// waits: a queued message for a window still open, or a close box the end
// of input left pending. Anything posted after this wakes the wait that
// follows. A message left behind for a window closed meanwhile does not
// end waits again and again.
bool messagePending(ThreadQueue* q) {
    queueClearWake(q);
    std::vector<int> held;
    queueHolds(q, [&held](const QueuedMessage& m) {
        held.push_back(m.window);
        return false;
    });
    std::lock_guard<std::mutex> hold(g_lock);
    for (int number : held)
        if (auto w = findLocked(number); w && w->alive) return true;
    if (!g_endOfInput) return false;
    for (auto& [number, w] : g_windows)
        if (w->owner.get() == q && w->alive && w->visible && w->enabled && w->eofClosePending) return true;
    return false;
}

long waitNanos(uint32_t ms) { return ms == PLAT_WAIT_FOREVER ? -1 : platWaitNanos(ms); }
}  // namespace

void platWaitMessage(uint32_t ms) {
    ThreadQueue* q = currentThreadQueueIfAny();
    if (q && messagePending(q)) return;
    queueWaitOrFd(q, -1, waitNanos(ms));
}

bool platWaitThreadOrMessage(PlatThreadHandle thread, uint32_t ms) {
    int fd = threadEndFd(thread);
    ThreadQueue* q = currentThreadQueueIfAny();
    if (!q || !messagePending(q)) queueWaitOrFd(q, fd, waitNanos(ms));
    return platThreadEnded(thread, nullptr);
}

// The same look at the queue first (its wake-up cleared, then what it
// holds): a message queued after the caller's last look, whose wake-up
// would otherwise be cleared unseen, ends the wait at once.
bool platWaitSocketOrMessage(PlatSocket s, uint32_t ms) {
    ThreadQueue* q = currentThreadQueueIfAny();
    if (q && messagePending(q)) return false;
    return queueWaitOrFd(q, static_cast<int>(s), waitNanos(ms));
}

void platSetWindowText(PlatWindow number, const char* text) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (findLocked(number)) notify([&](WindowObserver& o) { o.titleSet(number, text); });
}

void platSetItemText(PlatWindow number, int id, const char* text) {
    std::lock_guard<std::mutex> hold(g_lock);
    Control* c = controlLocked(number, id);
    if (!c) return;
    c->text = text;
    notify([&](WindowObserver& o) { o.textSet(number, id, text); });
}

int platGetItemText(PlatWindow number, int id, char* buf, int cap) {
    if (cap <= 0) return 0;
    std::lock_guard<std::mutex> hold(g_lock);
    Control* c = controlLocked(number, id);
    size_t n = c ? c->text.size() : 0;
    if (n > static_cast<size_t>(cap - 1)) n = static_cast<size_t>(cap - 1);
    if (n) memcpy(buf, c->text.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

void platProgressSetRange(PlatWindow number, int id, int low, int high) {
    std::lock_guard<std::mutex> hold(g_lock);
    Control* c = controlLocked(number, id);
    if (!c) return;
    c->low = low;
    c->high = high;
    notify([&](WindowObserver& o) { o.rangeSet(number, id, low, high); });
}

void platProgressSetPos(PlatWindow number, int id, int pos) {
    std::lock_guard<std::mutex> hold(g_lock);
    Control* c = controlLocked(number, id);
    if (!c || c->pos == pos) return;  // an unchanged position is not news
    c->pos = pos;
    notify([&](WindowObserver& o) { o.positionSet(number, id, pos); });
}

void platComboAddString(PlatWindow number, int id, const char* text) {
    std::lock_guard<std::mutex> hold(g_lock);
    Control* c = controlLocked(number, id);
    if (!c) return;
    c->items.push_back(text);
    notify([&](WindowObserver& o) { o.itemAdded(number, id, text); });
}

void platComboSetSel(PlatWindow number, int id, int index) {
    std::lock_guard<std::mutex> hold(g_lock);
    Control* c = controlLocked(number, id);
    if (!c) return;
    c->selection = (index >= 0 && index < static_cast<int>(c->items.size())) ? index : -1;
    notify([&](WindowObserver& o) { o.selectionSet(number, id, c->selection); });
}

int platComboGetSel(PlatWindow number, int id) {
    std::lock_guard<std::mutex> hold(g_lock);
    Control* c = controlLocked(number, id);
    return c ? c->selection : -1;
}

void platSetFocus(PlatWindow number, int id) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    if (w && w->control(id)) setFocusLocked(*w, id, true);
}

int platMessageBox(PlatWindow owner, const char* text, const char* caption) {
    auto box = createWindow(nullptr, nullptr, nullptr, caption ? caption : "");
    std::vector<std::shared_ptr<Window>> disabled;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        box->controls[1].text = text;
        notify([&](WindowObserver& o) { o.textSet(box->number, 0, text); });
        // Owned: the owner is disabled. Task-modal: every window of this thread.
        for (auto& [number, w] : g_windows) {
            if (w == box || !w->alive || !w->enabled) continue;
            bool affected = owner ? number == owner : w->owner == box->owner;
            if (!affected) continue;
            w->enabled = false;
            disabled.push_back(w);
            const int disabledNumber = number;  // clang 14 cannot capture a structured binding
            notify([&](WindowObserver& o) { o.enabled(disabledNumber, false); });
        }
        showLocked(*box);
    }
    modalLoop(*box);
    std::lock_guard<std::mutex> hold(g_lock);
    box->alive = false;
    notify([&](WindowObserver& o) { o.closed(box->number, false, box->result); });
    for (auto& w : disabled) {
        if (!w->alive) continue;
        w->enabled = true;
        notify([&](WindowObserver& o) { o.enabled(w->number, true); });
    }
    return box->result;
}

bool platGetWindowRect(PlatWindow number, PlatRect* rect) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    if (!w) return false;
    *rect = w->rect;
    return true;
}

void platGetScreenSize(int* width, int* height) {
    std::lock_guard<std::mutex> hold(g_lock);
    *width = *height = 0;
    if (g_observer) g_observer->screenSize(width, height);
}

void platMoveWindowTop(PlatWindow number, int x, int y) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    if (!w) return;
    int width = w->rect.right - w->rect.left;
    int height = w->rect.bottom - w->rect.top;
    w->rect = PlatRect{x, y, x + width, y + height};
    notify([&](WindowObserver& o) { o.placed(number, w->rect); });
}
