// One HTTP/1.1 GET against the device over a fresh TCP connection.
#include "web/http.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ui/ui.h"

namespace {

std::mutex g_webLock;

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
int composeRequest(const char* path, uint32_t device, char* buffer, int capacity) {
    int length = 0;
    bool ok = appendFormat(buffer, capacity + 1, &length, "GET %s HTTP/1.1\r\nHost: %u.%u.%u.%u\r\n", path,
                           device >> 24, (device >> 16) & 0xff, (device >> 8) & 0xff, device & 0xff);
    if (!ok) return -1;
    std::lock_guard<std::mutex> hold(g_webLock);
    if (g_digestState.password[0] != '\0') {
        // The uri holds 127 characters; the paths sent are far shorter.
        g_digestState.nonceCount++;
        copyText(g_digestState.uri, sizeof g_digestState.uri, path);
        char line[AUTHORIZATION_LINE_SIZE];
        buildAuthorization(&g_digestState, line, sizeof line);
        ok = appendFormat(buffer, capacity + 1, &length, "%s", line);
    }
    ok = ok && appendFormat(buffer, capacity + 1, &length, "\r\n");
    return ok ? length : -1;
}

}  // namespace

void lockWebState() { g_webLock.lock(); }
void unlockWebState() { g_webLock.unlock(); }

void setDigestCredentials(const char* userName, const char* password) {
    std::lock_guard<std::mutex> hold(g_webLock);
    // A control character cannot travel in the quoted user name, so it is
    // not kept: the digest is over the name as it is sent.
    int n = 0;
    for (const char* c = userName; *c != '\0' && n < 126; ++c)
        if (static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7f) g_digestState.userName[n++] = *c;
    g_digestState.userName[n] = '\0';
    copyText(g_digestState.password, 127, password);
}

void fillSocketAddress(uint32_t address, uint16_t port, SockAddrIn* out) {
    out->family = PLAT_AF_INET;
    out->addr = platHtonl(address);
    out->port = platHtons(port);
}

void readSocketAddress(const SockAddrIn* in, uint32_t* address, uint16_t* port) {
    *address = platNtohl(in->addr);
    *port = platNtohs(in->port);
}

PlatSocket connectToDevice(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort) {
    PlatSocket s = platSocketTcp();
    if (s == PLAT_INVALID_SOCKET) {
        reportError("Upgrade Failed: Can't open HTTP socket");
        platExitProcess(0);
    }
    SockAddrIn address;
    uint16_t port = localPort;
    for (int failures = 0;;) {
        fillSocketAddress(localAddress, port, &address);
        if (platBind(s, &address) == 0) break;
        if (++failures == BIND_ATTEMPTS) {
            reportError("Upgrade Failed: Can't bind HTTP socket");
            platExitProcess(0);
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

int classifyResponse(const char* text, DigestState* state) {
    if (strncmp(text, "HTTP/1.1", 8) != 0) return -1;
    const char* p = text + 8;
    if (*p == '\0') return -2;
    ++p;  // the blank after the version, whatever it is
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') return -2;
    if (strncmp(p, "200", 3) == 0) return 0;
    if (strncmp(p, "401", 3) != 0) return 2;
    const char* header = strstr(p, "WWW-Authenticate:");
    if (!header) return 2;
    return parseChallenge(header, state) == 0 ? 1 : 2;
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

int httpGet(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort,
            const char* path, char* buffer, int capacity, int connectAttempts) {
    if (capacity <= 0) return 0;
    PlatSocket s = PLAT_INVALID_SOCKET;
    for (int attempt = 0; attempt < connectAttempts && s == PLAT_INVALID_SOCKET; ++attempt)
        s = connectToDevice(localAddress, localPort, deviceAddress, devicePort);
    if (s == PLAT_INVALID_SOCKET) return 0;

    int length = composeRequest(path, deviceAddress, buffer, capacity);
    if (length < 0) {
        platCloseSocket(s);
        buffer[0] = '\0';
        return 0;
    }
    platSend(s, buffer, length);

    // Read until the device closes the connection or the buffer is full;
    // silence or a drip beyond the bounds makes the attempt a failed one.
    int total = 0;
    buffer[0] = '\0';
    const uint32_t start = platClockMs();
    while (total < capacity) {
        uint32_t spent = platClockMs() - start;
        uint32_t wait = spent >= ANSWER_TOTAL_MS ? 0 : ANSWER_TOTAL_MS - spent;
        if (wait > ANSWER_SILENCE_MS) wait = ANSWER_SILENCE_MS;
        int n = wait > 0 ? platRecvWithin(s, buffer + total, capacity - total, wait) : PLAT_RECV_TIMED_OUT;
        if (n == PLAT_RECV_TIMED_OUT) {
            total = 0;
            buffer[0] = '\0';
            break;
        }
        if (n <= 0) break;
        total += n;
        buffer[total] = '\0';
    }
    if (total == 0) {
        platCloseSocket(s);
        return 0;
    }

    {
        std::lock_guard<std::mutex> hold(g_webLock);
        if (classifyResponse(buffer, &g_digestState) == 1) {
            platCloseSocket(s);
            return -1;
        }
        for (const FieldLabel& f : FIELDS) {
            char* field = reinterpret_cast<char*>(&g_deviceInfo) + f.offset;
            extractField(buffer, f.label, field, FIELD_MAX_CHARS);
        }
    }
    platCloseSocket(s);
    return total;
}
