// A touch stream through the exported interface against bare libusb, under kyrsim:
//   kyrsim --device <model3>,interfaces=2
//          --device <model1>,interfaces=2,model=kyr,rate=T:1000
//          --device <model2>,interfaces=2,model=kyr,rate=T:1000 -- touch_bench
//
// Touch-to-callback latency: the program has device 0 emit touch-point
// reports through kyrsim's control socket ("inject"), 200 a second, and times
// each from the request to the library's fnOnPacket, then to the completion
// of a bare libusb IN transfer. The device's own tick counts whole
// milliseconds, too coarse for this; the request is the moment the device
// sends, on this process's clock, and costs both sides alike.
//
// Reports lost at kyrsim's fastest stream (touch points at 1000 samples a
// second): devices 1 (library) and 2 (bare libusb) stream for 5 s; what the
// device counts as sent ("kinds") against what arrived. Samples the device
// could not send because the host was behind show as a rate below 1000/s.
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchFigures.h"
#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"
#include "PacketEncoder.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace enc = kyrsim::encoder;

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;
constexpr unsigned char kIn = 0x80 | (1 << kMI);
constexpr unsigned char kOut = 1 << kMI;
constexpr uint16_t kTouchId = 0x1300;

constexpr int kInjectDevice = 0;
constexpr unsigned short kInjectPid = KYR_USB_PRODUCT_ID_MODEL3;
constexpr int kSamples = 1000;
constexpr auto kSamplePeriod = std::chrono::milliseconds(5);

constexpr int kLibraryStreamDevice = 1;
constexpr unsigned short kLibraryStreamPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr int kBareStreamDevice = 2;
constexpr unsigned short kBareStreamPid = KYR_USB_PRODUCT_ID_MODEL2;
constexpr auto kStreamRun = std::chrono::seconds(5);

int g_nFailures = 0;  // what could not be measured
kyrbench::CFigures g_Figures;

// Arrival times by sample number (the packet's tick); written by one
// receiving thread while the sender runs, read after both have stopped.
struct Arrivals {
    std::vector<std::atomic<int64_t>> ns = std::vector<std::atomic<int64_t>>(kSamples);
    std::atomic<uint64_t> nReports{0};
    std::atomic<uint64_t> nTouch{0};
};

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void Arrived(Arrivals& arrivals, uint16_t wTick)
{
    if (wTick < kSamples)
        arrivals.ns[wTick].store(NowNs());
}

// Injects the touch samples at their pace and returns when each was asked for.
std::vector<int64_t> InjectTouchStream()
{
    std::vector<int64_t> sent(kSamples);
    const std::vector<enc::TouchPoint> point = {{1000, 2000, 20, 20, 50}};
    auto next = Clock::now();
    for (int i = 0; i < kSamples; ++i) {
        const enc::Report report =
            enc::CutReports(enc::TouchPoints(static_cast<uint16_t>(i), 1, point), enc::Series::Single).at(0);
        std::this_thread::sleep_until(next);
        next += kSamplePeriod;
        sent[i] = NowNs();
        kyrsim::SimInject(kInjectDevice, kMI, std::vector<uint8_t>(report.begin(), report.end()));
    }
    // The last ones may still be on their way.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return sent;
}

// p50 and p99 in ms of the arrivals behind their requests; -1 when samples
// are missing.
std::pair<double, double> Latency(const std::vector<int64_t>& sent, const Arrivals& arrivals, const char* pszWho)
{
    std::vector<double> ms;
    for (int i = 0; i < kSamples; ++i) {
        const int64_t nArrived = arrivals.ns[i].load();
        if (nArrived != 0)
            ms.push_back(static_cast<double>(nArrived - sent[i]) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%s: %zu of %d samples arrived", pszWho, ms.size(), kSamples);
    if (ms.size() != kSamples) {
        std::printf("; not judged\n");
        ++g_nFailures;
        return {-1, -1};
    }
    const auto at = [&](double dShare) { return ms[std::min(ms.size() - 1, static_cast<size_t>(dShare * ms.size()))]; };
    std::printf(", latency min %.3f p50 %.3f p90 %.3f p99 %.3f max %.3f ms\n", ms.front(), at(0.5), at(0.9), at(0.99),
                ms.back());
    return {at(0.5), at(0.99)};
}

void OnLibraryPacket(KYR_HANDLE, kyrpacket* pPacket, int, void* pContext)
{
    auto& arrivals = *static_cast<Arrivals*>(pContext);
    if (pPacket->type == kyrtype_tpt) {
        ++arrivals.nTouch;
        Arrived(arrivals, pPacket->ticktime);
    }
}

void OnLibraryReport(KYR_HANDLE, int nDirection, unsigned char, unsigned long long, const unsigned char*,
                     unsigned short, void* pContext)
{
    if (nDirection == KYR_REPORT_IN)
        ++static_cast<Arrivals*>(pContext)->nReports;
}

KYR_HANDLE OpenLibrary(unsigned short nPid, Arrivals& arrivals)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, nPid, kMI, 0);
    if (h == nullptr) {
        std::printf("library: open of pid 0x%04x failed: %s\n", nPid, KyrGetErrorName(KyrGetLastError()));
        ++g_nFailures;
        return nullptr;
    }
    KYR_EVENT_NOTIFY table{};
    table.Context = &arrivals;
    table.fnOnPacket = &OnLibraryPacket;
    KyrSetEventNotify(h, &table);
    KyrSetReportTap(h, &OnLibraryReport, &arrivals);
    return h;
}

