// The thin layer between the portable core (control/, web/, tftp/, ui/) and
// the operating system. The core includes this header and nothing else of
// the system's: every service it needs - windows, sockets, threads, the
// clock, embedded resources, local addresses, process exit - is a free
// function here. On Linux the non-window services live in platform/posix
// and the window services in platform/window_model, the window model that
// the backend the build links (platform/headless, platform/qt) observes;
// platform/win32 gives all of them on Windows.
//
// The window services follow Win32 semantics, because the core relies on
// them:
//  - a window belongs to the thread that created it, and its dialog
//    procedure runs on that thread only, while that thread takes its
//    messages (platPeekAndDispatch) or sits in a modal loop;
//  - a modal dialog runs its own loop; a task-modal message box disables
//    only the calling thread's windows while it is open.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/dialog_template.h"

// ---------------------------------------------------------------- process

// The core's entry point (control/sequence.cpp): the whole upgrade run.
// The backend's main() calls it on the thread that becomes the
// user-interface thread and ends the process with its result.
int runUpgrade();

// Ends the whole process at once with the given exit code, from any thread:
// pending automation output is flushed first, no static destructors run.
[[noreturn]] void platExitProcess(int code);

// ---------------------------------------------------------------- clock

// Wrapping 32-bit millisecond counter (the system's time since start).
uint32_t platClockMs();
// Sleeps the calling thread for the given number of milliseconds.
void platSleepMs(uint32_t ms);
// A wait of this many milliseconds has no limit.
constexpr uint32_t PLAT_WAIT_FOREVER = 0xFFFFFFFFu;

// ---------------------------------------------------------------- threads

typedef struct PlatThread* PlatThreadHandle;
typedef int (*PlatThreadProc)(void* arg);

// Starts a thread running proc(arg) at once. Returns 0 on failure.
PlatThreadHandle platStartThread(PlatThreadProc proc, void* arg);
// Non-blocking: true and the thread's exit value once it has ended.
bool platThreadEnded(PlatThreadHandle thread, int* exitValue);
// Drops the handle; the thread itself runs on (or has ended) unaffected.
void platReleaseThread(PlatThreadHandle thread);
// Waits until the thread has ended or a window message for the calling
// thread is pending (at once when one already is), for at most ms
// milliseconds on the clock (PLAT_WAIT_FOREVER: no limit). True when the
// thread has ended. Ending costs the waiter no earlier wake.
bool platWaitThreadOrMessage(PlatThreadHandle thread, uint32_t ms);

// ---------------------------------------------------------------- sockets

typedef intptr_t PlatSocket;
constexpr PlatSocket PLAT_INVALID_SOCKET = -1;
constexpr uint16_t PLAT_AF_INET = 2;

// An IPv4 socket address with address and port in network byte order.
struct SockAddrIn {
    uint16_t family;
    uint16_t port;  // network byte order
    uint32_t addr;  // network byte order
};

uint32_t platHtonl(uint32_t v);
uint16_t platHtons(uint16_t v);
uint32_t platNtohl(uint32_t v);
uint16_t platNtohs(uint16_t v);

// A socket address from an address and a port in host order, and back.
inline void fillSocketAddress(uint32_t address, uint16_t port, SockAddrIn* out) {
    out->family = PLAT_AF_INET;
    out->addr = platHtonl(address);
    out->port = platHtons(port);
}
inline void readSocketAddress(const SockAddrIn* in, uint32_t* address, uint16_t* port) {
    *address = platNtohl(in->addr);
    *port = platNtohs(in->port);
}

// Starts the network stack (version 1.1 where the system has versions):
// null when ready, else the failure message to show, in the system's own
// words.
const char* platNetStartup();

