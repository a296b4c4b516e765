// The device request runner's roads, seen through the automation protocol:
// ulx-test-script against a scripted device in the test process. The
// program's local address is 127.0.0.1; each test's device has an address
// of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "driver/protocol_driver.h"
#include "support/web_server.h"

using namespace ulxtest;

namespace {

struct Road {
    const char* name;
    const char* device;
    std::vector<std::string> answers;    // the device's answers in order
    std::vector<std::string> passwords;  // typed into the password dialogs in turn
    std::vector<int> dialogAfter;        // attempts made when each dialog opens
};

void PrintTo(const Road& road, std::ostream* os) { *os << road.name; }

class Runner : public ::testing::TestWithParam<Road> {};

// Walks the road to the confirmation dialog and checks every request the
// device saw: Authorization only once a password was given, with the
// password then current, and nonce counts 1, 2, ... per nonce.
TEST_P(Runner, Road) {
    const Road& road = GetParam();
    std::vector<Reply> replies;
    for (const std::string& a : road.answers) replies.push_back({a});
    WebServer device;
    ASSERT_TRUE(device.start(road.device, 80, inOrder(replies))) << device.lastError();
    ScriptProcess p;
    ASSERT_TRUE(startRun(p, ULX_TEST_SCRIPT, road.device)) << p.transcript();
    EXPECT_EQ(answerPasswordDialogs(p, road.passwords), road.dialogAfter) << p.transcript();
    expectConfirmationThenAbort(p);

    auto requests = device.requests();
    ASSERT_EQ(requests.size(), road.answers.size()) << p.transcript();
    EXPECT_EQ(countOpened(p, "105"), static_cast<int>(requests.size()));
    EXPECT_EQ(countOpened(p, "104"), static_cast<int>(road.passwords.size()));
    std::map<std::string, int> sentWithNonce;
    for (size_t i = 0; i < requests.size(); ++i) {
        int dialogsBefore = 0;
        for (int after : road.dialogAfter) dialogsBefore += after <= static_cast<int>(i);
        const std::string& r = requests[i].bytes;
        SCOPED_TRACE("request " + std::to_string(i) + ":\n" + r);
        EXPECT_EQ(requests[i].peerAddress, "127.0.0.1");
        if (dialogsBefore == 0) {
            EXPECT_EQ(r.find("Authorization"), std::string::npos);
            continue;
        }
        char nc[16];
        snprintf(nc, sizeof nc, "%09x", ++sentWithNonce[authParam(r, "nonce")]);
        EXPECT_EQ(authParam(r, "nc"), nc);
        EXPECT_EQ(authParam(r, "username"), "admin");
        EXPECT_EQ(authParam(r, "uri"), "/admin/advanced");
        EXPECT_TRUE(digestMatches(r, road.passwords[dialogsBefore - 1]));
    }
}

const std::string PAGE = statusPage();
INSTANTIATE_TEST_SUITE_P(
    Roads, Runner,
    ::testing::Values(
        Road{"NoPassword", "127.0.3.101", {PAGE}, {}, {}},
        Road{"FirstRefusal", "127.0.3.102", {refusal("n1"), PAGE}, {"secret"}, {1}},
        // The device repeats its nonce: the dialog after every refusal.
        Road{"WrongPasswordRepeated", "127.0.3.103", {refusal("n1"), refusal("n1"), refusal("n1"), PAGE},
             {"bad1", "bad2", "secret"}, {1, 2, 3}},
        // New nonces with a stored password: one silent repeat, then the
        // dialog; after its OK a new nonce is again repeated silently once.
        Road{"NewNonceWithStoredPassword", "127.0.3.104",
             {refusal("n1"), refusal("n2"), refusal("n3"), refusal("n4"), PAGE},
             {"secret", "secret"}, {1, 3}}),
    [](const ::testing::TestParamInfo<Road>& info) { return std::string(info.param.name); });

TEST(RunnerCancel, PasswordDialogCancelEndsTheRun) {
    WebServer device;
    ASSERT_TRUE(device.start("127.0.3.110", 80, inOrder({{refusal("n1")}}))) << device.lastError();
    ScriptProcess p;
    ASSERT_TRUE(startRun(p, ULX_TEST_SCRIPT, "127.0.3.110")) << p.transcript();
    int w = p.waitOpen("104");
    ASSERT_GT(w, 0) << p.transcript();
    ASSERT_TRUE(p.waitEvent("shown", w));
    p.press(w, 2);
    EXPECT_EQ(p.waitEvent("close", w).value_or(Event{}).result, "0");
    expectUserAbort(p);
    EXPECT_EQ(device.requests().size(), 1u);
}

// A device that takes the request and never answers keeps the connecting
// window up, its bar going round; its Cancel or close box ends the run.
TEST(RunnerCancel, ConnectingWindowCancelOrCloseBoxEndsTheRun) {
    for (const char* how : {"press", "close"}) {
        SCOPED_TRACE(how);
        std::string address = how[0] == 'p' ? "127.0.3.111" : "127.0.3.112";
        WebServer device;
        ASSERT_TRUE(device.start(address, 80, inOrder({{"", true}}))) << device.lastError();
        ScriptProcess p;
        ASSERT_TRUE(startRun(p, ULX_TEST_SCRIPT, address)) << p.transcript();
        int w = p.waitOpen("105");
        ASSERT_GT(w, 0) << p.transcript();
        EXPECT_EQ(p.waitTitle(w).value_or(Event{}).text, "Connecting with ULX@" + address);
        ASSERT_TRUE(p.waitEvent("shown", w));
        ASSERT_TRUE(device.waitRequests(1));
        auto pos = [w](const Event& e) { return e.kind == "pos" && e.window == w && e.control == 1010; };
        ASSERT_TRUE(p.waitFor([&](const Event& e) { return pos(e) && e.nums[0] == 100; })) << p.transcript();
        auto next = p.waitFor(pos);
        EXPECT_TRUE(next && next->nums[0] == 0) << "after 100 the bar starts again at 0";
        if (how[0] == 'p') p.press(w, 2);
        else p.closeWindow(w);
        EXPECT_EQ(p.waitEvent("close", w).value_or(Event{}).result, "-");
        device.stop();  // while the program still runs: it leaves no TIME_WAIT on its port
        expectUserAbort(p);
    }
}

}  // namespace
