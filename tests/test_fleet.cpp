// ulx-fleet against a mixed fleet in one ulx-device-sim (devices 127.0.N.1-10, this computer
// 127.0.N.200, N per test): each report record by record, each image received by its SHA-256.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "support/person.h"
#include "support/web_server.h"

using namespace ulxtest;

#define EXPECT_HAS(text, part) EXPECT_PRED_FORMAT2(testing::IsSubstring, part, text)

namespace {

// Per device: its line of the sim's config (nullptr: absent), its line of the fleet's list.
struct Member {
    const char* sim;
    const char* list;
};
const Member MIXED[10] = {
    {"", ""},                                                   // .1 old, no password
    {"--password ulx", ",admin,ulx"},                           // .2 old, its own password
    {"--software-version 3.1.7(GWe)", ""},                      // .3 current
    {"--software-version 3.1.7(GWe) --password ulx", ",,ulx"},  // .4 current, password
    {"--password other", ",admin,ulx"},                         // .5 wrong password
    {nullptr, ""},                                              // .6 absent
    {"--stop-ack-at 200", ""},                                  // .7 its ACKs stop
    {"--password shared", ""},                                  // .8 the password file's password
    {"", ""},                                                   // .9 old
    {"--wrong-version", ""},                                    // .10 reports another version after the restart
};

const char* const OLD = "3.0.2(GWe)";
const char* const NEW = "3.1.7(GWe)";
const char* const ABORT = "Upgrade Failed: User Abort";
const char* const NO_RESPONSE = "Upgrade Failed: No Response From ULX";
const long IMAGE_BYTES = 767148;

using Row = std::map<std::string, std::string>;

// One expected report record; empty fields are not looked at.
struct Expect {
    std::string outcome, message = "", from = "", to = "", bytes = "", detail = "";
};

// The CSV report (no field these runs write is quoted).
std::vector<Row> readCsv(const std::string& path) {
    std::vector<Row> rows;
    std::istringstream in(readFile(path));
    std::vector<std::string> header;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, ',');) fields.push_back(field);
        if (header.empty()) header = fields;
        else rows.emplace_back();
        for (size_t i = 0; !rows.empty() && i < header.size() && i < fields.size(); ++i)
            rows.back()[header[i]] = fields[i];
    }
    return rows;
}

// The JSON report: one flat object a line, "key": "text" or "key": number.
std::vector<Row> readJson(const std::string& path) {
    std::vector<Row> rows;
    std::istringstream in(readFile(path));
    const std::regex field("\"([a-z_]+)\": (\"((?:[^\"\\\\]|\\\\.)*)\"|[0-9]+)");
    for (std::string line; std::getline(in, line);) {
        if (line.find('{') == std::string::npos) continue;
        Row row;
        for (std::sregex_iterator i(line.begin(), line.end(), field), end; i != end; ++i)
            row[(*i)[1]] = (*i)[3].matched ? (*i)[3].str() : (*i)[2].str();
        rows.push_back(row);
    }
    return rows;
}

// The pids of the processes whose parent is pid (any of its threads).
std::vector<int> childrenOf(int pid) {
    std::vector<int> out;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    while (dirent* e = dir ? readdir(dir) : nullptr) {
        std::ifstream children(tasks + "/" + e->d_name + "/children");
        for (int child; children >> child;) out.push_back(child);
    }
    if (dir) closedir(dir);
    return out;
}

class Fleet : public ::testing::Test {
protected:
    // The mixed fleet on 127.0.net.x; simExtra[i] adds options to device i.
    void startSim(int net, std::map<int, std::string> simExtra = {}) {
        std::string config;
        int devices = 0;
        for (int i = 0; i < 10; ++i) {
            if (!MIXED[i].sim) continue;
            config += "127.0." + std::to_string(net) + "." + std::to_string(i + 1) + " " + MIXED[i].sim + " " +
                      simExtra[i + 1] + "\n";
            ++devices;
        }
        startSimWith(net, config, devices);
    }

