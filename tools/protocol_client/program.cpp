// Starting and driving a program of the automation protocol (see program.h).
#include "protocol_client/program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

extern char** environ;

namespace ulxproto {

namespace {

// ---------------------------------------------------------------------------
// JSON strings

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the four hex digits of a \u escape at s[pos].
bool readHex4(std::string_view s, std::size_t pos, unsigned* out) {
    if (pos + 4 > s.size()) return false;
    unsigned v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        int d = hexValue(s[pos + i]);
        if (d < 0) return false;
        v = v * 16 + static_cast<unsigned>(d);
    }
    *out = v;
    return true;
}

void appendUtf8(unsigned cp, std::string* out) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes the JSON string that starts with the '"' at s[*pos]; on success
// *pos is just past the closing quote.
bool decodeString(std::string_view s, std::size_t* pos, std::string* out) {
    std::size_t i = *pos;
    if (i >= s.size() || s[i] != '"') return false;
    ++i;
    out->clear();
    while (i < s.size()) {
        char c = s[i++];
        if (c == '"') {
            *pos = i;
            return true;
        }
        if (static_cast<unsigned char>(c) < 0x20) return false;  // raw control character
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (i >= s.size()) return false;
        char e = s[i++];
        switch (e) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                unsigned cp = 0;
                if (!readHex4(s, i, &cp)) return false;
                i += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    // A high surrogate must be followed by \u and a low surrogate.
                    unsigned lo = 0;
                    if (i + 2 > s.size() || s[i] != '\\' || s[i + 1] != 'u' || !readHex4(s, i + 2, &lo) ||
                        lo < 0xDC00 || lo > 0xDFFF)
                        return false;
                    i += 6;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;  // lone low surrogate
                }
                appendUtf8(cp, out);
                break;
            }
            default: return false;
        }
    }
    return false;  // no closing quote
}

// ---------------------------------------------------------------------------
// Event lines

struct Token {
    bool quoted = false;
    std::string value;  // decoded if quoted
};

// Splits a line into words and JSON strings separated by spaces.
bool tokenize(std::string_view line, std::vector<Token>* tokens) {
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i == line.size()) return true;
        Token t;
        if (line[i] == '"') {
            t.quoted = true;
            if (!decodeString(line, &i, &t.value)) return false;
            if (i < line.size() && line[i] != ' ' && line[i] != '\t') return false;  // text glued to "..."
        } else {
            std::size_t end = i;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
            t.value = std::string(line.substr(i, end - i));
            i = end;
        }
        tokens->push_back(std::move(t));
    }
}

template <typename T>
bool toInt(const Token& t, T* out) {
    if (t.quoted || t.value.empty()) return false;
    const char* b = t.value.data();
    const char* e = b + t.value.size();
    auto [p, ec] = std::from_chars(b, e, *out);
    return ec == std::errc() && p == e;
}

// The arguments each event kind takes, one letter per argument:
// w window, c control, t template, s string, n integer, r close result.
const char* shapeOf(const std::string& kind) {
    static const std::pair<const char*, const char*> kShapes[] = {
        {"open", "wts"},   {"title", "ws"}, {"text", "wcs"}, {"add", "wcs"},     {"sel", "wcn"},
        {"range", "wcnn"}, {"pos", "wcn"},  {"focus", "wc"}, {"place", "wnnnn"}, {"shown", "w"},
        {"enable", "wn"},  {"close", "wr"}, {"error", "ws"}, {"exit", "n"},
    };
    for (const auto& [k, shape] : kShapes)
        if (kind == k) return shape;
    return nullptr;
}

std::string errnoText(const char* what, int err) { return std::string(what) + ": " + std::strerror(err); }

void closeFd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
}

