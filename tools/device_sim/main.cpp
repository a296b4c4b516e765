// ulx-device-sim: plays a ULX device on a loopback address for demos and
// tests, or many devices in one process. See --help, and README.md beside
// this file.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "device.h"
#include "devices.h"
#include "log.h"
#include "options.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    sim::DeviceListOptions list;
    std::string error;
    if (!sim::takeDeviceListOptions(args, list, error)) {
        fprintf(stderr, "ulx-device-sim: %s (see --help)\n", error.c_str());
        return 2;
    }
    std::vector<char*> rest{argv[0]};
    for (auto& a : args) rest.push_back(a.data());
    rest.push_back(nullptr);

    sim::Options options;
    switch (sim::parseOptions(static_cast<int>(rest.size()) - 1, rest.data(), options, error)) {
        case sim::ParseResult::Help: fputs((sim::helpText() + sim::deviceListHelpText()).c_str(), stdout); return 0;
        case sim::ParseResult::Error: fprintf(stderr, "ulx-device-sim: %s (see --help)\n", error.c_str()); return 2;
        case sim::ParseResult::Run: break;
        case sim::ParseResult::Version: puts("ulx-device-sim " ULX_VERSION_TEXT); return 0;
    }
    std::vector<sim::Options> devices{options};
    if (list.given() && !sim::buildDeviceList(list, options, devices, error)) {
        fprintf(stderr, "ulx-device-sim: %s\n", error.c_str());
        return 2;
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
    // Several devices share the log, each line naming its device.
    std::vector<std::unique_ptr<sim::Log>> deviceLogs;
    std::vector<std::unique_ptr<sim::Device>> fleet;
    for (const sim::Options& d : devices) {
        sim::Log* own = &log;
        if (list.given()) {
            deviceLogs.push_back(std::make_unique<sim::Log>(log, d.address));
            own = deviceLogs.back().get();
        }
        fleet.push_back(std::make_unique<sim::Device>(d, *own));
        if (!fleet.back()->start(error)) {
            own->write(sim::Json("fatal").str("reason", error));
            fprintf(stderr, "ulx-device-sim: %s: %s\n", d.address.c_str(), error.c_str());
            return 1;  // the devices started so far are stopped by their destructors
        }
    }
    std::vector<std::thread> lives;
    for (auto& device : fleet) lives.emplace_back([d = device.get()] { d->run(); });

    // Wait for the end: every device's own, a signal, or the deadline.
    auto begin = std::chrono::steady_clock::now();
    std::string reason;
    int code = 0;
    while (reason.empty()) {
        timespec tick{0, 100 * 1000 * 1000};
        int caught = sigtimedwait(&endSignals, nullptr, &tick);
        bool allFinished = true;
        for (auto& device : fleet) allFinished = allFinished && device->finished();
        if (caught == SIGINT || caught == SIGTERM) {
            reason = caught == SIGINT ? "SIGINT" : "SIGTERM";
        } else if (allFinished) {
            for (auto& device : fleet) code = device->exitCode() != 0 ? device->exitCode() : code;
            reason = code == 0 ? "upgrade done" : "fatal";
        } else if (options.exitAfterMs > 0 &&
                   std::chrono::steady_clock::now() - begin >= std::chrono::milliseconds(options.exitAfterMs)) {
            reason = "--exit-after deadline";
        }
    }
    for (auto& device : fleet) device->stop();
    for (auto& life : lives) life.join();
    for (auto& device : fleet) code = device->exitCode() != 0 ? device->exitCode() : code;
    log.write(sim::Json("exit").str("reason", reason).num("code", code));
    return code;
}
