// Commands, raw sends, the download interlock and the instant-mode timer
// through the exported C interface, against devices that do not answer
// (silent) or send every report straight back (loopback). Each suite runs
// under kyrsim with the devices CMakeLists.txt gives it.
//
// This binary defines clock_gettime, which the library then calls, to park a
// waiting caller at the clock read that decides its time-out.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <utility>

#include "DeviceFixture.h"
#include "Latch.h"

using namespace kyrtest;
namespace enc = kyrsim::encoder;

namespace {

int NextId(int nId) { return nId == 255 ? 1 : nId + 1; }

// A mode query for the unit at wAddr: on the wire it reads like a mode
// answer of 0, so the device side's encoder builds it.
std::vector<unsigned char> ModeQuery(uint16_t wAddr)
{
    const enc::Report report = enc::CutReports(enc::FirmwareMode(wAddr, 0), enc::Series::Single).at(0);
    return {report.begin(), report.end()};
}

// The chosen thread parks at its first clock read in the library once
// g_nParkAfterMs have passed since its first one, which starts its wait: with
// an event pump installed, the waiter reads the clock only to decide whether
// its time is up, after its last look for the answer.
std::atomic<pthread_t> g_ClockParkThread{};
std::atomic<long long> g_nParkAfterMs{0};
std::atomic<kyrtest::Latch*> g_pClockLatch{nullptr};
thread_local long long tl_nWaitStartNs = -1;

// How often the timer thread of the one open handle has blocked; -1 while
// it has not named itself.
long TimerThreadSwitches()
{
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string szName;
        std::getline(std::ifstream(task.path() / "comm"), szName);
        std::ifstream status(task.path() / "status");
        for (std::string szLine; szName == "kyrhid-timer" && std::getline(status, szLine);) {
            if (szLine.rfind("voluntary_ctxt_switches:", 0) == 0)
                return std::stol(szLine.substr(szLine.find(':') + 1));
        }
    }
    return -1;
}

// Device 0, open without a callback table.
class Command : public DeviceTest {
protected:
    Command() : DeviceTest(false) {}
};
using Loopback = DeviceTest;
using Download = DeviceTest;

} // namespace

// The system call itself, not the next definition: a lookup of that could
// recurse when a sanitizer runtime reads the clock while it starts.
extern "C" int clock_gettime(clockid_t clock, timespec* ts)
{
    const int nResult = static_cast<int>(syscall(SYS_clock_gettime, clock, ts));
    kyrtest::Latch* pLatch = g_pClockLatch.load();
    Dl_info caller{};
    if (pLatch == nullptr || nResult != 0 || !pthread_equal(g_ClockParkThread.load(), pthread_self()) ||
        dladdr(__builtin_return_address(0), &caller) == 0 || caller.dli_fname == nullptr ||
        strstr(caller.dli_fname, "KyrHIDLib") == nullptr)
        return nResult;
    const long long nNow = ts->tv_sec * 1000000000LL + ts->tv_nsec;
    if (tl_nWaitStartNs < 0)
        tl_nWaitStartNs = nNow;
    else if ((nNow - tl_nWaitStartNs) / 1000000 >= g_nParkAfterMs &&
             g_pClockLatch.compare_exchange_strong(pLatch, nullptr))
        pLatch->Arrive();
    return nResult;
}

// ---- Device 0: silent ----------------------------------------------------------

TEST_F(Command, SynchronousCommandToASilentDeviceTimesOut)
{
    EXPECT_EQ(KyrSendCommand(m_h, "status", 2, 0), 0) << "only 1 means asynchronous";
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT);
    m_r.Install(m_h, true);
    EXPECT_EQ(KyrSendCommand(m_h, "status", 0, 200), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT);
    EXPECT_EQ(KyrGetResponse(m_h), nullptr);
    // The waiter pumps the events about once a millisecond; far fewer
    // passes than a spinning loop would make.
    EXPECT_GT(m_r.nPumps.load(), 20);
    EXPECT_LT(m_r.nPumps.load(), 5000);
}

