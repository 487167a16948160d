// The USB transport against emulated devices: claim and driver hand-over,
// writes cut into reports, the read thread's delivery, unplugging.
// Each suite runs under kyrsim with the devices CMakeLists.txt gives it.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Include/HID.h"
#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"

using namespace kyr_hid_library;

namespace {

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr auto kPatience = std::chrono::seconds(10);

using Report = std::vector<unsigned char>;

// Collects what the transport delivers, on whatever thread it delivers it.
class Receiver {
public:
    explicit Receiver(CHID& hid)
    {
        HID_NOTIFY notify{this, &Receiver::_OnDisconnect, &Receiver::_OnReceive};
        hid.SetNotify(&notify);
    }

    bool WaitForReports(size_t nCount)
    {
        std::unique_lock lock(m_Mutex);
        return m_Cv.wait_for(lock, kPatience, [&] { return m_Reports.size() >= nCount; });
    }
    bool WaitForDisconnect()
    {
        std::unique_lock lock(m_Mutex);
        return m_Cv.wait_for(lock, kPatience, [&] { return m_nDisconnects > 0; });
    }
    std::vector<Report> Reports()
    {
        std::lock_guard lock(m_Mutex);
        return m_Reports;
    }
    int Disconnects()
    {
        std::lock_guard lock(m_Mutex);
        return m_nDisconnects;
    }

    std::function<void()> m_OnDisconnect; // runs inside fnOnDisconnect

private:
    static void _OnReceive(unsigned char* pBuffer, unsigned long dwLength, void* pContext)
    {
        auto* pThis = static_cast<Receiver*>(pContext);
        std::lock_guard lock(pThis->m_Mutex);
        pThis->m_Reports.emplace_back(pBuffer, pBuffer + dwLength);
        pThis->m_Cv.notify_all();
    }
    static void _OnDisconnect(void* pContext)
    {
        auto* pThis = static_cast<Receiver*>(pContext);
        if (pThis->m_OnDisconnect)
            pThis->m_OnDisconnect();
        std::lock_guard lock(pThis->m_Mutex);
        ++pThis->m_nDisconnects;
        pThis->m_Cv.notify_all();
    }

    std::mutex m_Mutex;
    std::condition_variable m_Cv;
    std::vector<Report> m_Reports;
    int m_nDisconnects = 0;
};

Report Pattern(size_t nSize, unsigned char cSeed)
{
    Report data(nSize);
    for (size_t i = 0; i < nSize; ++i)
        data[i] = static_cast<unsigned char>(cSeed + i);
    return data;
}

bool Eventually(const std::function<bool()>& pred)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace

// Device 0: loopback, two interfaces, a kernel driver bound.
TEST(LoopbackWithDriver, OpenTakesTheInterfaceAndCloseGivesItBack)
{
    ASSERT_EQ(kyrsim::SimDriver(0, 1), "usbhid");
    CHID hid;
    ASSERT_TRUE(hid.Open(kVid, kPid, 1, 0));
    EXPECT_TRUE(hid.IsOpenDevice());
    EXPECT_EQ(kyrsim::SimDriver(0, 1), "usbfs") << "the kernel driver gave way to our claim";
    EXPECT_TRUE(kyrsim::SimClaimed(0, 1));
    EXPECT_EQ(kyrsim::SimDriver(0, 0), "usbhid") << "other interfaces keep their driver";

    hid.Close();
    EXPECT_FALSE(hid.IsOpenDevice());
    EXPECT_FALSE(kyrsim::SimClaimed(0, 1));
    EXPECT_EQ(kyrsim::SimDriver(0, 1), "usbhid") << "the kernel driver is attached again";
}

TEST(LoopbackWithDriver, WritesAreCutIntoReportsThatComeBackInOrder)
{
    CHID hid;
    Receiver receiver(hid);
    ASSERT_TRUE(hid.Open(kVid, kPid, 1, 0));
    const int nOutBefore = kyrsim::SimOutCount(0);

    const Report data = Pattern(130, 1);
    ASSERT_TRUE(hid.Write(data.data(), data.size()));
    ASSERT_TRUE(receiver.WaitForReports(3));
    EXPECT_EQ(kyrsim::SimOutCount(0) - nOutBefore, 3);
    const std::vector<Report> reports = receiver.Reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0], Report(data.begin(), data.begin() + 64));
    EXPECT_EQ(reports[1], Report(data.begin() + 64, data.begin() + 128));
    EXPECT_EQ(reports[2], Report(data.begin() + 128, data.end()));

    EXPECT_TRUE(hid.Write(data.data(), 0)) << "an empty write sends nothing and succeeds";
    EXPECT_EQ(kyrsim::SimOutCount(0) - nOutBefore, 3);
    hid.Close();
}

