// The HTTP exchange, called directly: status classification, field
// extraction, and httpGet against a scripted server on loopback (each test
// on addresses of its own, so tests can run side by side).
#include "web/http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "support/web_server.h"

using namespace ulxtest;
using namespace std::string_literals;

namespace {

uint32_t ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return ntohl(a.s_addr);
}

// The DeviceInfo fields in the order of kDeviceFields.
const char* infoField(int i) {
    const char* fields[] = {g_deviceInfo.productName, g_deviceInfo.macAddress, g_deviceInfo.softwareVersion,
                            g_deviceInfo.hardwareVersion, g_deviceInfo.serialNumber};
    return fields[i];
}

TEST(HttpClassify, StatusLines) {
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", 0},
        {"HTTP/1.1\t \t200", 0},    // any run of blanks and tabs
        {"HTTP/1.1x200", 0},        // the character after the version is skipped, whatever it is
        {"HTTP/1.1 2000", 0},       // three characters compared
        {"HTTP/1.1 404 Not Found", 2},
        {"HTTP/1.1 20", 2},         // cut inside the status code
        {"HTTP/1.1 401 Unauthorized\r\n\r\n", 2},
        {"HTTP/1.1 401 X\r\nWWW-Authenticate: Basic realm=\"ulx\"\r\n\r\n", 2},  // no nonce
        {"HTTP/1.1 401 X\r\nwww-authenticate: Digest realm=\"r\", nonce=\"n\"\r\n", 2},
        {"HTTP/1.1 401 X\r\n\r\n<p>WWW-Authenticate: Digest realm=\"r\", nonce=\"n\"</p>", 1},  // in the body
        {"HTTP/1.1 401 X\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n", 1},  // ends inside the nonce
        {"HTTP/1.1", -2},
        {"HTTP/1.1 ", -2},
        {"HTTP/1.1 \t  ", -2},
        {"HTTP/1.0 200 OK", -1},
        {"http/1.1 200 OK", -1},
        {"HTTP/1.", -1},
        {"", -1},
        {"\x89PNG\r\n\x1a\n", -1},
    };
    for (const Case& c : cases) {
        DigestState state{};
        EXPECT_EQ(classifyResponse(c.text, &state), c.expected) << c.text;
    }
}

TEST(HttpExtract, ValueIsTheFirstTextBetweenTagsAfterTheLabel) {
    std::string longValue(200, 'L');
    struct Case {
        std::string text;
        const char* label;
        std::optional<std::string> expected;  // none: not found, destination untouched
    } cases[] = {
        {"<tr><td>Product Name:</td><td>ULX-7400</td></tr>", "Product Name:", "ULX-7400"},
        {"<td>Serial Number:</td><td></td></tr>\r\n<tr><td>MAC", "Serial Number:", "\r\n"},  // empty cell
        {"MAC Address:>", "MAC Address:", ""},
        {"MAC Address: 00:0E:08 and no tag", "MAC Address:", std::nullopt},
        {"<td>Hardware Version:</td><td>2.1", "Hardware Version:", "2.1"},  // runs to the end
        {"Product Name:<b>A</b> Product Name:<b>B</b>", "Product Name:", "A"},  // first occurrence
        {"Label:<td> spaced &amp; verbatim </td>", "Label:", " spaced &amp; verbatim "},
        {"<td>Serial Number:</td><td>" + longValue + "</td>", "Serial Number:", longValue.substr(0, 127)},
        {"product name:<b>A</b>", "Product Name:", std::nullopt},  // case-sensitive
        {"<td>nothing here</td>", "Product Name:", std::nullopt},
    };
    for (const Case& c : cases) {
        char dest[128] = "previous";
        char* got = extractField(c.text.c_str(), c.label, dest, 127);
        EXPECT_EQ(got, c.expected ? dest : nullptr) << c.text;
        EXPECT_EQ(std::string(dest), c.expected.value_or("previous")) << c.text;
    }
}

class HttpGet : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&g_digestState, 0, sizeof g_digestState);
        memset(&g_deviceInfo, 0, sizeof g_deviceInfo);
    }
    // One exchange from local (any port from 23456 up) to device:80; the
    // buffer has guard bytes behind its size.
    int get(const char* local, const char* device, const char* path = "/admin/advanced") {
        return httpGet(ip(local), 23456, ip(device), 80, path, buffer.data(), RESPONSE_CAPACITY);
    }
    std::string buffered(int n) const { return std::string(buffer.data(), static_cast<size_t>(n)); }
    void expectFields() {
        for (int i = 0; i < 5; ++i) EXPECT_STREQ(infoField(i), kDeviceFields[i].value) << kDeviceFields[i].label;
    }
    std::vector<char> buffer = std::vector<char>(RESPONSE_BUFFER_SIZE + 64, '\x55');
    WebServer server;
};

