// The fleet's own logic, without programs: outcomes, CSV fields, credentials, reports, the
// rollout's gate, scan ranges and the sweep.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "fleet/fleet.h"
#include "shared/text.h"
#include "support/web_server.h"

using namespace fleet;

namespace {

// Every "Upgrade Failed: " literal of the core and the platform, up to any '%' (comments left out).
std::vector<std::string> programMessages() {
    std::vector<std::string> out;
    const std::regex literal(R"x("(Upgrade Failed: [^"%]*))x");
    for (const char* dir : {"control", "web", "tftp", "ui", "platform"})
        for (const auto& f : std::filesystem::recursive_directory_iterator(std::string(ULX_SOURCE_DIR) + "/" + dir)) {
            const std::string ext = f.path().extension();
            if (ext != ".cpp" && ext != ".h") continue;
            std::istringstream lines(ulxtest::readFile(f.path()));
            for (std::string line; std::getline(lines, line);) {
                line = line.substr(0, line.find("//"));
                for (std::sregex_iterator i(line.begin(), line.end(), literal), end; i != end; ++i)
                    out.push_back((*i)[1]);
            }
        }
    return out;
}

}  // namespace

// Every message the program has gets its row; an unknown text still means the upgrade failed.
TEST(FleetLogic, EveryProgramMessageHasItsOutcome) {
    const auto messages = programMessages();
    ASSERT_GE(messages.size(), 10u);
    for (const std::string& m : messages) {
        Outcome o;
        EXPECT_TRUE(messageOutcome(m, o)) << "no row for \"" << m << "\" in fleet::messageTable()";
    }
    const struct {
        std::string message;
        CancelReason reason;
        Outcome outcome;
    } cases[] = {
        {"Upgrade Failed: Not a ULX Status Page (HTTP/1.1 200 OK <html>printer)", CancelReason::None, Outcome::NotUlx},
        {"Upgrade Failed: No Response From ULX", CancelReason::Operator, Outcome::NoResponse},
        {"Upgrade Failed: User Abort", CancelReason::Operator, Outcome::Cancelled},
        {"Upgrade Failed: User Abort", CancelReason::Current, Outcome::Current},
        {"Upgrade Failed: User Abort", CancelReason::None, Outcome::ProgramFailed},
        {"", CancelReason::Password, Outcome::WrongPassword},
        {"Upgrade Failed: User Abort", CancelReason::NoPassword, Outcome::PasswordNeeded},
        {"Upgrade Failed: Can't bind TFTP listener socket", CancelReason::None, Outcome::ProgramFailed},
        {"Upgrade Failed: Password challenge unusable", CancelReason::None, Outcome::UpgradeFailed},
        {"Something else", CancelReason::None, Outcome::ProgramFailed},
    };
    for (const auto& c : cases) EXPECT_EQ(outcomeOfMessage(c.message, c.reason, false), c.outcome) << c.message;
    // Every outcome's name reads back as that outcome (the retry reads them).
    for (int i = 0; i <= static_cast<int>(Outcome::NotStarted); ++i) {
        Outcome o;
        EXPECT_TRUE(outcomeFromText(outcomeText(static_cast<Outcome>(i)), o) && o == static_cast<Outcome>(i)) << i;
    }
}

TEST(FleetLogic, CsvFieldsNeverBecomeFormulas) {
    const std::pair<std::string, std::string> cases[] = {
        {"3.1.7(GWe)", "3.1.7(GWe)"},
        {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
        {"+1", "'+1"},
        {"-2+3", "'-2+3"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"\rx", "\"'\rx\""},
        {"a,b", "\"a,b\""},
        {"a=b", "a=b"},
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(csvField(in), out) << in;
}

TEST(FleetLogic, CredentialsTheDeviceCanReceive) {
    const std::string e = "\xc3\xa9";  // é, one character of Windows-1252
    std::string longest;
    for (int i = 0; i < 126; ++i) longest += e;
    const std::pair<std::string, bool> cases[] = {
        {"s3cret, with blanks", true},
        {"", true},
        {longest, true},
        {longest + "x", false},
        {"\xe2\x82\xac", true},  // €
        {"\xc4\x81", false},     // ā: not in Windows-1252, would arrive as '?'
        {"ab\x01", false},
        {"\xc2\x85", false},  // a C1 control character
        {"\xff", false},      // not UTF-8
    };
    for (const auto& [text, ok] : cases) EXPECT_EQ(credentialFault(text).empty(), ok) << text;

    std::string password, error;
    EXPECT_TRUE(readSharedPassword("pass word\r\nignored\n", password, error));
    EXPECT_EQ(password, "pass word");
    EXPECT_FALSE(readSharedPassword(longest + "x\n", password, error));
    EXPECT_NE(error.find("126"), std::string::npos) << error;
    std::vector<DeviceEntry> entries;
    EXPECT_FALSE(parseDeviceList("10.0.0.1,admin,\xc4\x81\n", "l", entries, error));
    EXPECT_EQ(error.rfind("l:1: the password", 0), 0u) << error;

    for (unsigned mode : {0600u, 0400u, 0700u}) EXPECT_EQ(passwordFileModeFault(0100000 | mode), "") << mode;
    for (unsigned mode : {0640u, 0604u, 0622u}) {
        const std::string fault = passwordFileModeFault(0100000 | mode);
        EXPECT_NE(fault.find("0600"), std::string::npos) << mode << ": " << fault;
    }
}

// A report reads back whatever the device's texts held (rows without address or known outcome:
// fuzz_fleet_files).
TEST(FleetLogic, ReportsReadBack) {
    std::vector<Record> records(3);
    const Outcome outcomes[] = {Outcome::Upgraded, Outcome::NotUlx, Outcome::NotStarted};
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].entry.address = "10.0.0." + std::to_string(i + 1);
        records[i].outcome = outcomes[i];
    }
    records[1].message = "Upgrade Failed: Not a ULX Status Page (\"a\",\r\nb)";
    records[1].device.product = "=HYPERLINK(\"x\")";
    for (const std::string& text : {reportCsv(records), reportJson(records)}) {
        std::vector<ReportRow> rows;
        std::string error;
        ASSERT_TRUE(parseReport(text, rows, error)) << error << "\n" << text;
        ASSERT_EQ(rows.size(), 3u);
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].address, records[i].entry.address);
            EXPECT_EQ(rows[i].outcome, outcomeText(outcomes[i]));
        }
    }
    EXPECT_NE(reportJson(records).find(R"x("product": "=HYPERLINK(\"x\")")x"), std::string::npos);
    for (const char* bad : {"", "[{\"address\": \"10.0.0.1\", \"outcome\": \"upgraded\"}",
                            "[{\"address\": \"10.0.0.1\" \"outcome\": \"upgraded\"}]", "address\n\"10.0.0.1\n"}) {
        std::vector<ReportRow> rows;
        std::string error;
        EXPECT_FALSE(parseReport(bad, rows, error)) << bad;
    }
}

TEST(FleetLogic, RolloutGate) {
    auto fleetOf = [](const std::string& states) {  // per device: q queued, r running, u upgraded, f failed
        std::vector<Record> records(states.size());
        for (size_t i = 0; i < states.size(); ++i) {
            Record& r = records[i];
            r.stage = states[i] == 'q' ? Stage::Queued : states[i] == 'r' ? Stage::Running : Stage::Done;
            r.outcome = states[i] == 'u'   ? Outcome::Upgraded
                        : states[i] == 'f' ? Outcome::NoResponse
                                           : Outcome::Pending;
        }
        return records;
    };
    const struct {
        Rollout rollout;
        const char* states;
        Gate gate;
    } cases[] = {
        {{0, 0}, "ffrq", Gate::Open},
        {{2, 0}, "urqq", Gate::CanaryWait},
        {{2, 0}, "uuqq", Gate::Open},
        {{2, 0}, "frqq", Gate::CanaryFailed},
        {{5, 0}, "uu", Gate::Open},  // a canary larger than the fleet
        {{0, 2}, "ufrq", Gate::Open},
        {{0, 2}, "ufrf", Gate::TooManyFailures},
        {{1, 1}, "ufq", Gate::TooManyFailures},
    };
    for (const auto& c : cases)
        EXPECT_EQ(rolloutGate(c.rollout, fleetOf(c.states)), c.gate) << c.states << " canary " << c.rollout.canary;
}

// The ranges of --scan (none empty, reversed or beyond a /16: fuzz_fleet_files).
TEST(FleetLogic, ScanRanges) {
    const struct {
        const char* text;
        const char* first;  // nullptr: refused
        const char* last;
    } cases[] = {
        {"192.168.1.0/24", "192.168.1.1", "192.168.1.254"},
        {"10.1.0.0/16", "10.1.0.1", "10.1.255.254"},
        {"10.1.2.4/30", "10.1.2.5", "10.1.2.6"},
        {"10.1.2.4/31", "10.1.2.4", "10.1.2.5"},
        {"10.1.2.4/32", "10.1.2.4", "10.1.2.4"},
        {"10.1.2.7", "10.1.2.7", "10.1.2.7"},
        {"192.168.1.20-40", "192.168.1.20", "192.168.1.40"},
        {"192.168.1.20-20", "192.168.1.20", "192.168.1.20"},
        {"192.168.1.0-255", "192.168.1.0", "192.168.1.255"},
        {"10.0.0.0/15", nullptr, nullptr},     // larger than a /16
        {"192.168.1.7/24", nullptr, nullptr},  // host bits set
        {"192.168.1.0/33", nullptr, nullptr},
        {"192.168.1.0/", nullptr, nullptr},
        {"192.168.1.0/024", nullptr, nullptr},
        {"192.168.1.20-256", nullptr, nullptr},
        {"192.168.1.20-", nullptr, nullptr},
        {"192.168.1.20-+30", nullptr, nullptr},
        {"192.168.1.0/24-30", nullptr, nullptr},
        {"192.168.1/24", nullptr, nullptr},
        {"0.0.0.0/16", nullptr, nullptr},
        {"224.0.0.0/24", nullptr, nullptr},
        {"255.255.255.255", nullptr, nullptr},
        {"", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        uint32_t first = 0, last = 0;
        std::string error;
        const bool ok = parseScanRange(c.text, first, last, error);
        EXPECT_EQ(ok, c.first != nullptr) << c.text << ": " << error;
        if (ok && c.first) {
            EXPECT_EQ(ulxtools::formatDottedQuad(first) + " " + ulxtools::formatDottedQuad(last),
                      std::string(c.first) + " " + c.last)
                << c.text;
        }
        if (!ok) { EXPECT_NE(error.find(c.text), std::string::npos) << error; }
    }
    std::string error;
    uint32_t first = 0, last = 0;
    parseScanRange("192.168.1.7/24", first, last, error);
    EXPECT_NE(error.find("192.168.1.0/24"), std::string::npos) << error;

    // Overlaps count once; more than a /16 in all is refused.
    std::vector<uint32_t> addresses;
    ASSERT_TRUE(scanAddresses({"10.0.0.0/24", "10.0.0.100-110", "10.0.1.0/24", "10.0.0.255"}, addresses, error));
    EXPECT_EQ(addresses.size(), 254u + 254u + 1u);
    EXPECT_TRUE(std::is_sorted(addresses.begin(), addresses.end()));
    EXPECT_TRUE(std::adjacent_find(addresses.begin(), addresses.end()) == addresses.end());
    EXPECT_TRUE(scanAddresses({"10.0.0.0/16", "10.0.0.0/16"}, addresses, error)) << error;
    EXPECT_FALSE(scanAddresses({"10.0.0.0/16", "10.1.0.0/16"}, addresses, error));
    EXPECT_NE(error.find("more than a /16"), std::string::npos) << error;
}

// The sweep tells answered, refused and silent hosts apart; silence costs the timeout, with a
// bound in flight. A full accept queue drops SYNs as a silent LAN address does.
TEST(FleetLogic, SweepAnsweredRefusedSilent) {
    const uint16_t port = 8081;
    auto listener = [&](int last) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(0x7f002e00u | static_cast<uint32_t>(last));
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << last;
        EXPECT_EQ(listen(fd, 0), 0);
        return std::pair{fd, a};
    };
    std::vector<int> fds;
    for (int last : {1, 2}) fds.push_back(listener(last).first);  // answer
    for (int last : {3, 4, 5, 6}) {                               // silent: the one place in the queue taken
        auto [fd, a] = listener(last);
        int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        fds.insert(fds.end(), {fd, filler});
    }
    std::vector<uint32_t> addresses;  // .7 and .8: nothing listens
    for (uint32_t last = 8; last >= 1; --last) addresses.push_back(0x7f002e00u | last);
    SweepLimits limits;
    limits.timeoutMs = 400;
    limits.inFlight = 3;
    SweepResult r;
    std::string error;
    ASSERT_TRUE(sweepPort(addresses, port, limits, r, error)) << error;
    EXPECT_EQ(r.answered, (std::vector<uint32_t>{0x7f002e01u, 0x7f002e02u}));
    EXPECT_EQ(r.refused, 2);
    EXPECT_EQ(r.silent, 4);
    EXPECT_EQ(r.unreachable, 0);
    // Four silent addresses, three at a time: two rounds of the timeout.
    EXPECT_GE(r.elapsedMs, 2 * 400 - 20);
    EXPECT_LT(r.elapsedMs, 5000);
    for (int fd : fds) close(fd);
}

// The list a scan writes reads back as the identified devices and users, never a password.
TEST(FleetLogic, ScanListAndSummary) {
    const struct {
        const char* address;
        const char* user;
        Outcome outcome;
        bool scanned;
    } hosts[] = {
        {"10.0.0.1", "admin", Outcome::Identified, true},  {"10.0.0.2", "ops", Outcome::Identified, true},
        {"10.0.0.3", "admin", Outcome::NotUlx, true},      {"10.0.0.4", "admin", Outcome::PasswordNeeded, true},
        {"10.0.0.5", "admin", Outcome::Identified, false},  // listed, outside the scan
    };
    std::vector<Record> records;
    for (const auto& h : hosts) {
        Record r;
        r.entry.address = h.address;
        r.entry.user = h.user;
        r.entry.password = "s3cret";
        r.entry.hasPassword = true;
        r.entry.scanned = h.scanned;
        r.outcome = h.outcome;
        records.push_back(r);
    }
    const std::string text = scanListText(records, "found");
    EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
    EXPECT_NE(text.find("# 10.0.0.4,admin: password needed\n"), std::string::npos) << text;
    std::vector<DeviceEntry> back;
    std::string error;
    ASSERT_TRUE(parseDeviceList(text, "found.txt", back, error)) << error;
    ASSERT_EQ(back.size(), 2u) << text;
    EXPECT_EQ(back[0].address + "," + back[0].user, "10.0.0.1,admin");
    EXPECT_EQ(back[1].address + "," + back[1].user, "10.0.0.2,ops");
    EXPECT_FALSE(back[0].hasPassword || back[1].hasPassword);

    EXPECT_EQ(scanSummary(records), "4 hosts answered on port 80, 2 were ULX devices, 1 not a ULX, 1 password needed");
}

// A report that cannot go where asked goes elsewhere, and says where.
TEST(FleetLogic, ReportIsNeverLost) {
    const std::string dir = testing::TempDir() + "/ulx-fleet-report-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    std::string written, error;
    EXPECT_FALSE(reportWritable(dir + "/missing/r.csv", error));
    EXPECT_FALSE(reportWritable(dir, error));
    EXPECT_TRUE(reportWritable(dir + "/r.json", error)) << error;
    EXPECT_FALSE(std::filesystem::exists(dir + "/r.json"));  // the check leaves nothing behind

    EXPECT_TRUE(writeReport(dir + "/r.csv", "x\n", written, error));
    EXPECT_EQ(written, dir + "/r.csv");
    const std::string elsewhere = dir + "/missing/r.csv";
    ASSERT_TRUE(writeReport(elsewhere, "records\n", written, error)) << error;
    EXPECT_NE(written, elsewhere);
    EXPECT_EQ(written.substr(written.size() - 4), ".csv");
    EXPECT_EQ(ulxtest::readFile(written), "records\n");
    std::filesystem::remove(written);
    std::filesystem::remove_all(dir);
}