TEST(LoopbackWithDriver, ManyReportsArriveInOrder)
{
    CHID hid;
    Receiver receiver(hid);
    ASSERT_TRUE(hid.Open(kVid, kPid, 1, 0));
    constexpr int kCount = 200;
    for (int i = 0; i < kCount; ++i) {
        const Report report = Pattern(64, static_cast<unsigned char>(i));
        ASSERT_TRUE(hid.Write(report.data(), report.size()));
    }
    ASSERT_TRUE(receiver.WaitForReports(kCount));
    const std::vector<Report> reports = receiver.Reports();
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(reports[i][0], static_cast<unsigned char>(i)) << "report " << i;
    hid.Close();
}

TEST(LoopbackWithDriver, WriteWhenClosedFailsWithoutTouchingTheLastError)
{
    CHID hid;
    const Report data = Pattern(64, 0);
    g_nLastError = KYR_ERROR_TIMEOUT;
    EXPECT_FALSE(hid.Write(data.data(), data.size()));
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT);

    ASSERT_TRUE(hid.Open(kVid, kPid, 1, 0));
    hid.Close();
    EXPECT_FALSE(hid.Write(data.data(), data.size()));
}

TEST(LoopbackWithDriver, OpenOfAMissingDeviceFailsWithNoDevice)
{
    CHID hid;
    EXPECT_FALSE(hid.Open(kVid, kPid, 2, 0));
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
    EXPECT_FALSE(hid.Open(kVid, kPid, 1, 1));
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
    EXPECT_FALSE(hid.IsOpenDevice());
}

TEST(LoopbackWithDriver, UnsupportedRequestsSayNotSupported)
{
    CHID hid;
    unsigned char buffer[64] = {};
    EXPECT_FALSE(hid.GetFeature(buffer, sizeof(buffer)));
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NOT_SUPPORT);
    EXPECT_FALSE(hid.SetFeature(buffer, sizeof(buffer)));
    EXPECT_FALSE(hid.GetSerialNumberString(buffer, sizeof(buffer)));
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NOT_SUPPORT);
    EXPECT_EQ(hid.GetLowDeviceHandle(), nullptr);
}

TEST(LoopbackWithDriver, CloseAttachesTheDriverEvenWhenNoneWasBoundBefore)
{
    // Unbind the driver of interface 0 behind the library's back first.
    libusb_device_handle* pRaw = libusb_open_device_with_vid_pid(nullptr, kVid, kPid);
    ASSERT_NE(pRaw, nullptr);
    ASSERT_EQ(libusb_detach_kernel_driver(pRaw, 0), LIBUSB_SUCCESS);
    libusb_close(pRaw);
    ASSERT_EQ(kyrsim::SimDriver(0, 0), "none");

    CHID hid;
    ASSERT_TRUE(hid.Open(kVid, kPid, 0, 0));
    hid.Close();
    EXPECT_EQ(kyrsim::SimDriver(0, 0), "usbhid");
}

