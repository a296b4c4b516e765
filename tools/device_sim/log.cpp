#include "log.h"

#include "shared/text.h"

#include <cerrno>
#include <cstring>

namespace sim {

std::string jsonQuote(std::string_view text) { return ulxtools::jsonString(text, ulxtools::HighBytes::Escape); }

Json::Json(std::string_view event) { body_ = "{\"event\":" + jsonQuote(event); }

Json& Json::key(std::string_view name) {
    body_ += ',';
    body_ += jsonQuote(name);
    body_ += ':';
    return *this;
}

Json& Json::str(std::string_view name, std::string_view value) {
    key(name).body_ += jsonQuote(value);
    return *this;
}

Json& Json::num(std::string_view name, long long value) {
    key(name).body_ += std::to_string(value);
    return *this;
}

Json& Json::flag(std::string_view name, bool value) {
    key(name).body_ += value ? "true" : "false";
    return *this;
}

Json& Json::strings(std::string_view name, const std::vector<std::string>& values) {
    key(name).body_ += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) body_ += ',';
        body_ += jsonQuote(values[i]);
    }
    body_ += ']';
    return *this;
}

Json& Json::pairs(std::string_view name, const std::vector<std::pair<std::string, std::string>>& values) {
    key(name).body_ += '{';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) body_ += ',';
        body_ += jsonQuote(values[i].first) + ":" + jsonQuote(values[i].second);
    }
    body_ += '}';
    return *this;
}

Log::Log() : start_(std::chrono::steady_clock::now()) {}

Log::Log(Log& shared, std::string device)
    : shared_(&shared), device_(std::move(device)), start_(std::chrono::steady_clock::now()) {}

Log::~Log() {
    if (owned_) fclose(out_);
}

bool Log::open(const std::string& path, std::string& error) {
    if (path.empty() || path == "-") return true;
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        error = "cannot open log " + path + ": " + strerror(errno);
        return false;
    }
    out_ = file;
    owned_ = true;
    return true;
}

void Log::write(const Json& event) {
    if (shared_ != nullptr) {
        Json tagged = event;
        shared_->write(tagged.str("device", device_));
        return;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
    std::string line = event.body() + ",\"t_ms\":" + std::to_string(ms.count()) + "}\n";
    std::lock_guard<std::mutex> lock(mutex_);
    fputs(line.c_str(), out_);
    fflush(out_);
}

}  // namespace sim
