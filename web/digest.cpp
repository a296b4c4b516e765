// HTTP Digest authentication (RFC 2617) against the device's web server:
// the challenge parser, the Authorization line and the digest computations.
// Everything the device sends is cut to the width of its field; nothing is
// copied without a bound.
#include "web/digest.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "control/base/base.h"
#include "web/md5.h"

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

// ASCII comparison ignoring case; word is NUL-terminated, s need not be.
bool spanEqualsIgnoreCase(Span s, const char* word) {
    if (strlen(word) != s.length) return false;
    for (size_t i = 0; i < s.length; ++i) {
        if (tolower(static_cast<unsigned char>(s.begin[i])) != tolower(static_cast<unsigned char>(word[i]))) {
            return false;
        }
    }
    return true;
}

bool equalsIgnoreCase(const char* text, const char* word) {
    const char* t = orEmpty(text);
    return spanEqualsIgnoreCase(Span{t, strlen(t)}, word);
}

// RFC 7230 token characters (ASCII letters and digits whatever the locale).
bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isControl(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

// A parameter value as it stands in the challenge: a bare token, or the
// inside of a quoted-string with its backslash escapes still in place.
struct RawValue {
    Span text;
    bool quoted;
};

// Walks the characters a value stands for (escapes resolved) and calls
// visit(c) for each; stops and returns false when visit does.
template <typename Visit>
bool eachChar(RawValue v, Visit visit) {
    for (size_t i = 0; i < v.text.length; ++i) {
        char c = v.text.begin[i];
        if (v.quoted && c == '\\' && i + 1 < v.text.length) c = v.text.begin[++i];
        if (!visit(c)) return false;
    }
    return true;
}

// The value, escapes resolved, into a field of cap bytes (cut to cap - 1
// characters). Returns the whole value's length.
size_t storeValue(char* field, size_t cap, RawValue v) {
    size_t n = 0;
    eachChar(v, [&](char c) {
        if (n + 1 < cap) field[n] = c;
        ++n;
        return true;
    });
    field[n + 1 < cap ? n : cap - 1] = '\0';
    return n;
}

bool isTokenValue(RawValue v) {
    return v.text.length > 0 && eachChar(v, [](char c) { return isTokenChar(c); });
}

// Blanks and tabs, and a header line folded onto the next one (CR LF and a
// blank or tab), between the elements of a challenge.
const char* skipSpace(const char* p) {
    for (;;) {
        if (*p == ' ' || *p == '\t') ++p;
        else if (p[0] == '\r' && p[1] == '\n' && (p[2] == ' ' || p[2] == '\t')) p += 3;
        else return p;
    }
}

Span readToken(const char** p) {
    const char* begin = *p;
    while (isTokenChar(**p)) ++*p;
    return Span{begin, static_cast<size_t>(*p - begin)};
}

// The inside of a quoted-string; *p stands on its opening quote and ends
// behind the closing one. A backslash takes the next character whatever it
// is; a string cut by the end of the text runs to the end.
Span readQuoted(const char** p) {
    const char* begin = ++*p;
    while (**p != '\0' && **p != '"') *p += (**p == '\\' && (*p)[1] != '\0') ? 2 : 1;
    Span inside{begin, static_cast<size_t>(*p - begin)};
    if (**p == '"') ++*p;
    return inside;
}

// The parameters of a Digest challenge that this client uses.
enum { P_REALM, P_NONCE, P_ALGORITHM, P_QOP, P_OPAQUE, P_COUNT };
const char* const PARAMETER_NAMES[P_COUNT] = {"realm", "nonce", "algorithm", "qop", "opaque"};

struct DigestChallenge {
    bool given[P_COUNT];
    RawValue value[P_COUNT];
    bool controlCharacter;  // some value holds CR, LF or another control character
};

// Reads the challenges of one WWW-Authenticate value from p on (RFC 7235:
// scheme, then name=value parameters separated by commas; a token not
// followed by '=' starts the next challenge). True when one of them is
// Digest, its parameters in out. *end: where reading stopped (the end of
// the header line, or whatever broke the syntax).
bool readDigestChallenge(const char* p, DigestChallenge* out, const char** end) {
    p = skipSpace(p);
    for (;;) {
        Span scheme = readToken(&p);
        if (scheme.length == 0) break;
        bool digest = spanEqualsIgnoreCase(scheme, "Digest");
        if (digest) memset(out, 0, sizeof *out);
        bool nextScheme = false;
        p = skipSpace(p);
        for (;;) {
            const char* at = p;
            Span name = readToken(&p);
            if (name.length == 0) {
                if (*p != ',') break;  // the end of the list, or a broken one
                p = skipSpace(p + 1);  // an empty list element
                continue;
            }
            const char* q = p;
            while (*q == ' ' || *q == '\t') ++q;
            if (*q != '=') {
                p = at;
                nextScheme = true;
                break;
            }
            p = q + 1;
            while (*p == ' ' || *p == '\t') ++p;
            RawValue value{{p, 0}, *p == '"'};
            value.text = value.quoted ? readQuoted(&p) : readToken(&p);
            if (digest) {
                if (!eachChar(value, [](char c) { return !isControl(c); })) out->controlCharacter = true;
                for (int i = 0; i < P_COUNT; ++i) {
                    // A bare empty value does not count; the first of a name counts.
                    if (out->given[i] || !spanEqualsIgnoreCase(name, PARAMETER_NAMES[i])) continue;
                    if (!value.quoted && value.text.length == 0) continue;
                    out->given[i] = true;
                    out->value[i] = value;
                }
            }
            p = skipSpace(p);
            if (*p != ',') break;
            p = skipSpace(p + 1);
        }
        if (digest) {
            *end = p;
            return true;
        }
        if (!nextScheme) break;
    }
    *end = p;
    return false;
}

const char CHALLENGE_HEADER[] = "WWW-Authenticate:";
constexpr size_t CHALLENGE_HEADER_LENGTH = sizeof CHALLENGE_HEADER - 1;

bool startsWithChallengeHeader(const char* p) {
    return strnlen(p, CHALLENGE_HEADER_LENGTH) == CHALLENGE_HEADER_LENGTH &&
           spanEqualsIgnoreCase(Span{p, CHALLENGE_HEADER_LENGTH}, CHALLENGE_HEADER);
}

// Whether the challenge names an algorithm this client computes: MD5,
// MD5-sess, or none (an empty value counts as none, as it always has).
bool computableAlgorithm(const DigestChallenge& c) {
    if (!c.given[P_ALGORITHM] || c.value[P_ALGORITHM].text.length == 0) return true;
    char name[16];
    if (storeValue(name, sizeof name, c.value[P_ALGORITHM]) >= sizeof name) return false;
    return equalsIgnoreCase(name, "MD5") || equalsIgnoreCase(name, "MD5-sess");
}

// Whether realm, nonce and opaque each fit DIGEST_VALUE_MAX_CHARS once
// their escapes are resolved.
bool valuesFit(const DigestChallenge& c) {
    for (int i : {P_REALM, P_NONCE, P_OPAQUE}) {
        if (!c.given[i]) continue;
        size_t n = 0;
        eachChar(c.value[i], [&n](char) { return ++n <= DIGEST_VALUE_MAX_CHARS; });
        if (n > DIGEST_VALUE_MAX_CHARS) return false;
    }
    return true;
}

// A qop value may list several options ("auth,auth-int"); the client must
// answer with exactly one (RFC 2617 section 3.2.2). Prefer "auth", then
// "auth-int", else the first option offered. Blanks and tabs around the
// options are dropped; an all-empty list yields the empty text. False when
// an option is not a token: such a list cannot be answered.
bool chooseQop(RawValue list, char* chosen, size_t cap) {
    char text[256];
    if (storeValue(text, sizeof text, list) >= sizeof text) return false;
    Span first{text, 0};
    Span authInt{nullptr, 0};
    Span auth{nullptr, 0};
    for (char* p = text; *p != '\0';) {
        char* comma = strchr(p, ',');
        char* b = p;
        char* e = comma != nullptr ? comma : p + strlen(p);
        p = comma != nullptr ? comma + 1 : e;
        while (b < e && (*b == ' ' || *b == '\t')) ++b;
        while (e > b && (e[-1] == ' ' || e[-1] == '\t')) --e;
        Span option{b, static_cast<size_t>(e - b)};
        if (option.length == 0) continue;
        for (size_t i = 0; i < option.length; ++i)
            if (!isTokenChar(option.begin[i])) return false;
        if (auth.begin == nullptr && spanEqualsIgnoreCase(option, "auth")) auth = option;
        if (authInt.begin == nullptr && spanEqualsIgnoreCase(option, "auth-int")) authInt = option;
        if (first.length == 0) first = option;
    }
    storeSpan(chosen, cap, auth.begin != nullptr ? auth : authInt.begin != nullptr ? authInt : first);
    return true;
}

// Feeds a NUL-terminated text to MD5 (no terminator).
void updateText(MD5_CTX* context, const char* text) {
    size_t n = strlen(orEmpty(text));
    MD5Update(context, orEmpty(text), static_cast<uint32_t>(n));
}

}  // namespace

