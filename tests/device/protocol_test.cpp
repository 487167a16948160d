// The command exchange, firmware queries and instant mode against kyrsim's
// protocol device, through the exported C interface. Each suite runs under
// kyrsim with the device scenario CMakeLists.txt gives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"

namespace {

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;
constexpr unsigned long kNoGesture = ~0UL;

struct Packets {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<short> types;
    std::vector<int> syncFlags;
    std::vector<std::string> responses;                   // texts of kyrtype_rsp packets
    std::vector<std::pair<std::string, int>> answers;      // the same, with their sync flag
    std::atomic<int> nTouch{0};
    std::atomic<int> nDisconnects{0};

    bool WaitForTypes(size_t n, std::chrono::milliseconds patience = std::chrono::seconds(5))
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, patience, [&] { return types.size() >= n; });
    }
};

void OnPacket(KYR_HANDLE, kyrpacket* p, int bSync, void* pContext)
{
    auto* r = static_cast<Packets*>(pContext);
    if (p->type == kyrtype_tpt)
        ++r->nTouch;
    std::lock_guard lock(r->mutex);
    r->types.push_back(p->type);
    r->syncFlags.push_back(bSync);
    if (p->type == kyrtype_rsp) {
        r->responses.emplace_back(p->body.rsp.command);
        r->answers.emplace_back(p->body.rsp.command, bSync);
    }
    r->cv.notify_all();
}

void OnDisconnect(KYR_HANDLE, void* pContext)
{
    ++static_cast<Packets*>(pContext)->nDisconnects;
}

KYR_EVENT_NOTIFY TableFor(Packets& r)
{
    KYR_EVENT_NOTIFY table{};
    table.Context = &r;
    table.fnOnPacket = &OnPacket;
    table.fnOnDisconnect = &OnDisconnect;
    return table;
}

// Polls until pred holds; the deadline only bounds a wait that a loaded
// machine may stretch, it judges nothing.
template <typename Predicate>
bool Eventually(Predicate pred, std::chrono::seconds patience = std::chrono::seconds(30))
{
    for (const auto deadline = std::chrono::steady_clock::now() + patience; !pred();) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Protocol : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_h = KyrOpenDevice(kVid, kPid, kMI, 0);
        ASSERT_NE(m_h, nullptr) << KyrGetErrorName(KyrGetLastError());
        KYR_EVENT_NOTIFY table = TableFor(m_Packets);
        KyrSetEventNotify(m_h, &table);
    }
    void TearDown() override { KyrCloseDevice(m_h); }

    // Data modes with the command bit, so that response texts are kept.
    void KeepResponses(int nMore = 0)
    {
        ASSERT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_COMMAND | nMore, 5000, kNoGesture), 1);
    }
    std::string Response() const
    {
        const char* psz = KyrGetResponse(m_h);
        return psz != nullptr ? psz : "<null>";
    }

    KYR_HANDLE m_h = nullptr;
    Packets m_Packets;
};

} // namespace

// ---- model=kyr ----------------------------------------------------------------

TEST_F(Protocol, SynchronousCommandReturnsItsAnswer)
{
    // Without the command bit the caller is answered but no text is kept.
    EXPECT_EQ(KyrSendCommand(m_h, "echo first", 0, 2000), 1) << KyrGetErrorName(KyrGetLastError());
    EXPECT_EQ(KyrGetResponse(m_h), nullptr);

    KeepResponses();
    EXPECT_EQ(KyrSendCommand(m_h, "echo hello device", 0, 2000), 1);
    EXPECT_EQ(Response(), "hello device");
    EXPECT_EQ(KyrSendCommand(m_h, "frobnicate", 0, 2000), 1);
    EXPECT_EQ(Response(), "unknown command: frobnicate");
}

TEST_F(Protocol, AsynchronousCommandIsAnsweredAsAnOrdinaryPacket)
{
    KeepResponses();
    ASSERT_EQ(KyrSendCommand(m_h, "echo sync", 0, 2000), 1);
    const size_t nBefore = m_Packets.types.size();
    const int nId = KyrSendCommand(m_h, "echo async", 1, 0);
    ASSERT_GE(nId, 1);
    ASSERT_TRUE(m_Packets.WaitForTypes(nBefore + 1));
    std::lock_guard lock(m_Packets.mutex);
    EXPECT_EQ(m_Packets.responses.back(), "async");
    EXPECT_EQ(m_Packets.syncFlags.back(), 0);
    EXPECT_EQ(Response(), "sync") << "asynchronous answers are not kept";
}