// ---- bare libusb: IN transfers kept in flight, completed by an event thread ----

// Used by its event thread and the transfer callbacks until CloseBare has
// joined that thread; must outlive that call.
struct Bare {
    libusb_context* pContext = nullptr;
    libusb_device_handle* pHandle = nullptr;
    std::vector<libusb_transfer*> transfers;
    std::atomic<int> nInFlight{0};
    std::atomic<bool> bStop{false};
    std::thread events;
    Arrivals* pArrivals = nullptr;
};

void LIBUSB_CALL OnBareIn(libusb_transfer* pTransfer)
{
    auto& bare = *static_cast<Bare*>(pTransfer->user_data);
    if (pTransfer->status == LIBUSB_TRANSFER_COMPLETED && pTransfer->actual_length >= 7) {
        const unsigned char* p = pTransfer->buffer;
        ++bare.pArrivals->nReports;
        // Report id, type, size, then the packet: id and tick, little-endian.
        if ((p[3] | p[4] << 8) == kTouchId) {
            ++bare.pArrivals->nTouch;
            Arrived(*bare.pArrivals, static_cast<uint16_t>(p[5] | p[6] << 8));
        }
    }
    if (!bare.bStop && (pTransfer->status == LIBUSB_TRANSFER_COMPLETED || pTransfer->status == LIBUSB_TRANSFER_TIMED_OUT)
        && libusb_submit_transfer(pTransfer) == 0)
        return;
    --bare.nInFlight;
}

// As many IN transfers in flight as the library keeps (one per interface).
bool OpenBare(Bare& bare, unsigned short nPid, Arrivals& arrivals)
{
    bare.pArrivals = &arrivals;
    libusb_init(&bare.pContext);
    bare.pHandle = libusb_open_device_with_vid_pid(bare.pContext, kVid, nPid);
    if (bare.pHandle == nullptr || libusb_claim_interface(bare.pHandle, kMI) != 0) {
        std::printf("bare libusb: cannot open and claim pid 0x%04x\n", nPid);
        ++g_nFailures;
        return false;
    }
    libusb_transfer* pTransfer = libusb_alloc_transfer(0);
    libusb_fill_interrupt_transfer(pTransfer, bare.pHandle, kIn, new unsigned char[64], 64, &OnBareIn, &bare, 1000);
    bare.transfers.push_back(pTransfer);
    ++bare.nInFlight;
    libusb_submit_transfer(pTransfer);
    bare.events = std::thread([&bare] {
        while (bare.nInFlight > 0) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(bare.pContext, &tv, nullptr);
        }
    });
    return true;
}

void CloseBare(Bare& bare)
{
    bare.bStop = true;
    for (libusb_transfer* pTransfer : bare.transfers)
        libusb_cancel_transfer(pTransfer);
    if (bare.events.joinable())
        bare.events.join();
    for (libusb_transfer* pTransfer : bare.transfers) {
        delete[] pTransfer->buffer;
        libusb_free_transfer(pTransfer);
    }
    if (bare.pHandle != nullptr) {
        libusb_release_interface(bare.pHandle, kMI);
        libusb_close(bare.pHandle);
    }
    libusb_exit(bare.pContext);
}

// A command packet in one report, as the library writes it: id 0x1007, tick,
// type 0, command id, length, text, NUL, CRC.
void BareCommand(Bare& bare, const std::string& szText)
{
    std::vector<uint8_t> packet = {0x07, 0x10, 0, 0, 0, 1, static_cast<uint8_t>(szText.size()), 0};
    packet.insert(packet.end(), szText.begin(), szText.end());
    packet.push_back(0);
    const uint16_t wCrc = enc::Crc16(packet);
    packet.push_back(static_cast<uint8_t>(wCrc));
    packet.push_back(static_cast<uint8_t>(wCrc >> 8));
    unsigned char report[64] = {1, 1, static_cast<unsigned char>(packet.size())};
    std::memcpy(report + 3, packet.data(), packet.size());
    int nDone = 0;
    libusb_interrupt_transfer(bare.pHandle, kOut, report, 64, &nDone, 1000);
}

