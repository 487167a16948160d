// Handle lifetimes at the edges, through the exported C interface under
// kyrsim: close racing calls, callbacks and unplugs; a slow callback of one
// device against the I/O of another; concurrent instant-mode changes;
// synchronous sends from the read thread.
//
// Races are made deterministic by parking one thread at a chosen point: in a
// callback (on a latch), or in its next System V semaphore operation (this
// binary defines semop and semtimedop, which the library then calls).
#include <dlfcn.h>
#include <pthread.h>
#include <sys/sem.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <future>
#include <string_view>

#include "DeviceFixture.h"
#include "Latch.h"

namespace {

using namespace kyrtest;

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
    EXPECT_TRUE(Eventually([&] { return (h = KyrOpenDevice(kVid, nPid, kMI, 0)) != nullptr; }))
        << KyrGetErrorName(KyrGetLastError());
    KyrCloseDevice(h);
}

// One open handle (a test that failed to open it fails in Listen) whose
// callbacks and report tap all go to one hook (set before Listen), by name:
// "packet" (with the packet), "raw", "disconnect", "download" (with the
// flag), "pump" (only when bPump), "tap". Counts packets, disconnects, and
// every call that comes after a close has returned.
struct Listener {
    using Hook = std::function<void(std::string_view, kyrpacket*, int)>;
    KYR_HANDLE h;
    Hook hook = [](std::string_view, kyrpacket*, int) {};
    bool bPump = false;
    std::atomic<int> nPackets {0}, nDisconnects {0}, nAfterClose {0};
    std::atomic<bool> bClosed {false};
    uint64_t nOutAtClose = 0;

    explicit Listener(unsigned short nPid = kPid) : h(Open(nPid)) {}

