// The CPU the listener's idle wait costs under Windows (run by tests/wine_smoke_test.sh under
// Wine): the real listener loop with its waiting window runs on this thread, next to a window of
// another class that has either nothing, one posted message or a 50 ms timer pending - as the
// system's own helper windows on a GUI thread do. A wait that any foreign message ends at once
// spins a core. The process's CPU time over two seconds, after a settling one, goes to OUTPUT:
//   ulx-idle-probe.exe none|message|timer OUTPUT
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "control/base/base.h"
#include "platform/platform.h"
#include "tftp/tftp.h"

namespace {

char g_output[MAX_PATH];
char g_mode[16];
LONG g_foreignSeen = 0;

uint64_t cpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ticks = [](const FILETIME& f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) / 10000;
}

DWORD WINAPI measure(LPVOID) {
    Sleep(1000);
    uint64_t before = cpuMs();
    Sleep(2000);
    uint64_t used = cpuMs() - before;
    if (FILE* f = fopen(g_output, "w")) {
        fprintf(f, "mode=%s cpu_ms=%llu foreign_dispatched=%ld\n", g_mode, static_cast<unsigned long long>(used),
                InterlockedCompareExchange(&g_foreignSeen, 0, 0));
        fclose(f);
    }
    platExitProcess(0);
}

LRESULT CALLBACK foreignProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TIMER || msg == WM_USER + 7) InterlockedIncrement(&g_foreignSeen);
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    if (sscanf(commandLine, "%15s %259s", g_mode, g_output) != 2) return 2;
    platInitCommonControls();
    if (platNetStartup() != nullptr) return 3;

    WNDCLASSW wc{};
    wc.lpfnWndProc = foreignProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"UlxProbeForeign";
    RegisterClassW(&wc);
    HWND foreign =
        CreateWindowW(wc.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, instance, nullptr);
    if (!foreign) return 4;
    if (strcmp(g_mode, "message") == 0) PostMessageW(foreign, WM_USER + 7, 0, 0);
    if (strcmp(g_mode, "timer") == 0) SetTimer(foreign, 1, 50, nullptr);

    auto* listener = new TftpListener{};
    listener->socket = platSocketUdp();
    SockAddrIn local;
    fillSocketAddress(0x7f000001, 0, &local);
    if (platBind(listener->socket, &local) != 0) return 5;
    RunSetup* setup = editRunSetup();
    setup->localAddress = 0x7f000001;
    listener->setup = setup;
    CreateThread(nullptr, 0, measure, nullptr, 0, nullptr);
    tftpListenerThread(listener);
    return 0;
}
