// kyrhid keys: keyboard usage ids and PC scan codes, translated both ways.
#include <cstdio>
#include <cstdlib>

#include "Tool.h"

namespace kyrhid {

namespace {

struct KeysOptions {
    std::string szUsage;
    std::string szScan;
};

std::optional<int> ParseNumber(const std::string& sz, int nMax)
{
    char* pEnd = nullptr;
    const long n = std::strtol(sz.c_str(), &pEnd, 0);
    if (sz.empty() || *pEnd != '\0' || n < 0 || n > nMax)
        return std::nullopt;
    return static_cast<int>(n);
}

int Keys(Tool& tool, const KeysOptions& options)
{
    if (!options.szScan.empty()) {
        const int nScan = *ParseNumber(options.szScan, 127);
        const int nUsage = static_cast<unsigned char>(KyrFindUsageId(nScan));
        if (nUsage == 0)
            return tool.Fail("scan code " + options.szScan + " has no usage id", ExitFailure);
        std::printf("scan code 0x%02x -> usage id 0x%02x\n", nScan, nUsage);
        return ExitOk;
    }
    const int nUsage = *ParseNumber(options.szUsage, 255);
    const int nScan = KyrFindScanCode(static_cast<char>(nUsage));
    if (nScan == 0)
        return tool.Fail("usage id " + options.szUsage + " has no scan code", ExitFailure);
    std::printf("usage id 0x%02x -> scan code 0x%02x\n", nUsage, nScan);
    return ExitOk;
}

} // namespace

void AddKeysCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<KeysOptions>();
    CLI::App* pSub = app.add_subcommand("keys", "translate a keyboard usage id to a scan code, or back with --scan");
    CLI::Option* pUsage = pSub->add_option("usage", options->szUsage, "usage id, 0 to 255 (0x.. for hex)")
                              ->check([](const std::string& s) {
                                  return ParseNumber(s, 255) ? std::string() : "not a usage id: " + s;
                              });
    CLI::Option* pScan = pSub->add_option("--scan", options->szScan, "scan code, 0 to 127, to translate back")
                             ->check([](const std::string& s) {
                                 return ParseNumber(s, 127) ? std::string() : "not a scan code: " + s;
                             });
    pUsage->excludes(pScan);
    pSub->require_option(1);
    pSub->callback([&tool, options] { tool.SetExit(Keys(tool, *options)); });
}

} // namespace kyrhid
