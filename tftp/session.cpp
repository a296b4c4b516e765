// One transfer: the image of the current stage to the device that asked,
// one 512-byte block at a time in lock-step (RFC 1350), after the option
// acknowledgement (RFC 2347) that answers every accepted read request.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tftp/tftp.h"
#include "ui/ui.h"
#include "web/http.h"

// Block numbers travel in 16 bits, and the uploading window's progress
// range is set in 16 bits to the block count.
static_assert(TFTP_MAX_BLOCKS <= 0xffff);

namespace {

const char* stageWord() { return g_stage.load() == Stage::Target ? "Target" : "Transition"; }

void showProgressTitle(const TftpSession* session) {
    char title[192];
    int n = snprintf(title, sizeof title, "Uploading %s Firmware to ULX@%s %d/%d Bytes", stageWord(),
                     session->setup->deviceAddressText, static_cast<int>(session->bytesAcknowledged),
                     static_cast<int>(session->imageSize));
    if (n < 0) title[0] = '\0';  // a cut title is still NUL-terminated
    platSetWindowText(session->uploadingWindow, title);
}

// Block n starts at 512 * (n - 1) in the image.
const uint8_t* blockData(const FirmwareImage& image, uint32_t block) {
    return image.bytes + static_cast<size_t>(block - 1) * TFTP_BLOCK_SIZE;
}

// The packet in flight, once more or for the first time. A datagram that
// did not go out is lost as one dropped on the way would be: its
// retransmission at the end of the interval makes it good, and a send that
// keeps failing ends in the transfer's give-up. So the result is not
// acted on here.
void sendInFlight(TftpSession* session, const FirmwareImage& image, const SockAddrIn* peer) {
    if (session->blockInFlight == 0) {
        (void)sendOptionAck(session->socket, session->packet, peer, session->imageSize);
    } else {
        (void)sendDataBlock(session->socket, session->packet, blockData(image, session->blockInFlight),
                            session->sizeInFlight, static_cast<uint16_t>(session->blockInFlight), peer);
    }
}

// A read request for the session's file, while no DATA block has been
// acknowledged (the OACK or DATA 1 in flight): nothing of the image has
// reached the device, so the transfer can start over. Later the device
// keeps its port, and a new request is passed over.
bool restartsToward(const TftpSession* session, int received) {
    if (session->blockInFlight > 1) return false;
    const char* name = readRequestFileName(session->packet, received);
    return name && strcmp(name, session->fileName) == 0;
}

}  // namespace

bool runTftpSession(const RunSetup& setup, PlatSocket s, uint16_t localPort, uint32_t peerAddress, uint16_t peerPort,
                    const char* fileName, char* reportedVersion, int cap) {
    TftpSession* session = static_cast<TftpSession*>(calloc(1, sizeof(TftpSession)));
    if (!session) failUpgrade("Upgrade Failed: Can't malloc for TFTP session");
    session->socket = s;
    session->setup = &setup;
    session->localPort = localPort;
    session->peerAddress = peerAddress;
    session->peerPort = peerPort;
    copyText(session->fileName, sizeof session->fileName, fileName);
    // The version the device reported before this delivery (at the
    // identification, or at the Transition stage's verification).
    DeviceInfo before = webDeviceInfo();
    copyText(session->versionBefore, sizeof session->versionBefore, before.softwareVersion);

    session->imageSize = stageImage(setup).size;
    session->blockCount = session->imageSize / TFTP_BLOCK_SIZE + 1;
    session->lastBlockSize = session->imageSize % TFTP_BLOCK_SIZE;

    bool complete = transferImage(session);
    bool verified = waitAndVerify(session, complete);
    copyText(reportedVersion, cap, session->reportedVersion);
    free(session);
    return verified;
}

