// kyrhid watch: device interfaces arriving and leaving, as they happen.
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <thread>

#include "KyrDeviceIds.h"
#include "Tool.h"

namespace kyrhid {

namespace {

struct WatchOptions {
    unsigned short nVendorID = KYR_USB_VENDOR_ID;
    unsigned short nProductID = 0;
    bool bPresent = false;
    bool bJson = false;
    double dSeconds = 0; // 0: until Ctrl-C
};

// Runs on the library's hotplug thread, the only one that prints while the
// watch runs.
int OnHotplug(KYR_DEVICE_INFO devInfo, int nEvent, void* pContext)
{
    const auto* pOptions = static_cast<const WatchOptions*>(pContext);
    const std::string szPath = KyrGetDevInfoPath(devInfo);
    unsigned nBus = 0;
    unsigned nAddress = 0;
    std::sscanf(szPath.c_str(), "%x:%x", &nBus, &nAddress);
    const char* pszEvent = nEvent == KYR_HOTPLUG_ARRIVED ? "arrived" : "left";
    const unsigned short nVendorID = KyrGetDevInfoVendorID(devInfo);
    const unsigned short nProductID = KyrGetDevInfoProductID(devInfo);
    const unsigned short nMI = KyrGetDevInfoInterfaceNumber(devInfo);
    const int nIndex = KyrGetDevInfoDeviceIndex(devInfo);
    if (pOptions->bJson) {
        const nlohmann::json event = {{"event", pszEvent}, {"path", szPath},    {"bus", nBus},
                                      {"address", nAddress}, {"vendor", nVendorID}, {"product", nProductID},
                                      {"interface", nMI},    {"index", nIndex}};
        std::printf("%s\n", event.dump().c_str());
    } else {
        char szBusDev[16];
        std::snprintf(szBusDev, sizeof szBusDev, "%03u:%03u", nBus, nAddress);
        std::printf("%-8s %-14s %-7s 0x%04x  0x%04x   %-9u  %d\n", pszEvent, szPath.c_str(), szBusDev, nVendorID,
                    nProductID, nMI, nIndex);
    }
    std::fflush(stdout);
    return 0;
}

int Watch(Tool& tool, WatchOptions& options)
{
    InstallStopSignals();
    if (!options.bJson)
        std::printf("%-8s %-14s %-7s %-7s %-8s %-10s %s\n", "event", "path", "bus:dev", "vendor", "product",
                    "interface", "index");
    std::fflush(stdout);
    int nHandle = 0;
    const unsigned short nProduct =
        options.nProductID == 0 ? static_cast<unsigned short>(KYR_HOTPLUG_MATCH_ANY) : options.nProductID;
    if (KyrRegisterHotplugCallback(options.nVendorID, nProduct, KYR_HOTPLUG_MATCH_ANY,
                                   KYR_HOTPLUG_ARRIVED | KYR_HOTPLUG_LEFT,
                                   options.bPresent ? KYR_HOTPLUG_ENUMERATE : 0, OnHotplug, &options, &nHandle) != 1)
        return tool.Fail("watch", KyrGetLastError());
    tool.Note("watching vendor " + std::to_string(options.nVendorID));

    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::duration<double>(options.dSeconds);
    while (!g_bStopRequested.load(std::memory_order_relaxed) &&
           (options.dSeconds <= 0 || std::chrono::steady_clock::now() - start < limit))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Returns once a report being printed is done: nothing prints after it.
    KyrDeregisterHotplugCallback(nHandle);
    return ExitOk;
}

} // namespace

void AddWatchCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<WatchOptions>();
    CLI::App* pSub = app.add_subcommand("watch", "print device interfaces arriving and leaving, until Ctrl-C");
    pSub->add_option("--vid", options->nVendorID, "vendor id")->capture_default_str();
    pSub->add_option("--pid", options->nProductID, "product id (default: every product)");
    pSub->add_flag("--present", options->bPresent, "report the interfaces attached already, as arrivals, first");
    pSub->add_flag("--json", options->bJson, "one JSON object per event");
    pSub->add_option("--seconds", options->dSeconds, "stop after this long")->check(AboveZero());
    pSub->callback([&tool, options] { tool.SetExit(Watch(tool, *options)); });
}

} // namespace kyrhid
