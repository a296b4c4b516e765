// The window services on Windows: real dialogs of the dialog manager. A
// window number of the core maps to its HWND through a small table; every
// rule the other backends emulate (owner threads, modal loops, task-modal
// message boxes, Enter, Escape and the close box) is Windows' own here.
//
// Text: the core's texts are bytes of code page 1252, as the device writes
// them, whatever the system's own code page is. They go to the screen
// through the wide-character APIs, converted from 1252, and come back
// converted to 1252 without best fit: an entry holding a character that
// 1252 lacks is refused when its dialog is confirmed, so a look-alike is
// never sent in its place.
//
// Windows in front: a thread that is not in the foreground (the listener
// thread, once the user has gone to another program) opens its windows
// behind that program. Every window asks to come to the front when it is
// shown; a dialog or message box that waits for an answer also flashes its
// taskbar button until it is seen, when the system's foreground rules keep
// it behind.
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "platform/platform.h"
#include "platform/refused_entry.h"
#include "platform/win32/dialog_memory.h"

namespace {

// One live dialog. A number is never reused; a slot is, once its window
// has gone (WM_NCDESTROY) or could not be created.
struct WindowSlot {
    int number;  // 0: free
    HWND hwnd;   // set in WM_INITDIALOG
    PlatDialogProc proc;
    void* context;  // the core's, handed to every call of proc
    bool modal;
};

// The code page of every text of the core.
constexpr UINT TEXT_CODE_PAGE = 1252;
// Room for the longest text of the core (the password dialog's, about
// 650 characters) and more; a longer one is cut, never overrun.
constexpr int WIDE_TEXT_CHARS = 2048;

struct WideText {
    wchar_t chars[WIDE_TEXT_CHARS];
};

// The text in UTF-16; one character of 1252 is one UTF-16 unit.
void widen(const char* text, WideText* out) {
    out->chars[0] = L'\0';
    if (!text) return;
    int n = static_cast<int>(strnlen(text, WIDE_TEXT_CHARS - 1));
    if (n == 0) return;
    int made = MultiByteToWideChar(TEXT_CODE_PAGE, 0, text, n, out->chars, WIDE_TEXT_CHARS - 1);
    out->chars[made > 0 ? made : 0] = L'\0';
}

// The UTF-16 text in 1252, at most cap - 1 characters and a NUL. 0 when
// some character has no exact counterpart in 1252 (it is then written as
// '?', which the caller must not use).
int narrowExactly(const wchar_t* text, char* out, int cap) {
    out[0] = '\0';
    int n = static_cast<int>(wcsnlen(text, static_cast<size_t>(cap - 1)));
    if (n == 0) return 1;
    BOOL lost = FALSE;
    int made = WideCharToMultiByte(TEXT_CODE_PAGE, WC_NO_BEST_FIT_CHARS, text, n, out, cap - 1, "?", &lost);
    out[made > 0 ? made : 0] = '\0';
    return made == n && !lost ? 1 : 0;
}

// The messages of a refused entry and their caption: platform/refused_entry.h.

// The editable entry among the dialog's own controls whose text 1252
// cannot carry, or null.
HWND entryThatCannotBeSent(HWND dialog) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[16];
        if (!GetClassNameW(child, cls, 16) || lstrcmpiW(cls, L"Edit") != 0) continue;
        if (GetWindowLongW(child, GWL_STYLE) & ES_READONLY) continue;
        WideText typed;
        GetWindowTextW(child, typed.chars, WIDE_TEXT_CHARS);
        char bytes[WIDE_TEXT_CHARS];
        if (!narrowExactly(typed.chars, bytes, WIDE_TEXT_CHARS)) return child;
    }
    return nullptr;
}

// A message box of the core's kind (OK, no icon) in UTF-16.
int messageBoxText(HWND owner, const char* text, const char* caption, UINT type) {
    WideText wideText;
    WideText wideCaption;
    widen(text, &wideText);
    widen(caption, &wideCaption);
    return MessageBoxW(owner, wideText.chars, wideCaption.chars, type);
}

