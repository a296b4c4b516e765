// Firmware delivery: the built-in TFTP server.
#pragma once

#include <cstdint>

// Binds the server's UDP socket on the local address from port 69 upward,
// starts the listener thread and returns the bound port. Every failure
// ends the process.
uint16_t startTftpListener(uint32_t localAddress);
