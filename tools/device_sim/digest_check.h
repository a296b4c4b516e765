// The device's side of HTTP Digest authentication (RFC 2617): the
// challenge it sends and the check of every Authorization line it gets,
// computed with OpenSSL's MD5.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace sim {

struct DigestConfig {
    std::string user;
    std::string password;
    std::string realm;
    std::string opaque;  // empty: no opaque in the challenge
    QopMode qop = QopMode::Auth;
    AlgorithmMode algorithm = AlgorithmMode::Quoted;
};

// One parameter of an Authorization line, as sent.
struct AuthParam {
    std::string name;  // lowercase
    std::string value;
    bool quoted = false;
};

struct AuthParams {
    std::string scheme;
    std::vector<AuthParam> params;
    const AuthParam* find(std::string_view name) const;
    std::string value(std::string_view name) const;  // empty when absent
};

// Splits "Digest name=value, name="value", ..." into its parameters. An
// unquoted value runs up to the next comma that starts a new "name=", so a
// bare list such as qop=auth,auth-int stays one value. Oddities go to notes.
bool parseAuthorization(std::string_view header, AuthParams& out, std::vector<std::string>& notes, std::string& error);

// The WWW-Authenticate header value for a 401.
std::string buildChallenge(const DigestConfig& config, const std::string& nonce, bool stale);

// How H(A1) is formed. RFC 2617 is of two minds about MD5-sess: its text
// hashes the hexadecimal MD5(user:realm:password), its sample code the raw
// 16 bytes. Clients use either (curl the text's form), so both are checked.
enum class Ha1Form { Plain, SessRaw, SessHex };

// RFC 2617 request-digest: an empty qop gives the form without nc and
// cnonce; qop "auth-int" adds MD5 of the (empty) entity body to A2.
std::string requestDigest(Ha1Form form, std::string_view user, std::string_view realm, std::string_view password,
                          std::string_view nonce, std::string_view cnonce, std::string_view nc, std::string_view qop,
                          std::string_view method, std::string_view uri);

struct DigestCheck {
    bool ok = false;
    bool stale = false;  // right digest for a nonce that is no longer current
    std::string reason;  // why it failed; empty when ok
    std::string expected;
    std::string got;
    uint64_t nc = 0;     // the nonce count, when one was sent
    std::string cnonce;  // the client nonce it counts for
    AuthParams params;
    std::vector<std::string> notes;
};

// Highest nonce count accepted so far with the current nonce, per client
// nonce: each client counts on its own, so two clients may share a nonce.
using NonceCounts = std::map<std::string, uint64_t>;

// Checks one Authorization header value for a request with method and uri
// (the request target) against the current nonce. With qop the nonce count
// must rise above the last one accepted for the same cnonce (no replay).
DigestCheck checkAuthorization(const DigestConfig& config, std::string_view header, std::string_view method,
                               std::string_view uri, const std::string& currentNonce, const NonceCounts& counts);

}  // namespace sim
