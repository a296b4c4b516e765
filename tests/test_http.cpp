// The HTTP exchange called directly: status classification, field extraction,
// and httpGet against a scripted server (127.0.3.10 .. 127.0.3.27).
#include "web/http.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>

#include "support/web_server.h"

using namespace ulxtest;
using namespace std::string_literals;

namespace {

uint32_t ip(const char* text) { return ntohl(inet_addr(text)); }

// A TCP socket holding address:port (-1 if the bind fails).
int takePort(const char* address, int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(ip(address))}, {}};
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return s;
    close(s);
    return -1;
}

// Counts TCP SYNs to address:80 from construction on, through a raw socket
// bound to the address; needs raw-socket rights (ok()).
class SynCounter {
public:
    explicit SynCounter(const char* address) {
        sockaddr_in sa{AF_INET, 0, {htonl(ip(address))}, {}};
        int size = 8 << 20;  // room for whatever else arrives meanwhile
        if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            close(fd_), fd_ = -1;
    }
    ~SynCounter() { close(fd_); }
    bool ok() const { return fd_ >= 0; }
    int count() {
        unsigned char p[128];
        while (recv(fd_, p, sizeof p, 0) > 0) {
            const unsigned char* tcp = p + (p[0] & 15) * 4;
            count_ += tcp[2] == 0 && tcp[3] == 80 && (tcp[13] & 0x12) == 0x02;  // port 80, SYN without ACK
        }
        return count_;
    }

private:
    int fd_ = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    int count_ = 0;
};

TEST(HttpClassify, StatusLines) {
    // clang-format off
    const std::pair<const char*, int> cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", 0}, {"HTTP/1.1 404 Not Found", 2}, {"HTTP/1.1 401 Unauthorized\r\n\r\n", 2},
        {"HTTP/1.1\t \t200", 0},  // any run of blanks and tabs
        {"HTTP/1.1x200", 0},      // the character after the version is skipped, whatever it is
        {"HTTP/1.1 2000", 0},     // three characters compared
        {"HTTP/1.1 20", 2},       // cut inside the status code
        {"HTTP/1.1 401 X\r\nWWW-Authenticate: Basic realm=\"ulx\"\r\n\r\n", 2},  // no nonce
        {"HTTP/1.1 401 X\r\nwww-authenticate: Digest realm=\"r\", nonce=\"n\"\r\n", 2},
        {"HTTP/1.1 401 X\r\n\r\n<p>WWW-Authenticate: Digest realm=\"r\", nonce=\"n\"</p>", 1},  // in the body
        {"HTTP/1.1 401 X\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n", 1},  // ends inside the nonce
        {"HTTP/1.1 401 X\r\nWWW-Authenticate: Basic realm=\"b\"\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\"", 1},
        {"HTTP/1.1 401 X\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\r\nX-Injected: 1\"\r\n\r\n", 2},
        {"HTTP/1.1", -2}, {"HTTP/1.1 ", -2}, {"HTTP/1.1 \t  ", -2},
        {"HTTP/1.0 200 OK", -1}, {"http/1.1 200 OK", -1}, {"HTTP/1.", -1}, {"", -1}, {"\x89PNG\r\n\x1a\n", -1},
    };
    // clang-format on
    for (const auto& [text, expected] : cases) {
        DigestState state{};
        EXPECT_EQ(classifyResponse(text, &state), expected) << text;
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
        {"<td>Hardware Version:</td><td>2.1", "Hardware Version:", "2.1"},      // runs to the end
        {"Product Name:<b>A</b> Product Name:<b>B</b>", "Product Name:", "A"},  // first occurrence
        {"Label:<td> spaced &amp; verbatim </td>", "Label:", " spaced &amp; verbatim "},
        {"<td>Serial Number:</td><td>" + longValue + "</td>", "Serial Number:", longValue.substr(0, 127)},
        {"product name:<b>A</b>", "Product Name:", std::nullopt},  // case-sensitive
        {"<td>nothing here</td>", "Product Name:", std::nullopt},
    };
    for (const Case& c : cases) {
        char dest[128] = "previous";
        EXPECT_EQ(extractField(c.text.c_str(), c.label, dest, 127), c.expected ? dest : nullptr) << c.text;
        EXPECT_EQ(std::string(dest), c.expected.value_or("previous")) << c.text;
    }
}

