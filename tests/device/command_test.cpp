// Commands, raw sends and the download interlock through the exported C
// interface, against devices that do not answer (silent) or send every report
// straight back (loopback). Each suite runs under kyrsim with the devices
// CMakeLists.txt gives it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

struct Events {
    std::mutex mutex;
    std::vector<int> downloads;             // fnOnDownloadingFirmware flags
    std::vector<std::vector<uint8_t>> raw;  // reports seen by the raw hook
    std::atomic<int> nPumps{0};
};

void OnDownload(KYR_HANDLE, int bDownload, void* pContext)
{
    auto* e = static_cast<Events*>(pContext);
    std::lock_guard lock(e->mutex);
    e->downloads.push_back(bDownload);
}

int OnRaw(KYR_HANDLE, unsigned char* buffer, unsigned short length, void* pContext)
{
    auto* e = static_cast<Events*>(pContext);
    std::lock_guard lock(e->mutex);
    e->raw.emplace_back(buffer, buffer + length);
    return 0;
}

void OnPump(KYR_HANDLE, void* pContext)
{
    ++static_cast<Events*>(pContext)->nPumps;
}

void Install(KYR_HANDLE h, Events& e, bool bPump)
{
    KYR_EVENT_NOTIFY table{};
    table.Context = &e;
    table.fnOnDownloadingFirmware = &OnDownload;
    table.fnOnReceiveRawData = &OnRaw;
    table.fnOnHandleEvents = bPump ? &OnPump : nullptr;
    KyrSetEventNotify(h, &table);
}

class Command : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_h = KyrOpenDevice(kVid, kPid, kMI, 0);
        ASSERT_NE(m_h, nullptr) << KyrGetErrorName(KyrGetLastError());
    }
    void TearDown() override
    {
        if (m_h != nullptr)
            KyrCloseDevice(m_h);
    }

    KYR_HANDLE m_h = nullptr;
};

// A mode query for the unit at wAddr: on the wire it reads like a mode
// answer of 0, so the device side's encoder builds it.
std::vector<unsigned char> ModeQuery(uint16_t wAddr)
{
    const enc::Report report = enc::CutReports(enc::FirmwareMode(wAddr, 0), enc::Series::Single).at(0);
    return std::vector<unsigned char>(report.begin(), report.end());
}

} // namespace

// ---- Device 0: silent ----------------------------------------------------------

TEST_F(Command, SynchronousCommandToASilentDeviceTimesOut)
{
    EXPECT_EQ(KyrSendCommand(m_h, "status", 0, 150), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT);
    EXPECT_EQ(KyrGetResponse(m_h), nullptr);
    EXPECT_EQ(KyrSendCommand(m_h, "status", 2, 0), 0) << "only 1 means asynchronous";
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT);
}

TEST_F(Command, WaitingCallerPumpsEventsWhenItCan)
{
    Events e;
    Install(m_h, e, true);
    EXPECT_EQ(KyrSendCommand(m_h, "status", 0, 200), 0);
    // About one pass a millisecond; far fewer than a spinning loop would make.
    EXPECT_GT(e.nPumps.load(), 20);
    EXPECT_LT(e.nPumps.load(), 5000);
}

TEST_F(Command, IdsRunFrom1To255AndSkip0)
{
    const int nFirst = KyrSendCommand(m_h, "ping", 1, 0);
    ASSERT_GE(nFirst, 1);
    int nPrevious = nFirst;
    for (int i = 0; i < 300; ++i) {
        const int nId = KyrSendCommand(m_h, "ping", 1, 0);
        ASSERT_GE(nId, 1) << KyrGetErrorName(KyrGetLastError());
        ASSERT_LE(nId, 255);
        EXPECT_EQ(nId, nPrevious == 255 ? 1 : nPrevious + 1);
        nPrevious = nId;
    }
}

TEST_F(Command, OverLongTextsAreRefusedBeforeAnIdIsTaken)
{
    const int nBefore = KyrSendCommand(m_h, "ping", 1, 0);
    ASSERT_GE(nBefore, 1);
    const std::string longest(1013, 'a');
    const std::string tooLong(1014, 'a');
    EXPECT_EQ(KyrSendCommand(m_h, tooLong.c_str(), 1, 0), -1);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(KyrSendCommand(m_h, "instant_mode=T,12345678901234567,0x3", 1, 0), -1)
        << "a time text over 16 characters is refused";
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
    const int nLongest = KyrSendCommand(m_h, longest.c_str(), 1, 0);
    EXPECT_EQ(nLongest, nBefore == 255 ? 1 : nBefore + 1) << "the refusals took no id";
    EXPECT_EQ(KyrSendCommand(m_h, nullptr, 1, 0), -1) << "the asynchronous failure value";
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
}

