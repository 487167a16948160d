// The library's version and its opt-in diagnostics, through the exported
// interface against the emulated protocol device.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"

namespace {

using kyrsim::SimInject;

constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;
constexpr auto kGenerous = std::chrono::seconds(10);

TEST(Version, TextMatchesTheHeaderMacros)
{
    ASSERT_NE(KyrGetVersion(), nullptr);
    EXPECT_EQ(std::string(KyrGetVersion()), std::to_string(KYR_VERSION_MAJOR) + "." +
                                                std::to_string(KYR_VERSION_MINOR) + "." +
                                                std::to_string(KYR_VERSION_PATCH));
}

// Messages the callback got, and a marker report seen by the raw-data
// callback: reports are decoded in order on the read thread, so once the
// marker is seen every report injected before it has been judged.
struct Recorder {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> messages;
    int nMarkers = 0;

    static void OnLog(int nLevel, const char* szMessage, void* pContext)
    {
        auto* pSelf = static_cast<Recorder*>(pContext);
        std::lock_guard lock(pSelf->mutex);
        pSelf->messages.push_back(std::to_string(nLevel) + " " + szMessage);
    }
    static int OnReport(KYR_HANDLE, unsigned char* pBuffer, unsigned short, void* pContext)
    {
        auto* pSelf = static_cast<Recorder*>(pContext);
        if (pBuffer[1] == 0x01 && pBuffer[2] == 0x3D && pBuffer[3] == 0xAA) {
            std::lock_guard lock(pSelf->mutex);
            ++pSelf->nMarkers;
            pSelf->cv.notify_all();
        }
        return 0;
    }
    bool WaitForMarkers(int n)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, kGenerous, [&] { return nMarkers >= n; });
    }
    size_t MessagesWith(const std::string& szPart)
    {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (const std::string& sz : messages)
            n += sz.find(szPart) != std::string::npos ? 1 : 0;
        return n;
    }
};

// A status packet (id 0x100C) in one report whose CRC's low byte is spoilt.
std::vector<uint8_t> BadCrcReport()
{
    std::vector<uint8_t> packet = {0x0C, 0x10, 0x00, 0x00, 'o', 'k', 0, 0};
    const uint16_t nLength = static_cast<uint16_t>(packet.size());
    packet.resize(packet.size() + 2);
    KyrCalculateCRC(packet.data(), nLength);
    packet[nLength] ^= 0xFF;
    std::vector<uint8_t> report(64, 0);
    report[0] = 1;
    report[1] = 0x01; // last report of a single-series packet
    report[2] = static_cast<uint8_t>(packet.size());
    std::copy(packet.begin(), packet.end(), report.begin() + 3);
    return report;
}

// A full report that no packet starts with; the library drops it too (the
// CRC of 61 bytes of 0xAA does not hold).
std::vector<uint8_t> MarkerReport()
{
    std::vector<uint8_t> report(64, 0xAA);
    report[0] = 1;
    report[1] = 0x01;
    report[2] = 0x3D;
    return report;
}

class LogCallback : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_hDevice = KyrOpenDevice(KYR_USB_VENDOR_ID, kPid, kMI, 0);
        ASSERT_NE(m_hDevice, nullptr) << KyrGetErrorName(KyrGetLastError());
        KYR_EVENT_NOTIFY table{};
        table.Context = &m_Recorder;
        table.fnOnReceiveRawData = &Recorder::OnReport;
        KyrSetEventNotify(m_hDevice, &table);
    }
    void TearDown() override
    {
        KyrSetLogCallback(KYR_LOG_NONE, nullptr, nullptr);
        KyrCloseDevice(m_hDevice);
    }
    // nBad reports with a bad CRC, then a marker; true once all are judged.
    bool InjectBad(int nBad)
    {
        for (int i = 0; i < nBad; ++i)
            SimInject(0, kMI, BadCrcReport());
        SimInject(0, kMI, MarkerReport());
        return m_Recorder.WaitForMarkers(++m_nMarkers);
    }
    KYR_HANDLE m_hDevice = nullptr;
    Recorder m_Recorder;
    int m_nMarkers = 0;
};

TEST_F(LogCallback, BadCrcReportIsReportedWithItsReasonAndCount)
{
    KyrSetLogCallback(KYR_LOG_WARNING, &Recorder::OnLog, &m_Recorder);
    ASSERT_TRUE(InjectBad(2));
    EXPECT_EQ(m_Recorder.MessagesWith("bad CRC (so far: bad CRC 1,"), 1u);
    EXPECT_EQ(m_Recorder.MessagesWith("bad CRC (so far: bad CRC 2,"), 1u);
    EXPECT_EQ(m_Recorder.MessagesWith(std::to_string(KYR_LOG_WARNING) + " dropped"), m_Recorder.messages.size());
}

TEST_F(LogCallback, NothingIsCalledWhenNoneIsSetOrAfterItIsRemoved)
{
    ASSERT_TRUE(InjectBad(1));
    KyrSetLogCallback(KYR_LOG_DEBUG, &Recorder::OnLog, &m_Recorder);
    KyrSetLogCallback(KYR_LOG_DEBUG, nullptr, &m_Recorder);
    ASSERT_TRUE(InjectBad(1));
    EXPECT_EQ(m_Recorder.MessagesWith(""), 0u);
}

TEST_F(LogCallback, LevelBelowWarningLeavesDropsOut)
{
    KyrSetLogCallback(KYR_LOG_ERROR, &Recorder::OnLog, &m_Recorder);
    ASSERT_TRUE(InjectBad(1));
    EXPECT_EQ(m_Recorder.MessagesWith("dropped"), 0u);
}

TEST(LogSteps, OpeningTellsItsStepsAndRefusals)
{
    Recorder recorder;
    KyrSetLogCallback(KYR_LOG_INFO, &Recorder::OnLog, &recorder);
    KYR_HANDLE h = KyrOpenDevice(KYR_USB_VENDOR_ID, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(KyrOpenDevice(KYR_USB_VENDOR_ID, kPid, kMI, 0), nullptr);
    KyrCloseDevice(h);
    EXPECT_EQ(KyrOpenDevice(KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL5, kMI, 0), nullptr);
    KyrSetLogCallback(KYR_LOG_NONE, nullptr, nullptr);
    EXPECT_EQ(recorder.MessagesWith("interface 1 claimed"), 1u);
    EXPECT_EQ(recorder.MessagesWith("shared state refused: KYR_ERROR_DEVICE_BUSY"), 1u);
    EXPECT_EQ(recorder.MessagesWith("device lookup failed: KYR_ERROR_NO_DEVICE"), 1u);
}

} // namespace
