// The window services on Windows: real dialogs of the dialog manager. A
// window number of the core maps to its HWND through a small table; every
// rule the other backends emulate (owner threads, modal loops, task-modal
// message boxes, Enter, Escape and the close box) is Windows' own here.
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <mutex>

#include "platform/platform.h"
#include "platform/win32/dialog_memory.h"

namespace {

// One live dialog. A number is never reused; a slot is, once its window
// has gone (WM_NCDESTROY) or could not be created.
struct WindowSlot {
    int number;  // 0: free
    HWND hwnd;   // set in WM_INITDIALOG
    PlatDialogProc proc;
};

constexpr int MAX_WINDOWS = 64;
WindowSlot g_slots[MAX_WINDOWS];
std::mutex g_slotLock;
std::atomic<int> g_nextNumber{1};

WindowSlot* takeSlot(PlatDialogProc proc) {
    std::lock_guard<std::mutex> hold(g_slotLock);
    for (WindowSlot& s : g_slots) {
        if (s.number == 0) {
            s.number = g_nextNumber.fetch_add(1);
            s.hwnd = nullptr;
            s.proc = proc;
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
        {
            std::lock_guard<std::mutex> hold(g_slotLock);
            slot->hwnd = hwnd;
            number = slot->number;
            proc = slot->proc;
        }
        SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(slot));
        return proc(number, DLG_INIT, 0) ? TRUE : FALSE;
    }
    WindowSlot* slot = reinterpret_cast<WindowSlot*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!slot) return FALSE;
    if (msg == WM_COMMAND) {
        // Clicks, Enter (IDOK or the default button) and Escape or the
        // close box (IDCANCEL) all arrive as BN_CLICKED; the notifications
        // of edit fields and the list are not commands.
        if (HIWORD(wp) != BN_CLICKED) return FALSE;
        int number;
        PlatDialogProc proc;
        {
            std::lock_guard<std::mutex> hold(g_slotLock);
            number = slot->number;
            proc = slot->proc;
        }
        proc(number, DLG_COMMAND, LOWORD(wp));
        return TRUE;
    }
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        freeSlot(slot);
    }
    return FALSE;
}

}  // namespace

int platRegisterClass(PlatInstance instance, const char* className) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = static_cast<HINSTANCE>(instance);
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.lpszClassName = className;
    return RegisterClassA(&wc) != 0 ? 1 : 0;
}

void platInitCommonControls() {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_INTERNET_CLASSES};
    InitCommonControlsEx(&icc);
}

int platDialogBox(PlatInstance instance, const DialogTemplate* tmpl, PlatDialogProc proc) {
    DialogMemory memory;
    if (!buildDialogMemory(tmpl, true, &memory)) return -1;
    WindowSlot* slot = takeSlot(proc);
    if (!slot) return -1;
    int number = slot->number;
    INT_PTR result = DialogBoxIndirectParamA(static_cast<HINSTANCE>(instance),
                                             reinterpret_cast<LPCDLGTEMPLATEA>(memory.words), nullptr,
                                             dialogProc, reinterpret_cast<LPARAM>(slot));
    releaseIfUnused(slot, number);
    return static_cast<int>(result);
}

PlatWindow platCreateDialog(PlatInstance instance, const DialogTemplate* tmpl, PlatDialogProc proc) {
    DialogMemory memory;
    if (!buildDialogMemory(tmpl, false, &memory)) return 0;
    WindowSlot* slot = takeSlot(proc);
    if (!slot) return 0;
    int number = slot->number;
    HWND hwnd = CreateDialogIndirectParamA(static_cast<HINSTANCE>(instance),
                                           reinterpret_cast<LPCDLGTEMPLATEA>(memory.words), nullptr,
                                           dialogProc, reinterpret_cast<LPARAM>(slot));
    if (!hwnd) {
        releaseIfUnused(slot, number);
        return 0;
    }
    return number;
}

void platShowWindow(PlatWindow w) { ShowWindow(windowOf(w), SW_SHOWNORMAL); }

void platDestroyWindow(PlatWindow w) {
    if (HWND h = windowOf(w)) DestroyWindow(h);
}

void platEndDialog(PlatWindow w, int result) {
    if (HWND h = windowOf(w)) EndDialog(h, result);
}

int platPeekAndDispatch(PlatWindow w) {
    HWND h = nullptr;
    if (w != 0 && !(h = windowOf(w))) return 0;
    MSG msg;
    if (!PeekMessageA(&msg, h, 0, 0, PM_REMOVE)) return 0;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return 1;
}

void platSetWindowText(PlatWindow w, const char* text) { SetWindowTextA(windowOf(w), text); }

void platSetItemText(PlatWindow w, int id, const char* text) { SetDlgItemTextA(windowOf(w), id, text); }

int platGetItemText(PlatWindow w, int id, char* buf, int cap) {
    if (cap <= 0) return 0;
    buf[0] = '\0';
    UINT n = GetDlgItemTextA(windowOf(w), id, buf, cap);
    buf[cap - 1] = '\0';
    return static_cast<int>(n);
}

void platProgressSetRange(PlatWindow w, int id, int low, int high) {
    SendDlgItemMessageA(windowOf(w), id, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
}

void platProgressSetPos(PlatWindow w, int id, int pos) {
    SendDlgItemMessageA(windowOf(w), id, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void platComboAddString(PlatWindow w, int id, const char* text) {
    SendDlgItemMessageA(windowOf(w), id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
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
    UINT type = MB_OK | (owner ? MB_APPLMODAL : MB_TASKMODAL);
    return MessageBoxA(h, text, caption, type) == IDOK ? 1 : 0;
}

int platGetWindowRect(PlatWindow w, PlatRect* rect) {
    RECT r;
    if (!GetWindowRect(windowOf(w), &r)) return 0;
    *rect = PlatRect{r.left, r.top, r.right, r.bottom};
    return 1;
}

void platGetScreenSize(int* width, int* height) {
    *width = GetSystemMetrics(SM_CXSCREEN);
    *height = GetSystemMetrics(SM_CYSCREEN);
}

void platMoveWindowTop(PlatWindow w, int x, int y) {
    SetWindowPos(windowOf(w), HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}
