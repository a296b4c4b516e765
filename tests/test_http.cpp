// The HTTP exchange: classification, framing, fields, httpGet against a scripted server (127.0.3.x).
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
    // A listener holds the port against every other bind, SO_REUSEADDR or not, and takes it even while an
    // earlier run's connection from it waits out TIME_WAIT.
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(s, 1) == 0) return s;
    close(s);
    return -1;
}

// Counts TCP SYNs to address:80 through a raw socket (needs raw-socket rights: ok()).
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
        {"HTTP/1.1 401 X\r\nwww-authenticate: Digest realm=\"r\", nonce=\"n\"\r\n", 1},  // any case
        {"HTTP/1.1 401 X\r\n\r\n<p>WWW-Authenticate: Digest realm=\"r\", nonce=\"n\"</p>", 1},  // in the body
        {"HTTP/1.1 401 X\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n", 1},  // ends inside the nonce
        {"HTTP/1.1", -2}, {"HTTP/1.1 ", -2}, {"HTTP/1.1 \t  ", -2},
        {"HTTP/1.0 200 OK", 0}, {"HTTP/1.9 404", 2}, {"HTTP/1.0", -2},
        {"http/1.1 200 OK", -1}, {"HTTP/1.", -1}, {"HTTP/1.x 200", -1}, {"HTTP/2 200", -1}, {"", -1},
        {"\x89PNG\r\n\x1a\n", -1},
    };
    // clang-format on
    for (const auto& [text, expected] : cases) {
        DigestState state{};
        EXPECT_EQ(classifyResponse(text, &state), expected) << text;
    }
}

// Chunked bodies, decoded apart and in place (bounds: fuzz_answer).
TEST(HttpFraming, ChunkedBodies) {
    struct Case {
        std::string body;
        ChunkedState state;
        std::string decoded;
        int used;
    } cases[] = {
        {"7\r\n<html><\r\n3\r\nb/>\r\n0\r\n\r\n", CHUNKED_COMPLETE, "<html><b/>", 25},
        {"A;name=\"v\"; x\r\n0123456789\r\n0;last\r\nExpires: never\r\nX: y\r\n\r\n", CHUNKED_COMPLETE, "0123456789",
         59},
        {"00a \t\r\n0123456789\r\n000\r\n\r\ntail", CHUNKED_COMPLETE, "0123456789", 26},  // bytes behind: not read
        {"0\r\n\r\n", CHUNKED_COMPLETE, "", 5},
        {"7\r\n<html>", CHUNKED_INCOMPLETE, "<html>", 0},  // cut inside the data: what arrived
        {"3\r\nabc\r\n0\r\nTrailer: x\r\n", CHUNKED_INCOMPLETE, "abc", 8},
        {"3\r\nabc\r", CHUNKED_INCOMPLETE, "abc", 0},
        {"", CHUNKED_INCOMPLETE, "", 0},
        {"fffffffffffffffffffff\r\nab", CHUNKED_INCOMPLETE, "ab", 0},  // a size beyond any buffer
        {"3\r\nabcd\r\n0\r\n\r\n", CHUNKED_BROKEN, "abc", 0},          // data longer than its size
        {"g\r\nabc\r\n", CHUNKED_BROKEN, "", 0},
        {"3 x\r\nabc\r\n", CHUNKED_BROKEN, "", 0},
        {"3;\x01\r\nabc\r\n", CHUNKED_BROKEN, "", 0},
        {"3\nabc\n0\n\n", CHUNKED_BROKEN, "", 0},
        {"2\r\nab\r\nz\r\n", CHUNKED_BROKEN, "ab", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const int length = static_cast<int>(c.body.size());
        std::string out(c.body.size(), '\0');
        ChunkedBody b = decodeChunked(c.body.data(), length, out.data());
        EXPECT_EQ(b.state, c.state);
        EXPECT_EQ(b.used, c.used);
        ASSERT_EQ(b.decoded, static_cast<int>(c.decoded.size()));
        EXPECT_EQ(out.substr(0, c.decoded.size()), c.decoded);
        std::string inPlace = c.body;
        ChunkedBody again = decodeChunked(inPlace.data(), length, inPlace.data());
        EXPECT_EQ(inPlace.substr(0, c.decoded.size()), c.decoded);
        EXPECT_EQ(again.state, c.state);
    }
}

// Where an answer ends, given whole and a byte at a time: its length once complete, 0 before, -1 broken.
TEST(HttpFraming, AnswerEnds) {
    const std::string page = statusPageHtml();
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n";
    // clang-format off
    const std::pair<std::string, int> cases[] = {
        {statusPage(), static_cast<int>(statusPage().size())},
        {"HTTP/1.0 200 OK\ncontent-LENGTH:  3 \n\nabcdef", 40},  // bare LF lines; bytes behind it
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 38},
        {chunked, static_cast<int>(chunked.size())},
        {"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\nContent-Length: 2\r\n\r\n0\r\n\r\n", 71},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n", -1},
        // Only the close ends these: no length, a length not usable, another coding, no head's end.
        {"HTTP/1.1 200 OK\r\n\r\n" + page, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: +3\r\n\r\nabc", 0},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\nContent-Length: 3\r\n\r\nabc", 0},
        {"HTTP/1.1 200 OK\r\nX-Content-Length: 3\r\n\r\nabc", 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n", 0},
    };
    // clang-format on
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        const int length = static_cast<int>(text.size());
        AnswerFrame whole{};
        EXPECT_EQ(answerLength(text.data(), length, &whole), expected);
        AnswerFrame frame{};
        int n = 1, result = 0;
        for (; n <= length && result == 0; ++n) result = answerLength(text.data(), n, &frame);
        EXPECT_EQ(result, expected);
        if (expected > 0) {
            EXPECT_EQ(n - 1, expected);  // not a byte later
        }
    }
}