const char* findChallengeHeader(const char* text) {
    for (const char* p = text; *p != '\0'; ++p)
        if (startsWithChallengeHeader(p)) return p;
    return nullptr;
}

bool parseChallenge(const char* challenge, DigestState* state, bool* tooLong) {
    if (challenge == nullptr || state == nullptr) return false;

    // Only a Digest challenge counts, wherever it stands among the
    // answer's WWW-Authenticate headers: a Basic challenge before it (its
    // realm above all) is not read. A Digest challenge for an algorithm
    // this client cannot compute (SHA-256 offered first, say) is passed
    // over: answering it with an MD5 digest can only be refused. So is one
    // with a value too long to keep whole: a cut nonce is refused too.
    DigestChallenge c;
    bool passedLong = false;
    const char* p = challenge;
    for (;;) {
        const char* header = startsWithChallengeHeader(p) ? p + CHALLENGE_HEADER_LENGTH : p;
        const char* end = header;
        if (readDigestChallenge(header, &c, &end)) {
            if (computableAlgorithm(c) && valuesFit(c)) break;
            passedLong = passedLong || computableAlgorithm(c);
            p = end;  // the next challenge of this header, or the next header
            continue;
        }
        p = findChallengeHeader(end);
        if (p == nullptr) {
            if (tooLong != nullptr) *tooLong = passedLong;
            return false;
        }
    }

    // Unusable, and nothing changes: no realm or nonce; a value holding a
    // control character (CR, LF: it would end up in our request's header);
    // an algorithm or a qop option that is no token (it is written back).
    if (!c.given[P_REALM] || !c.given[P_NONCE] || c.controlCharacter) return false;
    if (c.given[P_ALGORITHM] && c.value[P_ALGORITHM].text.length > 0 && !isTokenValue(c.value[P_ALGORITHM]))
        return false;
    char qop[sizeof state->qop];
    if (c.given[P_QOP] && !chooseQop(c.value[P_QOP], qop, sizeof qop)) return false;

    storeValue(state->realm, sizeof state->realm, c.value[P_REALM]);
    storeValue(state->nonce, sizeof state->nonce, c.value[P_NONCE]);

    // A new nonce starts counting again; the same nonce counts on.
    if (strncmp(state->nonce, state->previousNonce, sizeof state->nonce) != 0) {
        copyField(state->previousNonce, state->nonce);
        state->nonceCount = 0;
    }

    // A fresh client nonce: the next pseudo-random number (0..32767) in
    // lowercase hexadecimal, 1 to 4 characters.
    int written = snprintf(state->cnonce, sizeof state->cnonce, "%x", static_cast<unsigned>(nextRandom()));
    if (written < 0 || static_cast<size_t>(written) >= sizeof state->cnonce) state->cnonce[0] = '\0';

    // algorithm and qop keep their earlier values when absent; opaque
    // belongs to this challenge only.
    if (c.given[P_ALGORITHM]) storeValue(state->algorithm, sizeof state->algorithm, c.value[P_ALGORITHM]);
    if (c.given[P_QOP]) copyField(state->qop, qop);
    if (c.given[P_OPAQUE]) storeValue(state->opaque, sizeof state->opaque, c.value[P_OPAQUE]);
    else state->opaque[0] = '\0';
    return true;
}