    void startSimWith(int net, const std::string& config, int devices) {
        net_ = net;
        dir_ = testing::TempDir() + "/ulx-fleet-" + std::to_string(net) + "-" + std::to_string(getpid());
        ASSERT_EQ(system(("rm -rf " + dir_ + " && mkdir -p " + dir_).c_str()), 0);
        writeFile("sim.conf", config);
        writeFile("password", "shared\n");
        chmod(path("password").c_str(), 0600);
        ASSERT_TRUE(
            sim_.start(ULX_DEVICE_SIM, {"--config", path("sim.conf"), "--log", path("sim.log"), "--idle-delay", "100",
                                        "--restart-ms", "50", "--dally-ms", "50", "--exit-after", "120000"}));
        ASSERT_TRUE(eventually([&] { return count(readFile(path("sim.log")), "\"event\":\"ready\"") == devices; }))
            << readFile(path("sim.log"));
    }

    // Writes the list of the given members.
    std::string list(const std::vector<int>& members) {
        std::string text = "# the mixed fleet\n\n";
        for (int m : members) text += address(m) + MIXED[m - 1].list + "\n";
        writeFile("devices.txt", text);
        return path("devices.txt");
    }

    // ulx-fleet on the test program, output not a terminal; blocks at four times real time.
    void startFleet(std::vector<std::string> args, const char* program = ULX_TEST_SCRIPT, bool password = true) {
        fleet_ = std::make_unique<ScriptProcess>();
        args.insert(args.end(), {"--program", program});
        if (password) args.insert(args.end(), {"--password-file", path("password")});
        fleet_->setStderrPath(path("fleet.err"));
        ASSERT_TRUE(fleet_->start(
            ULX_FLEET, args, {"ULX_LOCAL_ADDRESSES=" + local(), "ULX_CLOCK_PHASES=transfer:4,wait:400,verify:100"}));
    }

    int runFleet(const std::vector<std::string>& args, const char* program = ULX_TEST_SCRIPT, bool password = true) {
        startFleet(args, program, password);
        return fleet_->wait(60000);
    }

    void expectReport(const std::vector<Row>& rows, const std::map<int, Expect>& expected) {
        ASSERT_EQ(rows.size(), expected.size()) << fleet_->transcript();
        size_t i = 0;
        for (const auto& [member, e] : expected) {
            const Row& r = rows[i++];
            SCOPED_TRACE(address(member));
            EXPECT_EQ(r.at("address"), address(member));
            EXPECT_EQ(r.at("outcome"), e.outcome) << r.at("detail") << "\n" << fleet_->transcript();
            for (const auto& [key, value] : {std::pair{"message", e.message},
                                             {"from_version", e.from},
                                             {"to_version", e.to},
                                             {"bytes_delivered", e.bytes},
                                             {"detail", e.detail}})
                if (!value.empty()) { EXPECT_EQ(r.at(key), value) << key; }
            EXPECT_EQ(r.at("started").empty(),
                      (e.outcome == "cancelled" && e.detail == "not started") || e.outcome == "not started");
        }
    }

    // Exactly these members received an image: the embedded one once (or these, in order).
    void expectImages(const std::vector<int>& members, std::vector<std::string> files = {ULX_SHIPPED_IMAGE}) {
        std::map<std::string, std::vector<std::string>> images, expected;
        const std::string log = readFile(path("sim.log"));
        const std::regex received(R"x("event":"image_received".*"sha256":"([0-9a-f]+)".*"device":"([0-9.]+)")x");
        for (std::sregex_iterator i(log.begin(), log.end(), received), end; i != end; ++i)
            images[(*i)[2]].push_back((*i)[1]);
        for (std::string& file : files) file = sha256Hex(readFile(file));
        for (int m : members) expected[address(m)] = files;
        EXPECT_EQ(images, expected);
    }

    void TearDown() override {
        sim_.closeInput();
        if (sim_.pid() > 0) kill(sim_.pid(), SIGTERM);
        sim_.wait(10000);
    }

    std::string address(int member) const { return "127.0." + std::to_string(net_) + "." + std::to_string(member); }
    std::string local() const { return "127.0." + std::to_string(net_) + ".200"; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string err() const { return readFile(path("fleet.err")); }
    bool contacted() const { return readFile(path("sim.log")).find("http_request") != std::string::npos; }
    void writeFile(const std::string& name, const std::string& text) { std::ofstream(path(name)) << text; }
    static int count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    int net_ = 0;
    std::string dir_;
    ScriptProcess sim_;
    std::unique_ptr<ScriptProcess> fleet_;  // one per run
};

const std::vector<int> ALL = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

Expect upgraded(int member, int net) {
    return {"upgraded", "ULX@127.0." + std::to_string(net) + "." + std::to_string(member) + " Upgrade Successful!", OLD,
            NEW, std::to_string(IMAGE_BYTES)};
}

}  // namespace

