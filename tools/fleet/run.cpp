// The run: the operator's word on the warning, every device's driver
// started within the limits, live progress, and Ctrl-C.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <thread>

#include "fleet/app.h"
#include "ui/ui.h"

namespace fleet {

namespace {

constexpr int kMaxPerLocalAddress = 100;  // the TFTP listener's ports 69 to 168

// ---------------------------------------------------------------- progress

std::string clockText(WallClock::time_point t) {
    time_t seconds = WallClock::to_time_t(t);
    tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string elapsedText(long seconds) {
    char text[32];
    snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
    return text;
}

std::string summaryLine(const std::vector<Record>& records, long elapsed) {
    int done = 0, failed = 0, toGo = 0, running = 0;
    for (const Record& r : records) {
        if (r.stage == Stage::Done) (outcomeSucceeded(r.outcome) ? done : failed)++;
        else ++toGo;
        if (r.started && r.stage != Stage::Done) ++running;
    }
    char text[160];
    snprintf(text, sizeof text, "done %d, failed %d, to go %d (%d running), elapsed %s", done, failed, toGo, running,
             elapsedText(elapsed).c_str());
    return text;
}

std::string bar(long pos, long range, int width) {
    int filled = range > 0 ? static_cast<int>(std::min(pos, range) * width / range) : 0;
    std::string text = "[";
    text.append(static_cast<size_t>(filled), '#');
    text.append(static_cast<size_t>(width - filled), '.');
    return text + "]";
}

std::string progressLine(const Record& r) {
    char text[256];
    std::string amount, meter;
    const bool restarting = r.phase == ulxproto::Phase::Restarting;
    if (r.phase == ulxproto::Phase::Uploading || (r.total > 0 && !restarting)) {
        amount = std::to_string(r.bytes) + "/" + std::to_string(r.total);
        meter = bar(r.bytes, r.total, 20);
    } else if (restarting) {
        amount = std::to_string(r.bytes) + "/" + std::to_string(r.total);
        meter = bar(r.waitPos, r.waitRange, 20);
    }
    snprintf(text, sizeof text, "%-15s  %-24s  %17s %s", r.entry.address.c_str(), stageText(r), amount.c_str(),
             meter.c_str());
    return text;
}

int terminalSize(int* columns) {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0) {
        *columns = 80;
        return 24;
    }
    *columns = ws.ws_col;
    return ws.ws_row;
}

// Live progress on a terminal: finished devices scroll up as lines of
// their own, the running ones and a summary are redrawn in place.
class TerminalView {
public:
    void draw(Fleet& fleet, long elapsed, bool last) {
        std::vector<Note> notes;
        std::vector<std::string> block;
        int columns = 80;
        int rows = terminalSize(&columns);
        {
            std::lock_guard<std::mutex> hold(fleet.lock);
            notes.swap(fleet.notes);
            if (!last) {
                const size_t room = rows > 4 ? static_cast<size_t>(rows - 3) : 1;
                size_t running = 0;
                for (const Record& r : fleet.records) {
                    if (!r.started || r.stage == Stage::Done) continue;
                    if (++running <= room) block.push_back(progressLine(r));
                }
                if (running > room) block.push_back("... and " + std::to_string(running - room) + " more");
            }
            block.push_back(summaryLine(fleet.records, elapsed));
        }
        std::string out;
        if (drawn_ > 0) out += "\r\x1b[" + std::to_string(drawn_) + "A";
        for (const Note& n : notes)
            if (n.final) out += "\x1b[2K" + fit(n.text, columns) + "\n";
        for (const std::string& line : block) out += "\x1b[2K" + fit(line, columns) + "\n";
        out += "\x1b[J";
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
        drawn_ = static_cast<int>(block.size());
    }

private:
    static std::string fit(const std::string& s, int columns) {
        size_t width = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
        return s.size() > width ? s.substr(0, width) : s;
    }
    int drawn_ = 0;
};

// Plain timestamped lines where standard output is no terminal.
class PlainView {
public:
    void draw(Fleet& fleet, long elapsed, bool last) {
        std::vector<Note> notes;
        std::string summary;
        {
            std::lock_guard<std::mutex> hold(fleet.lock);
            notes.swap(fleet.notes);
            summary = summaryLine(fleet.records, elapsed);
        }
        for (const Note& n : notes) printf("%s %s\n", clockText(n.at).c_str(), n.text.c_str());
        if (last || elapsed >= nextSummary_) {
            printf("%s %s\n", clockText(WallClock::now()).c_str(), summary.c_str());
            nextSummary_ = elapsed + 10;
        }
        fflush(stdout);
    }

private:
    long nextSummary_ = 10;
};

}  // namespace

bool acknowledgeWarning(const std::string& program, size_t devices) {
    ulxproto::ScriptProcess p;
    p.setStderrPath("/dev/null");
    if (!p.start(program)) {
        fprintf(stderr, "ulx-fleet: cannot start %s: %s\n", program.c_str(), p.lastError().c_str());
        return false;
    }
    int w = p.waitOpen(ulxproto::templateName(IDD_WARNING), 10000);
    auto text = w >= 0 ? p.waitText(w, IDC_WARNING_TEXT, 10000) : std::nullopt;
    if (!text) {
        fprintf(stderr, "ulx-fleet: %s showed no warning\n", program.c_str());
        return false;
    }
    p.closeInput();  // the warning gets its close box: the program ends
    p.wait(5000);
    std::string shown;
    for (char c : text->text)
        if (c != '\r') shown += c;
    printf("%s\n\nUpgrade %zu device%s? [y/N] ", shown.c_str(), devices, devices == 1 ? "" : "s");
    fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    std::transform(answer.begin(), answer.end(), answer.begin(), [](unsigned char c) { return std::tolower(c); });
    return answer == "y" || answer == "yes";
}

namespace {

// What wakes the main loop: an end signal (read from a signalfd, never by a
// handler), a driver's note or end (the fleet's eventfd), or the next
// moment the view must change by itself (the terminal's refresh, the plain
// log's summary). Returns the signal taken, 0 for none.
int awaitWork(int signals, int driverWake, const sigset_t& endSignals, int timeoutMs) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {driverWake, POLLIN, 0}};
    // Without a signalfd (it could not be made) the signals are looked for
    // after each wait, and the wait is a refresh's at most.
    if (signals < 0 && (timeoutMs < 0 || timeoutMs > 200)) timeoutMs = 200;
    if (poll(fds, 2, timeoutMs) < 0) return 0;  // EINTR: the loop looks again
    if (fds[1].revents & POLLIN) {
        eventfd_t taken;
        (void)eventfd_read(driverWake, &taken);
    }
    if (signals < 0) {
        timespec none{0, 0};
        int caught = sigtimedwait(&endSignals, nullptr, &none);
        return caught > 0 ? caught : 0;
    }
    signalfd_siginfo info;
    if ((fds[0].revents & POLLIN) && read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        return static_cast<int>(info.ssi_signo);
    return 0;
}

}  // namespace