TEST_F(Protocol, ModeLettersReachTheDeviceMerged)
{
    // Taken as a mode request: the result is the id of the command the
    // library sent for it, synchronous or not.
    const int nId = KyrSendCommand(m_h, "instant_mode=tc,3000,0x3F", 0, 2000);
    ASSERT_GE(nId, 1);
    const std::string expected = std::to_string(nId) + " instant_mode=CT,3000,0x0000003f";
    std::string last;
    Eventually([&] { return (last = kyrsim::SimRequest("lastcmd 0")) == expected; });
    EXPECT_EQ(last, expected);
    EXPECT_EQ(kyrsim::SimRequest("streams 0"), "T");
}

TEST_F(Protocol, CommandsFromSeveralThreadsReachTheDeviceWhole)
{
    // Several reports each, sent without waiting from two threads at once:
    // interleaved reports, or one packet built over another, would spoil them.
    const uint64_t nBefore = kyrsim::SimCommandCount(0);
    constexpr int kPerThread = 200;
    std::atomic<int> nSent{0};
    auto sender = [&](char cTag) {
        const std::string text = "echo " + std::string(150, cTag);
        for (int i = 0; i < kPerThread; ++i)
            nSent += KyrSendCommand(m_h, text.c_str(), 1, 0) >= 1 ? 1 : 0;
    };
    std::thread a(sender, 'a'), b(sender, 'b');
    a.join();
    b.join();
    EXPECT_EQ(nSent.load(), 2 * kPerThread);
    uint64_t nArrived = 0;
    Eventually([&] { return (nArrived = kyrsim::SimCommandCount(0) - nBefore) >= 2u * kPerThread; });
    EXPECT_EQ(nArrived, 2u * kPerThread) << "every packet arrived intact";
}

TEST_F(Protocol, FirmwareQueriesFollowTheUnitsMode)
{
    int nMode = -1;
    const size_t nBefore = m_Packets.types.size();
    EXPECT_EQ(KyrQueryFirmwareVersion(m_h, 0x1000, &nMode, 0, 2000), 1);
    EXPECT_EQ(nMode, 4);
    ASSERT_TRUE(m_Packets.WaitForTypes(nBefore + 1));
    {
        std::lock_guard lock(m_Packets.mutex);
        EXPECT_EQ(m_Packets.types.back(), kyrtype_ver) << "the version arrives as a packet";
    }
    EXPECT_EQ(KyrQueryFirmwareVersion(m_h, 0x3000, &nMode, 0, 200), 0) << "no such unit";
    EXPECT_EQ(nMode, 0);

    kyrsim::SimRequest("mode 0 mm 3");
    EXPECT_EQ(KyrQueryFirmwareVersion(m_h, 0x1000, &nMode, 0, 2000), 1);
    EXPECT_EQ(nMode, 3) << "an IAP mode is answered through the IAP version query";
}

TEST_F(Protocol, KeepAliveHoldsTheStreamAndItLapsesAfterClose)
{
    // Judged by what the device received and when, on its own clock: the
    // library re-sends the mode every 700 ms, 70 % of the 1 s expire time.
    // A loaded machine may send one late, which stretches the gap before it
    // and may shorten the one after; the median of eight gaps still tells
    // whether the library re-sends within the expire time.
    const std::string kMode = "instant_mode=T,1000";
    ASSERT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_TOUCHPNT, 1000, kNoGesture), 1);
    constexpr size_t kSends = 9; // the first and eight re-sends
    std::vector<uint64_t> sends;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         sends.size() < kSends && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sends = kyrsim::SimCommandTimes(0, kMode);
    }
    ASSERT_GE(sends.size(), kSends) << "the mode is re-sent while it is wanted";
    std::vector<uint64_t> gaps;
    for (size_t i = 1; i < kSends; ++i)
        gaps.push_back(sends[i] - sends[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    const uint64_t nMedianMs = (gaps[3] + gaps[4]) / 2;
    std::string szGaps;
    for (uint64_t nGap : gaps)
        szGaps += " " + std::to_string(nGap);
    EXPECT_GE(nMedianMs, 600u) << "re-sent too often; gaps in ms:" << szGaps;
    EXPECT_LT(nMedianMs, 1000u) << "re-sent too seldom to hold a 1 s expire time; gaps in ms:" << szGaps;
    EXPECT_GT(m_Packets.nTouch.load(), 0) << "the stream ran";

    KyrCloseDevice(m_h);
    const size_t nAtClose = kyrsim::SimCommandTimes(0, kMode).size();
    m_h = KyrOpenDevice(kVid, kPid, kMI, 0); // for TearDown; asks for nothing
    ASSERT_NE(m_h, nullptr);
    bool bLapsed = false;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         !bLapsed && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        bLapsed = kyrsim::SimRequest("streams 0").empty();
    }
    EXPECT_TRUE(bLapsed) << "nobody keeps the stream alive any more";
    EXPECT_EQ(kyrsim::SimCommandTimes(0, kMode).size(), nAtClose) << "no re-send after the close";
}

