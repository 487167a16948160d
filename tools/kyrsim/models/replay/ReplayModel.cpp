// Plays the device side of a usbmon capture (kyrhid record, or tcpdump and
// Wireshark on usbmon): IN reports go out at their recorded distance from the
// OUT report that preceded them, once the host has sent that OUT report; each
// OUT report is checked against the recorded one.
//
// Decisions: the k-th OUT report the host sends is matched against the k-th
// recorded one, whatever its content; a mismatch is logged and counted and
// the playback goes on as if it had matched, so one stray byte does not stall
// the rest. Reports of a recorded text command (an intact 0x1007 packet) are
// compared without the command id and the CRC, since the host draws ids from
// a counter its earlier runs have moved on; the host's packet must still be
// intact. The recorded echo, responses and status of that command then go out
// with the host's id and a CRC made anew. Every other OUT report compares
// byte for byte. OUT reports beyond the recording are counted as extra. IN
// reports recorded before the first OUT report are timed from the device's
// attach, as a device that streams unasked would send them (and, like those,
// are dropped while no program holds the interface). Endpoint n (IN or OUT)
// belongs to interface log2(n), the layout of the devices and of kyrsim's.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "../../DeviceModel.h"
#include "../../Options.h"
#include "PacketEncoder.h"
#include "UsbmonPcap.h"

namespace kyrsim::replay {

namespace {

using Clock = std::chrono::steady_clock;

struct ReplayEvent {
    bool bIn;
    int nInterface;
    uint64_t qwTimeUs;  // as recorded
    std::vector<uint8_t> data;
    // The single-series packet the report belongs to (an index into
    // CommandPackets::packets, -1 for none of interest), and where in that
    // packet its payload begins.
    int nPacket = -1;
    size_t nPacketOffset = 0;
};

// Offsets in a text packet: id, tick, body type, command id, size, text, CRC.
constexpr size_t kCommandIdOffset = 5;
constexpr size_t kTextPacketMin = 11;
constexpr size_t kPayloadOffset = 3;  // of a report: report id, type, size
constexpr uint16_t kCommandPacketId = 0x1007;

bool IsTextKind(uint16_t wPacketId)
{
    switch (wPacketId & 0x0FFF) {
    case 0x007:  // command echo
    case 0x008:  // response
    case 0x009:  // continued response
    case 0x00A:  // response of an error
    case 0x00C:  // status
        return true;
    default: return false;
    }
}

// A recorded packet that carries a command id: a command the host sent, or
// an IN packet that answers one (nCommand: the index of that command in
// CommandPackets::packets, -1 when no recorded command had its id).
struct TextPacket {
    bool bIn;
    std::vector<uint8_t> bytes;  // CRC included
    int nCommand = -1;
};

struct CommandPackets {
    std::vector<TextPacket> packets;
};

// Joins the single-series reports of each interface and direction into
// packets, marking the reports of the text packets in `events`.
CommandPackets FindTextPackets(std::vector<ReplayEvent>& events);

std::string DeviceName(uint16_t wBus, uint8_t nDevice)
{
    return std::to_string(wBus) + ":" + std::to_string(nDevice);
}

std::optional<int> InterfaceOf(uint8_t nEndpoint)
{
    const unsigned nNumber = nEndpoint & 0x7F;
    for (int i = 0; i < 4; ++i) {
        if (nNumber == (1u << i))
            return i;
    }
    return std::nullopt;
}

std::pair<uint16_t, uint8_t> ParseSelection(const std::string& szText)
{
    const size_t nColon = szText.find(':');
    if (nColon == std::string::npos)
        throw std::invalid_argument("select=" + szText + ": expected BUS:DEV");
    const long lBus = ParseNumber(szText.substr(0, nColon), "select bus");
    const long lDevice = ParseNumber(szText.substr(nColon + 1), "select device");
    if (lBus < 0 || lBus > 0xFFFF || lDevice < 0 || lDevice > 0xFF)
        throw std::invalid_argument("select=" + szText + " is out of range");
    return {static_cast<uint16_t>(lBus), static_cast<uint8_t>(lDevice)};
}

std::string Hex(std::span<const uint8_t> bytes)
{
    std::string szHex;
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        szHex += digits;
    }
    return szHex;
}

// The events of one device of the capture, in file order.
std::vector<ReplayEvent> SelectDevice(const std::vector<kyr_usbmon::Transfer>& transfers,
                                      std::optional<std::pair<uint16_t, uint8_t>> selection);

uint16_t StoredCrc(std::span<const uint8_t> packet)
{
    return static_cast<uint16_t>(packet[packet.size() - 2] | packet[packet.size() - 1] << 8);
}

bool IsIntact(std::span<const uint8_t> packet)
{
    return packet.size() >= kTextPacketMin && encoder::Crc16(packet.first(packet.size() - 2)) == StoredCrc(packet);
}

// Whether packet offset nOffset is the command id or a CRC byte.
bool IsIdOrCrc(size_t nOffset, size_t nPacketLength)
{
    return nOffset == kCommandIdOffset || nOffset + 2 >= nPacketLength;
}

class CReplayDevice final : public IModelControl {
public:
    CReplayDevice(std::vector<ReplayEvent> events, CommandPackets commands)
        : m_events(std::move(events)), m_commands(std::move(commands)), m_liveIds(m_commands.packets.size())
    {
        for (const ReplayEvent& event : m_events) {
            if (event.bIn)
                ++m_nRecordedIn;
            else
                m_recordedOut.push_back(&event);
        }
    }