// Asks for the foreground; when the system refuses it, a window that
// waits for an answer flashes its taskbar button until it is activated.
void bringToFront(HWND h, bool waitsForAnswer) {
    if (!h) return;
    SetForegroundWindow(h);
    if (waitsForAnswer && GetForegroundWindow() != h) {
        FLASHWINFO flash{sizeof flash, h, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
        FlashWindowEx(&flash);
    }
}

// A modal dialog and a message box are shown by their modal loops: a
// timer that runs in that loop asks for the front once the window is on
// screen.
constexpr UINT_PTR FRONT_TIMER = 0x554C;
constexpr UINT FRONT_TIMER_MS = USER_TIMER_MINIMUM;

bool isCoreWindow(HWND h);

void CALLBACK messageBoxToFront(HWND, UINT, UINT_PTR timer, DWORD) {
    // The box is the active window of its thread once it is on screen.
    HWND box = GetActiveWindow();
    if (!box || isCoreWindow(box) || !IsWindowVisible(box)) return;
    KillTimer(nullptr, timer);
    bringToFront(box, true);
}

constexpr int MAX_WINDOWS = 64;
WindowSlot g_slots[MAX_WINDOWS];
std::mutex g_slotLock;
std::atomic<int> g_nextNumber{1};

WindowSlot* takeSlot(PlatDialogProc proc, void* context, bool modal) {
    std::lock_guard<std::mutex> hold(g_slotLock);
    for (WindowSlot& s : g_slots) {
        if (s.number == 0) {
            s.number = g_nextNumber.fetch_add(1);
            s.hwnd = nullptr;
            s.proc = proc;
            s.context = context;
            s.modal = modal;
            return &s;
        }
    }
    return nullptr;
}

void freeSlot(WindowSlot* slot) {
    std::lock_guard<std::mutex> hold(g_slotLock);
    slot->number = 0;
    slot->hwnd = nullptr;
    slot->proc = nullptr;
    slot->context = nullptr;
}

// A dialog whose creation failed before WM_INITDIALOG never had a window
// to free its slot; once a dialog has gone, its slot may already serve
// another window, which the number tells apart.
void releaseIfUnused(WindowSlot* slot, int number) {
    std::lock_guard<std::mutex> hold(g_slotLock);
    if (slot->number == number && slot->hwnd == nullptr) {
        slot->number = 0;
        slot->proc = nullptr;
    }
}

bool isCoreWindow(HWND h) {
    std::lock_guard<std::mutex> hold(g_slotLock);
    for (const WindowSlot& s : g_slots) {
        if (s.number != 0 && s.hwnd == h) return true;
    }
    return false;
}

HWND windowOf(PlatWindow w) {
    if (w == 0) return nullptr;
    std::lock_guard<std::mutex> hold(g_slotLock);
    for (const WindowSlot& s : g_slots) {
        if (s.number == w) return s.hwnd;
    }
    return nullptr;
}

// Every dialog's procedure: hands creation and commands to the core's
// procedure of that window, on the thread that owns it.
INT_PTR CALLBACK dialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        WindowSlot* slot = reinterpret_cast<WindowSlot*>(lp);
        int number;
        PlatDialogProc proc;
        void* context;
        {
            std::lock_guard<std::mutex> hold(g_slotLock);
            slot->hwnd = hwnd;
            number = slot->number;
            proc = slot->proc;
            context = slot->context;
        }
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(slot));
        if (slot->modal) SetTimer(hwnd, FRONT_TIMER, FRONT_TIMER_MS, nullptr);
        return proc(number, DLG_INIT, 0, context) ? TRUE : FALSE;
    }
    WindowSlot* slot = reinterpret_cast<WindowSlot*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!slot) return FALSE;
    if (msg == WM_TIMER && wp == FRONT_TIMER) {
        if (!IsWindowVisible(hwnd)) return TRUE;
        KillTimer(hwnd, FRONT_TIMER);
        bringToFront(hwnd, true);
        return TRUE;
    }
    if (msg == WM_COMMAND) {
        // Clicks, Enter (IDOK or the default button) and Escape or the
        // close box (IDCANCEL) all arrive as BN_CLICKED; the notifications
        // of edit fields and the list are not commands.
        if (HIWORD(wp) != BN_CLICKED) return FALSE;
        if (LOWORD(wp) == IDOK) {
            if (HWND refused = entryThatCannotBeSent(hwnd)) {
                bool password = (GetWindowLongW(refused, GWL_STYLE) & ES_PASSWORD) != 0;
                messageBoxText(hwnd, password ? REFUSED_PASSWORD_TEXT : REFUSED_ENTRY_TEXT, REFUSED_CAPTION,
                               MB_OK | MB_APPLMODAL);
                SetFocus(refused);
                SendMessageW(refused, EM_SETSEL, 0, -1);
                return TRUE;
            }
        }
        int number;
        PlatDialogProc proc;
        void* context;
        {
            std::lock_guard<std::mutex> hold(g_slotLock);
            number = slot->number;
            proc = slot->proc;
            context = slot->context;
        }
        proc(number, DLG_COMMAND, LOWORD(wp), context);
        return TRUE;
    }
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        freeSlot(slot);
    }
    return FALSE;
}

}  // namespace

void platInitCommonControls() {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_INTERNET_CLASSES};
    InitCommonControlsEx(&icc);
}

