#include "digest_check.h"

#include <cctype>

#include "crypto.h"

namespace sim {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t'; }
bool isTokenChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; }

std::string lower(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) { return lower(a) == lower(b); }

// True when a new "name=" parameter starts at pos (just after a comma).
bool startsParameter(std::string_view text, size_t pos) {
    while (pos < text.size() && isSpace(text[pos])) ++pos;
    size_t begin = pos;
    while (pos < text.size() && isTokenChar(text[pos])) ++pos;
    if (pos == begin) return false;
    while (pos < text.size() && isSpace(text[pos])) ++pos;
    return pos < text.size() && text[pos] == '=';
}

std::vector<std::string> offeredQops(QopMode mode) {
    switch (mode) {
        case QopMode::Auth: return {"auth"};
        case QopMode::AuthInt: return {"auth-int"};
        case QopMode::List: return {"auth", "auth-int"};
        case QopMode::None: return {};
    }
    return {};
}

std::string challengeQop(QopMode mode) {
    switch (mode) {
        case QopMode::Auth: return "auth";
        case QopMode::AuthInt: return "auth-int";
        case QopMode::List: return "auth,auth-int";
        case QopMode::None: return "";
    }
    return "";
}

bool isHex(std::string_view text) {
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return !text.empty();
}

}  // namespace

const AuthParam* AuthParams::find(std::string_view name) const {
    for (const auto& p : params)
        if (p.name == name) return &p;
    return nullptr;
}

std::string AuthParams::value(std::string_view name) const {
    const AuthParam* p = find(name);
    return p != nullptr ? p->value : std::string();
}

bool parseAuthorization(std::string_view h, AuthParams& out, std::vector<std::string>& notes, std::string& error) {
    size_t pos = 0;
    while (pos < h.size() && isSpace(h[pos])) ++pos;
    size_t schemeBegin = pos;
    while (pos < h.size() && !isSpace(h[pos])) ++pos;
    out.scheme = std::string(h.substr(schemeBegin, pos - schemeBegin));
    if (!equalsIgnoreCase(out.scheme, "Digest")) {
        error = "scheme is not Digest";
        return false;
    }
    while (true) {
        while (pos < h.size() && (isSpace(h[pos]) || h[pos] == ',')) ++pos;
        if (pos >= h.size()) break;
        size_t nameBegin = pos;
        while (pos < h.size() && h[pos] != '=' && h[pos] != ',' && !isSpace(h[pos])) ++pos;
        std::string name = lower(h.substr(nameBegin, pos - nameBegin));
        while (pos < h.size() && isSpace(h[pos])) ++pos;
        if (pos >= h.size() || h[pos] != '=') {
            notes.push_back("stray token without value: " + name);
            continue;
        }
        ++pos;
        while (pos < h.size() && isSpace(h[pos])) ++pos;
        AuthParam param;
        param.name = name;
        if (pos < h.size() && h[pos] == '"') {
            param.quoted = true;
            ++pos;
            bool closed = false;
            while (pos < h.size()) {
                char c = h[pos++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && pos < h.size()) c = h[pos++];
                param.value += c;
            }
            if (!closed) {
                error = "unterminated quoted value of " + name;
                return false;
            }
        } else {
            size_t valueBegin = pos;
            while (pos < h.size() && !(h[pos] == ',' && startsParameter(h, pos + 1))) ++pos;
            size_t valueEnd = pos;
            while (valueEnd > valueBegin && isSpace(h[valueEnd - 1])) --valueEnd;
            param.value = std::string(h.substr(valueBegin, valueEnd - valueBegin));
        }
        if (out.find(name) != nullptr) {
            notes.push_back("duplicate parameter " + name + " (the first counts)");
            continue;
        }
        out.params.push_back(std::move(param));
    }
    return true;
}

std::string buildChallenge(const DigestConfig& config, const std::string& nonce, bool stale) {
    std::string out = "Digest realm=\"" + config.realm + "\", nonce=\"" + nonce + "\"";
    switch (config.algorithm) {
        case AlgorithmMode::Quoted: out += ", algorithm=\"MD5\""; break;
        case AlgorithmMode::Unquoted: out += ", algorithm=MD5"; break;
        case AlgorithmMode::Md5Sess: out += ", algorithm=\"MD5-sess\""; break;
        case AlgorithmMode::Absent: break;
    }
    if (config.qop != QopMode::None) out += ", qop=\"" + challengeQop(config.qop) + "\"";
    if (!config.opaque.empty()) out += ", opaque=\"" + config.opaque + "\"";
    if (stale) out += ", stale=true";
    return out;
}

