// kyrhid send: a text command and its whole answer, gathered from every
// response piece of the command's id up to the final one.
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <numeric>

#include <nlohmann/json.hpp>

#include "PacketText.h"
#include "Tool.h"

namespace kyrhid {

namespace {

struct SendOptions {
    std::vector<std::string> words;
    bool bAsync = false;
    unsigned short nTimeout = 2000;
    bool bJson = false;
};

struct Collected {
    std::string szText;
    int nPieces = 0;
    bool bFinal = false;
    bool bRse = false;
};

// Response pieces by command id, filled on the read thread; owned by the open
// device.
struct Answers : DeviceState {
    std::map<int, Collected> byId; // guarded by csState
    int nSyncId = -1;              // guarded by csState: id of the answer the synchronous send awaited
    Progress* pProgress = nullptr; // touched by the sending thread only
};

void OnPacket(KYR_HANDLE, kyrpacket* p, int bSync, void* pContext)
{
    if (p->type != kyrtype_rsp && p->type != kyrtype_rse)
        return;
    auto* pAnswers = static_cast<Answers*>(pContext);
    std::lock_guard lock(pAnswers->csState);
    Collected& c = pAnswers->byId[p->body.rsp.id];
    if (c.bFinal)
        return; // a repeated answer
    c.szText += FieldText(p->body.rsp.command, sizeof p->body.rsp.command);
    ++c.nPieces;
    c.bFinal = p->body.rsp.is_final != 0;
    c.bRse = p->type == kyrtype_rse;
    if (bSync == 1 && pAnswers->nSyncId < 0)
        pAnswers->nSyncId = p->body.rsp.id;
    pAnswers->cvState.notify_all();
}

// On the sending thread, on every pass of a synchronous wait.
void OnWaiting(KYR_HANDLE, void* pContext)
{
    auto* pAnswers = static_cast<Answers*>(pContext);
    if (pAnswers->pProgress != nullptr)
        pAnswers->pProgress->Tick();
}

int Send(Tool& tool, const SendOptions& options)
{
    const std::string szCommand = std::accumulate(
        std::next(options.words.begin()), options.words.end(), options.words.front(),
        [](std::string a, const std::string& b) { return std::move(a) + " " + b; });
    if (szCommand.size() > KYR_MAX_COMMAND_TEXT)
        return tool.Fail("the command " + Quoted(szCommand) + " is too long: a command holds at most " +
                             std::to_string(KYR_MAX_COMMAND_TEXT) + " characters",
                         ExitUsage);
    OpenDevice device = tool.Open();
    if (!device)
        return tool.Exit();
    KYR_HANDLE h = device.Get();
    Answers& answers = device.Own<Answers>();
    Progress& progress = device.Own<Progress>("waiting for the answer to " + Quoted(szCommand));
    answers.pProgress = &progress;
    KYR_EVENT_NOTIFY table{};
    table.Context = &answers;
    table.fnOnPacket = &OnPacket;
    table.fnOnHandleEvents = &OnWaiting;
    table.fnOnDisconnect = &OnDeviceGone<Answers>;
    KyrSetEventNotify(h, &table);

    if (szCommand.rfind("instant_mode=", 0) == 0 && szCommand != "instant_mode=?") {
        // Taken by the library as a data-mode request; its streams end with this program.
        if (KyrSendCommand(h, szCommand.c_str(), options.bAsync ? 1 : 0, options.nTimeout) <= 0 ||
            KyrGetLastError() != KYR_SUCCESS)
            return tool.Fail(Quoted(szCommand), KyrGetLastError());
        std::printf("data modes taken\n");
        return ExitOk;
    }
    // The command bit with no expire time lets responses through to this
    // client without sending anything.
    KyrSetInstantMode(h, KYR_HID_MODE_COMMAND, 0, ~0UL);

    int nId = -1;
    const int nResult = KyrSendCommand(h, szCommand.c_str(), options.bAsync ? 1 : 0, options.nTimeout);
    if (options.bAsync) {
        if (nResult < 1)
            return tool.Fail(Quoted(szCommand), KyrGetLastError());
        nId = nResult;
    } else {
        if (nResult != 1)
            return tool.Fail(Quoted(szCommand), KyrGetLastError());
        std::lock_guard lock(answers.csState);
        nId = answers.nSyncId;
    }
    Collected answer;
    bool bGone = false;
    if (nId < 0) {
        // Only an echo came: the library counts that as answered, without text.
        const char* pszResponse = KyrGetResponse(h);
        answer.szText = pszResponse != nullptr ? pszResponse : "";
        answer.bFinal = true;
    } else {
        // Each piece gives the next one the full timeout again.
        std::unique_lock lock(answers.csState);
        int nPieces = -1;
        auto deadline = std::chrono::steady_clock::now();
        for (;;) {
            const Collected& c = answers.byId[nId];
            if (c.bFinal || answers.bGone || g_bStopRequested.load(std::memory_order_relaxed))
                break;
            if (c.nPieces != nPieces) {
                nPieces = c.nPieces;
                deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.nTimeout);
            }
            if (std::chrono::steady_clock::now() >= deadline)
                break;
            answers.cvState.wait_for(lock, std::chrono::milliseconds(100));
            progress.Tick();
        }
        answer = answers.byId[nId];
        bGone = answers.bGone && !answer.bFinal;
    }
    progress.Done();
    device.Close();
    if (bGone)
        return tool.FailGone();
    if (!answer.bFinal) {
        std::printf("%s\n", answer.szText.c_str());
        return tool.Fail(Quoted(szCommand) + ": the answer stopped after " + std::to_string(answer.nPieces) +
                             " piece(s) without its final one",
                         ExitTimeout);
    }
    if (options.bJson) {
        const nlohmann::json j = {{"command", szCommand},     {"id", nId},
                                  {"kind", answer.bRse ? "rse" : "rsp"},
                                  {"pieces", answer.nPieces}, {"response", answer.szText}};
        std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        std::printf("%s\n", answer.szText.c_str());
    }
    return ExitOk;
}

} // namespace

void AddSendCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<SendOptions>();
    CLI::App* pSub = app.add_subcommand("send", "send a text command and print its whole answer");
    tool.AddSelectionOptions(pSub);
    pSub->add_option("text", options->words, "the command; several words are joined with spaces")->required();
    pSub->add_flag("--async", options->bAsync, "send without the library's wait; the answer is gathered all the same");
    pSub->add_option("--timeout", options->nTimeout, "milliseconds to wait for the answer, and for each further piece")
        ->capture_default_str();
    pSub->add_flag("--json", options->bJson, "the answer as a JSON object");
    pSub->callback([&tool, options] { tool.SetExit(Send(tool, *options)); });
}

} // namespace kyrhid