TEST_F(Command, CloseDuringAWaitEndsItAtOnce)
{
    std::atomic<int> nResult{-2};
    std::atomic<int> nError{0};
    const uint64_t nSent = kyrsim::SimOutCount(0);
    std::thread waiter([&] {
        nResult = KyrSendCommand(m_h, "status", 0, 60000);
        nError = KyrGetLastError();
    });
    // The command reached the device: its sender waits for the answer.
    while (kyrsim::SimOutCount(0) == nSent)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto start = std::chrono::steady_clock::now();
    KyrCloseDevice(m_h); // returns once the waiter has left the handle
    m_h = nullptr;
    waiter.join();
    EXPECT_EQ(nResult.load(), 0);
    EXPECT_EQ(nError.load(), KYR_ERROR_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "not the 60 s timeout";
}

TEST_F(Command, RawSendsRefuseWhatTheyCannotWaitFor)
{
    const unsigned char shortBuffer[4] = {1, 1, 1, 0};
    EXPECT_EQ(KyrSendBuffer(m_h, shortBuffer, sizeof(shortBuffer), 0, 100), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER) << "no packet id in under 5 bytes";
    EXPECT_EQ(KyrSendBuffer(m_h, shortBuffer, sizeof(shortBuffer), 1, 0), 1) << "asynchronous is fine";
    EXPECT_EQ(KyrSendBuffer(m_h, nullptr, 64, 1, 0), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
}

TEST_F(Command, OneSynchronousRawSendAtATime)
{
    const std::vector<unsigned char> query = ModeQuery(0x1000);
    const uint64_t nSent = kyrsim::SimOutCount(0);
    std::thread first([&] { EXPECT_EQ(KyrSendBuffer(m_h, query.data(), 64, 0, 3000), 0); });
    // The query reached the device: the first sender waits for the answer.
    while (kyrsim::SimOutCount(0) == nSent)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(KyrSendBuffer(m_h, query.data(), 64, 0, 100), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_DEVICE_BUSY);
    EXPECT_EQ(KyrSendBuffer(m_h, query.data(), 64, 1, 0), 1) << "asynchronous sends are not held up";
    first.join();
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS) << "a raw send that timed out leaves success";
}

TEST_F(Command, InstantModeTimeZeroSendsNothing)
{
    const uint64_t nBefore = kyrsim::SimOutCount(0);
    EXPECT_EQ(KyrSetInstantMode(m_h, KYR_HID_MODE_TOUCHPNT, 0, ~0UL), 1);
    EXPECT_EQ(KyrSendCommand(m_h, "instant_mode=MC,", 0, 100), 1);
    EXPECT_EQ(kyrsim::SimOutCount(0), nBefore);
    EXPECT_EQ(KyrSetInstantMode(nullptr, 1, 0, 0), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
}

// ---- Device 0: loopback, so every query comes back as its own answer -------------

TEST(Loopback, FirmwareModeQueryGoesOutAsOneReport)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    Events e;
    Install(h, e, false);
    int nMode = -1;
    // The echoed query decodes as a mode answer 0 with the awaited packet id,
    // so the version query follows (an application-version query for mode 0).
    EXPECT_EQ(KyrQueryFirmwareVersion(h, 0x1000, &nMode, 0, 2000), 1);
    EXPECT_EQ(nMode, 0);
    {
        std::lock_guard lock(e.mutex);
        ASSERT_GE(e.raw.size(), 2u);
        const std::vector<unsigned char> expected = ModeQuery(0x1000);
        EXPECT_EQ(std::vector<unsigned char>(e.raw[0].begin(), e.raw[0].begin() + 9),
                  std::vector<unsigned char>(expected.begin(), expected.begin() + 9));
        EXPECT_EQ(e.raw[0][0], 1);
        EXPECT_EQ(e.raw[1][2], 33) << "the application version query";
        EXPECT_EQ(e.raw[1][3], 0x00);
        EXPECT_EQ(e.raw[1][4], 0x10);
    }
    EXPECT_EQ(KyrQueryFirmwareVersion(h, 0x1000, nullptr, 0, 100), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
    KyrCloseDevice(h);
}

// ---- Devices 0 (model, first kind) and 1 (virtual): the download interlock ------

TEST(Download, AMarkHoldsBackEveryoneButTheRawSendsOfItsHolder)
{
    KYR_HANDLE hHolder = KyrOpenDevice(kVid, kPid, kMI, 0);
    KYR_HANDLE hOther = KyrOpenDevice(kVid, KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VIRTUAL_INTERFACE, 0);
    ASSERT_NE(hHolder, nullptr);
    ASSERT_NE(hOther, nullptr);
    Events holderEvents, otherEvents;
    Install(hHolder, holderEvents, false);
    Install(hOther, otherEvents, false);
    const unsigned char report[64] = {1, 1, 6};

    KyrLockFirmwareDownload(hHolder);
    EXPECT_EQ(KyrSendCommand(hOther, "status", 1, 0), -1);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_FIRMWARE_DOWNLOAD);
    EXPECT_EQ(KyrSendCommand(hOther, "status", 1, 0), -1);
    EXPECT_EQ(KyrSendBuffer(hOther, report, 64, 1, 0), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_FIRMWARE_DOWNLOAD);
    EXPECT_EQ(KyrSendCommand(hHolder, "status", 1, 0), -1) << "commands stop for the holder too";
    EXPECT_EQ(KyrSendBuffer(hHolder, report, 64, 1, 0), 1) << "the holder's raw sends go on";

    KyrUnlockFirmwareDownload(hHolder);
    EXPECT_GE(KyrSendCommand(hOther, "status", 1, 0), 1);
    EXPECT_GE(KyrSendCommand(hHolder, "status", 1, 0), 1);
    {
        std::lock_guard lock(otherEvents.mutex);
        EXPECT_EQ(otherEvents.downloads, (std::vector<int>{1, 0})) << "one start, one end";
    }
    {
        std::lock_guard lock(holderEvents.mutex);
        EXPECT_EQ(holderEvents.downloads, (std::vector<int>{1, 0}));
    }
    KyrCloseDevice(hHolder);
    KyrCloseDevice(hOther);
}

TEST(Download, AMarkLeftByAClosedHandleIsTakenBack)
{
    KYR_HANDLE hHolder = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(hHolder, nullptr);
    KyrLockFirmwareDownload(hHolder);
    KyrCloseDevice(hHolder);
    KYR_HANDLE hOther = KyrOpenDevice(kVid, KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VIRTUAL_INTERFACE, 0);
    ASSERT_NE(hOther, nullptr);
    EXPECT_GE(KyrSendCommand(hOther, "status", 1, 0), 1);
    KyrCloseDevice(hOther);
}