// Writes all of data to a non-blocking pipe, waiting at most timeoutMs for
// room.  SIGPIPE is blocked meanwhile, and one raised by this write is taken
// back, so a reader that has gone away shows up as a failed write only.
bool writeAll(int fd, std::string_view data, int timeoutMs) {
    sigset_t pipeSet, oldMask, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool ok = true, brokenPipe = false;
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n >= 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
            // The pipe is full: wait for room until the deadline, then give up.
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
            pollfd p{fd, POLLOUT, 0};
            if (left > 0 && (::poll(&p, 1, static_cast<int>(left)) >= 0 || errno == EINTR)) continue;
        } else {
            brokenPipe = errno == EPIPE;
        }
        ok = false;
        break;
    }

    if (brokenPipe && !wasPending) {
        const timespec zero{};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {}
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    return ok;
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Parsing and quoting

bool parseEvent(const std::string& line, Event* out) {
    *out = Event{};
    out->raw = line;

    std::vector<Token> tokens;
    if (!tokenize(line, &tokens) || tokens.empty() || tokens[0].quoted) return false;
    const char* shape = shapeOf(tokens[0].value);
    if (!shape || tokens.size() != 1 + std::strlen(shape)) return false;

    Event e;
    e.kind = tokens[0].value;
    e.raw = line;
    for (std::size_t i = 0; shape[i]; ++i) {
        const Token& t = tokens[i + 1];
        bool ok = false;
        switch (shape[i]) {
            case 'w': ok = toInt(t, &e.window); break;
            case 'c': ok = toInt(t, &e.control); break;
            case 'n': {
                long v = 0;
                ok = toInt(t, &v);
                e.nums.push_back(v);
                break;
            }
            case 's':
                ok = t.quoted;
                e.text = t.value;
                break;
            case 't': {
                int number = 0;
                ok = t.value == "msgbox" ? !t.quoted : toInt(t, &number);
                e.tmpl = t.value;
                break;
            }
            case 'r': {
                long number = 0;
                ok = t.value == "-" ? !t.quoted : toInt(t, &number);
                e.result = t.value;
                break;
            }
        }
        if (!ok) return false;
    }
    if (e.kind == "enable" && e.nums[0] != 0 && e.nums[0] != 1) return false;

    *out = std::move(e);
    return true;
}

bool jsonUnquote(std::string_view quoted, std::string* out) {
    std::size_t pos = 0;
    return decodeString(quoted, &pos, out) && pos == quoted.size();
}

// ---------------------------------------------------------------------------
// ScriptProcess: starting and ending

ScriptProcess::ScriptProcess() = default;

ScriptProcess::~ScriptProcess() {
    closeInput();
    if (pid_ > 0) {
        // Kill the whole process group: the child if it still runs, and anything
        // it started that could keep its stdout open.  The group id cannot be
        // reused while a member lives, so this is safe even after reaping.
        ::kill(-pid_, SIGKILL);
        if (!reaped_) killAndReap();
    }
    if (reader_.joinable()) {
        // The reader normally sees end of file once the group is dead; the wake
        // byte also ends it if some process outside the group holds the pipe.
        const char byte = 1;
        while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {}
        reader_.join();
    }
    closeFd(&outFd_);
    closeFd(&wakeRead_);
    closeFd(&wakeWrite_);
}

bool ScriptProcess::start(const std::string& path, const std::vector<std::string>& args,
                          const std::vector<std::string>& extraEnv) {
    if (pid_ != -1) {
        lastError_ = "already started";
        return false;
    }

    // Close-on-exec pipes: the child gets only the ends dup'ed onto 0 and 1,
    // and no other child started meanwhile inherits any of them.
    int in[2] = {-1, -1}, out[2] = {-1, -1}, wake[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* fd : {&in[0], &in[1], &out[0], &out[1], &wake[0], &wake[1]}) closeFd(fd);
    };
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
        lastError_ = errnoText("pipe2", errno);
        closeAll();
        return false;
    }
    // Our end of stdin never blocks, so send() can give up after a timeout.
    ::fcntl(in[1], F_SETFL, ::fcntl(in[1], F_GETFL) | O_NONBLOCK);

    std::vector<std::string> argStore{path};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The driver's environment minus the names extraEnv sets, then extraEnv.
    std::vector<std::string> envStore;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        std::string_view name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& x : extraEnv)
            if (std::string_view(x).substr(0, x.find('=')) == name) replaced = true;
        if (!replaced) envStore.emplace_back(entry);
    }
    envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (!stderrPath_.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);

    // Own process group; no blocked signals and default SIGPIPE, whatever the
    // driver has set up.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t noSignals, pipeDefault;
    sigemptyset(&noSignals);
    posix_spawnattr_setsigmask(&attr, &noSignals);
    sigemptyset(&pipeDefault);
    sigaddset(&pipeDefault, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &pipeDefault);

    pid_t pid = -1;
    const bool searchPath = path.find('/') == std::string::npos;
    int rc = searchPath ? posix_spawnp(&pid, path.c_str(), &actions, &attr, argv.data(), envp.data())
                        : posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    closeFd(&in[0]);
    closeFd(&out[1]);
    if (rc != 0) {
        lastError_ = errnoText(path.c_str(), rc);
        closeAll();
        return false;
    }

    pid_ = pid;
    inFd_ = in[1];
    outFd_ = out[0];
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    try {
        reader_ = std::thread(&ScriptProcess::readLoop, this);
    } catch (const std::system_error& e) {
        lastError_ = std::string("reader thread: ") + e.what();
        closeInput();
        killAndReap();
        return false;
    }
    return true;
}