void computeHA1(const char* algorithm, const char* userName, const char* realm, const char* password, const char* nonce,
                const char* cnonce, char ha1[33]) {
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

void computeResponse(const char ha1[33], const char* nonce, const char* ncText, const char* cnonce, const char* qop,
                     const char* method, const char* uri, const char* entityBody, char response[33]) {
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

void computeDigest(const char* nonce, const char* cnonce, const char* userName, const char* realm, const char* password,
                   const char* algorithm, const char* ncText, const char* method, const char* qop, const char* uri,
                   const char* entityBody, char response[33]) {
    char ha1[33];
    computeHA1(algorithm, userName, realm, password, nonce, cnonce, ha1);
    computeResponse(ha1, nonce, ncText, cnonce, qop, method, uri, entityBody, response);
}

namespace {

// The Authorization line as it is written: never more than cap - 1
// characters and a NUL; what does not fit is cut, so the text is always a
// prefix of the whole line.
struct LineWriter {
    char* out;
    int cap;
    int length;

    void put(char c) {
        if (length + 1 < cap) {
            out[length++] = c;
            out[length] = '\0';
        }
    }
    void put(const char* text) {
        for (; *text != '\0'; ++text) put(*text);
    }
    // An RFC 7616 quoted-string: '"' and '\' escaped. Control characters
    // cannot stand in one and are left out (challenge values holding them
    // are refused before, so only a typed user name could bring one).
    void quoted(const char* value) {
        put('"');
        for (; *value != '\0'; ++value) {
            if (isControl(*value)) continue;
            if (*value == '"' || *value == '\\') put('\\');
            put(*value);
        }
        put('"');
    }
};

}  // namespace

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

    // nc: with qop, nine hexadecimal digits; without, absent. RFC 2617
    // writes eight. Every release of this program has sent nine (a leading
    // zero more, the same number), the form the devices have always been
    // given, and it stays.
    bool withQop = s.qop[0] != '\0';
    char ncText[16] = "";
    if (withQop) {
        int n = snprintf(ncText, sizeof ncText, "%09x", s.nonceCount);
        if (n < 0 || static_cast<size_t>(n) >= sizeof ncText) ncText[0] = '\0';
    }

    // The digest is over the values themselves, the line carries them
    // quoted. qop goes out bare: it is a token (the parser takes no other),
    // and anything else in the record is left out rather than written.
    char response[33];
    computeDigest(s.nonce, s.cnonce, s.userName, s.realm, s.password, s.algorithm, ncText, "GET", s.qop, s.uri, "",
                  response);

    LineWriter w{out, cap, 0};
    w.put("Authorization: Digest username=");
    w.quoted(s.userName);
    w.put(",realm=");
    w.quoted(s.realm);
    w.put(",nonce=");
    w.quoted(s.nonce);
    w.put(",uri=");
    w.quoted(s.uri);
    // algorithm is always there and always quoted, even when empty, though
    // RFC 2617 has it as a bare token: the devices' parsers expect it in
    // this form.
    w.put(",algorithm=");
    w.quoted(s.algorithm);
    w.put(",response=");
    w.quoted(response);
    if (s.opaque[0] != '\0') {
        w.put(",opaque=");
        w.quoted(s.opaque);
    }
    if (withQop) {
        w.put(",qop=");
        for (const char* q = s.qop; *q != '\0'; ++q)
            if (isTokenChar(*q)) w.put(*q);
        w.put(",nc=");
        w.put(ncText);
        w.put(",cnonce=");
        w.quoted(s.cnonce);
    }
    w.put("\r\n");
    return w.length;
}
