// The device web client: every HTTP request to the device.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "web/http.h"

constexpr uint16_t FIRST_LOCAL_PORT = 23456;
constexpr uint16_t DEVICE_HTTP_PORT = 80;

// One GET of path on the device behind the connecting window, asking for
// a password when the device demands one. What the last exchange read:
// HTTP_ANSWERED with the answer in buffer (at most maxChars bytes, a NUL
// behind them), or HTTP_NO_ANSWER. Each exchange's result is stored
// (webStoreResult) before it is looked at. Cancel, an exchange that cannot
// be made at all, or a Digest challenge too long to answer ends the run.
// Each exchange tries to connect at most connectAttempts times.
HttpResult runDeviceRequest(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort,
                            const char* path, char* buffer, int maxChars, int connectAttempts = CONNECT_ATTEMPTS);
