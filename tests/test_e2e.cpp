// Whole upgrades: a program of each configuration against ulx-device-sim,
// driven through the automation protocol by a person who answers each
// dialog. Each road has a loopback address of its own (127.0.5.x for the
// device, 127.0.5.x+100 for this computer), so they run side by side.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "driver/protocol_driver.h"
#include "ui/ui.h"

using ulxtest::Event;
using ulxtest::ScriptProcess;

namespace {

std::string sha256Of(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned i = 0; i < n; ++i) hex += "0123456789abcdef"[digest[i] >> 4], hex += "0123456789abcdef"[digest[i] & 15];
    return hex;
}

// What the person does: the passwords typed into successive password
// dialogs (Cancel when they run out) and the window to Cancel, if any.
struct Person {
    std::vector<std::string> passwords;
    std::string cancelIn;  // template number
    std::string local;     // the list item to pick; empty: leave item 0
};

// What the person saw.
struct Seen {
    std::vector<std::string> opened;    // templates in order
    std::vector<std::string> messages;  // message box texts
    std::map<std::string, std::string> texts;  // "template/control" -> last text
    int exitCode = -1;
    int count(const std::string& t) const {
        int n = 0;
        for (auto& o : opened) n += o == t;
        return n;
    }
};

Seen drive(ScriptProcess& ui, const std::string& device, Person person) {
    Seen seen;
    std::map<int, std::string> kinds;
    size_t nextPassword = 0;
    for (;;) {
        auto e = ui.waitFor([](const Event& x) { return !x.kind.empty(); }, 60000);
        if (!e) return seen;
        int w = e->window;
        if (e->kind == "open") {
            kinds[w] = e->tmpl;
            seen.opened.push_back(e->tmpl);
        } else if (e->kind == "text") {
            seen.texts[kinds[w] + "/" + std::to_string(e->control)] = e->text;
            if (kinds[w] == "msgbox") seen.messages.push_back(e->text);
        } else if (e->kind == "exit") {
            seen.exitCode = e->nums.empty() ? -1 : static_cast<int>(e->nums[0]);
            return seen;
        } else if (e->kind == "shown") {
            const std::string& t = kinds[w];
            if (t == person.cancelIn) {
                ui.press(w, 2);
                person.cancelIn.clear();
            } else if (t == "139" || t == "103" || t == "304" || t == "111" || t == "msgbox") {
                ui.press(w, 1);
            } else if (t == "101" || t == "305") {
                ui.type(w, 1000, device);
                int index = 0;
                for (const Event& x : ui.events())
                    if (x.kind == "add" && x.window == w && x.text == person.local) ui.select(w, 1017, index);
                    else if (x.kind == "add" && x.window == w) ++index;
                ui.press(w, 1);
            } else if (t == "104") {
                if (nextPassword < person.passwords.size()) {
                    ui.type(w, 1005, person.passwords[nextPassword++]);
                    ui.press(w, 1);
                } else {
                    ui.press(w, 2);
                }
            }
        }
    }
}

// Starts ulx-device-sim with quick timings and waits until it listens.
bool startDevice(ScriptProcess& sim, const std::string& log, std::vector<std::string> args) {
    remove(log.c_str());  // a log of an earlier run must not pass for this one
    std::vector<std::string> all = {"--log", log, "--idle-delay", "100", "--restart-ms", "300", "--exit-after", "100000"};
    all.insert(all.end(), args.begin(), args.end());  // later options win
    if (!sim.start(ULX_DEVICE_SIM, all)) return false;
    for (int i = 0; i < 200; ++i) {
        std::ifstream f(log);
        for (std::string line; std::getline(f, line);)
            if (line.find("\"ready\"") != std::string::npos) return true;
        usleep(25000);
    }
    return false;
}

struct Road {
    const char* name;
    const char* program;
    int host;  // device 127.0.5.host, this computer 127.0.5.host+100
    std::vector<std::string> deviceOptions;
    Person person;
    std::vector<std::string> messages;  // expected message boxes
    bool success;                       // success dialog expected
    const char* deliveredImage;         // the image the device must hold at the end, or null
};

