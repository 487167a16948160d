// kyrhid record: every report a device exchanges with this process, written
// as a usbmon capture (pcap link type 220) that Wireshark and tshark dissect
// and kyrsim's replay model plays back. Given another subcommand, it records
// that one's session; alone, it holds the device open and records what comes.
//
// Recording starts where the device is opened (Tool's open hook), so the
// capture holds what a subcommand sends first (firmware queries, data modes)
// and a replay of it meets the same subcommand from its first report on.
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

// The capture of one kyrhid run. Made at the first open (the file names the
// device's bus and address), written by the taps of every device opened while
// recording, and closed by the record subcommand's callback once the
// recorded subcommand has returned and so closed its device. Each open device
// owns a reference too, so no tap call outlives the writer.
struct Recording {
    std::shared_ptr<kyr_usbmon::CUsbmonWriter> pWriter;
};

void OnTap(KYR_HANDLE, int, unsigned char nEndpoint, unsigned long long qwNs, const unsigned char* pReport,
           unsigned short nLength, void* pContext)
{
    static_cast<kyr_usbmon::CUsbmonWriter*>(pContext)->Write(nEndpoint, qwNs, std::span(pReport, nLength));
}

bool StartRecording(Tool& tool, const std::string& szFile, Recording& recording, OpenDevice& device)
{
    if (!recording.pWriter) {
        uint16_t wBus = 0;
        uint8_t nAddress = 0;
        KYR_DEVICE_INFO info = KyrGetDeviceInfoFromHandle(device.Get());
        if (info == nullptr || !kyr_usbmon::ParseDevicePath(KyrGetDevInfoPath(info), wBus, nAddress)) {
            tool.Fail("the device's bus and address", KyrGetLastError());
            return false;
        }
        try {
            recording.pWriter = std::make_shared<kyr_usbmon::CUsbmonWriter>(szFile, wBus, nAddress);
        } catch (const std::runtime_error& error) {
            tool.Fail(error.what(), ExitFailure);
            return false;
        }
    }
    kyr_usbmon::CUsbmonWriter* pWriter =
        device.Own<std::shared_ptr<kyr_usbmon::CUsbmonWriter>>(recording.pWriter).get();
    device.AddTap(&OnTap, pWriter);
    return true;
}

// Writes the capture out and says how much it holds.
void FinishRecording(Recording& recording, const std::string& szFile)
{
    if (!recording.pWriter)
        return; // no device was opened: nothing to write
    const uint64_t qwCount = recording.pWriter->Count();
    recording.pWriter.reset();
    std::fprintf(stderr, "kyrhid: %llu reports recorded in %s\n", static_cast<unsigned long long>(qwCount),
                 szFile.c_str());
}

// Without a subcommand: the device held open until Ctrl-C or --seconds.
int Record(Tool& tool, const RecordOptions& options)
{
    OpenDevice device = tool.Open();
    if (!device)
        return tool.Exit();
    InstallStopSignals();

    DeviceState& state = device.Own<DeviceState>();
    KYR_EVENT_NOTIFY table{};
    table.Context = &state;
    table.fnOnDisconnect = &OnDeviceGone<DeviceState>;
    KyrSetEventNotify(device.Get(), &table);

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
    if (bGone)
        return tool.FailGone();
    return ExitOk;
}

} // namespace

void AddRecordCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<RecordOptions>();
    auto recording = std::make_shared<Recording>();
    CLI::App* pSub = app.add_subcommand(
        "record", "write every report of a device to a pcap file (usbmon format, for Wireshark and kyrsim replay);\n"
                  "with a COMMAND, the reports of that command's session, from the device's open on");
    tool.AddSelectionOptions(pSub);
    pSub->add_option("FILE.pcap", options->szFile, "the capture to write")->required();
    CLI::Option* pModes =
        pSub->add_option("--modes", options->szModes,
                         "data-mode letters to ask for (M C V O T G D S X); none: ask nothing")
            ->check([](const std::string& s) {
                return !s.empty() && ParseModeLetters(s) ? std::string() : "unknown data-mode letters '" + s + "'";
            });
    CLI::Option* pExpire =
        pSub->add_option("--expire", options->nExpire, "milliseconds the device keeps the modes; kept alive meanwhile")
            ->capture_default_str()
            ->check(CLI::Range(1, 65535));
    CLI::Option* pSeconds =
        pSub->add_option("--seconds", options->dSeconds, "stop after this long (default: at Ctrl-C)")
            ->check(CLI::PositiveNumber);

    // The subcommands that open a device, recordable as they are.
    for (void (*fnAdd)(CLI::App&, Tool&) :
         {AddInfoCommand, AddMonitorCommand, AddSendCommand, AddFirmwareCommand, AddRawCommand, AddCaptureCommand})
        fnAdd(*pSub, tool);
    pSub->require_subcommand(0, 1);

    // Set while parsing, so that it is in place before any subcommand's callback opens a device.
    pSub->preparse_callback([&tool, options, recording](size_t) {
        tool.SetOpenHook([&tool, options, recording](OpenDevice& device) {
            return StartRecording(tool, options->szFile, *recording, device);
        });
    });
    pSub->parse_complete_callback([pSub, pModes, pExpire, pSeconds] {
        if (!pSub->get_subcommands().empty() && (pModes->count() + pExpire->count() + pSeconds->count()) > 0)
            throw CLI::ValidationError("--modes, --expire and --seconds",
                                       "apply to record alone; the recorded command has options of its own");
    });
    // Runs after the recorded subcommand's callback, which has closed its device.
    pSub->callback([&tool, pSub, options, recording] {
        if (pSub->get_subcommands().empty())
            tool.SetExit(Record(tool, *options));
        FinishRecording(*recording, options->szFile);
    });
}

} // namespace kyrhid
