// The TFTP server against real clients (atftp, busybox tftp, curl), and the
// listener, which ends its process, in this test program started again with
// ULX_TFTP_LISTENER_CHILD set. Addresses 127.0.4.30 .. 127.0.4.62.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/headless/headless.h"
#include "support/clock_phases.h"
#include "support/person.h"
#include "support/tftp_harness.h"
#include "support/web_server.h"
#include "ui/ui.h"

using namespace tftptest;
using namespace ulxtest;

namespace {

// Each client downloads the shipped image's size; atftp also the sizes
// about the block boundary (curl refuses an empty file by itself).
const std::pair<const char*, uint32_t> kClientCases[] = {
    {"busybox", 767148}, {"curl", 767148}, {"atftp", 0}, {"atftp", 511}, {"atftp", 512}, {"atftp", 513},
};

Reply page(const char* version) { return Reply{statusPage("HTTP/1.1 200 OK", version)}; }

class TftpClients : public ::testing::TestWithParam<int> {};

TEST_P(TftpClients, DownloadByteIdentical) {
    const auto [client, size] = kClientCases[GetParam()];
    const std::string program = std::string("/usr/bin/") + client;
    if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << client << " is not installed";
    const uint32_t server = loopback(4, 30 + GetParam());
    const std::string host = dotted(server), name = "/ulx5f3a.bi1";
    const std::string out = testing::TempDir() + "/tftp-" + std::to_string(getpid()), errors = out + ".err";
    std::vector<std::string> args = {"-g", "-r", name, "-l", out, host, "1069"};
    if (client[0] == 'b') args.insert(args.begin(), "tftp");
    if (client[0] == 'c') args = {"-s", "-S", "-o", out, "tftp://" + host + ":1069/" + name};

    std::vector<uint8_t> image = makeImage(size, 40 + GetParam());
    RunSetup& setup = *editRunSetup();
    installImage(&setup.targetImage, image, "3.1.7(GWe)");
    g_stage.store(Stage::Target);
    copyText(setup.deviceAddressText, sizeof setup.deviceAddressText, host.c_str());
    // The clients send from 127.0.0.1; the verification asks the server's own address.
    WebServer web;
    ASSERT_EQ(web.start(host, 80, inOrder({page("3.1.7(GWe)")})), "");
    SessionServer session;
    ASSERT_TRUE(session.start(server, 1069, server));
    ScopedClockPhases phases("transfer:1,wait:400");  // the transfer at the client's own pace
    ScriptProcess run;
    run.setStderrPath(errors);
    ASSERT_TRUE(run.start(program, args)) << run.lastError();
    EXPECT_EQ(run.wait(30000), 0) << readFile(errors);
    std::string got = readFile(out);
    EXPECT_TRUE(got == std::string(image.begin(), image.end())) << got.size() << " bytes";
    for (const std::string& file : {out, errors}) remove(file.c_str());

    SessionRecord r = session.finish();
    ASSERT_TRUE(r.ended);
    std::vector<std::string> titles = r.of("title");
    ASSERT_EQ(titles.size(), size / 512 + 3);  // ACK 0, one per block, then "Updating"
    std::string total = std::to_string(size) + "/" + std::to_string(size);
    EXPECT_EQ(titles[titles.size() - 2], "\"Uploading Target Firmware to ULX@" + host + " " + total + " Bytes\"");
    EXPECT_TRUE(r.messages.empty()) << r.messages.at(0);
    EXPECT_TRUE(r.successDialog);
}

INSTANTIATE_TEST_SUITE_P(Clients, TftpClients, ::testing::Range(0, static_cast<int>(std::size(kClientCases))),
                         [](const auto& i) {
                             return kClientCases[i.param].first + ("_" + std::to_string(kClientCases[i.param].second));
                         });

// ---------------------------------------------------------------- listener

const char FIRST_NAME[] = "/ulx1a.bi1", TRANSITION_NAME[] = "/ulx1a.bi0", SECOND_NAME[] = "/ulx2b.bi1";
const std::vector<uint8_t> kTarget = makeImage(1500, 11, "3.1.7(GWe)");
const std::vector<uint8_t> kTransition = makeImage(700, 12, "2.0.13(NTr)");

// The child's event lines go to standard output. Transfers run on the real-time clock, as
// the parent's download does; the device's wait at 400 times real time, the verification at 20.
void childLine(const char* line, void*) {
    clockPhasesLine(line);
    printf("%s\n", line);
    fflush(stdout);
}

const char FIREWALL_HINT[] = "No Request From ULX After 2 Minutes: Firewall Blocking TFTP?";

// The child, given "<listen d> <device d> <stage>" for the addresses 127.0.4.d: starts the
// listener as the run would, shows its port in template 991's caption, switches the stage and
// renames the file after a Transition session, shows the success dialog after the Target image
// and ends once the listener has.
[[noreturn]] void runListenerChild(const char* setup) {
    int local = 0, device = 0, stage = 1;
    if (sscanf(setup, "%d %d %d", &local, &device, &stage) != 3) platExitProcess(2);
    clockPhasesConfigure(getenv("ULX_TFTP_LISTENER_PHASES"));
    headlessStart(0, childLine, nullptr);
    platNetStartup();
    RunSetup& run = *editRunSetup();
    installImage(&run.targetImage, kTarget, "3.1.7(GWe)");
    installImage(&run.transitionImage, kTransition, "2.0.13(NTr)");
    run.localAddress = loopback(4, local);
    run.deviceAddress = loopback(4, device);
    copyText(run.deviceAddressText, sizeof run.deviceAddressText, dotted(run.deviceAddress).c_str());
    g_stage.store(static_cast<Stage>(stage));
    setTftpFileName(stage ? FIRST_NAME : TRANSITION_NAME);
    static char caption[32];
    static TftpHandBack handBack;
    uint16_t port = startTftpListener(run, &handBack);
    snprintf(caption, sizeof caption, "listener-port %u", unsigned{port});
    static const DialogTemplate marker{991, 10, 10, caption, "MS Sans Serif", 8, nullptr, 0};
    platCreateDialog(
        &marker, [](PlatWindow, int, int, void*) { return 0; }, nullptr);
    char reported[128];
    TftpOutcome outcome = tftpAwaitOutcome(&handBack, reported, sizeof reported);
    if (outcome == TftpOutcome::TransitionVerified) {
        g_stage.store(Stage::Target);
        setTftpFileName(SECOND_NAME);
        outcome = tftpAwaitOutcome(&handBack, reported, sizeof reported);
    }
    if (outcome == TftpOutcome::TargetVerified) showSuccessDialog(reported);
    platExitProcess(0);
}

void listenerChildEntry() {  // first in each listener test: in the child, the test is the listener
    if (const char* setup = getenv("ULX_TFTP_LISTENER_CHILD")) runListenerChild(setup);
}

// Runs this test again as the listener child, its clock at scale; the port it bound, or 0.
int startListenerChild(ScriptProcess& p, const std::string& setup, int scale = 20) {
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    if (!p.start("/proc/self/exe", {std::string("--gtest_filter=") + t->test_suite_name() + "." + t->name()},
                 {"ULX_TFTP_LISTENER_CHILD=" + setup, "ULX_CLOCK_SCALE=" + std::to_string(scale),
                  "ULX_TFTP_LISTENER_PHASES=transfer:1,wait:400,verify:20"}))
        return 0;
    int port = 0;  // a message box instead: no port
    auto e = p.waitFor([](const Event& e) { return e.kind == "open" && (e.tmpl == "991" || e.tmpl == "msgbox"); });
    if (e) sscanf(e->text.c_str(), "listener-port %d", &port);
    p.setCursor(0);
    return port;
}

// The success dialog's OK ends the child with 0.
void expectSuccessThenExit(ScriptProcess& p) {
    int success = p.waitOpen("111", 30000);
    ASSERT_GT(success, 0) << p.transcript();
    p.press(success, 1);
    EXPECT_EQ(p.waitExit(30000), 0) << p.transcript();
}

int countOpened(const ScriptProcess& p, const std::string& tmpl) {
    int n = 0;
    for (const auto& e : p.events()) n += e.kind == "open" && e.tmpl == tmpl;
    return n;
}

// The waiting window opens and is shown, then its range is set.
int waitingWindow(ScriptProcess& p) {
    int w = p.waitOpen("114");
    if (w < 0 || !p.waitEvent("shown", w)) return -1;
    std::optional<Event> range = p.waitEvent("range", w);
    EXPECT_EQ(range.value_or(Event{}).control, IDC_PROGRESS) << p.transcript();
    EXPECT_EQ(range.value_or(Event{}).nums, (std::vector<long>{0, 1000}));
    return w;
}

// Port 69 taken: the listener binds 70. Only the exact name is served: the Transition image,
// then the Target image under the new name. (A request from another host: the e2e road
// ReadRequestFromAnotherHost.)
TEST(TftpListener, TwoStageOnTheNextFreePortServesTheExactNames) {
    listenerChildEntry();
    const uint32_t address = loopback(4, 50);
    UdpPeer taken, client;
    ASSERT_TRUE(taken.open(address, 69)) << "port 69 of 127.0.4.50 is in use (a TFTP service on all addresses?)";
    ASSERT_TRUE(client.open(loopback(4, 51)));
    WebServer web;  // the Transition version, then the Target version
    ASSERT_EQ(web.start("127.0.4.51", 80, inOrder({page("2.0.13(NTr)"), page("3.1.7(GWe)")})), "");
    ScriptProcess p;
    ASSERT_EQ(startListenerChild(p, "50 51 0", 200), 70) << p.transcript();
    int w = waitingWindow(p);
    ASSERT_GT(w, 0) << p.transcript();
    EXPECT_EQ(p.waitText(w, IDC_WAITING_TEXT).value_or(Event{}).text, WAITING_TEXT);

    // No reply, and the waiting goes on, for each of these. (That no other opcode, and no
    // datagram too short for a name, yields one: fuzz_read_request.)
    const std::vector<std::vector<uint8_t>> ignored = {
        packet(TFTP_RRQ, TRANSITION_NAME, false),  // the name's NUL is not in the datagram
        rrq("/ULX1A.BI0"),                         // other letter case
        rrq(TRANSITION_NAME + 1),                  // without the leading '/'
        rrq(std::string(TRANSITION_NAME) + "0"),   // longer
        packet(TFTP_WRQ, std::string(TRANSITION_NAME) + '\0' + "octet"),
    };
    for (const auto& datagram : ignored) client.send(address, 70, datagram);
    EXPECT_FALSE(client.receive(300));
    EXPECT_FALSE(taken.receive(0));
    for (const auto& e : p.events()) EXPECT_FALSE(e.kind == "close" && e.window == w) << e.raw;

    ASSERT_EQ(download(client, address, 70, TRANSITION_NAME), kTransition) << p.transcript();
    EXPECT_EQ(p.waitEvent("close", w).value_or(Event{}).result, "-");
    // Titles may be coalesced; the last count is always written.
    const int uploading = p.waitOpen("110");
    EXPECT_TRUE(p.waitFor([&](const Event& e) {
        return e.kind == "title" && e.window == uploading &&
               e.text == "Uploading Transition Firmware to ULX@127.0.4.51 700/700 Bytes";
    })) << p.transcript();

    // After the wait: the waiting window again, its text area left empty.
    size_t opened = p.cursor();
    int again = waitingWindow(p);
    ASSERT_GT(again, 0) << p.transcript();
    ASSERT_TRUE(p.waitEvent("pos", again));  // the heartbeat runs: the window is set up
    // The second order lost: the reopened window has its own two minutes (at 200 times) to the hint.
    EXPECT_EQ(p.waitTitle(again, 30000).value_or(Event{}).text, FIREWALL_HINT) << p.transcript();
    const std::vector<Event> events = p.events();
    for (size_t i = opened; i < p.cursor(); ++i) EXPECT_NE(events[i].kind, "text") << events[i].raw;

    client.send(address, 70, rrq(TRANSITION_NAME));  // served once already
    EXPECT_FALSE(client.receive(300));
    ASSERT_EQ(download(client, address, 70, SECOND_NAME), kTarget) << p.transcript();
    expectSuccessThenExit(p);
    EXPECT_EQ(countOpened(p, "msgbox"), 0);
    EXPECT_EQ(web.requests().size(), 2u);
    p.setCursor(0);
    const std::string uploaded = "Uploading Target Firmware to ULX@127.0.4.51 1500/1500 Bytes";
    EXPECT_TRUE(p.waitFor([&](auto& e) { return e.kind == "title" && e.text == uploaded; }));
}

TEST(TftpListener, AllHundredPortsTakenEndsTheProcess) {
    listenerChildEntry();
    std::vector<UdpPeer> taken(100);
    for (uint16_t port = 69; port <= 168; ++port) ASSERT_TRUE(taken[port - 69].open(loopback(4, 52), port)) << port;
    ScriptProcess p;
    EXPECT_EQ(startListenerChild(p, "52 53 1"), 0);
    std::optional<MsgBox> box = p.waitMsgBox();
    ASSERT_TRUE(box) << p.transcript();
    EXPECT_EQ(box->text, "Upgrade Failed: Can't bind TFTP listener socket");
    UdpPeer next;
    EXPECT_TRUE(next.open(loopback(4, 52), 169));  // never taken by the child
    p.press(box->window, 1);
    EXPECT_EQ(p.waitExit(), 0) << p.transcript();
    EXPECT_EQ(countOpened(p, "114"), 0);
}

TEST(TftpListener, TwoSilentMinutesPutTheFirewallHintInTheTitleAndTheWaitGoesOn) {
    listenerChildEntry();
    // Two listeners: nothing reaches the first; a stray datagram from the device reaches the
    // second, so its port is open and no hint comes.
    UdpPeer client;
    ASSERT_TRUE(client.open(loopback(4, 62)));
    WebServer deviceWeb;
    ASSERT_EQ(deviceWeb.start("127.0.4.62", 80, inOrder({page("3.1.7(GWe)")})), "");
    ScriptProcess silent, heard;
    const int silentPort = startListenerChild(silent, "60 62 1", 200);
    const int heardPort = startListenerChild(heard, "61 62 1", 200);
    ASSERT_GE(silentPort, 69) << silent.transcript();
    ASSERT_GE(heardPort, 69) << heard.transcript();
    int w = waitingWindow(silent);
    int other = waitingWindow(heard);
    ASSERT_GT(w, 0) << silent.transcript();
    ASSERT_GT(other, 0) << heard.transcript();
    client.send(loopback(4, 61), static_cast<uint16_t>(heardPort), ack(0));

    // Two minutes at 200 times real time; the other child's clock runs past three meanwhile.
    std::optional<Event> title = silent.waitTitle(w, 30000);
    ASSERT_TRUE(title) << silent.transcript();
    EXPECT_EQ(title->text, FIREWALL_HINT);
    EXPECT_FALSE(heard.waitTitle(other, 1000)) << heard.transcript();

    // Still waiting: the expected request is served after the hint.
    EXPECT_EQ(download(client, loopback(4, 60), static_cast<uint16_t>(silentPort), FIRST_NAME), kTarget)
        << silent.transcript();
    expectSuccessThenExit(silent);
}

}  // namespace
