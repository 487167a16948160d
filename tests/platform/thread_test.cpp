// Threads, locks and the stopwatch: the primitives every library thread is
// built on.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <thread>

#include "KyrLocalSyncObject.h"
#include "KyrThread.h"
#include "KyrTimer.h"

using namespace kyr_hid_library;

// Wall-clock jumps injected into this process: the stopwatch must not see them.
static std::atomic<long> g_lWallClockOffsetSeconds{0};

extern "C" int clock_gettime(clockid_t clk, struct timespec* tp)
{
    using Fn = int (*)(clockid_t, struct timespec*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int nResult = real(clk, tp);
    if (nResult == 0 && clk == CLOCK_REALTIME)
        tp->tv_sec += g_lWallClockOffsetSeconds.load();
    return nResult;
}

extern "C" int gettimeofday(struct timeval* tv, void* tz)
{
    using Fn = int (*)(struct timeval*, void*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "gettimeofday"));
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

// Waits until pred holds; generous bound, for correctness, not speed.
bool Eventually(const std::function<bool()>& pred)
{
    for (int i = 0; i < 5000; ++i) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

} // namespace

TEST(ThreadLifecycle, StopOnNeverStartedThreadReturnsAtOnce)
{
    TestThread t([](TestThread&) { return true; });
    EXPECT_FALSE(t.IsStarted());
    t.Stop();
    EXPECT_FALSE(t.IsStarted());
}

TEST(ThreadLifecycle, StopRequestsTheEndAndJoins)
{
    std::atomic<bool> bEnded{false};
    TestThread t([&](TestThread& self) {
        while (!self.WaitForTerminate(10000)) {
        }
        bEnded = true;
        return true;
    });
    ASSERT_TRUE(t.Start());
    EXPECT_TRUE(t.IsStarted());
    t.Stop();
    EXPECT_TRUE(bEnded);
    EXPECT_FALSE(t.IsStarted());
}

TEST(ThreadLifecycle, ThreadThatEndsJoinableStaysStartedUntilStopped)
{
    std::atomic<bool> bRan{false};
    TestThread t([&](TestThread&) {
        bRan = true;
        return true;
    });
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(Eventually([&] { return bRan.load(); }));
    EXPECT_TRUE(t.IsStarted());
    t.Stop();
    EXPECT_FALSE(t.IsStarted());
}

TEST(ThreadLifecycle, RestartStopsTheOldThreadBeforeTheNewOneRuns)
{
    std::atomic<int> nRunning{0};
    std::atomic<int> nMaxRunning{0};
    std::atomic<int> nRuns{0};
    TestThread t([&](TestThread& self) {
        const int n = ++nRunning;
        nMaxRunning = std::max(nMaxRunning.load(), n);
        ++nRuns;
        self.WaitForTerminate(10000);
        --nRunning;
        return true;
    });
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(Eventually([&] { return nRuns.load() == 2; }));
    t.Stop();
    EXPECT_EQ(nMaxRunning.load(), 1);
    EXPECT_EQ(nRunning.load(), 0);
}

TEST(ThreadLifecycle, SelfReleasedThreadNeedsNoJoin)
{
    std::atomic<bool> bReleased{false};
    TestThread t([&](TestThread& self) {
        self.CloseThreadHandle();
        bReleased = true;
        return false;
    });
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(Eventually([&] { return bReleased.load(); }));
    EXPECT_FALSE(t.IsStarted());
    t.Stop(); // must neither join a detached thread nor block
}

TEST(ThreadLifecycle, StopFromTheThreadItselfDoesNotDeadlock)
{
    std::atomic<bool> bDone{false};
    TestThread t([&](TestThread& self) {
        self.Stop();
        EXPECT_TRUE(self.IsSetTerminateThreadFlag());
        bDone = true;
        return true;
    });
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(Eventually([&] { return bDone.load(); }));
    EXPECT_FALSE(t.IsStarted());
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
    ASSERT_TRUE(Eventually([&] { return bDone.load(); }));
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

TEST(ThreadLifecycle, WaitForTerminateWakesAtOnceOnStop)
{
    std::atomic<bool> bWoken{false};
    TestThread t([&](TestThread& self) {
        bWoken = self.WaitForTerminate(60000);
        return true;
    });
    ASSERT_TRUE(t.Start());
    const auto start = std::chrono::steady_clock::now();
    t.Stop();
    EXPECT_TRUE(bWoken);
    // Far below the 60 s wait: Stop did not sit the wait out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(LocalLock, LockerExcludesOtherThreads)
{
    CKyrLocalSyncObject cs;
    long nCounter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            CKyrLocalSyncObject::Locker lock(cs);
            const long n = nCounter;
            if (i % 1000 == 0)
                std::this_thread::yield();
            nCounter = n + 1;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(nCounter, 40000);
}

TEST(Stopwatch, MeasuresElapsedMilliseconds)
{
    CKyrTimer timer;
    EXPECT_LT(timer.GetMiliseconds(), 1000UL);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    const unsigned long ms = timer.GetMiliseconds();
    EXPECT_GE(ms, 120UL);
    timer.Reset();
    EXPECT_LT(timer.GetMiliseconds(), ms);
}

TEST(Stopwatch, IgnoresStepsOfTheWallClock)
{
    CKyrTimer timer;
    timeval before{}, after{};
    gettimeofday(&before, nullptr);
    g_lWallClockOffsetSeconds = 3600;
    gettimeofday(&after, nullptr);
    ASSERT_GE(after.tv_sec - before.tv_sec, 3599) << "the injected clock step must be visible";
    const unsigned long msForward = timer.GetMiliseconds();
    g_lWallClockOffsetSeconds = -3600;
    const unsigned long msBackward = timer.GetMiliseconds();
    g_lWallClockOffsetSeconds = 0;
    EXPECT_LT(msForward, 60000UL);
    EXPECT_LT(msBackward, 60000UL);
}

TEST(Stopwatch, SleepSuspendsAtLeastTheGivenTime)
{
    TestThread t([](TestThread&) { return true; });
    CKyrTimer timer;
    t.Sleep(150);
    EXPECT_GE(timer.GetMiliseconds(), 150UL);
}