int platDialogBox(const DialogTemplate* tmpl, PlatDialogProc proc, void* context) {
    DialogMemory memory;
    if (!buildDialogMemory(tmpl, true, &memory)) return -1;
    WindowSlot* slot = takeSlot(proc, context, true);
    if (!slot) return -1;
    int number = slot->number;
    INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(memory.words),
                                             nullptr, dialogProc, reinterpret_cast<LPARAM>(slot));
    releaseIfUnused(slot, number);
    return static_cast<int>(result);
}

PlatWindow platCreateDialog(const DialogTemplate* tmpl, PlatDialogProc proc, void* context) {
    DialogMemory memory;
    if (!buildDialogMemory(tmpl, false, &memory)) return 0;
    WindowSlot* slot = takeSlot(proc, context, false);
    if (!slot) return 0;
    int number = slot->number;
    HWND hwnd = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(memory.words),
                                           nullptr, dialogProc, reinterpret_cast<LPARAM>(slot));
    if (!hwnd) {
        releaseIfUnused(slot, number);
        return 0;
    }
    return number;
}

void platShowWindow(PlatWindow w) {
    HWND h = windowOf(w);
    ShowWindow(h, SW_SHOWNORMAL);
    bringToFront(h, false);
}

void platDestroyWindow(PlatWindow w) {
    if (HWND h = windowOf(w)) DestroyWindow(h);
}

void platEndDialog(PlatWindow w, int result) {
    if (HWND h = windowOf(w)) EndDialog(h, result);
}

// Takes the next message of the calling thread, whichever of its windows
// it is for: the system puts helper windows of its own on every thread
// with windows (input methods among them), and a message or timer of
// theirs left in the queue would pile up and wake every idle wait at once.
// The core's windows of a thread are only the ones it pumps, so taking
// the thread's messages takes w's.
bool platPeekAndDispatch(PlatWindow w) {
    if (w != 0 && !windowOf(w)) return false;
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    return true;
}

void platSetWindowText(PlatWindow w, const char* text) {
    WideText wide;
    widen(text, &wide);
    SetWindowTextW(windowOf(w), wide.chars);
}

void platSetItemText(PlatWindow w, int id, const char* text) {
    WideText wide;
    widen(text, &wide);
    SetDlgItemTextW(windowOf(w), id, wide.chars);
}

int platGetItemText(PlatWindow w, int id, char* buf, int cap) {
    if (cap <= 0) return 0;
    buf[0] = '\0';
    WideText wide;
    if (cap > WIDE_TEXT_CHARS) cap = WIDE_TEXT_CHARS;
    wide.chars[0] = L'\0';
    GetDlgItemTextW(windowOf(w), id, wide.chars, cap);
    narrowExactly(wide.chars, buf, cap);
    return static_cast<int>(strlen(buf));
}

void platProgressSetRange(PlatWindow w, int id, int low, int high) {
    SendDlgItemMessageA(windowOf(w), id, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
}

void platProgressSetPos(PlatWindow w, int id, int pos) {
    SendDlgItemMessageA(windowOf(w), id, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void platComboAddString(PlatWindow w, int id, const char* text) {
    WideText wide;
    widen(text, &wide);
    SendDlgItemMessageW(windowOf(w), id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.chars));
}

void platComboSetSel(PlatWindow w, int id, int index) {
    SendDlgItemMessageA(windowOf(w), id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int platComboGetSel(PlatWindow w, int id) {
    LRESULT sel = SendDlgItemMessageA(windowOf(w), id, CB_GETCURSEL, 0, 0);
    return sel == CB_ERR ? -1 : static_cast<int>(sel);
}

void platSetFocus(PlatWindow w, int id) { SetFocus(GetDlgItem(windowOf(w), id)); }

int platMessageBox(PlatWindow owner, const char* text, const char* caption) {
    HWND h = owner ? windowOf(owner) : nullptr;
    UINT type = MB_OK | MB_SETFOREGROUND | (owner ? MB_APPLMODAL : MB_TASKMODAL);
    UINT_PTR front = SetTimer(nullptr, 0, FRONT_TIMER_MS, messageBoxToFront);
    int result = messageBoxText(h, text, caption, type);
    if (front) KillTimer(nullptr, front);
    return result == IDOK ? 1 : 0;
}

bool platGetWindowRect(PlatWindow w, PlatRect* rect) {
    RECT r;
    if (!GetWindowRect(windowOf(w), &r)) return false;
    *rect = PlatRect{r.left, r.top, r.right, r.bottom};
    return true;
}

void platGetScreenSize(int* width, int* height) {
    *width = GetSystemMetrics(SM_CXSCREEN);
    *height = GetSystemMetrics(SM_CYSCREEN);
}

void platMoveWindowTop(PlatWindow w, int x, int y) { SetWindowPos(windowOf(w), HWND_TOP, x, y, 0, 0, SWP_NOSIZE); }
