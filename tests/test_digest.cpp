// MD5 (RFC 1321) against OpenSSL; HTTP Digest (RFC 2617): digests, challenges, the Authorization line.
#include "web/digest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>

#include "control/base/base.h"
#include "support/web_server.h"
#include "web/md5.h"

using ulxtest::md5Hex;

namespace {

// Every length 0 .. 300, whole and in random pieces of 0 .. 149 bytes.
TEST(Md5, EveryLengthInPiecesMatchesOpenSsl) {
    std::mt19937 random(12345);
    for (size_t length = 0; length <= 300; ++length) {
        for (int round = 0; round < 8; ++round) {
            std::string message(length, '\0');
            for (char& c : message) c = static_cast<char>(random() & 0xff);
            MD5_CTX context;
            MD5Init(&context);
            for (size_t at = 0, n = 0; at < length; at += n) {
                n = round == 0 ? length : std::min<size_t>(random() % 150, length - at);
                MD5Update(&context, message.data() + at, static_cast<uint32_t>(n));
            }
            uint8_t digest[16];
            char text[33];
            MD5Final(digest, &context);
            digestToHex(digest, text);
            ASSERT_EQ(md5Hex(message), text) << "length " << length << ", " << round;
        }
    }
}

// The 64-bit bit count carries into its high word; Final leaves only zeros.
TEST(Md5, BitCountCarriesAndFinalLeavesOnlyZeros) {
    MD5_CTX context;
    MD5Init(&context);
    context.count[0] = 0xfffffff8u;  // 2^29 - 1 bytes so far
    MD5Update(&context, "secret password", 15);
    EXPECT_EQ(112u, context.count[0]);
    EXPECT_EQ(1u, context.count[1]);
    uint8_t digest[16];
    MD5Final(digest, &context);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&context);
    for (size_t i = 0; i < sizeof context; ++i) ASSERT_EQ(0, bytes[i]) << "byte " << i;
}

std::string ha1Of(const char* algorithm, const char* nonce, const char* cnonce) {
    char ha1[33];
    computeHA1(algorithm, "Mufasa", "testrealm@host.com", "Circle Of Life", nonce, cnonce, ha1);
    return ha1;
}

DigestState parsed(const std::string& challenge) {
    DigestState state{};
    EXPECT_TRUE(parseChallenge(challenge.c_str(), &state)) << challenge;
    return state;
}

// The RFC 2617 section 3.5 example; "MD5-sess" (over the raw first digest) and qop "auth-int",
// in any letter case, against independent MD5.
TEST(DigestCompute, Rfc2617ExampleSessAndAuthInt) {
    const char* nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
    char response[33];
    computeResponse(ha1Of("", nonce, "0a4f113b").c_str(), nonce, "00000001", "0a4f113b", "auth", "GET",
                    "/dir/index.html", "", response);
    EXPECT_STREQ("6629fae49393a05397450978507c4ef1", response);

    unsigned char raw[16];
    std::string a1 = "Mufasa:testrealm@host.com:Circle Of Life";
    EVP_Digest(a1.data(), a1.size(), raw, nullptr, EVP_md5(), nullptr);
    std::string expected = md5Hex(std::string(reinterpret_cast<char*>(raw), 16) + ":n0nce:c0ffee");
    for (const char* algorithm : {"md5-sess", "MD5-sess", "Md5-SeSS"})
        EXPECT_EQ(expected, ha1Of(algorithm, "n0nce", "c0ffee")) << algorithm;

    const std::string ha1 = md5Hex("u:r:p"), ha2 = md5Hex("GET:/a:" + md5Hex(""));
    for (const char* qop : {"auth-int", "AUTH-Int"}) {
        computeResponse(ha1.c_str(), "n0nce", "000000001", "c0ffee", qop, "GET", "/a", "", response);
        EXPECT_EQ(md5Hex(ha1 + ":n0nce:000000001:c0ffee:" + qop + ":" + ha2), response) << qop;
    }
}

