// HTTP Digest authentication (RFC 2617): the record of the exchange with
// the device (the run's one copy is in the web state, web/http.h), the
// challenge parser and the Authorization line.
#pragma once

#include <cstdint>

struct DigestState {
    uint32_t nonceCount;  // authorised requests sent with the current nonce
    char previousNonce[128];
    char nonce[128];
    char cnonce[128];
    char userName[128];
    char password[128];  // empty: no Authorization header is sent
    char realm[128];
    char qop[16];
    char algorithm[16];
    char uri[128];
    char opaque[128];
};

// Reads the Digest challenge (RFC 7235/7616 syntax: quoted values
// unescaped) into state: true on success, false when it is unusable and
// state is unchanged - no Digest challenge, no realm or nonce, a value holding a
// control character, an algorithm or qop option that is not a token. The
// text begins at "WWW-Authenticate:" and runs to the end of the answer;
// every WWW-Authenticate header in it is looked at, in order.
bool parseChallenge(const char* challenge, DigestState* state);

// Room for the longest Authorization line: every quoted field at its full
// width with each character escaped, plus the names, the response and nc.
constexpr int AUTHORIZATION_LINE_SIZE = 2048;
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
