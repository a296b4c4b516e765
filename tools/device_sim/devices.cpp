#include "devices.h"

#include <cstdio>
#include <fstream>
#include <set>

#include "net.h"

namespace sim {
namespace {

constexpr long kMaxDevices = 1000;

// Applies words ("--name value" ...) to options with the single-device
// parser.
bool applyWords(const std::vector<std::string>& words, Options& options, std::string& error) {
    std::vector<std::string> store{"ulx-device-sim"};
    store.insert(store.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (auto& w : store) argv.push_back(w.data());
    argv.push_back(nullptr);
    ParseResult r = parseOptions(static_cast<int>(store.size()), argv.data(), options, error);
    if (r == ParseResult::Help) {
        error = "--help is no device option";
        return false;
    }
    return r == ParseResult::Run;
}

// The device at address: its own address, and a serial number and MAC
// address of its own made from it.
bool placeDevice(uint32_t address, const Options& shared, Options& out, std::string& error) {
    char serial[32], mac[32];
    snprintf(serial, sizeof serial, "ULX74%07X", address & 0xFFFFFFu);
    snprintf(mac, sizeof mac, "02:00:5E:%02X:%02X:%02X", (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF);
    out = shared;
    return applyWords({"--address", formatIPv4(address), "--serial", serial, "--mac", mac}, out, error);
}

}  // namespace

bool takeDeviceListOptions(std::vector<std::string>& args, DeviceListOptions& list, std::string& error) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool inlineValue = false;
        if (auto eq = name.find('='); eq != std::string::npos && name.rfind("--", 0) == 0) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        if (name != "--devices" && name != "--first-address" && name != "--config") {
            rest.push_back(args[i]);
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (name == "--devices") {
            char* end = nullptr;
            list.devices = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || list.devices < 1 || list.devices > kMaxDevices) {
                error = "bad value for --devices: " + value + " (1 to " + std::to_string(kMaxDevices) + ")";
                return false;
            }
        } else if (name == "--first-address") {
            list.firstAddress = value;
        } else {
            list.configPath = value;
        }
    }
    if (list.devices > 0 && !list.configPath.empty()) {
        error = "--devices and --config exclude each other";
        return false;
    }
    if (list.devices > 0 && list.firstAddress.empty()) {
        error = "--devices needs --first-address";
        return false;
    }
    if (!list.firstAddress.empty() && list.devices == 0) {
        error = "--first-address goes with --devices";
        return false;
    }
    args = rest;
    return true;
}

bool splitConfigLine(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    size_t i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i == line.size() || line[i] == '#') return true;
        std::string word;
        bool quoted = false;
        while (i < line.size()) {
            char c = line[i];
            if (c == '"') {
                quoted = !quoted;
                ++i;
                continue;
            }
            if (!quoted && (c == ' ' || c == '\t' || c == '\r')) break;
            word += c;
            ++i;
        }
        if (quoted) return false;  // no closing quote
        words.push_back(word);
    }
}

bool buildDeviceList(const DeviceListOptions& list, const Options& shared, std::vector<Options>& out,
                     std::string& error) {
    out.clear();
    if (list.devices > 0) {
        uint32_t first = 0;
        if (!parseIPv4(list.firstAddress, first) || first == 0) {
            error = "bad value for --first-address: " + list.firstAddress;
            return false;
        }
        if (static_cast<uint64_t>(first) + static_cast<uint64_t>(list.devices) - 1 > 0xFFFFFFFFu) {
            error = "--devices runs past 255.255.255.255";
            return false;
        }
        for (long i = 0; i < list.devices; ++i) {
            Options device;
            if (!placeDevice(first + static_cast<uint32_t>(i), shared, device, error)) return false;
            out.push_back(device);
        }
        return true;
    }

    std::ifstream file(list.configPath);
    if (!file) {
        error = "cannot read " + list.configPath;
        return false;
    }
    std::set<uint32_t> seen;
    int number = 0;
    for (std::string line; std::getline(file, line);) {
        ++number;
        const std::string where = list.configPath + ":" + std::to_string(number) + ": ";
        std::vector<std::string> words;
        if (!splitConfigLine(line, words)) {
            error = where + "no closing quote";
            return false;
        }
        if (words.empty()) continue;
        uint32_t address = 0;
        if (!parseIPv4(words[0], address) || address == 0) {
            error = where + "a line starts with the device's address, not " + words[0];
            return false;
        }
        if (!seen.insert(address).second) {
            error = where + words[0] + " is there twice";
            return false;
        }
        Options device;
        words.erase(words.begin());
        if (!placeDevice(address, shared, device, error) || !applyWords(words, device, error)) {
            error = where + error;
            return false;
        }
        if (device.addressValue != address) {
            error = where + "the address is the line's first word, not an --address option";
            return false;
        }
        out.push_back(device);
    }
    if (out.empty()) {
        error = list.configPath + ": no device";
        return false;
    }
    return true;
}

std::string deviceListHelpText() {
    return "\nseveral devices in one process:\n"
           "  --devices N --first-address A       N devices on A, A+1, ..., each with the options above\n"
           "  --config FILE                       one device a line: its address, then options of its own\n"
           "                                      on top of the command line's (\"...\" keeps blanks, # comments)\n"
           "  Each device's serial number and MAC address are made from its address unless its\n"
           "  line sets them; every log line names its device (\"device\"); --log and --exit-after\n"
           "  hold for the process, which with --exit-after-upgrade ends once every device has.\n";
}

}  // namespace sim