    static void Call(void* pContext, std::string_view what, kyrpacket* p = nullptr, int n = 0)
    {
        auto& l = *static_cast<Listener*>(pContext);
        l.nAfterClose += l.bClosed ? 1 : 0;
        l.nPackets += what == "packet" ? 1 : 0;
        l.nDisconnects += what == "disconnect" ? 1 : 0;
        l.hook(what, p, n);
    }
    // Installs the table and the tap and, unless nMode is 0, sets that instant mode.
    void Listen(int nMode = KYR_HID_MODE_TOUCHPNT)
    {
        ASSERT_NE(h, nullptr);
        KYR_EVENT_NOTIFY table {};
        table.Context = this;
        table.fnOnPacket = [](KYR_HANDLE, kyrpacket* p, int, void* c) { Call(c, "packet", p); };
        table.fnOnDisconnect = [](KYR_HANDLE, void* c) { Call(c, "disconnect"); };
        table.fnOnReceiveRawData = [](KYR_HANDLE, unsigned char*, unsigned short, void* c) {
            return Call(c, "raw"), 0;
        };
        table.fnOnDownloadingFirmware = [](KYR_HANDLE, int b, void* c) { Call(c, "download", nullptr, b); };
        // Only when asked for: a pump changes how synchronous calls wait.
        if (bPump)
            table.fnOnHandleEvents = [](KYR_HANDLE, void* c) { Call(c, "pump"); };
        KyrSetEventNotify(h, &table);
        KyrSetReportTap(
            h, [](KYR_HANDLE, int, unsigned char, unsigned long long, const unsigned char*, unsigned short, void* c) {
                Call(c, "tap");
            }, this);
        EXPECT_TRUE(nMode == 0 || KyrSetInstantMode(h, nMode, 5000, kNoGesture) == 1) << KyrGetLastError();
    }
    // Listens with the read thread stopped in its first fnOnPacket at latch;
    // let go, it runs then.
    bool ListenUntilParked(Latch& latch, std::function<void()> then = [] {})
    {
        hook = [this, &latch, then](std::string_view what, kyrpacket*, int) {
            if (what == "packet" && nPackets == 1) {
                latch.Arrive();
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
        auto caller = std::async(std::launch::async, [&] {
            g_SemParkThread = pthread_self();
            g_pSemLatch = &latch;
            static const unsigned char query[64] = {1, 1, 6, 0x04, 0x11};
            nResult = bRaw ? KyrSendBuffer(h, query, 64, 0, 5000) : KyrSendCommand(h, "status", 0, 5000);
        });
        ASSERT_TRUE(latch.WaitArrived());
        auto closer = std::async(std::launch::async, [&] { KyrCloseDevice(h); });
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
    int nPumps = 0;
    l.bPump = true;
    l.hook = [&](std::string_view what, kyrpacket*, int) {
        if (what == "pump" && ++nPumps == 5)
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
        const auto set = [&](unsigned short nExpire) {
            return std::async(std::launch::async, [&, nExpire] {
                start.wait();
                KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, nExpire, kNoGesture);
            });
        };
        auto a = set(3000), b = set(4000);
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

// ---- One streaming protocol device ---------------------------------------------------

TEST(LifetimeStream, SynchronousSendFromTheReadThreadIsRefusedAtOnce)
{
    Listener l;
    std::atomic<int> nResult {-2}, nError {0};
    l.hook = [&](std::string_view what, kyrpacket*, int) {
        if (what == "packet" && l.nPackets == 1) {
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
    Latch latch;
    ASSERT_TRUE(l.ListenUntilParked(latch));
    kyrsim::SimUnplug(0);
    auto closer = std::async(std::launch::async, [&] {
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
    Latch latch;
    ASSERT_TRUE(l.ListenUntilParked(latch, [&] { KyrCloseDevice(l.h); }));
    std::atomic<pid_t> nSwapper {0};
    auto swapper = std::async(std::launch::async, [&] {
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
    ASSERT_NE(h1, nullptr);
    Latch latch;
    ASSERT_TRUE(l.ListenUntilParked(latch));
    auto other = std::async(std::launch::async, [&] {
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

// Closed from inside the first callback closeHere picks: no callback, tap
// call or write of the handle may come after that close has returned, not
// even on the closing thread's own way out.
void CloseFromInside(int nMode, bool (*closeHere)(Listener&, std::string_view, kyrpacket*, int), bool bDownload = false)
{
    Listener l;
    l.hook = [&](std::string_view what, kyrpacket* p, int n) {
        if (l.bClosed || !closeHere(l, what, p, n))
            return;
        // The download ends at once: the gate would resend the instant mode
        // and report the end, on the timer thread, right after this call.
        if (what == "download")
            KyrUnlockFirmwareDownload(l.h);
        l.Close();
    };
    l.Listen(nMode);
    // Found by the timer thread's next pass of the download gate.
    if (bDownload)
        KyrLockFirmwareDownload(l.h);
    ExpectTheDeviceFreedSoon();
    EXPECT_TRUE(l.bClosed);
    EXPECT_EQ(l.nAfterClose.load(), 0) << "a callback or tap call after the close returned";
    EXPECT_EQ(kyrsim::SimOutCount(0), l.nOutAtClose) << "written after the close returned";
}

TEST(Lifetime, CloseInsideTheTimersDownloadStartEndsItsDeliveries)
{
    CloseFromInside(KYR_HID_MODE_TOUCHPNT,
                    [](auto&, auto what, auto, int n) { return what == "download" && n == 1; }, true);
}

// Once the touch stream runs, each report is one whole packet.
TEST(LifetimeRaw, CloseInsideRawDataKeepsTheReportFromTheDecoder)
{
    CloseFromInside(KYR_HID_MODE_TOUCHPNT,
                    [](auto& l, auto what, auto, int) { return what == "raw" && l.nPackets > 0; });
}

// Closed in the first of the three records (image, object, detections) of
// one packet.
TEST(LifetimeImage, CloseInsideTheFirstRecordOfAPacketDeliversNoOther)
{
    CloseFromInside(KYR_HID_MODE_VIEW,
                    [](auto&, auto what, auto p, int) { return what == "packet" && p->type == kyrtype_ird; });
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
        Listener l[2] = {Listener(), Listener(KYR_USB_PRODUCT_ID_MODEL2)};
        // Each held in its first fnOnPacket until released, then acting on the
        // other handle; its calls after that are counted.
        Latch parked[2];
        std::atomic<bool> bReturned[2] = {false, false};
        std::atomic<int> nError[2] = {1, 1}, nLater[2] = {0, 0};
        for (int i : {0, 1}) {
            l[i].hook = [&, i](std::string_view what, kyrpacket*, int) {
                if (what == "packet" && l[i].nPackets > 1) {
                    nLater[i] += bReturned[i] ? 1 : 0;
                } else if (what == "packet") {
                    parked[i].Arrive();
                    KYR_EVENT_NOTIFY none {};
                    if (bClose)
                        KyrCloseDevice(l[1 - i].h);
                    else
                        KyrSetEventNotify(l[1 - i].h, &none);
                    nError[i] = KyrGetLastError();
                    bReturned[i] = true;
                }
            };
        }
        l[0].Listen();
        l[1].Listen();
        ASSERT_TRUE(parked[0].WaitArrived() && parked[1].WaitArrived());
        parked[0].Release();
        parked[1].Release();
        ASSERT_TRUE(Eventually([&] { return bReturned[0] && bReturned[1]; })) << "the two wait for each other";
        if (bClose) {
            EXPECT_EQ(nError[0].load(), KYR_SUCCESS);
            EXPECT_EQ(nError[1].load(), KYR_SUCCESS);
            ExpectTheDeviceFreedSoon();
            ExpectTheDeviceFreedSoon(KYR_USB_PRODUCT_ID_MODEL2);
        } else {
            ASSERT_TRUE(Eventually([&] { return nLater[0] + nLater[1] > 0; })) << "no table stayed";
            ASSERT_TRUE(nLater[0] == 0 || nLater[1] == 0) << "neither swap took effect";
            EXPECT_EQ(nError[nLater[0] == 0 ? 0 : 1].load(), KYR_ERROR_NOT_SUPPORT);
            KyrCloseDevice(l[0].h);
            KyrCloseDevice(l[1].h);
        }
    }
}
