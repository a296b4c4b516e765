// Real web servers as the device: Apache 2 with mod_auth_digest and lighttpd
// with digest authentication, started on loopback for each test, reached
// through ulx-test-script. Skipped where a server is not installed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/protocol_driver.h"
#include "support/web_peers.h"
#include "support/web_server.h"

using namespace ulxtest;

namespace {

struct PeerCase {
    const char* name;
    PeerKind kind;
    const char* address;
    std::vector<std::string> passwords;  // typed into the password dialogs in turn
    std::vector<int> dialogAfter;        // attempts made when each dialog opens
};

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

class WebPeerTest : public ::testing::TestWithParam<PeerCase> {};

TEST_P(WebPeerTest, ReachesTheStatusPage) {
    const PeerCase& c = GetParam();
    WebPeer peer(c.kind);
    if (peer.program().empty()) GTEST_SKIP() << c.name << " is not installed";
    ASSERT_TRUE(peer.start(c.address, "secret")) << peer.lastError();
    ScriptProcess p;
    ASSERT_TRUE(startRun(p, ULX_TEST_SCRIPT, c.address)) << p.transcript();
    EXPECT_EQ(answerPasswordDialogs(p, c.passwords), c.dialogAfter) << p.transcript();
    expectConfirmationThenAbort(p);
    if (HasFailure()) ADD_FAILURE() << "server log:\n" << peer.log();
}

// The right password: one refusal, the dialog, the page. A wrong one: both
// servers answer it with a new nonce, so the stored password is tried once
// more in silence before the dialog opens again.
INSTANTIATE_TEST_SUITE_P(
    Peers, WebPeerTest,
    ::testing::Values(PeerCase{"ApacheRightPassword", PeerKind::Apache, "127.0.6.10", {"secret"}, {1}},
                      PeerCase{"ApacheWrongPassword", PeerKind::Apache, "127.0.6.11", {"wrong", "secret"}, {1, 3}},
                      PeerCase{"LighttpdRightPassword", PeerKind::Lighttpd, "127.0.6.20", {"secret"}, {1}},
                      PeerCase{"LighttpdWrongPassword", PeerKind::Lighttpd, "127.0.6.21", {"wrong", "secret"},
                               {1, 3}}),
    [](const ::testing::TestParamInfo<PeerCase>& info) { return std::string(info.param.name); });

}  // namespace