TEST_F(Command, IdsRunFrom1To255AndSkip0)
{
    int nPrevious = KyrSendCommand(m_h, "ping", 1, 0);
    ASSERT_GE(nPrevious, 1);
    for (int i = 0; i < 300; ++i) {
        const int nId = KyrSendCommand(m_h, "ping", 1, 0);
        ASSERT_EQ(nId, NextId(nPrevious)) << KyrGetErrorName(KyrGetLastError());
        nPrevious = nId;
    }
}

// Refused with KYR_ERROR_INVALID_PARAMETER, sending nothing and taking no
// id: missing arguments, texts too long, expire times out of range (read in
// 64 bits) and instant-mode letters longer than any command.
TEST_F(Command, RefusedCallsSayInvalidParameterAndTakeNoId)
{
    EXPECT_EQ(KyrCalculateCRC(nullptr, 0), 0);
    EXPECT_EQ(KyrCalculateCRC(nullptr, 100), 0);
    EXPECT_EQ(KyrCheckCRC(nullptr, 100), 0xFFFF) << "the check of no bytes";

    const std::string tooLong(1014, 'a');
    const std::string letters = "instant_mode=" + std::string(2000, 'T');
    const unsigned char shortBuffer[4] = {1, 1, 1, 0};
    const std::pair<int, std::function<int()>> refusals[] = {
        {-1, [&] { return KyrSendCommand(m_h, tooLong.c_str(), 1, 0); }},
        // A time text over 16 characters.
        {-1, [&] { return KyrSendCommand(m_h, "instant_mode=T,12345678901234567,0x3", 1, 0); }},
        {-1, [&] { return KyrSendCommand(m_h, "instant_mode=T,99999999999", 1, 0); }},
        {-1, [&] { return KyrSendCommand(m_h, "instant_mode=T,-5", 1, 0); }},
        {-1, [&] { return KyrSendCommand(m_h, "instant_mode=T,2147483648,0x3", 1, 0); }},
        {0, [&] { return KyrSendCommand(m_h, letters.c_str(), 0, 100); }},
        {-1, [&] { return KyrSendCommand(m_h, nullptr, 1, 0); }},
        {-1, [&] { return KyrSendCommand(nullptr, "status", 1, 0); }},
        // No packet id to wait for in under 5 bytes.
        {0, [&] { return KyrSendBuffer(m_h, shortBuffer, sizeof shortBuffer, 0, 100); }},
        {0, [&] { return KyrSendBuffer(m_h, shortBuffer, 0, 1, 0); }},
        {0, [&] { return KyrSendBuffer(m_h, nullptr, 64, 1, 0); }},
        {0, [&] { return KyrQueryFirmwareVersion(m_h, 0x1000, nullptr, 0, 100); }},
        {0, [] { return KyrSetInstantMode(nullptr, 1, 0, 0); }},
    };
    const int nBefore = KyrSendCommand(m_h, "ping", 1, 0);
    ASSERT_GE(nBefore, 1);
    const uint64_t nOut = kyrsim::SimOutCount(0);
    for (size_t i = 0; i < std::size(refusals); ++i) {
        EXPECT_EQ(refusals[i].second(), refusals[i].first) << "refusal " << i;
        EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER) << "refusal " << i;
    }
    EXPECT_EQ(kyrsim::SimOutCount(0), nOut) << "a refused call sent something";
    EXPECT_EQ(KyrSendCommand(m_h, std::string(1013, 'a').c_str(), 1, 0), NextId(nBefore)) << "the longest text";
    EXPECT_EQ(KyrSendBuffer(m_h, shortBuffer, sizeof shortBuffer, 1, 0), 1) << "asynchronous is fine";
}

// The longest expire time: 70 % of 24.8 days, no keep-alive in the next
// second (an overflowed product asked for one every tick). Packet id 0xFFFF
// is a packet id like any other; the silent device never answers it.
TEST_F(Command, LongestExpireTimeAndPacketIdFFFFAreOrdinary)
{
    const uint64_t nBefore = kyrsim::SimOutCount(0);
    EXPECT_GE(KyrSendCommand(m_h, "instant_mode=T,2147483647", 1, 0), 1) << KyrGetErrorName(KyrGetLastError());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(kyrsim::SimOutCount(0), nBefore + 1);
    const unsigned char report[64] = {1, 1, 6, 0xFF, 0xFF};
    EXPECT_EQ(KyrSendBuffer(m_h, report, 64, 0, 200), 0);
    int nMode = -1;
    EXPECT_EQ(KyrQueryFirmwareVersion(m_h, 0xFFFF, &nMode, 0, 200), 0);
    EXPECT_EQ(nMode, 0);
    EXPECT_EQ(kyrsim::SimOutCount(0), nBefore + 3);
}

