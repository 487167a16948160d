// Plays the device side of a usbmon capture (kyrhid record, or tcpdump and
// Wireshark on usbmon): IN reports go out at their recorded distance from the
// OUT report that preceded them, once the host has sent that OUT report; each
// OUT report is checked against the recorded one.
//
// Decisions: the k-th OUT report the host sends is matched against the k-th
// recorded one, byte for byte, whatever its content; a mismatch is logged and
// counted and the playback goes on as if it had matched, so one stray byte
// does not stall the rest. OUT reports beyond the recording are counted as
// extra. IN reports recorded before the first OUT report are timed from the
// device's attach, as a device that streams unasked would send them (and, like
// those, are dropped while no program holds the interface). Endpoint n (IN or
// OUT) belongs to interface log2(n), the layout of the devices and of kyrsim's.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "../../DeviceModel.h"
#include "../../Options.h"
#include "UsbmonPcap.h"

namespace kyrsim::replay {

namespace {

using Clock = std::chrono::steady_clock;

struct ReplayEvent {
    bool bIn;
    int nInterface;
    uint64_t qwTimeUs;  // as recorded
    std::vector<uint8_t> data;
};

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

class CReplayDevice final : public IModelControl {
public:
    explicit CReplayDevice(std::vector<ReplayEvent> events) : m_events(std::move(events))
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
            if (recorded.nInterface == nInterface && recorded.data.size() == report.size() &&
                std::equal(report.begin(), report.end(), recorded.data.begin())) {
                ++m_qwMatched;
            } else {
                ++m_qwMismatched;
                std::fprintf(stderr,
                             "kyrsim: replay: OUT report %zu differs from the recording\n"
                             "  got      (interface %d) %s\n  recorded (interface %d) %s\n",
                             nIndex + 1, nInterface, Hex(report).c_str(), recorded.nInterface,
                             Hex(recorded.data).c_str());
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
            lock.unlock();
            m_pSink->EmitInReport(event.nInterface, event.data);
            lock.lock();
            ++m_qwInSent;
        }
    }

    const std::vector<ReplayEvent> m_events;
    std::vector<const ReplayEvent*> m_recordedOut;  // into m_events, in order
    size_t m_nRecordedIn = 0;
    IReportSink* m_pSink = nullptr;  // valid while the thread runs
    std::jthread m_thread;

    // A leaf lock, never held while the sink runs.
    std::mutex m_mutex;
    std::condition_variable_any m_cv;
    std::vector<Clock::time_point> m_outArrivals;  // guarded by m_mutex; one per OUT report received
    uint64_t m_qwMatched = 0;                      // guarded by m_mutex
    uint64_t m_qwMismatched = 0;                   // guarded by m_mutex
    uint64_t m_qwExtra = 0;                        // guarded by m_mutex
    uint64_t m_qwInSent = 0;                       // guarded by m_mutex
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
    return std::make_unique<CControlledModel<CReplayDevice>>(
        std::make_shared<CReplayDevice>(SelectDevice(transfers, selection)));
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

}  // namespace
}  // namespace kyrsim::replay
