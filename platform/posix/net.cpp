// IPv4 sockets over the Berkeley socket interface.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/posix/clock_internal.h"
#include "platform/posix/thread_queue.h"
#include "platform/sockaddr_convert.h"

namespace {
timespec nanosToTimespec(long ns) { return timespec{static_cast<time_t>(ns / 1000000000L), ns % 1000000000L}; }
}  // namespace

uint32_t platHtonl(uint32_t v) { return htonl(v); }
uint16_t platHtons(uint16_t v) { return htons(v); }
uint32_t platNtohl(uint32_t v) { return ntohl(v); }
uint16_t platNtohs(uint16_t v) { return ntohs(v); }

const char* platNetStartup() {
    // A peer that closes early must not end the process through SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    return nullptr;
}

PlatSocket platSocketTcp() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
PlatSocket platSocketUdp() { return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

int platBind(PlatSocket s, const SockAddrIn* local) {
    sockaddr_in sa = toSystemAddress<sockaddr_in>(local);
    return bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int platBindClient(PlatSocket s, const SockAddrIn* local) {
    int one = 1;
    if (setsockopt(static_cast<int>(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return -1;
    return platBind(s, local);
}

// A blocking connect as the caller sees it, but given up after timeoutMs:
// connect without blocking, wait for the outcome, then block again.
int platConnect(PlatSocket s, const SockAddrIn* remote, uint32_t timeoutMs) {
    int fd = static_cast<int>(s);
    sockaddr_in sa = toSystemAddress<sockaddr_in>(remote);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int err = rc == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        timespec ts = nanosToTimespec(static_cast<long>(timeoutMs) * 1000000L);
        int n;
        do { n = ppoll(&p, 1, &ts, nullptr); } while (n < 0 && errno == EINTR);
        socklen_t len = sizeof err;
        if (n != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = ETIMEDOUT;
    }
    fcntl(fd, F_SETFL, flags);
    // The pair of addresses is taken: by a connection of ours to this peer,
    // or one in TIME_WAIT.
    if (err == EADDRNOTAVAIL || err == EADDRINUSE) return PLAT_CONNECT_IN_USE;
    return err == 0 ? 0 : -1;
}

int platSend(PlatSocket s, const void* data, int len) {
    return static_cast<int>(send(static_cast<int>(s), data, static_cast<size_t>(len), MSG_NOSIGNAL));
}

int platRecv(PlatSocket s, void* buf, int size) {
    ssize_t n;
    do { n = recv(static_cast<int>(s), buf, static_cast<size_t>(size), 0); } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int platRecvWithin(PlatSocket s, void* buf, int size, uint32_t timeoutMs) {
    int fd = static_cast<int>(s);
    timespec left = nanosToTimespec(platWaitNanos(timeoutMs));
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        timespec before;
        clock_gettime(CLOCK_MONOTONIC, &before);
        int n = ppoll(&p, 1, &left, nullptr);
        if (n == 0) return PLAT_RECV_TIMED_OUT;
        if (n < 0 && errno != EINTR) return -1;
        if (n > 0) {
            ssize_t got = recv(fd, buf, static_cast<size_t>(size), MSG_DONTWAIT);
            if (got >= 0) return static_cast<int>(got);
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        }
        // Interrupted, or readable without data after all: wait on for
        // what is left of the time.
        timespec after;
        clock_gettime(CLOCK_MONOTONIC, &after);
        long spent = (after.tv_sec - before.tv_sec) * 1000000000L + (after.tv_nsec - before.tv_nsec);
        long remaining = left.tv_sec * 1000000000L + left.tv_nsec - spent;
        if (remaining <= 0) return PLAT_RECV_TIMED_OUT;
        left = nanosToTimespec(remaining);
    }
}

int platSendTo(PlatSocket s, const void* data, int len, const SockAddrIn* to) {
    sockaddr_in sa = toSystemAddress<sockaddr_in>(to);
    return static_cast<int>(sendto(static_cast<int>(s), data, static_cast<size_t>(len), MSG_NOSIGNAL,
                                   reinterpret_cast<sockaddr*>(&sa), sizeof sa));
}

int platRecvFrom(PlatSocket s, void* buf, int size, SockAddrIn* from) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    memset(&sa, 0, sizeof sa);
    ssize_t n =
        recvfrom(static_cast<int>(s), buf, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (from) fromSystemAddress(sa, from);
    return static_cast<int>(n);
}

int platSetNonBlocking(PlatSocket s) {
    int fd = static_cast<int>(s);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

void platCloseSocket(PlatSocket s) {
    if (s != PLAT_INVALID_SOCKET) close(static_cast<int>(s));
}

