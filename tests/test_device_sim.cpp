// ulx-device-sim against independent clients: curl for its web server and
// Digest authentication, tftpd-hpa's in.tftpd as the TFTP server of an
// upgrade. Each test has loopback addresses of its own (127.0.7.x).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Polls a file until it holds text, for at most limit.
bool waitForText(const std::string& path, const std::string& text, std::chrono::milliseconds limit) {
    for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(20ms))
        if (readFile(path).find(text) != std::string::npos) return true;
    return false;
}

// A child process with its output in a file; ended when it goes.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::string& output) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { stop(); }
    bool started() const { return pid_ > 0; }
    bool running() { return pid_ > 0 && waitExit(0ms) == -1; }
    // SIGTERM, then SIGKILL after 5 s; the exit code, 128 if killed.
    int stop() {
        if (!running()) return 0;
        kill(pid_, SIGTERM);
        int code = waitExit(5000ms);
        if (code == -1) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0), pid_ = -1;
        return code;
    }
    // The exit code, or -1 while it still runs after limit.
    int waitExit(std::chrono::milliseconds limit) {
        for (auto end = Clock::now() + limit;; std::this_thread::sleep_for(20ms)) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            }
            if (Clock::now() >= end) return -1;
        }
    }

private:
    pid_t pid_ = -1;
};

// curl's output, then a line with the HTTP status code.
std::string curl(const std::string& args) {
    std::string out;
    FILE* pipe = popen(("curl -s -S --max-time 10 -w '\\n%{http_code}' " + args).c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pipe != nullptr) pclose(pipe);
    return out;
}
std::string statusOf(const std::string& curlOutput) { return curlOutput.substr(curlOutput.rfind('\n') + 1); }

std::string sha256Hex(const std::string& data) {
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    char hex[65];
    for (unsigned i = 0; i < 32; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

// A value of the first log line of an event: "key":"value".
std::string logValue(const std::string& log, const std::string& event, const std::string& key) {
    size_t line = log.find("{\"event\":\"" + event + "\"");
    size_t at = line == std::string::npos ? line : log.find("\"" + key + "\":\"", line);
    if (at == std::string::npos || at > log.find('\n', line)) return "";
    at += key.size() + 4;
    return log.substr(at, log.find('"', at) - at);
}

class DeviceSim : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ulx-device-sim-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        chmod(dir.c_str(), 0755);  // in.tftpd reads as an unprivileged user
        log = dir + "/sim.log";
    }
    void TearDown() override {
        // The sim ends cleanly on SIGTERM (and a sanitizer's report would make it fail).
        if (sim != nullptr && sim->running()) {
            EXPECT_EQ(sim->stop(), 0) << readFile(dir + "/sim.out");
        }
        children.clear();
        std::filesystem::remove_all(dir);
    }
    Child& start(std::vector<std::string> args, const std::string& output) {
        children.push_back(std::make_unique<Child>(args, output));
        EXPECT_TRUE(children.back()->started()) << args[0];
        return *children.back();
    }
    Child& startSim(const std::string& address, std::vector<std::string> args) {
        args.insert(args.begin(), {ULX_DEVICE_SIM, "--address", address, "--log", log, "--exit-after", "60000"});
        sim = &start(args, dir + "/sim.out");
        EXPECT_TRUE(waitForText(log, "\"event\":\"ready\"", 10s)) << readFile(dir + "/sim.out");
        return *sim;
    }
    // The road of an upgrade: the order, the read request to in.tftpd, the
    // restart with a new nonce, and the image's version on the status page.
    void upgrade(const std::string& address, const std::string& server, size_t size,
                 std::vector<std::string> faults) {
        std::string image(size, '\0');
        for (size_t i = 0; i < size; ++i) image[i] = static_cast<char>((i * 7919 + 13) >> 3);
        std::string version = "9.8." + std::to_string(size) + "(Sim)";
        image.replace(92, version.size() + 1, version + '\0');
        std::ofstream(dir + "/ulxabc.bi1", std::ios::binary) << image;
        chmod((dir + "/ulxabc.bi1").c_str(), 0644);
        start({"/usr/sbin/in.tftpd", "-L", "-s", dir, "-a", server + ":6969"}, dir + "/tftpd.out");

        faults.insert(faults.end(), {"--password", "secret", "--idle-delay", "50", "--restart-ms", "300",
                                     "--image-out", dir + "/received.bin", "--exit-after-upgrade"});
        startSim(address, faults);
        std::string order = "http://" + address + "/admin/upgrade?tftp://" + server + ":6969/ulxabc.bi1";
        EXPECT_EQ(statusOf(curl("--digest -u admin:secret '" + order + "'")), "200");
        ASSERT_TRUE(waitForText(log, "\"event\":\"back\"", 30s)) << readFile(log) << readFile(dir + "/tftpd.out");
        std::string page = curl("--digest -u admin:secret http://" + address + "/admin/advanced");
        EXPECT_NE(page.find("Software Version:</td><td>" + version + "<"), std::string::npos) << page;
        EXPECT_EQ(sim->waitExit(10s), 0);

        std::string text = readFile(log);
        EXPECT_EQ(logValue(text, "tftp_rrq", "file"), "/ulxabc.bi1");
        EXPECT_NE(text.find("\"complete\":true"), std::string::npos) << text;
        EXPECT_EQ(logValue(text, "tftp_done", "sha256"), sha256Hex(image));
        EXPECT_EQ(readFile(dir + "/received.bin"), image);
        EXPECT_NE(logValue(text, "back", "nonce"), logValue(text, "ready", "nonce"));
        EXPECT_NE(logValue(text, "tftp_oack", "hex").find("74 73 69 7a 65 00"), std::string::npos) << "tsize";
    }
    std::string dir, log;
    std::vector<std::unique_ptr<Child>> children;
    Child* sim = nullptr;
};

