// The USB transport against emulated devices: claim and driver hand-over,
// writes cut into reports, the read thread's delivery, unplugging.
// Each suite runs under kyrsim with the devices CMakeLists.txt gives it.
#include <libusb.h>

#include <functional>

#include "DeviceFixture.h"
#include "Include/HID.h"

using namespace kyr_hid_library;
using namespace kyrtest;

namespace {

using Report = std::vector<unsigned char>;

// What the transport delivers, on whatever thread it delivers it: reports
// as raw, unplugs as disconnects.
struct Receiver : Recorder {
    explicit Receiver(CHID& hid)
    {
        HID_NOTIFY notify{static_cast<Recorder*>(this), &Gone, &Received};
        hid.SetNotify(&notify);
    }
    bool WaitForReports(size_t nCount) { return WaitFor([&] { return raw.size() >= nCount; }); }
    std::vector<Report> Reports() { return Locked([&] { return raw; }); }

    std::function<void()> onDisconnect; // runs inside fnOnDisconnect

private:
    static void Received(unsigned char* pBuffer, unsigned long dwLength, void* pContext)
    {
        Note(pContext, nullptr, [&](Recorder& r) { r.raw.emplace_back(pBuffer, pBuffer + dwLength); });
    }
    static void Gone(void* pContext)
    {
        if (auto& self = static_cast<Receiver&>(*static_cast<Recorder*>(pContext)); self.onDisconnect)
            self.onDisconnect();
        Note(pContext, nullptr, [](Recorder& r) { ++r.nDisconnects; });
    }
};

Report Pattern(size_t nSize, unsigned char cSeed)
{
    Report data(nSize);
    for (size_t i = 0; i < nSize; ++i)
        data[i] = static_cast<unsigned char>(cSeed + i);
    return data;
}

// Writes the pattern from another thread until destroyed.
class Writer {
public:
    explicit Writer(CHID& hid) : m_Thread([this, &hid] {
        for (const Report report = Pattern(64, 3); !m_bStop;)
            m_nWritten += hid.Write(report.data(), report.size()) ? 1 : 0;
    }) {}
    ~Writer()
    {
        m_bStop = true;
        m_Thread.join();
    }
    int Written() const { return m_nWritten; }

private:
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nWritten{0};
    std::thread m_Thread;
};

} // namespace

// ---- Device 0: loopback, two interfaces, a kernel driver bound ----------------

TEST(LoopbackWithDriver, WritesAreCutIntoReportsThatComeBackInOrder)
{
    CHID hid;
    Receiver receiver(hid);
    ASSERT_TRUE(hid.Open(kVid, kPid, 1, 0));
    const uint64_t nOutBefore = kyrsim::SimOutCount(0);
    const Report data = Pattern(130, 1);
    ASSERT_TRUE(hid.Write(data.data(), data.size()));
    ASSERT_TRUE(receiver.WaitForReports(3));
    EXPECT_EQ(kyrsim::SimOutCount(0) - nOutBefore, 3u);
    const auto at = [&](size_t nOffset) { return data.begin() + static_cast<long>(nOffset); };
    EXPECT_EQ(receiver.Reports(), (std::vector<Report>{{at(0), at(64)}, {at(64), at(128)}, {at(128), data.end()}}));
    EXPECT_TRUE(hid.Write(data.data(), 0)) << "an empty write sends nothing and succeeds";
    EXPECT_EQ(kyrsim::SimOutCount(0) - nOutBefore, 3u);

    // Many reports in a row come back in order too.
    constexpr int kCount = 200;
    for (int i = 0; i < kCount; ++i)
        ASSERT_TRUE(hid.Write(Pattern(64, static_cast<unsigned char>(i)).data(), 64));
    ASSERT_TRUE(receiver.WaitForReports(3 + kCount));
    const std::vector<Report> reports = receiver.Reports();
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(reports[3 + i][0], static_cast<unsigned char>(i)) << "report " << i;
    hid.Close();
}