TEST_F(HttpGet, WithoutPasswordSendsRequestLineHostAndBlankLineOnly) {
    ASSERT_TRUE(server.start("127.0.3.11", 80, inOrder({{statusPage(), false, 3}}))) << server.lastError();
    int n = get("127.0.3.10", "127.0.3.11");
    std::string reply = statusPage();
    EXPECT_EQ(n, static_cast<int>(reply.size()));
    EXPECT_EQ(buffered(n + 1), reply + '\0');
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bytes, "GET /admin/advanced HTTP/1.1\r\nHost: 127.0.3.11\r\n\r\n");
    EXPECT_EQ(requests[0].peerAddress, "127.0.3.10");
    EXPECT_EQ(requests[0].peerPort, 23456);
    expectFields();
    EXPECT_EQ(g_digestState.nonceCount, 0u);
}

TEST_F(HttpGet, EveryAuthorisedRequestRaisesTheNonceCountByOne) {
    ASSERT_TRUE(server.start("127.0.3.13", 80, inOrder({{statusPage()}}))) << server.lastError();
    copyText(g_digestState.userName, 128, "admin");
    copyText(g_digestState.password, 128, "secret");
    copyText(g_digestState.realm, 128, "ulx");
    copyText(g_digestState.nonce, 128, "abc");
    copyText(g_digestState.previousNonce, 128, "abc");
    copyText(g_digestState.cnonce, 128, "1f");
    copyText(g_digestState.qop, 16, "auth");
    copyText(g_digestState.algorithm, 16, "MD5");
    const char* paths[] = {"/admin/advanced", "/admin/upgrade?tftp://127.0.3.12:69/ulx7400.bin", "/admin/advanced"};
    for (unsigned i = 0; i < 3; ++i) {
        DigestState expected = g_digestState;
        expected.nonceCount++;
        copyText(expected.uri, 128, paths[i]);
        char line[1024];
        buildAuthorization(&expected, line, sizeof line);
        EXPECT_GT(get("127.0.3.12", "127.0.3.13", paths[i]), 0);
        EXPECT_EQ(g_digestState.nonceCount, i + 1);
        EXPECT_STREQ(g_digestState.uri, paths[i]);
        ASSERT_TRUE(server.waitRequests(i + 1));
        std::string request = server.requests()[i].bytes;
        EXPECT_EQ(request, "GET " + std::string(paths[i]) + " HTTP/1.1\r\nHost: 127.0.3.13\r\n" + line + "\r\n");
        EXPECT_EQ(authParam(request, "nc"), "00000000" + std::to_string(i + 1));
        EXPECT_TRUE(digestMatches(request, "secret")) << request;
    }
}

TEST_F(HttpGet, BindMovesOnFromATakenPortAndStartsAgainAtEachRequest) {
    ASSERT_TRUE(server.start("127.0.3.15", 80, inOrder({{statusPage()}}))) << server.lastError();
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(23456);
    sa.sin_addr.s_addr = htonl(ip("127.0.3.14"));
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_GT(get("127.0.3.14", "127.0.3.15"), 0);
    close(taken);
    EXPECT_GT(get("127.0.3.14", "127.0.3.15"), 0);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].peerPort, 23457);
    EXPECT_EQ(requests[1].peerPort, 23456);
}

