// Handle lifetimes at the edges, through the exported C interface under
// kyrsim: close racing calls, callbacks and unplugs; a slow callback of one
// device against the I/O of another; concurrent instant-mode changes;
// synchronous sends from the read thread; inputs that used to slip through.
//
// Races are made deterministic by parking one thread at a chosen point: in a
// callback (on a latch), or in its next System V semaphore operation (this
// binary defines semop and semtimedop, which the library then calls).
#include <dlfcn.h>
#include <pthread.h>
#include <sys/sem.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "Latch.h"
#include "KyrSimControl.h"

namespace {

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;
constexpr unsigned long kNoGesture = ~0UL;
constexpr auto kPatience = std::chrono::seconds(10);

using kyrtest::Latch;

// The thread to park at its next semaphore operation, and where.
std::atomic<pthread_t> g_SemParkThread{};
std::atomic<Latch*> g_pSemLatch{nullptr};

void ParkIfChosen()
{
    Latch* pLatch = g_pSemLatch.load();
    if (pLatch != nullptr && pthread_equal(g_SemParkThread.load(), pthread_self()) &&
        g_pSemLatch.compare_exchange_strong(pLatch, nullptr))
        pLatch->Arrive();
}

KYR_HANDLE Open(unsigned short nPid = kPid)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, nPid, kMI, 0);
    EXPECT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    return h;
}

// A handle closed from inside is freed after its last thread has left: the
// device can be opened again then.
void ExpectTheDeviceFreedSoon(unsigned short nPid = kPid)
{
    KYR_HANDLE h = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (h == nullptr && std::chrono::steady_clock::now() < deadline) {
        h = KyrOpenDevice(kVid, nPid, kMI, 0);
        if (h == nullptr)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    KyrCloseDevice(h);
}

// Runs fn on a thread of its own; the future tells whether it has returned.
template <typename Fn>
std::future<void> Async(Fn fn)
{
    return std::async(std::launch::async, std::move(fn));
}

} // namespace

extern "C" int semop(int semid, struct sembuf* sops, size_t nsops)
{
    ParkIfChosen();
    static auto real = reinterpret_cast<int (*)(int, struct sembuf*, size_t)>(dlsym(RTLD_NEXT, "semop"));
    return real(semid, sops, nsops);
}

extern "C" int semtimedop(int semid, struct sembuf* sops, size_t nsops, const struct timespec* timeout)
{
    ParkIfChosen();
    static auto real = reinterpret_cast<int (*)(int, struct sembuf*, size_t, const struct timespec*)>(
        dlsym(RTLD_NEXT, "semtimedop"));
    return real(semid, sops, nsops, timeout);
}

// ---- One silent device -------------------------------------------------------------

// The caller is inside the command (parked on its first cross-process lock)
// when another thread closes: close waits for it, and it returns its failure
// instead of running on in a freed handle.
TEST(Lifetime, CloseWaitsForACallerNotYetWaiting)
{
    for (const bool bRaw : {false, true}) {
        KYR_HANDLE h = Open();
        ASSERT_NE(h, nullptr);
        Latch latch;
        std::atomic<int> nResult{-2};
        auto caller = Async([&] {
            g_SemParkThread = pthread_self();
            g_pSemLatch = &latch;
            static const unsigned char query[64] = {1, 1, 6, 0x04, 0x11};
            nResult = bRaw ? KyrSendBuffer(h, query, 64, 0, 5000) : KyrSendCommand(h, "status", 0, 5000);
        });
        ASSERT_TRUE(latch.WaitArrived());
        auto closer = Async([&] { KyrCloseDevice(h); });
        EXPECT_EQ(closer.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
            << "close returned while a caller was still inside the handle";
        latch.Release();
        ASSERT_EQ(caller.wait_for(kPatience), std::future_status::ready) << "the caller did not give up";
        ASSERT_EQ(closer.wait_for(kPatience), std::future_status::ready);
        EXPECT_EQ(nResult.load(), 0);
    }
}

// Close from the thread that is waiting, through its own fnOnHandleEvents:
// the wait ends, the caller returns, and the handle goes afterwards.
TEST(Lifetime, CloseFromTheWaitersOwnEventPump)
{
    KYR_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    struct Pump {
        KYR_HANDLE h;
        int nPumps = 0;
    } pump{h};
    KYR_EVENT_NOTIFY table{};
    table.Context = &pump;
    table.fnOnHandleEvents = [](KYR_HANDLE hDevice, void* pContext) {
        auto* p = static_cast<Pump*>(pContext);
        if (++p->nPumps == 5)
            KyrCloseDevice(hDevice);
    };
    KyrSetEventNotify(h, &table);
    EXPECT_EQ(KyrSendCommand(h, "status", 0, 30000), 0);
    EXPECT_EQ(pump.nPumps, 5) << "no pass after the close";
    ExpectTheDeviceFreedSoon();
}

TEST(Lifetime, ConcurrentExpireTimesLeaveOneTimerThatFollowsTheLastOne)
{
    KYR_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    for (int round = 0; round < 50; ++round) {
        std::promise<void> go;
        std::shared_future<void> start = go.get_future().share();
        auto a = Async([&] {
            start.wait();
            KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 3000, kNoGesture);
        });
        auto b = Async([&] {
            start.wait();
            KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 4000, kNoGesture);
        });
        go.set_value();
        ASSERT_EQ(a.wait_for(kPatience), std::future_status::ready) << "round " << round;
        ASSERT_EQ(b.wait_for(kPatience), std::future_status::ready) << "round " << round;
    }
    // A keep-alive every 0.7 s: about 4 in 3 s from one timer, twice as many
    // from two.
    ASSERT_EQ(KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 1000, kNoGesture), 1);
    const uint64_t nBefore = kyrsim::SimOutCount(0);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const uint64_t nKeepAlives = kyrsim::SimOutCount(0) - nBefore;
    EXPECT_GE(nKeepAlives, 2U);
    EXPECT_LE(nKeepAlives, 6U);
    KyrCloseDevice(h);
}

