// The protocol device: answers text commands and firmware queries, streams
// what instant mode asks for, and spoils its output as the fault rules say.
//
// Everything the device sends leaves from one thread of its own, in due-time
// order: late answers need a timer anyway, the usbfs worker that delivers
// OUT reports must not block, and faults such as a stall have to hold back
// answers and streams alike.
#include "../../DeviceModel.h"
#include "KyrFirmware.h"
#include "KyrOptions.h"
#include "KyrOutput.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <pthread.h>
#include <thread>

namespace kyrsim::kyr {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string Printable(const std::string& szText)
{
    std::string szOut = szText;
    for (char& c : szOut) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    }
    return szOut;
}

class CKyrDevice final : public IModelControl {
public:
    explicit CKyrDevice(KyrOptions options)
        : m_options(std::move(options)), m_faults(m_options.faults, m_options.dwSeed), m_modes(m_options.firmwareModes)
    {
        if (m_options.touchScript)
            m_touchScript.Add(*m_options.touchScript);
        if (m_options.reportScript)
            m_reportScript.Add(*m_options.reportScript);
    }

    void Attach(const ModelContext& context)
    {
        m_start = Clock::now();
        m_pSink = &context.sink;
        m_interfaces = context.interfaces;
        m_nStreamInterface = m_interfaces.empty() ? 0 : m_interfaces.front();
        m_thread = std::jthread([this](std::stop_token stop) {
            pthread_setname_np(pthread_self(), "kyr-device");
            Run(stop);
        });
    }

    void Detach()
    {
        if (m_thread.joinable()) {
            m_thread.request_stop();
            m_thread.join();
        }
        m_pSink = nullptr;
    }

    // usbfs worker thread.
    void OnOutReport(int nInterface, std::span<const uint8_t> report)
    {
        Inbound& in = m_inbound[nInterface];
        // A query is one report of its own; the last report of a longer
        // command packet may look like one.
        const bool bStandalone = !in.bPending;
        in.bPending = report.size() == 64 && report[1] == 0x00;
        if (bStandalone) {
            if (const std::optional<Query> query = ParseQuery(report)) {
                AnswerQuery(nInterface, *query);
                return;
            }
        }
        if (std::optional<encoder::Command> command = in.assembler.Feed(report))
            AnswerCommandPacket(nInterface, *command);
    }

    std::optional<std::string> HandleRequest(const std::vector<std::string>& words) override
    {
        const std::string& szVerb = words[0];
        if (szVerb == "mode") {
            if (words.size() != 4)
                return "error usage: mode N U M";
            const std::optional<uint16_t> unit = ParseUnit(words[2]);
            if (!unit)
                return "error no unit '" + words[2] + "'";
            long lMode = -1;
            if (words[3] != "none") {
                char* pEnd = nullptr;
                lMode = std::strtol(words[3].c_str(), &pEnd, 0);
                if (words[3].empty() || *pEnd != '\0' || lMode < 0 || lMode > 0xFFFF)
                    return "error mode '" + words[3] + "' is not 0..65535 or none";
            }
            std::lock_guard lock(m_mutex);
            if (lMode < 0)
                m_modes.erase(*unit);
            else
                m_modes[*unit] = static_cast<uint16_t>(lMode);
            return "ok";
        }
        if (szVerb == "cmdtimes") {
            if (words.size() != 2 && words.size() != 3)
                return "error usage: cmdtimes N [PREFIX]";
            const std::string szPrefix = words.size() == 3 ? words[2] : "";
            std::lock_guard lock(m_mutex);
            std::string szTimes;
            for (const auto& [qwMs, szText] : m_commandTimes) {
                if (szText.rfind(szPrefix, 0) == 0)
                    szTimes.append(szTimes.empty() ? "" : " ").append(std::to_string(qwMs));
            }
            return szTimes;
        }
        if (szVerb == "touch" || szVerb == "report") {
            if (words.size() != 3)
                return "error usage: " + szVerb + " N " + (szVerb == "touch" ? "FRAMES" : "REPORTS");
            try {
                std::lock_guard lock(m_mutex);
                const size_t nPending = szVerb == "touch" ? m_touchScript.Add(ParseTouchFrames(words[2]))
                                                          : m_reportScript.Add(ParseDeviceReports(words[2]));
                ++m_qwChanges;
                m_cv.notify_all();
                return "ok " + std::to_string(nPending);
            } catch (const std::invalid_argument& e) {
                return std::string("error ") + e.what();
            }
        }
        if (szVerb == "touched" || szVerb == "reported") {
            if (words.size() != 2)
                return "error usage: " + szVerb + " N";
            std::lock_guard lock(m_mutex);
            return szVerb == "touched" ? m_touchScript.Counts() : m_reportScript.Counts();
        }
        static const char* const plain[] = {"commands", "lastcmd", "streams", "faults", "kinds"};
        if (std::find(std::begin(plain), std::end(plain), szVerb) == std::end(plain))
            return std::nullopt;
        if (words.size() != 2)
            return "error usage: " + szVerb + " N";
        if (szVerb == "faults")
            return m_faults.Counts();
        if (szVerb == "kinds") {
            const std::string szKinds = m_faults.KindCounts();
            return "reports=" + std::to_string(m_qwReports.load()) + (szKinds.empty() ? "" : " ") + szKinds;
        }
        std::lock_guard lock(m_mutex);
        if (szVerb == "commands")
            return std::to_string(m_qwCommands);
        if (szVerb == "lastcmd")
            return m_lastCommand ? std::to_string(m_lastCommand->id) + " " + Printable(m_lastCommand->text) : "none";
        return StreamingLocked(Clock::now());
    }

private:
    struct Inbound {
        encoder::CCommandAssembler assembler;
        bool bPending = false;  // a report of type 0 began a packet
    };

