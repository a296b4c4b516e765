// The automation backend of ulx-upgrade-script.
//
// Each window is a record with its controls' state. Everything the program
// does to a window is written as one event line; every command line from
// the driver becomes a message in the queue of the thread that owns the
// window, and runs the window's dialog procedure when that thread takes
// its messages (platPeekAndDispatch, or the loop of a modal dialog or
// message box), as a Windows message would.
#include "platform/headless/headless.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/backend_hooks.h"
#include "platform/posix/thread_queue.h"

namespace {

// The virtual screen and the font's base units (dialog units to pixels:
// x * 6 / 4, y * 13 / 8).
constexpr int SCREEN_WIDTH = 1024;
constexpr int SCREEN_HEIGHT = 768;
constexpr int BASE_UNIT_X = 6;
constexpr int BASE_UNIT_Y = 13;
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
};

struct Window {
    int number = 0;
    const DialogTemplate* tmpl = nullptr;  // null for a message box
    std::shared_ptr<ThreadQueue> owner;
    PlatDialogProc proc = nullptr;
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

std::mutex g_lock;  // guards everything below, and the output
std::map<int, std::shared_ptr<Window>> g_windows;
int g_nextNumber = 1;
bool g_endOfInput = false;
bool g_exiting = false;
HeadlessSink g_sink = nullptr;
void* g_sinkContext = nullptr;

// ---------------------------------------------------------------- output

std::string jsonString(const char* s) {
    std::string out = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        switch (*p) {
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            default:
                if (*p < 0x20) {
                    char hex[8];
                    snprintf(hex, sizeof hex, "\\u%04x", *p);
                    out += hex;
                } else {
                    out += static_cast<char>(*p);
                }
        }
    }
    out += '"';
    return out;
}

// Writes one event line; the caller holds g_lock.
void emitLocked(const std::string& line) {
    if (g_exiting) return;
    if (g_sink) {
        g_sink(line.c_str(), g_sinkContext);
    } else {
        fwrite(line.data(), 1, line.size(), stdout);
        fputc('\n', stdout);
        fflush(stdout);
    }
}

