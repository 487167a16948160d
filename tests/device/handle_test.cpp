// Device handles through the exported C interface: open and close, busy
// refusal, the raw-report hook, decoded packets and their mode filter,
// replacing callback tables under traffic, unplugging.
// Each suite runs under kyrsim with the devices CMakeLists.txt gives it; the
// device side of the packets comes from the emulator's own encoder.
#include <gtest/gtest.h>

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
#include "PacketEncoder.h"

namespace enc = kyrsim::encoder;

namespace {

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;
constexpr auto kPatience = std::chrono::seconds(10);

// What one callback table saw; its Context.
struct Recorder {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::vector<unsigned char>> raw;
    std::vector<short> types;
    std::vector<std::string> texts;
    std::vector<int> syncFlags;
    int nDisconnects = 0;
    int nRawResult = 0; // what fnOnReceiveRawData answers
    KYR_HANDLE hSeen = nullptr;

    template <typename Pred>
    bool WaitFor(Pred pred)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, kPatience, [&] { return pred(*this); });
    }
};

int OnRaw(KYR_HANDLE h, unsigned char* buffer, unsigned short length, void* pContext)
{
    auto* r = static_cast<Recorder*>(pContext);
    std::lock_guard lock(r->mutex);
    r->hSeen = h;
    r->raw.emplace_back(buffer, buffer + length);
    r->cv.notify_all();
    return r->nRawResult;
}

void OnPacket(KYR_HANDLE h, kyrpacket* packet, int bSync, void* pContext)
{
    auto* r = static_cast<Recorder*>(pContext);
    std::lock_guard lock(r->mutex);
    r->hSeen = h;
    r->types.push_back(packet->type);
    r->syncFlags.push_back(bSync);
    r->texts.emplace_back(packet->type == kyrtype_stt ? packet->body.stt.status : "");
    r->cv.notify_all();
}

void OnDisconnect(KYR_HANDLE h, void* pContext)
{
    auto* r = static_cast<Recorder*>(pContext);
    std::lock_guard lock(r->mutex);
    r->hSeen = h;
    ++r->nDisconnects;
    r->cv.notify_all();
}

KYR_EVENT_NOTIFY TableFor(Recorder& r)
{
    KYR_EVENT_NOTIFY table{};
    table.Context = &r;
    table.fnOnReceiveRawData = &OnRaw;
    table.fnOnPacket = &OnPacket;
    table.fnOnDisconnect = &OnDisconnect;
    return table;
}

// Emits a packet from device 0 as the device would: its reports, in order.
void Emit(const enc::Bytes& packet)
{
    for (const enc::Report& report : enc::CutReports(packet, enc::Series::Single))
        kyrsim::SimInject(0, kMI, std::vector<uint8_t>(report.begin(), report.end()));
}

enc::Bytes Status(const std::string& text)
{
    return enc::Text(enc::kAddrMM, enc::TextKind::Status, 7, 0, text);
}

class Handle : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_h = KyrOpenDevice(kVid, kPid, kMI, 0);
        ASSERT_NE(m_h, nullptr) << KyrGetErrorName(KyrGetLastError());
    }
    void TearDown() override { KyrCloseDevice(m_h); }

    KYR_HANDLE m_h = nullptr;
};

} // namespace

// ---- Device 0: silent, two interfaces, kernel driver bound -----------------

TEST(HandleOpen, ClaimsTheInterfaceAndCloseGivesItBack)
{
    g_nLastError = KYR_ERROR_TIMEOUT;
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);
    EXPECT_TRUE(kyrsim::SimClaimed(0, kMI));

    KYR_DEVICE_INFO info = KyrGetDeviceInfoFromHandle(h);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(KyrGetDevInfoProductID(info), kPid);
    EXPECT_EQ(KyrGetDevInfoInterfaceNumber(info), kMI);
    EXPECT_EQ(KyrGetLowDeviceHandle(h), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);

    KyrCloseDevice(h);
    EXPECT_FALSE(kyrsim::SimClaimed(0, kMI));
    EXPECT_EQ(kyrsim::SimDriver(0, kMI), "usbhid");

    KYR_HANDLE hAgain = KyrOpenDevice(kVid, kPid, kMI, 0);
    EXPECT_NE(hAgain, nullptr) << "a closed device can be opened again";
    KyrCloseDevice(hAgain);
}

