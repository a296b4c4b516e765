// The automation backend of ulx-upgrade-script: an observer of the window
// model that writes every change as one event line, and a reader that
// turns command lines into user input for the model. The model carries
// each command out on the thread that owns the window, when that thread
// takes its messages, as a Windows message would be.
#include "platform/headless/headless.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/headless/protocol.h"
#include "platform/window_model/window_model.h"

namespace {

// The virtual screen and the font's base units (dialog units to pixels:
// x * 6 / 4, y * 13 / 8).
constexpr int SCREEN_WIDTH = 1024;
constexpr int SCREEN_HEIGHT = 768;
constexpr int BASE_UNIT_X = 6;
constexpr int BASE_UNIT_Y = 13;

// Device and dialog texts (Windows-1252) as JSON strings in UTF-8.
std::string jsonString(const char* s) { return eventString(s); }

__attribute__((format(printf, 1, 2))) std::string format(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    return std::string(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

// Event lines on their way to standard output. The thread that changes a
// window never waits for the reader of the events. A lone line (nothing
// queued, the writer idle, the last write GATHER ago or more) is written
// by that thread itself when the output has room for it at once: an idle
// bar's move costs one write, no other thread's wake. Every other line is
// queued, and a writer thread of its own writes the queue out. A queued line
// that is not a title or a progress position is written at once, with what
// is queued before it; titles and positions alone wait up to GATHER for
// company while they come in a burst (the last write less than GATHER
// ago). GATHER is a screen refresh (16 ms), the most often a person can see
// a title or a bar change, as the desktop program draws them: a transfer's
// per-block updates cost a write per refresh, not two a block, for this
// program and for the reader of its events. Meanwhile, and while the reader
// lags, a queued title or position is dropped when a newer one of the same
// window (and control) follows it with only titles and positions in
// between: every other line, and the title and position a window had at
// each of them, is written, in order.
class LineQueue {
public:
    enum Kind { OTHER, TITLE, POSITION };

    void start() {
        std::thread([this] { writeLoop(); }).detach();
    }

    void push(std::string line, Kind kind = OTHER, int window = 0, int control = 0) {
        std::unique_lock<std::mutex> hold(lock_);
        if (broken_) return;
        if (pending_.empty() && state_ == IDLE && Clock::now() - lastWrite_ >= GATHER && roomFor(line.size() + 1)) {
            line += '\n';
            if (!writeAll(line)) broken_ = true;
            lastWrite_ = Clock::now();
            return;
        }
        if (kind != OTHER) {
            for (auto it = pending_.rbegin(); it != pending_.rend() && it->kind != OTHER; ++it) {
                if (it->kind == kind && it->window == window && it->control == control) {
                    pending_.erase(std::next(it).base());
                    break;
                }
            }
        } else {
            urgent_ = true;
        }
        pending_.push_back(Pending{std::move(line), kind, window, control});
        // Wake the writer only when it waits for this: no system call per
        // block while it gathers or writes; and after the lock is let go, so
        // that it does not wake only to wait for the lock.
        bool wake = state_ == IDLE || (state_ == GATHERING && kind == OTHER);
        hold.unlock();
        if (wake) changed_.notify_all();
    }

    // Waits until every queued line has been written (or the output has
    // gone away).
    void drain() {
        std::unique_lock<std::mutex> hold(lock_);
        urgent_ = true;
        changed_.notify_all();
        changed_.wait(hold, [this] { return (pending_.empty() && state_ == IDLE) || broken_; });
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds GATHER{16};
    enum State { IDLE, GATHERING, WRITING };

    struct Pending {
        std::string line;
        Kind kind;
        int window;
        int control;
    };

    void writeLoop() {
        std::string batch;
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(lock_);
                state_ = IDLE;
                changed_.notify_all();
                changed_.wait(hold, [this] { return !pending_.empty(); });
                if (!urgent_ && Clock::now() - lastWrite_ < GATHER) {
                    state_ = GATHERING;
                    changed_.wait_for(hold, GATHER, [this] { return urgent_; });
                }
                batch.clear();
                for (const Pending& p : pending_) {
                    batch += p.line;
                    batch += '\n';
                }
                pending_.clear();
                urgent_ = false;
                state_ = WRITING;
            }
            bool written = writeAll(batch);
            std::lock_guard<std::mutex> hold(lock_);
            lastWrite_ = Clock::now();
            if (!written) {
                broken_ = true;
                changed_.notify_all();
                return;
            }
        }
    }

    // Whether standard output takes size bytes now without waiting for its
    // reader: a pipe with room takes up to PIPE_BUF bytes whole.
    static bool roomFor(size_t size) {
        if (size > PIPE_BUF) return false;
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP));
    }