__attribute__((format(printf, 1, 2))) std::string format(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    return std::string(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

std::shared_ptr<Window> findLocked(int number) {
    auto it = g_windows.find(number);
    return it == g_windows.end() ? nullptr : it->second;
}

std::shared_ptr<Window> find(int number) {
    std::lock_guard<std::mutex> hold(g_lock);
    return findLocked(number);
}

// ---------------------------------------------------------------- windows

int toPixelsX(int dlu) { return dlu * BASE_UNIT_X / 4; }
int toPixelsY(int dlu) { return dlu * BASE_UNIT_Y / 8; }

std::shared_ptr<Window> createWindow(const DialogTemplate* tmpl, PlatDialogProc proc, bool messageBox,
                                     const char* caption) {
    auto w = std::make_shared<Window>();
    w->tmpl = tmpl;
    w->proc = proc;
    w->messageBox = messageBox;
    w->owner = currentThreadQueue();
    if (tmpl) {
        w->rect = PlatRect{0, 0, toPixelsX(tmpl->cx), toPixelsY(tmpl->cy)};
        for (int i = 0; i < tmpl->controlCount; ++i) {
            const DialogControl& d = tmpl->controls[i];
            Control c;
            c.id = d.id;
            c.kind = d.kind;
            c.style = d.style;
            c.text = d.text ? d.text : "";
            w->controls.push_back(std::move(c));
        }
    } else {
        Control ok;
        ok.id = ID_OK;
        ok.kind = CTL_BUTTON;
        ok.style = STY_TABSTOP | STY_DEFAULT;
        ok.text = "OK";
        w->controls.push_back(ok);
        Control text;
        text.id = 0;
        text.kind = CTL_LABEL;
        text.style = 0;
        w->controls.push_back(text);
        w->focus = ID_OK;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    w->number = g_nextNumber++;
    w->eofClosePending = g_endOfInput;
    g_windows[w->number] = w;
    if (messageBox)
        emitLocked(format("open %d msgbox ", w->number) + jsonString(caption));
    else
        emitLocked(format("open %d %d ", w->number, tmpl->id) + jsonString(tmpl->caption ? tmpl->caption : ""));
    return w;
}

void setFocusLocked(Window& w, int id, bool always) {
    if (w.focus == id && !always) return;
    w.focus = id;
    emitLocked(format("focus %d %d", w.number, id));
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
    emitLocked(format("shown %d", w.number));
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
    if (w.proc) w.proc(w.number, DLG_COMMAND, command);
}

// Carries out one queued message on the owner thread.
void handle(const QueuedMessage& m) {
    auto w = find(m.window);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (!w || !w->alive) {
            emitLocked(format("error %d ", m.window) + jsonString("window is closed"));
            return;
        }
        if (!w->enabled) {
            emitLocked(format("error %d ", m.window) + jsonString("window is disabled"));
            return;
        }
    }
    int command = -1;
    switch (m.kind) {
        case QM_PRESS: {
            std::lock_guard<std::mutex> hold(g_lock);
            setFocusLocked(*w, m.control, false);  // a click moves the focus to the button
            command = m.control;
            break;
        }
        case QM_TYPE: {
            std::lock_guard<std::mutex> hold(g_lock);
            if (Control* c = w->control(m.control)) c->text = m.text;
            setFocusLocked(*w, m.control, false);
            break;
        }
        case QM_SELECT: {
            std::lock_guard<std::mutex> hold(g_lock);
            Control* c = w->control(m.control);
            if (!c || m.number < 0 || m.number >= static_cast<int>(c->items.size())) {
                emitLocked(format("error %d ", m.window) + jsonString("no such item"));
                return;
            }
            c->selection = m.number;
            setFocusLocked(*w, m.control, false);
            break;
        }
        case QM_RETURN: command = returnCommand(*w); break;
        case QM_ESCAPE:
        case QM_CLOSE: command = ID_CANCEL; break;
    }
    if (command >= 0) deliverCommand(*w, command);
}

// Handles one message for the calling thread's windows (only window
// `filter` and its controls when filter is not 0): a queued one, or, once
// the input has ended, the close box of a window that has not had it.
bool dispatchOne(ThreadQueue* q, int filter) {
    QueuedMessage m;
    if (queueTake(q, [filter](const QueuedMessage& x) { return filter == 0 || x.window == filter; }, &m)) {
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

// The loop of a modal dialog or message box: handles the thread's
// messages, waiting for them, until w has ended.
void modalLoop(Window& w) {
    ThreadQueue* q = w.owner.get();
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(g_lock);
            if (w.ended) return;
        }
        if (dispatchOne(q, 0)) continue;
        queueClearWake(q);
        if (dispatchOne(q, 0)) continue;
        {
            std::lock_guard<std::mutex> hold(g_lock);
            if (w.ended) return;
        }
        queueWait(q, -1);
    }
}

// ---------------------------------------------------------------- input

bool parseInt(const char*& p, int* out) {
    while (*p == ' ' || *p == '\t') ++p;
    char* end = nullptr;
    errno = 0;
    long v = strtol(p, &end, 10);
    if (end == p || errno != 0 || v < -2147483647L || v > 2147483647L) return false;
    *out = static_cast<int>(v);
    p = end;
    return true;
}

bool parseWord(const char*& p, std::string* out) {
    while (*p == ' ' || *p == '\t') ++p;
    const char* start = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    out->assign(start, p);
    return !out->empty();
}

void appendUtf8(std::string* out, unsigned cp) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xc0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        *out += static_cast<char>(0xe0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        *out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

bool parseJsonString(const char*& p, std::string* out) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '"') return false;
    ++p;
    out->clear();
    while (*p && *p != '"') {
        if (*p != '\\') {
            *out += *p++;
            continue;
        }
        ++p;
        switch (*p) {
            case 'r': *out += '\r'; break;
            case 'n': *out += '\n'; break;
            case 't': *out += '\t'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'u': {
                unsigned cp = 0;
                for (int i = 1; i <= 4; ++i) {
                    char c = p[i];
                    int v = (c >= '0' && c <= '9') ? c - '0'
                            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                     : -1;
                    if (v < 0) return false;
                    cp = cp * 16 + static_cast<unsigned>(v);
                }
                appendUtf8(out, cp);
                p += 4;
                break;
            }
            default: return false;
        }
        ++p;
    }
    if (*p != '"') return false;
    ++p;
    return true;
}

bool atEnd(const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
    return *p == '\0';
}

void commandError(int window, const char* reason) {
    std::lock_guard<std::mutex> hold(g_lock);
    emitLocked(format("error %d ", window) + jsonString(reason));
}

// Checks a command against the window's current state and posts it to the
// queue of the window's owner thread.
void postCommand(QueuedMessage m) {
    std::shared_ptr<ThreadQueue> owner;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        auto w = findLocked(m.window);
        const char* reason = nullptr;
        if (!w) reason = "no such window";
        else if (!w->alive) reason = "window is closed";
        else if (!w->enabled) reason = "window is disabled";
        else if (m.kind == QM_PRESS || m.kind == QM_TYPE || m.kind == QM_SELECT) {
            Control* c = w->control(m.control);
            if (!c || (w->messageBox && m.control == 0)) reason = "no such control";
            else if (m.kind == QM_PRESS && c->kind != CTL_BUTTON) reason = "control is not a button";
            else if (m.kind == QM_TYPE && c->kind != CTL_ENTRY && c->kind != CTL_IP_ADDRESS)
                reason = "control is not an entry";
            else if (m.kind == QM_SELECT && c->kind != CTL_COMBO) reason = "control is not a list";
        }
        if (reason) {
            emitLocked(format("error %d ", m.window) + jsonString(reason));
            return;
        }
        owner = w->owner;
    }
    queuePost(owner.get(), std::move(m));
}

