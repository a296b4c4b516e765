// Kernel services on Windows: threads, the multimedia timer's resolution,
// process exit and the firmware images embedded as resources of this
// executable. The clock itself is clock_real.cpp or clock_scaled.cpp.
#include <windows.h>

#include <atomic>
#include <new>

#include "platform/platform.h"
#include "platform/win32/timer_resolution.h"
#include "platform/win32/wait_internal.h"

// ---------------------------------------------------------------- threads

// A started thread is its kernel handle; GetExitCodeThread gives its value
// once the handle is signalled.
struct PlatThread {
    HANDLE handle;
};

namespace {

struct ThreadStart {
    PlatThreadProc proc;
    void* arg;
};

DWORD WINAPI threadMain(LPVOID p) {
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    return static_cast<DWORD>(start.proc(start.arg));
}

}  // namespace

PlatThreadHandle platStartThread(PlatThreadProc proc, void* arg) {
    ThreadStart* start = new (std::nothrow) ThreadStart{proc, arg};
    PlatThread* t = new (std::nothrow) PlatThread{nullptr};
    if (!start || !t) {
        delete start;
        delete t;
        return nullptr;
    }
    DWORD id = 0;
    t->handle = CreateThread(nullptr, 0, threadMain, start, 0, &id);
    if (!t->handle) {
        delete start;
        delete t;
        return nullptr;
    }
    return t;
}

bool platThreadEnded(PlatThreadHandle t, int* exitValue) {
    if (WaitForSingleObject(t->handle, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeThread(t->handle, &code);
    if (exitValue) *exitValue = static_cast<int>(code);
    return true;
}

// The thread's handle and the thread's input in one wait: input already in
// the queue, seen or not, ends it at once.
bool platWaitThreadOrMessage(PlatThreadHandle t, uint32_t ms) {
    DWORD woken = MsgWaitForMultipleObjectsEx(1, &t->handle, waitTimeout(ms), WAKE_MASK, MWMO_INPUTAVAILABLE);
    if (woken == WAIT_OBJECT_0) return true;
    // Never a loop that stops sleeping: a failed wait waits as a sleep would.
    if (woken == WAIT_FAILED) Sleep(waitTimeout(ms));
    return platThreadEnded(t, nullptr);
}

void platReleaseThread(PlatThreadHandle t) {
    if (!t) return;
    CloseHandle(t->handle);
    delete t;
}

// ---------------------------------------------------------------- timer resolution

namespace {
// 1 while the process holds the 1 ms resolution.
std::atomic<int> g_timerPeriodTaken{0};
constexpr UINT TIMER_PERIOD_MS = 1;
}  // namespace

void beginTimerResolution() {
    if (timeBeginPeriod(TIMER_PERIOD_MS) == TIMERR_NOERROR) g_timerPeriodTaken.store(1);
}

void endTimerResolution() {
    if (g_timerPeriodTaken.exchange(0) == 1) timeEndPeriod(TIMER_PERIOD_MS);
}

// ---------------------------------------------------------------- process

void platExitProcess(int code) {
    endTimerResolution();
    ExitProcess(static_cast<UINT>(code));
}

// ---------------------------------------------------------------- resources

bool platFindResource(const char* type, int id, const uint8_t** bytes, uint32_t* size) {
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(id), type);
    if (!found) return false;
    HGLOBAL loaded = LoadResource(self, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return false;
    *bytes = static_cast<const uint8_t*>(data);
    *size = SizeofResource(self, found);
    return true;
}
