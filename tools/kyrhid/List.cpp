// kyrhid list: the attached interfaces, with the path and lsusb's bus:device.
#include <cstdio>

#include "KyrDeviceIds.h"
#include "Tool.h"

namespace kyrhid {

namespace {

struct ListOptions {
    unsigned short nVendorID = KYR_USB_VENDOR_ID;
    unsigned short nProductID = 0;
};

int List(Tool& tool, const ListOptions& options)
{
    const std::vector<DeviceEntry> entries = EnumerateDevices(options.nVendorID, options.nProductID);
    std::printf("%-14s %-7s %-7s %-8s %-10s %s\n", "path", "bus:dev", "vendor", "product", "interface", "index");
    for (const DeviceEntry& entry : entries) {
        if (entry.szPath.empty()) {
            std::fprintf(stderr, "kyrhid: %04x:%04x interface %u index %u: %s (%s)\n", entry.nVendorID,
                         entry.nProductID, entry.nMI, entry.nIndex, KyrGetErrorName(entry.nError),
                         KyrGetErrorDescription(entry.nError));
            continue;
        }
        char szBusDev[16];
        std::snprintf(szBusDev, sizeof szBusDev, "%03u:%03u", entry.nBus, entry.nAddress);
        std::printf("%-14s %-7s 0x%04x  0x%04x   %-9u  %u\n", entry.szPath.c_str(), szBusDev, entry.nVendorID,
                    entry.nProductID, entry.nMI, entry.nIndex);
    }
    std::printf("%zu interface%s\n", entries.size(), entries.size() == 1 ? "" : "s");
    tool.Note("listed vendor " + std::to_string(options.nVendorID));
    return ExitOk;
}

} // namespace

void AddListCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<ListOptions>();
    CLI::App* pSub = app.add_subcommand("list", "list the attached device interfaces");
    pSub->add_option("--vid", options->nVendorID, "vendor id")->capture_default_str();
    pSub->add_option("--pid", options->nProductID, "product id (default: every Kyr product)");
    pSub->callback([&tool, options] { tool.SetExit(List(tool, *options)); });
}

} // namespace kyrhid
