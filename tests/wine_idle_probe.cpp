// The CPU the core's waits cost under Windows (run by tests/wine_smoke_test.sh under Wine): one
// real wait with its window runs on this thread, next to a window of another class that has
// either nothing, one posted message or a 50 ms timer pending - as the system's own helper
// windows on a GUI thread do. A wait that any foreign message ends at once spins a core. The
// waits: the listener's for the read request (listen), a request to a server that took the
// connection and says nothing (request), the transfer's for an acknowledgement that never comes
// (download), the device's restart after the transfer (restart). The process's CPU time over
// two seconds, after a settling one, goes to OUTPUT:
//   ulx-idle-probe.exe none|message|timer OUTPUT [listen|request|download|restart]
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "control/base/base.h"
#include "platform/platform.h"
#include "tftp/tftp.h"
#include "ui/ui.h"
#include "web/http.h"
#include "web/web.h"

namespace {

char g_output[MAX_PATH];
char g_mode[16];
char g_wait[16] = "listen";
char g_answer[RESPONSE_BUFFER_SIZE];
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
        fprintf(f, "wait=%s mode=%s cpu_ms=%llu foreign_dispatched=%ld\n", g_wait, g_mode,
                static_cast<unsigned long long>(used), InterlockedCompareExchange(&g_foreignSeen, 0, 0));
        fclose(f);
    }
    platExitProcess(0);
}

LRESULT CALLBACK foreignProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TIMER || msg == WM_USER + 7) InterlockedIncrement(&g_foreignSeen);
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// A TCP server on 127.0.0.1 that takes connections (the system completes them) and never
// answers: its port, or 0.
uint16_t silentServer() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(0x7f000001);
    int len = sizeof sa;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    if (sscanf(commandLine, "%15s %259s %15s", g_mode, g_output, g_wait) < 2) return 2;
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
    if (strcmp(g_wait, "request") == 0) {
        uint16_t port = silentServer();
        if (port == 0) return 6;
        runDeviceRequest(0x7f000001, FIRST_LOCAL_PORT, 0x7f000001, port, "/", g_answer, RESPONSE_MAX_CHARS, 1);
        return 7;  // the silence lasts past the measurement
    }
    if (strcmp(g_wait, "download") == 0 || strcmp(g_wait, "restart") == 0) {
        // A read request from a port where nothing answers: the OACK goes out again each
        // interval; the transfer gives up after three seconds and starts over.
        auto* session = new TftpSession{};
        session->socket = listener->socket;
        session->setup = setup;
        session->peerAddress = 0x7f000001;
        session->peerPort = 9;
        session->blockCount = 1;
        if (strcmp(g_wait, "restart") == 0) {
            session->uploadingWindow = createUploadingWindow();
            platShowWindow(session->uploadingWindow);
            waitAndVerify(session, false);  // 30 s, past the measurement
            return 7;
        }
        for (;;) {
            transferImage(session);
            platDestroyWindow(session->uploadingWindow);
        }
    }
    tftpListenerThread(listener);
    return 0;
}