TEST(DigestParse, RecognisesQuotedAndBareAlgorithmAndQop) {
    // clang-format off
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"algorithm=\"MD5-sess\",qop=auth", "MD5-sess", "auth"}, {"qop=\"auth-int\"", "old-alg", "auth-int"},
        {"qop=auth-int,\r\n algorithm=MD5\r\n", "MD5", "auth-int"}, {"qop=\" auth-int , auth \"", "old-alg", "auth"},
        {"qop=\"x-token, auth-int\"", "old-alg", "auth-int"}, {"qop=\"tok1,tok2\"", "old-alg", "tok1"},
        {"xqop=\"auth-int\", myalgorithm=SHA", "old-alg", "old-qop"}, {"algorithm=, qop=", "old-alg", "old-qop"},
    };
    // clang-format on
    for (const auto& [params, algorithm, qop] : cases) {
        DigestState state{};
        strcpy(state.algorithm, "old-alg");
        strcpy(state.qop, "old-qop");
        std::string text = std::string("WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", ") + params;
        ASSERT_TRUE(parseChallenge(text.c_str(), &state)) << text;
        EXPECT_STREQ(algorithm, state.algorithm) << text;
        EXPECT_STREQ(qop, state.qop) << text;
    }
}

// The nonce count survives only the same nonce; a new nonce clears opaque, keeps algorithm and
// qop. Each challenge takes the next random number, in lowercase hex, as cnonce.
TEST(DigestParse, LaterChallenges) {
    seedRandom(777);
    const int first = nextRandom(), second = nextRandom();
    auto hex = [](int value) {
        char text[8];
        snprintf(text, sizeof text, "%x", value);
        return std::string(text);
    };
    seedRandom(777);
    DigestState state = parsed("Digest realm=\"r\",nonce=\"n1\",opaque=\"op\",algorithm=\"MD5\",qop=\"auth\"");
    EXPECT_STREQ("op", state.opaque);
    EXPECT_EQ(hex(first), state.cnonce);
    state.nonceCount = 3;
    ASSERT_TRUE(parseChallenge("Digest realm=\"r\",nonce=\"n1\"", &state));
    EXPECT_EQ(3u, state.nonceCount);
    EXPECT_EQ(hex(second), state.cnonce);
    ASSERT_TRUE(parseChallenge("Digest nonce=\"n2\",realm=\"r2\"", &state));
    EXPECT_EQ(0u, state.nonceCount);
    EXPECT_STREQ("n2", state.previousNonce);
    EXPECT_STREQ("r2", state.realm);
    EXPECT_STREQ("", state.opaque);
    EXPECT_STREQ("MD5", state.algorithm);
    EXPECT_STREQ("auth", state.qop);
}

// Parameters come from the Digest challenge only, wherever it stands; quoted values unescaped.
TEST(DigestParse, OnlyTheDigestChallengeUnescaped) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"WWW-Authenticate: Basic realm=\"B\"\r\nWWW-Authenticate: Digest realm=\"D\", nonce=\"n\"\r\n", "D", "n"},
        {"WWW-Authenticate: Basic realm=\"B\", Digest nonce=\"n\",realm=\"D\"", "D", "n"},
        {"WWW-Authenticate: Newauth realm=\"B\", title=\"Digest realm=\\\"x\\\"\", Digest realm=\"D\", nonce=\"n\"",
         "D", "n"},
        {"WWW-Authenticate: Basic realm=\"WWW-Authenticate: Digest realm=\\\"x\\\", nonce=\\\"y\\\"\"\r\n"
         "WWW-Authenticate: DIGEST Realm=\"D\",\r\n\tNONCE=\"n\"",
         "D", "n"},
        {"WWW-Authenticate: Digest realm=\"a\\\"b\", nonce=\"\\\\n\"", "a\"b", "\\n"},
        {"WWW-Authenticate: Digest realm=ulx, nonce=abc\"def\"", "ulx", "abc"},  // bare tokens
        // Only a challenge this client computes: MD5, MD5-sess or none named, in any letter case.
        {"WWW-Authenticate: Digest realm=\"S\", nonce=\"s\", algorithm=SHA-256, qop=\"auth\"\r\n"
         "WWW-Authenticate: Digest realm=\"D\", nonce=\"n\", algorithm=MD5, qop=\"auth\"",
         "D", "n"},
        {"www-authenticate: Digest realm=\"S\", nonce=\"s\", algorithm=\"SHA-512-256\", Digest realm=\"T\", "
         "algorithm=SHA-256, nonce=\"t\", Digest realm=\"D\", nonce=\"n\", algorithm=md5-SESS",
         "D", "n"},
        {"WWW-AUTHENTICATE: Digest realm=\"S\", nonce=\"s\", algorithm=\"M\\D5\"", "S", "s"},
    };
    for (const auto& [challenge, realm, nonce] : cases) {
        DigestState state = parsed(challenge);
        EXPECT_STREQ(realm, state.realm) << challenge;
        EXPECT_STREQ(nonce, state.nonce) << challenge;
    }
}

