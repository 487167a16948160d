// kyrhid info: what the device is, which firmware its units run and which
// data modes are in force.
#include <cstdio>
#include <cstring>

#include "Tool.h"
#include "Units.h"

namespace kyrhid {

namespace {

struct InfoOptions {
    unsigned short nTimeout = 500;
};

int Info(Tool& tool, const InfoOptions& options)
{
    OpenDevice device = tool.Open();
    if (!device)
        return tool.Exit();
    KYR_HANDLE h = device.Get();
    VersionCatcher& catcher = device.Own<VersionCatcher>();
    catcher.Install(h);

    KYR_DEVICE_INFO info = KyrGetDeviceInfoFromHandle(h);
    if (info == nullptr)
        return tool.Fail("device information", KyrGetLastError());
    const char* pszPath = KyrGetDevInfoPath(info);
    unsigned nBus = 0, nAddress = 0, nInterface = 0;
    std::sscanf(pszPath, "%x:%x:%x", &nBus, &nAddress, &nInterface);
    std::printf("path       %s (bus %u device %u)\n", pszPath, nBus, nAddress);
    std::printf("vendor     0x%04x\n", KyrGetDevInfoVendorID(info));
    std::printf("product    0x%04x\n", KyrGetDevInfoProductID(info));
    std::printf("interface  %u\n", KyrGetDevInfoInterfaceNumber(info));
    std::printf("index      %d\n", KyrGetDevInfoDeviceIndex(info));

    size_t nUnits = 0;
    const Unit* pUnits = KnownUnits(nUnits);
    int nAnswered = 0;
    for (size_t i = 0; i < nUnits; ++i) {
        const UnitAnswer answer = QueryUnit(h, catcher, pUnits[i].wAddr, options.nTimeout);
        if (answer.nError != KYR_SUCCESS && answer.nMode == 0) {
            tool.Note(std::string("unit ") + pUnits[i].pszName + ": " + KyrGetErrorName(answer.nError));
            if (answer.nError != KYR_ERROR_TIMEOUT)
                return tool.Fail(std::string("firmware query of ") + pUnits[i].pszName, answer.nError);
            continue;
        }
        ++nAnswered;
        std::printf("unit %-4s  0x%04x  mode %d (%s)  version %s\n", pUnits[i].pszName, pUnits[i].wAddr,
                    answer.nMode, FirmwareModeName(answer.nMode),
                    answer.szVersion ? answer.szVersion->c_str() : "(no answer)");
    }
    if (nAnswered == 0)
        std::printf("units      none answered the firmware queries\n");

    // The command bit with no expire time only lets this client see
    // responses; nothing is sent, so the device's modes stay as they are.
    KyrSetInstantMode(h, KYR_HID_MODE_COMMAND, 0, ~0UL);
    if (KyrSendCommand(h, "instant_mode=?", 0, options.nTimeout) == 1) {
        const char* pszLetters = KyrGetResponse(h);
        const bool bNone = pszLetters == nullptr || *pszLetters == '\0';
        std::printf("data modes %s\n", bNone ? "(none)" : pszLetters);
    } else {
        std::printf("data modes (no answer: %s)\n", KyrGetErrorName(KyrGetLastError()));
    }
    return ExitOk;
}

} // namespace

void AddInfoCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<InfoOptions>();
    CLI::App* pSub = app.add_subcommand("info", "describe a device: ids, path, firmware of its units, data modes");
    tool.AddSelectionOptions(pSub);
    pSub->add_option("--timeout", options->nTimeout, "milliseconds to wait for each answer")->capture_default_str();
    pSub->callback([&tool, options] { tool.SetExit(Info(tool, *options)); });
}

} // namespace kyrhid
