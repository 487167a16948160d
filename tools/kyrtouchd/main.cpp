// kyrtouchd: a Kyr device as a Linux touchscreen (and pointer and keyboard,
// when it sends those reports), through uinput. Run by systemd per device
// interface (kyrtouchd@.service), or by hand.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>

#include <strings.h>

#include "Bridge.h"
#include "KyrDeviceIds.h"
#include "Options.h"

#ifndef KYRTOUCHD_VERSION
#define KYRTOUCHD_VERSION "0.0.0"
#endif

namespace {

using kyrtouch::Log;
using kyrtouch::Target;

struct Selection {
    std::string szPath;
    std::string szBusDev;
    std::string szSysfs;
    unsigned short nVendor = KYR_USB_VENDOR_ID;
    unsigned short nProduct = 0;
    int nInterface = -1;
    unsigned short nIndex = 0;
};

const unsigned short s_Products[] = {KYR_USB_PRODUCT_ID_MODEL1, KYR_USB_PRODUCT_ID_MODEL2, KYR_USB_PRODUCT_ID_MODEL3,
                                     KYR_USB_PRODUCT_ID_MODEL4, KYR_USB_PRODUCT_ID_MODEL5,
                                     KYR_USB_PRODUCT_ID_VIRTUAL};

unsigned short DefaultInterface(unsigned short nProduct)
{
    return nProduct == KYR_USB_PRODUCT_ID_VIRTUAL ? KYR_USB_VIRTUAL_INTERFACE : KYR_USB_MODEL_INTERFACE;
}

unsigned ReadNumber(const std::string& szFile, int nBase)
{
    std::ifstream in(szFile);
    std::string sz;
    in >> sz;
    return static_cast<unsigned>(std::strtoul(sz.c_str(), nullptr, nBase));
}

// udev names an interface "3-1:1.1": its device "3-1", configuration 1,
// interface number 1 (decimal). The device's bus and address and that number
// make the library's path. The interface's own directory is not read: a
// kernel announces a device before it configures it, and an instance waiting
// for its device to return would look in that gap and miss it for good.
std::string PathOfSysfsName(const std::string& szName)
{
    const size_t nColon = szName.find(':');
    unsigned nConfig = 0, nInterface = 0;
    int nEnd = 0;
    if (nColon == std::string::npos || nColon == 0 || szName.find_first_not_of("0123456789-.") < nColon ||
        std::sscanf(szName.c_str() + nColon + 1, "%u.%u%n", &nConfig, &nInterface, &nEnd) != 2 ||
        nColon + 1 + static_cast<size_t>(nEnd) != szName.size() || nInterface > 0xff)
        return {};
    const std::string szDir = "/sys/bus/usb/devices/" + szName.substr(0, nColon);
    const unsigned nBus = ReadNumber(szDir + "/busnum", 10);
    const unsigned nAddress = ReadNumber(szDir + "/devnum", 10);
    if (nBus == 0 || nAddress == 0)
        return {};
    char szPath[32];
    std::snprintf(szPath, sizeof szPath, "%04x:%04x:%02x", nBus, nAddress, nInterface);
    return szPath;
}

std::optional<Target> Select(const Selection& s, bool bQuiet)
{
    std::string szPath = s.szPath;
    if (!s.szSysfs.empty()) {
        szPath = PathOfSysfsName(s.szSysfs);
        if (szPath.empty()) {
            if (!bQuiet)
                Log(3, "no USB interface %s", s.szSysfs.c_str());
            return std::nullopt;
        }
    }
    unsigned nBus = 0, nDev = 0;
    std::sscanf(s.szBusDev.c_str(), "%u:%u", &nBus, &nDev);
    for (unsigned short nProduct : s_Products) {
        if (s.nProduct != 0 && nProduct != s.nProduct)
            continue;
        const unsigned short nWanted = s.nInterface >= 0 ? static_cast<unsigned short>(s.nInterface)
                                                         : DefaultInterface(nProduct);
        for (unsigned short nMI = 0; nMI < 32; ++nMI) {
            const int nCount = KyrGetDeviceCount(s.nVendor, nProduct, nMI);
            if (nCount <= 0)
                break;
            for (int i = 0; i < nCount; ++i) {
                KYR_DEVICE_INFO info = KyrGetDeviceInfo(s.nVendor, nProduct, nMI, static_cast<unsigned short>(i));
                if (info == nullptr)
                    continue;
                const std::string szThere = KyrGetDevInfoPath(info);
                unsigned nThereBus = 0, nThereDev = 0;
                std::sscanf(szThere.c_str(), "%x:%x", &nThereBus, &nThereDev);
                const bool bMatch = !szPath.empty()      ? strcasecmp(szThere.c_str(), szPath.c_str()) == 0
                                    : !s.szBusDev.empty() ? nThereBus == nBus && nThereDev == nDev && nMI == nWanted
                                                          : nMI == nWanted && i == s.nIndex;
                if (bMatch)
                    return Target{s.nVendor, nProduct, nMI, static_cast<unsigned short>(i)};
            }
        }
    }
    if (bQuiet)
        return std::nullopt;
    if (!s.szSysfs.empty())
        Log(3, "no USB interface %s", s.szSysfs.c_str());
    else
        Log(3, "no Kyr device%s%s attached", szPath.empty() && s.szBusDev.empty() ? "" : " at ",
            !szPath.empty() ? szPath.c_str() : s.szBusDev.c_str());
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"kyrtouchd: a Kyr touch-sensing device as a Linux touchscreen"};
    Selection selection;
    kyrtouch::BridgeOptions options;
    auto* pGroup = app.add_option_group("Device selection");
    auto* pPath = pGroup->add_option("--path", selection.szPath, "device path BBBB:AAAA:II as `kyrhid list` prints it");
    auto* pBusDev = pGroup->add_option("-s", selection.szBusDev, "BUS:DEV in decimal, as lsusb writes it");
    auto* pSysfs = pGroup->add_option("--sysfs", selection.szSysfs, "the interface's kernel name, e.g. 3-1:1.1");
    pPath->excludes(pBusDev, pSysfs);
    pBusDev->excludes(pSysfs);
    pGroup->add_option("--vid", selection.nVendor, "vendor id")->capture_default_str();
    pGroup->add_option("--pid", selection.nProduct, "product id (default: the first Kyr device attached)");
    pGroup->add_option("--mi", selection.nInterface, "interface number (default: the one the product is driven through)");
    pGroup->add_option("--index", selection.nIndex, "index among matching devices")->capture_default_str();
    kyrtouch::AddBridgeOptions(&app, options);
    app.set_version_flag("--version", std::string("kyrtouchd ") + KYRTOUCHD_VERSION);
    app.footer("Exit status: 0 stopped by SIGTERM or SIGINT, 1 failure, 2 usage, 3 no device, 4 access denied.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    options.MakeSink();
    options.run.select = [&selection](bool bQuiet) { return Select(selection, bQuiet); };
    return kyrtouch::RunBridge(options.run);
}