TEST_F(Protocol, OnlyTheKindsAskedForAreDelivered)
{
    // The device streams gestures of its own accord, and touch points and
    // messages once asked; this client asked for the last two only.
    ASSERT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_TOUCHPNT | KYR_HID_MODE_MESSAGE, 5000, kNoGesture), 1);
    // The gestures stream all along: by the time a few of both kinds asked
    // for have come, dozens of gestures have been dropped.
    auto count = [&](short nType) {
        std::lock_guard lock(m_Packets.mutex);
        return std::count(m_Packets.types.begin(), m_Packets.types.end(), nType);
    };
    EXPECT_TRUE(Eventually([&] { return count(kyrtype_tpt) >= 10 && count(kyrtype_msg) >= 5; }));
    EXPECT_EQ(count(kyrtype_gst), 0);
}

// ---- model=kyr,echo -------------------------------------------------------------

TEST_F(Protocol, EchoedCommandStillReturnsTheResponseText)
{
    KeepResponses();
    for (int i = 0; i < 20; ++i) {
        const std::string text = "round " + std::to_string(i);
        ASSERT_EQ(KyrSendCommand(m_h, ("echo " + text).c_str(), 0, 2000), 1);
        EXPECT_EQ(Response(), text) << "not the echo, and not empty";
    }
}

// ---- model=kyr,echo,silent: a device that only echoes -----------------------------

TEST_F(Protocol, EchoOnlyDeviceReleasesTheCallerAtItsTimeout)
{
    KeepResponses();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KyrSendCommand(m_h, "status", 0, 1000), 1) << KyrGetErrorName(KyrGetLastError());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000))
        << "an answer could still have come";
    EXPECT_EQ(KyrGetResponse(m_h), nullptr) << "an echo carries no response text";
}

// ---- model=kyr,echo,late=500: the answer comes long after the echo -------------

TEST_F(Protocol, EchoThenLateAnswerWaitsForTheAnswer)
{
    KeepResponses();
    ASSERT_TRUE(m_Packets.WaitForTypes(2)) << "the instant-mode command's echo and answer";
    for (int i = 0; i < 3; ++i) {
        size_t nBefore;
        {
            std::lock_guard lock(m_Packets.mutex);
            nBefore = m_Packets.types.size();
        }
        ASSERT_EQ(KyrSendCommand(m_h, "echo late one", 0, 3000), 1) << KyrGetErrorName(KyrGetLastError());
        EXPECT_EQ(Response(), "late one");
        std::lock_guard lock(m_Packets.mutex);
        std::vector<std::pair<short, int>> seen;
        for (size_t n = nBefore; n < m_Packets.types.size(); ++n)
            seen.emplace_back(m_Packets.types[n], m_Packets.syncFlags[n]);
        const std::vector<std::pair<short, int>> expected{{kyrtype_cmd, 0}, {kyrtype_rsp, 1}};
        EXPECT_EQ(seen, expected) << "the echo is no answer; the answer is flagged";
    }
}

// ---- model=kyr,late=400 ------------------------------------------------------------

TEST_F(Protocol, LateAnswerTimesOutThenItsTextIsKept)
{
    KeepResponses();
    EXPECT_EQ(KyrSendCommand(m_h, "echo slow", 0, 100), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT);
    EXPECT_EQ(KyrGetResponse(m_h), nullptr);
    EXPECT_TRUE(Eventually([&] { return Response() == "slow"; })) << "the late answer is still kept";

    EXPECT_EQ(KyrSendCommand(m_h, "echo patient", 0, 3000), 1);
    EXPECT_EQ(Response(), "patient");
}

// ---- model=kyr,twice -----------------------------------------------------------------