// How many labels make a status page, and the line that names any other answer.
TEST(HttpAnswer, LabelsAndFirstLine) {
    const std::tuple<std::string, int, const char*> cases[] = {
        {statusPage(), 5, "HTTP/1.1 200 OK"},
        {"HTTP/1.1 404 Not Found\r\nServer: printer\r\n\r\n<h1>Not Found</h1>", 0, "HTTP/1.1 404 Not Found"},
        {"HTTP/1.1 200 OK\r\n\r\n<td>Serial Number:</td><td>1</td>", 1, "HTTP/1.1 200 OK"},
        {"\r\n<p>Product Name?</p>", 0, "(empty)"},
        {"HTTP/1.1 500\tFlash\x01write\x7f\n", 0, "HTTP/1.1 500?Flash?write?"},
        {"HTTP/1.1 301 " + std::string(100, 'M'), 0, nullptr},  // cut to 80 characters
    };
    for (const auto& [text, labels, line] : cases) {
        EXPECT_EQ(countDeviceLabels(text.c_str()), labels) << text;
        char out[96];
        describeAnswer(text.c_str(), out, sizeof out, 80);
        EXPECT_EQ(std::string(out), line ? line : text.substr(0, 80)) << text;
    }
}

class HttpGet : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&g_webState.digest, 0, sizeof g_webState.digest);
        memset(&g_webState.device, 0, sizeof g_webState.device);
    }
    // One exchange from local (any port from 23456 up) to device:80; the
    // buffer has guard bytes behind its size.
    int get(const char* local, const char* device, const char* path = "/admin/advanced") {
        return httpGet(ip(local), 23456, ip(device), 80, path, buffer.data(), RESPONSE_MAX_CHARS);
    }
    std::string buffered(size_t n) const { return std::string(buffer.data(), n); }
    void expectFields(bool found = true) {  // DeviceInfo against kDeviceFields, in its order
        const DeviceInfo& d = g_webState.device;
        const char* fields[] = {d.productName, d.macAddress, d.softwareVersion, d.hardwareVersion, d.serialNumber};
        for (int i = 0; i < 5; ++i) EXPECT_STREQ(fields[i], found ? kDeviceFields[i].value : "") << i;
    }
    void setDigest(const char* password, uint32_t nonceCount) {
        ASSERT_TRUE(
            parseChallenge("Digest realm=\"ulx\",nonce=\"abc\",qop=\"auth\",algorithm=MD5", &g_webState.digest));
        copyText(g_webState.digest.userName, 128, "admin");
        copyText(g_webState.digest.password, 128, password);
        g_webState.digest.nonceCount = nonceCount;
    }
    std::vector<char> buffer = std::vector<char>(RESPONSE_BUFFER_SIZE + 64, '\x55');
    WebServer server;
};

// Without a password: request line, Host and blank line only; the bind
// moves on from a taken port and starts again at each request.
TEST_F(HttpGet, WithoutPasswordFromTheFirstFreePort) {
    ASSERT_EQ(server.start("127.0.3.11", 80, inOrder({{statusPage(), false, 3}})), "");
    int taken = takePort("127.0.3.10", 23456);
    ASSERT_GE(taken, 0);
    int n = get("127.0.3.10", "127.0.3.11");
    close(taken);
    EXPECT_EQ(n, static_cast<int>(statusPage().size()));
    EXPECT_EQ(buffered(n + 1), statusPage() + '\0');
    expectFields();
    EXPECT_GT(get("127.0.3.10", "127.0.3.11"), 0);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].bytes, "GET /admin/advanced HTTP/1.1\r\nHost: 127.0.3.11\r\n\r\n");
    EXPECT_EQ(requests[0].peerAddress, "127.0.3.10");
    EXPECT_EQ(requests[0].peerPort, 23457);
    EXPECT_EQ(requests[1].peerPort, 23456);
    EXPECT_EQ(g_webState.digest.nonceCount, 0u);
}