int ScriptProcess::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int st = 0;
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = decodeStatus(st);
            return status_;
        }
        if (r < 0 && errno != EINTR) {  // not our child any more: nothing to wait for
            reaped_ = true;
            status_ = -1;
            return -1;
        }
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(20)) pause *= 2;
    }
    killAndReap();
    return -1;
}

void ScriptProcess::killAndReap() {
    if (pid_ <= 0 || reaped_) return;
    ::kill(-pid_, SIGKILL);
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {}
    reaped_ = true;
    status_ = -1;
}

// ---------------------------------------------------------------------------
// ScriptProcess: commands

bool ScriptProcess::send(const std::string& line, int timeoutMs) {
    if (keepHistory_) {
        std::lock_guard lock(mutex_);
        transcript_ += "> " + line + "\n";
    }
    if (inFd_ < 0) return false;
    return writeAll(inFd_, line + "\n", timeoutMs);
}

void ScriptProcess::closeInput() { closeFd(&inFd_); }

bool ScriptProcess::press(int window, int control) {
    return send("press " + std::to_string(window) + " " + std::to_string(control));
}

bool ScriptProcess::type(int window, int control, const std::string& text) {
    return send("type " + std::to_string(window) + " " + std::to_string(control) + " " + jsonQuote(text));
}

bool ScriptProcess::select(int window, int control, int item) {
    return send("select " + std::to_string(window) + " " + std::to_string(control) + " " + std::to_string(item));
}

bool ScriptProcess::key(int window, const std::string& name) {
    return send("key " + std::to_string(window) + " " + name);
}

bool ScriptProcess::closeWindow(int window) { return send("close " + std::to_string(window)); }

// ---------------------------------------------------------------------------
// ScriptProcess: output

void ScriptProcess::readLoop() {
    std::string partial;
    char buf[4096];
    for (;;) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;  // asked to stop
        if (fds[0].revents == 0) continue;
        ssize_t n = ::read(outFd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;  // end of file or error
        partial.append(buf, static_cast<std::size_t>(n));

        std::size_t start = 0, nl;
        {
            std::lock_guard lock(mutex_);
            while ((nl = partial.find('\n', start)) != std::string::npos) {
                addLine(partial.substr(start, nl - start));
                start = nl + 1;
            }
        }
        partial.erase(0, start);
        // Only whole lines wake the driver, after the lock is let go: it
        // wakes to take them, not to wait for the lock.
        if (start > 0) changed_.notify_all();
    }

    std::lock_guard lock(mutex_);
    if (!partial.empty()) addLine(std::move(partial));  // last line without '\n'
    eof_ = true;
    changed_.notify_all();
}

