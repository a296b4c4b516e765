// IPv4 sockets over Winsock. The stack is started at version 1.1; every
// call here exists in that version except WSAEventSelect, which ws2_32
// (where wsock32 forwards to) offers to every caller, whatever version it
// asked for: it lets an idle loop sleep on its socket and its thread's
// message queue together instead of a blind Sleep, which lasts up to
// 15.6 ms on Windows.
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/sockaddr_convert.h"
#include "platform/win32/clock_internal.h"
#include "platform/win32/wait_internal.h"

namespace {

SOCKET sock(PlatSocket s) { return static_cast<SOCKET>(s); }

// A closed socket's handle may come back for a new socket, which must be
// tied anew. Sockets are waited on and closed by the same thread.
void forgetWaitBinding(SOCKET s);

// The real time a wait of ms clock milliseconds lasts, as select takes it.
timeval waitTimeval(uint32_t ms) {
    uint32_t real = platWaitMs(ms);
    return timeval{static_cast<long>(real / 1000), static_cast<long>(real % 1000) * 1000L};
}

int setBlocking(SOCKET s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &nonBlocking) == 0 ? 0 : -1;
}

}  // namespace

uint32_t platHtonl(uint32_t v) { return htonl(v); }
uint16_t platHtons(uint16_t v) { return htons(v); }
uint32_t platNtohl(uint32_t v) { return ntohl(v); }
uint16_t platNtohs(uint16_t v) { return ntohs(v); }

const char* platNetStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data) == 0 ? nullptr : "Upgrade Failed: Winsock init error";
}

PlatSocket platSocketTcp() { return static_cast<PlatSocket>(socket(AF_INET, SOCK_STREAM, 0)); }
PlatSocket platSocketUdp() { return static_cast<PlatSocket>(socket(AF_INET, SOCK_DGRAM, 0)); }

int platBind(PlatSocket s, const SockAddrIn* local) {
    sockaddr_in sa = toSystemAddress<sockaddr_in>(local);
    return bind(sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

// Windows lets a client bind a port whose earlier connections wait in
// TIME_WAIT; connect then says WSAEADDRINUSE for the same peer.
int platBindClient(PlatSocket s, const SockAddrIn* local) { return platBind(s, local); }

// A blocking connect as the caller sees it, but given up after timeoutMs:
// connect without blocking, wait for the outcome, then block again.
int platConnect(PlatSocket s, const SockAddrIn* remote, uint32_t timeoutMs) {
    sockaddr_in sa = toSystemAddress<sockaddr_in>(remote);
    if (setBlocking(sock(s), false) != 0) return -1;
    int rc = connect(sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int error = rc == 0 ? 0 : WSAGetLastError();
    if (error == WSAEADDRINUSE) {
        setBlocking(sock(s), true);
        return PLAT_CONNECT_IN_USE;
    }
    if (rc != 0 && error == WSAEWOULDBLOCK) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(sock(s), &writable);
        FD_SET(sock(s), &failed);
        timeval tv = waitTimeval(timeoutMs);
        int n = select(0, nullptr, &writable, &failed, &tv);
        rc = n == 1 && FD_ISSET(sock(s), &writable) ? 0 : -1;
        int soError = 0;
        int len = static_cast<int>(sizeof soError);
        if (rc != 0 && n == 1 &&
            getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) == 0 &&
            soError == WSAEADDRINUSE)
            rc = PLAT_CONNECT_IN_USE;
    }
    if (setBlocking(sock(s), true) != 0) return -1;
    if (rc == PLAT_CONNECT_IN_USE) return rc;
    return rc == 0 ? 0 : -1;
}

int platSend(PlatSocket s, const void* data, int len) { return send(sock(s), static_cast<const char*>(data), len, 0); }

int platRecv(PlatSocket s, void* buf, int size) { return recv(sock(s), static_cast<char*>(buf), size, 0); }

int platRecvWithin(PlatSocket s, void* buf, int size, uint32_t timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock(s), &readable);
    timeval tv = waitTimeval(timeoutMs);
    int n = select(0, &readable, nullptr, nullptr, &tv);
    if (n == 0) return PLAT_RECV_TIMED_OUT;
    if (n < 0) return -1;
    int got = recv(sock(s), static_cast<char*>(buf), size, 0);
    return got >= 0 ? got : -1;
}

