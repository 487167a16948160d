#include "Options.h"

namespace kyrtouch {

void BridgeOptions::MakeSink()
{
    pSink = bDryRun ? MakeEvemuSink(stdout) : MakeUinputSink();
    run.pSink = pSink.get();
}

void AddBridgeOptions(CLI::App* pApp, BridgeOptions& options)
{
    RunOptions& run = options.run;
    pApp->add_flag("--dry-run", options.bDryRun,
                   "print the input devices and their events (evemu format) on stdout instead of creating them");
    pApp->add_option("--config", run.szConfigFile, "configuration file")->capture_default_str();
    pApp->add_option("--retry-seconds", run.nRetrySeconds, "pause between attempts to open a busy device")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600));
    // Each option is checked as the file's lines are, and kept as a setting.
    auto setting = [&run](const std::string& szKey) {
        return [&run, szKey](const std::string& szValue) {
            Settings scratch;
            const std::string szError = ApplySetting(scratch, szKey, szValue);
            if (!szError.empty())
                throw CLI::ValidationError("--" + szKey, szError);
            run.overrides.emplace_back(szKey, szValue);
        };
    };
    pApp->add_option_function<std::string>("--rotate", setting("rotate"), "rotate clockwise: 0, 90, 180 or 270");
    for (const char* pszFlag : {"flip-x", "flip-y", "swap-axes"}) {
        const std::string szKey = pszFlag;
        pApp->add_flag_callback(
            std::string("--") + pszFlag, [run = &run, szKey] { run->overrides.emplace_back(szKey, "yes"); },
            szKey == "swap-axes" ? "swap the axes (before the rotation)" : "mirror this axis (after the rotation)");
    }
    pApp->add_option_function<std::string>("--matrix", setting("matrix"),
                                           "calibration matrix \"a b c d e f\" (libinput's convention)");
    pApp->add_option_function<std::vector<std::string>>(
            "--set",
            [setting](const std::vector<std::string>& items) {
                for (const std::string& szItem : items) {
                    const size_t nEq = szItem.find('=');
                    if (nEq == std::string::npos)
                        throw CLI::ValidationError("--set", "expected KEY=VALUE, not \"" + szItem + "\"");
                    setting(szItem.substr(0, nEq))(szItem.substr(nEq + 1));
                }
            },
            "any setting of the configuration file, KEY=VALUE")
        ->take_all();
}

} // namespace kyrtouch