TEST(HandleOpen, SecondClientIsRefusedAsBusyUntilTheFirstCloses)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(KyrOpenDevice(kVid, kPid, kMI, 0), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_DEVICE_BUSY);
    EXPECT_TRUE(kyrsim::SimClaimed(0, kMI)) << "the refused open left the first client's claim alone";
    KyrCloseDevice(h);

    h = KyrOpenDevice(kVid, kPid, kMI, 0);
    EXPECT_NE(h, nullptr);
    KyrCloseDevice(h);
}

TEST(HandleOpen, MissingDeviceIsNoDevice)
{
    EXPECT_EQ(KyrOpenDevice(kVid, kPid, kMI, 1), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
    EXPECT_EQ(KyrOpenDevice(kVid, KYR_USB_PRODUCT_ID_MODEL2, kMI, 0), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
}

TEST_F(Handle, NullArgumentsAreRefusedAndChangeNothing)
{
    Recorder r;
    KYR_EVENT_NOTIFY table = TableFor(r);
    KyrSetEventNotify(nullptr, &table);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
    KyrSetEventNotify(m_h, &table);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);
    KyrSetEventNotify(m_h, nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);

    EXPECT_EQ(KyrGetDeviceInfoFromHandle(nullptr), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(KyrGetLowDeviceHandle(nullptr), nullptr);
    KyrUseExclusiveMode(nullptr, 1);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
    g_nLastError = KYR_ERROR_TIMEOUT;
    KyrCloseDevice(nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT);

    Emit(Status("still here"));
    EXPECT_TRUE(r.WaitFor([](Recorder& s) { return !s.types.empty(); }))
        << "the refused null table did not replace the installed one";
}

TEST_F(Handle, RawReportsArriveInOrderBeforeDecoding)
{
    Recorder r;
    KYR_EVENT_NOTIFY table = TableFor(r);
    KyrSetEventNotify(m_h, &table);
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> report(64, 0);
        report[0] = 1;
        report[1] = 0x55; // not a report type: dropped by the decoder
        report[2] = static_cast<uint8_t>(i);
        kyrsim::SimInject(0, kMI, report);
    }
    ASSERT_TRUE(r.WaitFor([](Recorder& s) { return s.raw.size() >= 20; }));
    std::lock_guard lock(r.mutex);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(r.raw[i].size(), 64u);
        EXPECT_EQ(r.raw[i][2], i);
    }
    EXPECT_EQ(r.hSeen, m_h);
    EXPECT_TRUE(r.types.empty());
}

TEST_F(Handle, RawHookTakesAReportOnlyByAnsweringOne)
{
    Recorder r;
    r.nRawResult = 1;
    KYR_EVENT_NOTIFY table = TableFor(r);
    KyrSetEventNotify(m_h, &table);
    Emit(Status("taken"));
    ASSERT_TRUE(r.WaitFor([](Recorder& s) { return s.raw.size() >= 1; }));

    {
        std::lock_guard lock(r.mutex);
        r.nRawResult = 2; // anything but 1 leaves the report to the decoder
    }
    Emit(Status("decoded"));
    ASSERT_TRUE(r.WaitFor([](Recorder& s) { return !s.types.empty(); }));
    std::lock_guard lock(r.mutex);
    ASSERT_EQ(r.types.size(), 1u);
    EXPECT_EQ(r.texts[0], "decoded");
}