    void Attach(const ModelContext& context)
    {
        m_pSink = &context.sink;
        m_thread = std::jthread([this](std::stop_token stop) { Play(stop); });
    }

    void Detach()
    {
        m_thread.request_stop();
        if (m_thread.joinable())
            m_thread.join();
        m_pSink = nullptr;
    }

    // The usbfs worker: never blocks beyond m_mutex.
    void OnOutReport(int nInterface, std::span<const uint8_t> report)
    {
        std::lock_guard lock(m_mutex);
        const size_t nIndex = m_outArrivals.size();
        m_outArrivals.push_back(Clock::now());
        if (nIndex >= m_recordedOut.size()) {
            ++m_qwExtra;
            std::fprintf(stderr, "kyrsim: replay: OUT report %zu on interface %d is beyond the recording: %s\n",
                         nIndex + 1, nInterface, Hex(report).c_str());
        } else {
            const ReplayEvent& recorded = *m_recordedOut[nIndex];
            const bool bMatch = recorded.nPacket >= 0 ? MatchCommandReport(recorded, nInterface, report)
                                                      : recorded.nInterface == nInterface &&
                                                            std::ranges::equal(report, recorded.data);
            if (bMatch) {
                ++m_qwMatched;
            } else {
                ++m_qwMismatched;
                std::fprintf(stderr,
                             "kyrsim: replay: OUT report %zu differs from the recording%s\n"
                             "  got      (interface %d) %s\n  recorded (interface %d) %s\n",
                             nIndex + 1, recorded.nPacket >= 0 ? " (command id and CRC aside)" : "", nInterface,
                             Hex(report).c_str(), recorded.nInterface, Hex(recorded.data).c_str());
            }
        }
        m_cv.notify_all();
    }

    std::optional<std::string> HandleRequest(const std::vector<std::string>& words) override
    {
        if (words[0] != "replay")
            return std::nullopt;
        if (words.size() != 2)
            return "error usage: replay N";
        std::lock_guard lock(m_mutex);
        return "out=" + std::to_string(m_outArrivals.size()) + " matched=" + std::to_string(m_qwMatched) +
               " mismatched=" + std::to_string(m_qwMismatched) + " extra=" + std::to_string(m_qwExtra) +
               " in=" + std::to_string(m_qwInSent) + " recorded_out=" + std::to_string(m_recordedOut.size()) +
               " recorded_in=" + std::to_string(m_nRecordedIn);
    }

private:
    // A report of a recorded command: equal but for the command id and the
    // CRC; its last report also needs the host's whole packet intact, and
    // then takes the host's id for the answers. m_mutex held.
    bool MatchCommandReport(const ReplayEvent& recorded, int nInterface, std::span<const uint8_t> report)
    {
        const std::vector<uint8_t>& command = m_commands.packets[static_cast<size_t>(recorded.nPacket)].bytes;
        if (recorded.nInterface != nInterface || report.size() != recorded.data.size() ||
            report.size() <= kPayloadOffset)
            return false;
        const size_t nPayload = std::min<size_t>(report[2], report.size() - kPayloadOffset);
        for (size_t i = 0; i < report.size(); ++i) {
            const bool bPayload = i >= kPayloadOffset && i < kPayloadOffset + nPayload;
            if (report[i] != recorded.data[i] &&
                !(bPayload && IsIdOrCrc(recorded.nPacketOffset + i - kPayloadOffset, command.size())))
                return false;
        }
        if (recorded.nPacketOffset == 0)
            m_liveCommand.clear();
        m_liveCommand.insert(m_liveCommand.end(), report.begin() + kPayloadOffset,
                             report.begin() + static_cast<std::ptrdiff_t>(kPayloadOffset + nPayload));
        if (recorded.nPacketOffset + nPayload < command.size())
            return true;
        if (m_liveCommand.size() != command.size() || !IsIntact(m_liveCommand))
            return false;
        m_liveIds[static_cast<size_t>(recorded.nPacket)] = m_liveCommand[kCommandIdOffset];
        return true;
    }

