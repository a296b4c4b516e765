// The device's TFTP client (RFC 1350, options of RFC 2347/2349): one read
// request, the option acknowledgement, then DATA blocks in lock-step, with
// the fault switches that make it misbehave on purpose.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "log.h"

namespace sim {

struct TftpFaults {
    bool neverAckOack = false;
    long stopAckAt = 0;     // no acknowledgement from DATA block N on (0: off)
    long dropAckEvery = 0;  // every Nth acknowledgement is left out (0: off)
    bool duplicateAcks = false;
    bool foreignPortAck = false;
    long repeatRrqAt = 0;     // send the read request again when DATA block N arrives (0: off)
    long dallyMs = 1000;      // stay this long after the last ACK, to repeat it should the server repeat the last block
    bool rrqNewPort = false;  // the first OACK is lost; the read request goes again from a fresh socket
};

struct TftpResult {
    bool complete = false;
    std::string error;  // why not, when not complete
    std::vector<uint8_t> image;
    std::string sha256;
};

// Fetches fileName from server:port, sending from a fresh UDP port on the
// local address. Logs the read request, the option acknowledgement and a
// summary (tftp_done). onLastBlock runs as soon as the last block is
// acknowledged; the client then stays faults.dallyMs to acknowledge it
// again should the server repeat it. Returns early, incomplete, once stop is set.
TftpResult fetchImage(Log& log, const TftpFaults& faults, const std::atomic<bool>& stop, uint32_t localAddress,
                      uint32_t serverAddress, uint16_t serverPort, const std::string& fileName,
                      const std::function<void()>& onLastBlock);

}  // namespace sim