// A bad line is named and nothing starts; inventory changes nothing; then the whole mixed fleet,
// each kind of device ending as it must, the log plain timestamped lines.
TEST_F(Fleet, BadListInventoryThenUpgradeMixedFleet) {
    startSim(41);
    writeFile("bad.txt", address(1) + "\n# fine\n" + address(2) + ",admin,ulx\n127.0.41.300\n" + address(3) + "\n");
    EXPECT_EQ(runFleet({"--list", path("bad.txt"), "--yes", "--report", path("report.csv")}), 2);
    EXPECT_HAS(err(), path("bad.txt") + ":4: \"127.0.41.300\" is not a device address");
    EXPECT_FALSE(contacted());
    EXPECT_FALSE(std::ifstream(path("report.csv")).good());

    EXPECT_EQ(runFleet({"--list", list(ALL), "--inventory", "--report", path("report.json")}), 1);
    auto rows = readJson(path("report.json"));
    std::map<int, Expect> expected;
    for (int m : ALL) expected[m] = {"identified", ABORT, "", "", "0"};
    expected[5] = {"wrong password", ABORT};
    expected[6] = {"no response", NO_RESPONSE};
    expectReport(rows, expected);
    for (int m : {1, 2, 3, 4, 7, 8, 9, 10}) {  // each row the device's own: the sim numbers serial and MAC by address
        const Row& r = rows[m - 1];
        char id[4];
        snprintf(id, sizeof id, "%02X", m);
        EXPECT_EQ(r.at("software_version") + " " + r.at("current"),
                  m == 3 || m == 4 ? "3.1.7(GWe) yes" : "3.0.2(GWe) no");
        EXPECT_EQ(r.at("serial") + " " + r.at("mac"), std::string("ULX7400029") + id + " 02:00:5E:00:29:" + id);
    }
    expectImages({});
    std::string out = fleet_->transcript();
    EXPECT_TRUE(std::regex_search(
        out, std::regex(address(3) + R"( +ULX-7400 +ULX740002903 +02:00:5E:00:29:03 +3\.1\.7\(GWe\) +2\.0\.1 +yes\n)")))
        << out;

    EXPECT_EQ(runFleet({"--list", list(ALL), "--yes", "--jobs", "4", "--report", path("report.csv")}), 1);
    expectReport(
        readCsv(path("report.csv")),
        {{1, upgraded(1, 41)},
         {2, upgraded(2, 41)},
         {3, {"already current", ABORT, "", "", "0"}},
         {4, {"already current", ABORT, "", "", "0"}},
         {5, {"wrong password", ABORT, "", "", "0", "the device refused the password"}},
         {6, {"no response", NO_RESPONSE}},
         {7, {"upload incomplete", "Upgrade Failed: Firmware Upload Incomplete"}},
         {8, upgraded(8, 41)},
         {9, upgraded(9, 41)},
         {10, {"version not matching", "Upgrade Failed: Version not matching", "", "", std::to_string(IMAGE_BYTES)}}});
    expectImages({1, 2, 8, 9, 10});

    // Not a terminal: no cursor movement, every line stamped.
    out = fleet_->transcript();
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    std::istringstream lines(out);
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d .*)");
    int stampedLines = 0;
    for (std::string line; std::getline(lines, line) && !line.empty(); ++stampedLines)
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    EXPECT_GT(stampedLines, 30);
    EXPECT_HAS(out, address(1) + " uploading\n");
    EXPECT_HAS(out, address(1) + " upgraded from 3.0.2(GWe) to 3.1.7(GWe)\n");
    EXPECT_HAS(out,
               "10 devices: 4 upgraded, 2 already current, 1 wrong password, 1 no response, "
               "1 upload incomplete, 1 version not matching\n");
}

