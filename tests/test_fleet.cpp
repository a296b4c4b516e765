// ulx-fleet against a simulated mixed fleet of ten devices in one
// ulx-device-sim (devices 127.0.N.1-10, this computer 127.0.N.200, N per
// test), driving the scaled test program. Every run is checked record by
// record in its report, and every image a device received by its SHA-256.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "driver/protocol_driver.h"
#include "support/web_server.h"

using namespace ulxtest;

namespace {

// The mixed fleet: one line per device of the sim's config (empty: no
// device there), the matching line of the fleet's list.
struct Member {
    const char* sim;
    const char* list;
};
const Member MIXED[10] = {
    {"", ""},                                                 // .1 old, no password
    {"--password ulx", ",admin,ulx"},                         // .2 old, its own password
    {"--software-version 3.1.7(GWe)", ""},                    // .3 current
    {"--software-version 3.1.7(GWe) --password ulx", ",,ulx"},  // .4 current, password
    {"--password other", ",admin,ulx"},                       // .5 wrong password
    {nullptr, ""},                                            // .6 absent
    {"--stop-ack-at 200", ""},                                // .7 its ACKs stop
    {"--password shared", ""},                                // .8 the password file's password
    {"", ""},                                                 // .9 old
    {"--wrong-version", ""},                                  // .10 reports another version after the restart
};

const char* const OLD = "3.0.2(GWe)";
const char* const NEW = "3.1.7(GWe)";
const char* const ABORT = "Upgrade Failed: User Abort";
const long IMAGE_BYTES = 767148;

using Row = std::map<std::string, std::string>;

// One expected report record; empty fields are not looked at.
struct Expect {
    std::string outcome, message = "", from = "", to = "", bytes = "", detail = "";
};

std::vector<std::string> splitCsvLine(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') fields.back() += line[++i];
        else if (c == '"') quoted = !quoted;
        else if (c == ',' && !quoted) fields.emplace_back();
        else fields.back() += c;
    }
    return fields;
}

