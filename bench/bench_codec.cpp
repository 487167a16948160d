// Cost of the codec per received report for realistic device streams, CRC
// throughput, and heap allocations per report (goal: none in steady state).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <new>
#include <vector>

#include "KyrCRC16.h"
#include "MmPkt.h"
#include "PacketEncoder.h"

// ---- Allocation counting: every malloc of the process, operator new included.

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);

namespace {
std::atomic<unsigned long> g_nAllocs{0};
}

extern "C" void* malloc(size_t n)
{
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m)
{
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n)
{
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
extern "C" void free(void* p)
{
    __libc_free(p);
}

void* operator new(size_t n)
{
    if (void* p = malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n)
{
    return operator new(n);
}
void operator delete(void* p) noexcept
{
    free(p);
}
void operator delete[](void* p) noexcept
{
    free(p);
}
void operator delete(void* p, size_t) noexcept
{
    free(p);
}
void operator delete[](void* p, size_t) noexcept
{
    free(p);
}

// ---- Streams ---------------------------------------------------------------

using namespace kyr_hid_library;
namespace enc = kyrsim::encoder;
using Reports = std::vector<enc::Report>;

namespace {

// What an application's callback minimally does: look at every record.
class SinkNotify : public CMmPkt::IMmPktNotify {
public:
    unsigned long m_nSum = 0;
    bool OnCheckSyncResposePacket(int nCmdId) override { return (nCmdId & 3) == 0; }
    void OnCompleteResponsePacket(int nCmdId) override { m_nSum += nCmdId; }
    void OnCompleteNoneResponsePacket(unsigned short nId) override { m_nSum += nId; }
    void TPDP_OnPacket(kyrpacket* p, bool bSync) override { m_nSum += p->type + p->length + bSync; }
    void OnFirmwareMode(unsigned short, unsigned short nMode) override { m_nSum += nMode; }
};

void Append(Reports& out, const Reports& r)
{
    out.insert(out.end(), r.begin(), r.end());
}

// Ten fingers at full rate, with the device report that accompanies them.
Reports TouchStream()
{
    Reports out;
    for (uint16_t f = 0; f < 200; ++f) {
        std::vector<enc::TouchPoint> pts(10);
        for (uint16_t i = 0; i < 10; ++i)
            pts[i] = {static_cast<uint16_t>(f * 7 + i * 300), static_cast<uint16_t>(f * 3 + i * 200), 20, 20, 50};
        Append(out, enc::CutReports(enc::TouchPoints(f, 10, pts), enc::Series::Single));
        enc::DeviceState s;
        s.touch_x = f * 0.01f;
        Append(out, enc::CutReports(enc::DeviceReport(f, s), enc::Series::Single));
    }
    return out;
}

// A 320-pixel-wide preview, one row band per packet.
Reports PreviewStream()
{
    Reports out;
    std::vector<uint8_t> row(320);
    for (uint16_t y = 0; y < 240; ++y) {
        for (size_t x = 0; x < row.size(); ++x)
            row[x] = static_cast<uint8_t>(x + y);
        Append(out, enc::CutReports(enc::Preview(enc::kAddrCM1, y, 240, static_cast<int16_t>(y), row)));
    }
    return out;
}

// Responses of varied length, continued pieces, status and messages.
Reports CommandResponseMix()
{
    Reports out;
    for (int i = 0; i < 200; ++i) {
        const uint8_t id = static_cast<uint8_t>(i % 255 + 1);
        Append(out, enc::CutReports(enc::Text(enc::kAddrMM, enc::TextKind::Command, 0, id, "instant_mode=?"),
                                    enc::Series::Single));
        Append(out, enc::CutReports(enc::Text(enc::kAddrMM, enc::TextKind::ResponseContinued, 0, id,
                                              std::string(40 + i % 200, 'r')),
                                    enc::Series::Single));
        Append(out, enc::CutReports(enc::Text(enc::kAddrCM1, enc::TextKind::Response, 0, id, "instant_mode=MCT,5000"),
                                    enc::Series::Single));
        if (i % 4 == 0)
            Append(out, enc::CutReports(enc::Text(enc::kAddrMM, enc::TextKind::Status, 0, 0, "idle"),
                                        enc::Series::Single));
        if (i % 8 == 0)
            Append(out, enc::CutReports(enc::Message(enc::kAddrCM2, 0, "CM", "temperature 41C"),
                                        enc::Series::Single));
    }
    return out;
}

void RunStream(benchmark::State& state, const Reports& reports)
{
    // A zero below means nothing unless the hooks see allocations at all.
    const unsigned long nProbe = g_nAllocs.load();
    benchmark::DoNotOptimize(std::make_unique<std::vector<int>>(16).get());
    if (g_nAllocs.load() == nProbe) {
        state.SkipWithError("allocation hooks not in effect");
        return;
    }
    SinkNotify notify;
    auto codec = std::make_unique<CMmPkt>(&notify);
    for (const auto& r : reports) // warm up: steady state from here on
        codec->ParsePacket(r.data(), r.size());
    const unsigned long nBefore = g_nAllocs.load();
    for (auto _ : state) {
        for (const auto& r : reports)
            codec->ParsePacket(r.data(), r.size());
    }
    const unsigned long nAllocs = g_nAllocs.load() - nBefore;
    const double nReports = static_cast<double>(state.iterations()) * reports.size();
    state.counters["s_per_report"] =
        benchmark::Counter(nReports, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_report"] = static_cast<double>(nAllocs) / nReports;
    state.SetItemsProcessed(static_cast<int64_t>(nReports));
    benchmark::DoNotOptimize(notify.m_nSum);
}

void BM_TouchPoints(benchmark::State& state)
{
    static const Reports r = TouchStream();
    RunStream(state, r);
}
void BM_PreviewImage(benchmark::State& state)
{
    static const Reports r = PreviewStream();
    RunStream(state, r);
}
void BM_CommandResponse(benchmark::State& state)
{
    static const Reports r = CommandResponseMix();
    RunStream(state, r);
}

std::vector<uint8_t> CrcInput(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 131 + 7);
    return v;
}

void BM_Crc16(benchmark::State& state)
{
    const auto buf = CrcInput(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(CMmPkt::CheckCRC(buf.data(), static_cast<unsigned short>(buf.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Crc16Bytewise(benchmark::State& state)
{
    const auto buf = CrcInput(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(Crc16UpdateBytewise(CRC16_INIT, buf.data(), buf.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_MakePacket(benchmark::State& state)
{
    CMmPkt codec(nullptr);
    const std::string cmd = "instant_mode=MCT,5000,0x0000000f";
    int n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(codec.MakePacket(cmd.data(), static_cast<unsigned short>(cmd.size()), 7, n));
}

} // namespace

BENCHMARK(BM_TouchPoints);
BENCHMARK(BM_PreviewImage);
BENCHMARK(BM_CommandResponse);
BENCHMARK(BM_Crc16)->Arg(64)->Arg(511)->Arg(4096);
BENCHMARK(BM_Crc16Bytewise)->Arg(4096);
BENCHMARK(BM_MakePacket);

BENCHMARK_MAIN();
