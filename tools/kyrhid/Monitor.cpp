// kyrhid monitor: the packets (or raw reports) of a device, as text, JSON
// lines or a live full-terminal view.
#include "Monitor.h"

#include <time.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "PacketText.h"

namespace kyrhid {

namespace {

// What the read thread (and, for the raw tap, the sending threads) shares with
// the waiting main thread; owned by the open device.
struct MonitorState : DeviceState {
    const MonitorOptions* pOptions = nullptr;
    std::string szPath;             // set before the callbacks are installed
    long long llWallMinusMonoNs = 0; // likewise: turns the tap's monotonic times into wall-clock ones
    long nPrinted = 0;               // guarded by csState
    bool bDone = false;              // guarded by csState: --count reached
    bool bOwnQuery = false;          // guarded by csState: this tool's version query runs

    // Whether one more item may be printed; counts it unless it may be the
    // answer to this tool's own query. csState held.
    bool TakeOne(bool bCounts = true)
    {
        if (bDone)
            return false;
        if (!bCounts || bOwnQuery)
            return true;
        ++nPrinted;
        if (pOptions->nCount > 0 && nPrinted >= pOptions->nCount) {
            bDone = true;
            cvState.notify_all();
        }
        return true;
    }
};

long long NowNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void OnPacket(KYR_HANDLE, kyrpacket* pPacket, int bSync, void* pContext)
{
    auto* pState = static_cast<MonitorState*>(pContext);
    std::lock_guard lock(pState->csState);
    if (pState->pOptions->bRaw || !pState->TakeOne())
        return;
    if (pState->pOptions->bJson)
        std::printf("%s\n",
                    PacketJson(*pPacket, bSync == 1).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    else
        std::printf("%s\n", PacketLine(*pPacket, bSync == 1).c_str());
    std::fflush(stdout);
}

// Both directions, as usbmon text shows them: wall-clock time, interface,
// direction, bytes. Only what the device sends counts toward --count.
void OnTap(KYR_HANDLE, int nDirection, unsigned char, unsigned long long qwNs, const unsigned char* pReport,
           unsigned short nLength, void* pContext)
{
    auto* pState = static_cast<MonitorState*>(pContext);
    std::lock_guard lock(pState->csState);
    if (!pState->TakeOne(nDirection == KYR_REPORT_IN))
        return;
    const long long llWallNs = static_cast<long long>(qwNs) + pState->llWallMinusMonoNs;
    std::printf("%lld.%06lld %s %-3s %s\n", llWallNs / 1000000000LL, llWallNs % 1000000000LL / 1000,
                pState->szPath.c_str(), nDirection == KYR_REPORT_IN ? "IN" : "OUT",
                HexString(pReport, nLength).c_str());
    std::fflush(stdout);
}

int Monitor(Tool& tool, const MonitorOptions& options)
{
    OpenDevice device = tool.Open();
    if (!device)
        return tool.Exit();
    InstallStopSignals();
    if (options.bView)
        return RunView(tool, device, options);

    MonitorState& state = device.Own<MonitorState>();
    state.pOptions = &options;
    KYR_DEVICE_INFO info = KyrGetDeviceInfoFromHandle(device.Get());
    state.szPath = info != nullptr ? KyrGetDevInfoPath(info) : "?";
    state.llWallMinusMonoNs = NowNs(CLOCK_REALTIME) - NowNs(CLOCK_MONOTONIC);
    KYR_EVENT_NOTIFY table{};
    table.Context = &state;
    table.fnOnPacket = &OnPacket;
    table.fnOnDisconnect = &OnDeviceGone<MonitorState>;
    KyrSetEventNotify(device.Get(), &table);
    if (options.bRaw)
        device.AddTap(&OnTap, &state);

    // The version is shown first; its answer is not what --count counts.
    {
        std::lock_guard lock(state.csState);
        state.bOwnQuery = true;
    }
    int nMode = 0;
    if (KyrQueryFirmwareVersion(device.Get(), 0x1000, &nMode, 0, 1000) != 1)
        tool.Note(std::string("the main module did not answer the firmware query: ") +
                  KyrGetErrorName(KyrGetLastError()));
    {
        std::lock_guard lock(state.csState);
        state.bOwnQuery = false;
    }
    if (KyrSetInstantMode(device.Get(), options.nMode, options.nExpire, ~0UL) != 1 ||
        KyrGetLastError() != KYR_SUCCESS)
        return tool.Fail("data modes " + options.szModes, KyrGetLastError());

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.dSeconds);
    bool bGone = false;
    {
        std::unique_lock lock(state.csState);
        // Signals only set a flag, so the wait looks at it every 50 ms.
        while (!state.bDone && !state.bGone && !g_bStopRequested.load(std::memory_order_relaxed) &&
               (options.dSeconds <= 0 || std::chrono::steady_clock::now() < end))
            state.cvState.wait_for(lock, std::chrono::milliseconds(50));
        bGone = state.bGone;
    }
    device.Close();
    if (bGone)
        return tool.FailGone();
    return ExitOk;
}

} // namespace

void AddMonitorCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<MonitorOptions>();
    CLI::App* pSub = app.add_subcommand("monitor", "print the decoded packets of a device until Ctrl-C");
    tool.AddSelectionOptions(pSub);
    pSub->add_option("--modes", options->szModes,
                     "data-mode letters: M message, C command, V view, O objects, T touch points, G gestures,\n"
                     "D device reports, S single touch, X mouse disabled")
        ->capture_default_str()
        ->check([](const std::string& s) {
            return !s.empty() && ParseModeLetters(s) ? std::string() : "unknown data-mode letters '" + s + "'";
        });
    pSub->add_option("--expire", options->nExpire, "milliseconds the device keeps the modes; kept alive meanwhile")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    pSub->add_option("--count", options->nCount,
                     "stop after this many packets (reports from the device with --raw); the answer to the\n"
                     "version query at the start is shown but not counted")
        ->check(AtLeastOne());
    pSub->add_option("--seconds", options->dSeconds, "stop after this long")->check(AboveZero());
    CLI::Option* pJson = pSub->add_flag("--json", options->bJson, "one JSON object per packet");
    CLI::Option* pRaw = pSub->add_flag(
        "--raw", options->bRaw,
        "the 64-byte reports in hex instead of packets, both ways: time, path, IN or OUT, bytes");
    CLI::Option* pView = pSub->add_flag(
        "--view", options->bView,
        "live full-terminal picture; q or Ctrl-C quits. Not to a terminal: a plain summary line a second");
    pJson->excludes(pRaw);
    pView->excludes(pJson)->excludes(pRaw);
    pSub->callback([&tool, options] {
        options->nMode = *ParseModeLetters(options->szModes);
        tool.SetExit(Monitor(tool, *options));
    });
}

} // namespace kyrhid
