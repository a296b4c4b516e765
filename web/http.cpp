// One HTTP/1.1 GET against the device over a fresh TCP connection.
#include "web/http.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

WebState g_webState;

namespace {

struct FieldLabel {
    const char* label;
    size_t offset;
};

// Searched in this order, each into its own DeviceInfo field.
const FieldLabel FIELDS[] = {
    {"Product Name:", offsetof(DeviceInfo, productName)},
    {"MAC Address:", offsetof(DeviceInfo, macAddress)},
    {"Software Version:", offsetof(DeviceInfo, softwareVersion)},
    {"Hardware Version:", offsetof(DeviceInfo, hardwareVersion)},
    {"Serial Number:", offsetof(DeviceInfo, serialNumber)},
};
constexpr int FIELD_MAX_CHARS = 127;

// The request: request line, Host, the Authorization line once the user
// has given a password, and the blank line. Nothing else. The length, or
// -1 when it does not fit the buffer.
int composeRequest(const char* path, uint32_t device, char* buffer, int maxChars) {
    int length = 0;
    bool ok = appendFormat(buffer, maxChars + 1, &length, "GET %s HTTP/1.1\r\nHost: %u.%u.%u.%u\r\n", path,
                           device >> 24, (device >> 16) & 0xff, (device >> 8) & 0xff, device & 0xff);
    ok = ok && webAppendAuthorization(path, buffer, maxChars + 1, &length);
    ok = ok && appendFormat(buffer, maxChars + 1, &length, "\r\n");
    return ok ? length : -1;
}

// A TCP socket bound from localPort upward and connected to the device, or
// PLAT_INVALID_SOCKET with *failure left as it was when the connection was
// refused or timed out, or set when no exchange can be made at all.
PlatSocket connectToDevice(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort,
                           int* failure) {
    PlatSocket s = platSocketTcp();
    if (s == PLAT_INVALID_SOCKET) {
        *failure = HTTP_NO_SOCKET;
        return PLAT_INVALID_SOCKET;
    }
    SockAddrIn address;
    uint16_t port = localPort;
    for (int failures = 0;;) {
        fillSocketAddress(localAddress, port, &address);
        if (platBind(s, &address) == 0) break;
        if (++failures == BIND_ATTEMPTS) {
            platCloseSocket(s);
            *failure = HTTP_NO_BIND;
            return PLAT_INVALID_SOCKET;
        }
        port = static_cast<uint16_t>(port + 1);
    }
    fillSocketAddress(deviceAddress, devicePort, &address);
    if (platConnect(s, &address, CONNECT_TIMEOUT_MS) != 0) {
        platCloseSocket(s);
        return PLAT_INVALID_SOCKET;
    }
    return s;
}

}  // namespace

DeviceInfo webDeviceInfo() {
    std::lock_guard<std::mutex> hold(g_webState.lock);
    return g_webState.device;
}

void webStoreCredentials(const char* userName, const char* password) {
    std::lock_guard<std::mutex> hold(g_webState.lock);
    DigestState& digest = g_webState.digest;
    // A control character cannot travel in the quoted user name, so it is
    // not kept: the digest is over the name as it is sent.
    int n = 0;
    for (const char* c = userName; *c != '\0' && n < 126; ++c)
        if (static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7f) digest.userName[n++] = *c;
    digest.userName[n] = '\0';
    copyText(digest.password, 127, password);
}

WebAuthState webAuthState() {
    std::lock_guard<std::mutex> hold(g_webState.lock);
    return WebAuthState{g_webState.digest.password[0] != '\0', g_webState.digest.nonceCount};
}

bool webAppendAuthorization(const char* path, char* out, int cap, int* length) {
    std::lock_guard<std::mutex> hold(g_webState.lock);
    DigestState& digest = g_webState.digest;
    if (digest.password[0] == '\0') return true;
    // The uri holds 127 characters; the paths sent are far shorter.
    digest.nonceCount++;
    copyText(digest.uri, sizeof digest.uri, path);
    char line[AUTHORIZATION_LINE_SIZE];
    buildAuthorization(&digest, line, sizeof line);
    return appendFormat(out, cap, length, "%s", line);
}

