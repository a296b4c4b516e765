// One HTTP/1.1 GET against the device over a fresh TCP connection.
#include "web/http.h"

#include <cstddef>
#include <cstdint>
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
// refused or timed out, or set when no exchange can be made at all. A port
// is passed over when it does not bind, or when connect() finds it already
// has a connection to the device (one of ours in TIME_WAIT after a server
// that keeps connections open, or another program's of the same fleet):
// 101 ports at most, each with a socket of its own.
PlatSocket connectToDevice(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort,
                           HttpStatus* failure) {
    SockAddrIn local, device;
    fillSocketAddress(deviceAddress, devicePort, &device);
    for (int tried = 0; tried < BIND_ATTEMPTS; ++tried) {
        PlatSocket s = platSocketTcp();
        if (s == PLAT_INVALID_SOCKET) {
            *failure = HTTP_NO_SOCKET;
            return PLAT_INVALID_SOCKET;
        }
        fillSocketAddress(localAddress, static_cast<uint16_t>(localPort + tried), &local);
        if (platBindClient(s, &local) != 0) {
            platCloseSocket(s);
            continue;
        }
        int connected = platConnect(s, &device, CONNECT_TIMEOUT_MS);
        if (connected == 0) return s;
        platCloseSocket(s);
        if (connected != PLAT_CONNECT_IN_USE) return PLAT_INVALID_SOCKET;
    }
    *failure = HTTP_NO_BIND;
    return PLAT_INVALID_SOCKET;
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

DeviceFields readDeviceFields(const char* text) {
    DeviceFields fields{};
    for (unsigned i = 0; i < sizeof FIELDS / sizeof FIELDS[0]; ++i) {
        char* field = reinterpret_cast<char*>(&fields.info) + FIELDS[i].offset;
        if (extractField(text, FIELDS[i].label, field, FIELD_MAX_CHARS)) fields.found |= 1u << i;
    }
    return fields;
}

void webStoreResult(const HttpResult& result) {
    std::lock_guard<std::mutex> hold(g_webState.lock);
    if (result.status == HTTP_REFUSED && result.challenge) classifyResponse(result.challenge, &g_webState.digest);
    if (result.status != HTTP_ANSWERED) return;
    for (unsigned i = 0; i < sizeof FIELDS / sizeof FIELDS[0]; ++i) {
        if (!(result.fields.found & (1u << i))) continue;
        char* to = reinterpret_cast<char*>(&g_webState.device) + FIELDS[i].offset;
        const char* from = reinterpret_cast<const char*>(&result.fields.info) + FIELDS[i].offset;
        copyText(to, FIELD_MAX_CHARS + 1, from);
    }
}

ResponseKind classifyResponse(const char* text, DigestState* challenge) {
    if (strncmp(text, "HTTP/1.", 7) != 0 || text[7] < '0' || text[7] > '9') return RESPONSE_NOT_HTTP_1;
    const char* p = text + 8;
    if (*p == '\0') return RESPONSE_NO_STATUS;
    ++p;  // the blank after the version, whatever it is
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') return RESPONSE_NO_STATUS;
    if (strncmp(p, "200", 3) == 0) return RESPONSE_OK;
    if (strncmp(p, "401", 3) != 0) return RESPONSE_OTHER;
    const char* header = findChallengeHeader(p);
    if (!header) return RESPONSE_OTHER;
    bool tooLong = false;
    if (parseChallenge(header, challenge, &tooLong)) return RESPONSE_CHALLENGE;
    return tooLong ? RESPONSE_CHALLENGE_TOO_LONG : RESPONSE_OTHER;
}

bool isStatusPage(const char* answer) {
    DigestState unused{};  // a 200 answer leaves it alone
    return classifyResponse(answer, &unused) == RESPONSE_OK && countDeviceLabels(answer) > 0;
}

namespace {

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hexValue(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

bool sameIgnoringCase(const char* text, int length, const char* word) {
    if (static_cast<size_t>(length) != strlen(word)) return false;
    for (int i = 0; i < length; ++i)
        if ((text[i] | 0x20) != (word[i] | 0x20) || (text[i] >= 0 && text[i] < 0x20)) return false;
    return true;
}

// The header line's value without the blanks and tabs around it.
void trimBlanks(const char** begin, const char** end) {
    while (*begin < *end && (**begin == ' ' || **begin == '\t')) ++*begin;
    while (*end > *begin && ((*end)[-1] == ' ' || (*end)[-1] == '\t' || (*end)[-1] == '\r')) --*end;
}

// Where the head ends: behind the first empty line (CR LF or a bare LF,
// RFC 9112 section 2.2), searched from `from`; 0 when it has not arrived.
int findHeadEnd(const char* text, int length, int from) {
    for (int i = from; i < length; ++i) {
        if (text[i] != '\n') continue;
        if (i + 1 < length && text[i + 1] == '\n') return i + 2;
        if (i + 2 < length && text[i + 1] == '\r' && text[i + 2] == '\n') return i + 3;
    }
    return 0;
}

// Reads Content-Length and Transfer-Encoding from the head's lines (after
// the status line). Content-Length must be digits only, and the same on
// every line that gives it; otherwise it is not used and only the close
// ends the answer, as for any answer without it. Transfer-Encoding
// overrides it: its last coding "chunked" gives a chunked body, any other
// coding a body that the close ends.
void readFraming(const char* head, int length, AnswerFrame* frame) {
    long contentLength = -1;
    bool lengthUsable = true, encoded = false, chunked = false;
    const char* end = head + length;
    const char* line = static_cast<const char*>(memchr(head, '\n', static_cast<size_t>(length)));
    while (line != nullptr && ++line < end) {
        const char* lineEnd = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
        if (lineEnd == nullptr) lineEnd = end;
        const char* colon = static_cast<const char*>(memchr(line, ':', static_cast<size_t>(lineEnd - line)));
        if (colon != nullptr) {
            const char* value = colon + 1;
            const char* valueEnd = lineEnd;
            trimBlanks(&value, &valueEnd);
            int nameLength = static_cast<int>(colon - line);
            if (sameIgnoringCase(line, nameLength, "Content-Length")) {
                long n = 0;
                bool digits = value < valueEnd;
                for (const char* c = value; c < valueEnd && digits; ++c) {
                    digits = *c >= '0' && *c <= '9';
                    if (n < RESPONSE_BUFFER_SIZE) n = n * 10 + (*c - '0');  // beyond any buffer: only more
                }
                if (!digits || (contentLength >= 0 && contentLength != n)) lengthUsable = false;
                contentLength = n;
            } else if (sameIgnoringCase(line, nameLength, "Transfer-Encoding")) {
                const char* coding = valueEnd;
                while (coding > value && coding[-1] != ',') --coding;
                trimBlanks(&coding, &valueEnd);
                encoded = true;
                chunked = sameIgnoringCase(coding, static_cast<int>(valueEnd - coding), "chunked");
            }
        }
        line = lineEnd < end ? lineEnd : nullptr;
    }
    frame->chunked = encoded && chunked;
    frame->contentLength = encoded || !lengthUsable ? -1 : static_cast<int>(contentLength);
}

}  // namespace

int answerLength(const char* text, int length, AnswerFrame* frame) {
    if (frame->headLength == 0) {
        // Only the newly arrived bytes are searched, with the two before
        // them, where an empty line may have begun.
        int from = frame->headSearched > 2 ? frame->headSearched - 2 : 0;
        frame->headLength = findHeadEnd(text, length, from);
        frame->headSearched = length;
        if (frame->headLength == 0) return 0;
        readFraming(text, frame->headLength, frame);
    }
    const char* body = text + frame->headLength;
    int bodyLength = length - frame->headLength;
    if (frame->chunked) {
        // Whole chunks already checked are not read again.
        ChunkedBody b = decodeChunked(body + frame->chunksRead, bodyLength - frame->chunksRead, nullptr);
        if (b.state == CHUNKED_BROKEN) return -1;
        if (b.state == CHUNKED_COMPLETE) return frame->headLength + frame->chunksRead + b.used;
        frame->chunksRead += b.used;
        return 0;
    }
    if (frame->contentLength >= 0 && bodyLength >= frame->contentLength)
        return frame->headLength + frame->contentLength;
    return 0;
}

ChunkedBody decodeChunked(const char* body, int length, char* out) {
    // A chunk's size beyond this cannot be in any buffer; it is kept there.
    constexpr int64_t SIZE_CEILING = 0x10000000;
    int at = 0, decoded = 0;
    for (;;) {
        int p = at;
        int64_t size = 0;
        for (; p < length && isHexDigit(body[p]); ++p)
            size = size >= SIZE_CEILING ? SIZE_CEILING : size * 16 + hexValue(body[p]);
        if (p == length) return {CHUNKED_INCOMPLETE, at, decoded};
        if (p == at) return {CHUNKED_BROKEN, at, decoded};
        while (p < length && (body[p] == ' ' || body[p] == '\t')) ++p;
        if (p < length && body[p] == ';') {  // extensions: passed over, no control characters
            while (p < length && body[p] != '\r' && (body[p] == '\t' || static_cast<unsigned char>(body[p]) >= 0x20))
                ++p;
        }
        if (p + 1 >= length) return {CHUNKED_INCOMPLETE, at, decoded};
        if (body[p] != '\r' || body[p + 1] != '\n') return {CHUNKED_BROKEN, at, decoded};
        p += 2;

        if (size == 0) {
            // The trailer lines, passed over, up to the empty line.
            for (;;) {
                if (p + 1 >= length) return {CHUNKED_INCOMPLETE, at, decoded};
                if (body[p] == '\r' && body[p + 1] == '\n') return {CHUNKED_COMPLETE, p + 2, decoded};
                const char* lf = static_cast<const char*>(memchr(body + p, '\n', static_cast<size_t>(length - p)));
                if (lf == nullptr) return {CHUNKED_INCOMPLETE, at, decoded};
                p = static_cast<int>(lf - body) + 1;
            }
        }

        // The data goes to out no later than it is read: each chunk's size
        // line stands before it, so out may be body itself.
        int available = length - p;
        int take = size < available ? static_cast<int>(size) : available;
        if (out != nullptr) memmove(out + decoded, body + p, static_cast<size_t>(take));
        decoded += take;
        p += take;
        if (take < size || p + 1 >= length) return {CHUNKED_INCOMPLETE, at, decoded};
        if (body[p] != '\r' || body[p + 1] != '\n') return {CHUNKED_BROKEN, at, decoded};
        at = p + 2;
    }
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

HttpResult httpGet(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort,
                   const char* path, char* buffer, int maxChars, int connectAttempts) {
    HttpResult result{};
    result.status = HTTP_NO_ANSWER;
    if (maxChars <= 0) return result;
    PlatSocket s = PLAT_INVALID_SOCKET;
    HttpStatus failure = HTTP_NO_ANSWER;
    for (int attempt = 0; attempt < connectAttempts && s == PLAT_INVALID_SOCKET && failure == HTTP_NO_ANSWER; ++attempt)
        s = connectToDevice(localAddress, localPort, deviceAddress, devicePort, &failure);
    if (s == PLAT_INVALID_SOCKET) {
        result.status = failure;
        return result;
    }

    int length = composeRequest(path, deviceAddress, buffer, maxChars);
    if (length < 0) {
        platCloseSocket(s);
        buffer[0] = '\0';
        return result;
    }
    // A request that did not go out whole gets no answer worth reading:
    // the attempt has failed.
    if (platSend(s, buffer, length) != length) {
        platCloseSocket(s);
        buffer[0] = '\0';
        return result;
    }

    // Read until the answer is complete, the device closes the connection
    // or the buffer is full; silence or a drip beyond the bounds before
    // then makes the attempt a failed one. A keep-alive server holds the
    // connection after a complete answer: the answer is not lost waiting
    // for a close that only comes with its idle timeout.
    int total = 0;
    int complete = 0;
    AnswerFrame frame{};
    buffer[0] = '\0';
    const uint32_t start = platClockMs();
    while (total < maxChars) {
        uint32_t spent = platClockMs() - start;
        uint32_t wait = spent >= ANSWER_TOTAL_MS ? 0 : ANSWER_TOTAL_MS - spent;
        if (wait > ANSWER_SILENCE_MS) wait = ANSWER_SILENCE_MS;
        int n = wait > 0 ? platRecvWithin(s, buffer + total, maxChars - total, wait) : PLAT_RECV_TIMED_OUT;
        if (n == PLAT_RECV_TIMED_OUT) {
            total = 0;
            break;
        }
        if (n <= 0) break;
        total += n;
        complete = answerLength(buffer, total, &frame);
        if (complete != 0) break;
    }
    // Bytes behind a complete answer are not part of it; a broken chunked
    // body is no answer. A chunked body cut by the close or the buffer's
    // end gives the data that arrived, as an answer without framing does.
    if (complete < 0) total = 0;
    if (complete > 0) total = complete;
    if (total > 0 && frame.chunked) {
        ChunkedBody b = decodeChunked(buffer + frame.headLength, total - frame.headLength, buffer + frame.headLength);
        total = b.state == CHUNKED_BROKEN ? 0 : frame.headLength + b.decoded;
    }
    buffer[total] = '\0';
    platCloseSocket(s);
    if (total == 0) return result;
    // The challenge is only looked at here; the caller stores it.
    DigestState challenge{};
    ResponseKind kind = classifyResponse(buffer, &challenge);
    if (kind == RESPONSE_CHALLENGE) {
        result.status = HTTP_REFUSED;
        result.challenge = buffer;
    } else if (kind == RESPONSE_CHALLENGE_TOO_LONG) {
        result.status = HTTP_CHALLENGE_TOO_LONG;
    } else {
        result.status = HTTP_ANSWERED;
        result.length = total;
        result.fields = readDeviceFields(buffer);
    }
    return result;
}