void PrintTo(const Road& r, std::ostream* os) { *os << r.name; }

class Upgrade : public ::testing::TestWithParam<Road> {};

const char* const ABORT = "Upgrade Failed: User Abort";

TEST_P(Upgrade, Road) {
    const Road& road = GetParam();
    std::string device = "127.0.5." + std::to_string(road.host);
    std::string local = "127.0.5." + std::to_string(road.host + 100);
    std::string log = testing::TempDir() + "/device-" + road.name + ".log";

    ScriptProcess sim;
    std::vector<std::string> args = {"--address", device};
    args.insert(args.end(), road.deviceOptions.begin(), road.deviceOptions.end());
    if (road.deviceOptions.empty() || road.deviceOptions[0] != "absent") {
        ASSERT_TRUE(startDevice(sim, log, args));
    }

    ScriptProcess ui;
    ASSERT_TRUE(ui.start(road.program, {}, {"ULX_LOCAL_ADDRESSES=" + local}));
    Seen seen = drive(ui, device, road.person);
    EXPECT_EQ(seen.exitCode, 0) << ui.transcript();
    EXPECT_EQ(seen.messages, road.messages) << ui.transcript();
    EXPECT_EQ(seen.count("111"), road.success ? 1 : 0) << ui.transcript();
    // One password dialog per password typed (and one more where the person
    // cancels it); a restarted device's new nonce is answered silently.
    bool cancelsPassword = road.person.passwords.empty() && road.deviceOptions.size() == 2 &&
                           road.deviceOptions[0] == "--password";
    EXPECT_EQ(seen.count("104"), static_cast<int>(road.person.passwords.size()) + cancelsPassword);
    if (seen.count("104")) {
        EXPECT_EQ(seen.texts["104/1003"], "admin");
    }
    EXPECT_EQ(ui.wait(10000), 0);

    std::ifstream f(log);
    std::string lastSha;
    for (std::string line; std::getline(f, line);) {
        size_t at = line.find("\"sha256\":\"");
        if (at != std::string::npos && line.find("\"complete\":true") != std::string::npos)
            lastSha = line.substr(at + 10, 64);
    }
    if (road.deliveredImage) {
        EXPECT_EQ(lastSha, sha256Of(road.deliveredImage));
    }
}

std::string transitionImage() { return std::string(ULX_TEST_IMAGES) + "/transition.bin"; }