    static constexpr int kEveryInterface = -1;
    // IN reports a device keeps for a host that is slow to poll.
    static constexpr size_t kDeviceBuffer = 4;
    static constexpr size_t kCommandTimes = 1000;

    struct Job {
        Clock::time_point due;
        int nInterface = 0;  // or kEveryInterface
        OutPacket packet;
        bool bSample = false;  // a stream sample: lost, not delayed, by a stall
    };

    struct Stream {
        Clock::time_point next;
        uint32_t nSample = 0;
    };

    // What a test chose for one stream to send. Once it exists it replaces the
    // made-up samples for good, so that a host sees nothing the test did not say.
    template <typename T>
    struct Script {
        bool bActive = false;
        std::deque<T> pending;
        uint64_t qwSent = 0;  // taken from the script to be sent

        size_t Add(const std::vector<T>& items)
        {
            bActive = true;
            pending.insert(pending.end(), items.begin(), items.end());
            return pending.size();
        }
        std::string Counts() const
        {
            return "sent=" + std::to_string(qwSent) + " pending=" + std::to_string(pending.size());
        }
        std::optional<T> Next()
        {
            if (pending.empty())
                return std::nullopt;
            T item = std::move(pending.front());
            pending.pop_front();
            ++qwSent;
            return item;
        }
    };

    // The packets of the next scripted sample of stream cLetter (none while
    // its script is empty); nullopt when the stream has no script.
    std::optional<std::vector<OutPacket>> ScriptedSampleLocked(char cLetter, uint16_t wTick)
    {
        std::vector<OutPacket> packets;
        if (cLetter == 'T' && m_touchScript.bActive) {
            if (std::optional<TouchFrame> frame = m_touchScript.Next())
                packets.push_back(
                    Plain(encoder::TouchPoints(wTick, static_cast<uint16_t>(frame->size()), *frame)));
            return packets;
        }
        if (cLetter == 'D' && m_reportScript.bActive) {
            if (std::optional<encoder::DeviceState> report = m_reportScript.Next())
                packets.push_back(Plain(encoder::DeviceReport(wTick, *report)));
            return packets;
        }
        return std::nullopt;
    }

