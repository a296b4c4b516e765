// Many devices in one process: the device list built from --devices N
// --first-address A (N devices on consecutive addresses) or from a file
// with one device a line (its address, then options of its own). Each
// device gets an Options record of its own, so everything one device can
// do, each device of a fleet can do.
#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace sim {

struct DeviceListOptions {
    long devices = 0;          // --devices N (0: not given)
    std::string firstAddress;  // --first-address A
    std::string configPath;    // --config FILE
    bool given() const { return devices > 0 || !configPath.empty(); }
};

// Takes --devices, --first-address and --config ("--name value" or
// "--name=value") out of args, leaving the rest for parseOptions. False,
// with the reason in error, for a bad value or a bad combination.
bool takeDeviceListOptions(std::vector<std::string>& args, DeviceListOptions& list, std::string& error);

// One Options per device, each starting from shared (the command line):
// its address, a serial number and MAC address made from the address, then
// the options of its line in the config file. False, with the file's line
// number in error, when a line does not parse or an address repeats.
bool buildDeviceList(const DeviceListOptions& list, const Options& shared, std::vector<Options>& out,
                     std::string& error);

// Splits a config line into words: blanks separate them, "..." keeps
// blanks inside one, and # starts a comment outside quotes.
bool splitConfigLine(const std::string& line, std::vector<std::string>& words);

std::string deviceListHelpText();

}  // namespace sim