TEST_F(Handle, DecodedPacketsPassTheModeFilter)
{
    Recorder r;
    KYR_EVENT_NOTIFY table = TableFor(r);
    KyrSetEventNotify(m_h, &table);
    // Without any data mode asked for, messages and touch points are held
    // back; status and version packets always pass.
    Emit(enc::Message(enc::kAddrMM, 1, "MM", "held back"));
    const enc::TouchPoint point{100, 200, 10, 10, 1};
    Emit(enc::TouchPoints(2, 1, std::span(&point, 1)));
    Emit(Status("first"));
    Emit(enc::Version(enc::kAddrMM, 3, enc::VersionInfo{1, 2, 3, 4, "2026-12-06", "12:00"}));
    ASSERT_TRUE(r.WaitFor([](Recorder& s) { return s.types.size() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard lock(r.mutex);
    EXPECT_EQ(r.types, (std::vector<short>{kyrtype_stt, kyrtype_ver}));
    EXPECT_EQ(r.texts[0], "first");
    EXPECT_EQ(r.syncFlags, (std::vector<int>{0, 0}));
}

TEST_F(Handle, ReplacingTheTableUnderTrafficLosesAndDoublesNothing)
{
    constexpr int kPackets = 300;
    Recorder tables[2];
    KYR_EVENT_NOTIFY first = TableFor(tables[0]);
    KyrSetEventNotify(m_h, &first); // before the first packet
    std::atomic<bool> bStop{false};
    std::thread swapper([&] {
        for (unsigned i = 0; !bStop; ++i) {
            KYR_EVENT_NOTIFY table = TableFor(tables[i % 2]);
            KyrSetEventNotify(m_h, &table);
        }
    });
    std::thread emitter([&] {
        for (int i = 0; i < kPackets; ++i)
            Emit(Status("n"));
    });
    emitter.join();
    auto total = [&] {
        size_t n = 0;
        for (Recorder& t : tables) {
            std::lock_guard lock(t.mutex);
            n += t.types.size();
        }
        return n;
    };
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (total() < kPackets && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bStop = true;
    swapper.join();
    EXPECT_EQ(total(), static_cast<size_t>(kPackets)) << "each packet reaches exactly one table";
}

namespace {

// A callback that installs another table from inside itself.
struct Reinstaller {
    Recorder next;
    std::atomic<int> nCalls{0};
};

void OnPacketReinstall(KYR_HANDLE h, kyrpacket*, int, void* pContext)
{
    auto* pThis = static_cast<Reinstaller*>(pContext);
    ++pThis->nCalls;
    KYR_EVENT_NOTIFY table = TableFor(pThis->next);
    KyrSetEventNotify(h, &table); // destroys the table that is calling us, once we return
}

} // namespace

TEST_F(Handle, CallbackMayReplaceItsOwnTable)
{
    Reinstaller re;
    KYR_EVENT_NOTIFY table{};
    table.Context = &re;
    table.fnOnPacket = &OnPacketReinstall;
    KyrSetEventNotify(m_h, &table);
    Emit(Status("one"));
    Emit(Status("two"));
    ASSERT_TRUE(re.next.WaitFor([](Recorder& s) { return !s.types.empty(); }));
    EXPECT_EQ(re.nCalls.load(), 1);
}

// ---- Two model devices of the first kind and one virtual device ------------

TEST(HandleNames, OnlyTheFirstDeviceOfTheFirstKindTakesTheFixedNames)
{
    KYR_HANDLE hFirst = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(hFirst, nullptr);
    KYR_HANDLE hSecond = KyrOpenDevice(kVid, kPid, kMI, 1);
    EXPECT_NE(hSecond, nullptr) << "a second device of the same kind has names of its own";

    KYR_HANDLE hVirtual = KyrOpenDevice(kVid, KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VIRTUAL_INTERFACE, 0);
    ASSERT_NE(hVirtual, nullptr) << KyrGetErrorName(KyrGetLastError());
    KyrCloseDevice(hFirst); // in another order than opened
    KyrCloseDevice(hVirtual);
    KyrCloseDevice(hSecond);
}

// ---- Device 0: silent, unplugged during the test ----------------------------

namespace {

void OnDisconnectClose(KYR_HANDLE h, void* pContext)
{
    KyrCloseDevice(h);
    OnDisconnect(nullptr, pContext);
}

} // namespace

TEST(HandleUnplug, ReportedOnceAndClosedFromTheCallback)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    Recorder r;
    KYR_EVENT_NOTIFY table = TableFor(r);
    table.fnOnDisconnect = &OnDisconnectClose;
    KyrSetEventNotify(h, &table);
    kyrsim::SimUnplug(0);
    ASSERT_TRUE(r.WaitFor([](Recorder& s) { return s.nDisconnects > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard lock(r.mutex);
    EXPECT_EQ(r.nDisconnects, 1);
}
