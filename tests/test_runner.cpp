// The request runner: ulx-test-script (local address 127.0.0.1) to the confirmation dialog
// against real web servers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/person.h"
#include "support/web_server.h"

using namespace ulxtest;

namespace {

enum class PeerKind { Apache, Lighttpd };

// Apache 2 or lighttpd on address:80: the status page at /admin/advanced behind Digest user
// `user`, password "secret", realm "ulx"; keep-alive as shipped (5 s) or off.
class WebPeer {
public:
    WebPeer(PeerKind kind, std::string user, bool keepAlive)
        : kind_(kind), user_(std::move(user)), keepAlive_(keepAlive) {}
    ~WebPeer() {
        process_.reset();  // kills its process group
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    std::string program() const { return kind_ == PeerKind::Apache ? "/usr/sbin/apache2" : "/usr/sbin/lighttpd"; }
    // "" once it takes connections (within 10 s), else what went wrong.
    std::string start(const std::string& address) {
        char temp[] = "/tmp/ulx-peer-XXXXXX";
        if (!mkdtemp(temp)) return "no temporary directory";
        dir_ = temp;
        std::filesystem::create_directories(dir_ + "/www/admin");
        for (const char* d : {"", "/www", "/www/admin"}) chmod((dir_ + d).c_str(), 0755);  // read as www-data
        std::string conf;
        if (kind_ == PeerKind::Lighttpd) {
            conf = "server.modules = (\"mod_auth\", \"mod_authn_file\")\nserver.document-root = \"" + dir_ +
                   "/www\"\nserver.bind = \"" + address +
                   "\"\nserver.port = 80\nserver.username = \"www-data\"\n"
                   "server.groupname = \"www-data\"\n" +
                   (keepAlive_ ? "" : "server.max-keep-alive-requests = 0\n") +
                   "mimetype.assign = (\"\" => \"text/html\")\nauth.backend = \"htdigest\"\n"
                   "auth.backend.htdigest.userfile = \"" +
                   dir_ +
                   "/htdigest\"\nauth.require = (\"/admin/\" => "
                   "(\"method\" => \"digest\", \"realm\" => \"ulx\", \"require\" => \"valid-user\"))\n";
        } else {
            conf = "ServerRoot " + dir_ + "\nServerName ulx.test\nListen " + address + ":80\n";
            for (const char* m : {"mpm_prefork", "authz_core", "authz_user", "authn_core", "authn_file", "auth_digest"})
                conf += std::string("LoadModule ") + m + "_module /usr/lib/apache2/modules/mod_" + m + ".so\n";
            conf += "User www-data\nGroup www-data\nPidFile " + dir_ + "/apache.pid\nDefaultRuntimeDir " + dir_ +
                    "\nErrorLog " + dir_ + "/error.log\n" + (keepAlive_ ? "" : "KeepAlive Off\n") + "DocumentRoot " +
                    dir_ +
                    "/www\n"
                    "<Location /admin/>\n AuthType Digest\n AuthName \"ulx\"\n AuthDigestProvider file\n"
                    " AuthUserFile " +
                    dir_ + "/htdigest\n Require valid-user\n ForceType text/html\n</Location>\n";
        }
        const std::pair<std::string, std::string> files[] = {
            {"/www/admin/advanced", statusPageHtml()},
            {"/htdigest", user_ + ":ulx:" + md5Hex(user_ + ":ulx:secret") + "\n"},  // htdigest's format
            {"/server.conf", conf}};
        for (const auto& [name, text] : files) {
            std::ofstream(dir_ + name) << text;
            chmod((dir_ + name).c_str(), 0644);
        }
        process_ = std::make_unique<ScriptProcess>();  // in the foreground, its own process group
        process_->setStderrPath(dir_ + "/server.log");
        if (!process_->start(program(), {kind_ == PeerKind::Apache ? "-X" : "-D", "-f", dir_ + "/server.conf"}))
            return process_->lastError();
        sockaddr_in sa{AF_INET, htons(80), {}, {}};
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        for (int i = 0; i < 200; ++i, usleep(50000)) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
            close(fd);
            if (ok) return "";
        }
        return program() + " takes no connections on " + address + ":80\n" + log();
    }
    std::string log() const {
        return process_->transcript() + readFile(dir_ + "/server.log") + readFile(dir_ + "/error.log");
    }

private:
    PeerKind kind_;
    std::string user_;
    bool keepAlive_;
    std::string dir_;
    std::unique_ptr<ScriptProcess> process_;
};

// A wrong password draws a new nonce, so the stored one is tried once more in silence before
// the dialog opens again; the right one shows the page's five fields. A user name with a quote
// and a backslash: escaped in the line, digested as typed (lighttpd 1.4 refuses it, curl's too).
// With keep-alive the silence bound (2.5 s at four times real time) is below the servers' 5 s.
TEST(Runner, ApacheAndLighttpdRoads) {
    const Lines RIGHT = {"secret"}, WRONG_RIGHT = {"wrong", "secret"};
    const std::tuple<PeerKind, const char*, Lines, std::vector<int>, std::string, bool> roads[] = {
        {PeerKind::Apache, "127.0.6.11", WRONG_RIGHT, {1, 3}, "admin", true},
        {PeerKind::Lighttpd, "127.0.6.21", WRONG_RIGHT, {1, 3}, "admin", true},
        {PeerKind::Apache, "127.0.6.12", RIGHT, {1}, "a\"d\\min", false},
    };
    for (const auto& [kind, device, passwords, dialogAfter, user, keepAlive] : roads) {
        SCOPED_TRACE(device);
        WebPeer peer(kind, user, keepAlive);
        if (access(peer.program().c_str(), X_OK) != 0) GTEST_SKIP() << peer.program() << " is not installed";
        ASSERT_EQ(peer.start(device), "");
        ScriptProcess p;
        ASSERT_TRUE(p.start(ULX_TEST_SCRIPT, {}, {"ULX_CLOCK_SCALE=4", "ULX_LOCAL_ADDRESSES=127.0.0.1"}));
        Seen seen = drive(p, device, {passwords, "103", "", user});
        EXPECT_EQ(seen.dialogAfter, dialogAfter) << p.transcript();
        for (const DeviceField& f : kDeviceFields)
            EXPECT_EQ(seen.texts["103/" + std::to_string(f.control)], f.value) << f.label;
        EXPECT_EQ(seen.messages, Lines{"Upgrade Failed: User Abort"});
        EXPECT_EQ(p.wait(), 0);
        if (HasFailure()) ADD_FAILURE() << "server log:\n" << peer.log();
    }
}

// A device that never answers: the connecting window's bar goes round; Cancel or the close box
// ends the run at once.
TEST(RunnerCancel, ConnectingWindowCancelOrCloseBoxEndsTheRun) {
    for (auto [address, cancel] : {std::pair{"127.0.3.111", true}, {"127.0.3.112", false}}) {
        SCOPED_TRACE(address);
        WebServer device;
        ASSERT_EQ(device.start(address, 80, inOrder({{"", true}})), "");
        ScriptProcess p;
        int a = toAddressDialog(p, ULX_TEST_SCRIPT, {}, {"ULX_CLOCK_SCALE=4", "ULX_LOCAL_ADDRESSES=127.0.0.1"});
        ASSERT_GT(a, 0) << p.transcript();
        p.type(a, 1000, address);
        p.press(a, 1);
        int w = p.waitOpen("105");
        ASSERT_GT(w, 0) << p.transcript();
        EXPECT_EQ(p.waitTitle(w).value_or(Event{}).text, std::string("Connecting with ULX@") + address);
        ASSERT_TRUE(p.waitEvent("shown", w));
        ASSERT_TRUE(device.waitRequests(1));
        auto pos = [w](const Event& e) { return e.kind == "pos" && e.window == w && e.control == 1010; };
        ASSERT_TRUE(p.waitFor([&](const Event& e) { return pos(e) && e.nums[0] == 100; })) << p.transcript();
        EXPECT_EQ(p.waitFor(pos).value_or(Event{}).nums, std::vector<long>{0}) << "after 100 the bar starts again at 0";
        cancel ? p.press(w, 2) : p.closeWindow(w);
        EXPECT_EQ(p.waitEvent("close", w).value_or(Event{}).result, "-");
        device.stop();  // while the program still runs: it leaves no TIME_WAIT on its port
        auto box = p.waitMsgBox();
        ASSERT_TRUE(box && p.waitEvent("shown", box->window)) << p.transcript();
        EXPECT_EQ(box->text, "Upgrade Failed: User Abort");
        p.press(box->window, 1);
        EXPECT_EQ(p.waitExit(), 0) << p.transcript();
        EXPECT_EQ(p.wait(), 0);
    }
}

}  // namespace