// Current devices are left alone unless --force. A killed program fails its device alone.
// Ctrl-C while old devices wait for their download: each cancelled, no program left.
TEST_F(Fleet, SkipForceKilledProgramThenInterrupt) {
    std::map<int, std::string> slow;
    for (int m : {1, 2, 7, 8, 10}) slow[m] = "--idle-delay 60000";
    startSim(42, slow);
    EXPECT_EQ(runFleet({"--list", list({3, 4, 9}), "--yes", "--report", path("report.csv")}), 0);
    expectReport(readCsv(path("report.csv")),
                 {{3, {"already current", ABORT}}, {4, {"already current", ABORT}}, {9, upgraded(9, 42)}});
    EXPECT_EQ(runFleet({"--list", list({3, 4}), "--yes", "--force", "--report", path("report.csv")}), 0);
    Expect again = {"upgraded", "", NEW, NEW, std::to_string(IMAGE_BYTES)};
    expectReport(readCsv(path("report.csv")), {{3, again}, {4, again}});

    startFleet({"--list", list({1, 3, 9}), "--yes", "--report", path("report.csv")});
    // Once the others are done, the one program left is device 1's.
    std::vector<int> children;
    ASSERT_TRUE(eventually(
        [&] {
            return count(fleet_->transcript(), "already current (") == 2 &&
                   (children = childrenOf(fleet_->pid())).size() == 1;
        },
        30000))
        << fleet_->transcript();
    kill(children[0], SIGKILL);
    EXPECT_EQ(fleet_->wait(30000), 1) << fleet_->transcript();
    expectReport(readCsv(path("report.csv")),
                 {{1, {"program failed", "", "", "", "0", "the program ended without a verdict (killed by signal 9)"}},
                  {3, {"already current", ABORT}},
                  {9, {"already current", ABORT}}});

    // Device 1 still waits for the killed program's download: the others.
    const std::vector<int> others = {2, 3, 4, 5, 6, 7, 8, 10};
    startFleet({"--list", list(others), "--yes", "--report", path("report.csv")});
    ASSERT_TRUE(eventually([&] { return count(fleet_->transcript(), " waiting for the download\n") == 4; }))
        << fleet_->transcript();
    // The programs of the finished devices may still be ending.
    EXPECT_TRUE(eventually([&] { return (children = childrenOf(fleet_->pid())).size() == 4; }, 30000));
    kill(fleet_->pid(), SIGINT);
    EXPECT_EQ(fleet_->wait(30000), 1) << fleet_->transcript();
    for (int child : children) EXPECT_NE(kill(child, 0), 0) << "program " << child << " is left";
    std::map<int, Expect> expected;
    for (int m : others) expected[m] = {"cancelled", ABORT, "", "", "0"};
    expected[3] = expected[4] = {"already current", ABORT};
    expected[5] = {"wrong password", ABORT};
    expected[6] = {"no response", NO_RESPONSE};
    expectReport(readCsv(path("report.csv")), expected);
    expectImages({3, 4, 9});  // the current devices none until forced
}

// Ctrl-C while a two-stage device restarts into Transition: cancelled before the Target order.
TEST_F(Fleet, InterruptBetweenTwoStages) {
    startSim(43, {{1, "--software-version 1.0.0 --restart-ms 1500"}});
    startFleet({"--list", list({1}), "--yes", "--report", path("report.json")}, ULX_TEST_TWOSTAGE);
    ASSERT_TRUE(eventually([&] { return count(fleet_->transcript(), address(1) + " restarting\n") == 1; }, 30000))
        << fleet_->transcript();
    kill(fleet_->pid(), SIGINT);
    EXPECT_EQ(fleet_->wait(30000), 1) << fleet_->transcript();
    expectReport(readJson(path("report.json")), {{1, {"cancelled", ABORT}}});
    // The device logs the image once its last acknowledgement has had time to arrive, which may be after the fleet
    // has ended.
    EXPECT_TRUE(eventually([&] { return count(readFile(path("sim.log")), "image_received") == 1; }, 10000));
    expectImages({1}, {ULX_TEST_IMAGES "/transition.bin"});
}