std::vector<Row> readCsv(const std::string& path) {
    std::vector<Row> rows;
    std::istringstream in(readFile(path));
    std::string line;
    if (!std::getline(in, line)) return rows;
    auto header = splitCsvLine(line);
    while (std::getline(in, line)) {
        auto fields = splitCsvLine(line);
        Row row;
        for (size_t i = 0; i < header.size() && i < fields.size(); ++i) row[header[i]] = fields[i];
        rows.push_back(row);
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

// The SHA-256 of every image each device received, from the sim's log.
std::map<std::string, std::vector<std::string>> receivedImages(const std::string& log) {
    std::map<std::string, std::vector<std::string>> out;
    std::istringstream in(log);
    const std::regex sha("\"sha256\":\"([0-9a-f]+)\""), device("\"device\":\"([0-9.]+)\"");
    for (std::string line; std::getline(in, line);) {
        std::smatch s, d;
        if (line.find("\"event\":\"image_received\"") != std::string::npos && std::regex_search(line, s, sha) &&
            std::regex_search(line, d, device))
            out[d[1]].push_back(s[1]);
    }
    return out;
}

// The pids of the processes whose parent is pid.
std::vector<int> childrenOf(int pid) {
    std::vector<int> out;
    DIR* proc = opendir("/proc");
    while (dirent* e = proc ? readdir(proc) : nullptr) {
        int child = atoi(e->d_name);
        if (child <= 0) continue;
        std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t paren = text.rfind(')');
        char state = 0;
        int parent = 0;
        if (child > 0 && paren != std::string::npos && sscanf(text.c_str() + paren + 1, " %c %d", &state, &parent) == 2 &&
            parent == pid)
            out.push_back(child);
    }
    if (proc) closedir(proc);
    return out;
}

class Fleet : public ::testing::Test {
protected:
    // Starts the sim with the mixed fleet on 127.0.net.x; simExtra[i] adds
    // options to device i+1.
    void startSim(int net, std::map<int, std::string> simExtra = {}) {
        net_ = net;
        dir_ = testing::TempDir() + "/ulx-fleet-" + std::to_string(net) + "-" + std::to_string(getpid());
        ASSERT_EQ(system(("rm -rf " + dir_ + " && mkdir -p " + dir_).c_str()), 0);
        std::string config;
        int devices = 0;
        for (int i = 0; i < 10; ++i) {
            if (!MIXED[i].sim) continue;
            config += address(i + 1) + " " + MIXED[i].sim + " " + simExtra[i + 1] + "\n";
            ++devices;
        }
        writeFile("sim.conf", config);
        writeFile("password", "shared\n");
        ASSERT_TRUE(sim_.start(ULX_DEVICE_SIM, {"--config", path("sim.conf"), "--log", path("sim.log"),
                                                "--idle-delay", "100", "--restart-ms", "50", "--dally-ms", "50",
                                                "--exit-after", "120000"}));
        for (int i = 0; i < 200 && count(readFile(path("sim.log")), "\"event\":\"ready\"") < devices; ++i)
            usleep(25000);
        ASSERT_EQ(count(readFile(path("sim.log")), "\"event\":\"ready\""), devices) << readFile(path("sim.log"));
    }

    // Writes the list of the given devices (1-10) of the mixed fleet.
    std::string list(const std::vector<int>& members) {
        std::string text = "# the mixed fleet\n\n";
        for (int m : members) text += address(m) + MIXED[m - 1].list + "\n";
        writeFile("devices.txt", text);
        return path("devices.txt");
    }

    // Starts ulx-fleet on the test program; its output is not a terminal.
    // The programs move blocks at four times real time (a device whose
    // acknowledgements stop is given up on after 0.75 s), skim the wait and
    // ask the restarted device 100 ms apart.
    void startFleet(std::vector<std::string> args) {
        args.insert(args.end(), {"--program", ULX_TEST_SCRIPT, "--password-file", path("password")});
        fleet_.setStderrPath(path("fleet.err"));
        ASSERT_TRUE(fleet_.start(ULX_FLEET, args,
                                 {"ULX_LOCAL_ADDRESSES=" + local(), "ULX_CLOCK_PHASES=transfer:4,wait:400,verify:100"}));
    }

    int runFleet(const std::vector<std::string>& args) {
        startFleet(args);
        return fleet_.wait(60000);
    }

    // Checks the report against expected records, in list order.
    void expectReport(const std::vector<Row>& rows, const std::map<int, Expect>& expected) {
        ASSERT_EQ(rows.size(), expected.size()) << fleet_.transcript();
        size_t i = 0;
        for (const auto& [member, e] : expected) {
            const Row& r = rows[i++];
            SCOPED_TRACE(address(member));
            EXPECT_EQ(r.at("address"), address(member));
            EXPECT_EQ(r.at("outcome"), e.outcome) << r.at("detail") << "\n" << fleet_.transcript();
            for (const auto& [key, value] : {std::pair{"message", e.message}, {"from_version", e.from},
                                             {"to_version", e.to}, {"bytes_delivered", e.bytes},
                                             {"detail", e.detail}})
                if (!value.empty()) {
                    EXPECT_EQ(r.at(key), value) << key;
                }
            EXPECT_EQ(r.at("started").empty(), e.outcome == "cancelled" && e.detail == "not started");
        }
    }

    // The devices that received an image got the embedded one, once.
    void expectImages(const std::vector<int>& members) {
        auto images = receivedImages(readFile(path("sim.log")));
        std::map<std::string, std::vector<std::string>> expected;
        const std::string sha = sha256Hex(readFile(ULX_SHIPPED_IMAGE));
        for (int m : members) expected[address(m)] = {sha};
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
    void writeFile(const std::string& name, const std::string& text) { std::ofstream(path(name)) << text; }
    static int count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    int net_ = 0;
    std::string dir_;
    ScriptProcess sim_, fleet_;
};

const std::vector<int> ALL = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

Expect upgraded(int member, int net) {
    return {"upgraded", "ULX@127.0." + std::to_string(net) + "." + std::to_string(member) + " Upgrade Successful!",
            OLD, NEW, std::to_string(IMAGE_BYTES)};
}

}  // namespace

// The whole mixed fleet: each kind of device ends as it must, the images
// arrive byte for byte, and the log is plain timestamped lines.
TEST_F(Fleet, UpgradeMixedFleet) {
    startSim(40);
    EXPECT_EQ(runFleet({"--list", list(ALL), "--yes", "--jobs", "4", "--report", path("report.csv")}), 1);
    expectReport(readCsv(path("report.csv")),
                 {{1, upgraded(1, 40)},
                  {2, upgraded(2, 40)},
                  {3, {"already current", ABORT, "", "", "0"}},
                  {4, {"already current", ABORT, "", "", "0"}},
                  {5, {"wrong password", ABORT, "", "", "0", "the device refused the password"}},
                  {6, {"no response", "Upgrade Failed: No Response From ULX"}},
                  {7, {"upload incomplete", "Upgrade Failed: Firmware Upload Incomplete"}},
                  {8, upgraded(8, 40)},
                  {9, upgraded(9, 40)},
                  {10, {"version not matching", "Upgrade Failed: Version not matching", "", "",
                        std::to_string(IMAGE_BYTES)}}});
    expectImages({1, 2, 8, 9, 10});

    // Not a terminal: no cursor movement, every line stamped.
    std::string out = fleet_.transcript();
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    std::istringstream lines(out);
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d .*)");
    int stampedLines = 0;
    for (std::string line; std::getline(lines, line) && !line.empty(); ++stampedLines)
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    EXPECT_GT(stampedLines, 30);
    EXPECT_NE(out.find(address(1) + " uploading\n"), std::string::npos) << out;
    EXPECT_NE(out.find(address(1) + " upgraded from 3.0.2(GWe) to 3.1.7(GWe)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("10 devices: 4 upgraded, 2 already current, 1 wrong password, 1 no response, "
                       "1 upload incomplete, 1 version not matching\n"),
              std::string::npos)
        << out;
}

// Inventory goes as far as the confirmation, changes nothing, and writes
// the table as JSON.
TEST_F(Fleet, Inventory) {
    startSim(41);
    EXPECT_EQ(runFleet({"--list", list(ALL), "--inventory", "--report", path("report.json")}), 1);
    auto rows = readJson(path("report.json"));
    std::map<int, Expect> expected;
    for (int m : ALL) expected[m] = {"identified", ABORT, "", "", "0"};
    expected[5] = {"wrong password", ABORT};
    expected[6] = {"no response", "Upgrade Failed: No Response From ULX"};
    expectReport(rows, expected);
    for (int m : {1, 2, 3, 4, 7, 8, 9, 10}) {
        const Row& r = rows[m - 1];
        const bool current = m == 3 || m == 4;
        EXPECT_EQ(r.at("software_version"), current ? NEW : OLD);
        EXPECT_EQ(r.at("current"), current ? "yes" : "no");
        EXPECT_EQ(r.at("product"), "ULX-7400");
        EXPECT_EQ(r.at("hardware_version"), "2.0.1");
        char serial[16];
        snprintf(serial, sizeof serial, "ULX74%07X", (41 << 8) | m);
        EXPECT_EQ(r.at("serial"), serial);
        EXPECT_EQ(r.at("mac"), "02:00:5E:00:29:" + std::string(m == 10 ? "0A" : "0" + std::to_string(m)));
    }
    expectImages({});
    std::string out = fleet_.transcript();
    EXPECT_TRUE(std::regex_search(
        out, std::regex(address(3) + R"( +ULX-7400 +ULX740002903 +02:00:5E:00:29:03 +3\.1\.7\(GWe\) +2\.0\.1 +yes\n)")))
        << out;
}

// Current devices are left alone; with only those and old ones, the run
// succeeds.
TEST_F(Fleet, SkipCurrent) {
    startSim(42);
    EXPECT_EQ(runFleet({"--list", list({1, 3, 4}), "--yes", "--report", path("report.csv")}), 0);
    expectReport(readCsv(path("report.csv")),
                 {{1, upgraded(1, 42)}, {3, {"already current", ABORT}}, {4, {"already current", ABORT}}});
    expectImages({1});
}

// --force upgrades current devices too.
TEST_F(Fleet, Force) {
    startSim(43);
    EXPECT_EQ(runFleet({"--list", list({3, 4}), "--yes", "--force", "--report", path("report.csv")}), 0);
    Expect again = {"upgraded", "", NEW, NEW, std::to_string(IMAGE_BYTES)};
    expectReport(readCsv(path("report.csv")), {{3, again}, {4, again}});
    expectImages({3, 4});
}

// A bad line: its number is reported, and nothing starts.
TEST_F(Fleet, BadListLineStartsNothing) {
    startSim(44);
    writeFile("bad.txt", address(1) + "\n# fine\n" + address(2) + ",admin,ulx\n127.0.44.300\n" + address(3) + "\n");
    EXPECT_EQ(runFleet({"--list", path("bad.txt"), "--yes", "--report", path("report.csv")}), 2);
    EXPECT_NE(readFile(path("fleet.err")).find(path("bad.txt") + ":4: \"127.0.44.300\" is not a device address"),
              std::string::npos)
        << readFile(path("fleet.err"));
    EXPECT_EQ(readFile(path("sim.log")).find("http_request"), std::string::npos);
    EXPECT_FALSE(std::ifstream(path("report.csv")).good());
}

// Ctrl-C while every old device waits for its download: each is cancelled
// through its dialog, no program is left, the report is written.
TEST_F(Fleet, InterruptCancelsCleanly) {
    std::map<int, std::string> slow;
    for (int m : {1, 2, 7, 8, 9, 10}) slow[m] = "--idle-delay 60000";
    startSim(45, slow);
    startFleet({"--list", list(ALL), "--yes", "--report", path("report.csv")});
    for (int i = 0; i < 400 && count(fleet_.transcript(), " waiting for the download\n") < 6; ++i) usleep(25000);
    ASSERT_EQ(count(fleet_.transcript(), " waiting for the download\n"), 6) << fleet_.transcript();
    // The programs of the finished devices may still be ending.
    std::vector<int> children = childrenOf(fleet_.pid());
    for (int i = 0; i < 1200 && children.size() != 6; ++i, usleep(25000)) children = childrenOf(fleet_.pid());
    EXPECT_EQ(children.size(), 6u);
    kill(fleet_.pid(), SIGINT);
    EXPECT_EQ(fleet_.wait(30000), 1) << fleet_.transcript();
    for (int child : children) EXPECT_NE(kill(child, 0), 0) << "program " << child << " is left";
    Expect cancelled = {"cancelled", ABORT, "", "", "0"};
    expectReport(readCsv(path("report.csv")),
                 {{1, cancelled},
                  {2, cancelled},
                  {3, {"already current", ABORT}},
                  {4, {"already current", ABORT}},
                  {5, {"wrong password", ABORT}},
                  {6, {"no response", "Upgrade Failed: No Response From ULX"}},
                  {7, cancelled},
                  {8, cancelled},
                  {9, cancelled},
                  {10, cancelled}});
    expectImages({});
}

// A program killed mid-run fails its device alone.
TEST_F(Fleet, KilledProgramFailsItsDeviceAlone) {
    startSim(46, {{1, "--idle-delay 60000"}});
    startFleet({"--list", list({1, 2, 3, 9}), "--yes", "--report", path("report.csv")});
    // Once the others are done, the one program left is device 1's.
    for (int i = 0; i < 400 && (count(fleet_.transcript(), "upgraded from") + count(fleet_.transcript(), "already current (")) < 3;
         ++i)
        usleep(25000);
    std::vector<int> children = childrenOf(fleet_.pid());
    for (int i = 0; i < 1200 && children.size() != 1; ++i, usleep(25000)) children = childrenOf(fleet_.pid());
    ASSERT_EQ(children.size(), 1u) << fleet_.transcript();
    kill(children[0], SIGKILL);
    EXPECT_EQ(fleet_.wait(30000), 1) << fleet_.transcript();
    expectReport(readCsv(path("report.csv")),
                 {{1, {"program failed", "", "", "", "0", "the program ended without a verdict (killed by signal 9)"}},
                  {2, upgraded(2, 46)},
                  {3, {"already current", ABORT}},
                  {9, upgraded(9, 46)}});
    expectImages({2, 9});
}
