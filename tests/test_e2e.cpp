// Whole upgrades against ulx-device-sim (device 127.0.5.x, this computer 127.0.5.x+100); the sim
// against curl --digest and in.tftpd (127.0.7.x).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "support/person.h"
#include "support/utf8.h"
#include "support/web_server.h"
#include "ui/ui.h"

using namespace ulxtest;

namespace {

// The values of "key":"value" in the log lines of one event, in order.
Lines logValues(const std::string& log, const std::string& event, const std::string& key) {
    Lines values;
    const std::regex line("\\{\"event\":\"" + event + "\"[^\n]*?\"" + key + "\":\"([^\"]*)\"");
    for (std::sregex_iterator i(log.begin(), log.end(), line), end; i != end; ++i) values.push_back((*i)[1]);
    return values;
}

// A log file of this process's own.
std::string logPath(const std::string& name) {
    return testing::TempDir() + "/ulx-" + name + "-" + std::to_string(getpid()) + ".log";
}

// Starts ulx-device-sim with quick timings (later options win); true once it listens.
bool startDevice(ScriptProcess& sim, const std::string& log, const std::string& address, Lines args) {
    remove(log.c_str());  // an earlier run's log must not pass for this one
    args.insert(args.begin(), {"--address", address, "--log", log, "--idle-delay", "100", "--restart-ms", "50",
                               "--dally-ms", "50", "--exit-after", "100000"});
    return sim.start(ULX_DEVICE_SIM, args) &&
           eventually([&] { return readFile(log).find("\"event\":\"ready\"") != std::string::npos; });
}

struct Road {
    const char* name;
    const char* program;
    int host;  // device 127.0.5.host, this computer 127.0.5.host+100
    Lines deviceOptions;
    Answers person;
    Lines messages;                                 // expected message boxes (none: the success dialog)
    Lines delivered;                                // the images the device received, in order (empty: not looked at)
    std::map<std::string, std::string> texts = {};  // "template/control" or "template/title" -> its last text
    size_t orders = 0;                              // upgrade orders the device received (0: not looked at)
    std::string logHas = "";                        // text the device's log must hold
    std::vector<int> dialogAfter = {};              // attempts before each password dialog (empty: not looked at)
    int connecting = 0;                             // connecting windows opened, at most (0: not looked at)
};

void PrintTo(const Road& r, std::ostream* os) { *os << r.name; }

const char* const ABORT = "Upgrade Failed: User Abort";
const char* const NO_RESPONSE = "Upgrade Failed: No Response From ULX";
const char* const INCOMPLETE = "Upgrade Failed: Firmware Upload Incomplete";
const char* const NOT_MATCHING = "Upgrade Failed: Version not matching";

class Upgrade : public ::testing::TestWithParam<Road> {};

TEST_P(Upgrade, Road) {
    const Road& road = GetParam();
    std::string device = "127.0.5." + std::to_string(road.host), local = "127.0.5." + std::to_string(road.host + 100);
    std::string log = logPath(road.name);
    ScriptProcess sim, ui;
    ASSERT_TRUE(startDevice(sim, log, device, road.deviceOptions));
    // Blocks on the real clock unless the ACKs stop; the wait skimmed; then the device asked at
    // 100 times real time (a slow restart 40, no answer 400).
    const Lines& o = road.deviceOptions;
    auto has = [&o](const char* option) { return std::find(o.begin(), o.end(), option) != o.end(); };
    std::string phases = has("--stop-ack-at") ? "wait:400" : "transfer:1,wait:400";
    phases += road.messages == Lines{NO_RESPONSE}           ? ",verify:400"
              : has("--restart-ms") || has("--old-page-ms") ? ",verify:40"
                                                            : ",verify:100";
    ASSERT_TRUE(ui.start(road.program, {}, {"ULX_LOCAL_ADDRESSES=" + local, "ULX_CLOCK_PHASES=" + phases}));
    Seen seen = drive(ui, device, road.person);
    EXPECT_EQ(seen.exitCode, 0) << ui.transcript();
    EXPECT_EQ(seen.messages, road.messages) << ui.transcript();
    EXPECT_EQ(seen.count("111"), road.messages.empty() ? 1 : 0) << ui.transcript();
    // A dialog per password typed or cancelled; a restarted device's new nonce answered silently.
    EXPECT_EQ(seen.count("104"), static_cast<int>(road.person.passwords.size() + (road.person.cancelIn == "104")));
    if (!road.dialogAfter.empty()) { EXPECT_EQ(seen.dialogAfter, road.dialogAfter) << ui.transcript(); }
    if (road.connecting) { EXPECT_LE(seen.count("105"), road.connecting) << ui.transcript(); }
    EXPECT_EQ(ui.wait(10000), 0);
    if (seen.count("103") + seen.count("304") == 0) {  // no confirmation, no upgrade order
        EXPECT_EQ(readFile(log).find("\"event\":\"upgrade_order\""), std::string::npos);
    }
    for (const Event& e : ui.events()) EXPECT_TRUE(validUtf8(e.raw)) << e.raw;
    for (const auto& [control, text] : road.texts) {
        EXPECT_EQ(seen.count(control.substr(0, control.find('/'))), 1) << control;  // opened once
        EXPECT_EQ(seen.texts[control], text) << control;
    }
    std::string text;
    // The device logs a transfer after its dally, which a program skimming the wait may not see.
    eventually([&] { return logValues(text = readFile(log), "tftp_done", "sha256").size() >= road.delivered.size(); });
    if (road.orders) { EXPECT_EQ(logValues(text, "upgrade_order", "file").size(), road.orders) << text; }
    EXPECT_NE(text.find(road.logHas), std::string::npos) << text;
    if (road.delivered.empty()) return;
    // Each stage's image under its own name: ".bi0" for Transition, ".bi1" for Target.
    Lines names = logValues(text, "tftp_rrq", "file"), sums;
    ASSERT_EQ(names.size(), road.delivered.size()) << text;
    for (size_t i = 0; i < names.size(); ++i) {
        bool transition = road.delivered[i].find("transition") != std::string::npos;
        EXPECT_EQ(names[i].substr(names[i].size() - 4), transition ? ".bi0" : ".bi1");
        sums.push_back(sha256Hex(readFile(road.delivered[i])));
    }
    EXPECT_EQ(logValues(text, "tftp_done", "sha256"), sums);
}

// Every HTTP port of this computer's address taken: the message over the connecting window.
TEST(E2e, NoFreeHttpPortEndsTheRun) {
    const std::string local = "127.0.5.170";
    std::vector<int> taken;
    for (int port = 23456; port <= 23556; ++port) {
        taken.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
        inet_pton(AF_INET, local.c_str(), &sa.sin_addr);
        ASSERT_EQ(bind(taken.back(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << port;
    }
    ScriptProcess ui;
    ASSERT_TRUE(ui.start(ULX_TEST_SCRIPT, {}, {"ULX_LOCAL_ADDRESSES=" + local}));
    Seen seen = drive(ui, "127.0.5.70", {});
    EXPECT_EQ(seen.exitCode, 0) << ui.transcript();
    EXPECT_EQ(seen.opened, (Lines{"139", "101", "105", "msgbox"})) << ui.transcript();
    EXPECT_EQ(seen.messages, Lines{"Upgrade Failed: Can't bind HTTP socket"}) << ui.transcript();
    EXPECT_EQ(ui.wait(10000), 0);
    for (int s : taken) close(s);
}

const char* const SHIPPED = ULX_SHIPPED_IMAGE;
const char* const SCRIPT = ULX_TEST_SCRIPT;
const char* const TWOSTAGE = ULX_TEST_TWOSTAGE;
const Lines PASSWORD = {"--password", "s3cret"}, OLD = {"--software-version", "1.0.0"};
const char* const OLDER =
    "\r\n\r\nNote: Since your current firmware version\r\nis older than 2.0.13(NTr), this "
    "upgrade procedure\r\nrequires additional steps and will be\r\nslightly longer.\r\n";
// A device whose page is in Windows-1252: its texts arrive as UTF-8.
const Lines W1252 = {"--windows-1252-fields", "--product-name", "ULX-7400 Größe €", "--serial", "A\tB\x01‰"};
const std::map<std::string, std::string> W1252_TEXTS = {{"103/1006", "ULX-7400 Größe €"}, {"103/1002", "A\tB\x01‰"}};
// The address dialog's title and instructions per product (ULX-7400: the two-stage one).
const std::map<std::string, std::string> TWOSTAGE_TEXTS = {{"101/title", "ULX-7400 Firmware Upgrade"},
                                                           {"101/1008", ADAPTER_INSTRUCTIONS},
                                                           {"304/1007", CONFIRM_TEXT + std::string(OLDER)},
                                                           {"111/1004", "3.1.7(GWe)"}};
const std::map<std::string, std::string> PHONE_TEXTS = {{"305/title", "ULX-590 Firmware Upgrade"},
                                                        {"305/1008", PHONE_INSTRUCTIONS}};
const std::map<std::string, std::string> ODM_TEXTS = {{"101/title", "ODM-Product Firmware Upgrade"},
                                                      {"101/1008", ADAPTER_INSTRUCTIONS}};
const Lines THIEF = {"--thief", "127.0.5.233", "--idle-delay", "300"};
const Lines RESTART_ERRORS = {"--restart-answer", "error", "--restart-answers", "3"};
const Lines OLD_ACKS_STOP = {"--software-version", "1.0.0", "--stop-ack-at", "100"};
const Lines BASIC_FIRST = {"--password", "s3cret", "--basic-challenge-first"};
const Lines SLOW_PASSWORD = {"--password", "s3cret", "--restart-ms", "3000"};
const Answers RIGHT = {{"s3cret"}}, WRONG_TWICE = {{"wrong", "bad", "s3cret"}};
const Answers RIGHT_ON_LOOPBACK = {{"s3cret"}, "", "127.0.0.1"};
const char* const UNANSWERED = "\"sent\":true,\"answered\":false";  // the sim's log of the third host
const char* const NO_PAGE_401 = "Upgrade Failed: Not a ULX Status Page (HTTP/1.1 401 Unauthorized)";
const char* const NO_PAGE_404 = "Upgrade Failed: Not a ULX Status Page (HTTP/1.1 404 Not Found)";
const char* const TOO_LONG = "Upgrade Failed: ULX Password Challenge Too Long (over 1024 characters)";
// The confirmation shows the sim's fields however the page arrived.
const std::map<std::string, std::string> SIM_FIELDS = {{"103/1006", "ULX-7400"},
                                                       {"103/1003", "02:00:5E:10:74:00"},
                                                       {"103/1004", "3.0.2(GWe)"},
                                                       {"103/1005", "2.0.1"},
                                                       {"103/1002", "ULX74000A1B2"}};
Lines withPassword(Lines options) {
    options.insert(options.end(), {"--password", "s3cret"});
    return options;
}

const Road kRoads[] = {
    // A device that repeats its nonce: the dialog after every refusal.
    {"WrongThenRightPassword", SCRIPT, 12, PASSWORD, WRONG_TWICE, {}, {SHIPPED}, {}, 0, "", {1, 2, 3}},
    {"CancelPassword", SCRIPT, 14, PASSWORD, {{}, "104"}, {ABORT}, {}},
    {"CancelWaiting", SCRIPT, 16, {"--idle-delay", "60000"}, {{}, "114"}, {ABORT}, {}},
    {"CancelUploading", SCRIPT, 17, {"--stop-ack-at", "5"}, {{}, "110"}, {ABORT}, {}},
    // After the restart only a status page is the device's answer, however long it takes.
    {"RestartNeverEnds", SCRIPT, 22, {"--silent-after-upgrade"}, {}, {NO_RESPONSE}, {SHIPPED}},
    {"ErrorsThenStatusPage", SCRIPT, 29, RESTART_ERRORS, {}, {}, {SHIPPED}},
    // Back about 60 s after the wait on the program's clock (restart times are real).
    {"SlowRestart", SCRIPT, 31, {"--restart-ms", "1500"}, {}, {}, {SHIPPED}},
    // A third host asks for the file first: it gets no answer, the device gets the image.
    {"ReadRequestFromAnotherHost", SCRIPT, 33, THIEF, {}, {}, {SHIPPED}, {}, 1, UNANSWERED},
    {"PhoneSkipsVersionCheck", ULX_TEST_PHONE, 23, {"--wrong-version"}, {}, {}, {}, PHONE_TEXTS},
    // The old page within the 60 s window, then beyond it; a third version refused at the first
    // status page (not 2 + 19 windows); Cancel in the connecting window kept up between attempts.
    {"OldPageThenUpgraded", SCRIPT, 41, {"--old-page-ms", "1500"}, {}, {}, {SHIPPED}},
    {"OldPageBeyondTheWindow", SCRIPT, 42, {"--old-page-ms", "10000"}, {}, {NOT_MATCHING}, {SHIPPED}},
    // clang-format off
    {"ThirdVersionAtOnce", SCRIPT, 43, {"--wrong-version", "--restart-ms", "50"}, {}, {NOT_MATCHING}, {SHIPPED}, {}, 0,
     "", {}, 7},
    {"CancelBetweenAttempts", SCRIPT, 44, {"--old-page-ms", "10000"}, {{}, "105", "", "admin", 4}, {ABORT}, {}, {}, 0,
     "", {}, 4},
    // clang-format on
    // The first OACK lost, the read request again from a new port: served there.
    {"ReadRequestFromANewPort", SCRIPT, 45, {"--rrq-new-port"}, {}, {}, {SHIPPED}, {}, 1, "\"rrq_new_port\":true"},
    {"UnknownProduct", ULX_TEST_ODM, 24, {}, {}, {}, {}, ODM_TEXTS},
    {"RealClockWithPassword", ULX_SCRIPT, 25, SLOW_PASSWORD, RIGHT_ON_LOOPBACK, {}, {SHIPPED}},
    {"Windows1252Fields", SCRIPT, 57, W1252, {}, {}, {}, W1252_TEXTS},
    // The device is older than the Transition image, its version without marker: both images.
    {"TwoStage", TWOSTAGE, 30, OLD, {}, {}, {ULX_TEST_IMAGES "/transition.bin", SHIPPED}, TWOSTAGE_TEXTS, 2},
    // A failed Transition delivery ends the run: no Target order follows.
    {"TwoStageTransitionIncomplete", TWOSTAGE, 34, OLD_ACKS_STOP, {}, {INCOMPLETE}, {}, {}, 1},
    // ---- an answer that is no status page, one that never comes, unusual challenges
    {"ForeignServer404", SCRIPT, 60, {"--foreign-server", "404"}, {}, {NO_PAGE_404}, {}},
    {"AnswerNeverComes", SCRIPT, 63, {"--no-answer"}, {}, {NO_RESPONSE}, {}},
    {"BasicChallengeFirst", SCRIPT, 65, BASIC_FIRST, RIGHT, {}, {SHIPPED}},
    // No challenge that can be answered: nothing is sent with it.
    {"CrlfInNonce", SCRIPT, 66, {"--password", "s3cret", "--crlf-in-nonce"}, {}, {NO_PAGE_401}, {}},
    // ---- how web servers speak HTTP; keep-alive holds connections past the silence bound.
    {"Http10", SCRIPT, 72, {"--http10"}, {}, {}, {SHIPPED}},
    {"ChunkedSevenBytes", SCRIPT, 74, withPassword({"--chunked", "7"}), RIGHT, {}, {SHIPPED}, SIM_FIELDS},
    {"KeepAlive", SCRIPT, 76, withPassword({"--keep-alive", "12000"}), RIGHT, {}, {SHIPPED}, SIM_FIELDS},
    {"LongNonce", SCRIPT, 78, withPassword({"--long-nonce", "1024"}), RIGHT, {}, {SHIPPED}, {}, 0, "", {1}},
    {"NonceBeyondBound", SCRIPT, 80, withPassword({"--long-nonce", "1025"}), {}, {TOO_LONG}, {}},
    {"LowercaseHeaders", SCRIPT, 82, withPassword({"--lowercase-headers"}), RIGHT, {}, {SHIPPED}, {}, 0, "", {1}},
    {"Sha256First", SCRIPT, 84, withPassword({"--sha256-first"}), RIGHT, {}, {SHIPPED}, {}, 0, "", {1}},
};
INSTANTIATE_TEST_SUITE_P(E2e, Upgrade, ::testing::ValuesIn(kRoads),
                         [](const testing::TestParamInfo<Road>& i) { return std::string(i.param.name); });

// A read request from the device's second address: refused and named; the firewall hint still comes.
TEST(E2e, ReadRequestFromTheDevicesOtherAddressIsNamedAndRefused) {
    const std::string device = "127.0.5.46", log = logPath("other-address");
    ScriptProcess sim, ui;
    ASSERT_TRUE(startDevice(sim, log, device, {"--rrq-from", "127.0.5.47"}));
    int a = toAddressDialog(ui, SCRIPT, {}, {"ULX_LOCAL_ADDRESSES=127.0.5.146", "ULX_CLOCK_SCALE=100"});
    ASSERT_GT(a, 0) << ui.transcript();
    ui.type(a, IDC_ADDRESS, device);
    ui.press(a, IDC_OK);
    int confirm = ui.waitOpen("103");
    ASSERT_TRUE(confirm > 0 && ui.waitEvent("shown", confirm)) << ui.transcript();
    ui.press(confirm, IDC_OK);
    int waiting = ui.waitOpen("114");
    auto titled = [&](const std::string& text) {
        return ui.waitFor([&](const Event& e) { return e.kind == "title" && e.window == waiting && e.text == text; },
                          30000);
    };
    EXPECT_TRUE(titled("Refused TFTP Request From 127.0.5.47: Only ULX@127.0.5.46 Is Served")) << ui.transcript();
    EXPECT_TRUE(titled("No Request From ULX After 2 Minutes: Firewall Blocking TFTP?")) << ui.transcript();
    ui.press(waiting, IDC_CANCEL);
    std::optional<MsgBox> box = ui.waitMsgBox();
    ASSERT_TRUE(box) << ui.transcript();
    EXPECT_EQ(box->text, ABORT);
    ui.press(box->window, IDC_OK);
    EXPECT_EQ(ui.waitExit(), 0) << ui.transcript();
    EXPECT_EQ(readFile(log).find("\"event\":\"tftp_oack\""), std::string::npos);  // nothing served to it
}

// ---------------------------------------------------------------- the sim against independent peers

// curl's output, then a line with the HTTP status code.
std::string curl(const std::string& args) {
    std::string out;
    char buffer[4096];
    FILE* pipe = popen(("curl -s -S --max-time 10 -w '\\n%{http_code}' " + args).c_str(), "r");
    for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pipe) pclose(pipe);
    return out;
}
std::string statusOf(const std::string& curlOutput) { return curlOutput.substr(curlOutput.rfind('\n') + 1); }

// curl gets in with the right password only, whatever form the challenge takes.
TEST(DeviceSim, CurlDigestAndStatusPage) {
    const std::tuple<const char*, const char*, const char*> cases[] = {{"127.0.7.2", "auth", "quoted"},
                                                                       {"127.0.7.3", "none", "absent"},
                                                                       {"127.0.7.4", "list", "unquoted"},
                                                                       {"127.0.7.5", "auth", "md5-sess"}};
    for (const auto& [address, qop, algorithm] : cases) {
        SCOPED_TRACE(std::string(qop) + " " + algorithm);
        std::string log = logPath(address), base = std::string(" http://") + address;
        ScriptProcess sim;
        ASSERT_TRUE(startDevice(
            sim, log, address,
            {"--password", "secret", "--qop", qop, "--algorithm", algorithm, "--opaque", "op4", "--serial", "SIM123"}));
        std::string page = curl("--digest -u admin:secret" + base + "/admin/advanced");
        EXPECT_EQ(statusOf(page), "200");
        for (const char* row : {"Product Name:</td><td>ULX-7400<", "MAC Address:</td><td>", "Hardware Version:",
                                "Software Version:</td><td>3.0.2(GWe)<", "Serial Number:</td><td>SIM123<"})
            EXPECT_NE(page.find(row), std::string::npos) << row;
        EXPECT_EQ(statusOf(curl("--digest -u admin:secret" + base + "/admin/advanced")), "200") << "a second client";
        EXPECT_EQ(statusOf(curl("--digest -u admin:secret" + base + "/nothing")), "404");
        EXPECT_EQ(statusOf(curl("--digest -u admin:wrong" + base + "/admin/advanced")), "401");
        EXPECT_EQ(statusOf(curl(base + "/admin/advanced")), "401");
        std::string text = readFile(log);
        EXPECT_NE(text.find("\"ok\":true"), std::string::npos) << text;
        EXPECT_NE(text.find("\"reason\":\"response differs (wrong password?)\""), std::string::npos) << text;
        kill(sim.pid(), SIGTERM);  // it ends cleanly (a sanitizer's report would make it fail)
        EXPECT_EQ(sim.wait(5000), 0) << sim.transcript();
    }
}

// An upgrade through in.tftpd, with duplicate, foreign-port ACKs and a repeated read request;
// the restart brings a new nonce and the new version.
TEST(DeviceSim, UpgradeThroughTftpdWithAckFaults) {
    char pattern[] = "/tmp/ulx-device-sim-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern, log = dir + "/sim.log", version = "9.8.2048(Sim)";
    chmod(pattern, 0755);  // in.tftpd reads as an unprivileged user
    std::string image(2048, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 7919 + 13) >> 3);
    image.replace(92, version.size() + 1, version + '\0');
    std::ofstream(dir + "/ulxabc.bi1", std::ios::binary) << image;
    chmod((dir + "/ulxabc.bi1").c_str(), 0644);
    ScriptProcess tftpd, sim;
    ASSERT_TRUE(tftpd.start("/usr/sbin/in.tftpd", {"-L", "-s", dir, "-a", "127.0.7.13:6969"}));
    ASSERT_TRUE(
        startDevice(sim, log, "127.0.7.12",
                    {"--password", "secret", "--idle-delay", "50", "--image-out", dir + "/received.bin",
                     "--exit-after-upgrade", "--foreign-port-ack", "--duplicate-acks", "--repeat-rrq-at", "2"}));
    const std::string order = "'http://127.0.7.12/admin/upgrade?tftp://127.0.7.13:6969/ulxabc.bi1'";
    EXPECT_EQ(statusOf(curl("--digest -u admin:secret " + order)), "200");
    for (int i = 0; i < 1500 && readFile(log).find("\"event\":\"back\"") == std::string::npos; ++i) usleep(20000);
    std::string page = curl("--digest -u admin:secret http://127.0.7.12/admin/advanced");
    EXPECT_NE(page.find("Software Version:</td><td>" + version + "<"), std::string::npos) << page;
    EXPECT_EQ(sim.wait(10000), 0) << sim.transcript();

    std::string text = readFile(log);
    EXPECT_EQ(logValues(text, "tftp_rrq", "file"), Lines{"/ulxabc.bi1"}) << text << tftpd.transcript();
    EXPECT_EQ(logValues(text, "tftp_done", "sha256"), Lines{sha256Hex(image)});
    EXPECT_NE(text.find("\"complete\":true"), std::string::npos);
    EXPECT_NE(text.find("\"blocks\":5,\"bytes\":2048"), std::string::npos);
    EXPECT_NE(text.find("\"rrq_repeated\":true"), std::string::npos);
    EXPECT_NE(text.find("\"event\":\"tftp_foreign\""), std::string::npos);
    EXPECT_EQ(readFile(dir + "/received.bin"), image);
    EXPECT_NE(logValues(text, "back", "nonce"), logValues(text, "ready", "nonce"));
    EXPECT_NE(logValues(text, "tftp_oack", "hex").at(0).find("74 73 69 7a 65 00"), std::string::npos) << "tsize";
    std::filesystem::remove_all(dir);
}

}  // namespace