// Refused before anything starts: a readable password file, an unwritable report. A failed
// canary holds the rest back, as does a failure limit; the retry upgrades exactly those left.
TEST_F(Fleet, RolloutLimitsThenRetry) {
    startSim(44);
    const std::string devices = list({5, 8, 9});
    chmod(path("password").c_str(), 0644);
    EXPECT_EQ(runFleet({"--list", devices, "--yes"}), 2);
    EXPECT_HAS(err(), "must be 0600");
    chmod(path("password").c_str(), 0600);
    EXPECT_EQ(runFleet({"--list", devices, "--yes", "--report", path("no/such/dir/report.csv")}), 2);
    EXPECT_HAS(err(), "cannot write the report");
    EXPECT_FALSE(contacted());

    const Expect held = {"not started", "", "", "", "0"};
    EXPECT_EQ(runFleet({"--list", devices, "--yes", "--canary", "1", "--report", path("report.csv")}), 3);
    expectReport(readCsv(path("report.csv")), {{5, {"wrong password", ABORT}}, {8, held}, {9, held}});
    EXPECT_EQ(runFleet({"--list", list({1, 5, 9}), "--yes", "--jobs", "1", "--max-failures", "1", "--report",
                        path("report.json")}),
              4);
    expectReport(readJson(path("report.json")), {{1, upgraded(1, 44)}, {5, {"wrong password", ABORT}}, {9, held}});

    writeFile("right.txt", address(5) + ",admin,other\n");
    EXPECT_EQ(
        runFleet({"--retry", path("report.json"), "--list", path("right.txt"), "--yes", "--report", path("retry.csv")}),
        0);
    expectReport(readCsv(path("retry.csv")), {{5, upgraded(5, 44)}, {9, upgraded(9, 44)}});
    expectImages({1, 5, 9});
}

// A sweep finds the devices among refused addresses and foreign web servers; only the devices
// are inventoried, listed and upgraded. No password given: "password needed".
TEST_F(Fleet, ScanFindsTheDevicesAndOnlyThose) {
    const std::string net = "127.0.45.";
    startSimWith(45,
                 net + "10\n" +                                    // old
                     net + "20 --software-version 3.1.7(GWe)\n" +  // current
                     net + "30 --password shared\n" +              // the password file's password
                     net + "40 --foreign-server 200\n" +           // a web page of its own
                     net + "41 --foreign-server 401\n" + net + "50 --password other\n",
                 6);
    const std::string range = net + "0/24";

    EXPECT_EQ(runFleet({"--scan", range, "--scan", "127.0.0.0/15", "--inventory"}), 2);
    EXPECT_HAS(err(), "\"127.0.0.0/15\" is larger than a /16");
    EXPECT_FALSE(contacted());

    EXPECT_EQ(
        runFleet({"--scan", range, "--inventory", "--write-list", path("found.txt"), "--report", path("report.json")},
                 ULX_TEST_SCRIPT, false),
        1);
    std::string out = fleet_->transcript();
    EXPECT_HAS(out, "scan of 254 addresses: 6 answered on port 80, 248 refused, 0 silent, 0 unreachable");
    EXPECT_HAS(out, "scan: 6 hosts answered on port 80, 2 were ULX devices, 2 not a ULX, 2 password needed\n");
    const Expect needed = {"password needed", ABORT, "", "", "0", "the device asks for a password and none was given"};
    expectReport(readJson(path("report.json")),
                 {{10, {"identified"}}, {20, {"identified"}}, {30, needed}, {50, needed}});
    EXPECT_EQ(out.find(net + "4", out.find("\naddress ")), std::string::npos) << out;  // nor rows of the table

    EXPECT_EQ(runFleet({"--list", path("found.txt"), "--inventory", "--report", path("report.csv")}), 0)
        << readFile(path("found.txt"));
    expectReport(readCsv(path("report.csv")), {{10, {"identified"}}, {20, {"identified"}}});

    // With the password file.
    EXPECT_EQ(runFleet({"--scan", net + "1-60", "--yes", "--report", path("report.csv")}), 1);
    expectReport(readCsv(path("report.csv")), {{10, upgraded(10, 45)},
                                               {20, {"already current", ABORT}},
                                               {30, upgraded(30, 45)},
                                               {50, {"wrong password", ABORT}}});
    expectImages({10, 30});
    EXPECT_HAS(fleet_->transcript(),
               "scan: 6 hosts answered on port 80, 3 were ULX devices, 2 not a ULX, 1 wrong password\n");
}