TEST(Lifetime, ExpireTimesAreReadIn64BitsAndOutOfRangeIsRefused)
{
    KYR_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    const uint64_t nBefore = kyrsim::SimOutCount(0);
    EXPECT_GE(KyrSendCommand(h, "instant_mode=T,2147483647", 1, 0), 1) << KyrGetErrorName(KyrGetLastError());
    // 70 % of 24.8 days: no keep-alive in the next second (an overflowed
    // product asked for one every tick).
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(kyrsim::SimOutCount(0), nBefore + 1);
    for (const char* psz : {"instant_mode=T,99999999999", "instant_mode=T,-5", "instant_mode=T,2147483648,0x3"}) {
        EXPECT_EQ(KyrSendCommand(h, psz, 1, 0), -1) << psz;
        EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER) << psz;
    }
    const std::string letters = "instant_mode=" + std::string(2000, 'T');
    EXPECT_EQ(KyrSendCommand(h, letters.c_str(), 0, 100), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER) << "longer than any command";
    EXPECT_EQ(kyrsim::SimOutCount(0), nBefore + 1);
    KyrCloseDevice(h);
}

TEST(Lifetime, BadInputIsRefusedWithItsCode)
{
    EXPECT_EQ(KyrCalculateCRC(nullptr, 0), 0);
    EXPECT_EQ(KyrCalculateCRC(nullptr, 100), 0);
    EXPECT_EQ(KyrCheckCRC(nullptr, 100), 0xFFFF) << "the check of no bytes";

    KYR_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(KyrSendCommand(nullptr, "status", 1, 0), -1);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(KyrSendCommand(h, nullptr, 1, 0), -1);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);

    const uint64_t nBefore = kyrsim::SimOutCount(0);
    const unsigned char report[64] = {1, 1, 6, 0xFF, 0xFF};
    EXPECT_EQ(KyrSendBuffer(h, report, 0, 1, 0), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
    // Packet id 0xFFFF is a packet id like any other: the silent device
    // never answers it.
    EXPECT_EQ(KyrSendBuffer(h, report, 64, 0, 200), 0);
    int nMode = -1;
    EXPECT_EQ(KyrQueryFirmwareVersion(h, 0xFFFF, &nMode, 0, 200), 0);
    EXPECT_EQ(nMode, 0);
    EXPECT_EQ(kyrsim::SimOutCount(0), nBefore + 2);
    KyrCloseDevice(h);
}

// ---- One streaming protocol device ---------------------------------------------------