// Devices 0 and 1: two loopback devices of one kind.
TEST(TwoLoopbacks, BothOpenAtOnceAndCloseInEitherOrder)
{
    for (int nFirstToClose = 0; nFirstToClose < 2; ++nFirstToClose) {
        CHID hid[2];
        std::unique_ptr<Receiver> receivers[2] = {std::make_unique<Receiver>(hid[0]),
                                                  std::make_unique<Receiver>(hid[1])};
        ASSERT_TRUE(hid[0].Open(kVid, kPid, 0, 0));
        ASSERT_TRUE(hid[1].Open(kVid, kPid, 0, 1));
        for (int i = 0; i < 2; ++i) {
            const Report report = Pattern(64, static_cast<unsigned char>(0x40 * (i + 1)));
            ASSERT_TRUE(hid[i].Write(report.data(), report.size()));
        }
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(receivers[i]->WaitForReports(1));
            EXPECT_EQ(receivers[i]->Reports()[0][0], 0x40 * (i + 1)) << "each device's reports reach its own owner";
        }
        hid[nFirstToClose].Close();
        const int nOther = 1 - nFirstToClose;
        const Report report = Pattern(64, 7);
        ASSERT_TRUE(hid[nOther].Write(report.data(), report.size()));
        EXPECT_TRUE(receivers[nOther]->WaitForReports(2)) << "the other device keeps working";
        hid[nOther].Close();
    }
}

// Device 0: silent, unplugged on request.
TEST(Unplug, ReportedOnceAndTheOwnerClosesFromTheCallback)
{
    auto* pHid = new CHID;
    Receiver receiver(*pHid);
    std::atomic<bool> bStillOpenInCallback{false};
    receiver.m_OnDisconnect = [&] {
        bStillOpenInCallback = pHid->IsOpenDevice();
        delete pHid; // closes, without waiting for the thread that calls us
    };
    ASSERT_TRUE(pHid->Open(kVid, kPid, 0, 0));
    kyrsim::SimUnplug(0);
    ASSERT_TRUE(receiver.WaitForDisconnect());
    EXPECT_TRUE(bStillOpenInCallback) << "the device stays open until its owner closes it";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(receiver.Disconnects(), 1);
}

// Device 0: silent, unplugged on request; nobody listens for the unplug, so
// the read thread closes the device itself while another thread writes.
TEST(UnplugUnobserved, TheTransportClosesItselfUnderARunningWriter)
{
    CHID hid;
    HID_NOTIFY notify{nullptr, nullptr, nullptr};
    hid.SetNotify(&notify);
    ASSERT_TRUE(hid.Open(kVid, kPid, 0, 0));
    std::atomic<bool> bStop{false};
    std::atomic<int> nWritten{0};
    std::thread writer([&] {
        const Report report = Pattern(64, 3);
        while (!bStop) {
            if (hid.Write(report.data(), report.size()))
                ++nWritten;
        }
    });
    ASSERT_TRUE(Eventually([&] { return nWritten > 10; }));
    kyrsim::SimUnplug(0);
    EXPECT_TRUE(Eventually([&] { return !hid.IsOpenDevice(); }));
    bStop = true;
    writer.join();
    hid.Close();
}

// Device 0: loopback, unplugged while the owner keeps writing.
TEST(UnplugWhileWriting, WritesFailOnceTheDeviceIsGone)
{
    CHID hid;
    Receiver receiver(hid);
    ASSERT_TRUE(hid.Open(kVid, kPid, 0, 0));
    std::atomic<bool> bStop{false};
    std::thread writer([&] {
        const Report report = Pattern(64, 3);
        while (!bStop)
            hid.Write(report.data(), report.size());
    });
    ASSERT_TRUE(receiver.WaitForReports(10));
    kyrsim::SimUnplug(0);
    EXPECT_TRUE(receiver.WaitForDisconnect());
    const Report report = Pattern(64, 3);
    EXPECT_TRUE(Eventually([&] { return !hid.Write(report.data(), report.size()); }));
    bStop = true;
    writer.join();
    hid.Close();
    EXPECT_EQ(receiver.Disconnects(), 1);
}
