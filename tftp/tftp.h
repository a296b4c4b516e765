// Firmware delivery: the built-in TFTP server (read requests only, RFC 1350
// with the option acknowledgement of RFC 2347 carrying the options of
// RFC 2349), and the wait and verification that follow a transfer.
//
// Threads: startTftpListener and tftpAwaitOutcome run on the
// user-interface thread; everything else here runs on the listener thread,
// which owns the waiting and uploading windows and pumps them itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "control/base/base.h"
#include "platform/platform.h"

// ---------------------------------------------------------------- packets

enum TftpOpcode : uint16_t {
    TFTP_RRQ = 1,
    TFTP_WRQ = 2,
    TFTP_DATA = 3,
    TFTP_ACK = 4,
    TFTP_ERROR = 5,
    TFTP_OACK = 6,
};

constexpr int TFTP_BLOCK_SIZE = 512;
constexpr int TFTP_DATA_HEADER = 4;
// Every receive takes at most this many bytes; every packet buffer holds it.
constexpr int TFTP_PACKET_SIZE = 1024;
// The block count must fit the 16-bit block numbers of the wire ...
constexpr uint32_t TFTP_MAX_BLOCKS = 65535;
// ... so an image holds at most this many bytes (its last block is short):
// 33,553,919, the limit the build also puts on embedded images. Start-up
// refuses a larger one (mapImage).
constexpr uint32_t TFTP_MAX_IMAGE_SIZE = TFTP_MAX_BLOCKS * TFTP_BLOCK_SIZE - 1;

// Stores bits 15..8 of value in dst[0] and bits 7..0 in dst[1]; higher
// bits are dropped.
void writeU16BE(uint8_t* dst, uint32_t value);
// dst[0] * 256 + dst[1], both bytes unsigned.
uint16_t readU16BE(const uint8_t* src);

// Builds the option acknowledgement ("tsize" = imageSize, "timeout" = 5)
// at the start of packet (TFTP_PACKET_SIZE bytes) and sends it to `to` as one
// datagram. True when the datagram went out whole.
bool sendOptionAck(PlatSocket s, uint8_t* packet, const SockAddrIn* to, uint32_t imageSize);
// Builds DATA (opcode 3, block number, length bytes of data; length is cut
// to 512) in packet and sends the 4 + length bytes to `to`. True when the
// datagram went out whole.
bool sendDataBlock(PlatSocket s, uint8_t* packet, const uint8_t* data, uint32_t length, uint16_t block,
                   const SockAddrIn* to);
// The file name of a read request (opcode 1, then the name and its NUL),
// read only within the `length` bytes received: it points into packet.
// Null for any other datagram, and for a name whose NUL is not inside it.
const char* readRequestFileName(const uint8_t* packet, int length);

// ---------------------------------------------------------------- hand-back

// What the listener hands back to the run after each session.
enum class TftpOutcome : int {
    // The Transition image is delivered and verified; the listener goes on
    // waiting for the request of the Target image's name, once the run has
    // switched the stage and set that name.
    TransitionVerified = 0,
    // The Target image is delivered and verified; the listener has ended.
    TargetVerified = 1,
    // A session failed and has shown its message; the listener has ended.
    Failed = 2,
};

// The listener's outcomes on their way to the run: one at a time, handed
// over on the listener thread (tftpHandBack) and taken on the
// user-interface thread (tftpAwaitOutcome). Zero-filled before the
// listener starts; it lives until the process ends.
struct TftpHandBack {
    std::mutex lock;
    std::condition_variable changed;
    bool pending;         // guarded by lock: an outcome not taken yet
    TftpOutcome outcome;  // guarded by lock
    // guarded by lock: what the verifying status page reported, or empty
    char reportedVersion[sizeof DeviceInfo::softwareVersion];
};

// Hands an outcome over, after the one before it has been taken.
void tftpHandBack(TftpHandBack* handBack, TftpOutcome outcome, const char* reportedVersion);
// Waits for the next outcome (no bound: the listener's own bounds end
// every session) and takes it, with the reported version into out.
TftpOutcome tftpAwaitOutcome(TftpHandBack* handBack, char* reportedVersion, int cap);

// ---------------------------------------------------------------- listener

constexpr uint16_t TFTP_FIRST_PORT = 69;
constexpr int TFTP_BIND_ATTEMPTS = 100;  // ports 69 .. 168
// Heartbeat of the waiting window: 0 .. 999 and round again, one step
// each 16 ms on the clock (1000 steps in about 16 s).
constexpr int TFTP_HEARTBEAT_STEPS = 1000;
constexpr uint32_t TFTP_HEARTBEAT_STEP_MS = 16;
// On the waiting window's bar (191 dialog units, about 290 pixels) a pixel
// is 3.5 steps, 56 ms: the bar moves 20 steps (about six pixels) at a
// time, every 320 ms, and the listener sleeps in between until a datagram,
// a window message or the next move. The stride divides 1000.
constexpr int TFTP_HEARTBEAT_STRIDE = 20;

// The record handed to the listener thread; allocated zero-filled, it
// lives until the process ends.
struct TftpListener {
    // Read only. Its deviceAddress is the only host whose read requests
    // are served.
    const RunSetup* setup;
    uint16_t localPort;
    PlatSocket socket;       // shared with every session, closed at the end
    TftpHandBack* handBack;  // where each session's outcome goes
    uint8_t receiveBuffer[TFTP_PACKET_SIZE];
};

