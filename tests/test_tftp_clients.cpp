// The TFTP server against real clients on loopback (atftp, busybox tftp,
// curl), and the listener in a child process of its own, since it ends the
// process it runs in: this test program started again with
// ULX_TFTP_LISTENER_CHILD set runs the listener instead of the test.
// Addresses: 127.0.4.30 .. 127.0.4.59.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/headless/headless.h"
#include "driver/protocol_driver.h"
#include "support/tftp_harness.h"
#include "tftp/tftp.h"
#include "ui/ui.h"

using namespace tftptest;
using ulxtest::ScriptProcess;

namespace {

std::string sha256(const std::vector<uint8_t>& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(bytes.data(), bytes.size(), digest);
    std::string hex;
    char two[3];
    for (unsigned char b : digest) {
        snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The program's path in PATH, or "".
std::string findProgram(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// ---------------------------------------------------------------- real clients

struct ClientCase {
    const char* client;
    uint32_t size;
};

// curl refuses an empty file by itself, so it gets the other sizes only.
const ClientCase kClientCases[] = {
    {"atftp", 767148},   {"atftp", 1024},   {"atftp", 0},   {"atftp", 511},
    {"busybox", 767148}, {"busybox", 1024}, {"busybox", 0}, {"busybox", 511},
    {"curl", 767148},    {"curl", 1024},    {"curl", 511},
};

// A directory of the test's own, removed with the files named through it.
struct TempDir {
    char path[32] = "/tmp/ulx-tftp-XXXXXX";
    bool made = mkdtemp(path) != nullptr;
    std::vector<std::string> files;
    std::string file(const char* name) { return files.emplace_back(std::string(path) + "/" + name); }
    ~TempDir() {
        for (const auto& f : files) remove(f.c_str());
        if (made) rmdir(path);
    }
};

class TftpClients : public ::testing::TestWithParam<int> {};

TEST_P(TftpClients, DownloadByteIdentical) {
    const ClientCase& c = kClientCases[GetParam()];
    std::string program = findProgram(c.client);
    if (program.empty()) GTEST_SKIP() << c.client << " is not installed";

    const uint32_t server = loopback(4, 30 + GetParam());
    const std::string host = dotted(server), name = "/ulx5f3a.bi1";
    TempDir dir;
    ASSERT_TRUE(dir.made);
    const std::string out = dir.file("out"), errors = dir.file("stderr");
    std::vector<std::string> args;
    if (std::string(c.client) == "atftp") args = {"-g", "-r", name, "-l", out, host, "1069"};
    if (std::string(c.client) == "busybox") args = {"tftp", "-g", "-r", name, "-l", out, host, "1069"};
    if (std::string(c.client) == "curl") args = {"-s", "-S", "-o", out, "tftp://" + host + ":1069/" + name};

    std::vector<uint8_t> image = makeImage(c.size, 40 + GetParam());
    installImage(&g_targetImage, image, "3.1.7(GWe)");
    TargetStage.store(1);
    copyText(g_deviceAddressText, sizeof g_deviceAddressText, host.c_str());
    SessionServer session;
    ASSERT_TRUE(session.start(server, 1069));
    ScriptProcess client;
    client.setStderrPath(errors);
    ASSERT_TRUE(client.start(program, args)) << client.lastError();
    int exitCode = client.wait(30000);
    std::vector<uint8_t> stderrText = readFile(errors);
    EXPECT_EQ(exitCode, 0) << std::string(stderrText.begin(), stderrText.end());
    std::vector<uint8_t> got = readFile(out);
    EXPECT_EQ(got.size(), image.size());
    EXPECT_EQ(sha256(got), sha256(image));

    SessionRecord r = session.finish();
    ASSERT_TRUE(r.ended);
    std::vector<std::string> uploading;
    for (const auto& l : r.lines)
        if (l.find("\"Uploading Target") != std::string::npos) uploading.push_back(l);
    ASSERT_FALSE(uploading.empty());
    std::string total = std::to_string(c.size);
    EXPECT_NE(uploading.back().find(" " + total + "/" + total + " Bytes\""), std::string::npos) << uploading.back();
    EXPECT_EQ(uploading.size(), c.size / 512 + 2);  // ACK 0, then one per block
    EXPECT_EQ(std::count(r.messages.begin(), r.messages.end(), "Upgrade Failed: Firmware Upload Incomplete"), 0);
}

INSTANTIATE_TEST_SUITE_P(Clients, TftpClients, ::testing::Range(0, static_cast<int>(std::size(kClientCases))),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(kClientCases[info.param].client) + "_" +
                                    std::to_string(kClientCases[info.param].size);
                         });

// ---------------------------------------------------------------- listener

const char FIRST_NAME[] = "/ulx1a.bi1";
const char TRANSITION_NAME[] = "/ulx1a.bi0";
const char SECOND_NAME[] = "/ulx2b.bi1";
const std::vector<uint8_t>& childTarget() {
    static const std::vector<uint8_t> bytes = makeImage(1500, 11, "3.1.7(GWe)");
    return bytes;
}
const std::vector<uint8_t>& childTransition() {
    static const std::vector<uint8_t> bytes = makeImage(700, 12, "2.0.13(NTr)");
    return bytes;
}

int ignoreCommand(PlatWindow, int, int) { return 0; }

// The child: "<listen address> <device address text> <stage>". It starts
// the listener as the upgrade sequence would, tells the port it returned
// through a window caption ("open W 991 "listener-port N""), switches the
// file name when a Transition session is over, and idles until the
// listener ends the process.
[[noreturn]] void runListenerChild(const char* setup) {
    unsigned a, b, c, d;
    char deviceText[63];
    int stage = 1;
    if (sscanf(setup, "%u.%u.%u.%u %62s %d", &a, &b, &c, &d, deviceText, &stage) != 6) platExitProcess(2);
    headlessStart(0, nullptr, nullptr);
    platNetStartup();
    installImage(&g_targetImage, childTarget(), "3.1.7(GWe)");
    installImage(&g_transitionImage, childTransition(), "2.0.13(NTr)");
    copyText(g_deviceAddressText, sizeof g_deviceAddressText, deviceText);
    TargetStage.store(stage);
    setTftpFileName(stage ? FIRST_NAME : TRANSITION_NAME);

    uint16_t port = startTftpListener(a << 24 | b << 16 | c << 8 | d);
    static char caption[32];
    snprintf(caption, sizeof caption, "listener-port %u", static_cast<unsigned>(port));
    static const DialogTemplate marker{991, 10, 10, caption, "MS Sans Serif", 8, nullptr, 0};
    platCreateDialog(nullptr, &marker, ignoreCommand);
    if (stage == 0) {
        while (TargetStage.load() != 1) platSleepMs(10);
        setTftpFileName(SECOND_NAME);
    }
    for (;;) platSleepMs(1000);
}

// Starts this test again in a child process that runs the listener.
bool startListenerChild(ScriptProcess& p, const std::string& setup) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    self[n] = '\0';
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    return p.start(self, {std::string("--gtest_filter=") + t->test_suite_name() + "." + t->name()},
                   {"ULX_TFTP_LISTENER_CHILD=" + setup});
}

#define LISTENER_CHILD_ENTRY()                                                   \
    if (const char* setup = getenv("ULX_TFTP_LISTENER_CHILD")) runListenerChild(setup)

// The port startTftpListener returned in the child, or 0; the cursor
// stays where it was.
int listenerPort(ScriptProcess& p) {
    size_t start = p.cursor();
    int port = 0;
    if (p.waitOpen("991") > 0) sscanf(p.events()[p.cursor() - 1].text.c_str(), "listener-port %d", &port);
    p.setCursor(start);
    return port;
}

bool anyMessageBox(const ScriptProcess& p) {
    for (const auto& e : p.events())
        if (e.kind == "open" && e.tmpl == "msgbox") return true;
    return false;
}

TEST(TftpListener, BindsTheNextFreePortAndServesOnlyTheExactName) {
    LISTENER_CHILD_ENTRY();
    const uint32_t address = loopback(4, 50), device = loopback(4, 51);
    UdpPeer taken, client;
    ASSERT_TRUE(taken.open(address, 69)) << "port 69 of 127.0.4.50 is in use (a TFTP service on all addresses?)";
    ASSERT_TRUE(client.open(device));
    ScriptProcess p;
    ASSERT_TRUE(startListenerChild(p, "127.0.4.50 127.0.4.51 1"));
    ASSERT_EQ(listenerPort(p), 70) << p.transcript();
    int w = p.waitOpen("114");
    ASSERT_GT(w, 0) << p.transcript();
    ASSERT_TRUE(p.waitEvent("shown", w));
    std::optional<ulxtest::Event> range = p.waitEvent("range", w);
    ASSERT_TRUE(range);
    EXPECT_EQ(range->control, IDC_PROGRESS);
    EXPECT_EQ(range->nums, (std::vector<long>{0, 1000}));
    std::optional<ulxtest::Event> text = p.waitText(w, IDC_WAITING_TEXT);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->text, WAITING_TEXT);

    // No reply, and the waiting goes on, for each of these.
    const std::vector<std::vector<uint8_t>> ignored = {
        {0x00},                                   // too short for an opcode
        {0x00, 0x01},                             // a read request without a name
        packet(TFTP_RRQ, FIRST_NAME, false),      // the name's NUL is not in the datagram
        rrq("/ULX1A.BI1"),                        // other letter case
        rrq(FIRST_NAME + 1),                      // without the leading '/'
        rrq(std::string(FIRST_NAME) + "0"),       // longer
        packet(TFTP_WRQ, std::string(FIRST_NAME) + '\0' + "octet"),
        packet(TFTP_DATA, std::string("\x00\x01" "data", 6), false),
        ack(0),
        packet(TFTP_ERROR, std::string("\x00\x01" "x", 3)),
        packet(0, FIRST_NAME),
        packet(TFTP_OACK, FIRST_NAME),
    };
    for (const auto& datagram : ignored) client.send(address, 70, datagram);
    EXPECT_FALSE(client.receive(300));
    EXPECT_FALSE(taken.receive(0));
    for (const auto& e : p.events()) EXPECT_FALSE(e.kind == "close" && e.window == w) << e.raw;

    std::optional<std::vector<uint8_t>> got = download(client, address, 70, FIRST_NAME);
    ASSERT_TRUE(got) << p.transcript();
    EXPECT_EQ(*got, childTarget());
    std::optional<ulxtest::Event> closed = p.waitEvent("close", w);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->result, "-");
    int u = p.waitOpen("110");
    ASSERT_GT(u, 0);
    std::optional<ulxtest::Event> title;
    while ((title = p.waitTitle(u)) && title->text.rfind("Updating", 0) != 0) {
    }
    ASSERT_TRUE(title);
    EXPECT_EQ(title->text, "Updating Target Firmware to ULX@127.0.4.51");
    // Nothing answers on port 80 of the device: the process ends silently.
    EXPECT_EQ(p.waitExit(30000), 0) << p.transcript();
    EXPECT_FALSE(anyMessageBox(p));
}