std::string requestDigest(Ha1Form form, std::string_view user, std::string_view realm, std::string_view password,
                          std::string_view nonce, std::string_view cnonce, std::string_view nc, std::string_view qop,
                          std::string_view method, std::string_view uri) {
    std::string a1 = std::string(user) + ":" + std::string(realm) + ":" + std::string(password);
    std::string ha1;
    if (form == Ha1Form::Plain) {
        ha1 = md5Hex(a1);
    } else {
        auto raw = md5(a1);
        std::string inner =
            form == Ha1Form::SessHex ? md5Hex(a1) : std::string(reinterpret_cast<const char*>(raw.data()), raw.size());
        ha1 = md5Hex(inner + ":" + std::string(nonce) + ":" + std::string(cnonce));
    }
    // Appended piece by piece: g++ 12 at -O3 sees a false overlap in
    // "literal" + std::string temporaries (-Wrestrict).
    std::string a2 = std::string(method) + ":" + std::string(uri);
    if (equalsIgnoreCase(qop, "auth-int")) {
        a2 += ':';
        a2 += md5Hex("");
    }
    std::string ha2 = md5Hex(a2);
    std::string kd = ha1 + ":" + std::string(nonce) + ":";
    if (!qop.empty()) kd += std::string(nc) + ":" + std::string(cnonce) + ":" + std::string(qop) + ":";
    return md5Hex(kd + ha2);
}

DigestCheck checkAuthorization(const DigestConfig& config, std::string_view header, std::string_view method,
                               std::string_view uri, const std::string& currentNonce, const NonceCounts& counts) {
    DigestCheck check;
    auto fail = [&](std::string reason) {
        if (check.reason.empty()) check.reason = std::move(reason);
    };
    std::string error;
    if (!parseAuthorization(header, check.params, check.notes, error)) {
        check.reason = error;
        return check;
    }
    const AuthParams& p = check.params;
    for (const char* required : {"username", "realm", "nonce", "uri", "response"})
        if (p.find(required) == nullptr) {
            check.reason = std::string("missing ") + required;
            return check;
        }

    // Algorithm: the client's choice must be the form the challenge named.
    std::string algorithm = p.value("algorithm");
    bool sess = equalsIgnoreCase(algorithm, "MD5-sess");
    if (!sess && !algorithm.empty() && !equalsIgnoreCase(algorithm, "MD5")) fail("unsupported algorithm " + algorithm);
    if (p.find("algorithm") != nullptr && algorithm.empty()) check.notes.push_back("algorithm sent empty");
    if (sess != (config.algorithm == AlgorithmMode::Md5Sess))
        fail(sess ? "MD5-sess used but not offered" : "plain MD5 used but MD5-sess offered");

    // qop: one of the offered options; the whole offered list, sent back
    // verbatim, is hashed as it was sent and passes with a note.
    std::string qop = p.value("qop");
    auto offered = offeredQops(config.qop);
    if (const AuthParam* q = p.find("qop"); q != nullptr && q->quoted) check.notes.push_back("qop sent quoted");
    if (p.find("qop") == nullptr) {
        if (!offered.empty()) fail("qop missing although the challenge offered one");
    } else {
        bool known = false;
        for (const auto& o : offered) known = known || o == qop;
        if (offered.empty()) fail("qop sent although none was offered");
        else if (!known && qop == challengeQop(config.qop))
            check.notes.push_back("qop is the whole offered list, not one option");
        else if (!known) fail("qop " + qop + " was not offered");
    }

    // nc and cnonce belong to qop; MD5-sess needs the cnonce in any case.
    std::string nc = p.value("nc");
    std::string cnonce = p.value("cnonce");
    check.cnonce = cnonce;
    if (!qop.empty()) {
        if (!isHex(nc) || nc.size() > 16) fail("nc missing or not hexadecimal");
        else {
            check.nc = std::stoull(nc, nullptr, 16);
            if (nc.size() != 8) check.notes.push_back("nc has " + std::to_string(nc.size()) + " digits (RFC 2617: 8)");
        }
        if (cnonce.empty()) fail("cnonce missing");
    }
    if (sess && cnonce.empty()) fail("MD5-sess without cnonce");

    if (p.value("username") != config.user) fail("unknown user " + p.value("username"));
    if (p.value("realm") != config.realm) fail("realm differs");
    if (p.value("uri") != uri) fail("uri differs from the request target");
    if (config.opaque.empty()) {
        if (p.find("opaque") != nullptr) check.notes.push_back("opaque sent although none was offered");
    } else if (p.value("opaque") != config.opaque) {
        fail("opaque differs");
    }

    check.got = lower(p.value("response"));
    auto expected = [&](Ha1Form form) {
        return requestDigest(form, p.value("username"), p.value("realm"), config.password, p.value("nonce"), cnonce, nc,
                             qop, method, p.value("uri"));
    };
    check.expected = expected(sess ? Ha1Form::SessRaw : Ha1Form::Plain);
    if (sess && check.got != check.expected && check.got == expected(Ha1Form::SessHex)) {
        check.expected = check.got;
        check.notes.push_back("MD5-sess over the hexadecimal MD5(user:realm:password)");
    } else if (sess) {
        check.notes.push_back("MD5-sess over the raw 16 bytes of MD5(user:realm:password)");
    }
    bool digestRight = check.got == check.expected;
    if (p.value("nonce") != currentNonce) {
        check.stale = digestRight && check.reason.empty();
        fail(check.stale ? "stale nonce" : "unknown nonce");
    }
    if (!digestRight) fail("response differs (wrong password?)");
    if (auto last = counts.find(cnonce);
        !qop.empty() && check.reason.empty() && last != counts.end() && check.nc <= last->second)
        fail("nc " + nc + " not above the last accepted " + std::to_string(last->second) + " for this cnonce");
    check.ok = check.reason.empty();
    return check;
}

}  // namespace sim