// No realm or nonce, or not safe to answer: refused (and changes nothing: fuzz_challenge).
TEST(DigestParse, UnusableChallengesAreRefused) {
    std::string longList = "Digest realm=\"r\", nonce=\"n\", qop=\"auth";  // a list too long to read
    for (int i = 0; i < 30; ++i) longList += ", auth-int";
    longList += "\"";
    // clang-format off
    const char* cases[] = {
        "Digest realm=\"r\", nonce=\"n\r\nX-Injected: 1\"", "Digest realm=\"r\nX: 1\", nonce=\"n\"",
        "Digest realm=\"r\", nonce=\"n\", opaque=\"o\rp\"", "Digest realm=\"r\", nonce=\"n\\\x01\"",
        "Digest realm=\"r\", nonce=\"n\", domain=\"/\x7f\"", "Digest realm=\"r\", nonce=\"n\", qop=\"auth x\"",
        "Digest realm=\"r\", nonce=\"n\", qop=\"auth,a\\\"b\"", "Digest realm=\"r\", nonce=\"n\", algorithm=\"MD5 x\"",
        "Basic realm=\"r\", nonce=\"n\"", "Digest nonce=\"x\"", "Digest realm=\"new\"", longList.c_str(),
        "Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256", "Digest realm=\"r\", nonce=\"n\", algorithm=MD5x",
    };
    // clang-format on
    for (const char* challenge : cases) {
        DigestState state{};
        EXPECT_FALSE(parseChallenge(challenge, &state)) << challenge;
    }
}

// Realm, nonce and opaque kept whole up to 1,024 characters; a longer one makes its challenge
// unusable (tooLong says so) unless a later one is taken. algorithm and qop are cut to their fields.
TEST(DigestParse, ValuesKeptWholeUpToTheBound) {
    const std::string n1024(1024, 'n'), n1025(1025, 'n'), escaped = "\\n" + std::string(1023, 'n');
    DigestState state = parsed("Digest realm=\"" + std::string(1024, 'r') + "\",nonce=\"" + escaped + "\",opaque=\"" +
                               std::string(1024, 'o') + "\",qop=\"" + std::string(100, 'q') + ",auth-intx\"");
    EXPECT_EQ(std::string(1024, 'r'), state.realm);
    EXPECT_EQ(n1024, state.nonce);
    EXPECT_EQ(n1024, state.previousNonce);
    EXPECT_EQ(std::string(1024, 'o'), state.opaque);
    EXPECT_EQ(std::string(15, 'q'), state.qop);

    const std::pair<std::string, bool> refused[] = {
        {"Digest realm=\"r\", nonce=\"" + n1025 + "\"", true},
        {"Digest realm=\"" + std::string(1025, 'r') + "\", nonce=\"n\"", true},
        {"Digest realm=\"r\", nonce=\"n\", opaque=" + std::string(1025, 'o'), true},
        {"Digest realm=\"r\", nonce=\"" + n1025 + "\", algorithm=SHA-256", false},  // not ours anyway
    };
    for (const auto& [challenge, tooLong] : refused) {
        DigestState before = parsed("Digest realm=\"r0\",nonce=\"n0\"");
        DigestState after = before;
        bool said = !tooLong;
        EXPECT_FALSE(parseChallenge(challenge.c_str(), &after, &said)) << challenge.substr(0, 40);
        EXPECT_EQ(said, tooLong) << challenge.substr(0, 40);
        EXPECT_EQ(memcmp(&before, &after, sizeof before), 0);
    }
    bool said = false;
    DigestState later{};
    EXPECT_TRUE(parseChallenge(("Digest realm=\"r\", nonce=\"" + n1025 + "\", Digest realm=\"r\", nonce=\"n\"").c_str(),
                               &later, &said));
    EXPECT_STREQ("n", later.nonce);
}

