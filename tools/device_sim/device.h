// The simulated device: its state (reported version, current nonce, the
// phase of an upgrade), its answers to web requests, and the life it leads
// after an upgrade order: fetch, restart, come back with the new version.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "digest_check.h"
#include "http_server.h"
#include "log.h"
#include "options.h"

namespace sim {

class Device {
public:
    Device(const Options& options, Log& log);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Opens the web server and logs "ready".
    bool start(std::string& error);
    // The device's life, on the caller's thread: waits for upgrade orders and
    // carries them out. Returns once stopped, or when --exit-after-upgrade is
    // satisfied, or on a fatal error (exitCode() then says which).
    void run();
    // Asks run() and every wait to end; any thread.
    void stop();
    bool finished() const { return finished_; }
    int exitCode() const { return exitCode_; }

private:
    enum class Phase { Idle, Ordered, Transferring, Restarting, Gone };
    struct Order {
        uint32_t address = 0;
        uint16_t port = 0;
        std::string file;
    };

    HttpResponse handle(const HttpRequest& request);
    bool authorize(const HttpRequest& request, HttpResponse& refusal);
    HttpResponse challenge(const std::string& reason, bool stale);
    std::string newNonce() const;  // 32 hexadecimal digits, or --long-nonce's count
    HttpResponse statusPage();
    HttpResponse restartAnswer();  // the answer of --restart-answer
    void stealFirst(const Order& order);
    HttpResponse upgradeOrder(const HttpRequest& request);
    bool waitFor(long ms);  // false when stopped meanwhile
    bool reopenWebServer();
    void writeImage(const std::vector<uint8_t>& image);

    const Options& options_;
    Log& log_;
    DigestConfig digest_;
    HttpServer server_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> exitCode_{0};

    std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by mutex_.
    std::string nonce_;
    NonceCounts nonceCounts_;  // accepted with nonce_
    std::string softwareVersion_;
    bool upgraded_ = false;
    bool servedAfterUpgrade_ = false;
    long restartAnswersGiven_ = 0;
    Phase phase_ = Phase::Idle;
    std::optional<Order> order_;
    bool orderAnswered_ = false;
};

// The version text of an image: NUL-terminated at header offset 92, at
// most 35 characters.
std::string imageVersion(const std::vector<uint8_t>& image);

// Parses "tftp://a.b.c.d[:port]/name" (port 69 when absent; the name keeps
// its leading '/').
bool parseUpgradeSource(const std::string& text, uint32_t& address, uint16_t& port, std::string& file);

}  // namespace sim