    // The recorded IN report, with the id of the host's command in place of
    // the recorded one. m_mutex held.
    std::vector<uint8_t> Substituted(const ReplayEvent& event) const
    {
        if (event.nPacket < 0)
            return event.data;
        const TextPacket& answer = m_commands.packets[static_cast<size_t>(event.nPacket)];
        const std::optional<uint8_t> liveId =
            answer.nCommand < 0 ? std::nullopt : m_liveIds[static_cast<size_t>(answer.nCommand)];
        if (!liveId || *liveId == answer.bytes[kCommandIdOffset])
            return event.data;
        std::vector<uint8_t> packet = answer.bytes;
        packet[kCommandIdOffset] = *liveId;
        const uint16_t wCrc = encoder::Crc16(std::span(packet).first(packet.size() - 2));
        packet[packet.size() - 2] = static_cast<uint8_t>(wCrc);
        packet[packet.size() - 1] = static_cast<uint8_t>(wCrc >> 8);
        std::vector<uint8_t> report = event.data;
        const size_t nPayload = std::min<size_t>(report[2], report.size() - kPayloadOffset);
        std::copy_n(packet.begin() + static_cast<std::ptrdiff_t>(event.nPacketOffset), nPayload,
                    report.begin() + kPayloadOffset);
        return report;
    }

    void Play(std::stop_token stop)
    {
        Clock::time_point anchor = Clock::now();
        uint64_t qwAnchorUs = m_events.empty() ? 0 : m_events.front().qwTimeUs;
        size_t nOut = 0;
        std::unique_lock lock(m_mutex);
        for (const ReplayEvent& event : m_events) {
            if (!event.bIn) {
                if (!m_cv.wait(lock, stop, [&] { return m_outArrivals.size() > nOut; }))
                    return;
                anchor = m_outArrivals[nOut++];
                qwAnchorUs = event.qwTimeUs;
                continue;
            }
            // A recording whose clock stepped back plays the report at once.
            const uint64_t qwAfterUs = event.qwTimeUs > qwAnchorUs ? event.qwTimeUs - qwAnchorUs : 0;
            const Clock::time_point due = anchor + std::chrono::microseconds(qwAfterUs);
            m_cv.wait_until(lock, stop, due, [] { return false; });
            if (stop.stop_requested())
                return;
            const std::vector<uint8_t> report = Substituted(event);
            lock.unlock();
            m_pSink->EmitInReport(event.nInterface, report);
            lock.lock();
            ++m_qwInSent;
        }
    }

    const std::vector<ReplayEvent> m_events;
    const CommandPackets m_commands;
    std::vector<const ReplayEvent*> m_recordedOut;  // into m_events, in order
    size_t m_nRecordedIn = 0;
    IReportSink* m_pSink = nullptr;  // valid while the thread runs
    std::jthread m_thread;