    uint16_t Tick(Clock::time_point now) const
    {
        return static_cast<uint16_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count());
    }

    // Instant-mode letters in force; the request lapses at its deadline.
    std::string LettersLocked(Clock::time_point now) const { return now < m_instantUntil ? m_szInstant : ""; }

    // The letters that stream now, in table order.
    std::string StreamingLocked(Clock::time_point now) const
    {
        const std::string szWanted = CanonicalLetters(m_options.szStreams + LettersLocked(now));
        std::string szStreaming;
        for (char c : szWanted) {
            if (kStreamLetters.find(c) != std::string_view::npos)
                szStreaming += c;
        }
        return szStreaming;
    }

    void PushLocked(Clock::time_point due, int nInterface, OutPacket packet)
    {
        m_jobs.emplace(due, Job{due, nInterface, std::move(packet), false});
        ++m_qwChanges;
    }

    void AnswerQuery(int nInterface, const Query& query)
    {
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(m_mutex);
        const auto itMode = m_modes.find(query.wAddr);
        if (itMode == m_modes.end())
            return;  // no such unit
        switch (query.kind) {
        case QueryKind::Mode:
            PushLocked(now, nInterface, Plain(encoder::FirmwareMode(query.wAddr, itMode->second)));
            break;
        case QueryKind::IapVersion:
            PushLocked(now, nInterface, Plain(encoder::IapVersion(query.wAddr, kIapModel)));
            break;
        case QueryKind::AppVersion:
            PushLocked(now, nInterface, Plain(encoder::Version(query.wAddr, Tick(now), UnitVersion(query.wAddr))));
            break;
        }
        m_cv.notify_all();
    }

    void AnswerCommandPacket(int nInterface, const encoder::Command& command)
    {
        const Clock::time_point now = Clock::now();
        const uint16_t wTick = Tick(now);
        std::lock_guard lock(m_mutex);
        ++m_qwCommands;
        m_lastCommand = command;
        if (m_commandTimes.size() == kCommandTimes)
            m_commandTimes.pop_front();
        m_commandTimes.emplace_back(std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count(),
                                    command.text);

        std::vector<TextPacket> answer;
        if (const std::optional<InstantRequest> request = ParseInstantMode(command.text)) {
            if (request->lTimeMs > 0 && !request->szLetters.empty()) {
                m_szInstant = request->szLetters;
                m_instantUntil = now + std::chrono::milliseconds(request->lTimeMs);
                m_gesture = request->gesture;
                m_nStreamInterface = nInterface;
            } else {
                m_szInstant.clear();
                m_instantUntil = now;
            }
            ++m_qwChanges;
            answer = Pieces(LettersLocked(now), m_options.nChunk);
        } else if (command.text == kInstantModeQuery) {
            answer = Pieces(LettersLocked(now), m_options.nChunk);
        } else {
            const DeviceView view{LettersLocked(now), now < m_instantUntil ? m_gesture : std::nullopt,
                                  static_cast<uint64_t>(
                                      std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count()),
                                  m_qwCommands};
            answer = AnswerCommand(command.text, view, m_options.nChunk);
        }

        if (m_options.bEcho)
            PushLocked(now, nInterface,
                       Plain(encoder::Text(encoder::kAddrMM, encoder::TextKind::Command, wTick, command.id,
                                           command.text)));
        if (!m_options.bSilent) {
            // Command ids run 1..255; a foreign answer must still look like one.
            const uint8_t nId = m_options.bForeign ? static_cast<uint8_t>(command.id % 255 + 1) : command.id;
            const Clock::time_point due = now + std::chrono::milliseconds(m_options.nLateMs);
            for (int nCopy = 0; nCopy < (m_options.bTwice ? 2 : 1); ++nCopy) {
                for (const TextPacket& piece : answer) {
                    PushLocked(due, nInterface,
                               Plain(encoder::Text(encoder::kAddrMM, piece.kind, wTick, nId, piece.text)));
                }
            }
        }
        m_cv.notify_all();
    }

    // The sending thread.
    void Run(std::stop_token stop)
    {
        std::map<char, Stream> streams;
        Clock::time_point stallUntil;
        std::unique_lock lock(m_mutex);
        while (!stop.stop_requested()) {
            const Clock::time_point now = Clock::now();
            const std::string szStreaming = StreamingLocked(now);
            for (auto it = streams.begin(); it != streams.end();)
                it = szStreaming.find(it->first) == std::string::npos ? streams.erase(it) : std::next(it);
            for (char c : szStreaming)
                streams.try_emplace(c, Stream{now, 0});

            std::vector<Job> due;
            if (now >= stallUntil) {
                while (!m_jobs.empty() && m_jobs.begin()->first <= now) {
                    due.push_back(std::move(m_jobs.begin()->second));
                    m_jobs.erase(m_jobs.begin());
                }
                for (auto& [cLetter, stream] : streams) {
                    if (stream.next > now)
                        continue;
                    // Streams of the command line have no command to say where the
                    // host listens; unclaimed interfaces drop their reports.
                    const int nInterface = m_options.szStreams.find(cLetter) != std::string::npos
                                               ? kEveryInterface
                                               : m_nStreamInterface;
                    // Scripted frames are answers in this respect: never lost, only late.
                    if (std::optional<std::vector<OutPacket>> scripted = ScriptedSampleLocked(cLetter, Tick(now))) {
                        for (OutPacket& packet : *scripted)
                            due.push_back(Job{now, nInterface, std::move(packet), false});
                    } else {
                        for (OutPacket& packet : StreamSample(cLetter, stream.nSample++, Tick(now)))
                            due.push_back(Job{now, nInterface, std::move(packet), true});
                    }
                    // Missed samples are not made up: a device samples the present.
                    stream.next += std::chrono::microseconds(1000000 / m_options.rates.at(cLetter));
                    if (stream.next <= now)
                        stream.next = now + std::chrono::microseconds(1000000 / m_options.rates.at(cLetter));
                }
            }

            if (!due.empty()) {
                lock.unlock();
                const size_t nSent = Send(due, stallUntil);
                lock.lock();
                // A stall holds back the answers still due, ahead of any
                // later ones; the stream samples are lost.
                for (size_t i = nSent; i < due.size(); ++i) {
                    if (!due[i].bSample) {
                        const Clock::time_point when = due[i].due;
                        m_jobs.emplace(when, std::move(due[i]));
                    }
                }
                continue;
            }

            Clock::time_point wake = now + 1s;
            if (now < stallUntil) {
                wake = stallUntil;
            } else {
                if (!m_jobs.empty())
                    wake = std::min(wake, m_jobs.begin()->first);
                for (const auto& entry : streams)
                    wake = std::min(wake, entry.second.next);
            }
            if (now < m_instantUntil)
                wake = std::min(wake, m_instantUntil);
            const uint64_t qwSeen = m_qwChanges;
            m_cv.wait_until(lock, stop, wake, [&] { return m_qwChanges != qwSeen; });
        }
    }

    // The interfaces on which the host has left more reports unread than a
    // device holds for it.
    std::set<int> BackloggedInterfaces() const
    {
        std::set<int> backlogged;
        for (int nInterface : m_interfaces) {
            if (m_pSink->BackloggedInReports(nInterface) >= kDeviceBuffer)
                backlogged.insert(nInterface);
        }
        return backlogged;
    }

    // Sends jobs in order until a stall begins; returns how many went out.
    size_t Send(std::vector<Job>& jobs, Clock::time_point& stallUntil)
    {
        // A host that polls more slowly than the device samples loses the
        // samples that fall due while it is behind, never answers: a device
        // samples the present, and an answer must not wait behind seconds of
        // stale samples. Judged once for all the samples due together, so
        // that no stream starves another.
        const std::set<int> backlogged = BackloggedInterfaces();
        const auto lost = [&](const Job& job) {
            return job.bSample && (job.nInterface == kEveryInterface ? !backlogged.empty()
                                                                     : backlogged.count(job.nInterface) != 0);
        };
        for (size_t i = 0; i < jobs.size(); ++i) {
            if (lost(jobs[i]))
                continue;
            const CFaultInjector::Output out = m_faults.Send(std::move(jobs[i].packet));
            // Counted before they leave, so that a host that has them finds them counted.
            for (const encoder::Report& report : out.reports) {
                if (jobs[i].nInterface != kEveryInterface) {
                    ++m_qwReports;
                    m_pSink->EmitInReport(jobs[i].nInterface, report);
                    continue;
                }
                for (int nInterface : m_interfaces) {
                    ++m_qwReports;
                    m_pSink->EmitInReport(nInterface, report);
                }
            }
            if (out.nStallMs != 0) {
                stallUntil = Clock::now() + std::chrono::milliseconds(out.nStallMs);
                return i + 1;
            }
        }
        return jobs.size();
    }

    const KyrOptions m_options;
    Clock::time_point m_start;               // written before the thread starts
    IReportSink* m_pSink = nullptr;          // valid while the thread runs
    std::vector<int> m_interfaces;           // written before the thread starts
    std::map<int, Inbound> m_inbound;        // usbfs worker thread only
    CFaultInjector m_faults;                 // sending thread; counters read from any thread
    std::atomic<uint64_t> m_qwReports{0};    // IN reports sent, on any interface
    std::jthread m_thread;

    // Lock order: m_mutex is a leaf, never held while the sink runs.
    std::mutex m_mutex;
    std::condition_variable_any m_cv;                     // wakes the sending thread
    std::multimap<Clock::time_point, Job> m_jobs;         // guarded by m_mutex
    std::map<uint16_t, uint16_t> m_modes;                 // guarded by m_mutex
    uint64_t m_qwCommands = 0;                            // guarded by m_mutex
    std::optional<encoder::Command> m_lastCommand;        // guarded by m_mutex
    // When the latest commands arrived (ms since attach), with their texts.
    std::deque<std::pair<uint64_t, std::string>> m_commandTimes;  // guarded by m_mutex
    std::string m_szInstant;                              // guarded by m_mutex
    Clock::time_point m_instantUntil;                     // guarded by m_mutex
    std::optional<uint64_t> m_gesture;                    // guarded by m_mutex
    int m_nStreamInterface = 0;                           // guarded by m_mutex
    uint64_t m_qwChanges = 0;                             // guarded by m_mutex; bumped for the sending thread
    Script<TouchFrame> m_touchScript;                     // guarded by m_mutex
    Script<encoder::DeviceState> m_reportScript;          // guarded by m_mutex
};

const ModelRegistration registration("kyr", [](const ModelOptions& options) -> std::unique_ptr<IDeviceModel> {
    return std::make_unique<CControlledModel<CKyrDevice>>(std::make_shared<CKyrDevice>(ParseKyrOptions(options)));
});

}  // namespace
}  // namespace kyrsim::kyr