TEST_F(HttpGet, EveryAuthorisedRequestRaisesTheNonceCountByOne) {
    ASSERT_EQ(server.start("127.0.3.13", 80, inOrder({{statusPage()}})), "");
    setDigest("secret", 0);
    const char* paths[] = {"/admin/advanced", "/admin/upgrade?tftp://127.0.3.12:69/ulx7400.bin", "/admin/advanced"};
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_GT(get("127.0.3.12", "127.0.3.13", paths[i]), 0);
        EXPECT_EQ(g_webState.digest.nonceCount, i + 1);
        ASSERT_TRUE(server.waitRequests(i + 1));
        std::string request = server.requests()[i].bytes;
        std::string head = "GET " + std::string(paths[i]) + " HTTP/1.1\r\nHost: 127.0.3.13\r\nAuthorization: ";
        EXPECT_EQ(request.substr(0, head.size()), head);
        EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");
        EXPECT_EQ(authParam(request, "uri"), paths[i]);
        EXPECT_EQ(authParam(request, "nc"), "00000000" + std::to_string(i + 1));
        EXPECT_TRUE(digestMatches(request, "secret")) << request;
    }
}

TEST_F(HttpGet, UnreachableDeviceTenAttemptsThenZeroAndNothingChanged) {
    setDigest("secret", 5);
    copyText(g_webState.device.productName, 128, "before");
    DigestState state = g_webState.digest;
    DeviceInfo info = g_webState.device;
    SynCounter attempts("127.0.3.17");  // nothing listens there
    EXPECT_EQ(get("127.0.3.16", "127.0.3.17"), 0);
    EXPECT_EQ(memcmp(&state, &g_webState.digest, sizeof state), 0);
    EXPECT_EQ(memcmp(&info, &g_webState.device, sizeof info), 0);
    EXPECT_EQ(buffer[0], '\x55');
    if (!attempts.ok()) GTEST_SKIP() << "no raw socket here: the attempts are not counted";
    for (int i = 0; i < 200 && attempts.count() < 10; ++i) usleep(10000);
    usleep(100000);
    EXPECT_EQ(attempts.count(), 10);
}

TEST_F(HttpGet, RefusalStoresTheChallengeAndExtractsNothing) {
    std::string answer =
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"ulx\", nonce=\"n2\", algorithm=MD5, "
        "qop=\"auth\", opaque=\"op\"\r\nContent-Type: text/html\r\n\r\n" +
        statusPageHtml();
    ASSERT_EQ(server.start("127.0.3.19", 80, inOrder({{answer}})), "");
    copyText(g_webState.digest.nonce, 128, "n1");
    copyText(g_webState.digest.previousNonce, 128, "n1");
    g_webState.digest.nonceCount = 3;
    EXPECT_EQ(get("127.0.3.18", "127.0.3.19"), -1);
    EXPECT_STREQ(g_webState.digest.nonce, "n2");
    EXPECT_STREQ(g_webState.digest.opaque, "op");
    EXPECT_EQ(g_webState.digest.nonceCount, 0u);  // a new nonce
    expectFields(false);

    // With a password, the same nonce refused again: the count stays.
    copyText(g_webState.digest.password, 128, "wrong");
    EXPECT_EQ(get("127.0.3.18", "127.0.3.19"), -1);
    EXPECT_EQ(g_webState.digest.nonceCount, 1u);
}