TEST_F(Command, CloseDuringAWaitEndsItAtOnce)
{
    std::atomic<int> nResult{-2}, nError{0};
    const uint64_t nSent = kyrsim::SimOutCount(0);
    std::thread waiter([&] {
        nResult = KyrSendCommand(m_h, "status", 0, 60000);
        nError = KyrGetLastError();
    });
    // The command reached the device: its sender waits for the answer.
    ASSERT_TRUE(Eventually([&] { return kyrsim::SimOutCount(0) > nSent; }));
    const auto start = std::chrono::steady_clock::now();
    KyrCloseDevice(m_h); // returns once the waiter has left the handle
    m_h = nullptr;
    waiter.join();
    EXPECT_EQ(nResult.load(), 0);
    EXPECT_EQ(nError.load(), KYR_ERROR_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "not the 60 s timeout";
}

TEST_F(Command, OneSynchronousRawSendAtATime)
{
    const std::vector<unsigned char> query = ModeQuery(0x1000);
    const uint64_t nSent = kyrsim::SimOutCount(0);
    std::thread first([&] { EXPECT_EQ(KyrSendBuffer(m_h, query.data(), 64, 0, 3000), 0); });
    // The query reached the device: the first sender waits for the answer.
    EXPECT_TRUE(Eventually([&] { return kyrsim::SimOutCount(0) > nSent; }));
    EXPECT_EQ(KyrSendBuffer(m_h, query.data(), 64, 0, 100), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_DEVICE_BUSY);
    EXPECT_EQ(KyrSendBuffer(m_h, query.data(), 64, 1, 0), 1) << "asynchronous sends are not held up";
    first.join();
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS) << "a raw send that timed out leaves success";
}

// The answer lands after the waiter's last look, as its time runs out: it
// counts, and does not stay behind to answer the next command that draws the
// same id, 255 commands later, which this device never answers.
TEST_F(Command, AnAnswerAsTheTimeRunsOutIsNotLeftForTheIdsNextUse)
{
    m_r.Install(m_h, true);
    ASSERT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_COMMAND, 0, kNoGesture), 1);
    const int nBefore = KyrSendCommand(m_h, "ping", 1, 0);
    ASSERT_GE(nBefore, 1);
    const auto nId = static_cast<uint8_t>(NextId(nBefore));
    constexpr unsigned short kTimeout = 200;
    kyrtest::Latch latch;
    std::atomic<int> nResult{-2};
    auto waiter = std::async(std::launch::async, [&] {
        g_ClockParkThread = pthread_self();
        g_nParkAfterMs = kTimeout;
        g_pClockLatch = &latch;
        nResult = KyrSendCommand(m_h, "status", 0, kTimeout);
    });
    if (!latch.WaitArrived()) {
        g_pClockLatch = nullptr;
        FAIL() << "the waiter never read the clock past its time-out";
    }
    Emit(enc::Text(enc::kAddrMM, enc::TextKind::Response, 0, nId, "ok"));
    // Decoded once the answer before it has been matched.
    Emit(enc::Text(enc::kAddrMM, enc::TextKind::Status, 0, 0, "after"));
    EXPECT_TRUE(m_r.WaitFor([&] { return !m_r.types.empty() && m_r.types.back() == kyrtype_stt; }));
    latch.Release();
    waiter.wait();
    EXPECT_EQ(nResult.load(), 1) << "the answer came before the waiter gave up";
    ASSERT_NE(KyrGetResponse(m_h), nullptr);
    EXPECT_STREQ(KyrGetResponse(m_h), "ok");

    int nLast = 0;
    for (int i = 0; i < 254; ++i)
        nLast = KyrSendCommand(m_h, "ping", 1, 0);
    ASSERT_EQ(NextId(nLast), nId) << "the next command draws the id again";
    EXPECT_EQ(KyrSendCommand(m_h, "status", 0, kTimeout), 0) << "answered by the old answer";
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT);
}