void ScriptProcess::addLine(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (keepHistory_) transcript_ += line + "\n";
    Event e;
    parseEvent(line, &e);  // on failure e has only raw set: kept, with an empty kind
    events_.push_back(std::move(e));
}

std::optional<Event> ScriptProcess::waitUntil(const std::function<bool(const Event&)>& pred,
                                              Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    std::size_t next = cursor_;
    for (;;) {
        for (; next < events_.size(); ++next) {
            if (!pred(events_[next])) continue;
            if (keepHistory_) {
                cursor_ = next + 1;
                return events_[next];
            }
            std::optional<Event> found = std::move(events_[next]);
            events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(next + 1));
            cursor_ = 0;
            return found;
        }
        // Nothing more can come after end of file; otherwise sleep until the
        // reader adds lines, another thread interrupts, or the time is up
        // (then one last look above).
        if (interrupted_) {
            interrupted_ = false;
            return std::nullopt;
        }
        if (eof_ || Clock::now() >= deadline) return std::nullopt;
        changed_.wait_until(lock, deadline);
    }
}

void ScriptProcess::interrupt() {
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
    }
    changed_.notify_all();
}

std::optional<Event> ScriptProcess::waitFor(const std::function<bool(const Event&)>& pred, int timeoutMs) {
    return waitUntil(pred, Clock::now() + std::chrono::milliseconds(timeoutMs));
}

std::optional<Event> ScriptProcess::waitEvent(const std::string& kind, int window, int timeoutMs) {
    return waitFor([&](const Event& e) { return e.kind == kind && (window < 0 || e.window == window); }, timeoutMs);
}

int ScriptProcess::waitOpen(const std::string& tmpl, int timeoutMs) {
    auto e =
        waitFor([&](const Event& ev) { return ev.kind == "open" && (tmpl.empty() || ev.tmpl == tmpl); }, timeoutMs);
    return e ? e->window : -1;
}

std::optional<Event> ScriptProcess::waitTitle(int window, int timeoutMs) {
    return waitEvent("title", window, timeoutMs);
}

std::optional<Event> ScriptProcess::waitText(int window, int control, int timeoutMs) {
    return waitFor([&](const Event& e) { return e.kind == "text" && e.window == window && e.control == control; },
                   timeoutMs);
}

std::optional<MsgBox> ScriptProcess::waitMsgBox(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto open = waitUntil([](const Event& e) { return e.kind == "open" && e.tmpl == "msgbox"; }, deadline);
    if (!open) return std::nullopt;
    const int w = open->window;
    auto text =
        waitUntil([w](const Event& e) { return e.kind == "text" && e.window == w && e.control == 0; }, deadline);
    if (!text) return std::nullopt;
    return MsgBox{w, open->text, text->text};
}

int ScriptProcess::waitExit(int timeoutMs) {
    auto e = waitEvent("exit", -1, timeoutMs);
    return e ? static_cast<int>(e->nums[0]) : -1;
}

std::size_t ScriptProcess::cursor() const {
    std::lock_guard lock(mutex_);
    return cursor_;
}

void ScriptProcess::setCursor(std::size_t index) {
    std::lock_guard lock(mutex_);
    cursor_ = index < events_.size() ? index : events_.size();
}

std::vector<Event> ScriptProcess::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::string ScriptProcess::transcript() const {
    std::lock_guard lock(mutex_);
    return transcript_;
}

bool ScriptProcess::outputEnded() const {
    std::lock_guard lock(mutex_);
    return eof_;
}

}  // namespace ulxproto