void readInput(int fd) {
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            headlessCommand(line.c_str());
        }
    }
    if (!pending.empty()) headlessCommand(pending.c_str());
    headlessEndOfInput();
}

}  // namespace

// ---------------------------------------------------------------- backend

void headlessStart(int inputFd, HeadlessSink sink, void* context) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_sink = sink;
        g_sinkContext = context;
    }
    if (inputFd >= 0) std::thread(readInput, inputFd).detach();
}

void headlessCommand(const char* line) {
    const char* p = line;
    std::string verb;
    if (!parseWord(p, &verb)) return;  // blank lines are allowed
    QueuedMessage m{0, QM_CLOSE, 0, 0, std::string()};
    bool ok = parseInt(p, &m.window);
    if (ok && verb == "press") {
        m.kind = QM_PRESS;
        ok = parseInt(p, &m.control);
    } else if (ok && verb == "type") {
        m.kind = QM_TYPE;
        ok = parseInt(p, &m.control) && parseJsonString(p, &m.text);
    } else if (ok && verb == "select") {
        m.kind = QM_SELECT;
        ok = parseInt(p, &m.control) && parseInt(p, &m.number);
    } else if (ok && verb == "key") {
        std::string key;
        ok = parseWord(p, &key);
        if (key == "Return") m.kind = QM_RETURN;
        else if (key == "Escape") m.kind = QM_ESCAPE;
        else ok = false;
    } else if (ok && verb == "close") {
        m.kind = QM_CLOSE;
    } else {
        ok = false;
    }
    if (!ok || !atEnd(p)) {
        commandError(m.window, "bad command");
        return;
    }
    postCommand(std::move(m));
}

void headlessEndOfInput() {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_endOfInput = true;
        for (auto& [number, w] : g_windows)
            if (w->alive) w->eofClosePending = true;
    }
    queueWakeAll();
}

void backendBeforeExit(int code) {
    g_lock.lock();  // held until the process ends: nothing is written after "exit"
    emitLocked(format("exit %d", code));
    g_exiting = true;
    if (!g_sink) fflush(stdout);
}

// ---------------------------------------------------------------- platform

int platRegisterClass(PlatInstance, const char*) { return 1; }
void platInitCommonControls() {}

int platDialogBox(PlatInstance, const DialogTemplate* tmpl, PlatDialogProc proc) {
    auto w = createWindow(tmpl, proc, false, nullptr);
    if (proc(w->number, DLG_INIT, 0)) focusFirstTabStop(*w);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        showLocked(*w);
    }
    modalLoop(*w);
    std::lock_guard<std::mutex> hold(g_lock);
    w->alive = false;
    emitLocked(format("close %d %d", w->number, w->result));
    return w->result;
}

PlatWindow platCreateDialog(PlatInstance, const DialogTemplate* tmpl, PlatDialogProc proc) {
    auto w = createWindow(tmpl, proc, false, nullptr);
    if (proc(w->number, DLG_INIT, 0)) focusFirstTabStop(*w);
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
    emitLocked(format("close %d -", number));
}

