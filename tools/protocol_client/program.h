// The client of the automation protocol of ulx-upgrade-script: starts a
// program that speaks it and drives it, for ulx-fleet, ulx-demo and the
// tests.
//
// The program writes one event per line on stdout ("open 3 139 \"Setup\"",
// "text 3 1021 \"...\"", "exit 0", ...) and reads one command per line on
// stdin ("press 3 1", "key 3 Return", ...).  ScriptProcess starts it with
// pipes on both, collects its output on a background thread and lets its
// driver consume the events in order with bounded waits, so a driver reads
// as a linear script:
//
//   ulxproto::ScriptProcess p;
//   ASSERT_TRUE(p.start(path));
//   int w = p.waitOpen("139");
//   ASSERT_GE(w, 0) << p.transcript();
//   ASSERT_TRUE(p.waitEvent("shown", w)) << p.transcript();
//   p.press(w, 1);
//   EXPECT_EQ(p.waitExit(), 0) << p.transcript();
//
// Nothing here throws; every wait ends at its timeout at the latest.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "shared/text.h"

namespace ulxproto {

// One line of program output, split into its parts.
struct Event {
    std::string kind;        // first word: "open", "text", "close", ...; empty if the line did not parse
    int window = -1;         // W; -1 for "exit" and for lines that did not parse
    std::string tmpl;        // open: the template number as text, or "msgbox"
    int control = -1;        // C of text/add/sel/range/pos/focus; -1 otherwise
    std::string text;        // the decoded string argument: caption, title, text, item, reason
    std::vector<long> nums;  // the remaining integers: sel/pos N, range LO HI,
                             // place X Y WIDTH HEIGHT, enable 0|1, exit N
    std::string result;      // close: the modal result as written, or "-"
    std::string raw;         // the line exactly as received (without its newline)
};

// Parses one event line.  Returns false (and leaves only out->raw set) if the
// line is not a well-formed event: unknown kind, wrong number or type of
// arguments, bad string escape, or trailing text.
bool parseEvent(const std::string& line, Event* out);

// Quotes text as a JSON string for a command: escapes \" \\ \r \n and writes
// every other byte below 0x20 as \u00XX.  Other bytes pass through unchanged.
inline std::string jsonQuote(const std::string& text) { return ulxtools::jsonString(text); }

// Decodes a complete JSON string literal (quotes included).  Accepts the
// escapes \" \\ \/ \b \f \n \r \t and \uXXXX (surrogate pairs become one
// UTF-8 sequence).  Returns false if the input is not exactly one string.
bool jsonUnquote(std::string_view quoted, std::string* out);

// A message box seen by ScriptProcess::waitMsgBox.
struct MsgBox {
    int window = -1;
    std::string caption;  // from its "open W msgbox" line
    std::string text;     // from the "text W 0" line that follows it
};

// A child process driven through the line protocol.
//
// All methods are meant to be called from one driving thread.  The only data
// shared with the reader thread (events, transcript, end of output) is kept
// under a mutex.
class ScriptProcess {
public:
    static constexpr int kDefaultTimeoutMs = 10000;

    ScriptProcess();
    ~ScriptProcess();  // kills and reaps the child if still running, joins the reader
    ScriptProcess(const ScriptProcess&) = delete;
    ScriptProcess& operator=(const ScriptProcess&) = delete;

    // Optional, before start(): send the child's stderr to this file
    // (created or truncated) instead of inheriting the driver's stderr.
    void setStderrPath(const std::string& path) { stderrPath_ = path; }
    // Optional, before start(): keep neither the events a wait has passed nor
    // a transcript, for a driver of long runs or of many programs at once.
    // events() then holds only the events at or after the cursor.
    void setKeepHistory(bool keep) { keepHistory_ = keep; }

    // Starts `path` (searched in PATH if it has no '/') with argv
    // {path, args...}.  The environment is the driver's own plus extraEnv
    // ("NAME=value", replacing a variable of the same name).  The child runs in
    // its own process group so that killing it also kills anything it started.
    // Returns false if a process was already started or it could not be
    // started; lastError() then says why.
    bool start(const std::string& path, const std::vector<std::string>& args = {},
               const std::vector<std::string>& extraEnv = {});
    const std::string& lastError() const { return lastError_; }
    pid_t pid() const { return pid_; }