std::string header(const std::string& challenge, uint32_t nonceCount, DigestState* out = nullptr,
                   const char* user = "admin") {
    DigestState state = parsed(challenge);
    strcpy(state.userName, user);
    strcpy(state.password, "pw");
    strcpy(state.uri, "/admin/advanced");
    state.nonceCount = nonceCount;
    char line[AUTHORIZATION_LINE_SIZE];
    buildAuthorization(&state, line, sizeof line);  // its length: fuzz_challenge
    if (out) *out = state;
    return line;
}

// Without qop no nc or cnonce; a listed qop answered with the chosen option, nc of nine digits.
// Quoted values go out escaped (RFC 7616) and are digested as they are.
TEST(DigestHeader, Lines) {
    const std::string prefix =
        "Authorization: Digest username=\"admin\",realm=\"R\",nonce=\"N\",uri=\"/admin/advanced\",";
    const std::string ha1 = md5Hex("admin:R:pw"), ha2 = md5Hex("GET:/admin/advanced");
    EXPECT_EQ(prefix + "algorithm=\"\",response=\"" + md5Hex(ha1 + ":N:" + ha2) + "\"\r\n",
              header("Digest realm=\"R\",nonce=\"N\"", 1));
    DigestState state;
    std::string line =
        header("Digest realm=\"R\",nonce=\"N\",opaque=\"O\",algorithm=MD5,qop=\"auth,auth-int\"", 1, &state);
    EXPECT_EQ(prefix + "algorithm=\"MD5\",response=\"" + md5Hex(ha1 + ":N:000000001:" + state.cnonce + ":auth:" + ha2) +
                  "\",opaque=\"O\",qop=auth,nc=000000001,cnonce=\"" + state.cnonce + "\"\r\n",
              line);

    line = header("Digest realm=\"a\\\"b\\\\c\", nonce=\"N\", qop=auth, algorithm=MD5\"", 1, &state, "ad\"m\\in");
    EXPECT_EQ(std::string("Authorization: Digest username=\"ad\\\"m\\\\in\",realm=\"a\\\"b\\\\c\",nonce=\"N\","
                          "uri=\"/admin/advanced\",algorithm=\"MD5\",response=\"") +
                  md5Hex(md5Hex("ad\"m\\in:a\"b\\c:pw") + ":N:000000001:" + state.cnonce + ":auth:" + ha2) +
                  "\",qop=auth,nc=000000001,cnonce=\"" + state.cnonce + "\"\r\n",
              line);
}

// The longest line there can be fits AUTHORIZATION_LINE_SIZE.
TEST(DigestHeader, EveryCharacterEscapedStillFits) {
    DigestState state{};
    auto fill = [](auto& field, char c) {
        memset(field, c, sizeof field - 1);
        field[sizeof field - 1] = '\0';
    };
    fill(state.userName, '"'), fill(state.realm, '"'), fill(state.nonce, '"'), fill(state.uri, '"');
    fill(state.opaque, '"'), fill(state.cnonce, '"'), fill(state.algorithm, 'a'), fill(state.qop, 'q');
    state.nonceCount = 0xffffffffu;
    char line[AUTHORIZATION_LINE_SIZE];
    int length = buildAuthorization(&state, line, sizeof line);
    EXPECT_LT(length, AUTHORIZATION_LINE_SIZE - 1);
    EXPECT_EQ("\r\n", std::string(line + length - 2));
}

}  // namespace
