// The front of the TFTP server: binds the UDP socket, waits behind the
// waiting window for the read request that names the expected file, and
// hands it to a transfer session; each session's outcome goes back to the
// run, which decides what follows.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tftp/tftp.h"
#include "ui/ui.h"

namespace {

// The waiting window, shown, with the heartbeat at 0. The text is set for
// the first stage only; after the Transition session the area stays empty.
PlatWindow openWaitingWindow(bool withText) {
    PlatWindow w = createWaitingWindow();
    platShowWindow(w);
    platProgressSetRange(w, IDC_PROGRESS, 0, TFTP_HEARTBEAT_STEPS);
    platProgressSetPos(w, IDC_PROGRESS, 0);
    if (withText) platSetItemText(w, IDC_WAITING_TEXT, WAITING_TEXT);
    return w;
}

// Nothing at all on the TFTP port for this long most often means that a
// firewall drops the device's datagrams: the waiting window's title says
// so, and the waiting goes on.
constexpr uint32_t FIREWALL_HINT_MS = 120000;
const char FIREWALL_HINT_TITLE[] = "No Request From ULX After 2 Minutes: Firewall Blocking TFTP?";

// A read request for the expected file from another address (a second
// interface of the device, an alias) is refused like any stranger's, and
// the title names the address that asked, so the user can enter that one.
void showRefusedRequest(PlatWindow w, uint32_t a, const RunSetup& setup) {
    char title[160];
    int n = snprintf(title, sizeof title, "Refused TFTP Request From %u.%u.%u.%u: Only ULX@%s Is Served", a >> 24,
                     (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff, setup.deviceAddressText);
    if (n < 0) title[0] = '\0';  // a cut title is still NUL-terminated
    platSetWindowText(w, title);
}

// The heartbeat moves TFTP_HEARTBEAT_STRIDE steps at a time.
constexpr uint32_t BEAT_MS = TFTP_HEARTBEAT_STEP_MS * TFTP_HEARTBEAT_STRIDE;

// Takes every pending message of the waiting window.
void pumpAll(PlatWindow w) {
    while (platPeekAndDispatch(w)) {}
}

}  // namespace

void tftpHandBack(TftpHandBack* handBack, TftpOutcome outcome, const char* reportedVersion) {
    std::unique_lock<std::mutex> hold(handBack->lock);
    handBack->changed.wait(hold, [handBack] { return !handBack->pending; });
    handBack->outcome = outcome;
    copyText(handBack->reportedVersion, sizeof handBack->reportedVersion, reportedVersion);
    handBack->pending = true;
    handBack->changed.notify_all();
}

TftpOutcome tftpAwaitOutcome(TftpHandBack* handBack, char* reportedVersion, int cap) {
    std::unique_lock<std::mutex> hold(handBack->lock);
    handBack->changed.wait(hold, [handBack] { return handBack->pending; });
    handBack->pending = false;
    copyText(reportedVersion, cap, handBack->reportedVersion);
    handBack->changed.notify_all();
    return handBack->outcome;
}

uint16_t startTftpListener(const RunSetup& setup, TftpHandBack* handBack) {
    TftpListener* listener = static_cast<TftpListener*>(calloc(1, sizeof(TftpListener)));
    if (!listener) failUpgrade("Upgrade Failed: Can't malloc for TFTP listener");

    listener->socket = platSocketUdp();
    if (listener->socket == PLAT_INVALID_SOCKET) failUpgrade("Upgrade Failed: Can't create TFTP listener socket");

    // Ports 69 to 168 in ascending order: the first one free is ours.
    uint16_t port = TFTP_FIRST_PORT;
    for (int failures = 0;;) {
        SockAddrIn local;
        fillSocketAddress(setup.localAddress, port, &local);
        if (platBind(listener->socket, &local) == 0) break;
        if (++failures >= TFTP_BIND_ATTEMPTS) failUpgrade("Upgrade Failed: Can't bind TFTP listener socket");
        ++port;
    }
    listener->setup = &setup;
    listener->localPort = port;
    listener->handBack = handBack;

    PlatThreadHandle thread = platStartThread(tftpListenerThread, listener);
    if (!thread) failUpgrade("Upgrade Failed: Can't start TFTP listener thread");
    platReleaseThread(thread);
    return port;
}

int tftpListenerThread(void* arg) {
    TftpListener* listener = static_cast<TftpListener*>(arg);
    PlatWindow window = openWaitingWindow(true);
    platSetNonBlocking(listener->socket);
    int tick = 0;
    // The name the Transition session was served under. A late copy of
    // that request must not fetch the Target image in its place before the
    // run has drawn the new name.
    char servedName[TFTP_FILE_NAME_SIZE] = "";
    uint32_t waitingSince = platClockMs();
    uint32_t nextBeat = waitingSince + BEAT_MS;
    bool heardOrHinted = false;
    uint32_t refusedShown = 0;  // the refused address the title names, 0: none

    // Whether a datagram may be waiting: the socket is read until it is
    // empty, and then only once the wait says something came.
    bool readable = true;
    for (;;) {
        SockAddrIn source;
        int received =
            readable ? platRecvFrom(listener->socket, listener->receiveBuffer, TFTP_PACKET_SIZE, &source) : 0;
        if (received <= 0) {
            // Idle: sleep until a datagram, a window message or the next
            // move of the heartbeat, which stays on the clock's pace
            // whatever woke the thread.
            int32_t left = static_cast<int32_t>(nextBeat - platClockMs());
            readable = left > 0 && platWaitSocketOrMessage(listener->socket, static_cast<uint32_t>(left));
            uint32_t now = platClockMs();
            if (static_cast<int32_t>(nextBeat - now) <= 0) {
                tick = (tick + TFTP_HEARTBEAT_STRIDE) % TFTP_HEARTBEAT_STEPS;
                platProgressSetPos(window, IDC_PROGRESS, tick);
                nextBeat += BEAT_MS;
                // Behind by a move or more (a busy machine): no burst to
                // catch up.
                if (static_cast<int32_t>(nextBeat - now) <= 0) nextBeat = now + BEAT_MS;
            }
            pumpAll(window);
            if (!heardOrHinted && platClockMs() - waitingSince >= FIREWALL_HINT_MS) {
                platSetWindowText(window, FIREWALL_HINT_TITLE);
                heardOrHinted = true;
                refusedShown = 0;
            }
            continue;
        }

        // WRQ, DATA, ACK, ERROR, unknown opcodes, datagrams too short to
        // hold an opcode, requests for another name and requests from any
        // host but the device get no reply.
        const char* name = readRequestFileName(listener->receiveBuffer, received);
        uint32_t peerAddress = 0;
        uint16_t peerPort = 0;
        readSocketAddress(&source, &peerAddress, &peerPort);
        char expected[TFTP_FILE_NAME_SIZE];
        getTftpFileName(expected, sizeof expected);
        if (name && peerAddress != listener->setup->deviceAddress) {
            // Refused, and not counted as heard: only the device's own
            // requests show that nothing blocks the port.
            if (strcmp(name, expected) == 0 && peerAddress != refusedShown) {
                showRefusedRequest(window, peerAddress, *listener->setup);
                refusedShown = peerAddress;
            }
            continue;
        }
        heardOrHinted = true;  // something reaches the port: no firewall in the way
        if (!name) continue;
        if (strcmp(name, expected) != 0 || strcmp(name, servedName) == 0) continue;

        platDestroyWindow(window);
        char reported[sizeof DeviceInfo::softwareVersion];
        bool verified = runTftpSession(*listener->setup, listener->socket, listener->localPort, peerAddress, peerPort,
                                       name, reported, sizeof reported);

        // Nothing is served after the Target image, nor after any failure:
        // a device that did not take the Transition image must not be sent
        // the Target image. The run hears how it ended.
        if (g_stage.load() == Stage::Target || !verified) {
            platCloseSocket(listener->socket);
            tftpHandBack(listener->handBack, verified ? TftpOutcome::TargetVerified : TftpOutcome::Failed, reported);
            return 0;
        }
        // The Transition image is delivered: the waiting window opens
        // again (with its own two minutes before the firewall hint) before
        // the run hears of it, switches the stage, draws the Target name
        // and sends the second upgrade request, which this loop then serves.
        copyText(servedName, sizeof servedName, expected);
        tick = 0;
        window = openWaitingWindow(false);
        waitingSince = platClockMs();
        nextBeat = waitingSince + BEAT_MS;
        heardOrHinted = false;
        refusedShown = 0;
        tftpHandBack(listener->handBack, TftpOutcome::TransitionVerified, reported);
    }
}