// A field's value is the first text between tags after its label; the line that names an answer.
TEST(HttpPage, FieldsLabelsAndFirstLine) {
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
    };
    for (const Case& c : cases) {
        char dest[128] = "previous";
        EXPECT_EQ(extractField(c.text.c_str(), c.label, dest, 127), c.expected ? dest : nullptr) << c.text;
        EXPECT_EQ(std::string(dest), c.expected.value_or("previous")) << c.text;
    }
    const std::pair<std::string, const char*> answers[] = {
        {"HTTP/1.1 404 Not Found\r\nServer: printer\r\n\r\n<h1>Not Found</h1>", "HTTP/1.1 404 Not Found"},
        {"\r\n<p>Product Name?</p>", "(empty)"},
        {"HTTP/1.1 500\tFlash\x01write\x7f\n", "HTTP/1.1 500?Flash?write?"},
        {"HTTP/1.1 301 " + std::string(100, 'M'), nullptr},  // cut to 80 characters
    };
    for (const auto& [text, line] : answers) {
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
    // One exchange from local:23456 up to device:80, stored as the runner stores it (guard bytes behind).
    HttpResult get(const char* local, const char* device, const char* path = "/admin/advanced") {
        HttpResult r = httpGet(ip(local), 23456, ip(device), 80, path, buffer.data(), RESPONSE_MAX_CHARS);
        EXPECT_EQ(r.length > 0, r.status == HTTP_ANSWERED);
        webStoreResult(r);
        return r;
    }
    std::string buffered(size_t n) const { return std::string(buffer.data(), n); }
    void expectFields(bool found = true) {  // DeviceInfo against kDeviceFields, in its order
        const DeviceInfo& d = g_webState.device;
        const char* fields[] = {d.productName, d.macAddress, d.softwareVersion, d.hardwareVersion, d.serialNumber};
        for (int i = 0; i < 5; ++i) EXPECT_STREQ(fields[i], found ? kDeviceFields[i].value : "") << i;
    }
    std::vector<char> buffer = std::vector<char>(RESPONSE_BUFFER_SIZE + 64, '\x55');
    WebServer server;
};

// Without a password: request line, Host, blank line. The bind skips a taken port and starts again
// at each request; with all 101 ports taken the exchange returns at once, its socket closed.
TEST_F(HttpGet, WithoutPasswordFromTheFirstFreePortOrNone) {
    ASSERT_EQ(server.start("127.0.3.11", 80, inOrder({{statusPage(), false, 3}})), "");
    int taken = takePort("127.0.3.10", 23456);
    ASSERT_GE(taken, 0);
    int n = get("127.0.3.10", "127.0.3.11").length;
    close(taken);
    EXPECT_EQ(n, static_cast<int>(statusPage().size()));
    EXPECT_EQ(get("127.0.3.10", "127.0.3.11").status, HTTP_ANSWERED);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].bytes, "GET /admin/advanced HTTP/1.1\r\nHost: 127.0.3.11\r\n\r\n");
    EXPECT_EQ(requests[0].peerAddress, "127.0.3.10");
    EXPECT_EQ(requests[0].peerPort, 23457);
    EXPECT_EQ(requests[1].peerPort, 23456);

    std::vector<int> all;
    for (int port = 23456; port <= 23556; ++port) {
        all.push_back(takePort("127.0.3.26", port));
        ASSERT_GE(all.back(), 0) << port;
    }
    int probe = dup(0);  // the lowest free descriptor before the exchange
    close(probe);
    buffer[0] = '\x55';
    EXPECT_EQ(get("127.0.3.26", "127.0.3.11").status, HTTP_NO_BIND);
    int after = dup(0);
    close(after);
    EXPECT_EQ(after, probe);
    EXPECT_EQ(buffer[0], '\x55');
    EXPECT_EQ(server.requests().size(), 2u);
    for (int fd : all) close(fd);
}

