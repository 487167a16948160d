#include "Options.h"

#include "DeviceModel.h"

#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace kyrsim {

namespace {

long ParseInRange(const std::string& szText, const std::string& szKey, long lMin, long lMax)
{
    const long lValue = ParseNumber(szText, szKey);
    if (lValue < lMin || lValue > lMax) {
        throw std::invalid_argument(szKey + "=" + szText + " is out of range " + std::to_string(lMin) + ".." +
                                    std::to_string(lMax));
    }
    return lValue;
}

}  // namespace

long ParseNumber(const std::string& szText, const std::string& szWhat)
{
    int nBase = 10;
    std::string szDigits = szText;
    if (szDigits.size() > 2 && szDigits[0] == '0' && (szDigits[1] == 'x' || szDigits[1] == 'X')) {
        nBase = 16;
        szDigits = szDigits.substr(2);
    }
    size_t nUsed = 0;
    long lValue = 0;
    try {
        lValue = std::stol(szDigits, &nUsed, nBase);
    } catch (const std::exception&) {
        nUsed = 0;
    }
    if (szDigits.empty() || nUsed != szDigits.size() || szDigits[0] == '-' || szDigits[0] == '+')
        throw std::invalid_argument(szWhat + ": not a number: '" + szText + "'");
    return lValue;
}

std::vector<uint8_t> ParseHexBytes(const std::string& szHex)
{
    if (szHex.empty() || szHex.size() % 2 != 0)
        throw std::invalid_argument("hex bytes need an even, non-zero number of digits: '" + szHex + "'");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < szHex.size(); i += 2) {
        const std::string szByte = szHex.substr(i, 2);
        if (szByte.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw std::invalid_argument("not a hex digit in '" + szHex + "'");
        bytes.push_back(static_cast<uint8_t>(std::stoul(szByte, nullptr, 16)));
    }
    return bytes;
}

DeviceSpec ParseDeviceSpec(const std::string& szSpec)
{
    DeviceSpec devSpec;
    bool bVendor = false;
    bool bProduct = false;
    bool bInterfaces = false;
    std::set<std::string> seen;
    std::stringstream stream(szSpec);
    std::string szItem;
    while (std::getline(stream, szItem, ',')) {
        if (szItem.empty())
            continue;
        const size_t nEq = szItem.find('=');
        const std::string szKey = szItem.substr(0, nEq);
        const std::string szValue = nEq == std::string::npos ? std::string() : szItem.substr(nEq + 1);
        const bool bFlag = nEq == std::string::npos;
        if (!seen.insert(szKey).second)
            throw std::invalid_argument("key given twice: " + szKey);
        static const std::set<std::string> deviceKeys = {"vid",    "pid",    "interfaces",  "bus",     "addr",
                                                         "port",   "driver", "model",       "plug",    "unplug",
                                                         "noconfig", "nointerfaceentries", "deny", "descriptors"};
        if (deviceKeys.count(szKey) == 0) {
            if (szKey.empty())
                throw std::invalid_argument("item '" + szItem + "' has no key");
            devSpec.modelOptions.push_back({szKey, bFlag ? std::nullopt : std::optional<std::string>(szValue)});
            continue;
        }
        if ((szKey == "noconfig" || szKey == "nointerfaceentries" || szKey == "deny") != bFlag)
            throw std::invalid_argument(bFlag ? "key needs a value: " + szKey : szKey + " takes no value");

        if (szKey == "vid") {
            devSpec.wVendorId = static_cast<uint16_t>(ParseInRange(szValue, szKey, 0, 0xFFFF));
            bVendor = true;
        } else if (szKey == "pid") {
            devSpec.wProductId = static_cast<uint16_t>(ParseInRange(szValue, szKey, 0, 0xFFFF));
            bProduct = true;
        } else if (szKey == "interfaces") {
            // Interface i uses endpoint number 1 << i, and endpoint numbers stop at 15.
            devSpec.nInterfaces = static_cast<int>(ParseInRange(szValue, szKey, 1, 4));
            bInterfaces = true;
        } else if (szKey == "bus") {
            devSpec.nBus = static_cast<int>(ParseInRange(szValue, szKey, 1, 255));
        } else if (szKey == "addr") {
            devSpec.nAddress = static_cast<int>(ParseInRange(szValue, szKey, 1, 127));
        } else if (szKey == "port") {
            devSpec.nPort = static_cast<int>(ParseInRange(szValue, szKey, 1, 127));
        } else if (szKey == "driver") {
            if (szValue.empty() || szValue == "usbfs" || szValue == "none")
                throw std::invalid_argument("driver=" + szValue + " is not a kernel driver name");
            devSpec.szDriver = szValue;
        } else if (szKey == "model") {
            if (!CModelRegistry::Instance().Has(szValue)) {
                std::string szKnown;
                for (const auto& szName : CModelRegistry::Instance().Names())
                    szKnown += " " + szName;
                throw std::invalid_argument("unknown model '" + szValue + "' (known:" + szKnown + ")");
            }
            devSpec.szModel = szValue;
        } else if (szKey == "plug") {
            devSpec.nPlugMs = static_cast<int>(ParseInRange(szValue, szKey, 0, 24 * 3600 * 1000));
        } else if (szKey == "unplug") {
            devSpec.nUnplugMs = static_cast<int>(ParseInRange(szValue, szKey, 0, 24 * 3600 * 1000));
        } else if (szKey == "descriptors") {
            devSpec.descriptors = ParseHexBytes(szValue);
        } else if (szKey == "noconfig") {
            devSpec.bNoConfig = true;
        } else if (szKey == "nointerfaceentries") {
            devSpec.bNoInterfaceEntries = true;
        } else if (szKey == "deny") {
            devSpec.bDeny = true;
        }
    }
    // The model judges its own keys; building one here reports them before
    // anything is set up.
    CModelRegistry::Instance().Create(devSpec.szModel, devSpec.modelOptions);
    if (!bVendor || !bProduct)
        throw std::invalid_argument("vid= and pid= are required");
    if (bInterfaces && !devSpec.descriptors.empty())
        throw std::invalid_argument("interfaces= and descriptors= exclude each other");
    if (devSpec.nPlugMs >= 0 && devSpec.nUnplugMs >= 0 && devSpec.nUnplugMs <= devSpec.nPlugMs)
        throw std::invalid_argument("unplug= must come after plug=");
    return devSpec;
}

