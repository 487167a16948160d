// kyrhid fw mode|version: the firmware mode or version of one unit.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "Tool.h"
#include "Units.h"

namespace kyrhid {

namespace {

struct FirmwareOptions {
    std::string szWhat;
    std::string szUnit = "MM";
    unsigned short nTimeout = 1000;
    bool bJson = false;
};

int Firmware(Tool& tool, const FirmwareOptions& options)
{
    const bool bMode = options.szWhat == "mode";
    if (!bMode && options.szWhat != "version")
        return tool.Fail("fw: unknown query '" + options.szWhat + "': fw asks for mode or version", ExitUsage);
    const unsigned short wAddr = *ParseUnit(options.szUnit);
    OpenDevice device = tool.Open();
    if (!device)
        return tool.Exit();
    VersionCatcher& catcher = device.Own<VersionCatcher>();
    catcher.Install(device.Get());
    const UnitAnswer answer = QueryUnit(device.Get(), catcher, wAddr, options.nTimeout);
    const std::string szUnit = UnitName(wAddr);
    if (bMode && answer.nMode == 0 && answer.nError != KYR_SUCCESS)
        return tool.Fail("firmware mode of " + szUnit, answer.nError);
    if (!bMode && !answer.szVersion)
        return tool.Fail("firmware version of " + szUnit,
                         answer.nError != KYR_SUCCESS ? answer.nError : KYR_ERROR_TIMEOUT);
    if (options.bJson) {
        nlohmann::json j = {{"unit", szUnit}, {"address", wAddr}};
        if (bMode) {
            j["mode"] = answer.nMode;
            j["mode_name"] = FirmwareModeName(answer.nMode);
        } else {
            j["version"] = *answer.szVersion;
        }
        std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else if (bMode) {
        std::printf("%s %d (%s)\n", szUnit.c_str(), answer.nMode, FirmwareModeName(answer.nMode));
    } else {
        std::printf("%s %s\n", szUnit.c_str(), answer.szVersion->c_str());
    }
    return ExitOk;
}

} // namespace

void AddFirmwareCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<FirmwareOptions>();
    CLI::App* pSub = app.add_subcommand("fw", "ask a unit for its firmware mode or version");
    tool.AddSelectionOptions(pSub);
    // Checked when it runs: a parse-time check would be reported under the
    // option's internal name.
    pSub->add_option("QUERY", options->szWhat, "mode or version")->required();
    pSub->add_option("--unit", options->szUnit, "MM, CM1, CM2, IAP or an address such as 0x1000")
        ->capture_default_str()
        ->check([](const std::string& s) { return ParseUnit(s) ? std::string() : "unknown unit " + s; });
    pSub->add_option("--timeout", options->nTimeout, "milliseconds to wait for each answer")->capture_default_str();
    pSub->add_flag("--json", options->bJson, "the answer as a JSON object");
    pSub->callback([&tool, options] { tool.SetExit(Firmware(tool, *options)); });
}

} // namespace kyrhid