TEST(LoopbackWithDriver, RequestsWithoutAnOpenDeviceFail)
{
    CHID hid;
    const Report data = Pattern(64, 0);
    g_nLastError = KYR_ERROR_TIMEOUT;
    EXPECT_FALSE(hid.Write(data.data(), data.size()));
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT) << "a write when closed leaves the last error alone";

    unsigned char buffer[64] = {};
    EXPECT_FALSE(hid.GetFeature(buffer, sizeof(buffer)));
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NOT_SUPPORT);
    EXPECT_FALSE(hid.SetFeature(buffer, sizeof(buffer)));
    EXPECT_FALSE(hid.GetSerialNumberString(buffer, sizeof(buffer)));
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NOT_SUPPORT);
    EXPECT_EQ(hid.GetLowDeviceHandle(), nullptr);

    ASSERT_TRUE(hid.Open(kVid, kPid, 1, 0));
    EXPECT_TRUE(hid.IsOpenDevice());
    hid.Close();
    EXPECT_FALSE(hid.IsOpenDevice());
    EXPECT_FALSE(hid.Write(data.data(), data.size()));
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

// ---- Devices 0 and 1: two loopback devices of one kind ------------------------

TEST(TwoLoopbacks, BothOpenAtOnceAndCloseInEitherOrder)
{
    for (int nFirstToClose = 0; nFirstToClose < 2; ++nFirstToClose) {
        CHID hid[2];
        Receiver receivers[2] = {Receiver(hid[0]), Receiver(hid[1])};
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(hid[i].Open(kVid, kPid, 0, i));
            ASSERT_TRUE(hid[i].Write(Pattern(64, static_cast<unsigned char>(0x40 * (i + 1))).data(), 64));
        }
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(receivers[i].WaitForReports(1));
            EXPECT_EQ(receivers[i].Reports()[0][0], 0x40 * (i + 1))
                << "each device's reports reach its own owner";
        }
        hid[nFirstToClose].Close();
        const int nOther = 1 - nFirstToClose;
        ASSERT_TRUE(hid[nOther].Write(Pattern(64, 7).data(), 64));
        EXPECT_TRUE(receivers[nOther].WaitForReports(2)) << "the other device keeps working";
        hid[nOther].Close();
    }
}

// ---- Device 0: silent, unplugged on request -----------------------------------

TEST(Unplug, ReportedOnceAndTheOwnerClosesFromTheCallback)
{
    auto* pHid = new CHID;
    Receiver receiver(*pHid);
    std::atomic<bool> bStillOpenInCallback{false};
    receiver.onDisconnect = [&] {
        bStillOpenInCallback = pHid->IsOpenDevice();
        delete pHid; // closes, without waiting for the thread that calls us
    };
    ASSERT_TRUE(pHid->Open(kVid, kPid, 0, 0));
    kyrsim::SimUnplug(0);
    ASSERT_TRUE(receiver.WaitFor([&] { return receiver.nDisconnects > 0; }));
    EXPECT_TRUE(bStillOpenInCallback) << "the device stays open until its owner closes it";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(receiver.nDisconnects.load(), 1);
}

// Nobody listens for the unplug, so the read thread closes the device itself
// while another thread writes.
TEST(UnplugUnobserved, TheTransportClosesItselfUnderARunningWriter)
{
    CHID hid;
    HID_NOTIFY notify{nullptr, nullptr, nullptr};
    hid.SetNotify(&notify);
    ASSERT_TRUE(hid.Open(kVid, kPid, 0, 0));
    {
        Writer writer(hid);
        ASSERT_TRUE(Eventually([&] { return writer.Written() > 10; }, kPatience));
        kyrsim::SimUnplug(0);
        EXPECT_TRUE(Eventually([&] { return !hid.IsOpenDevice(); }, kPatience));
    }
    hid.Close();
}

// ---- Device 0: loopback, unplugged while the owner keeps writing ---------------

TEST(UnplugWhileWriting, WritesFailOnceTheDeviceIsGone)
{
    CHID hid;
    Receiver receiver(hid);
    ASSERT_TRUE(hid.Open(kVid, kPid, 0, 0));
    {
        Writer writer(hid);
        ASSERT_TRUE(receiver.WaitForReports(10));
        kyrsim::SimUnplug(0);
        EXPECT_TRUE(receiver.WaitFor([&] { return receiver.nDisconnects > 0; }));
        EXPECT_TRUE(Eventually([&] { return !hid.Write(Pattern(64, 3).data(), 64); }, kPatience));
    }
    hid.Close();
    EXPECT_EQ(receiver.nDisconnects.load(), 1);
}