void wakeMainLoop(Fleet& fleet) {
    if (fleet.wakeFd >= 0) (void)eventfd_write(fleet.wakeFd, 1);
}

Gate runFleet(Fleet& fleet, const RunConfig& config, const Options& o) {
    // Signals are taken from a signalfd in the loop below, never by a
    // handler; every thread started from here on inherits the block.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    const int signals = signalfd(-1, &endSignals, SFD_CLOEXEC);
    // Opened before any driver starts and closed after the last has ended.
    fleet.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    const size_t count = fleet.records.size();
    const size_t canary = std::min(count, static_cast<size_t>(o.rollout.canary));
    std::vector<std::thread> workers(count);
    std::vector<bool> joined(count, false);
    std::map<uint32_t, int> perLocal;
    size_t running = 0;
    Gate gate = Gate::Open;
    const bool terminal = isatty(STDOUT_FILENO);
    TerminalView tv;
    PlainView pv;
    const auto begin = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin).count());
    };
    if (!terminal)
        printf("%s %s %zu device%s with %s\n", clockText(WallClock::now()).c_str(),
               o.inventory ? "inventory of" : "upgrade of", count, count == 1 ? "" : "s", config.program.c_str());

    for (;;) {
        // Join the finished ones.
        for (size_t i = 0; i < count; ++i) {
            if (!workers[i].joinable()) continue;
            bool ended;
            {
                std::lock_guard<std::mutex> hold(fleet.lock);
                ended = fleet.records[i].ended;
            }
            if (!ended) continue;
            workers[i].join();
            joined[i] = true;
            --perLocal[fleet.records[i].local];
            --running;
        }
        {
            std::lock_guard<std::mutex> hold(fleet.lock);
            gate = rolloutGate(o.rollout, fleet.records);
        }
        // Start what the limits allow, in list order.
        const bool mayStart = fleet.cancelLevel.load() == 0 && (gate == Gate::Open || gate == Gate::CanaryWait);
        const size_t startable = gate == Gate::CanaryWait ? canary : count;
        for (size_t i = 0; mayStart && i < startable && running < static_cast<size_t>(o.jobs); ++i) {
            if (workers[i].joinable() || joined[i]) continue;
            uint32_t local = fleet.records[i].local;
            if (perLocal[local] >= kMaxPerLocalAddress) continue;
            ++perLocal[local];
            ++running;
            workers[i] = std::thread(driveDevice, std::cref(config), std::ref(fleet), i);
        }
        bool queued = false;
        for (size_t i = 0; i < count; ++i) queued = queued || (!joined[i] && !workers[i].joinable());
        const bool stopped =
            fleet.cancelLevel.load() > 0 || gate == Gate::CanaryFailed || gate == Gate::TooManyFailures;
        if (running == 0 && (!queued || stopped)) break;

        // The terminal view redraws five times a second; the plain log
        // changes only with a note, and with its summary every 10 s.
        const long sinceBegin = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count());
        const int caught =
            awaitWork(signals, fleet.wakeFd, endSignals, terminal ? 200 : static_cast<int>(10000 - sinceBegin % 10000));
        if (caught > 0) {
            int level = std::min(fleet.cancelLevel.load() + 1, 3);
            fleet.cancelLevel.store(level);
            const char* what = level == 1   ? "cancelling every upgrade whose image is not yet delivered "
                                              "(again: those restarting too)"
                               : level == 2 ? "cancelling every upgrade (again: stop the programs at once)"
                                            : "stopping every program at once";
            {
                std::lock_guard<std::mutex> hold(fleet.lock);
                fleet.notes.push_back(Note{WallClock::now(), true, std::string("ulx-fleet: ") + what});
                // Every driver looks at the new level at once; the third
                // time the programs are killed, and the drivers see them end.
                for (const Record& r : fleet.records) {
                    if (r.process) r.process->interrupt();
                    if (level == 3 && r.pid > 0) kill(-r.pid, SIGKILL);
                }
            }
        }
        if (terminal) tv.draw(fleet, elapsed(), false);
        else pv.draw(fleet, elapsed(), false);
    }

    // Devices never started: cancelled by the operator, or held back by
    // the rollout's limits.
    Gate stoppedBy = Gate::Open;
    for (size_t i = 0; i < count; ++i) {
        Record& r = fleet.records[i];
        if (joined[i] || r.outcome != Outcome::Pending) continue;
        if (fleet.cancelLevel.load() > 0) {
            r.outcome = Outcome::Cancelled;
            r.detail = "not started";
        } else {
            r.outcome = Outcome::NotStarted;
            r.detail = gateDetail(gate, o.rollout);
            stoppedBy = gate;
        }
        r.stage = Stage::Done;
    }
    if (terminal) tv.draw(fleet, elapsed(), true);
    else pv.draw(fleet, elapsed(), true);
    if (signals >= 0) close(signals);
    if (fleet.wakeFd >= 0) close(fleet.wakeFd);
    fleet.wakeFd = -1;
    return stoppedBy;
}

}  // namespace fleet