TEST_F(DeviceSim, StatusPageCarriesTheFiveLabels) {
    startSim("127.0.7.1", {"--serial", "SIM123"});
    std::string page = curl("http://127.0.7.1/admin/advanced");
    EXPECT_EQ(statusOf(page), "200");
    for (const char* row : {"Product Name:</td><td>ULX-7400<", "MAC Address:</td><td>",
                            "Software Version:</td><td>3.0.2(GWe)<", "Hardware Version:</td><td>",
                            "Serial Number:</td><td>SIM123<"})
        EXPECT_NE(page.find(row), std::string::npos) << row;
    EXPECT_EQ(statusOf(curl("http://127.0.7.1/nothing")), "404");
}

struct DigestCase {
    const char* address;
    const char* qop;
    const char* algorithm;
};

void PrintTo(const DigestCase& c, std::ostream* os) { *os << c.qop << " " << c.algorithm; }

class DeviceSimDigest : public DeviceSim, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(DeviceSimDigest, CurlGetsInWithTheRightPasswordOnly) {
    const DigestCase& c = GetParam();
    startSim(c.address, {"--password", "secret", "--qop", c.qop, "--algorithm", c.algorithm, "--opaque", "op4"});
    std::string url = std::string(" http://") + c.address + "/admin/advanced";
    std::string page = curl("--digest -u admin:secret" + url);
    EXPECT_EQ(statusOf(page), "200");
    EXPECT_NE(page.find("Serial Number:"), std::string::npos);
    EXPECT_EQ(statusOf(curl("--digest -u admin:secret" + url)), "200") << "a second client, same nonce";
    EXPECT_EQ(statusOf(curl("--digest -u admin:wrong" + url)), "401");
    EXPECT_EQ(statusOf(curl(url)), "401");
    std::string text = readFile(log);
    EXPECT_NE(text.find("\"ok\":true"), std::string::npos) << text;
    EXPECT_NE(text.find("\"reason\":\"response differs (wrong password?)\""), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Challenges, DeviceSimDigest,
                         ::testing::Values(DigestCase{"127.0.7.2", "auth", "quoted"},
                                           DigestCase{"127.0.7.3", "none", "absent"},
                                           DigestCase{"127.0.7.4", "list", "unquoted"},
                                           DigestCase{"127.0.7.5", "auth", "md5-sess"}),
                         [](const auto& info) {
                             std::string name = std::string(info.param.qop) + "_" + info.param.algorithm;
                             for (auto& c : name) c = c == '-' ? '_' : c;
                             return name;
                         });

TEST_F(DeviceSim, UpgradeThroughTftpdHpa) { upgrade("127.0.7.10", "127.0.7.11", 3000, {}); }

// A size of whole blocks ends with an empty DATA block; in.tftpd ignores the
// duplicate and foreign-port ACKs; the repeated read request makes it answer
// from a new port, which the sim turns away (ERROR 5).
TEST_F(DeviceSim, UpgradeWithAckFaults) {
    upgrade("127.0.7.12", "127.0.7.13", 2048, {"--foreign-port-ack", "--duplicate-acks", "--repeat-rrq-at", "2"});
    std::string text = readFile(log);
    EXPECT_NE(text.find("\"blocks\":5,\"bytes\":2048"), std::string::npos) << text;
    EXPECT_NE(text.find("\"rrq_repeated\":true"), std::string::npos);
    EXPECT_NE(text.find("\"event\":\"tftp_foreign\""), std::string::npos);
}

}  // namespace