bool webTakeAnswer(const char* answer) {
    std::lock_guard<std::mutex> hold(g_webState.lock);
    if (classifyResponse(answer, &g_webState.digest) == RESPONSE_CHALLENGE) return true;
    for (const FieldLabel& f : FIELDS) {
        char* field = reinterpret_cast<char*>(&g_webState.device) + f.offset;
        extractField(answer, f.label, field, FIELD_MAX_CHARS);
    }
    return false;
}

ResponseKind classifyResponse(const char* text, DigestState* state) {
    if (strncmp(text, "HTTP/1.1", 8) != 0) return RESPONSE_NOT_HTTP_1_1;
    const char* p = text + 8;
    if (*p == '\0') return RESPONSE_NO_STATUS;
    ++p;  // the blank after the version, whatever it is
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') return RESPONSE_NO_STATUS;
    if (strncmp(p, "200", 3) == 0) return RESPONSE_OK;
    if (strncmp(p, "401", 3) != 0) return RESPONSE_OTHER;
    const char* header = strstr(p, "WWW-Authenticate:");
    if (!header) return RESPONSE_OTHER;
    return parseChallenge(header, state) ? RESPONSE_CHALLENGE : RESPONSE_OTHER;
}

char* extractField(const char* text, const char* label, char* dest, int maxChars) {
    const char* p = strstr(text, label);
    if (!p) return nullptr;
    // Skip the run of tags that follows the label: the value is the first
    // text between tags.
    do {
        p = strchr(p, '>');
        if (!p) return nullptr;
        ++p;
    } while (*p == '<');
    int n = 0;
    while (n < maxChars && p[n] != '\0' && p[n] != '<') ++n;
    memcpy(dest, p, static_cast<size_t>(n));
    dest[n] = '\0';
    return dest;
}

int countDeviceLabels(const char* text) {
    int found = 0;
    for (const FieldLabel& f : FIELDS)
        if (strstr(text, f.label)) ++found;
    return found;
}

void describeAnswer(const char* text, char* out, int cap, int maxChars) {
    if (cap <= 0) return;
    int limit = maxChars < cap - 1 ? maxChars : cap - 1;
    int n = 0;
    for (; n < limit && text[n] != '\0' && text[n] != '\r' && text[n] != '\n'; ++n) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        out[n] = c < 0x20 || c == 0x7f ? '?' : text[n];
    }
    out[n] = '\0';
    if (n == 0) copyText(out, cap, "(empty)");
}

int httpGet(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort, const char* path,
            char* buffer, int maxChars, int connectAttempts) {
    if (maxChars <= 0) return HTTP_NO_ANSWER;
    PlatSocket s = PLAT_INVALID_SOCKET;
    int failure = HTTP_NO_ANSWER;
    for (int attempt = 0; attempt < connectAttempts && s == PLAT_INVALID_SOCKET && failure == HTTP_NO_ANSWER; ++attempt)
        s = connectToDevice(localAddress, localPort, deviceAddress, devicePort, &failure);
    if (s == PLAT_INVALID_SOCKET) return failure;

    int length = composeRequest(path, deviceAddress, buffer, maxChars);
    if (length < 0) {
        platCloseSocket(s);
        buffer[0] = '\0';
        return HTTP_NO_ANSWER;
    }
    platSend(s, buffer, length);

    // Read until the device closes the connection or the buffer is full;
    // silence or a drip beyond the bounds makes the attempt a failed one.
    int total = 0;
    buffer[0] = '\0';
    const uint32_t start = platClockMs();
    while (total < maxChars) {
        uint32_t spent = platClockMs() - start;
        uint32_t wait = spent >= ANSWER_TOTAL_MS ? 0 : ANSWER_TOTAL_MS - spent;
        if (wait > ANSWER_SILENCE_MS) wait = ANSWER_SILENCE_MS;
        int n = wait > 0 ? platRecvWithin(s, buffer + total, maxChars - total, wait) : PLAT_RECV_TIMED_OUT;
        if (n == PLAT_RECV_TIMED_OUT) {
            total = 0;
            buffer[0] = '\0';
            break;
        }
        if (n <= 0) break;
        total += n;
        buffer[total] = '\0';
    }
    bool refused = total > 0 && webTakeAnswer(buffer);
    platCloseSocket(s);
    if (refused) return HTTP_REFUSED;
    return total;
}
