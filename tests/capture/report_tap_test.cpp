// KyrSetReportTap through the exported interface under kyrsim: what the tap
// sees and on which thread, and its lifetime against replacement and close.
// Races are made deterministic by parking the tap on a latch.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "Latch.h"

namespace {

using namespace std::chrono_literals;

constexpr unsigned short kMI = 1;  // endpoints 0x02 and 0x82
constexpr auto kPatience = 10s;

// CLOCK_MONOTONIC nanoseconds, as the tap's times.
unsigned long long MonotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

KYR_HANDLE Open() { return KyrOpenDevice(KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL1, kMI, 0); }

struct Seen {
    int nDirection;
    unsigned char nEndpoint;
    unsigned long long qwNs;
    std::vector<unsigned char> bytes;
    std::thread::id thread;
};

struct Log {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Seen> seen;  // guarded by mutex
    size_t nIn = 0;          // guarded by mutex

    bool WaitForIn(size_t n)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, kPatience, [&] { return nIn >= n; });
    }
};

void LogTap(KYR_HANDLE, int nDirection, unsigned char nEndpoint, unsigned long long qwNs,
            const unsigned char* pReport, unsigned short nLength, void* pContext)
{
    auto& log = *static_cast<Log*>(pContext);
    std::lock_guard lock(log.mutex);
    log.seen.push_back({nDirection, nEndpoint, qwNs, {pReport, pReport + nLength}, std::this_thread::get_id()});
    log.nIn += nDirection == KYR_REPORT_IN ? 1 : 0;
    log.cv.notify_all();
}

// Parks the first IN report's tap call until released; counts the late calls.
struct Parking {
    kyrtest::Latch latch;
    std::atomic<bool> bParked{false};
    std::atomic<bool> bAfterReturn{false};  // set by the test once the call under test returned
    std::atomic<int> nLate{0};              // calls that began after that
};

void ParkingTap(KYR_HANDLE, int nDirection, unsigned char, unsigned long long, const unsigned char*, unsigned short,
                void* pContext)
{
    auto& parking = *static_cast<Parking*>(pContext);
    if (parking.bAfterReturn)
        ++parking.nLate;
    if (nDirection == KYR_REPORT_IN && !parking.bParked.exchange(true))
        parking.latch.Arrive();
}

// The tap removes itself from inside its own call: no wait for itself.
void SelfRemovingTap(KYR_HANDLE h, int, unsigned char, unsigned long long, const unsigned char*, unsigned short,
                     void* pContext)
{
    KyrSetReportTap(h, nullptr, nullptr);
    static_cast<std::atomic<int>*>(pContext)->fetch_add(1);
}

TEST(ReportTap, SeesEveryReportBothWaysUntilRemoved)
{
    KYR_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    Log log;
    KyrSetReportTap(h, &LogTap, &log);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);

    const unsigned long long qwBefore = MonotonicNs();
    // "long 100": a command that fits one report, answered in two.
    ASSERT_EQ(KyrSendCommand(h, "long 100", 0, 5000), 1);
    ASSERT_TRUE(log.WaitForIn(2));
    const unsigned long long qwAfter = MonotonicNs();
    // A removed tap sees nothing more; a tap may remove itself while it runs;
    // a null handle is refused.
    KyrSetReportTap(h, nullptr, nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);
    ASSERT_EQ(KyrSendCommand(h, "echo two", 0, 5000), 1);
    std::atomic<int> nCalls{0};
    KyrSetReportTap(h, &SelfRemovingTap, &nCalls);
    auto sender = std::async(std::launch::async, [&] { EXPECT_EQ(KyrSendCommand(h, "echo x", 0, 5000), 1); });
    ASSERT_EQ(sender.wait_for(kPatience), std::future_status::ready) << "the tap waited for itself";
    EXPECT_EQ(nCalls, 1) << "the OUT report's call removed the tap before the answer came";
    KyrCloseDevice(h);
    KyrSetReportTap(nullptr, &LogTap, nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);

    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.seen.size(), 3u);
    const Seen& out = log.seen[0];
    EXPECT_EQ(out.nDirection, KYR_REPORT_OUT);
    EXPECT_EQ(out.nEndpoint, 0x02);
    EXPECT_EQ(out.thread, std::this_thread::get_id()) << "an OUT report is seen on the sending thread";
    ASSERT_EQ(out.bytes.size(), 64u);
    // Report id 1, last report, a command packet 0x1007 carrying the text.
    EXPECT_EQ(out.bytes[0], 1);
    EXPECT_EQ(out.bytes[1], 1);
    EXPECT_EQ(out.bytes[3] | out.bytes[4] << 8, 0x1007);
    EXPECT_EQ(std::string(out.bytes.begin() + 11, out.bytes.begin() + 19), "long 100");
    for (size_t i = 1; i < 3; ++i) {
        const Seen& in = log.seen[i];
        EXPECT_EQ(in.nDirection, KYR_REPORT_IN);
        EXPECT_EQ(in.nEndpoint, 0x82);
        EXPECT_NE(in.thread, std::this_thread::get_id()) << "an IN report is seen on the read thread";
        ASSERT_EQ(in.bytes.size(), 64u);
        EXPECT_EQ(in.bytes[1], i == 1 ? 0x00 : 0x01) << "the answer takes two reports";
    }
    unsigned long long qwLast = qwBefore;
    for (const Seen& s : log.seen) {
        EXPECT_GE(s.qwNs, qwLast) << "CLOCK_MONOTONIC nanoseconds, in order of the exchange";
        EXPECT_LE(s.qwNs, qwAfter);
        qwLast = s.qwNs;
    }
}

// Streams run from attach on (DEVICES of CMakeLists.txt), so IN reports keep
// coming: a tap call is parked on the read thread while the tap is replaced,
// or the device closed; neither returns before that call, and no call follows.
TEST(ReportTapStream, ReplacingAndClosingWaitForTheRunningCall)
{
    for (bool bClose : {false, true}) {
        SCOPED_TRACE(bClose ? "close" : "replace");
        KYR_HANDLE h = Open();
        ASSERT_NE(h, nullptr);
        Parking parking;
        KyrSetReportTap(h, &ParkingTap, &parking);
        ASSERT_TRUE(parking.latch.WaitArrived());
        auto call = std::async(std::launch::async,
                               [&] { bClose ? KyrCloseDevice(h) : KyrSetReportTap(h, nullptr, nullptr); });
        EXPECT_EQ(call.wait_for(300ms), std::future_status::timeout) << "returned while a call of the tap still ran";
        parking.latch.Release();
        ASSERT_EQ(call.wait_for(kPatience), std::future_status::ready);
        parking.bAfterReturn = true;
        // Reports keep arriving; none reaches the old tap any more.
        std::this_thread::sleep_for(100ms);
        if (!bClose)
            KyrCloseDevice(h);
        EXPECT_EQ(parking.nLate, 0);
    }
}

}  // namespace