const Road ROADS[] = {
    {"NoPassword", ULX_TEST_SCRIPT, 10, {}, {}, {}, true, ULX_SHIPPED_IMAGE},
    {"Password", ULX_TEST_SCRIPT, 11, {"--password", "s3cret"}, {{"s3cret"}, "", ""}, {}, true, ULX_SHIPPED_IMAGE},
    {"WrongThenRightPassword", ULX_TEST_SCRIPT, 12, {"--password", "s3cret"}, {{"wrong", "s3cret"}, "", ""}, {},
     true, ULX_SHIPPED_IMAGE},
    {"NewNonceEachRefusal", ULX_TEST_SCRIPT, 13, {"--password", "s3cret", "--wrong-password-policy", "new"},
     {{"wrong", "s3cret"}, "", ""}, {}, true, ULX_SHIPPED_IMAGE},
    {"CancelPassword", ULX_TEST_SCRIPT, 14, {"--password", "s3cret"}, {}, {ABORT}, false, nullptr},
    {"CancelConnecting", ULX_TEST_SCRIPT, 15, {"--no-answer"}, {{}, "105", ""}, {ABORT}, false, nullptr},
    {"CancelWaiting", ULX_TEST_SCRIPT, 16, {"--idle-delay", "60000"}, {{}, "114", ""}, {ABORT}, false, nullptr},
    {"CancelUploading", ULX_TEST_SCRIPT, 17, {"--stop-ack-at", "5"}, {{}, "110", ""}, {ABORT}, false, nullptr},
    {"DeviceAbsent", ULX_TEST_SCRIPT, 18, {"absent"}, {}, {"Upgrade Failed: No Response From ULX"}, false, nullptr},
    {"OackNeverAcked", ULX_TEST_SCRIPT, 19, {"--never-ack-oack"}, {}, {"Upgrade Failed: Firmware Upload Incomplete"},
     false, nullptr},
    {"AcksStop", ULX_TEST_SCRIPT, 20, {"--stop-ack-at", "700"}, {}, {"Upgrade Failed: Firmware Upload Incomplete"},
     false, nullptr},
    {"VersionMismatch", ULX_TEST_SCRIPT, 21, {"--wrong-version"}, {}, {"Upgrade Failed: Version not matching"}, false,
     ULX_SHIPPED_IMAGE},
    {"SilentAfterUpgrade", ULX_TEST_SCRIPT, 22, {"--silent-after-upgrade"}, {}, {}, false, ULX_SHIPPED_IMAGE},
    {"PhoneSkipsVersionCheck", ULX_TEST_PHONE, 23, {"--wrong-version"}, {}, {}, true, nullptr},
    {"UnknownProduct", ULX_TEST_ODM, 24, {}, {}, {}, true, nullptr},
    {"RealClockWithPassword", ULX_SCRIPT, 25, {"--password", "s3cret", "--restart-ms", "3000"},
     {{"s3cret"}, "", "127.0.0.1"}, {}, true, ULX_SHIPPED_IMAGE},
};

INSTANTIATE_TEST_SUITE_P(E2e, Upgrade, ::testing::ValuesIn(ROADS),
                         [](const testing::TestParamInfo<Road>& i) { return std::string(i.param.name); });

// Two stages: the Transition image first (the device is older and its
// version carries no marker), then the Target image under a ".bi1" name.
TEST(E2eTwoStage, TransitionThenTarget) {
    std::string device = "127.0.5.30", local = "127.0.5.130";
    std::string log = testing::TempDir() + "/device-twostage.log";
    ScriptProcess sim;
    ASSERT_TRUE(startDevice(sim, log, {"--address", device, "--software-version", "1.0.0"}));
    ScriptProcess ui;
    ASSERT_TRUE(ui.start(ULX_TEST_TWOSTAGE, {}, {"ULX_LOCAL_ADDRESSES=" + local}));
    Seen seen = drive(ui, device, {});
    EXPECT_EQ(seen.exitCode, 0) << ui.transcript();
    EXPECT_TRUE(seen.messages.empty()) << ui.transcript();
    EXPECT_EQ(seen.count("304"), 1);
    EXPECT_NE(seen.texts["304/1007"].find("is older than 2.0.13(NTr), this upgrade"), std::string::npos);
    EXPECT_EQ(seen.count("111"), 1);
    EXPECT_EQ(seen.texts["111/1004"], "3.1.7(GWe)");

    std::vector<std::string> names, shas;
    std::ifstream f(log);
    for (std::string line; std::getline(f, line);) {
        size_t at;
        if (line.find("\"tftp_rrq\"") != std::string::npos && (at = line.find("\"/ulx")) != std::string::npos)
            names.push_back(line.substr(at + 1, line.find('"', at + 1) - at - 1));
        if (line.find("\"tftp_done\"") != std::string::npos && (at = line.find("\"sha256\":\"")) != std::string::npos)
            shas.push_back(line.substr(at + 10, 64));
    }
    ASSERT_EQ(names.size(), 2u) << "device saw: " << testing::PrintToString(names);
    EXPECT_EQ(names[0].substr(names[0].size() - 4), ".bi0");
    EXPECT_EQ(names[1].substr(names[1].size() - 4), ".bi1");
    ASSERT_EQ(shas.size(), 2u);
    EXPECT_EQ(shas[0], sha256Of(transitionImage()));
    EXPECT_EQ(shas[1], sha256Of(ULX_SHIPPED_IMAGE));
}

}  // namespace
