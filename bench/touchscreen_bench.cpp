// The touchscreen bridge: a 10-finger touch report from the wire to its
// SYN_REPORT written (goal: under 20 us of CPU per frame), and the contact
// tracker alone for 10 and 40 contacts.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <cmath>
#include <vector>

#include "Bridge.h"
#include "MmPkt.h"
#include "PacketEncoder.h"
#include "Tracker.h"

using namespace kyr_hid_library;
namespace enc = kyrsim::encoder;

namespace {

// The uinput device's writer on /dev/null: the system calls are counted, the
// kernel's input handling is not.
class NullSink : public kyrtouch::IEventSink {
public:
    struct Device : kyrtouch::FdEventWriter {
        explicit Device(int fd) : FdEventWriter(fd) {}
        void Write(uint16_t t, uint16_t c, int32_t v) override
        {
            FdEventWriter::Write(t, c, v);
            nSyn += t == EV_SYN ? 1 : 0;
        }
        long nSyn = 0;
    };
    NullSink() : m_fd(open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
    ~NullSink() override { close(m_fd); }
    std::unique_ptr<kyrtouch::IEventDevice> Create(const kyrtouch::DeviceSetup&, std::string&) override
    {
        auto p = std::make_unique<Device>(m_fd);
        pLast = p.get();
        return p;
    }
    Device* pLast = nullptr;

private:
    int m_fd;
};

class Forward : public CMmPkt::IMmPktNotify {
public:
    explicit Forward(kyrtouch::TouchBridge& bridge) : m_Bridge(bridge) {}
    bool OnCheckSyncResposePacket(int) override { return false; }
    void OnCompleteResponsePacket(int) override {}
    void OnCompleteNoneResponsePacket(unsigned short) override {}
    void TPDP_OnPacket(kyrpacket* p, bool) override { m_Bridge.OnPacket(*p); }
    void OnFirmwareMode(unsigned short, unsigned short) override {}

private:
    kyrtouch::TouchBridge& m_Bridge;
};

// Ten fingers moving apart from each other, one packet's reports per frame.
std::vector<std::vector<enc::Report>> TenFingerFrames()
{
    std::vector<std::vector<enc::Report>> frames;
    for (uint16_t f = 0; f < 200; ++f) {
        std::vector<enc::TouchPoint> pts(10);
        for (uint16_t i = 0; i < 10; ++i)
            pts[i] = {static_cast<uint16_t>(200 + i * 350 + f % 50 * 3), static_cast<uint16_t>(1000 + f * 5),
                      static_cast<uint16_t>(20 + f % 5), 20, static_cast<uint16_t>(50 + i)};
        frames.push_back(enc::CutReports(enc::TouchPoints(f, 10, pts), enc::Series::Single));
    }
    return frames;
}

void BM_TouchFrameToSynReport(benchmark::State& state)
{
    static const auto frames = TenFingerFrames();
    NullSink sink;
    kyrtouch::TouchBridge bridge(sink, kyrtouch::Settings(), {"0001:0002:01", 0x1209, 0x0001});
    bridge.Start();
    Forward forward(bridge);
    CMmPkt codec(&forward);
    size_t n = 0;
    const long nSynBefore = sink.pLast->nSyn;
    for (auto _ : state) {
        for (const enc::Report& r : frames[n])
            codec.ParsePacket(r.data(), r.size());
        n = (n + 1) % frames.size();
    }
    // Every frame moved the fingers, so each must have ended in SYN_REPORT.
    if (sink.pLast->nSyn - nSynBefore != static_cast<long>(state.iterations()))
        state.SkipWithError("a frame wrote no SYN_REPORT");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_Tracker(benchmark::State& state)
{
    const int nContacts = static_cast<int>(state.range(0));
    kyrtouch::ContactTracker tracker(nContacts, 400);
    std::vector<kyrtouch::Point> points(static_cast<size_t>(nContacts));
    int nFrame = 0;
    for (auto _ : state) {
        for (int i = 0; i < nContacts; ++i)
            points[static_cast<size_t>(i)] = {100.0 * (i % 8) * 5 + nFrame % 40, 500.0 * (i / 8) + std::sin(nFrame + i) * 10};
        benchmark::DoNotOptimize(tracker.Update(points).data());
        ++nFrame;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

} // namespace

BENCHMARK(BM_TouchFrameToSynReport);
BENCHMARK(BM_Tracker)->Arg(10)->Arg(40);
BENCHMARK_MAIN();