// Binds the server's UDP socket on the setup's local address (0: any) from
// port 69 upward, starts the listener thread and returns the bound port.
// Only the device at the setup's deviceAddress (the address the user
// entered) is served: the file name travels in clear text in the upgrade
// order, and another host asking for it first must get neither the image
// nor the verdict. setup must stay unchanged for the rest of the process.
// Each session's outcome goes to handBack. A failure to start ends the
// process (failUpgrade).
uint16_t startTftpListener(const RunSetup& setup, TftpHandBack* handBack);
// The listener thread: waits for the device's read request that names the
// expected file and serves it; hands each outcome back. After the
// Transition image it waits on, for the request of the Target image; after
// the Target image or any failed session it closes the socket and ends.
int tftpListenerThread(void* listener);

// ---------------------------------------------------------------- session

// The packet in flight is sent again after each interval of this length
// (on the clock) without its acknowledgement ...
constexpr uint32_t TFTP_RETRANSMIT_INTERVAL_MS = 100;
// ... and the transfer is given up at the end of this many intervals.
constexpr int TFTP_GIVE_UP_INTERVALS = 30;

// The record of one read request, allocated zero-filled when the request
// is accepted and freed when its session returns.
struct TftpSession {
    char fileName[TFTP_FILE_NAME_SIZE];  // recorded only
    uint8_t packet[TFTP_PACKET_SIZE];    // every datagram in and out
    const RunSetup* setup;               // its local and device addresses are the verification's ends
    uint32_t peerAddress;                // the read request's source: the transfer's peer
    uint16_t localPort;
    uint16_t peerPort;
    PlatSocket socket;       // the listener's; never opened or closed here
    uint32_t blockInFlight;  // 0: OACK in flight; n: DATA n in flight
    uint32_t imageSize;
    uint32_t blockCount;  // imageSize / 512 + 1, at most TFTP_MAX_BLOCKS
    uint32_t bytesAcknowledged;
    uint32_t lastBlockSize;      // imageSize % 512
    uint32_t sizeInFlight;       // data length of the DATA in flight
    PlatWindow uploadingWindow;  // opened by transferImage, closed by waitAndVerify
    // The software version the device reported before this delivery: a
    // status page that still shows it comes from a device not restarted yet.
    char versionBefore[sizeof DeviceInfo::softwareVersion];
    // What the verifying status page reported (empty when it gave none).
    char reportedVersion[sizeof DeviceInfo::softwareVersion];
};

// Serves one read request to its end: transfer of the current stage's
// image, wait, verification of the device at the setup's deviceAddress.
// True when the device reported the delivered image's version (or, for the
// phone product, its status page), with what that page reported in
// reportedVersion; false once an "Upgrade Failed: ..." message has been
// shown.
bool runTftpSession(const RunSetup& setup, PlatSocket s, uint16_t localPort, uint32_t peerAddress, uint16_t peerPort,
                    const char* fileName, char* reportedVersion, int cap);
// The lock-step transfer loop behind the uploading window, which it leaves
// open. A read request for the file from the peer's address but a new port,
// while no DATA block has been acknowledged, starts the transfer over
// toward that port. True when every block was acknowledged.
bool transferImage(TftpSession* session);

// ---------------------------------------------------------------- verification

// The device's time to write the image and restart: 937 units of 32 ms.
constexpr uint32_t TFTP_WAIT_UNITS = 937;
constexpr int TFTP_CLOCK_UNIT_SHIFT = 5;             // milliseconds >> 5: 32 ms units
constexpr uint32_t TFTP_CLOCK_UNIT_WRAP = 1u << 27;  // 2^32 ms >> 5
// The uploading window's bar (242 dialog units, about 360 pixels) gains a
// pixel each 2.6 units: it moves every 10 units (320 ms, about four
// pixels), and in between the thread sleeps until then or a window message.
constexpr uint32_t TFTP_WAIT_STRIDE_UNITS = 10;

// Real devices may need longer than the wait to write flash and restart:
// the status page is asked for until an attempt that began at least this
// long after the wait has had its answer, so that a device back within
// 90 s after the wait is still verified.
constexpr uint32_t TFTP_VERIFY_WINDOW_MS = 90000;
// Attempts begin at least this far apart (start to start). A restarting
// device refuses connections at once; back to back, ten attempts would be
// spent in milliseconds. Ten attempts fit the window (at 0, 10, ..., 90 s).
// Between attempts the connecting window stays up, with its Cancel.
constexpr uint32_t TFTP_VERIFY_SPACING_MS = 10000;
// Each attempt makes one connection (21 s at most to an absent host)
// instead of a request's usual ten: the attempts themselves are the
// repetition. An attempt that is running when the window ends is followed
// by one more at most, so an unreachable device costs about 90 s + 2 x 21 s
// (plus the exchange's own read bounds, when a connection is accepted)
// instead of 10 x 10 x 21 s.
constexpr int TFTP_VERIFY_CONNECTS = 1;

// The wait (always in full), then the verification: only a status page
// counts as the device's answer ("HTTP/1.1 200" holding the device's
// labels, and "Software Version:" unless this is the phone product), and
// its version is compared with the delivered image's. A page still showing
// the version from before the delivery is a device not restarted yet: the
// attempts go on, and "Version not matching" follows only when the window
// ends on it; any other version is refused at once. Closes the uploading
// window. True when verified (what the page reported in the session's
// reportedVersion), false after a failure message.
bool waitAndVerify(TftpSession* session, bool complete);
