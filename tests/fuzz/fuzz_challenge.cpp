// The Digest challenge parser and the Authorization line. Input: capacity (2 bytes, little-endian),
// flags (bit 0: the record filled with raw input bytes instead), a user-name length byte, the
// user name, the challenge. The line goes into a buffer of exactly that capacity.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "web/digest.h"

namespace {

void check(bool condition) {
    if (!condition) abort();
}

bool isTokenChar(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u < 0x80 && isalnum(u)) || (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}
bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// The prefix, then name=value pairs in their order up to the CRLF; quoted values end only at an
// unescaped '"', bare ones are tokens; no control character.
void checkLine(const std::string& line, const DigestState& s) {
    const std::string prefix = "Authorization: Digest ";
    check(line.compare(0, prefix.size(), prefix) == 0);
    check(line.size() >= prefix.size() + 2 && line.compare(line.size() - 2, 2, "\r\n") == 0);
    const size_t end = line.size() - 2;
    std::string names;
    for (size_t at = prefix.size(); at < end; ++at) {
        size_t equals = line.find('=', at);
        check(equals < end);
        names += line.substr(at, equals - at) + ",";
        at = equals + 1;
        if (line[at] == '"') {
            for (++at; line[at] != '"'; ++at) {
                if (line[at] == '\\') ++at;
                check(at < end && !isControl(line[at]));
            }
            ++at;
        } else {
            for (; at < end && line[at] != ','; ++at) check(isTokenChar(line[at]));
        }
        check(at == end || line[at] == ',');
    }
    std::string expected = "username,realm,nonce,uri,algorithm,response,";
    if (s.opaque[0] != '\0') expected += "opaque,";
    if (s.qop[0] != '\0') expected += "qop,nc,cnonce,";
    check(names == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    int cap = data[0] | (data[1] << 8);
    cap %= AUTHORIZATION_LINE_SIZE + 64;
    bool rawRecord = data[2] & 1;
    size_t userLength = data[3];
    data += 4;
    size -= 4;
    if (userLength > size) userLength = size;

    DigestState state{};
    check(parseChallenge("Digest realm=\"old\",nonce=\"n0\",qop=\"auth\",algorithm=\"MD5\",opaque=\"o\"", &state));
    memcpy(state.userName, data, userLength < 127 ? userLength : 127);
    state.userName[127] = '\0';
    strcpy(state.password, "pw");
    strcpy(state.uri, "/admin/advanced");

    std::unique_ptr<char[]> text(new char[size - userLength + 1]);
    memcpy(text.get(), data + userLength, size - userLength);
    text[size - userLength] = '\0';

    if (rawRecord) {
        memcpy(&state, data, size < sizeof state ? size : sizeof state);
    } else {
        DigestState before = state;
        if (!parseChallenge(text.get(), &state)) check(memcmp(&before, &state, sizeof state) == 0);
    }

    std::unique_ptr<char[]> full(new char[AUTHORIZATION_LINE_SIZE]);
    int length = buildAuthorization(&state, full.get(), AUTHORIZATION_LINE_SIZE);
    check(length > 0 && length < AUTHORIZATION_LINE_SIZE - 1 && static_cast<size_t>(length) == strlen(full.get()));
    checkLine(std::string(full.get(), static_cast<size_t>(length)), state);

    // Cut at any capacity, 0 included: the full line's beginning, terminated.
    std::unique_ptr<char[]> cut(new char[static_cast<size_t>(cap)]);
    int cutLength = buildAuthorization(&state, cut.get(), cap);
    check(cutLength == std::max(0, std::min(length, cap - 1)));
    check(memcmp(cut.get(), full.get(), static_cast<size_t>(cutLength)) == 0 && (cap == 0 || cut[cutLength] == '\0'));
    return 0;
}
