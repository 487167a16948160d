// kyrhid info: what the device is, which firmware its units run and which
// data modes are in force.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>

#include "Tool.h"
#include "Units.h"

namespace kyrhid {

namespace {

struct InfoOptions {
    unsigned short nTimeout = 500;
    bool bJson = false;
};

void PrintText(const nlohmann::json& j)
{
    std::printf("path       %s (bus %u device %u)\n", j["path"].get<std::string>().c_str(), j["bus"].get<unsigned>(),
                j["address"].get<unsigned>());
    std::printf("vendor     0x%04x\n", j["vendor"].get<unsigned>());
    std::printf("product    0x%04x\n", j["product"].get<unsigned>());
    std::printf("interface  %u\n", j["interface"].get<unsigned>());
    std::printf("index      %d\n", j["index"].get<int>());
    for (const nlohmann::json& unit : j["units"]) {
        std::printf("unit %-4s  0x%04x  mode %d (%s)  version %s\n", unit["name"].get<std::string>().c_str(),
                    unit["address"].get<unsigned>(), unit["mode"].get<int>(),
                    unit["mode_name"].get<std::string>().c_str(),
                    unit["version"].is_null() ? "(no answer)" : unit["version"].get<std::string>().c_str());
    }
    if (j["units"].empty())
        std::printf("units      none answered the firmware queries\n");
    if (j["data_modes"].is_null())
        std::printf("data modes (no answer: %s)\n", j["data_modes_error"].get<std::string>().c_str());
    else
        std::printf("data modes %s\n",
                    j["data_modes"].get<std::string>().empty() ? "(none)" : j["data_modes"].get<std::string>().c_str());
}

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
    nlohmann::json j = {{"path", pszPath},
                        {"bus", nBus},
                        {"address", nAddress},
                        {"vendor", KyrGetDevInfoVendorID(info)},
                        {"product", KyrGetDevInfoProductID(info)},
                        {"interface", KyrGetDevInfoInterfaceNumber(info)},
                        {"index", KyrGetDevInfoDeviceIndex(info)},
                        {"units", nlohmann::json::array()}};

    size_t nUnits = 0;
    const Unit* pUnits = KnownUnits(nUnits);
    for (size_t i = 0; i < nUnits; ++i) {
        const UnitAnswer answer = QueryUnit(h, catcher, pUnits[i].wAddr, options.nTimeout);
        if (answer.nError != KYR_SUCCESS && answer.nMode == 0) {
            tool.Note(std::string("unit ") + pUnits[i].pszName + ": " + KyrGetErrorName(answer.nError));
            if (answer.nError != KYR_ERROR_TIMEOUT)
                return tool.Fail(std::string("firmware query of ") + pUnits[i].pszName, answer.nError);
            continue;
        }
        j["units"].push_back({{"name", pUnits[i].pszName},
                              {"address", pUnits[i].wAddr},
                              {"mode", answer.nMode},
                              {"mode_name", FirmwareModeName(answer.nMode)},
                              {"version", answer.szVersion ? nlohmann::json(*answer.szVersion) : nlohmann::json()}});
    }

    // The command bit with no expire time only lets this client see
    // responses; nothing is sent, so the device's modes stay as they are.
    KyrSetInstantMode(h, KYR_HID_MODE_COMMAND, 0, ~0UL);
    if (KyrSendCommand(h, "instant_mode=?", 0, options.nTimeout) == 1) {
        const char* pszLetters = KyrGetResponse(h);
        j["data_modes"] = pszLetters != nullptr ? pszLetters : "";
    } else {
        j["data_modes"] = nullptr;
        j["data_modes_error"] = KyrGetErrorName(KyrGetLastError());
    }
    if (options.bJson)
        std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    else
        PrintText(j);
    return ExitOk;
}

} // namespace

void AddInfoCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<InfoOptions>();
    CLI::App* pSub = app.add_subcommand("info", "describe a device: ids, path, firmware of its units, data modes");
    tool.AddSelectionOptions(pSub);
    pSub->add_option("--timeout", options->nTimeout, "milliseconds to wait for each answer")->capture_default_str();
    pSub->add_flag("--json", options->bJson, "the description as a JSON object");
    pSub->callback([&tool, options] { tool.SetExit(Info(tool, *options)); });
}

} // namespace kyrhid