// Switched off, nothing is due: the timer thread sleeps until switched on.
TEST_F(Command, InstantModeSwitchedOffLetsTheTimerSleep)
{
    ASSERT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_TOUCHPNT, 1000, kNoGesture), 1);
    ASSERT_EQ(KyrSetInstantMode(m_h, 0, 0, kNoGesture), 1);
    // From once the thread runs (it names itself) and has taken in the
    // switch, which shows as a count that holds for a moment.
    long nBefore = TimerThreadSwitches();
    Eventually(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const long nPrevious = std::exchange(nBefore, TimerThreadSwitches());
            return nBefore >= 0 && nBefore == nPrevious;
        },
        kPatience);
    ASSERT_GE(nBefore, 0);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_LE(TimerThreadSwitches() - nBefore, 1);
}

// The timer thread's sends and gate passes leave the application's last error
// alone: a failure the application read stays, and so does a success.
TEST_F(Command, TheTimerThreadLeavesTheLastErrorAlone)
{
    m_r.Install(m_h);
    ASSERT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_TOUCHPNT, 1000, kNoGesture), 1);
    EXPECT_EQ(KyrSendCommand(m_h, nullptr, 1, 0), -1);
    const uint64_t nSent = kyrsim::SimOutCount(0);
    ASSERT_TRUE(Eventually([&] { return kyrsim::SimOutCount(0) >= nSent + 2; }, kPatience)) << "two keep-alives";
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);

    // The timer's gate pass finds the mark before it tells the sink.
    KyrLockFirmwareDownload(m_h);
    ASSERT_EQ(KyrGetLastError(), KYR_SUCCESS);
    EXPECT_TRUE(m_r.WaitFor([&] { return !m_r.downloads.empty(); }));
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);
    KyrUnlockFirmwareDownload(m_h);
}

TEST_F(Command, InstantModeTimeZeroSendsNothing)
{
    const uint64_t nBefore = kyrsim::SimOutCount(0);
    EXPECT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_TOUCHPNT, 0, kNoGesture), 1);
    EXPECT_EQ(KyrSendCommand(m_h, "instant_mode=MC,", 0, 100), 1);
    EXPECT_EQ(kyrsim::SimOutCount(0), nBefore);
}

// ---- Device 0: loopback, so every query comes back as its own answer -------------

TEST_F(Loopback, FirmwareModeQueryGoesOutAsOneReport)
{
    int nMode = -1;
    // The echoed query decodes as a mode answer 0 with the awaited packet id,
    // so the version query follows (an application-version query for mode 0).
    EXPECT_EQ(KyrQueryFirmwareVersion(m_h, 0x1000, &nMode, 0, 2000), 1);
    EXPECT_EQ(nMode, 0);
    std::lock_guard lock(m_r.mutex);
    ASSERT_GE(m_r.raw.size(), 2u);
    const std::vector<unsigned char> expected = ModeQuery(0x1000);
    EXPECT_EQ(std::vector<unsigned char>(m_r.raw[0].begin(), m_r.raw[0].begin() + 9),
              std::vector<unsigned char>(expected.begin(), expected.begin() + 9));
    EXPECT_EQ(m_r.raw[0][0], 1);
    EXPECT_EQ(m_r.raw[1][2], 33) << "the application version query";
    EXPECT_EQ(m_r.raw[1][3], 0x00);
    EXPECT_EQ(m_r.raw[1][4], 0x10);
}

// ---- Devices 0 (model, first kind) and 1 (virtual): the download interlock ------