TEST_F(HttpGet, UnreachableDeviceTenAttemptsThenZeroAndNothingChanged) {
    copyText(g_digestState.password, 128, "secret");
    copyText(g_digestState.nonce, 128, "abc");
    copyText(g_digestState.qop, 16, "auth");
    g_digestState.nonceCount = 5;
    copyText(g_deviceInfo.productName, 128, "before");
    DigestState state = g_digestState;
    DeviceInfo info = g_deviceInfo;
    SynCounter attempts("127.0.3.17", 80);  // nothing listens there
    EXPECT_EQ(get("127.0.3.16", "127.0.3.17"), 0);
    EXPECT_EQ(memcmp(&state, &g_digestState, sizeof state), 0);
    EXPECT_EQ(memcmp(&info, &g_deviceInfo, sizeof info), 0);
    EXPECT_EQ(buffer[0], '\x55');
    if (!attempts.ok()) GTEST_SKIP() << "no raw socket here: the attempts are not counted";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (attempts.count() < 10 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(attempts.count(), 10);
}

TEST_F(HttpGet, RefusalStoresTheChallengeAndExtractsNothing) {
    std::string answer =
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"ulx\", nonce=\"n2\", algorithm=MD5, "
        "qop=\"auth\", opaque=\"op\"\r\nContent-Type: text/html\r\n\r\n" + statusPageHtml();
    ASSERT_TRUE(server.start("127.0.3.19", 80, inOrder({{answer}}))) << server.lastError();
    copyText(g_digestState.nonce, 128, "n1");
    copyText(g_digestState.previousNonce, 128, "n1");
    g_digestState.nonceCount = 3;
    EXPECT_EQ(get("127.0.3.18", "127.0.3.19"), -1);
    EXPECT_STREQ(g_digestState.realm, "ulx");
    EXPECT_STREQ(g_digestState.nonce, "n2");
    EXPECT_STREQ(g_digestState.previousNonce, "n2");
    EXPECT_STREQ(g_digestState.algorithm, "MD5");
    EXPECT_STREQ(g_digestState.qop, "auth");
    EXPECT_STREQ(g_digestState.opaque, "op");
    EXPECT_NE(g_digestState.cnonce[0], '\0');
    EXPECT_EQ(g_digestState.nonceCount, 0u);  // a new nonce
    for (int i = 0; i < 5; ++i) EXPECT_STREQ(infoField(i), "");

    // With a password, the same nonce refused again: the count stays.
    copyText(g_digestState.password, 128, "wrong");
    EXPECT_EQ(get("127.0.3.18", "127.0.3.19"), -1);
    EXPECT_EQ(g_digestState.nonceCount, 1u);
}

TEST_F(HttpGet, AnswersThatAreNoPasswordDemandGiveTheirByteCount) {
    std::vector<std::string> answers = {
        statusPage("HTTP/1.0 200 OK"),
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"ulx\"\r\n\r\n" + statusPageHtml(),
        statusPage("HTTP/1.1 404 Not Found"),
        statusPageHtml(),  // no status line at all
        "",                // closed without a byte
    };
    std::vector<Reply> replies;
    for (auto& a : answers) replies.push_back({a});
    ASSERT_TRUE(server.start("127.0.3.21", 80, inOrder(replies))) << server.lastError();
    for (const std::string& a : answers) {
        memset(&g_deviceInfo, 0, sizeof g_deviceInfo);
        EXPECT_EQ(get("127.0.3.20", "127.0.3.21"), static_cast<int>(a.size())) << a.substr(0, 30);
        if (a.empty()) {
            for (int i = 0; i < 5; ++i) EXPECT_STREQ(infoField(i), "");
        } else {
            expectFields();
        }
        EXPECT_EQ(g_digestState.nonceCount, 0u);
    }
}

TEST_F(HttpGet, BinaryAnswerIsReadWholeAndSearchedUpToItsFirstNul) {
    std::string answer = "HTTP/1.1 200 OK\r\n\r\n<td>Product Name:</td><td>ULX\0-7400</td>"s +
                         "<td>Serial Number:</td><td>FM1</td>\xff\xfe";
    ASSERT_TRUE(server.start("127.0.3.25", 80, inOrder({{answer}}))) << server.lastError();
    EXPECT_EQ(get("127.0.3.24", "127.0.3.25"), static_cast<int>(answer.size()));
    EXPECT_EQ(buffered(static_cast<int>(answer.size())), answer);
    EXPECT_STREQ(g_deviceInfo.productName, "ULX");
    EXPECT_STREQ(g_deviceInfo.serialNumber, "");
}

TEST_F(HttpGet, LongAnswerIsCutAtTheCapacityAndStillSearched) {
    // The serial number's label lies inside the capacity, its value across
    // the cut.
    std::string head = "HTTP/1.1 200 OK\r\n\r\n<td>Product Name:</td><td>P</td>";
    std::string cell = "<td>Serial Number:</td><td>";
    std::string answer = head + std::string(RESPONSE_CAPACITY - 5 - head.size() - cell.size(), ' ') + cell +
                         "SERIAL-BEYOND</td>" + std::string(10000, 'x');
    ASSERT_TRUE(server.start("127.0.3.23", 80, inOrder({{answer}}))) << server.lastError();
    EXPECT_EQ(get("127.0.3.22", "127.0.3.23"), RESPONSE_CAPACITY);
    EXPECT_EQ(buffered(RESPONSE_CAPACITY), answer.substr(0, RESPONSE_CAPACITY));
    EXPECT_EQ(buffer[RESPONSE_CAPACITY], '\0');
    EXPECT_EQ(std::string(buffer.begin() + RESPONSE_BUFFER_SIZE, buffer.end()), std::string(64, '\x55'));
    EXPECT_STREQ(g_deviceInfo.productName, "P");
    EXPECT_STREQ(g_deviceInfo.serialNumber, "SERIA");
}

}  // namespace