    static bool writeAll(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = write(STDOUT_FILENO, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    std::mutex lock_;  // guards everything below
    std::condition_variable changed_;
    std::deque<Pending> pending_;
    bool urgent_ = false;  // pending_ holds a line that is no title or position
    State state_ = WRITING;
    bool broken_ = false;  // standard output failed: nothing more is written
    Clock::time_point lastWrite_{};
};

// Writes each event as a line of the protocol (see the README). The model
// reports one event at a time, so lines never interleave.
class EventWriter : public WindowObserver {
public:
    HeadlessSink sink = nullptr;
    void* context = nullptr;
    LineQueue queue;  // standard output's lines, when there is no sink

    void windowSize(const DialogTemplate* tmpl, int* width, int* height) override {
        *width = tmpl->cx * BASE_UNIT_X / 4;
        *height = tmpl->cy * BASE_UNIT_Y / 8;
    }
    void screenSize(int* width, int* height) override {
        *width = SCREEN_WIDTH;
        *height = SCREEN_HEIGHT;
    }
    void opened(int w, const DialogTemplate* tmpl, const char* caption) override {
        if (tmpl) emit(format("open %d %d ", w, tmpl->id) + jsonString(caption));
        else emit(format("open %d msgbox ", w) + jsonString(caption));
    }
    void titleSet(int w, const char* text) override {
        emit(format("title %d ", w) + jsonString(text), LineQueue::TITLE, w);
    }
    void textSet(int w, int id, const char* text) override { emit(format("text %d %d ", w, id) + jsonString(text)); }
    void itemAdded(int w, int id, const char* text) override { emit(format("add %d %d ", w, id) + jsonString(text)); }
    void selectionSet(int w, int id, int index) override { emit(format("sel %d %d %d", w, id, index)); }
    void rangeSet(int w, int id, int low, int high) override { emit(format("range %d %d %d %d", w, id, low, high)); }
    void positionSet(int w, int id, int pos) override {
        emit(format("pos %d %d %d", w, id, pos), LineQueue::POSITION, w, id);
    }
    void focusSet(int w, int id) override { emit(format("focus %d %d", w, id)); }
    void placed(int w, const PlatRect& r) override {
        emit(format("place %d %d %d %d %d", w, r.left, r.top, r.right - r.left, r.bottom - r.top));
    }
    void shown(int w) override { emit(format("shown %d", w)); }
    void enabled(int w, bool on) override { emit(format("enable %d %d", w, on ? 1 : 0)); }
    void closed(int w, bool destroyed, int result) override {
        emit(destroyed ? format("close %d -", w) : format("close %d %d", w, result));
    }
    void error(int w, const char* reason) override { emit(format("error %d ", w) + jsonString(reason)); }
    void exiting(int code) override {
        emit(format("exit %d", code));
        if (!sink) queue.drain();  // "exit" is the last line: it is out before the process ends
    }

private:
    void emit(std::string line, LineQueue::Kind kind = LineQueue::OTHER, int w = 0, int id = 0) {
        if (sink) sink(line.c_str(), context);
        else queue.push(std::move(line), kind, w, id);
    }
};

EventWriter g_writer;

// ---------------------------------------------------------------- input

void readInput(int fd) {
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            headlessCommand(line.c_str());
        }
    }
    if (!pending.empty()) headlessCommand(pending.c_str());
    headlessEndOfInput();
}

}  // namespace

void headlessStart(int inputFd, HeadlessSink sink, void* context) {
    g_writer.sink = sink;
    g_writer.context = context;
    if (!sink) g_writer.queue.start();
    windowModelStart(&g_writer);
    if (inputFd >= 0) std::thread(readInput, inputFd).detach();
}

void headlessCommand(const char* line) {
    QueuedMessage m;
    int parsed = parseCommand(line, &m);
    if (parsed < 0) windowModelError(m.window, "bad command");
    else if (parsed > 0) windowModelInput(std::move(m));
}

void headlessEndOfInput() { windowModelEndOfInput(); }
