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
#include <fstream>
#include <functional>
#include <future>
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

// Runs fn on a thread of its own; the future tells whether it has returned.
template <typename Fn>
std::future<void> Async(Fn fn)
{
    return std::async(std::launch::async, std::move(fn));
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

// A handle closed from inside is freed after its last thread has left: the
// device can be opened again then.
void ExpectTheDeviceFreedSoon(unsigned short nPid = kPid)
{
    KYR_HANDLE h = nullptr;
    EXPECT_TRUE(Eventually([&] { return (h = KyrOpenDevice(kVid, nPid, kMI, 0)) != nullptr; }))
        << KyrGetErrorName(KyrGetLastError());
    KyrCloseDevice(h);
}

// One open handle whose callbacks and report tap go to the test's hooks (set
// before Listen); counts every call that comes after a close has returned.
struct Listener {
    KYR_HANDLE h;
    std::function<void(kyrpacket*)> onPacket;
    std::function<void()> onRawData, onPump;
    std::function<void(int)> onDownload;
    std::atomic<int> nPackets {0}, nDisconnects {0}, nAfterClose {0};
    std::atomic<bool> bClosed {false};
    uint64_t nOutAtClose = 0;

    explicit Listener(unsigned short nPid = kPid) : h(Open(nPid)) {}

    static Listener& Of(void* pContext)
    {
        auto& l = *static_cast<Listener*>(pContext);
        if (l.bClosed)
            ++l.nAfterClose;
        return l;
    }
    // Installs the hooks and, unless nMode is 0, sets that instant mode.
    void Listen(int nMode = KYR_HID_MODE_TOUCHPNT)
    {
        KYR_EVENT_NOTIFY table {};
        table.Context = this;
        table.fnOnPacket = [](KYR_HANDLE, kyrpacket* p, int, void* c) {
            auto& l = Of(c);
            ++l.nPackets;
            if (l.onPacket)
                l.onPacket(p);
        };
        table.fnOnDisconnect = [](KYR_HANDLE, void* c) { ++Of(c).nDisconnects; };
        table.fnOnReceiveRawData = [](KYR_HANDLE, unsigned char*, unsigned short, void* c) {
            auto& l = Of(c);
            if (l.onRawData)
                l.onRawData();
            return 0;
        };
        table.fnOnDownloadingFirmware = [](KYR_HANDLE, int bDownload, void* c) {
            auto& l = Of(c);
            if (l.onDownload)
                l.onDownload(bDownload);
        };
        // Only when asked for: a pump changes how synchronous calls wait.
        if (onPump)
            table.fnOnHandleEvents = [](KYR_HANDLE, void* c) { Of(c).onPump(); };
        KyrSetEventNotify(h, &table);
        KyrSetReportTap(
            h, [](KYR_HANDLE, int, unsigned char, unsigned long long, const unsigned char*, unsigned short, void* c) { Of(c); },
            this);
        EXPECT_TRUE(nMode == 0 || KyrSetInstantMode(h, nMode, 5000, kNoGesture) == 1) << KyrGetLastError();
    }
    // Listens with the read thread stopped in its first fnOnPacket at latch;
    // let go, it runs then.
    bool ListenUntilParked(Latch& latch, std::function<void()> then = {})
    {
        onPacket = [this, &latch, then](kyrpacket*) {
            if (nPackets == 1) {
                latch.Arrive();
                if (then)
                    then();
            }
        };
        Listen();
        return latch.WaitArrived();
    }
    void Close()
    {
        KyrCloseDevice(h);
        nOutAtClose = kyrsim::SimOutCount(0);
        bClosed = true;
    }
};

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
    Listener l;
    ASSERT_NE(l.h, nullptr);
    int nPumps = 0;
    l.onPump = [&] {
        if (++nPumps == 5)
            l.Close();
    };
    l.Listen(0);
    EXPECT_EQ(KyrSendCommand(l.h, "status", 0, 30000), 0);
    EXPECT_EQ(nPumps, 5) << "no pass after the close";
    EXPECT_EQ(l.nAfterClose.load(), 0);
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

TEST(LifetimeStream, SynchronousSendFromTheReadThreadIsRefusedAtOnce)
{
    Listener l;
    ASSERT_NE(l.h, nullptr);
    std::atomic<int> nResult {-2}, nError {0};
    l.onPacket = [&](kyrpacket*) {
        if (l.nPackets == 1) {
            nResult = KyrSendCommand(l.h, "status", 0, 60000);
            nError = KyrGetLastError();
        }
    };
    l.Listen();
    EXPECT_TRUE(Eventually([&] { return l.nPackets >= 3; })) << "the read thread went on";
    EXPECT_EQ(nResult.load(), 0);
    EXPECT_EQ(nError.load(), KYR_ERROR_NOT_SUPPORT);
    KyrCloseDevice(l.h);
}

// The read thread is held in fnOnPacket while the device goes and another
// thread closes: close waits for the callback, and the unplug that follows
// is not reported for a handle being closed.
TEST(LifetimeStream, UnplugRacingCloseReportsNothingAfterClose)
{
    Listener l;
    ASSERT_NE(l.h, nullptr);
    Latch latch;
    ASSERT_TRUE(l.ListenUntilParked(latch));
    kyrsim::SimUnplug(0);
    auto closer = Async([&] {
        KyrCloseDevice(l.h);
        l.bClosed = true;
    });
    EXPECT_EQ(closer.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "close returned while a callback ran";
    latch.Release();
    ASSERT_EQ(closer.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(l.nDisconnects.load(), 0) << "fnOnDisconnect for a handle being closed";
    EXPECT_EQ(l.nAfterClose.load(), 0);
}

// Another thread replaces the table while the read thread, inside the old
// one, closes the handle: the replacement waits for the old table's call,
// the close for the replacing thread; the close must settle it.
TEST(LifetimeSwap, CloseFromACallbackWhileAnotherThreadSwapsTables)
{
    Listener l;
    ASSERT_NE(l.h, nullptr);
    Latch latch;
    ASSERT_TRUE(l.ListenUntilParked(latch, [&] { KyrCloseDevice(l.h); }));
    std::atomic<pid_t> nSwapper {0};
    auto swapper = Async([&] {
        nSwapper = gettid();
        KYR_EVENT_NOTIFY none {};
        KyrSetEventNotify(l.h, &none);
    });
    // Released once the swapper blocks, waiting for the parked call.
    ASSERT_TRUE(Eventually([&] {
        std::string stat;
        if (nSwapper != 0)
            std::getline(std::ifstream("/proc/self/task/" + std::to_string(nSwapper) + "/stat"), stat);
        const size_t nEnd = stat.rfind(')');
        return nEnd != std::string::npos && nEnd + 2 < stat.size() && stat[nEnd + 2] == 'S';
    })) << "the swapper never blocked";
    latch.Release();
    EXPECT_EQ(swapper.wait_for(kPatience), std::future_status::ready) << "table swap and close wait for each other";
    // The handle goes once the callback has returned.
    ExpectTheDeviceFreedSoon();
}

// ---- After an unplug ------------------------------------------------------------------

TEST(LifetimeGone, CallsOnAnUnpluggedHandleSayNoDevice)
{
    Listener l;
    ASSERT_NE(l.h, nullptr);
    l.Listen(0);
    kyrsim::SimUnplug(0);
    ASSERT_TRUE(Eventually([&] { return l.nDisconnects > 0; }));
    EXPECT_EQ(l.nDisconnects.load(), 1);
    const auto expectNoDevice = [](long nResult, long nExpected) {
        EXPECT_EQ(nResult, nExpected);
        EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
    };
    const unsigned char report[64] = {1, 1, 6, 0x04, 0x11};
    expectNoDevice(KyrGetDeviceInfoFromHandle(l.h) != nullptr, 0);
    expectNoDevice(KyrSendCommand(l.h, "status", 1, 0), -1);
    expectNoDevice(KyrSendCommand(l.h, "status", 0, 100), 0);
    expectNoDevice(KyrSendBuffer(l.h, report, 64, 1, 0), 0);
    KyrCloseDevice(l.h);
}

// ---- Two devices ------------------------------------------------------------------------

// Device 0's callback is held; device 1 meanwhile writes and closes, which
// needs its own transfers to complete.
TEST(LifetimeTwo, ASlowCallbackOfOneDeviceStallsNoOtherDevice)
{
    Listener l;
    KYR_HANDLE h1 = Open(KYR_USB_PRODUCT_ID_MODEL2);
    ASSERT_NE(l.h, nullptr);
    ASSERT_NE(h1, nullptr);
    Latch latch;
    ASSERT_TRUE(l.ListenUntilParked(latch));
    auto other = Async([&] {
        for (int i = 0; i < 20; ++i)
            EXPECT_GE(KyrSendCommand(h1, "status", 1, 0), 1);
        EXPECT_EQ(KyrSendCommand(h1, "status", 0, 5000), 1) << KyrGetErrorName(KyrGetLastError());
        KyrCloseDevice(h1);
    });
    EXPECT_EQ(other.wait_for(kPatience), std::future_status::ready) << "device 1 waited for device 0's callback";
    latch.Release();
    other.wait();
    KyrCloseDevice(l.h);
}

// ---- Closed from inside a callback ---------------------------------------------------

// The hook armed closes the handle from inside its callback: no callback,
// tap call or write of the handle may come after that close has returned,
// not even on the closing thread's own way out.
void CloseFromInside(int nMode, const std::function<void(Listener&)>& arm, bool bDownload = false)
{
    Listener l;
    ASSERT_NE(l.h, nullptr);
    arm(l);
    l.Listen(nMode);
    // Found by the timer thread's next pass of the download gate.
    if (bDownload)
        KyrLockFirmwareDownload(l.h);
    ExpectTheDeviceFreedSoon();
    EXPECT_TRUE(l.bClosed);
    EXPECT_EQ(l.nAfterClose.load(), 0) << "a callback or tap call after the close returned";
    EXPECT_EQ(kyrsim::SimOutCount(0), l.nOutAtClose) << "written after the close returned";
}

// The download ends at once: the gate would resend the instant mode and
// report the end, on the timer thread, right after this call.
TEST(Lifetime, CloseInsideTheTimersDownloadStartEndsItsDeliveries)
{
    CloseFromInside(
        KYR_HID_MODE_TOUCHPNT,
        [](Listener& l) {
            l.onDownload = [&l](int bDownload) {
                if (bDownload == 1 && !l.bClosed) {
                    KyrUnlockFirmwareDownload(l.h);
                    l.Close();
                }
            };
        },
        true);
}

// Once the touch stream runs, each report is one whole packet.
TEST(LifetimeRaw, CloseInsideRawDataKeepsTheReportFromTheDecoder)
{
    CloseFromInside(KYR_HID_MODE_TOUCHPNT, [](Listener& l) {
        l.onRawData = [&l] {
            if (l.nPackets > 0 && !l.bClosed)
                l.Close();
        };
    });
}

// Closed in the first of the three records (image, object, detections) of
// one packet.
TEST(LifetimeImage, CloseInsideTheFirstRecordOfAPacketDeliversNoOther)
{
    CloseFromInside(KYR_HID_MODE_VIEW, [](Listener& l) {
        l.onPacket = [&l](kyrpacket* p) {
            if (p->type == kyrtype_ird && !l.bClosed)
                l.Close();
        };
    });
}

// ---- Two devices, each read thread acting on the other's handle ---------------------------

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
        // Held in its first fnOnPacket until released, then acts on the other
        // handle; counts its calls after that.
        struct Side {
            Latch parked;
            std::atomic<bool> bReturned {false};
            std::atomic<int> nError {1}, nLater {0};
        } sides[2];
        Listener l0, l1(KYR_USB_PRODUCT_ID_MODEL2);
        Listener* listeners[2] = {&l0, &l1};
        for (int i : {0, 1}) {
            ASSERT_NE(listeners[i]->h, nullptr);
            listeners[i]->onPacket = [&, i](kyrpacket*) {
                Side& me = sides[i];
                if (listeners[i]->nPackets > 1) {
                    me.nLater += me.bReturned ? 1 : 0;
                    return;
                }
                me.parked.Arrive();
                KYR_EVENT_NOTIFY none {};
                if (bClose)
                    KyrCloseDevice(listeners[1 - i]->h);
                else
                    KyrSetEventNotify(listeners[1 - i]->h, &none);
                me.nError = KyrGetLastError();
                me.bReturned = true;
            };
        }
        l0.Listen();
        l1.Listen();
        for (Side& side : sides)
            ASSERT_TRUE(side.parked.WaitArrived());
        for (Side& side : sides)
            side.parked.Release();
        Side &s0 = sides[0], &s1 = sides[1];
        ASSERT_TRUE(Eventually([&] { return s0.bReturned && s1.bReturned; })) << "the two wait for each other";
        if (bClose) {
            EXPECT_EQ(s0.nError.load(), KYR_SUCCESS);
            EXPECT_EQ(s1.nError.load(), KYR_SUCCESS);
            ExpectTheDeviceFreedSoon();
            ExpectTheDeviceFreedSoon(KYR_USB_PRODUCT_ID_MODEL2);
        } else {
            ASSERT_TRUE(Eventually([&] { return s0.nLater + s1.nLater > 0; })) << "no table stayed";
            ASSERT_TRUE(s0.nLater == 0 || s1.nLater == 0) << "neither swap took effect";
            EXPECT_EQ((s0.nLater == 0 ? s0 : s1).nError.load(), KYR_ERROR_NOT_SUPPORT);
            KyrCloseDevice(l0.h);
            KyrCloseDevice(l1.h);
        }
    }
}