    // A leaf lock, never held while the sink runs.
    std::mutex m_mutex;
    std::condition_variable_any m_cv;
    std::vector<Clock::time_point> m_outArrivals;    // guarded by m_mutex; one per OUT report received
    std::vector<std::optional<uint8_t>> m_liveIds;   // guarded by m_mutex; per recorded command, the host's id
    std::vector<uint8_t> m_liveCommand;              // guarded by m_mutex; the host's command packet so far
    uint64_t m_qwMatched = 0;                        // guarded by m_mutex
    uint64_t m_qwMismatched = 0;                     // guarded by m_mutex
    uint64_t m_qwExtra = 0;                          // guarded by m_mutex
    uint64_t m_qwInSent = 0;                         // guarded by m_mutex
};

const ModelRegistration registration("replay", [](const ModelOptions& options) -> std::unique_ptr<IDeviceModel> {
    std::optional<std::string> file;
    std::optional<std::pair<uint16_t, uint8_t>> selection;
    for (const ModelOption& option : options) {
        if (option.szKey == "file" && option.value && !option.value->empty())
            file = *option.value;
        else if (option.szKey == "select" && option.value)
            selection = ParseSelection(*option.value);
        else
            throw std::invalid_argument("model replay takes file=PATH and select=BUS:DEV, not '" + option.szKey + "'");
    }
    if (!file)
        throw std::invalid_argument("model replay needs file=PATH");
    std::vector<kyr_usbmon::Transfer> transfers;
    try {
        transfers = kyr_usbmon::ReadInterruptTransfers(*file);
    } catch (const std::runtime_error& error) {
        throw std::invalid_argument(std::string("replay: ") + error.what());
    }
    std::vector<ReplayEvent> events = SelectDevice(transfers, selection);
    CommandPackets commands = FindTextPackets(events);
    return std::make_unique<CControlledModel<CReplayDevice>>(
        std::make_shared<CReplayDevice>(std::move(events), std::move(commands)));
});

std::vector<ReplayEvent> SelectDevice(const std::vector<kyr_usbmon::Transfer>& transfers,
                                      std::optional<std::pair<uint16_t, uint8_t>> selection)
{
    std::set<std::pair<uint16_t, uint8_t>> devices;
    for (const kyr_usbmon::Transfer& transfer : transfers)
        devices.emplace(transfer.wBus, transfer.nDevice);
    if (!selection) {
        if (devices.empty())
            throw std::invalid_argument("replay: the capture holds no interrupt transfer with data");
        if (devices.size() > 1) {
            std::string szList;
            for (const auto& device : devices)
                szList.append(" ").append(DeviceName(device.first, device.second));
            throw std::invalid_argument("replay: the capture holds several devices (BUS:DEV" + szList +
                                        "); pick one with select=BUS:DEV");
        }
        selection = *devices.begin();
    } else if (devices.count(*selection) == 0) {
        throw std::invalid_argument("replay: no interrupt transfer of device " +
                                    DeviceName(selection->first, selection->second) + " in the capture");
    }
    std::vector<ReplayEvent> events;
    for (const kyr_usbmon::Transfer& transfer : transfers) {
        if (transfer.wBus != selection->first || transfer.nDevice != selection->second)
            continue;
        const std::optional<int> nInterface = InterfaceOf(transfer.nEndpoint);
        if (!nInterface) {
            char szEndpoint[8];
            std::snprintf(szEndpoint, sizeof szEndpoint, "0x%02x", transfer.nEndpoint);
            throw std::invalid_argument(std::string("replay: endpoint ") + szEndpoint +
                                        " belongs to no interface (endpoints 1, 2, 4, 8 and their IN twins)");
        }
        events.push_back(ReplayEvent{(transfer.nEndpoint & 0x80) != 0, *nInterface, transfer.qwTimeUs, transfer.data});
    }
    return events;
}

CommandPackets FindTextPackets(std::vector<ReplayEvent>& events)
{
    struct Gathering {
        std::vector<uint8_t> bytes;
        std::vector<std::pair<size_t, size_t>> reports;  // event index, packet offset
    };
    CommandPackets found;
    std::map<std::pair<int, bool>, Gathering> gathering;  // by interface and direction
    std::map<uint8_t, int> lastCommand;                    // recorded id: its latest command packet
    for (size_t i = 0; i < events.size(); ++i) {
        ReplayEvent& event = events[i];
        const std::vector<uint8_t>& report = event.data;
        // The stream series (0x80, 0x81) runs beside the single one and carries no command ids.
        if (report.size() > kPayloadOffset && (report[1] & 0x80) != 0)
            continue;
        Gathering& series = gathering[{event.nInterface, event.bIn}];
        if (report.size() != 64 || (report[1] & 0x7E) != 0 || report[2] > report.size() - kPayloadOffset) {
            series = Gathering{};
            continue;
        }
        series.reports.emplace_back(i, series.bytes.size());
        series.bytes.insert(series.bytes.end(), report.begin() + kPayloadOffset,
                            report.begin() + static_cast<std::ptrdiff_t>(kPayloadOffset + report[2]));
        if (report[1] != 0x01)
            continue;
        Gathering packet = std::exchange(series, Gathering{});
        if (!IsIntact(packet.bytes))
            continue;
        const uint16_t wId = static_cast<uint16_t>(packet.bytes[0] | packet.bytes[1] << 8);
        const uint8_t nCommandId = packet.bytes[kCommandIdOffset];
        TextPacket text{event.bIn, std::move(packet.bytes)};
        if (!event.bIn) {
            if (wId != kCommandPacketId)
                continue;
            lastCommand[nCommandId] = static_cast<int>(found.packets.size());
        } else {
            if (!IsTextKind(wId))
                continue;
            const auto command = lastCommand.find(nCommandId);
            if (command == lastCommand.end())
                continue;
            text.nCommand = command->second;
        }
        for (const auto& [nEvent, nOffset] : packet.reports) {
            events[nEvent].nPacket = static_cast<int>(found.packets.size());
            events[nEvent].nPacketOffset = nOffset;
        }
        found.packets.push_back(std::move(text));
    }
    return found;
}

}  // namespace
}  // namespace kyrsim::replay
