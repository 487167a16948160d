// Device handles through the exported C interface: open and close, busy
// refusal, the raw-report hook, decoded packets and their mode filter,
// replacing callback tables under traffic, unplugging.
// Each suite runs under kyrsim with the devices CMakeLists.txt gives it; the
// device side of the packets comes from the emulator's own encoder.
#include "DeviceFixture.h"

using namespace kyrtest;
namespace enc = kyrsim::encoder;

namespace {

enc::Bytes Status(const std::string& text)
{
    return enc::Text(enc::kAddrMM, enc::TextKind::Status, 7, 0, text);
}

using Handle = DeviceTest;

} // namespace

// ---- Device 0: silent, two interfaces, kernel driver bound -----------------

TEST(HandleOpen, ClaimsTheInterfaceRefusesASecondClientAndGivesItBack)
{
    for (const auto& [nIndex, wPid] : {std::pair{1, kPid}, {0, KYR_USB_PRODUCT_ID_MODEL2}}) {
        EXPECT_EQ(KyrOpenDevice(kVid, wPid, kMI, nIndex), nullptr);
        EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
    }
    g_nLastError = KYR_ERROR_TIMEOUT;
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);
    EXPECT_TRUE(kyrsim::SimClaimed(0, kMI));
    EXPECT_EQ(kyrsim::SimDriver(0, kMI), "usbfs") << "the kernel driver gave way to our claim";
    EXPECT_EQ(kyrsim::SimDriver(0, 1 - kMI), "usbhid") << "other interfaces keep their driver";
    KYR_DEVICE_INFO info = KyrGetDeviceInfoFromHandle(h);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(KyrGetDevInfoProductID(info), kPid);
    EXPECT_EQ(KyrGetDevInfoInterfaceNumber(info), kMI);
    EXPECT_EQ(KyrGetLowDeviceHandle(h), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);

    EXPECT_EQ(KyrOpenDevice(kVid, kPid, kMI, 0), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_DEVICE_BUSY);
    EXPECT_TRUE(kyrsim::SimClaimed(0, kMI)) << "the refused open left the first client's claim alone";

    KyrCloseDevice(h);
    EXPECT_FALSE(kyrsim::SimClaimed(0, kMI));
    EXPECT_EQ(kyrsim::SimDriver(0, kMI), "usbhid") << "the kernel driver is attached again";
    h = KyrOpenDevice(kVid, kPid, kMI, 0);
    EXPECT_NE(h, nullptr) << "a closed device can be opened again";
    KyrCloseDevice(h);
}

TEST_F(Handle, NullArgumentsAreRefusedAndChangeNothing)
{
    KYR_EVENT_NOTIFY table = m_r.Table();
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
    EXPECT_TRUE(m_r.WaitFor([&] { return !m_r.types.empty(); }))
        << "the refused null table did not replace the installed one";
}

TEST_F(Handle, RawReportsArriveInOrderBeforeDecoding)
{
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> report(64, 0);
        report[0] = 1;
        report[1] = 0x55; // not a report type: dropped by the decoder
        report[2] = static_cast<uint8_t>(i);
        kyrsim::SimInject(0, kMI, report);
    }
    ASSERT_TRUE(m_r.WaitFor([&] { return m_r.raw.size() >= 20; }));
    std::lock_guard lock(m_r.mutex);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(m_r.raw[i].size(), 64u);
        EXPECT_EQ(m_r.raw[i][2], i);
    }
    EXPECT_EQ(m_r.hSeen, m_h);
    EXPECT_TRUE(m_r.types.empty());
}

TEST_F(Handle, RawHookTakesAReportOnlyByAnsweringOne)
{
    m_r.Locked([&] { return m_r.nRawResult = 1; });
    Emit(Status("taken"));
    ASSERT_TRUE(m_r.WaitFor([&] { return m_r.raw.size() >= 1; }));
    m_r.Locked([&] { return m_r.nRawResult = 2; }); // anything but 1 leaves the report to the decoder
    Emit(Status("decoded"));
    ASSERT_TRUE(m_r.WaitFor([&] { return !m_r.types.empty(); }));
    std::lock_guard lock(m_r.mutex);
    EXPECT_EQ(m_r.texts, (std::vector<std::string>{"decoded"}));
}

