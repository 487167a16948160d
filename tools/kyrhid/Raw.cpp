// kyrhid raw: one report built from the bytes given, padded to the report
// size and optionally sealed with the packet CRC, then written; optionally
// waits for the packet that answers it.
#include <cstdio>
#include <mutex>

#include "Tool.h"

namespace kyrhid {

namespace {

// Every report on the wire is this long; the library writes a longer buffer
// as several reports, which would no longer be the one report asked for.
constexpr size_t kReportSize = 64;
// Report id, piece kind and payload length come before the packet bytes.
constexpr size_t kReportHeader = 3;
constexpr size_t kCrcSize = 2;

struct RawOptions {
    std::vector<std::string> words;
    bool bCrc = false;
    unsigned short nWait = 0; // 0: do not wait
};

std::mutex s_csPrint;

int OnReport(KYR_HANDLE, unsigned char* pBuffer, unsigned short nLength, void*)
{
    std::lock_guard lock(s_csPrint);
    std::printf("< %s\n", HexString(pBuffer, nLength).c_str());
    std::fflush(stdout);
    return 0;
}

int Raw(Tool& tool, const RawOptions& options)
{
    std::vector<unsigned char> bytes = ParseHexBytes(options.words);
    const size_t nRoom = kReportSize - (options.bCrc ? kCrcSize : 0);
    if (bytes.size() > nRoom)
        return tool.Fail("a report holds " + std::to_string(kReportSize) + " bytes" +
                             (options.bCrc ? " with the CRC, so at most " + std::to_string(nRoom) + " may be given"
                                           : "") +
                             "; " + std::to_string(bytes.size()) + " were given",
                         ExitUsage);
    if (options.bCrc && bytes.size() <= kReportHeader)
        return tool.Fail("--crc needs packet bytes after the 3 header bytes of the report", ExitUsage);
    if (options.nWait != 0 && bytes.size() < 5)
        return tool.Fail("--wait needs at least 5 bytes: the awaited packet id is bytes 3 and 4", ExitUsage);
    if (options.bCrc) {
        const size_t nPacket = bytes.size() - kReportHeader;
        bytes.resize(bytes.size() + kCrcSize);
        KyrCalculateCRC(bytes.data() + kReportHeader, static_cast<unsigned short>(nPacket));
    }
    bytes.resize(kReportSize, 0);

    OpenDevice device = tool.Open();
    if (!device)
        return tool.Exit();
    Progress& progress = device.Own<Progress>("waiting for the answer");
    KYR_EVENT_NOTIFY table{};
    table.Context = &progress; // touched on this thread only, inside the synchronous send
    table.fnOnReceiveRawData = &OnReport;
    table.fnOnHandleEvents = [](KYR_HANDLE, void* pContext) { static_cast<Progress*>(pContext)->Tick(); };
    KyrSetEventNotify(device.Get(), &table);
    {
        std::lock_guard lock(s_csPrint);
        std::printf("> %s\n", HexString(bytes.data(), bytes.size()).c_str());
        std::fflush(stdout);
    }
    const bool bWait = options.nWait != 0;
    const int nResult = KyrSendBuffer(device.Get(), bytes.data(), static_cast<unsigned short>(bytes.size()),
                                      bWait ? 0 : 1, options.nWait);
    const int nError = KyrGetLastError();
    progress.Done();
    device.Close();
    if (nResult == 1)
        return ExitOk;
    if (nError == KYR_SUCCESS) {
        char szId[64];
        std::snprintf(szId, sizeof szId, "no packet 0x%02x%02x came back within %u ms", bytes[4], bytes[3],
                      options.nWait);
        return tool.Fail(szId, ExitTimeout);
    }
    return tool.Fail("raw send", nError);
}

} // namespace

void AddRawCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<RawOptions>();
    CLI::App* pSub = app.add_subcommand("raw", "write one report given in hex; print what comes back");
    tool.AddSelectionOptions(pSub);
    pSub->add_option("hex", options->words,
                     "the report: id, piece kind, payload length, then the packet, padded with zeros to 64 bytes")
        ->required();
    pSub->add_flag("--crc", options->bCrc, "append the packet CRC of the bytes after the 3 header bytes");
    pSub->add_option("--wait", options->nWait,
                     "wait up to MS ms for the packet whose id is bytes 3 and 4, printing the reports meanwhile")
        ->check(CLI::Range(1, 65535));
    pSub->footer("Example: the main module's firmware mode, and its answer:\n"
                 "  kyrhid raw 01 01 06 04 11 00 00 --crc --wait 500");
    pSub->callback([&tool, options] { tool.SetExit(Raw(tool, *options)); });
}

} // namespace kyrhid
