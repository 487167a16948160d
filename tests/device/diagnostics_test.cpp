// The library's opt-in diagnostics, through the exported interface against
// the emulated protocol device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"

namespace {

constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;

// Messages the callback got, each as "<level> <text>".
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> messages;

    static void OnLog(int nLevel, const char* szMessage, void* pContext)
    {
        auto* pSelf = static_cast<Recorder*>(pContext);
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

// Injects nBad reports, each a status packet (id 0x100C) whose CRC's low byte
// is spoilt, then a marker: a full report that no packet starts with. Reports
// are judged in order on the read thread, so once the raw-data callback has
// seen the marker, every bad one has been judged.
bool InjectBadCrcReports(KYR_HANDLE h, int nBad)
{
    std::atomic<bool> bMarker {false};
    KYR_EVENT_NOTIFY table {};
    table.Context = &bMarker;
    table.fnOnReceiveRawData = [](KYR_HANDLE, unsigned char* p, unsigned short, void* pContext) {
        if (p[2] == 0x3D && p[3] == 0xAA)
            *static_cast<std::atomic<bool>*>(pContext) = true;
        return 0;
    };
    KyrSetEventNotify(h, &table);
    // The last report of a single-series packet of 10 bytes, a status packet.
    const uint8_t head[] = {1, 0x01, 10, 0x0C, 0x10, 0x00, 0x00, 'o', 'k'};
    std::vector<uint8_t> report(64, 0), marker(64, 0xAA);
    std::copy(std::begin(head), std::end(head), report.begin());
    KyrCalculateCRC(report.data() + 3, 8);
    report[11] ^= 0xFF;
    std::copy_n(head, 2, marker.begin());
    marker[2] = 0x3D;
    for (int i = 0; i < nBad; ++i)
        kyrsim::SimInject(0, kMI, report);
    kyrsim::SimInject(0, kMI, marker);
    for (int i = 0; i < 1000 && !bMarker; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    KYR_EVENT_NOTIFY none {};
    KyrSetEventNotify(h, &none);
    return bMarker;
}

// Bad reports are told as warnings with their reason and running count;
// nothing reaches a callback set below their level, none after it is removed
// (a null function), and nothing goes anywhere while none is set.
TEST(LogCallback, DroppedReportsAreToldAtTheirLevelOnly)
{
    KYR_HANDLE h = KyrOpenDevice(KYR_USB_VENDOR_ID, kPid, kMI, 0);
    ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    Recorder recorder;
    KyrSetLogCallback(KYR_LOG_WARNING, &Recorder::OnLog, &recorder);
    ASSERT_TRUE(InjectBadCrcReports(h, 2));
    EXPECT_EQ(recorder.MessagesWith("bad CRC (so far: bad CRC 1,"), 1u);
    EXPECT_EQ(recorder.MessagesWith("bad CRC (so far: bad CRC 2,"), 1u);
    const size_t nTold = recorder.MessagesWith(""); // the marker's drop among them
    EXPECT_EQ(recorder.MessagesWith(std::to_string(KYR_LOG_WARNING) + " dropped"), nTold);

    KyrSetLogCallback(KYR_LOG_ERROR, &Recorder::OnLog, &recorder);
    ASSERT_TRUE(InjectBadCrcReports(h, 1));
    EXPECT_EQ(recorder.MessagesWith(""), nTold) << "a drop told below the level asked for";

    KyrSetLogCallback(KYR_LOG_NONE, nullptr, nullptr);
    ASSERT_TRUE(InjectBadCrcReports(h, 1));
    KyrSetLogCallback(KYR_LOG_DEBUG, &Recorder::OnLog, &recorder);
    KyrSetLogCallback(KYR_LOG_DEBUG, nullptr, &recorder);
    ASSERT_TRUE(InjectBadCrcReports(h, 1));
    EXPECT_EQ(recorder.MessagesWith(""), nTold) << "told with no callback set";
    KyrCloseDevice(h);
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
