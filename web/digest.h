// HTTP Digest authentication (RFC 2617): the record of the exchange with
// the device (the run's one copy is in the web state, web/http.h), the
// challenge parser and the Authorization line.
#pragma once

#include <cstdint>

// The longest realm, nonce or opaque kept whole. The value is sent back
// unchanged, so a cut one is refused by the device; servers make their
// nonces of a timestamp, a hash and sometimes a session in base64, some
// tens to a few hundred characters, so 1,024 leaves ample room while the
// record stays a few kilobytes. A challenge with a longer value is not
// answered at all (parseChallenge's tooLong).
constexpr int DIGEST_VALUE_MAX_CHARS = 1024;

struct DigestState {
    uint32_t nonceCount;  // authorised requests sent with the current nonce
    char previousNonce[DIGEST_VALUE_MAX_CHARS + 1];
    char nonce[DIGEST_VALUE_MAX_CHARS + 1];
    char cnonce[128];
    char userName[128];
    char password[128];  // empty: no Authorization header is sent
    char realm[DIGEST_VALUE_MAX_CHARS + 1];
    char qop[16];
    char algorithm[16];
    char uri[128];
    char opaque[DIGEST_VALUE_MAX_CHARS + 1];
};

// Reads a Digest challenge (RFC 7235/7616 syntax: quoted values unescaped)
// into state: true on success, false when it is unusable and state is
// unchanged - no Digest challenge, no realm or nonce, a value holding a
// control character, an algorithm or qop option that is not a token. The
// text begins at "WWW-Authenticate:" (any letter case) and runs to the end
// of the answer; every challenge of every WWW-Authenticate header in it is
// looked at, in order, and the first Digest challenge whose algorithm this
// client computes (MD5, MD5-sess, or none named) is taken; the others are
// passed over. One whose realm, nonce or opaque is longer than
// DIGEST_VALUE_MAX_CHARS is passed over too, and sets *tooLong (when given)
// should no later one be taken.
bool parseChallenge(const char* challenge, DigestState* state, bool* tooLong = nullptr);

// The next "WWW-Authenticate:" (any letter case) from text on, or null.
const char* findChallengeHeader(const char* text);

// Room for the longest Authorization line: every quoted field at its full
// width with each character escaped, plus the names, the response and nc.
constexpr int AUTHORIZATION_LINE_SIZE = 8192;
// Writes the Authorization header line ending in "\r\n" into out (at most
// cap - 1 characters and a NUL; a line cut short is a prefix of the whole);
// returns its length. Quoted values are escaped (RFC 7616 quoted-string),
// the digest is over the values themselves.
int buildAuthorization(const DigestState* state, char* out, int cap);

void computeHA1(const char* algorithm, const char* userName, const char* realm, const char* password, const char* nonce,
                const char* cnonce, char ha1[33]);
void computeResponse(const char ha1[33], const char* nonce, const char* ncText, const char* cnonce, const char* qop,
                     const char* method, const char* uri, const char* entityBody, char response[33]);
void computeDigest(const char* nonce, const char* cnonce, const char* userName, const char* realm, const char* password,
                   const char* algorithm, const char* ncText, const char* method, const char* qop, const char* uri,
                   const char* entityBody, char response[33]);
