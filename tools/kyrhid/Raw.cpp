// kyrhid raw: a ready-made report written unchanged, optionally waiting for
// the packet that answers it.
#include <cstdio>
#include <mutex>

#include "Tool.h"

namespace kyrhid {

namespace {

struct RawOptions {
    std::vector<std::string> words;
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
    const std::vector<unsigned char> bytes = ParseHexBytes(options.words);
    if (bytes.size() > 0xFFFF)
        return tool.Fail("more than 65535 bytes", ExitUsage);
    if (options.nWait != 0 && bytes.size() < 5)
        return tool.Fail("--wait needs at least 5 bytes: the awaited packet id is bytes 3 and 4", ExitUsage);
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
    CLI::App* pSub = app.add_subcommand("raw", "write a report as given in hex; print what comes back");
    tool.AddSelectionOptions(pSub);
    pSub->add_option("hex", options->words, "the bytes, e.g. 01 01 06 04 11 00 00 ..")->required();
    pSub->add_option("--wait", options->nWait,
                     "wait up to MS ms for the packet whose id is bytes 3 and 4, printing the reports meanwhile")
        ->check(CLI::Range(1, 65535));
    pSub->callback([&tool, options] { tool.SetExit(Raw(tool, *options)); });
}

} // namespace kyrhid