namespace {

// Counts what one handle delivers; a chosen packet can park the read thread.
struct Stream {
    std::atomic<int> nPackets{0};
    std::atomic<int> nDisconnects{0};
    std::atomic<int> nAfterClose{0};
    std::atomic<bool> bClosed{false};
    std::atomic<Latch*> pPark{nullptr};
    std::atomic<int> nSyncResult{-2};
    std::atomic<int> nSyncError{0};
    bool bSendFromCallback = false;
    std::atomic<bool> bCloseFromCallback{false};
};

void StreamOnPacket(KYR_HANDLE h, kyrpacket*, int, void* pContext)
{
    auto* s = static_cast<Stream*>(pContext);
    if (s->bClosed)
        ++s->nAfterClose;
    if (++s->nPackets == 1 && s->bSendFromCallback) {
        s->nSyncResult = KyrSendCommand(h, "status", 0, 60000);
        s->nSyncError = KyrGetLastError();
    }
    if (Latch* pLatch = s->pPark.exchange(nullptr)) {
        pLatch->Arrive();
        if (s->bCloseFromCallback)
            KyrCloseDevice(h);
    }
}

void StreamOnDisconnect(KYR_HANDLE, void* pContext)
{
    auto* s = static_cast<Stream*>(pContext);
    if (s->bClosed)
        ++s->nAfterClose;
    ++s->nDisconnects;
}

void Watch(KYR_HANDLE h, Stream& s)
{
    KYR_EVENT_NOTIFY table{};
    table.Context = &s;
    table.fnOnPacket = &StreamOnPacket;
    table.fnOnDisconnect = &StreamOnDisconnect;
    KyrSetEventNotify(h, &table);
    ASSERT_EQ(KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 5000, kNoGesture), 1);
}

// Watches h until its read thread is parked in fnOnPacket at latch.
bool WatchUntilParked(KYR_HANDLE h, Stream& s, Latch& latch)
{
    s.pPark = &latch;
    Watch(h, s);
    return latch.WaitArrived();
}

} // namespace

