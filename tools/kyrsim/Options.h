// Command line of kyrsim: the emulated devices and the program to run.
#pragma once

#include "DeviceModel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kyrsim {

struct DeviceSpec {
    uint16_t wVendorId = 0;
    uint16_t wProductId = 0;
    int nInterfaces = 1;
    int nBus = 1;
    int nAddress = 0;            // 0 until defaulted to 2 + device index
    int nPort = 0;               // root hub port; 0 until defaulted to 1 + device index
    std::string szDriver;        // kernel driver bound at start; empty for none
    std::string szModel = "silent";
    ModelOptions modelOptions;   // the keys kyrsim does not know, for the model
    int nPlugMs = -1;            // < 0: present from the start
    int nUnplugMs = -1;          // < 0: stays plugged in
    bool bNoConfig = false;
    bool bNoInterfaceEntries = false;  // sysfs shows the device before its interfaces, as the kernel at first
    bool bDeny = false;
    std::vector<uint8_t> descriptors;  // raw sysfs descriptors; empty: generated
};

struct Options {
    std::vector<DeviceSpec> devices;
    std::vector<std::string> command;  // program and arguments
    bool bUinputDeny = false;          // --uinput-deny: opening /dev/uinput fails with EACCES
    bool bHelp = false;
};

/// Parses one comma-separated key=value device description.
/// @throws std::invalid_argument with a message naming the offending key.
DeviceSpec ParseDeviceSpec(const std::string& szSpec);

/// @throws std::invalid_argument on any usage error.
Options ParseCommandLine(int argc, char** argv);

/// Gives the device nDevice (its number) the default address and port if it
/// has none, and checks that its place on the bus is not taken by any of
/// devices. @throws std::invalid_argument
void PlaceDevice(DeviceSpec& devSpec, size_t nDevice, const std::vector<DeviceSpec>& devices);

std::string UsageText();

/// Parses "0x.."-prefixed hex or decimal; throws std::invalid_argument.
long ParseNumber(const std::string& szText, const std::string& szWhat);

/// Even-length hex digits, no separators; throws std::invalid_argument.
std::vector<uint8_t> ParseHexBytes(const std::string& szHex);

}  // namespace kyrsim