TEST_F(Handle, DecodedPacketsPassTheModeFilter)
{
    // Without any data mode asked for, messages and touch points are held
    // back; status and version packets always pass. The last status comes
    // after everything else.
    Emit(enc::Message(enc::kAddrMM, 1, "MM", "held back"));
    const enc::TouchPoint point{100, 200, 10, 10, 1};
    Emit(enc::TouchPoints(2, 1, std::span(&point, 1)));
    Emit(Status("first"));
    Emit(enc::Version(enc::kAddrMM, 3, enc::VersionInfo{1, 2, 3, 4, "2026-12-06", "12:00"}));
    Emit(Status("last"));
    ASSERT_TRUE(m_r.WaitFor([&] { return !m_r.texts.empty() && m_r.texts.back() == "last"; }));
    std::lock_guard lock(m_r.mutex);
    EXPECT_EQ(m_r.types, (std::vector<short>{kyrtype_stt, kyrtype_ver, kyrtype_stt}));
    EXPECT_EQ(m_r.texts[0], "first");
    EXPECT_EQ(m_r.syncFlags, (std::vector<int>{0, 0, 0}));
}

TEST_F(Handle, ReplacingTheTableUnderTrafficLosesAndDoublesNothing)
{
    constexpr size_t kPackets = 300;
    Recorder other;
    std::atomic<bool> bStop{false};
    std::thread swapper([&] {
        for (unsigned i = 0; !bStop; ++i)
            (i % 2 == 0 ? other : m_r).Install(m_h);
    });
    for (size_t i = 0; i < kPackets; ++i)
        Emit(Status("n"));
    auto total = [&] { return m_r.Packets() + other.Packets(); };
    Eventually([&] { return total() >= kPackets; }, kPatience);
    bStop = true;
    swapper.join();
    EXPECT_EQ(total(), kPackets) << "each packet reaches exactly one table";
}

TEST_F(Handle, CallbackMayReplaceItsOwnTable)
{
    // A table whose callback installs m_r's from inside itself, which
    // destroys the calling table once it returns.
    struct Reinstaller {
        Recorder* pNext;
        std::atomic<int> nCalls{0};
    } re{&m_r};
    KYR_EVENT_NOTIFY table{};
    table.Context = &re;
    table.fnOnPacket = [](KYR_HANDLE h, kyrpacket*, int, void* pContext) {
        auto* pThis = static_cast<Reinstaller*>(pContext);
        ++pThis->nCalls;
        pThis->pNext->Install(h);
    };
    KyrSetEventNotify(m_h, &table);
    Emit(Status("one"));
    Emit(Status("two"));
    ASSERT_TRUE(m_r.WaitFor([&] { return !m_r.types.empty(); }));
    EXPECT_EQ(re.nCalls.load(), 1);
}

// ---- Device 0: silent, unplugged during the test ----------------------------

TEST(HandleUnplug, ReportedOnceAndClosedFromTheCallback)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    Recorder r;
    KYR_EVENT_NOTIFY table = r.Table();
    table.fnOnDisconnect = [](KYR_HANDLE hDevice, void* pContext) {
        KyrCloseDevice(hDevice);
        // Woken under the lock: the test frees the recorder once it sees the count.
        auto* p = static_cast<Recorder*>(pContext);
        p->Locked([&] {
            ++p->nDisconnects;
            p->cv.notify_all();
        });
    };
    KyrSetEventNotify(h, &table);
    kyrsim::SimUnplug(0);
    ASSERT_TRUE(r.WaitFor([&] { return r.nDisconnects > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(r.nDisconnects.load(), 1);
}