TEST(LifetimeStream, SynchronousSendFromTheReadThreadIsRefusedAtOnce)
{
    KYR_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    Stream s;
    s.bSendFromCallback = true;
    Watch(h, s);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (s.nPackets < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(s.nSyncResult.load(), 0);
    EXPECT_EQ(s.nSyncError.load(), KYR_ERROR_NOT_SUPPORT);
    EXPECT_GE(s.nPackets.load(), 3) << "the read thread went on";
    KyrCloseDevice(h);
}

// The read thread is held in fnOnPacket while the device goes and another
// thread closes: close waits for the callback, and the unplug that follows
// is not reported for a handle being closed.
TEST(LifetimeStream, UnplugRacingCloseReportsNothingAfterClose)
{
    KYR_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    Stream s;
    Latch latch;
    ASSERT_TRUE(WatchUntilParked(h, s, latch));
    kyrsim::SimUnplug(0);
    auto closer = Async([&] {
        KyrCloseDevice(h);
        s.bClosed = true;
    });
    EXPECT_EQ(closer.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "close returned while a callback ran";
    latch.Release();
    ASSERT_EQ(closer.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(s.nDisconnects.load(), 0) << "fnOnDisconnect for a handle being closed";
    EXPECT_EQ(s.nAfterClose.load(), 0);
}

// Another thread replaces the table while the read thread, inside the old
// one, closes the handle: the replacement waits for the old table's call,
// the close for the replacing thread; the close must settle it.
TEST(LifetimeSwap, CloseFromACallbackWhileAnotherThreadSwapsTables)
{
    KYR_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    Stream s;
    Latch latch;
    ASSERT_TRUE(WatchUntilParked(h, s, latch));
    std::atomic<pid_t> nSwapper{0};
    auto swapper = Async([&] {
        nSwapper = gettid();
        KYR_EVENT_NOTIFY none{};
        KyrSetEventNotify(h, &none);
    });
    // Released once the swapper blocks, waiting for the parked call.
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the swapper never blocked";
        if (nSwapper != 0) {
            std::string stat;
            std::getline(std::ifstream("/proc/self/task/" + std::to_string(nSwapper) + "/stat"), stat);
            const size_t nEnd = stat.rfind(')');
            if (nEnd != std::string::npos && nEnd + 2 < stat.size() && stat[nEnd + 2] == 'S')
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    s.bCloseFromCallback = true;
    latch.Release();
    EXPECT_EQ(swapper.wait_for(kPatience), std::future_status::ready) << "table swap and close wait for each other";
    // The handle goes once the callback has returned.
    ExpectTheDeviceFreedSoon();
}

// ---- After an unplug ------------------------------------------------------------------

TEST(LifetimeGone, CallsOnAnUnpluggedHandleSayNoDevice)
{
    KYR_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    Stream s;
    KYR_EVENT_NOTIFY table{};
    table.Context = &s;
    table.fnOnDisconnect = &StreamOnDisconnect;
    KyrSetEventNotify(h, &table);
    kyrsim::SimUnplug(0);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (s.nDisconnects == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(s.nDisconnects.load(), 1);

    EXPECT_EQ(KyrGetDeviceInfoFromHandle(h), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
    EXPECT_EQ(KyrSendCommand(h, "status", 1, 0), -1);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
    EXPECT_EQ(KyrSendCommand(h, "status", 0, 100), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
    const unsigned char report[64] = {1, 1, 6, 0x04, 0x11};
    EXPECT_EQ(KyrSendBuffer(h, report, 64, 1, 0), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
    KyrCloseDevice(h);
}

// ---- Two devices ------------------------------------------------------------------------

// Device 0's callback is held; device 1 meanwhile writes and closes, which
// needs its own transfers to complete.
TEST(LifetimeTwo, ASlowCallbackOfOneDeviceStallsNoOtherDevice)
{
    KYR_HANDLE h0 = Open();
    KYR_HANDLE h1 = Open(KYR_USB_PRODUCT_ID_MODEL2);
    ASSERT_NE(h0, nullptr);
    ASSERT_NE(h1, nullptr);
    Stream s;
    Latch latch;
    ASSERT_TRUE(WatchUntilParked(h0, s, latch));
    auto other = Async([&] {
        for (int i = 0; i < 20; ++i)
            EXPECT_GE(KyrSendCommand(h1, "status", 1, 0), 1);
        EXPECT_EQ(KyrSendCommand(h1, "status", 0, 5000), 1) << KyrGetErrorName(KyrGetLastError());
        KyrCloseDevice(h1);
    });
    EXPECT_EQ(other.wait_for(kPatience), std::future_status::ready) << "device 1 waited for device 0's callback";
    latch.Release();
    other.wait();
    KyrCloseDevice(h0);
}

// ---- Closed from inside a callback ---------------------------------------------------

namespace {

// Closes its handle from inside one chosen callback, and counts every
// callback, tap call and write of the handle after that close has returned:
// none may come, not even on the closing thread's own way out.
struct Closer {
    enum Where { RawData, FirstImageRecord, DownloadStarted };
    Where eWhere = RawData;
    KYR_HANDLE h = nullptr;
    std::atomic<int> nPackets{0};
    std::atomic<bool> bClosed{false};
    std::atomic<int> nAfterClose{0};
    uint64_t nOutAtClose = 0;

    // True once for the call that is to close.
    bool Count(bool bCloseHere)
    {
        if (bClosed)
            ++nAfterClose;
        return bCloseHere && !bClosed;
    }
    void Close()
    {
        KyrCloseDevice(h);
        nOutAtClose = kyrsim::SimOutCount(0);
        bClosed = true;
    }
};

int CloserOnRawData(KYR_HANDLE, unsigned char*, unsigned short, void* pContext)
{
    auto* c = static_cast<Closer*>(pContext);
    // Once the touch stream runs, each report is one whole packet.
    if (c->Count(c->eWhere == Closer::RawData && c->nPackets > 0))
        c->Close();
    return 0;
}

void CloserOnPacket(KYR_HANDLE, kyrpacket* pPacket, int, void* pContext)
{
    auto* c = static_cast<Closer*>(pContext);
    ++c->nPackets;
    // The first of the three records (image, object, detections) of one packet.
    if (c->Count(c->eWhere == Closer::FirstImageRecord && pPacket->type == kyrtype_ird))
        c->Close();
}

void CloserOnDownloading(KYR_HANDLE h, int bDownload, void* pContext)
{
    auto* c = static_cast<Closer*>(pContext);
    // The download ends at once: the gate would resend the instant mode and
    // report the end, on this thread, right after this call.
    if (c->Count(c->eWhere == Closer::DownloadStarted && bDownload == 1)) {
        KyrUnlockFirmwareDownload(h);
        c->Close();
    }
}

void CloserTap(KYR_HANDLE, int, unsigned char, unsigned long long, const unsigned char*, unsigned short, void* pContext)
{
    static_cast<Closer*>(pContext)->Count(false);
}

void CloseFromInside(Closer::Where eWhere, int nMode)
{
    Closer c;
    c.eWhere = eWhere;
    c.h = Open();
    ASSERT_NE(c.h, nullptr);
    KYR_EVENT_NOTIFY table{};
    table.Context = &c;
    table.fnOnReceiveRawData = &CloserOnRawData;
    table.fnOnPacket = &CloserOnPacket;
    table.fnOnDownloadingFirmware = &CloserOnDownloading;
    KyrSetEventNotify(c.h, &table);
    KyrSetReportTap(c.h, &CloserTap, &c);
    ASSERT_EQ(KyrSetInstantMode(c.h, nMode, 5000, kNoGesture), 1);
    // Found by the timer thread's next pass of the download gate.
    if (eWhere == Closer::DownloadStarted)
        KyrLockFirmwareDownload(c.h);
    ExpectTheDeviceFreedSoon();
    EXPECT_TRUE(c.bClosed);
    EXPECT_EQ(c.nAfterClose.load(), 0) << "a callback or tap call after the close returned";
    EXPECT_EQ(kyrsim::SimOutCount(0), c.nOutAtClose) << "written after the close returned";
}

} // namespace

TEST(Lifetime, CloseInsideTheTimersDownloadStartEndsItsDeliveries)
{
    CloseFromInside(Closer::DownloadStarted, KYR_HID_MODE_TOUCHPNT);
}

TEST(LifetimeRaw, CloseInsideRawDataKeepsTheReportFromTheDecoder)
{
    CloseFromInside(Closer::RawData, KYR_HID_MODE_TOUCHPNT);
}

TEST(LifetimeImage, CloseInsideTheFirstRecordOfAPacketDeliversNoOther)
{
    CloseFromInside(Closer::FirstImageRecord, KYR_HID_MODE_VIEW);
}

// ---- Two devices, each read thread acting on the other's handle ---------------------------

namespace {

// Held in its first fnOnPacket until the test releases it, then swaps the
// other handle's table or closes it; counts its calls after that.
struct Crosswise {
    KYR_HANDLE hOther = nullptr;
    bool bClose = false;
    Latch parked;
    std::atomic<bool> bActed{false};
    std::atomic<bool> bReturned{false};
    std::atomic<int> nError{1};
    std::atomic<int> nLater{0};
};

void CrosswiseOnPacket(KYR_HANDLE, kyrpacket*, int, void* pContext)
{
    auto* c = static_cast<Crosswise*>(pContext);
    if (c->bActed.exchange(true)) {
        if (c->bReturned)
            ++c->nLater;
        return;
    }
    c->parked.Arrive();
    if (c->bClose) {
        KyrCloseDevice(c->hOther);
    } else {
        KYR_EVENT_NOTIFY none{};
        KyrSetEventNotify(c->hOther, &none);
    }
    c->nError = KyrGetLastError();
    c->bReturned = true;
}

template <typename Predicate>
bool Eventually(Predicate predicate)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace

// Both read threads are inside a callback before either acts: a swap waits
// for the other thread's callback, which waits for it in turn. The one whose
// wait would close the cycle fails at once and keeps the table in force, so
// the other completes: the failed one's own table is replaced, the other's
// stays. Crosswise closes cannot fail: the second returns at once, and its
// handle goes once its callback has returned.
TEST(LifetimeCross, CrosswiseSwapsAndClosesFromTwoReadThreadsReturn)
{
    for (const bool bClose : {false, true}) {
        SCOPED_TRACE(bClose ? "close" : "swap");
        const KYR_HANDLE h0 = Open();
        const KYR_HANDLE h1 = Open(KYR_USB_PRODUCT_ID_MODEL2);
        ASSERT_NE(h0, nullptr);
        ASSERT_NE(h1, nullptr);
        Crosswise c0, c1;
        c0.hOther = h1;
        c1.hOther = h0;
        c0.bClose = c1.bClose = bClose;
        for (auto [h, c] : {std::pair{h0, &c0}, std::pair{h1, &c1}}) {
            KYR_EVENT_NOTIFY table{};
            table.Context = c;
            table.fnOnPacket = &CrosswiseOnPacket;
            KyrSetEventNotify(h, &table);
            ASSERT_EQ(KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 5000, kNoGesture), 1);
        }
        ASSERT_TRUE(c0.parked.WaitArrived());
        ASSERT_TRUE(c1.parked.WaitArrived());
        c0.parked.Release();
        c1.parked.Release();
        ASSERT_TRUE(Eventually([&] { return c0.bReturned && c1.bReturned; })) << "the two wait for each other";
        if (bClose) {
            EXPECT_EQ(c0.nError.load(), KYR_SUCCESS);
            EXPECT_EQ(c1.nError.load(), KYR_SUCCESS);
            ExpectTheDeviceFreedSoon();
            ExpectTheDeviceFreedSoon(KYR_USB_PRODUCT_ID_MODEL2);
        } else {
            ASSERT_TRUE(Eventually([&] { return c0.nLater + c1.nLater > 0; })) << "no table stayed";
            ASSERT_TRUE(c0.nLater == 0 || c1.nLater == 0) << "neither swap took effect";
            EXPECT_EQ((c0.nLater == 0 ? c0 : c1).nError.load(), KYR_ERROR_NOT_SUPPORT);
            KyrCloseDevice(h0);
            KyrCloseDevice(h1);
        }
    }
}