TEST_F(Protocol, SecondAnswerIsAnOrdinaryPacketAndKeepsTheFirstText)
{
    KeepResponses();
    ASSERT_EQ(KyrSendCommand(m_h, "echo once", 0, 2000), 1);
    auto answers = [&] {
        std::vector<int> flags;
        std::lock_guard lock(m_Packets.mutex);
        for (const auto& [text, bSync] : m_Packets.answers) {
            if (text == "once")
                flags.push_back(bSync);
        }
        return flags;
    };
    Eventually([&] { return answers().size() >= 2; });
    EXPECT_EQ(answers(), (std::vector<int>{1, 0})) << "the first answers the caller, the second is ordinary";
    EXPECT_EQ(Response(), "once");
}

// ---- model=kyr,foreign ------------------------------------------------------------------

TEST_F(Protocol, AnswerWithAnotherIdDoesNotCount)
{
    KeepResponses();
    // The mode request's own answer carries the next id: let it pass first.
    ASSERT_TRUE(m_Packets.WaitForTypes(1, std::chrono::seconds(30)));
    EXPECT_EQ(KyrSendCommand(m_h, "echo mine", 0, 300), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT);
}

// ---- model=kyr,stream=T,rate=1000: touch points at full rate -------------------------

TEST_F(Protocol, SwappingTablesWhileStreamingAtFullRate)
{
    ASSERT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_TOUCHPNT, 5000, kNoGesture), 1);
    Packets other;
    // Two seconds of swaps, about a thousand packets, and on until both
    // tables have had packets, however slowly a loaded machine reads.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    const auto deadline = end + std::chrono::seconds(30);
    for (unsigned i = 0; std::chrono::steady_clock::now() < end ||
                         ((m_Packets.nTouch == 0 || other.nTouch == 0) && std::chrono::steady_clock::now() < deadline);
         ++i) {
        KYR_EVENT_NOTIFY table = TableFor(i % 2 == 0 ? other : m_Packets);
        KyrSetEventNotify(m_h, &table);
    }
    KYR_EVENT_NOTIFY table = TableFor(m_Packets);
    KyrSetEventNotify(m_h, &table); // `other` is no longer used once this returns
    EXPECT_GT(m_Packets.nTouch.load(), 0);
    EXPECT_GT(other.nTouch.load(), 0);
}

TEST_F(Protocol, UnplugWhileStreamingIsReportedOnce)
{
    ASSERT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_TOUCHPNT, 5000, kNoGesture), 1);
    ASSERT_TRUE(Eventually([&] { return m_Packets.nTouch > 0; }));
    kyrsim::SimUnplug(0);
    Eventually([&] { return m_Packets.nDisconnects > 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_Packets.nDisconnects.load(), 1);
    EXPECT_EQ(KyrSendCommand(m_h, "status", 0, 100), 0);
}

// ---- model=kyr,stream=T,rate=200,fault=badcrc:3+garbage:5+oversize:7 ------------------

TEST_F(Protocol, SpoiltPacketsAreDroppedAndTheRestGetThrough)
{
    ASSERT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_TOUCHPNT, 5000, kNoGesture), 1);
    int nTouch = 0;
    std::string faults;
    auto field = [&](const char* key) {
        const size_t at = faults.find(key);
        return at == std::string::npos ? -1L : std::stol(faults.substr(at + strlen(key)));
    };
    Eventually([&] {
        nTouch = m_Packets.nTouch.load(); // before the device's count, which only grows
        faults = kyrsim::SimRequest("faults 0");
        return nTouch > 0 && field("packets=") >= 200;
    });
    const long nSent = field("packets=");
    const long nBadCrc = field("badcrc=");
    const long nOversize = field("oversize=");
    ASSERT_GT(nBadCrc, 0) << faults;
    ASSERT_GT(nOversize, 0) << faults;
    EXPECT_GT(nTouch, 0);
    // Every 21st packet gets both faults: counted twice above.
    const long nBoth = nSent / 21 + 1;
    EXPECT_LE(nTouch, nSent - nBadCrc - nOversize + nBoth) << "no spoilt packet was delivered: " << faults;
    // Answers are spoilt too now and then; one of a few must get through.
    int nAnswered = 0;
    for (int i = 0; i < 6 && nAnswered == 0; ++i)
        nAnswered = KyrSendCommand(m_h, "echo still fine", 0, 1000);
    EXPECT_EQ(nAnswered, 1) << "reassembly recovers after every fault";
}