// A refusal stores the challenge and extracts nothing; with a password every request is
// authorised and raises the nonce count by one.
TEST_F(HttpGet, RefusalStoresTheChallengeThenEveryAuthorisedRequestRaisesTheNonceCount) {
    std::string answer =
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"ulx\", nonce=\"n2\", algorithm=MD5, "
        "qop=\"auth\", opaque=\"op\"\r\nContent-Type: text/html\r\n\r\n" +
        statusPageHtml();
    ASSERT_EQ(server.start("127.0.3.13", 80, inOrder({{answer}, {answer}, {statusPage()}})), "");
    EXPECT_EQ(get("127.0.3.12", "127.0.3.13").status, HTTP_REFUSED);
    EXPECT_STREQ(g_webState.digest.nonce, "n2");
    expectFields(false);

    copyText(g_webState.digest.userName, 128, "admin");
    copyText(g_webState.digest.password, 128, "secret");
    const char* paths[] = {"/admin/advanced", "/admin/upgrade?tftp://127.0.3.12:69/ulx7400.bin", "/admin/advanced"};
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(get("127.0.3.12", "127.0.3.13", paths[i]).status,
                  i > 0 ? HTTP_ANSWERED : HTTP_REFUSED);  // the first is refused again
        EXPECT_EQ(g_webState.digest.nonceCount, i + 1);
        ASSERT_TRUE(server.waitRequests(i + 2));
        std::string request = server.requests()[i + 1].bytes;
        std::string head = "GET " + std::string(paths[i]) + " HTTP/1.1\r\nHost: 127.0.3.13\r\nAuthorization: ";
        EXPECT_EQ(request.substr(0, head.size()), head);
        EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");
        // The digest itself: DigestHeader.Lines, and the device's own check in the e2e roads.
        EXPECT_NE(request.find(",uri=\"" + std::string(paths[i]) + "\","), std::string::npos) << request;
        EXPECT_NE(request.find(",nc=00000000" + std::to_string(i + 1) + ","), std::string::npos) << request;
    }
}

// No device: ten connection attempts, then no answer; a silent or dripping device too (bounds 0.5 s
// and 1.5 s on the test clock). None leaves anything behind.
TEST_F(HttpGet, UnreachableSilentOrDrippingDeviceIsAFailedAttempt) {
    ASSERT_EQ(server.start("127.0.3.25", 80, inOrder({{"", true}, {statusPage(), false, 150}})), "");
    ASSERT_TRUE(parseChallenge("Digest realm=\"ulx\",nonce=\"abc\",qop=\"auth\"", &g_webState.digest));
    copyText(g_webState.digest.userName, 128, "admin");
    copyText(g_webState.digest.password, 128, "secret");
    g_webState.digest.nonceCount = 5;
    copyText(g_webState.device.productName, 128, "before");
    DigestState state = g_webState.digest;
    DeviceInfo info = g_webState.device;
    SynCounter attempts("127.0.3.17");  // nothing listens there
    EXPECT_EQ(get("127.0.3.16", "127.0.3.17").status, HTTP_NO_ANSWER);
    EXPECT_EQ(memcmp(&state, &g_webState.digest, sizeof state), 0);
    EXPECT_EQ(buffer[0], '\x55');
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(get("127.0.3.24", "127.0.3.25").status, HTTP_NO_ANSWER) << attempt;
        EXPECT_EQ(buffer[0], '\0');
    }
    EXPECT_EQ(g_webState.digest.nonceCount, 7u);  // both were sent
    EXPECT_EQ(memcmp(&info, &g_webState.device, sizeof info), 0);
    if (!attempts.ok()) GTEST_SKIP() << "no raw socket here: the attempts are not counted";
    for (int i = 0; i < 200 && attempts.count() < 10; ++i) usleep(10000);
    usleep(100000);
    EXPECT_EQ(attempts.count(), 10);
}