Options ParseCommandLine(int argc, char** argv)
{
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string szArg = argv[i];
        if (szArg == "--")
            break;
        if (szArg == "-h" || szArg == "--help") {
            options.bHelp = true;
            return options;
        }
        if (szArg == "--uinput-deny") {
            options.bUinputDeny = true;
            continue;
        }
        std::string szSpec;
        if (szArg == "--device") {
            if (i + 1 >= argc)
                throw std::invalid_argument("--device needs a device description");
            szSpec = argv[++i];
        } else if (szArg.rfind("--device=", 0) == 0) {
            szSpec = szArg.substr(9);
        } else {
            throw std::invalid_argument("unknown option '" + szArg + "'");
        }
        try {
            options.devices.push_back(ParseDeviceSpec(szSpec));
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("device " + std::to_string(options.devices.size()) + " (" + szSpec +
                                        "): " + e.what());
        }
    }
    if (i >= argc - 1)
        throw std::invalid_argument("missing '-- PROGRAM [ARGS...]'");
    options.command.assign(argv + i + 1, argv + argc);

    for (size_t n = 0; n < options.devices.size(); ++n)
        PlaceDevice(options.devices[n], n, {options.devices.begin(), options.devices.begin() + static_cast<long>(n)});
    return options;
}

// A place once taken stays taken, after an unplug too: the kernel does not
// hand out a departed device's address again at once either, and the old
// device's testbed node keeps its path.
void PlaceDevice(DeviceSpec& devSpec, size_t nDevice, const std::vector<DeviceSpec>& devices)
{
    if (devSpec.nAddress == 0)
        devSpec.nAddress = static_cast<int>(2 + nDevice);
    if (devSpec.nPort == 0)
        devSpec.nPort = static_cast<int>(1 + nDevice);
    if (devSpec.nAddress > 127)
        throw std::invalid_argument("device " + std::to_string(nDevice) + ": default address is past 127; give addr=");
    for (const DeviceSpec& other : devices) {
        if (other.nBus == devSpec.nBus && other.nAddress == devSpec.nAddress) {
            throw std::invalid_argument("device " + std::to_string(nDevice) + ": bus " + std::to_string(devSpec.nBus) +
                                        " address " + std::to_string(devSpec.nAddress) + " is already taken");
        }
    }
}

std::string UsageText()
{
    std::string szModels;
    for (const auto& szName : CModelRegistry::Instance().Names())
        szModels += (szModels.empty() ? "" : ", ") + szName;
    return "usage: kyrsim [--device DEVICE]... [--uinput-deny] -- PROGRAM [ARGS...]\n"
           "\n"
           "Runs PROGRAM inside a umockdev testbed with emulated USB devices and\n"
           "exits with its status (128 + signal number when it was killed).\n"
           "\n"
           "DEVICE is comma-separated: vid=V,pid=P (required), interfaces=N (1-4),\n"
           "bus=B, addr=A, port=P, driver=NAME, model=NAME, plug=MS, unplug=MS,\n"
           "descriptors=HEX, noconfig, nointerfaceentries, deny; any other key is an\n"
           "option of the model (kyr: echo, silent, late=MS, twice, foreign, fwmode=,\n"
           "stream=, rate=, chunk=, fault=, seed=, scripted, touchscript=FILE,\n"
           "reportscript=FILE).\n"
           "Models: " +
           szModels +
           ".\n"
           "\n"
           "The testbed has /dev/uinput, which records the input devices programs create;\n"
           "with --uinput-deny the program may not open it (EACCES).\n"
           "The program finds the control socket in $KYRSIM_CONTROL (see README.md).\n";
}

}  // namespace kyrsim
