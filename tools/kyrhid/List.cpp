// kyrhid list: the attached interfaces, with the path and lsusb's bus:device,
// read from the descriptors so that a device the user may not open is listed
// and marked.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

#include "KyrDeviceIds.h"
#include "Tool.h"

namespace kyrhid {

namespace {

struct ListOptions {
    unsigned short nVendorID = KYR_USB_VENDOR_ID;
    unsigned short nProductID = 0;
    bool bJson = false;
};

int List(Tool& tool, const ListOptions& options)
{
    const std::vector<DeviceEntry> entries = EnumerateDevices(options.nVendorID, options.nProductID);
    const auto nDenied = static_cast<size_t>(
        std::count_if(entries.begin(), entries.end(), [](const DeviceEntry& entry) { return !entry.bAccess; }));
    if (options.bJson) {
        nlohmann::json rows = nlohmann::json::array();
        for (const DeviceEntry& entry : entries)
            rows.push_back({{"path", entry.szPath},        {"bus", entry.nBus},          {"address", entry.nAddress},
                            {"vendor", entry.nVendorID},   {"product", entry.nProductID}, {"interface", entry.nMI},
                            {"index", entry.nIndex},       {"access", entry.bAccess}});
        std::printf("%s\n", rows.dump().c_str());
    } else {
        std::printf("%-14s %-7s %-7s %-8s %-10s %s\n", "path", "bus:dev", "vendor", "product", "interface", "index");
        for (const DeviceEntry& entry : entries) {
            char szBusDev[16];
            std::snprintf(szBusDev, sizeof szBusDev, "%03u:%03u", entry.nBus, entry.nAddress);
            std::printf("%-14s %-7s 0x%04x  0x%04x   %-9u  %u%s\n", entry.szPath.c_str(), szBusDev,
                        entry.nVendorID, entry.nProductID, entry.nMI, entry.nIndex,
                        entry.bAccess ? "" : "      no access");
        }
        std::printf("%zu interface%s", entries.size(), entries.size() == 1 ? "" : "s");
        if (nDenied != 0)
            std::printf(", %zu not open to you", nDenied);
        std::printf("\n");
    }
    std::fflush(stdout);
    tool.Note("listed vendor " + std::to_string(options.nVendorID));
    if (nDenied == 0)
        return ExitOk;
    std::fprintf(stderr, "kyrhid: the interfaces marked \"no access\" cannot be opened by you\n");
    PrintAccessHint();
    return ExitAccessDenied;
}

} // namespace

void AddListCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<ListOptions>();
    CLI::App* pSub = app.add_subcommand("list", "list the attached device interfaces, marking those not open to you");
    pSub->add_option("--vid", options->nVendorID, "vendor id")->capture_default_str();
    pSub->add_option("--pid", options->nProductID, "product id (default: every Kyr product)");
    pSub->add_flag("--json", options->bJson, "a JSON array, one object per interface");
    pSub->callback([&tool, options] { tool.SetExit(List(tool, *options)); });
}

} // namespace kyrhid
