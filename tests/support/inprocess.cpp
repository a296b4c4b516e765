#include "support/inprocess.h"

#include <chrono>
#include <cstdio>

#include "platform/headless/headless.h"

namespace ulxtest {
namespace {
std::mutex g_lock;
std::condition_variable g_changed;
std::vector<std::string> g_lines;

void collect(const char* line, void*) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.push_back(line);
    g_changed.notify_all();
}
}  // namespace

InProcessUi::InProcessUi() {
    static bool started = [] {
        headlessStart(-1, collect, nullptr);
        return true;
    }();
    (void)started;
    std::lock_guard<std::mutex> hold(g_lock);
    cursor_ = g_lines.size();
}

std::string InProcessUi::waitLine(const std::string& prefix) {
    std::unique_lock<std::mutex> hold(g_lock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        for (; cursor_ < g_lines.size(); ++cursor_) {
            if (g_lines[cursor_].compare(0, prefix.size(), prefix) == 0) return g_lines[cursor_++];
        }
        if (g_changed.wait_until(hold, deadline) == std::cv_status::timeout) return "";
    }
}

int InProcessUi::waitOpen(const std::string& tmpl) {
    std::unique_lock<std::mutex> hold(g_lock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        for (; cursor_ < g_lines.size(); ++cursor_) {
            int w = -1;
            char t[32];
            if (sscanf(g_lines[cursor_].c_str(), "open %d %31s", &w, t) == 2 && tmpl == t) {
                ++cursor_;
                return w;
            }
        }
        if (g_changed.wait_until(hold, deadline) == std::cv_status::timeout) return -1;
    }
}

void InProcessUi::command(const std::string& line) { headlessCommand(line.c_str()); }

std::string InProcessUi::transcript() {
    std::lock_guard<std::mutex> hold(g_lock);
    std::string all;
    for (auto& l : g_lines) all += l + "\n";
    return all;
}

}  // namespace ulxtest