void platEndDialog(PlatWindow number, int result) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (auto w = findLocked(number)) {
        w->ended = true;
        w->result = result;
    }
}

int platPeekAndDispatch(PlatWindow w) {
    ThreadQueue* q = currentThreadQueueIfAny();
    return q && dispatchOne(q, w) ? 1 : 0;
}

void platSetWindowText(PlatWindow number, const char* text) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (findLocked(number)) emitLocked(format("title %d ", number) + jsonString(text));
}

void platSetItemText(PlatWindow number, int id, const char* text) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    Control* c = w ? w->control(id) : nullptr;
    if (!c) return;
    c->text = text;
    emitLocked(format("text %d %d ", number, id) + jsonString(text));
}

int platGetItemText(PlatWindow number, int id, char* buf, int cap) {
    if (cap <= 0) return 0;
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    Control* c = w ? w->control(id) : nullptr;
    size_t n = c ? c->text.size() : 0;
    if (n > static_cast<size_t>(cap - 1)) n = static_cast<size_t>(cap - 1);
    if (n) memcpy(buf, c->text.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

void platProgressSetRange(PlatWindow number, int id, int low, int high) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    Control* c = w ? w->control(id) : nullptr;
    if (!c) return;
    c->low = low;
    c->high = high;
    emitLocked(format("range %d %d %d %d", number, id, low, high));
}

void platProgressSetPos(PlatWindow number, int id, int pos) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    Control* c = w ? w->control(id) : nullptr;
    if (!c || c->pos == pos) return;  // an unchanged position is not news
    c->pos = pos;
    emitLocked(format("pos %d %d %d", number, id, pos));
}

void platComboAddString(PlatWindow number, int id, const char* text) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    Control* c = w ? w->control(id) : nullptr;
    if (!c) return;
    c->items.push_back(text);
    emitLocked(format("add %d %d ", number, id) + jsonString(text));
}

void platComboSetSel(PlatWindow number, int id, int index) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    Control* c = w ? w->control(id) : nullptr;
    if (!c) return;
    c->selection = (index >= 0 && index < static_cast<int>(c->items.size())) ? index : -1;
    emitLocked(format("sel %d %d %d", number, id, c->selection));
}

int platComboGetSel(PlatWindow number, int id) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    Control* c = w ? w->control(id) : nullptr;
    return c ? c->selection : -1;
}

void platSetFocus(PlatWindow number, int id) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    if (w && w->control(id)) setFocusLocked(*w, id, true);
}

int platMessageBox(PlatWindow owner, const char* text, const char* caption) {
    auto box = createWindow(nullptr, nullptr, true, caption ? caption : "");
    std::vector<std::shared_ptr<Window>> disabled;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        box->controls[1].text = text;
        emitLocked(format("text %d 0 ", box->number) + jsonString(text));
        // Owned: the owner is disabled. Task-modal: every window of this thread.
        for (auto& [number, w] : g_windows) {
            if (w == box || !w->alive || !w->enabled) continue;
            bool affected = owner ? number == owner : w->owner == box->owner;
            if (!affected) continue;
            w->enabled = false;
            disabled.push_back(w);
            emitLocked(format("enable %d 0", number));
        }
        showLocked(*box);
    }
    modalLoop(*box);
    std::lock_guard<std::mutex> hold(g_lock);
    box->alive = false;
    emitLocked(format("close %d %d", box->number, box->result));
    for (auto& w : disabled) {
        if (!w->alive) continue;
        w->enabled = true;
        emitLocked(format("enable %d 1", w->number));
    }
    return box->result;
}

int platGetWindowRect(PlatWindow number, PlatRect* rect) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    if (!w) return 0;
    *rect = w->rect;
    return 1;
}

void platGetScreenSize(int* width, int* height) {
    *width = SCREEN_WIDTH;
    *height = SCREEN_HEIGHT;
}

void platMoveWindowTop(PlatWindow number, int x, int y) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto w = findLocked(number);
    if (!w) return;
    int width = w->rect.right - w->rect.left;
    int height = w->rect.bottom - w->rect.top;
    w->rect = PlatRect{x, y, x + width, y + height};
    emitLocked(format("place %d %d %d %d %d", number, x, y, width, height));
}
