// The library's opt-in diagnostics, through the exported interface against
// the emulated protocol device.
#include <algorithm>
#include <string>
#include <vector>

#include "DeviceFixture.h"

namespace {

using namespace kyrtest;
namespace enc = kyrsim::encoder;

// Messages the callback got, each as "<level> <text>".
struct LogRecorder {
    std::mutex mutex;
    std::vector<std::string> messages;

    static void OnLog(int nLevel, const char* szMessage, void* pContext)
    {
        auto* pSelf = static_cast<LogRecorder*>(pContext);
        std::lock_guard lock(pSelf->mutex);
        pSelf->messages.push_back(std::to_string(nLevel) + " " + szMessage);
    }
    size_t MessagesWith(const std::string& szPart)
    {
        std::lock_guard lock(mutex);
        return std::count_if(messages.begin(), messages.end(),
                             [&](const std::string& sz) { return sz.find(szPart) != std::string::npos; });
    }
};

class LogCallback : public DeviceTest {
protected:
    // Injects nBad reports, each a status packet (id 0x100C) whose CRC's low
    // byte is spoilt, then a marker: a full report that no packet starts
    // with. Reports are judged in order on the read thread, so once the
    // raw-data callback has seen the marker, every bad one has been judged.
    bool InjectBadCrcReports(int nBad)
    {
        enc::Bytes bad = enc::Text(enc::kAddrMM, enc::TextKind::Status, 0, 0, "ok");
        bad[bad.size() - 2] ^= 0xFF;
        std::vector<uint8_t> marker(64, 0xAA);
        marker[0] = 1;
        marker[1] = 0x01;
        marker[2] = 0x3D;
        m_r.Locked([&] { m_r.raw.clear(); });
        for (int i = 0; i < nBad; ++i)
            Emit(bad);
        kyrsim::SimInject(0, kMI, marker);
        return m_r.WaitFor([&] { return !m_r.raw.empty() && m_r.raw.back().size() > 2 && m_r.raw.back()[2] == 0x3D; });
    }
};

// Bad reports are told as warnings with their reason and running count;
// nothing reaches a callback set below their level, none after it is removed
// (a null function), and nothing goes anywhere while none is set.
TEST_F(LogCallback, DroppedReportsAreToldAtTheirLevelOnly)
{
    LogRecorder recorder;
    KyrSetLogCallback(KYR_LOG_WARNING, &LogRecorder::OnLog, &recorder);
    ASSERT_TRUE(InjectBadCrcReports(2));
    EXPECT_EQ(recorder.MessagesWith("bad CRC (so far: bad CRC 1,"), 1u);
    EXPECT_EQ(recorder.MessagesWith("bad CRC (so far: bad CRC 2,"), 1u);
    const size_t nTold = recorder.MessagesWith(""); // the marker's drop among them
    EXPECT_EQ(recorder.MessagesWith(std::to_string(KYR_LOG_WARNING) + " dropped"), nTold);

    KyrSetLogCallback(KYR_LOG_ERROR, &LogRecorder::OnLog, &recorder);
    ASSERT_TRUE(InjectBadCrcReports(1));
    EXPECT_EQ(recorder.MessagesWith(""), nTold) << "a drop told below the level asked for";

    KyrSetLogCallback(KYR_LOG_NONE, nullptr, nullptr);
    ASSERT_TRUE(InjectBadCrcReports(1));
    KyrSetLogCallback(KYR_LOG_DEBUG, &LogRecorder::OnLog, &recorder);
    KyrSetLogCallback(KYR_LOG_DEBUG, nullptr, &recorder);
    ASSERT_TRUE(InjectBadCrcReports(1));
    EXPECT_EQ(recorder.MessagesWith(""), nTold) << "told with no callback set";
}

// (The steps of a good and a busy open are checked through the Python
// package.)
TEST(LogSteps, AFailedLookupIsTold)
{
    LogRecorder recorder;
    KyrSetLogCallback(KYR_LOG_INFO, &LogRecorder::OnLog, &recorder);
    EXPECT_EQ(KyrOpenDevice(kVid, KYR_USB_PRODUCT_ID_MODEL5, kMI, 0), nullptr);
    KyrSetLogCallback(KYR_LOG_NONE, nullptr, nullptr);
    EXPECT_EQ(recorder.MessagesWith("device lookup failed: KYR_ERROR_NO_DEVICE"), 1u);
}

} // namespace