TEST(TftpListener, AllHundredPortsTakenEndsTheProcess) {
    LISTENER_CHILD_ENTRY();
    const uint32_t address = loopback(4, 52);
    std::vector<std::unique_ptr<UdpPeer>> taken;
    for (int port = 69; port <= 168; ++port) {
        taken.push_back(std::make_unique<UdpPeer>());
        ASSERT_TRUE(taken.back()->open(address, static_cast<uint16_t>(port))) << port;
    }
    ScriptProcess p;
    ASSERT_TRUE(startListenerChild(p, "127.0.4.52 127.0.4.53 1"));
    std::optional<ulxtest::MsgBox> box = p.waitMsgBox();
    ASSERT_TRUE(box) << p.transcript();
    EXPECT_EQ(box->text, "Upgrade Failed: Can't bind TFTP listener socket");
    EXPECT_EQ(box->caption, "ULX Firwmare Upgrade Error");
    UdpPeer next;
    EXPECT_TRUE(next.open(address, 169));  // never taken by the child
    p.press(box->window, 1);
    EXPECT_EQ(p.waitExit(), 0) << p.transcript();
    for (const auto& e : p.events()) EXPECT_NE(e.tmpl, "114") << e.raw;
}

TEST(TftpListener, TwoStageServesTransitionThenTargetUnderTheNewName) {
    LISTENER_CHILD_ENTRY();
    const uint32_t address = loopback(4, 54), device = loopback(4, 55);
    UdpPeer client;
    ASSERT_TRUE(client.open(device));
    ScriptProcess p;
    ASSERT_TRUE(startListenerChild(p, "127.0.4.54 127.0.4.55 0"));
    const uint16_t port = static_cast<uint16_t>(listenerPort(p));
    ASSERT_GE(port, 69) << p.transcript();
    int w = p.waitOpen("114");
    ASSERT_GT(w, 0) << p.transcript();
    ASSERT_TRUE(p.waitEvent("shown", w));

    std::optional<std::vector<uint8_t>> got = download(client, address, port, TRANSITION_NAME);
    ASSERT_TRUE(got) << p.transcript();
    EXPECT_EQ(*got, childTransition());
    std::optional<ulxtest::Event> first = p.waitTitle(p.waitOpen("110"));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->text, "Uploading Transition Firmware to ULX@127.0.4.55 0/700 Bytes");

    // After the wait: the waiting window again, its text area left empty.
    int again = p.waitOpen("114", 20000);
    ASSERT_GT(again, 0) << p.transcript();
    size_t opened = p.cursor();
    std::optional<ulxtest::Event> range = p.waitEvent("range", again);
    ASSERT_TRUE(range);
    EXPECT_EQ(range->nums, (std::vector<long>{0, 1000}));
    ASSERT_TRUE(p.waitEvent("pos", again));  // the heartbeat runs: the window is set up
    for (size_t i = opened; i < p.cursor(); ++i) EXPECT_NE(p.events()[i].kind, "text") << p.events()[i].raw;
    EXPECT_FALSE(anyMessageBox(p));

    client.send(address, port, rrq(TRANSITION_NAME));  // served once already
    EXPECT_FALSE(client.receive(300));
    got = download(client, address, port, SECOND_NAME);
    ASSERT_TRUE(got) << p.transcript();
    EXPECT_EQ(*got, childTarget());
    EXPECT_EQ(p.waitExit(30000), 0) << p.transcript();
    bool targetTitle = false;
    for (const auto& e : p.events())
        targetTitle |= e.kind == "title" && e.text == "Uploading Target Firmware to ULX@127.0.4.55 1500/1500 Bytes";
    EXPECT_TRUE(targetTitle);
}

}  // namespace