bool transferImage(TftpSession* session) {
    const FirmwareImage& image = stageImage(*session->setup);
    session->uploadingWindow = createUploadingWindow();
    PlatWindow window = session->uploadingWindow;
    platShowWindow(window);
    platProgressSetRange(window, IDC_PROGRESS, 0, static_cast<uint16_t>(session->blockCount));
    platSetNonBlocking(session->socket);

    // Every packet of the session goes to the read request's source, from
    // the listener's own port. The OACK answers the request whatever it
    // asked for.
    SockAddrIn peer;
    fillSocketAddress(session->peerAddress, session->peerPort, &peer);
    sendInFlight(session, image, &peer);
    // Whether a datagram may be waiting. Right after a send the answer is
    // not there yet: the thread waits first (the wait ends at once when it
    // has come meanwhile), then reads until the socket is empty. Looking
    // without sleeping costs more than it gains when the device's computer
    // is busy, and on two cores it takes the processor from the device.
    bool readable = false;

    // The retransmission interval runs on the clock, so that neither a
    // slow nor a flooded loop changes how long the device is given.
    uint32_t intervalStart = platClockMs();
    int intervals = 0;
    for (;;) {
        SockAddrIn source;
        int received = readable ? platRecvFrom(session->socket, session->packet, TFTP_PACKET_SIZE, &source) : 0;
        bool fromPeer = false;
        if (received <= 0) {
            platPeekAndDispatch(window);
        } else {
            uint32_t address = 0;
            uint16_t port = 0;
            readSocketAddress(&source, &address, &port);
            fromPeer = address == session->peerAddress && port == session->peerPort;
            if (address == session->peerAddress && port != session->peerPort && restartsToward(session, received)) {
                // The device gave up on its first port (our OACK or its ACK
                // was lost) and asks again from a new one, a new transfer
                // identifier (RFC 1350): the session starts over there.
                session->peerPort = port;
                fillSocketAddress(session->peerAddress, port, &peer);
                session->blockInFlight = 0;
                session->sizeInFlight = 0;
                platProgressSetPos(window, IDC_PROGRESS, 0);
                sendInFlight(session, image, &peer);
                readable = false;
                intervals = 0;
                intervalStart = platClockMs();
                continue;
            }
        }

        // Only what was received counts: an ACK is 4 bytes at least.
        bool ack = fromPeer && received >= 4 && readU16BE(session->packet) == TFTP_ACK;
        // The block in flight is compared whole: a number past 65,535 is
        // never acknowledged, so block numbers cannot wrap into old ones.
        if (ack && readU16BE(session->packet + 2) == session->blockInFlight) {
            ++session->blockInFlight;
            session->bytesAcknowledged += session->sizeInFlight;
            // The next block goes out before the window is updated, so the
            // device works on it while this thread draws.
            bool complete = session->blockInFlight > session->blockCount;
            if (!complete) {
                session->sizeInFlight =
                    session->blockInFlight == session->blockCount ? session->lastBlockSize : TFTP_BLOCK_SIZE;
                sendInFlight(session, image, &peer);
                readable = false;
            }
            intervals = 0;
            intervalStart = platClockMs();
            platProgressSetPos(window, IDC_PROGRESS, static_cast<int>(session->blockInFlight));
            showProgressTitle(session);
            if (complete) return true;
            continue;
        }

        // Any other ACK of the peer (a duplicate or a stale one) is passed
        // over at once: it never causes a resend (no Sorcerer's Apprentice),
        // and it does not stop the interval; nor does any other datagram:
        // the socket is read again at once. A pass that found the socket
        // empty waits for it or a window message, no longer than until the
        // resend is due: a device that is slow to answer costs this thread
        // a wake-up per answer, not one a millisecond (a thousand transfers
        // at once on one computer are slow answers, each of them).
        if (received <= 0) {
            uint32_t spent = platClockMs() - intervalStart;
            uint32_t waitMs = spent < TFTP_RETRANSMIT_INTERVAL_MS ? TFTP_RETRANSMIT_INTERVAL_MS - spent : 0;
            readable = platWaitSocketOrMessage(session->socket, waitMs);
        }
        uint32_t now = platClockMs();
        if (now - intervalStart >= TFTP_RETRANSMIT_INTERVAL_MS) {
            if (++intervals >= TFTP_GIVE_UP_INTERVALS) return false;
            sendInFlight(session, image, &peer);
            intervalStart = now;
        }
    }
}