    // Writes one line (a '\n' is added) to the child's stdin.  Returns false if
    // stdin is closed, the child has closed it, or the pipe stays full for
    // timeoutMs.  A dying child never raises SIGPIPE in the driver.
    bool send(const std::string& line, int timeoutMs = kDefaultTimeoutMs);
    // Closes the child's stdin; the program then treats every window as closed
    // by the user.
    void closeInput();

    // Command helpers, each one send().
    bool press(int window, int control);
    bool type(int window, int control, const std::string& text);
    bool select(int window, int control, int item);
    bool key(int window, const std::string& name);  // "Return" or "Escape"
    bool closeWindow(int window);

    // Waits until an event at or after the cursor matches `pred`, moves the
    // cursor just past it and returns it.  Events skipped on the way stay in
    // events() but are not looked at again by later waits.  Returns nullopt,
    // with the cursor left where it was, if no match arrives within timeoutMs
    // or the output ends without one.
    std::optional<Event> waitFor(const std::function<bool(const Event&)>& pred, int timeoutMs = kDefaultTimeoutMs);

    // Ends the wait in progress (or the next one) at once, with nullopt, as
    // if its time were up: another thread's way to get the driver's
    // attention. Safe to call from any thread.
    void interrupt();

    // The next event of this kind, for this window (-1: any window).
    std::optional<Event> waitEvent(const std::string& kind, int window = -1, int timeoutMs = kDefaultTimeoutMs);
    // The window number of the next "open" with this template ("139",
    // "msgbox"; empty: any), or -1.
    int waitOpen(const std::string& tmpl = "", int timeoutMs = kDefaultTimeoutMs);
    // The next "title W ..." event.
    std::optional<Event> waitTitle(int window, int timeoutMs = kDefaultTimeoutMs);
    // The next "text W C ..." event.
    std::optional<Event> waitText(int window, int control, int timeoutMs = kDefaultTimeoutMs);
    // The next message box: its "open W msgbox" and the "text W 0" after it,
    // both within one timeout.
    std::optional<MsgBox> waitMsgBox(int timeoutMs = kDefaultTimeoutMs);
    // The code of the next "exit N" event, or -1.
    int waitExit(int timeoutMs = kDefaultTimeoutMs);

    // Index of the next event a wait looks at; setCursor() moves it (clamped to
    // the number of events), e.g. back to a value saved before, to look again.
    std::size_t cursor() const;
    void setCursor(std::size_t index);

    // Copies of everything received so far.  Lines that did not parse are in
    // events() too, with an empty kind.  The transcript holds every output line
    // and, prefixed with "> ", every line sent, in the order they happened, for
    // printing when a run goes wrong.
    std::vector<Event> events() const;
    std::string transcript() const;
    // True once the child's stdout has reached end of file.
    bool outputEnded() const;

    // Waits for the process to end and returns its exit code (128 + signal
    // number if a signal ended it).  If it has not ended within timeoutMs it is
    // killed with SIGKILL, reaped, and -1 is returned.  Calling it again
    // returns the same value; -1 if nothing was started.
    int wait(int timeoutMs = kDefaultTimeoutMs);

private:
    using Clock = std::chrono::steady_clock;
    std::optional<Event> waitUntil(const std::function<bool(const Event&)>& pred, Clock::time_point deadline);
    void readLoop();
    void addLine(std::string line);  // called with mutex_ held
    void killAndReap();

    std::string stderrPath_;
    bool keepHistory_ = true;
    std::string lastError_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    int inFd_ = -1;      // write end of the child's stdin
    int outFd_ = -1;     // read end of the child's stdout (used by the reader)
    int wakeRead_ = -1;  // self-pipe that tells the reader to stop
    int wakeWrite_ = -1;
    std::thread reader_;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::vector<Event> events_;
    std::string transcript_;
    std::size_t cursor_ = 0;
    bool eof_ = false;
    bool interrupted_ = false;  // interrupt() was called and no wait has ended for it yet
};

}  // namespace ulxproto
