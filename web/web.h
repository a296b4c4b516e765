// The device web client: every HTTP request to the device.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "web/http.h"

constexpr uint16_t FIRST_LOCAL_PORT = 23456;
constexpr uint16_t DEVICE_HTTP_PORT = 80;

// One GET of path on the device behind the connecting window, asking for
// a password when the device demands one. The number of bytes received
// (0 when the device gave no answer); Cancel ends the process. Each
// exchange tries to connect at most connectAttempts times.
int runDeviceRequest(PlatInstance instance, uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress,
                     uint16_t devicePort, const char* path, char* buffer, int capacity,
                     int connectAttempts = CONNECT_ATTEMPTS);