int platSendTo(PlatSocket s, const void* data, int len, const SockAddrIn* to) {
    sockaddr_in sa = toSystemAddress<sockaddr_in>(to);
    return sendto(sock(s), static_cast<const char*>(data), len, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

int platRecvFrom(PlatSocket s, void* buf, int size, SockAddrIn* from) {
    sockaddr_in sa;
    int len = sizeof sa;
    memset(&sa, 0, sizeof sa);
    int n = recvfrom(sock(s), static_cast<char*>(buf), size, 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (from) fromSystemAddress(sa, from);
    return n;
}

int platSetNonBlocking(PlatSocket s) { return setBlocking(sock(s), false); }

void platCloseSocket(PlatSocket s) {
    if (s == PLAT_INVALID_SOCKET) return;
    forgetWaitBinding(sock(s));
    closesocket(sock(s));
}

// The idle wait of the transfer loops. The socket being waited on is tied
// once to an auto-reset event of the calling thread (WSAEventSelect,
// FD_READ), and stays tied: each wait is then one
// MsgWaitForMultipleObjectsEx, which wakes on that event or on input that
// reached the thread's queue since the thread last looked at it (the pump
// before the wait takes every message of the thread, so nothing it left
// behind can end a wait again and again). Winsock signals FD_READ again
// after each receive that leaves data behind, so a datagram is never
// missed; a signal left over from a datagram already received costs one
// early wake. WSAEventSelect leaves the socket non-blocking, as both
// callers have made it already. The wake mask: wait_internal.h.
namespace {

struct WaitBinding {
    SOCKET socket = INVALID_SOCKET;
    HANDLE event = nullptr;
};
thread_local WaitBinding t_wait;

void forgetWaitBinding(SOCKET s) {
    if (t_wait.socket == s) t_wait.socket = INVALID_SOCKET;
}
}  // namespace

bool platWaitSocketOrMessage(PlatSocket s, uint32_t ms) {
    const DWORD real = platWaitMs(ms);
    if (!t_wait.event) t_wait.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (t_wait.event && t_wait.socket != sock(s)) {
        if (WSAEventSelect(sock(s), t_wait.event, FD_READ) == 0) t_wait.socket = sock(s);
    }
    // Where the wait cannot watch the socket it sleeps, and says the socket
    // may be readable: the caller looks.
    if (t_wait.socket != sock(s)) {
        Sleep(real);
        return true;
    }
    DWORD woken = MsgWaitForMultipleObjectsEx(1, &t_wait.event, real, WAKE_MASK, 0);
    if (woken == WAIT_FAILED) {
        // Never a loop that stops sleeping: wait as a plain sleep would.
        Sleep(real);
        return true;
    }
    return woken == WAIT_OBJECT_0;
}

void platWaitMessage(uint32_t ms) {
    // Input already in the queue, seen or not, ends the wait at once.
    MsgWaitForMultipleObjectsEx(0, nullptr, waitTimeout(ms), WAKE_MASK, MWMO_INPUTAVAILABLE);
}

// This computer's addresses as name resolution gives them for its own host
// name, in that order.
int platLocalAddresses(uint32_t* table, int max) {
    char name[128];
    memset(name, 0, sizeof name);
    gethostname(name, 127);
    name[127] = '\0';
    hostent* host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || host->h_length != 4) return 0;
    int count = 0;
    for (char** a = host->h_addr_list; *a && count < max; ++a) {
        uint32_t addr;
        memcpy(&addr, *a, sizeof addr);
        table[count++] = ntohl(addr);
    }
    return count;
}
