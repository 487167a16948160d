// kyrhid record: every report a device exchanges with this process, written
// as a usbmon capture (pcap link type 220) that Wireshark and tshark dissect
// and kyrsim's replay model plays back.
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "Tool.h"
#include "UsbmonPcap.h"

namespace kyrhid {

namespace {

struct RecordOptions {
    std::string szFile;
    std::string szModes;
    unsigned short nExpire = 5000;
    double dSeconds = 0;
};

void OnTap(KYR_HANDLE, int, unsigned char nEndpoint, unsigned long long qwNs, const unsigned char* pReport,
           unsigned short nLength, void* pContext)
{
    static_cast<kyr_usbmon::CUsbmonWriter*>(pContext)->Write(nEndpoint, qwNs, std::span(pReport, nLength));
}

int Record(Tool& tool, const RecordOptions& options)
{
    OpenDevice device = tool.Open();
    if (!device)
        return tool.Exit();
    uint16_t wBus = 0;
    uint8_t nAddress = 0;
    KYR_DEVICE_INFO info = KyrGetDeviceInfoFromHandle(device.Get());
    if (info == nullptr || !kyr_usbmon::ParseDevicePath(KyrGetDevInfoPath(info), wBus, nAddress))
        return tool.Fail("the device's bus and address", KyrGetLastError());
    kyr_usbmon::CUsbmonWriter* pWriter = nullptr;
    try {
        pWriter = &device.Own<kyr_usbmon::CUsbmonWriter>(options.szFile, wBus, nAddress);
    } catch (const std::runtime_error& error) {
        return tool.Fail(error.what(), ExitFailure);
    }
    InstallStopSignals();

    DeviceState& state = device.Own<DeviceState>();
    KYR_EVENT_NOTIFY table{};
    table.Context = &state;
    table.fnOnDisconnect = &OnDeviceGone<DeviceState>;
    KyrSetEventNotify(device.Get(), &table);
    KyrSetReportTap(device.Get(), &OnTap, pWriter);

    // Without --modes the recording holds only what the device sends unasked.
    if (!options.szModes.empty()) {
        const int nMode = *ParseModeLetters(options.szModes);
        if (KyrSetInstantMode(device.Get(), nMode, options.nExpire, ~0UL) != 1 || KyrGetLastError() != KYR_SUCCESS)
            return tool.Fail("data modes " + options.szModes, KyrGetLastError());
    }

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.dSeconds);
    bool bGone = false;
    {
        std::unique_lock lock(state.csState);
        // Signals only set a flag, so the wait looks at it every 50 ms.
        while (!state.bGone && !g_bStopRequested.load(std::memory_order_relaxed) &&
               (options.dSeconds <= 0 || std::chrono::steady_clock::now() < end))
            state.cvState.wait_for(lock, std::chrono::milliseconds(50));
        bGone = state.bGone;
    }
    // No tap call runs once the device is closed: the count is final.
    device.Close();
    std::fprintf(stderr, "kyrhid: %llu reports recorded in %s\n", static_cast<unsigned long long>(pWriter->Count()),
                 options.szFile.c_str());
    if (bGone)
        return tool.FailGone();
    return ExitOk;
}

} // namespace

void AddRecordCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<RecordOptions>();
    CLI::App* pSub = app.add_subcommand(
        "record", "write every report of a device to a pcap file (usbmon format, for Wireshark and kyrsim replay)");
    tool.AddSelectionOptions(pSub);
    pSub->add_option("FILE.pcap", options->szFile, "the capture to write")->required();
    pSub->add_option("--modes", options->szModes, "data-mode letters to ask for (M C V O T G D S X); none: ask nothing")
        ->check([](const std::string& s) {
            return !s.empty() && ParseModeLetters(s) ? std::string() : "unknown data-mode letters '" + s + "'";
        });
    pSub->add_option("--expire", options->nExpire, "milliseconds the device keeps the modes; kept alive meanwhile")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    pSub->add_option("--seconds", options->dSeconds, "stop after this long (default: at Ctrl-C)")
        ->check(CLI::PositiveNumber);
    pSub->callback([&tool, options] { tool.SetExit(Record(tool, *options)); });
}

} // namespace kyrhid