TEST_F(Download, AMarkHoldsBackEveryoneButTheRawSendsOfItsHolder)
{
    KYR_HANDLE hOther = KyrOpenDevice(kVid, KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VIRTUAL_INTERFACE, 0);
    ASSERT_NE(hOther, nullptr);
    Recorder other;
    other.Install(hOther);
    const unsigned char report[64] = {1, 1, 6};

    KyrLockFirmwareDownload(m_h);
    EXPECT_EQ(KyrSendCommand(hOther, "status", 1, 0), -1);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_FIRMWARE_DOWNLOAD);
    EXPECT_EQ(KyrSendBuffer(hOther, report, 64, 1, 0), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_FIRMWARE_DOWNLOAD);
    EXPECT_EQ(KyrSendCommand(m_h, "status", 1, 0), -1) << "commands stop for the holder too";
    EXPECT_EQ(KyrSendBuffer(m_h, report, 64, 1, 0), 1) << "the holder's raw sends go on";

    KyrUnlockFirmwareDownload(m_h);
    EXPECT_GE(KyrSendCommand(hOther, "status", 1, 0), 1);
    EXPECT_GE(KyrSendCommand(m_h, "status", 1, 0), 1);
    for (Recorder* r : {&m_r, &other})
        EXPECT_EQ(r->Locked([&] { return r->downloads; }), (std::vector<int>{1, 0})) << "one start, one end";
    KyrCloseDevice(hOther);
}

TEST_F(Download, AMarkLeftByAClosedHandleIsTakenBack)
{
    KyrLockFirmwareDownload(m_h);
    KyrCloseDevice(m_h);
    m_h = KyrOpenDevice(kVid, KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VIRTUAL_INTERFACE, 0);
    ASSERT_NE(m_h, nullptr);
    EXPECT_GE(KyrSendCommand(m_h, "status", 1, 0), 1);
}

// ---- Devices 0 to 2 (silent, at addresses 5 to 7): unplugged during a wait ------

TEST(Unplug, EverySynchronousWaitEndsAtOnceWithNoDevice)
{
    constexpr unsigned short kTimeout = 30000;
    const std::vector<unsigned char> query = ModeQuery(0x1000);
    const std::pair<const char*, std::function<int(KYR_HANDLE)>> calls[] = {
        {"KyrSendCommand", [](KYR_HANDLE h) { return KyrSendCommand(h, "status", 0, kTimeout); }},
        {"KyrSendBuffer", [&](KYR_HANDLE h) { return KyrSendBuffer(h, query.data(), 64, 0, kTimeout); }},
        {"KyrQueryFirmwareVersion",
         [](KYR_HANDLE h) {
             int nMode = -1;
             return KyrQueryFirmwareVersion(h, 0x1000, &nMode, 0, kTimeout);
         }},
    };
    // All open before the first unplug, which would shift the indices.
    KYR_HANDLE handles[std::size(calls)];
    for (unsigned short i = 0; i < std::size(calls); ++i)
        ASSERT_NE(handles[i] = KyrOpenDevice(kVid, kPid, kMI, i), nullptr) << KyrGetErrorName(KyrGetLastError());
    // The wait is under way once it pumps the application's events: the
    // device goes then, from the waiting thread itself.
    struct UnplugOnFirstPass {
        int nDevice;
        int nPasses = 0;
    };
    for (size_t i = 0; i < std::size(calls); ++i) {
        unsigned nBus = 0, nAddress = 0, nInterface = 0;
        ASSERT_EQ(std::sscanf(KyrGetDevInfoPath(KyrGetDeviceInfoFromHandle(handles[i])), "%x:%x:%x", &nBus,
                              &nAddress, &nInterface),
                  3);
        UnplugOnFirstPass pump{static_cast<int>(nAddress) - 5};
        KYR_EVENT_NOTIFY table{};
        table.Context = &pump;
        table.fnOnHandleEvents = [](KYR_HANDLE, void* pContext) {
            auto* p = static_cast<UnplugOnFirstPass*>(pContext);
            if (p->nPasses++ == 0)
                kyrsim::SimUnplug(p->nDevice);
        };
        KyrSetEventNotify(handles[i], &table);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(calls[i].second(handles[i]), 0) << calls[i].first;
        EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE) << calls[i].first;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << calls[i].first;
        EXPECT_GE(pump.nPasses, 1) << calls[i].first;
        KyrCloseDevice(handles[i]);
    }
}