// Each is read whole and searched (up to its first NUL) for the fields.
TEST_F(HttpGet, AnswersThatAreNoPasswordDemandGiveTheirByteCount) {
    const std::string binary = "HTTP/1.1 200 OK\r\n\r\n<td>Product Name:</td><td>ULX\0-7400</td>"s +
                               "<td>Serial Number:</td><td>FM1</td>\xff\xfe";
    const std::string answers[] = {
        statusPage("HTTP/1.0 200 OK"),
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"ulx\"\r\n\r\n" + statusPageHtml(),
        statusPage("HTTP/1.1 404 Not Found"),
        statusPageHtml(),  // no status line at all
        "",                // closed without a byte
        binary,
    };
    ASSERT_EQ(server.start("127.0.3.21", 80, inOrder({std::begin(answers), std::end(answers)})), "");
    for (const std::string& a : answers) {
        SCOPED_TRACE(a.substr(0, 30));
        memset(&g_webState.device, 0, sizeof g_webState.device);
        EXPECT_EQ(get("127.0.3.20", "127.0.3.21"), static_cast<int>(a.size()));
        EXPECT_EQ(buffered(a.size()), a);
        EXPECT_EQ(g_webState.digest.nonceCount, 0u);
        if (a != binary) {
            expectFields(!a.empty());
            continue;
        }
        EXPECT_STREQ(g_webState.device.productName, "ULX");
        EXPECT_STREQ(g_webState.device.serialNumber, "");
    }
}

// A device that takes the request and then says nothing, or drips its page
// a byte now and then past the whole answer's bound: a failed attempt, which
// leaves nothing behind (on the test clock the bounds are 0.5 s and 1.5 s).
TEST_F(HttpGet, SilentOrDrippingAnswerIsAFailedAttempt) {
    ASSERT_EQ(server.start("127.0.3.25", 80, inOrder({{"", true}, {statusPage(), false, 150}})), "");
    setDigest("secret", 0);
    copyText(g_webState.device.productName, 128, "before");
    DeviceInfo info = g_webState.device;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(get("127.0.3.24", "127.0.3.25"), 0) << attempt;
        EXPECT_EQ(buffer[0], '\0');
        EXPECT_EQ(memcmp(&info, &g_webState.device, sizeof info), 0);
    }
    EXPECT_EQ(g_webState.digest.nonceCount, 2u);  // both were sent
}

// All 101 local ports taken: no attempt can be made, which the exchange
// returns at once (the caller ends the run), its socket closed.
TEST_F(HttpGet, NoFreeLocalPortIsReturnedAndLeavesNoSocket) {
    std::vector<int> taken;
    for (int port = 23456; port <= 23556; ++port) {
        taken.push_back(takePort("127.0.3.26", port));
        ASSERT_GE(taken.back(), 0) << port;
    }
    int probe = dup(0);  // the lowest free descriptor before the exchange
    close(probe);
    EXPECT_EQ(get("127.0.3.26", "127.0.3.27"), HTTP_NO_BIND);
    int after = dup(0);
    close(after);
    EXPECT_EQ(after, probe);
    EXPECT_EQ(buffer[0], '\x55');
    for (int s : taken) close(s);
}

TEST_F(HttpGet, LongAnswerIsCutAtTheCapacityAndStillSearched) {
    // The serial number's label lies inside the capacity, its value across the cut.
    std::string head = "HTTP/1.1 200 OK\r\n\r\n<td>Product Name:</td><td>P</td>", cell = "<td>Serial Number:</td><td>";
    std::string answer = head + std::string(RESPONSE_MAX_CHARS - 5 - head.size() - cell.size(), ' ') + cell +
                         "SERIAL-BEYOND</td>" + std::string(10000, 'x');
    ASSERT_EQ(server.start("127.0.3.23", 80, inOrder({{answer}})), "");
    EXPECT_EQ(get("127.0.3.22", "127.0.3.23"), RESPONSE_MAX_CHARS);
    EXPECT_EQ(buffered(RESPONSE_MAX_CHARS), answer.substr(0, RESPONSE_MAX_CHARS));
    EXPECT_EQ(buffer[RESPONSE_MAX_CHARS], '\0');
    EXPECT_EQ(std::string(buffer.begin() + RESPONSE_BUFFER_SIZE, buffer.end()), std::string(64, '\x55'));
    EXPECT_STREQ(g_webState.device.productName, "P");
    EXPECT_STREQ(g_webState.device.serialNumber, "SERIA");
}

}  // namespace