// On a kept-open connection each answer ends with its framing, not with the silence bound (chunked
// in pieces, a challenge too long: E2e roads ChunkedSevenBytes, KeepAlive, NonceBeyondBound).
TEST_F(HttpGet, KeepAliveAnswersEndWithTheirFraming) {
    const std::string html = statusPageHtml();
    const std::string lower = "HTTP/1.0 200 OK\r\ncontent-length: " + std::to_string(html.size()) + "\r\n\r\n" + html;
    ASSERT_EQ(
        server.start("127.0.3.31", 80,
                     inOrder({{lower + "HTTP/1.0 200 OK", false, 1, true},
                              {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n", false, 1, true}})),
        "");
    HttpResult r = get("127.0.3.30", "127.0.3.31");
    ASSERT_EQ(r.status, HTTP_ANSWERED);  // bytes behind the length are not the answer's
    EXPECT_EQ(buffered(lower.size() + 1), lower + '\0');
    expectFields();
    EXPECT_EQ(get("127.0.3.30", "127.0.3.31").status, HTTP_NO_ANSWER);  // a broken chunk
}

// Every port may still be connected to a keep-alive server: each is free for another device.
TEST_F(HttpGet, PortsStillConnectedToOneDeviceServeAnother) {
    WebServer other;
    ASSERT_EQ(server.start("127.0.3.35", 80, inOrder({{statusPage(), false, 1, true}})), "");
    ASSERT_EQ(other.start("127.0.3.36", 80, inOrder({{statusPage()}})), "");
    for (int i = 0; i < BIND_ATTEMPTS; ++i) ASSERT_EQ(get("127.0.3.34", "127.0.3.35").status, HTTP_ANSWERED) << i;
    EXPECT_EQ(get("127.0.3.34", "127.0.3.36").length, static_cast<int>(statusPage().size()));
    ASSERT_EQ(other.requests().size(), 1u);
    EXPECT_EQ(other.requests()[0].peerPort, 23456);
}

// Each is read whole up to the capacity and searched up to its first NUL; nothing past the buffer.
TEST_F(HttpGet, AnswersThatAreNoPasswordDemandGiveTheirByteCount) {
    const std::string binary = "HTTP/1.1 200 OK\r\n\r\n<td>Product Name:</td><td>ULX\0-7400</td>"s +
                               "<td>Serial Number:</td><td>FM1</td>\xff\xfe";
    // The serial number's label lies inside the capacity, its value across the cut.
    std::string head = "HTTP/1.1 200 OK\r\n\r\n<td>Product Name:</td><td>P</td>", cell = "<td>Serial Number:</td><td>";
    const std::string longAnswer = head + std::string(RESPONSE_MAX_CHARS - 5 - head.size() - cell.size(), ' ') + cell +
                                   "SERIAL-BEYOND</td>" + std::string(10000, 'x');
    const std::string answers[] = {
        statusPage("HTTP/1.0 200 OK"),
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"ulx\"\r\n\r\n" + statusPageHtml(),
        "",  // closed without a byte
        binary,
        longAnswer,
    };
    ASSERT_EQ(server.start("127.0.3.21", 80, inOrder({std::begin(answers), std::end(answers)})), "");
    for (const std::string& a : answers) {
        SCOPED_TRACE(a.substr(0, 30) + "... " + std::to_string(a.size()));
        memset(&g_webState.device, 0, sizeof g_webState.device);
        const size_t n = std::min<size_t>(a.size(), RESPONSE_MAX_CHARS);
        EXPECT_EQ(get("127.0.3.20", "127.0.3.21").length, static_cast<int>(n));
        EXPECT_EQ(buffered(n + 1), a.substr(0, n) + '\0');
        EXPECT_EQ(std::string(buffer.begin() + RESPONSE_BUFFER_SIZE, buffer.end()), std::string(64, '\x55'));
        EXPECT_EQ(g_webState.digest.nonceCount, 0u);
        if (a != binary && a != longAnswer) {
            expectFields(!a.empty());
            continue;
        }
        EXPECT_STREQ(g_webState.device.productName, a == binary ? "ULX" : "P");
        EXPECT_STREQ(g_webState.device.serialNumber, a == binary ? "" : "SERIA");
    }
}

}  // namespace
