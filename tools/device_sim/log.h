// The simulator's log: one JSON object per line, flushed at once, so a test
// can follow what the device saw while it runs.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// One log line under construction: {"event":"...", fields...}.
class Json {
public:
    explicit Json(std::string_view event);
    Json& str(std::string_view key, std::string_view value);
    Json& num(std::string_view key, long long value);
    Json& flag(std::string_view key, bool value);
    Json& strings(std::string_view key, const std::vector<std::string>& values);
    Json& pairs(std::string_view key, const std::vector<std::pair<std::string, std::string>>& values);
    const std::string& body() const { return body_; }

private:
    Json& key(std::string_view name);
    std::string body_;
};

// A JSON string literal. Bytes outside printable ASCII become \u00XX (each
// byte on its own), so the line stays valid whatever the peer sent.
std::string jsonQuote(std::string_view text);

class Log {
public:
    Log();
    // One device's log within a shared one (several devices in one
    // process): each line also names the device.
    Log(Log& shared, std::string device);
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // An empty path or "-" keeps standard output.
    bool open(const std::string& path, std::string& error);
    // Adds "t_ms" (milliseconds since the start) and writes the line.
    void write(const Json& event);

private:
    Log* shared_ = nullptr;
    std::string device_;
    std::mutex mutex_;
    FILE* out_ = stdout;
    bool owned_ = false;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace sim
