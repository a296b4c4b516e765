// Runs dialogs of the program inside the test process, through the
// automation backend: event lines are collected here, commands are handed
// to the backend directly, and the dialog runs on a thread of its own as it
// would on the program's user-interface thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace ulxtest {

class InProcessUi {
public:
    // Starts the backend once per process; later calls only skip the lines
    // seen so far.
    InProcessUi();
    // Waits (at most 5 s) for the next line, after the ones consumed, that
    // begins with prefix; returns it, or "" on timeout.
    std::string waitLine(const std::string& prefix);
    // The number of the window of the next "open W tmpl" line, or -1.
    int waitOpen(const std::string& tmpl);
    void command(const std::string& line);
    std::string transcript();

private:
    size_t cursor_ = 0;
};

}  // namespace ulxtest