void TouchLatency()
{
    Arrivals library;
    KYR_HANDLE h = OpenLibrary(kInjectPid, library);
    if (h == nullptr)
        return;
    KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 60000, ~0UL);
    const auto libraryLatency = Latency(InjectTouchStream(), library, "library");
    KyrCloseDevice(h);

    Arrivals bareArrivals;
    Bare bare;
    if (OpenBare(bare, kInjectPid, bareArrivals)) {
        const auto bareLatency = Latency(InjectTouchStream(), bareArrivals, "bare libusb");
        if (libraryLatency.first >= 0 && bareLatency.first >= 0) {
            g_Figures.Shown("touch-to-callback latency, touch stream at 200/s, library: p50 / p99",
                            libraryLatency.first, "%.2f", kyrbench::Format(" / %.2f ms", libraryLatency.second).c_str());
            g_Figures.Shown("touch-to-callback latency, touch stream at 200/s, bare libusb: p50 / p99",
                            bareLatency.first, "%.2f", kyrbench::Format(" / %.2f ms", bareLatency.second).c_str());
        }
    }
    CloseBare(bare);
}

// Waits until the device streams nothing (its expire time passed or it was
// told to stop); returns how long it streamed since start.
double WaitStreamsStopped(int nDevice, Clock::time_point start)
{
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (!kyrsim::SimStreams(nDevice).empty() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Reports already emitted are still on their way.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return dSeconds;
}

void LostFigure(const char* pszWho, int nDevice, const Arrivals& arrivals, double dSeconds, bool bJudged)
{
    const kyrsim::SimKindCounts kinds = kyrsim::SimKinds(nDevice);
    const auto it = kinds.kinds.find(kTouchId);
    const uint64_t nTouchSent = it == kinds.kinds.end() ? 0 : it->second.qwSent;
    const auto nLost = static_cast<long long>(kinds.qwReports) - static_cast<long long>(arrivals.nReports.load());
    std::printf("%s: device sent %llu reports (%llu touch packets, %.0f/s), %llu reports and %llu touch packets "
                "arrived\n",
                pszWho, static_cast<unsigned long long>(kinds.qwReports), static_cast<unsigned long long>(nTouchSent),
                static_cast<double>(nTouchSent) / dSeconds, static_cast<unsigned long long>(arrivals.nReports.load()),
                static_cast<unsigned long long>(arrivals.nTouch.load()));
    const std::string szName = std::string("reports lost, touch stream at kyrsim's fastest (1000/s), ") + pszWho;
    const std::string szMeasured =
        kyrbench::Format("%lld of %llu (%.0f touch packets/s sent)", nLost,
                         static_cast<unsigned long long>(kinds.qwReports), static_cast<double>(nTouchSent) / dSeconds);
    if (bJudged)
        g_Figures.Add(szName, szMeasured, "none", nLost == 0 ? 1 : 0);
    else
        g_Figures.Add(szName, szMeasured, "", -1);
}

void ReportsLost()
{
    Arrivals library;
    if (KYR_HANDLE h = OpenLibrary(kLibraryStreamPid, library)) {
        // A short expire time, renewed by the library, so that the stream ends soon after.
        const auto start = Clock::now();
        KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 500, ~0UL);
        std::this_thread::sleep_for(kStreamRun);
        KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 0, ~0UL);
        const double dSeconds = WaitStreamsStopped(kLibraryStreamDevice, start);
        LostFigure("library", kLibraryStreamDevice, library, dSeconds, true);
        KyrCloseDevice(h);
    }

    Arrivals bareArrivals;
    Bare bare;
    if (OpenBare(bare, kBareStreamPid, bareArrivals)) {
        const auto start = Clock::now();
        BareCommand(bare, "instant_mode=T,60000");
        std::this_thread::sleep_for(kStreamRun);
        BareCommand(bare, "instant_mode=T,0");
        const double dSeconds = WaitStreamsStopped(kBareStreamDevice, start);
        LostFigure("bare libusb", kBareStreamDevice, bareArrivals, dSeconds, false);
    }
    CloseBare(bare);
}

}  // namespace

int main()
{
    if (std::getenv("KYRSIM_CONTROL") == nullptr) {
        std::fprintf(stderr, "touch_bench runs under kyrsim (see the top of %s)\n", __FILE__);
        return 2;
    }
    TouchLatency();
    ReportsLost();
    g_Figures.WriteJson();
    return g_nFailures + g_Figures.Missed() == 0 ? 0 : 1;
}
