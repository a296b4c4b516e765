// Dialogs of the program inside the test process, through the automation
// backend: event lines collected here, commands handed to it directly.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/headless/headless.h"
#include "support/clock_phases.h"

namespace ulxtest {

class InProcessUi {
public:
    // Starts the backend once per process; later instances skip the lines seen so far.
    InProcessUi() {
        [[maybe_unused]] static bool started = (headlessStart(-1, collect, nullptr), true);
        std::lock_guard<std::mutex> hold(s().lock);
        cursor_ = s().lines.size();
    }
    // The next line (after those consumed) that begins with prefix, waiting
    // at most 5 s; "" on timeout.
    std::string waitLine(const std::string& prefix) {
        return waitMatch([&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; });
    }
    // The window of the next "open W tmpl" line, or -1.
    int waitOpen(const std::string& tmpl) {
        int w = -1;
        char t[32];
        auto open = [&](const std::string& l) { return sscanf(l.c_str(), "open %d %31s", &w, t) == 2 && tmpl == t; };
        return waitMatch(open).empty() ? -1 : w;
    }
    void command(const std::string& line) { headlessCommand(line.c_str()); }

private:
    static void collect(const char* line, void*) {
        clockPhasesLine(line);
        std::lock_guard<std::mutex> hold(s().lock);
        s().lines.push_back(line);
        s().changed.notify_all();
    }
    struct Shared {
        std::mutex lock;
        std::condition_variable changed;
        std::vector<std::string> lines;
    };
    static Shared& s() {
        static Shared shared;
        return shared;
    }
    std::string waitMatch(const std::function<bool(const std::string&)>& match) {
        std::unique_lock<std::mutex> hold(s().lock);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            while (cursor_ < s().lines.size())
                if (match(s().lines[cursor_++])) return s().lines[cursor_ - 1];
            if (s().changed.wait_until(hold, deadline) == std::cv_status::timeout) return "";
        }
    }
    size_t cursor_ = 0;
};

}  // namespace ulxtest
