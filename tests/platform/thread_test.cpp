// Threads, locks and the stopwatch: the primitives every library thread is
// built on.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

#include "KyrThread.h"
#include "KyrTimer.h"
#include "KyrTrace.h"

using namespace kyr_hid_library;

// Wall-clock jumps injected into this process: the stopwatch must not see them.
static std::atomic<long> g_lWallClockOffsetSeconds{0};

extern "C" int clock_gettime(clockid_t clk, struct timespec* tp)
{
    static const auto real = reinterpret_cast<decltype(&clock_gettime)>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int nResult = real(clk, tp);
    if (nResult == 0 && clk == CLOCK_REALTIME)
        tp->tv_sec += g_lWallClockOffsetSeconds.load();
    return nResult;
}

extern "C" int gettimeofday(struct timeval* tv, void* tz)
{
    static const auto real = reinterpret_cast<int (*)(struct timeval*, void*)>(dlsym(RTLD_NEXT, "gettimeofday"));
    const int nResult = real(tv, tz);
    if (nResult == 0)
        tv->tv_sec += g_lWallClockOffsetSeconds.load();
    return nResult;
}

namespace {

// A thread whose body is given by the test.
class TestThread : public CKyrThread {
public:
    explicit TestThread(std::function<bool(TestThread&)> body) : m_Body(std::move(body)) {}
    ~TestThread() override { Stop(); }
    bool Run() override { return m_Body(*this); }

private:
    std::function<bool(TestThread&)> m_Body;
};

// Waits until the flag is set; generous bound, for correctness, not speed.
bool Eventually(const std::atomic<bool>& bFlag)
{
    for (int i = 0; i < 5000 && !bFlag; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return bFlag;
}

} // namespace

// Stop on a thread never started returns at once; on a running one it ends
// the thread's wait for the request at once and joins it. Start on a running
// one does the same before the new thread runs.
TEST(ThreadLifecycle, StopAndRestartWakeTheWaitForTerminateAndJoin)
{
    std::atomic<int> nRunning{0}, nMaxRunning{0}, nWoken{0};
    std::atomic<bool> bIn{false};
    TestThread t([&](TestThread& self) {
        nMaxRunning = std::max(nMaxRunning.load(), ++nRunning);
        bIn = true;
        nWoken += self.WaitForTerminate(60000);
        --nRunning;
        return true;
    });
    t.Stop();
    EXPECT_FALSE(t.IsStarted());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(Eventually(bIn));
    bIn = false;
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(Eventually(bIn));
    EXPECT_TRUE(t.IsStarted());
    t.Stop();
    EXPECT_EQ(nWoken.load(), 2);
    EXPECT_EQ(nMaxRunning.load(), 1);
    EXPECT_FALSE(t.IsStarted());
    // Far below the 60 s waits: neither Start nor Stop sat one out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

// A thread that ran to its end: one that returned true stays started
// (joinable) until stopped; one that released itself, or stopped itself
// (without deadlock), needs no join, and a Stop must neither join it nor block.
TEST(ThreadLifecycle, EndedThreadStaysStartedUntilStoppedUnlessItReleasedOrStoppedItself)
{
    enum End { Joinable, Released, Stopped };
    for (const End end : {Joinable, Released, Stopped}) {
        SCOPED_TRACE(end);
        std::atomic<bool> bRan{false};
        TestThread t([&](TestThread& self) {
            const End how = end;
            if (how == Released)
                self.CloseThreadHandle();
            if (how == Stopped) {
                self.Stop();
                EXPECT_TRUE(self.IsSetTerminateThreadFlag());
            }
            bRan = true; // the last use of the test's state: a released thread may outlive it
            return how != Released;
        });
        ASSERT_TRUE(t.Start());
        ASSERT_TRUE(Eventually(bRan));
        EXPECT_EQ(t.IsStarted(), end == Joinable);
        t.Stop();
        EXPECT_FALSE(t.IsStarted());
    }
}

// A thread that reports its own end (like a read thread whose device was
// unplugged) may see its owner destroyed by the callback it makes.
TEST(ThreadLifecycle, OwnerDestroyedByTheReleasedThreadItself)
{
    std::atomic<bool> bDone{false};
    auto* pThread = new TestThread([&](TestThread& self) {
        std::atomic<bool>* pDone = &bDone; // the closure dies with its owner
        self.CloseThreadHandle();
        delete &self;
        *pDone = true;
        return false;
    });
    ASSERT_TRUE(pThread->Start());
    ASSERT_TRUE(Eventually(bDone));
}

// The owner's Stop and the thread's self-release race: each thread is joined
// or detached exactly once (the sanitizer builds report a thread leak or a
// double disposal).
TEST(ThreadLifecycle, StopRacingSelfReleaseDisposesEachThreadOnce)
{
    for (int i = 0; i < 300; ++i) {
        std::atomic<bool> bGo{false};
        TestThread t([&](TestThread& self) {
            while (!bGo.load())
                std::this_thread::yield();
            self.CloseThreadHandle();
            return false;
        });
        ASSERT_TRUE(t.Start());
        bGo = true;
        if (i % 2 == 0)
            std::this_thread::yield();
        t.Stop();
        EXPECT_FALSE(t.IsStarted());
    }
}

// A sleep measured by the stopwatch, which steps of the wall clock injected
// meanwhile do not move.
TEST(Stopwatch, MeasuresASleepAndIgnoresStepsOfTheWallClock)
{
    CKyrTimer timer;
    EXPECT_LT(timer.GetMiliseconds(), 1000UL);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const unsigned long ms = timer.GetMiliseconds();
    EXPECT_GE(ms, 150UL);
    timeval before{}, after{};
    gettimeofday(&before, nullptr);
    g_lWallClockOffsetSeconds = 3600;
    gettimeofday(&after, nullptr);
    EXPECT_GE(after.tv_sec - before.tv_sec, 3599) << "the injected clock step must be visible";
    EXPECT_LT(timer.GetMiliseconds(), ms + 60000UL);
    g_lWallClockOffsetSeconds = -3600;
    EXPECT_LT(timer.GetMiliseconds(), ms + 60000UL);
    g_lWallClockOffsetSeconds = 0;
    timer.Reset();
    EXPECT_LT(timer.GetMiliseconds(), ms);
}

// A trace line goes to standard output as formatted, cut to what its
// 1024-byte buffer holds; a null format prints nothing.
TEST(Trace, PrintsTheFormattedLineCutToItsBuffer)
{
    CKyrTrace trace;
    const std::string szLong(2000, 'x');
    const char* pNoFormat = nullptr;
    testing::internal::CaptureStdout();
    trace("%s %d|", "id", 7);
    trace(pNoFormat, 1);
    trace("%s", szLong.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "id 7|" + szLong.substr(0, 1023));
}
