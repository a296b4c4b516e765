// HTTP Digest authentication (RFC 2617) against the device's web server:
// the challenge parser, the Authorization line and the digest computations.
// Everything the device sends is cut to the width of its field; nothing is
// copied without a bound.
#include "web/digest.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "control/globals.h"
#include "web/md5.h"

DigestState g_digestState;

namespace {

// A run of characters inside the challenge text (not NUL-terminated).
struct Span {
    const char* begin;
    size_t length;
};

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

// Copies a span into a fixed field of cap bytes: at most cap - 1
// characters and a NUL, so an oversized value is cut, never overflows.
void storeSpan(char* field, size_t cap, Span value) {
    size_t n = value.length < cap - 1 ? value.length : cap - 1;
    memcpy(field, value.begin, n);
    field[n] = '\0';
}

// Bounded copy of a field that should be NUL-terminated within its width;
// a record filled by someone else without a NUL still yields a text.
template <size_t N>
void copyField(char (&dst)[N], const char (&src)[N]) {
    size_t n = strnlen(src, N - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// A quoted parameter: the first occurrence of name="..." anywhere in the
// text (case-sensitive); the value runs to the next double quote or the end.
bool findQuoted(const char* text, const char* nameEqQuote, Span* value) {
    const char* at = strstr(text, nameEqQuote);
    if (at == nullptr) return false;
    const char* begin = at + strlen(nameEqQuote);
    const char* end = strchr(begin, '"');
    value->begin = begin;
    value->length = end != nullptr ? static_cast<size_t>(end - begin) : strlen(begin);
    return true;
}

bool endsToken(char c) {
    return c == '\0' || c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A parameter given quoted or as a bare token (algorithm=MD5, as some
// servers send it). The name must stand at the start of the text or after a
// blank, tab or comma, so that e.g. "xqop=" is not taken for "qop=". A bare
// token ends at a comma, blank, tab, CR, LF or the end; an empty bare token
// does not count as the parameter.
bool findParameter(const char* text, const char* nameEq, Span* value) {
    size_t nameLength = strlen(nameEq);
    for (const char* at = strstr(text, nameEq); at != nullptr; at = strstr(at + 1, nameEq)) {
        if (at != text) {
            char before = at[-1];
            if (before != ' ' && before != '\t' && before != ',') continue;
        }
        const char* begin = at + nameLength;
        if (*begin == '"') {
            ++begin;
            const char* end = strchr(begin, '"');
            value->begin = begin;
            value->length = end != nullptr ? static_cast<size_t>(end - begin) : strlen(begin);
            return true;
        }
        const char* end = begin;
        while (!endsToken(*end)) ++end;
        if (end == begin) continue;
        value->begin = begin;
        value->length = static_cast<size_t>(end - begin);
        return true;
    }
    return false;
}

// ASCII comparison ignoring case; word is NUL-terminated, s need not be.
bool spanEqualsIgnoreCase(Span s, const char* word) {
    if (strlen(word) != s.length) return false;
    for (size_t i = 0; i < s.length; ++i) {
        if (tolower(static_cast<unsigned char>(s.begin[i])) !=
            tolower(static_cast<unsigned char>(word[i]))) {
            return false;
        }
    }
    return true;
}

bool equalsIgnoreCase(const char* text, const char* word) {
    const char* t = orEmpty(text);
    return spanEqualsIgnoreCase(Span{t, strlen(t)}, word);
}

// A qop value may list several options ("auth,auth-int"); the client must
// answer with exactly one (RFC 2617 section 3.2.2). Prefer "auth", then
// "auth-int", else the first option offered. Blanks and tabs around the
// options are dropped; an all-empty list yields the empty span.
Span chooseQop(Span list) {
    Span first{list.begin, 0};
    Span authInt{nullptr, 0};
    bool haveFirst = false;
    const char* p = list.begin;
    const char* end = list.begin + list.length;
    while (p < end) {
        const char* comma = static_cast<const char*>(memchr(p, ',', static_cast<size_t>(end - p)));
        const char* tokenEnd = comma != nullptr ? comma : end;
        const char* b = p;
        const char* e = tokenEnd;
        while (b < e && (*b == ' ' || *b == '\t')) ++b;
        while (e > b && (e[-1] == ' ' || e[-1] == '\t')) --e;
        Span token{b, static_cast<size_t>(e - b)};
        if (token.length > 0) {
            if (spanEqualsIgnoreCase(token, "auth")) return token;
            if (authInt.begin == nullptr && spanEqualsIgnoreCase(token, "auth-int")) authInt = token;
            if (!haveFirst) {
                first = token;
                haveFirst = true;
            }
        }
        p = comma != nullptr ? comma + 1 : end;
    }
    return authInt.begin != nullptr ? authInt : first;
}

// Feeds a NUL-terminated text to MD5 (no terminator).
void updateText(MD5_CTX* context, const char* text) {
    size_t n = strlen(orEmpty(text));
    MD5Update(context, orEmpty(text), static_cast<uint32_t>(n));
}

}  // namespace

int parseChallenge(const char* challenge, DigestState* state) {
    if (challenge == nullptr || state == nullptr) return 1;

    // 1. realm: without it nothing changes.
    Span value;
    if (!findQuoted(challenge, "realm=\"", &value)) return 1;
    storeSpan(state->realm, sizeof state->realm, value);

    // 2. nonce: without it the challenge fails, the new realm stays.
    if (!findQuoted(challenge, "nonce=\"", &value)) return 1;
    storeSpan(state->nonce, sizeof state->nonce, value);

    // 3. A new nonce starts counting again; the same nonce counts on.
    if (strncmp(state->nonce, state->previousNonce, sizeof state->nonce) != 0) {
        copyField(state->previousNonce, state->nonce);
        state->nonceCount = 0;
    }

    // 4. A fresh client nonce: the next pseudo-random number (0..32767) in
    // lowercase hexadecimal, 1 to 4 characters.
    int written = snprintf(state->cnonce, sizeof state->cnonce, "%x",
                           static_cast<unsigned>(nextRandom()));
    if (written < 0 || static_cast<size_t>(written) >= sizeof state->cnonce) state->cnonce[0] = '\0';

    // 5, 6. algorithm and qop keep their earlier values when absent.
    if (findParameter(challenge, "algorithm=", &value)) {
        storeSpan(state->algorithm, sizeof state->algorithm, value);
    }
    if (findParameter(challenge, "qop=", &value)) {
        storeSpan(state->qop, sizeof state->qop, chooseQop(value));
    }

    // 7. opaque belongs to this challenge only.
    if (findQuoted(challenge, "opaque=\"", &value)) {
        storeSpan(state->opaque, sizeof state->opaque, value);
    } else {
        state->opaque[0] = '\0';
    }
    return 0;
}

void computeHA1(const char* algorithm, const char* userName, const char* realm,
                const char* password, const char* nonce, const char* cnonce, char ha1[33]) {
    MD5_CTX context;
    uint8_t digest[16];
    MD5Init(&context);
    updateText(&context, userName);
    MD5Update(&context, ":", 1);
    updateText(&context, realm);
    MD5Update(&context, ":", 1);
    updateText(&context, password);
    MD5Final(digest, &context);

    // md5-sess (RFC 2617 section 3.2.2.2) hashes the raw 16 bytes of the
    // first digest, not its hexadecimal text.
    if (equalsIgnoreCase(algorithm, "md5-sess")) {
        MD5Init(&context);
        MD5Update(&context, digest, sizeof digest);
        MD5Update(&context, ":", 1);
        updateText(&context, nonce);
        MD5Update(&context, ":", 1);
        updateText(&context, cnonce);
        MD5Final(digest, &context);
    }
    digestToHex(digest, ha1);
}

void computeResponse(const char ha1[33], const char* nonce, const char* ncText,
                     const char* cnonce, const char* qop, const char* method,
                     const char* uri, const char* entityBody, char response[33]) {
    MD5_CTX context;
    uint8_t digest[16];

    // H(A2) = MD5(method ":" uri [":" H(entity-body)] ), the body part only
    // for auth-int.
    char ha2[33];
    MD5Init(&context);
    updateText(&context, method);
    MD5Update(&context, ":", 1);
    updateText(&context, uri);
    if (equalsIgnoreCase(qop, "auth-int")) {
        MD5_CTX bodyContext;
        char bodyHex[33];
        MD5Init(&bodyContext);
        updateText(&bodyContext, entityBody);
        MD5Final(digest, &bodyContext);
        digestToHex(digest, bodyHex);
        MD5Update(&context, ":", 1);
        MD5Update(&context, bodyHex, 32);
    }
    MD5Final(digest, &context);
    digestToHex(digest, ha2);

    // request-digest = MD5(H(A1) ":" nonce ":" [nc ":" cnonce ":" qop ":"] H(A2)).
    const char* ha1Text = orEmpty(ha1);
    MD5Init(&context);
    MD5Update(&context, ha1Text, static_cast<uint32_t>(strnlen(ha1Text, 32)));
    MD5Update(&context, ":", 1);
    updateText(&context, nonce);
    MD5Update(&context, ":", 1);
    if (orEmpty(qop)[0] != '\0') {
        updateText(&context, ncText);
        MD5Update(&context, ":", 1);
        updateText(&context, cnonce);
        MD5Update(&context, ":", 1);
        updateText(&context, qop);
        MD5Update(&context, ":", 1);
    }
    MD5Update(&context, ha2, 32);
    MD5Final(digest, &context);
    digestToHex(digest, response);
}

void computeDigest(const char* nonce, const char* cnonce, const char* userName,
                   const char* realm, const char* password, const char* algorithm,
                   const char* ncText, const char* method, const char* qop,
                   const char* uri, const char* entityBody, char response[33]) {
    char ha1[33];
    computeHA1(algorithm, userName, realm, password, nonce, cnonce, ha1);
    computeResponse(ha1, nonce, ncText, cnonce, qop, method, uri, entityBody, response);
}

int buildAuthorization(const DigestState* state, char* out, int cap) {
    if (out == nullptr || cap <= 0) return 0;
    out[0] = '\0';
    if (state == nullptr) return 0;

    // Work on terminated copies so that a field without a NUL cannot carry
    // the formatting past its width.
    DigestState s;
    s.nonceCount = state->nonceCount;
    copyField(s.nonce, state->nonce);
    copyField(s.cnonce, state->cnonce);
    copyField(s.userName, state->userName);
    copyField(s.password, state->password);
    copyField(s.realm, state->realm);
    copyField(s.qop, state->qop);
    copyField(s.algorithm, state->algorithm);
    copyField(s.uri, state->uri);
    copyField(s.opaque, state->opaque);

    // nc: nine hexadecimal digits with qop, absent without.
    bool withQop = s.qop[0] != '\0';
    char ncText[16] = "";
    if (withQop) {
        int n = snprintf(ncText, sizeof ncText, "%09x", s.nonceCount);
        if (n < 0 || static_cast<size_t>(n) >= sizeof ncText) ncText[0] = '\0';
    }

    char response[33];
    computeDigest(s.nonce, s.cnonce, s.userName, s.realm, s.password, s.algorithm, ncText,
                  "GET", s.qop, s.uri, "", response);

    int length = 0;
    bool fits = appendFormat(out, cap, &length,
                             "Authorization: Digest username=\"%s\",realm=\"%s\",nonce=\"%s\","
                             "uri=\"%s\",algorithm=\"%s\",response=\"%s\"",
                             s.userName, s.realm, s.nonce, s.uri, s.algorithm, response);
    if (fits && s.opaque[0] != '\0') {
        fits = appendFormat(out, cap, &length, ",opaque=\"%s\"", s.opaque);
    }
    if (fits && withQop) {
        fits = appendFormat(out, cap, &length, ",qop=%s,nc=%09x,cnonce=\"%s\"", s.qop,
                            s.nonceCount, s.cnonce);
    }
    if (fits) appendFormat(out, cap, &length, "\r\n");
    return length;
}