PlatSocket platSocketTcp();
PlatSocket platSocketUdp();
// 0 on success.
int platBind(PlatSocket s, const SockAddrIn* local);
// Binds a TCP client socket (0 on success). On Linux with SO_REUSEADDR:
// the port may also be held by another such client socket or wait in
// TIME_WAIT, since a connection is told apart by its peer too, and
// platConnect says PLAT_CONNECT_IN_USE should the pair be taken. On
// Windows as platBind (there SO_REUSEADDR would let a socket take a port
// another one listens on).
int platBindClient(PlatSocket s, const SockAddrIn* local);
// Blocking connect, given up after timeoutMs. 0 on success;
// PLAT_CONNECT_IN_USE when the local address and port already have a
// connection to this peer (or one waits in TIME_WAIT); another value < 0
// on any other failure.
constexpr int PLAT_CONNECT_IN_USE = -2;
int platConnect(PlatSocket s, const SockAddrIn* remote, uint32_t timeoutMs);
// Sends len bytes: the number sent (len when all went out), < 0 on error.
// A short or failed send is the caller's to handle.
int platSend(PlatSocket s, const void* data, int len);
// Blocking (or non-blocking after platSetNonBlocking) receive:
// > 0 bytes, 0 when the peer closed, < 0 on error or nothing pending.
int platRecv(PlatSocket s, void* buf, int size);
// Receive that waits at most timeoutMs on the clock (platClockMs) for
// something to arrive: > 0 bytes, 0 when the peer closed,
// PLAT_RECV_TIMED_OUT when nothing came in time, another value < 0 on error.
constexpr int PLAT_RECV_TIMED_OUT = -2;
int platRecvWithin(PlatSocket s, void* buf, int size, uint32_t timeoutMs);
// One datagram: len when it went out, < 0 on error.
int platSendTo(PlatSocket s, const void* data, int len, const SockAddrIn* to);
int platRecvFrom(PlatSocket s, void* buf, int size, SockAddrIn* from);
int platSetNonBlocking(PlatSocket s);
void platCloseSocket(PlatSocket s);
// Waits until the socket is readable or a window message for the calling
// thread arrives, for at most ms milliseconds. True when the socket is
// readable (or the wait could not watch it); false when the time ran out or
// a message came first.
bool platWaitSocketOrMessage(PlatSocket s, uint32_t ms);
// Waits until a window message for the calling thread is pending, for at
// most ms milliseconds on the clock (PLAT_WAIT_FOREVER: no limit); at once
// when one already is.
void platWaitMessage(uint32_t ms);

// Fills table with up to max IPv4 addresses of this computer (host order)
// and returns how many were found.
int platLocalAddresses(uint32_t* table, int max);

// ---------------------------------------------------------------- resources

// Finds an embedded resource by type name and id. True when found.
bool platFindResource(const char* type, int id, const uint8_t** bytes, uint32_t* size);

// ---------------------------------------------------------------- windows

// A window: a number, unique for the life of the process. 0 is none.
typedef int PlatWindow;

enum PlatDialogEvent {
    DLG_INIT = 1,     // the dialog was created; its controls exist
    DLG_COMMAND = 2,  // a button or key gave a command; param is its id
};

// A dialog procedure. For DLG_INIT it returns 1 to let the dialog manager
// put the focus on the first tab stop, 0 when it set the focus itself.
// For DLG_COMMAND its result is ignored. context is the value the dialog
// was created with, handed to every call (on Windows the creation's
// lParam, kept with the window).
typedef int (*PlatDialogProc)(PlatWindow dlg, int event, int param, void* context);

struct PlatRect {
    int left, top, right, bottom;
};

// Makes the progress bar and address entry controls available.
void platInitCommonControls();

// Modal dialog from a template: runs its loop until platEndDialog and
// returns that result; -1 when the dialog could not be created. context
// goes to every call of proc and must outlive the dialog.
int platDialogBox(const DialogTemplate* tmpl, PlatDialogProc proc, void* context);
// Modeless dialog from a template, created hidden. 0 on failure. context as
// for platDialogBox.
PlatWindow platCreateDialog(const DialogTemplate* tmpl, PlatDialogProc proc, void* context);
void platShowWindow(PlatWindow w);
void platDestroyWindow(PlatWindow w);
void platEndDialog(PlatWindow w, int result);
// Takes at most one pending message for w and its controls (every window
// of the calling thread when w is 0), without waiting, and hands it to its
// window's procedure. True when a message was handled.
bool platPeekAndDispatch(PlatWindow w);

void platSetWindowText(PlatWindow w, const char* text);
void platSetItemText(PlatWindow w, int id, const char* text);
// Copies at most cap - 1 characters of the control's text and a NUL;
// returns the number of characters copied.
int platGetItemText(PlatWindow w, int id, char* buf, int cap);
void platProgressSetRange(PlatWindow w, int id, int low, int high);
void platProgressSetPos(PlatWindow w, int id, int pos);
void platComboAddString(PlatWindow w, int id, const char* text);
void platComboSetSel(PlatWindow w, int id, int index);
// The selected item, or -1 when none is.
int platComboGetSel(PlatWindow w, int id);
void platSetFocus(PlatWindow w, int id);

// Message box with one OK button and no icon. owner 0: task-modal, every
// window of the calling thread is disabled while it is open; otherwise the
// owner is. Returns 1 (OK) when the user closes it.
int platMessageBox(PlatWindow owner, const char* text, const char* caption);

// The window's outer rectangle in screen coordinates. True on success.
bool platGetWindowRect(PlatWindow w, PlatRect* rect);
void platGetScreenSize(int* width, int* height);
// Moves the window, keeping its size, and brings it to the top.
void platMoveWindowTop(PlatWindow w, int x, int y);
