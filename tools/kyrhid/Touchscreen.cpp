// kyrhid touchscreen: the touchscreen bridge of kyrtouchd in the foreground.
// kyrhid calibrate: a calibration matrix from four touched targets.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "Bridge.h"
#include "Options.h"
#include "Tool.h"

namespace kyrhid {

namespace {

std::optional<kyrtouch::Target> SelectTarget(Tool& tool, bool bQuiet)
{
    const std::optional<DeviceEntry> entry = tool.Select(bQuiet);
    if (!entry)
        return std::nullopt;
    return kyrtouch::Target{entry->nVendorID, entry->nProductID, entry->nMI, entry->nIndex};
}

struct CalibrateOptions {
    kyrtouch::BridgeOptions bridge; // for the settings only
    std::string szTargets = "0.125,0.125 0.875,0.125 0.875,0.875 0.125,0.875";
    std::string szTouches;
    double dSeconds = 30; // per target
};

std::optional<std::vector<kyrtouch::Point>> ParsePoints(const std::string& sz)
{
    std::vector<kyrtouch::Point> points;
    std::istringstream in(sz);
    std::string szPair;
    while (in >> szPair) {
        kyrtouch::Point p;
        char cExtra = 0;
        if (std::sscanf(szPair.c_str(), "%lf,%lf%c", &p.x, &p.y, &cExtra) != 2 || !std::isfinite(p.x) ||
            !std::isfinite(p.y))
            return std::nullopt;
        points.push_back(p);
    }
    if (points.size() != 4)
        return std::nullopt;
    return points;
}

// Touches as the read thread sees them: a finger put down and lifted is one
// touch, kept until the main thread asks for it, so a touch made before its
// prompt (or while the prompt is still being written) counts for the next
// target rather than being lost.
struct TouchCollector : DeviceState {
    double dSumX = 0, dSumY = 0;          // of the touch going on; guarded by csState
    int nSamples = 0;                     // guarded by csState
    std::vector<kyrtouch::Point> touches; // mean position of each lifted touch; guarded by csState
};

void OnCalibrationPacket(KYR_HANDLE, kyrpacket* pPacket, int, void* pContext)
{
    if (pPacket->type != kyrtype_tpt)
        return;
    auto* pCollector = static_cast<TouchCollector*>(pContext);
    std::lock_guard lock(pCollector->csState);
    if (pPacket->body.tpt.touch_count >= 1) {
        pCollector->dSumX += pPacket->body.tpt.points[0].x;
        pCollector->dSumY += pPacket->body.tpt.points[0].y;
        ++pCollector->nSamples;
    } else if (pCollector->nSamples > 0) {
        pCollector->touches.push_back(
            {pCollector->dSumX / pCollector->nSamples, pCollector->dSumY / pCollector->nSamples});
        pCollector->dSumX = pCollector->dSumY = 0;
        pCollector->nSamples = 0;
    }
    pCollector->cvState.notify_all();
}

// The mean position of each of four touches, read from the device.
std::optional<std::vector<kyrtouch::Point>> ReadTouches(Tool& tool, OpenDevice& device,
                                                        const std::vector<kyrtouch::Point>& targets, double dSeconds)
{
    auto& collector = device.Own<TouchCollector>();
    KYR_EVENT_NOTIFY table{};
    table.Context = &collector;
    table.fnOnPacket = OnCalibrationPacket;
    table.fnOnDisconnect = OnDeviceGone<TouchCollector>;
    KyrSetEventNotify(device.Get(), &table);
    if (KyrSetInstantMode(device.Get(), KYR_HID_MODE_TOUCHPNT, 5000, ~0UL) != 1 || KyrGetLastError() != KYR_SUCCESS) {
        tool.Fail("asking for touch points", KyrGetLastError());
        return std::nullopt;
    }
    InstallStopSignals();
    for (size_t i = 0; i < targets.size(); ++i) {
        std::fprintf(stderr, "Touch the target at %.3g, %.3g of the screen and lift the finger.\n", targets[i].x,
                     targets[i].y);
        std::unique_lock lock(collector.csState);
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(dSeconds);
        while (collector.touches.size() <= i) {
            if (collector.bGone) {
                tool.FailGone();
                return std::nullopt;
            }
            if (g_bStopRequested.load(std::memory_order_relaxed))
                return std::nullopt;
            if (std::chrono::steady_clock::now() >= end) {
                tool.Fail("no touch came in time", ExitTimeout);
                return std::nullopt;
            }
            collector.cvState.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    std::lock_guard lock(collector.csState);
    collector.touches.resize(targets.size()); // a touch beyond the last target is not asked for
    return collector.touches;
}

int Calibrate(Tool& tool, CalibrateOptions& options)
{
    const auto targets = ParsePoints(options.szTargets);
    if (!targets)
        return tool.Fail("--targets: expected four X,Y pairs", ExitUsage);
    std::optional<std::vector<kyrtouch::Point>> touches;
    kyrtouch::Settings settings;
    if (!options.szTouches.empty()) {
        touches = ParsePoints(options.szTouches);
        if (!touches)
            return tool.Fail("--touches: expected four X,Y pairs", ExitUsage);
        kyrtouch::LoadSettings(options.bridge.run.szConfigFile, "", 0, settings);
    } else {
        OpenDevice device = tool.Open();
        if (!device)
            return tool.Exit();
        KYR_DEVICE_INFO info = KyrGetDeviceInfoFromHandle(device.Get());
        kyrtouch::LoadSettings(options.bridge.run.szConfigFile, info != nullptr ? KyrGetDevInfoPath(info) : "",
                               info != nullptr ? KyrGetDevInfoProductID(info) : 0, settings);
        touches = ReadTouches(tool, device, *targets, options.dSeconds);
        if (!touches)
            return tool.Exit() == ExitOk ? ExitFailure : tool.Exit();
    }
    for (const auto& [szKey, szValue] : options.bridge.run.overrides)
        kyrtouch::ApplySetting(settings, szKey, szValue);
    // The matrix comes after the orientation, so the touches are oriented
    // before the fit.
    const kyrtouch::Matrix orientation = settings.orientation.ToMatrix();
    std::vector<kyrtouch::Point> oriented;
    for (const kyrtouch::Point& p : *touches)
        oriented.push_back(kyrtouch::Apply(orientation, {p.x / settings.nMaxX, p.y / settings.nMaxY}));
    const auto matrix = kyrtouch::FitMatrix(oriented, *targets);
    if (!matrix)
        return tool.Fail("the touches lie on one line; touch each target where it is shown", ExitFailure);
    std::printf("matrix = %s\n", kyrtouch::MatrixText(*matrix).c_str());
    return ExitOk;
}

} // namespace

void AddTouchscreenCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<kyrtouch::BridgeOptions>();
    CLI::App* pSub = app.add_subcommand(
        "touchscreen", "run the device as a Linux touchscreen (as kyrtouchd does) until Ctrl-C");
    tool.AddSelectionOptions(pSub);
    kyrtouch::AddBridgeOptions(pSub, *options);
    pSub->callback([&tool, options] {
        options->MakeSink();
        options->run.select = [&tool](bool bQuiet) { return SelectTarget(tool, bQuiet); };
        tool.SetExit(kyrtouch::RunBridge(options->run));
    });

    auto calibrate = std::make_shared<CalibrateOptions>();
    CLI::App* pCal = app.add_subcommand(
        "calibrate", "print a calibration matrix from four touched targets (for the touchscreen configuration)");
    tool.AddSelectionOptions(pCal);
    kyrtouch::AddBridgeOptions(pCal, calibrate->bridge);
    pCal->add_option("--targets", calibrate->szTargets, "where the four targets are, X,Y each, 0 to 1 of the screen")
        ->capture_default_str();
    pCal->add_option("--touches", calibrate->szTouches,
                     "where the four targets were touched, X,Y each in device units (no device is read then)");
    pCal->add_option("--seconds", calibrate->dSeconds, "wait this long for each touch")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    pCal->callback([&tool, calibrate] { tool.SetExit(Calibrate(tool, *calibrate)); });
}

} // namespace kyrhid
