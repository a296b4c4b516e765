// ulx-device-sim: plays a ULX device on a loopback address for demos and
// tests. See --help, and README.md beside this file.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <thread>

#include "device.h"
#include "log.h"
#include "options.h"

int main(int argc, char** argv) {
    sim::Options options;
    std::string error;
    switch (sim::parseOptions(argc, argv, options, error)) {
        case sim::ParseResult::Help:
            fputs(sim::helpText().c_str(), stdout);
            return 0;
        case sim::ParseResult::Error:
            fprintf(stderr, "ulx-device-sim: %s (see --help)\n", error.c_str());
            return 2;
        case sim::ParseResult::Run:
            break;
        case sim::ParseResult::Version:
            puts("ulx-device-sim " ULX_VERSION_TEXT);
            return 0;
    }

    // SIGINT and SIGTERM are taken by sigtimedwait below, never by a
    // handler, so every thread can be ended and joined in order.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim::Log log;
    if (!log.open(options.logPath, error)) {
        fprintf(stderr, "ulx-device-sim: %s\n", error.c_str());
        return 2;
    }
    sim::Device device(options, log);
    if (!device.start(error)) {
        log.write(sim::Json("fatal").str("reason", error));
        fprintf(stderr, "ulx-device-sim: %s\n", error.c_str());
        return 1;
    }
    std::thread life([&device] { device.run(); });

    // Wait for the end: the device's own, a signal, or the deadline.
    auto begin = std::chrono::steady_clock::now();
    std::string reason;
    while (reason.empty()) {
        timespec tick{0, 100 * 1000 * 1000};
        int caught = sigtimedwait(&endSignals, nullptr, &tick);
        if (caught == SIGINT || caught == SIGTERM) {
            reason = caught == SIGINT ? "SIGINT" : "SIGTERM";
        } else if (device.finished()) {
            reason = device.exitCode() == 0 ? "upgrade done" : "fatal";
        } else if (options.exitAfterMs > 0 &&
                   std::chrono::steady_clock::now() - begin >= std::chrono::milliseconds(options.exitAfterMs)) {
            reason = "--exit-after deadline";
        }
    }
    device.stop();
    life.join();
    log.write(sim::Json("exit").str("reason", reason).num("code", device.exitCode()));
    return device.exitCode();
}
