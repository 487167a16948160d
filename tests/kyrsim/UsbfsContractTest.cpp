// The contract kyrsim offers to programs using libusb, checked with libusb
// itself: what enumerates, what the usbfs ioctls answer, how reports move,
// how a kernel driver and an unplug look.
//
// Each ctest entry (CMakeLists.txt) starts this program under kyrsim with
// one device layout and runs the test suites written for that layout.
#include "KyrDeviceIds.h"
#include "KyrSimControl.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The usual layout: device 0 loopback with two interfaces, device 1 with a
// kernel driver. Kept in step with the DEVICES lines of CMakeLists.txt.
constexpr int kBus = 3;
constexpr int kLoopbackAddress = 7;
constexpr int kDriverAddress = 9;
constexpr int kLoopbackDevice = 0;
constexpr int kDriverDevice = 1;
constexpr unsigned int kTimeoutMs = 5000;

constexpr uint8_t InEndpoint(int nInterface) { return static_cast<uint8_t>(0x80 | (1 << nInterface)); }
constexpr uint8_t OutEndpoint(int nInterface) { return static_cast<uint8_t>(1 << nInterface); }

std::vector<uint8_t> Pattern(uint8_t bSeed, size_t nLength = 64)
{
    std::vector<uint8_t> bytes(nLength);
    for (size_t i = 0; i < nLength; ++i)
        bytes[i] = static_cast<uint8_t>(bSeed + 7 * i);
    return bytes;
}

struct ContextDeleter {
    void operator()(libusb_context* p) const { libusb_exit(p); }
};
struct HandleDeleter {
    void operator()(libusb_device_handle* p) const { libusb_close(p); }
};
struct DeviceDeleter {
    void operator()(libusb_device* p) const { libusb_unref_device(p); }
};
using Context = std::unique_ptr<libusb_context, ContextDeleter>;
using Handle = std::unique_ptr<libusb_device_handle, HandleDeleter>;
using Device = std::unique_ptr<libusb_device, DeviceDeleter>;

Context MakeContext()
{
    libusb_context* p = nullptr;
    if (libusb_init(&p) != 0)
        return nullptr;
    return Context(p);
}

// nullptr when no device sits at that place.
Device FindDevice(libusb_context* pContext, int nBus, int nAddress)
{
    libusb_device** list = nullptr;
    const ssize_t nCount = libusb_get_device_list(pContext, &list);
    Device found;
    for (ssize_t i = 0; i < nCount; ++i) {
        if (libusb_get_bus_number(list[i]) == nBus && libusb_get_device_address(list[i]) == nAddress)
            found.reset(libusb_ref_device(list[i]));
    }
    if (nCount >= 0)
        libusb_free_device_list(list, 1);
    return found;
}

Handle Open(libusb_context* pContext, int nBus, int nAddress, int* pResult = nullptr)
{
    const Device device = FindDevice(pContext, nBus, nAddress);
    libusb_device_handle* p = nullptr;
    const int nResult = device ? libusb_open(device.get(), &p) : LIBUSB_ERROR_NOT_FOUND;
    if (pResult != nullptr)
        *pResult = nResult;
    return Handle(nResult == 0 ? p : nullptr);
}

// One asynchronous interrupt IN transfer; the destructor cancels and waits.
class CInTransfer {
public:
    CInTransfer(libusb_context* pContext, libusb_device_handle* pHandle, uint8_t bEndpoint, int nLength = 64,
                unsigned int nTimeoutMs = 0)
        : m_pContext(pContext), m_buffer(static_cast<size_t>(nLength))
    {
        m_pTransfer = libusb_alloc_transfer(0);
        libusb_fill_interrupt_transfer(m_pTransfer, pHandle, bEndpoint, m_buffer.data(), nLength, OnDone, this,
                                       nTimeoutMs);
    }
    ~CInTransfer()
    {
        if (m_bSubmitted && !m_bDone) {
            libusb_cancel_transfer(m_pTransfer);
            Wait(std::chrono::milliseconds(kTimeoutMs));
        }
        libusb_free_transfer(m_pTransfer);
    }
    CInTransfer(const CInTransfer&) = delete;
    CInTransfer& operator=(const CInTransfer&) = delete;

    int Submit()
    {
        const int nResult = libusb_submit_transfer(m_pTransfer);
        m_bSubmitted = nResult == 0;
        return nResult;
    }
    int Cancel() { return libusb_cancel_transfer(m_pTransfer); }

    /// Handles events until the transfer completed or the time is up.
    bool Wait(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!m_bDone && std::chrono::steady_clock::now() < deadline) {
            timeval tv{0, 50000};
            libusb_handle_events_timeout_completed(m_pContext, &tv, &m_bDone);
        }
        return m_bDone != 0;
    }

    bool Done() const { return m_bDone != 0; }
    libusb_transfer_status Status() const { return m_pTransfer->status; }
    std::vector<uint8_t> Data() const
    {
        return std::vector<uint8_t>(m_buffer.begin(), m_buffer.begin() + m_pTransfer->actual_length);
    }

private:
    static void LIBUSB_CALL OnDone(libusb_transfer* pTransfer)
    {
        static_cast<CInTransfer*>(pTransfer->user_data)->m_bDone = 1;
    }

    libusb_context* m_pContext;
    std::vector<uint8_t> m_buffer;
    libusb_transfer* m_pTransfer = nullptr;
    bool m_bSubmitted = false;
    int m_bDone = 0;
};

int WriteReport(libusb_device_handle* pHandle, int nInterface, const std::vector<uint8_t>& report)
{
    int nSent = 0;
    std::vector<uint8_t> copy = report;
    const int nResult = libusb_interrupt_transfer(pHandle, OutEndpoint(nInterface), copy.data(),
                                                  static_cast<int>(copy.size()), &nSent, kTimeoutMs);
    return nResult != 0 ? nResult : (nSent == static_cast<int>(report.size()) ? 0 : LIBUSB_ERROR_IO);
}

// Writes a report on a loopback interface and reads it back; empty on failure.
std::vector<uint8_t> Echo(libusb_context* pContext, libusb_device_handle* pHandle, int nInterface,
                          const std::vector<uint8_t>& report)
{
    CInTransfer in(pContext, pHandle, InEndpoint(nInterface));
    if (in.Submit() != 0 || WriteReport(pHandle, nInterface, report) != 0)
        return {};
    if (!in.Wait(std::chrono::milliseconds(kTimeoutMs)) || in.Status() != LIBUSB_TRANSFER_COMPLETED)
        return {};
    return in.Data();
}

template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds limit = 3s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class UsbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_context = MakeContext();
        ASSERT_TRUE(m_context) << "libusb_init failed";
    }
    libusb_context* Ctx() const { return m_context.get(); }

    Context m_context;
};

// ---- enumeration -------------------------------------------------------------

using Enumeration = UsbTest;

TEST_F(Enumeration, ListsEachDeviceWithItsIdsAtItsBusAndAddress)
{
    libusb_device** list = nullptr;
    const ssize_t nCount = libusb_get_device_list(Ctx(), &list);
    ASSERT_EQ(nCount, 2);
    libusb_free_device_list(list, 1);

    const struct {
        int nAddress;
        uint16_t wProduct;
    } expected[] = {{kLoopbackAddress, KYR_USB_PRODUCT_ID_MODEL1}, {kDriverAddress, KYR_USB_PRODUCT_ID_VIRTUAL}};
    for (const auto& want : expected) {
        const Device device = FindDevice(Ctx(), kBus, want.nAddress);
        ASSERT_TRUE(device) << "nothing at address " << want.nAddress;
        libusb_device_descriptor desc{};
        ASSERT_EQ(libusb_get_device_descriptor(device.get(), &desc), 0);
        EXPECT_EQ(desc.idVendor, KYR_USB_VENDOR_ID);
        EXPECT_EQ(desc.idProduct, want.wProduct);
        EXPECT_EQ(desc.bNumConfigurations, 1);
    }
}

TEST_F(Enumeration, EachInterfaceHasInterruptEndpointsDerivedFromItsNumber)
{
    const struct {
        int nAddress;
        int nInterfaces;
    } layouts[] = {{kLoopbackAddress, 2}, {kDriverAddress, 1}};
    for (const auto& layout : layouts) {
        SCOPED_TRACE("address " + std::to_string(layout.nAddress));
        const Device device = FindDevice(Ctx(), kBus, layout.nAddress);
        ASSERT_TRUE(device);
        libusb_config_descriptor* pConfig = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(device.get(), &pConfig), 0);
        EXPECT_EQ(pConfig->bNumInterfaces, layout.nInterfaces);
        for (int i = 0; i < pConfig->bNumInterfaces; ++i) {
            ASSERT_GE(pConfig->interface[i].num_altsetting, 1);
            const libusb_interface_descriptor& itf = pConfig->interface[i].altsetting[0];
            EXPECT_EQ(itf.bInterfaceNumber, i);
            EXPECT_EQ(itf.bInterfaceClass, LIBUSB_CLASS_HID);
            ASSERT_EQ(itf.bNumEndpoints, 2);
            const uint8_t expectedAddresses[] = {InEndpoint(i), OutEndpoint(i)};
            for (int e = 0; e < 2; ++e) {
                EXPECT_EQ(itf.endpoint[e].bEndpointAddress, expectedAddresses[e]);
                EXPECT_EQ(itf.endpoint[e].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_INTERRUPT);
                EXPECT_EQ(itf.endpoint[e].wMaxPacketSize, 64);
            }
        }
        libusb_free_config_descriptor(pConfig);
    }
}

TEST_F(Enumeration, DescriptorsReadFromTheDeviceMatchTheEnumeratedOnes)
{
    const Handle handle = Open(Ctx(), kBus, kLoopbackAddress);
    ASSERT_TRUE(handle);
    libusb_device_descriptor cached{};
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(handle.get()), &cached), 0);
    std::array<uint8_t, 18> wire{};
    ASSERT_EQ(libusb_get_descriptor(handle.get(), LIBUSB_DT_DEVICE, 0, wire.data(), wire.size()), 18);
    EXPECT_EQ(0, std::memcmp(wire.data(), &cached, wire.size()));

    std::array<uint8_t, 256> config{};
    const int nLength = libusb_get_descriptor(handle.get(), LIBUSB_DT_CONFIG, 0, config.data(), config.size());
    ASSERT_GE(nLength, 9);
    EXPECT_EQ(nLength, config[2] | (config[3] << 8));
    EXPECT_EQ(config[4], 2);  // interfaces
}

// ---- claims ----------------------------------------------------------------------

using Claim = UsbTest;

TEST_F(Claim, ClaimAndReleaseShowOnTheControlSocket)
{
    const Handle handle = Open(Ctx(), kBus, kLoopbackAddress);
    ASSERT_TRUE(handle);
    EXPECT_FALSE(kyrsim::SimClaimed(kLoopbackDevice, 1));
    ASSERT_EQ(libusb_claim_interface(handle.get(), 1), 0);
    EXPECT_TRUE(kyrsim::SimClaimed(kLoopbackDevice, 1));
    EXPECT_FALSE(kyrsim::SimClaimed(kLoopbackDevice, 0));
    EXPECT_EQ(kyrsim::SimDriver(kLoopbackDevice, 1), "usbfs");
    EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 1), 0) << "a usbfs claim is no kernel driver";
    ASSERT_EQ(libusb_release_interface(handle.get(), 1), 0);
    EXPECT_FALSE(kyrsim::SimClaimed(kLoopbackDevice, 1));
    EXPECT_EQ(kyrsim::SimDriver(kLoopbackDevice, 1), "none");
}

TEST_F(Claim, AnInterfaceClaimedThroughOneHandleIsBusyForAnother)
{
    const Handle first = Open(Ctx(), kBus, kLoopbackAddress);
    const Handle second = Open(Ctx(), kBus, kLoopbackAddress);
    ASSERT_TRUE(first && second);
    ASSERT_EQ(libusb_claim_interface(first.get(), 0), 0);
    EXPECT_EQ(libusb_claim_interface(second.get(), 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(second.get(), 1), 0) << "other interfaces stay free";
    ASSERT_EQ(libusb_release_interface(first.get(), 0), 0);
    EXPECT_EQ(libusb_claim_interface(second.get(), 0), 0);
}

TEST_F(Claim, AnInterfaceTheDeviceLacksIsNotFound)
{
    const Handle handle = Open(Ctx(), kBus, kLoopbackAddress);
    ASSERT_TRUE(handle);
    EXPECT_EQ(libusb_claim_interface(handle.get(), 2), LIBUSB_ERROR_NOT_FOUND);
}

// ---- interrupt transfers ---------------------------------------------------------

class Transfer : public UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        m_handle = Open(Ctx(), kBus, kLoopbackAddress);
        ASSERT_TRUE(m_handle);
        ASSERT_EQ(libusb_claim_interface(m_handle.get(), 1), 0);
    }
    Handle m_handle;
};

TEST_F(Transfer, LoopbackReturnsTheOutReportByteForByte)
{
    const uint64_t qwBefore = kyrsim::SimOutCount(kLoopbackDevice);
    CInTransfer in(Ctx(), m_handle.get(), InEndpoint(1));
    ASSERT_EQ(in.Submit(), 0);
    // Pending first, so the event loop has to be woken by the device node.
    EXPECT_FALSE(in.Wait(100ms)) << "an IN transfer completed before the device sent anything";
    const std::vector<uint8_t> report = Pattern(0x31);
    ASSERT_EQ(WriteReport(m_handle.get(), 1, report), 0);
    ASSERT_TRUE(in.Wait(std::chrono::milliseconds(kTimeoutMs)));
    EXPECT_EQ(in.Status(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(in.Data(), report);
    EXPECT_EQ(kyrsim::SimOutCount(kLoopbackDevice), qwBefore + 1);
}

TEST_F(Transfer, ReportsComeBackInTheOrderTheyWereSent)
{
    const std::vector<uint8_t> first = Pattern(1, 20);
    const std::vector<uint8_t> second = Pattern(2, 64);
    ASSERT_EQ(WriteReport(m_handle.get(), 1, first), 0);
    ASSERT_EQ(WriteReport(m_handle.get(), 1, second), 0);
    for (const auto& expected : {first, second}) {
        std::array<uint8_t, 64> buffer{};
        int nReceived = 0;
        ASSERT_EQ(libusb_interrupt_transfer(m_handle.get(), InEndpoint(1), buffer.data(), buffer.size(), &nReceived,
                                            kTimeoutMs),
                  0);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + nReceived), expected);
    }
}

TEST_F(Transfer, InjectedBytesArriveAsOneInReport)
{
    const std::vector<uint8_t> report = {0x01, 0x01, 0x05, 0xDE, 0xAD, 0xBE, 0xEF, 0x00};
    kyrsim::SimInject(kLoopbackDevice, 1, report);
    std::array<uint8_t, 64> buffer{};
    int nReceived = 0;
    ASSERT_EQ(libusb_interrupt_transfer(m_handle.get(), InEndpoint(1), buffer.data(), buffer.size(), &nReceived,
                                        kTimeoutMs),
              0);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + nReceived), report);
    EXPECT_NE(kyrsim::SimRequest("inject 0 0 00").rfind("error", 0), std::string::npos)
        << "interface 0 is not claimed, so nobody could receive the report";
}

TEST_F(Transfer, CancellingAPendingReadCompletesItAsCancelled)
{
    CInTransfer in(Ctx(), m_handle.get(), InEndpoint(1));
    ASSERT_EQ(in.Submit(), 0);
    EXPECT_FALSE(in.Wait(100ms));
    ASSERT_EQ(in.Cancel(), 0);
    ASSERT_TRUE(in.Wait(std::chrono::milliseconds(kTimeoutMs)));
    EXPECT_EQ(in.Status(), LIBUSB_TRANSFER_CANCELLED);
    // The endpoint still works afterwards.
    EXPECT_EQ(Echo(Ctx(), m_handle.get(), 1, Pattern(9)), Pattern(9));
}

TEST_F(Transfer, ASilentReadTimesOut)
{
    std::array<uint8_t, 64> buffer{};
    int nReceived = -1;
    EXPECT_EQ(libusb_interrupt_transfer(m_handle.get(), InEndpoint(1), buffer.data(), buffer.size(), &nReceived, 200),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(nReceived, 0);
}

// ---- kernel driver ----------------------------------------------------------------

using KernelDriver = UsbTest;

TEST_F(KernelDriver, BoundDriverBlocksClaimUntilDetachedAndComesBackOnAttach)
{
    const Handle handle = Open(Ctx(), kBus, kDriverAddress);
    ASSERT_TRUE(handle);
    EXPECT_EQ(kyrsim::SimDriver(kDriverDevice, 0), "usbhid");
    EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 0), 1);
    EXPECT_EQ(libusb_claim_interface(handle.get(), 0), LIBUSB_ERROR_BUSY);

    ASSERT_EQ(libusb_detach_kernel_driver(handle.get(), 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 0), 0);
    EXPECT_EQ(kyrsim::SimDriver(kDriverDevice, 0), "none");
    EXPECT_EQ(libusb_detach_kernel_driver(handle.get(), 0), LIBUSB_ERROR_NOT_FOUND);

    ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);
    EXPECT_EQ(libusb_attach_kernel_driver(handle.get(), 0), LIBUSB_ERROR_BUSY) << "claimed interfaces stay ours";
    ASSERT_EQ(libusb_release_interface(handle.get(), 0), 0);

    ASSERT_EQ(libusb_attach_kernel_driver(handle.get(), 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 0), 1);
    EXPECT_EQ(kyrsim::SimDriver(kDriverDevice, 0), "usbhid");
}

TEST_F(KernelDriver, AutoDetachClaimsAndReleaseRebindsTheDriver)
{
    const Handle handle = Open(Ctx(), kBus, kDriverAddress);
    ASSERT_TRUE(handle);
    ASSERT_EQ(libusb_set_auto_detach_kernel_driver(handle.get(), 1), 0);
    ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);
    EXPECT_TRUE(kyrsim::SimClaimed(kDriverDevice, 0));
    ASSERT_EQ(libusb_release_interface(handle.get(), 0), 0);
    EXPECT_EQ(kyrsim::SimDriver(kDriverDevice, 0), "usbhid");
}

TEST_F(KernelDriver, AttachWithoutAMatchingDriverFindsNone)
{
    const Handle handle = Open(Ctx(), kBus, kLoopbackAddress);
    ASSERT_TRUE(handle);
    EXPECT_EQ(libusb_kernel_driver_active(handle.get(), 0), 0);
    EXPECT_EQ(libusb_attach_kernel_driver(handle.get(), 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(kyrsim::SimDriver(kLoopbackDevice, 0), "none");
}

// ---- several processes ------------------------------------------------------------

// Run as "<this program> --grandchild": claims interface 1 of the loopback
// device, echoes a few reports and exits without releasing or closing, as a
// crashing process would. Returns the process exit code.
int RunGrandchild()
{
    const Context context = MakeContext();
    if (!context)
        return 10;
    libusb_device_handle* pHandle = Open(context.get(), kBus, kLoopbackAddress).release();
    if (pHandle == nullptr)
        return 11;
    if (libusb_claim_interface(pHandle, 1) != 0)
        return 12;
    if (!kyrsim::SimClaimed(kLoopbackDevice, 1))
        return 13;
    for (uint8_t bSeed = 100; bSeed < 110; ++bSeed) {
        if (Echo(context.get(), pHandle, 1, Pattern(bSeed)) != Pattern(bSeed))
            return 14;
    }
    _exit(0);
}

using MultiProcess = UsbTest;

TEST_F(MultiProcess, AGrandchildUsesTheSameDeviceAlongsideItsParent)
{
    const Handle handle = Open(Ctx(), kBus, kLoopbackAddress);
    ASSERT_TRUE(handle);
    ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // exec, not just fork: libusb is not fork-safe once it has threads.
        execl("/proc/self/exe", "kyrsim_usbfs_test", "--grandchild", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (uint8_t bSeed = 0; bSeed < 10; ++bSeed)
        EXPECT_EQ(Echo(Ctx(), handle.get(), 0, Pattern(bSeed)), Pattern(bSeed));
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);

    // The grandchild's claim went with its file descriptor.
    EXPECT_TRUE(Eventually([] { return !kyrsim::SimClaimed(kLoopbackDevice, 1); }));
    EXPECT_EQ(libusb_claim_interface(handle.get(), 1), 0);
    EXPECT_EQ(Echo(Ctx(), handle.get(), 1, Pattern(42)), Pattern(42));
}

// ---- unplug ---------------------------------------------------------------------------

using Unplug = UsbTest;

int LIBUSB_CALL CountDeparture(libusb_context*, libusb_device*, libusb_hotplug_event, void* pCount)
{
    ++*static_cast<int*>(pCount);
    return 0;
}

TEST_F(Unplug, APendingReadEndsWithNoDeviceAndTheDeviceIsGone)
{
    int nDepartures = 0;
    libusb_hotplug_callback_handle hotplug = 0;
    ASSERT_EQ(libusb_hotplug_register_callback(Ctx(), LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_NO_FLAGS,
                                               KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL1, LIBUSB_HOTPLUG_MATCH_ANY,
                                               CountDeparture, &nDepartures, &hotplug),
              0);
    const Device device = FindDevice(Ctx(), kBus, kLoopbackAddress);
    ASSERT_TRUE(device);
    libusb_device_handle* pRaw = nullptr;
    ASSERT_EQ(libusb_open(device.get(), &pRaw), 0);
    const Handle handle(pRaw);
    ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);

    CInTransfer in(Ctx(), handle.get(), InEndpoint(0));
    ASSERT_EQ(in.Submit(), 0);
    EXPECT_FALSE(in.Wait(100ms));
    kyrsim::SimUnplug(kLoopbackDevice);
    ASSERT_TRUE(in.Wait(std::chrono::milliseconds(kTimeoutMs)));
    EXPECT_EQ(in.Status(), LIBUSB_TRANSFER_NO_DEVICE);

    CInTransfer again(Ctx(), handle.get(), InEndpoint(0));
    EXPECT_EQ(again.Submit(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(WriteReport(handle.get(), 0, Pattern(1)), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(handle.get(), 0), LIBUSB_ERROR_NO_DEVICE);

    EXPECT_TRUE(Eventually([&] {
        timeval tv{0, 0};
        libusb_handle_events_timeout_completed(Ctx(), &tv, nullptr);
        return nDepartures == 1;
    })) << "hotplug saw no departure";
    EXPECT_FALSE(FindDevice(Ctx(), kBus, kLoopbackAddress)) << "still enumerated after unplug";
    libusb_device_handle* pLate = nullptr;
    EXPECT_NE(libusb_open(device.get(), &pLate), 0) << "an unplugged device opened";
    EXPECT_NE(kyrsim::SimRequest("unplug 0").rfind("error", 0), std::string::npos) << "unplugged twice";
    EXPECT_EQ(kyrsim::SimDriver(kLoopbackDevice, 0), "none");

    // The other device is untouched.
    const Handle other = Open(Ctx(), kBus, kDriverAddress);
    EXPECT_TRUE(other);
    libusb_hotplug_deregister_callback(Ctx(), hotplug);
}

TEST_F(Unplug, ATimedUnplugEndsAPendingRead)
{
    // Started with unplug=3000 on device 0: long enough to be present now.
    const Handle handle = Open(Ctx(), 1, 2);
    ASSERT_TRUE(handle);
    ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);
    CInTransfer in(Ctx(), handle.get(), InEndpoint(0));
    ASSERT_EQ(in.Submit(), 0);
    ASSERT_TRUE(in.Wait(20s));
    EXPECT_EQ(in.Status(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_FALSE(kyrsim::SimRequest("inject 0 0 01") == "ok");
}

// ---- restricted devices -------------------------------------------------------------

// Started with device 0 "noconfig" at 1:2 and device 1 "deny" at 1:3.
using Restricted = UsbTest;

TEST_F(Restricted, AnUnconfiguredDeviceHasNoActiveConfiguration)
{
    const Device device = FindDevice(Ctx(), 1, 2);
    ASSERT_TRUE(device);
    libusb_config_descriptor* pConfig = nullptr;
    EXPECT_NE(libusb_get_active_config_descriptor(device.get(), &pConfig), 0);
    ASSERT_EQ(libusb_get_config_descriptor(device.get(), 0, &pConfig), 0) << "the descriptor itself exists";
    EXPECT_EQ(pConfig->bNumInterfaces, 1);
    libusb_free_config_descriptor(pConfig);
    const Handle handle = Open(Ctx(), 1, 2);
    ASSERT_TRUE(handle);
    int nConfiguration = -1;
    EXPECT_EQ(libusb_get_configuration(handle.get(), &nConfiguration), 0);
    EXPECT_EQ(nConfiguration, 0);
}

TEST_F(Restricted, ADeniedDeviceIsListedButRefusesToOpen)
{
    const Device device = FindDevice(Ctx(), 1, 3);
    ASSERT_TRUE(device);
    libusb_device_descriptor desc{};
    ASSERT_EQ(libusb_get_device_descriptor(device.get(), &desc), 0);
    EXPECT_EQ(desc.idVendor, KYR_USB_VENDOR_ID);
    libusb_device_handle* pHandle = nullptr;
    EXPECT_EQ(libusb_open(device.get(), &pHandle), LIBUSB_ERROR_ACCESS);
}

// ---- demo model -----------------------------------------------------------------------

using Demo = UsbTest;

TEST_F(Demo, StreamsReportsWithARisingCounter)
{
    const Handle handle = Open(Ctx(), 1, 2);
    ASSERT_TRUE(handle);
    ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);
    uint32_t dwPrevious = 0;
    for (int i = 0; i < 5; ++i) {
        std::array<uint8_t, 64> buffer{};
        int nReceived = 0;
        ASSERT_EQ(libusb_interrupt_transfer(handle.get(), InEndpoint(0), buffer.data(), buffer.size(), &nReceived,
                                            kTimeoutMs),
                  0);
        ASSERT_EQ(nReceived, 64);
        const uint32_t dwCounter = buffer[0] | (buffer[1] << 8) | (buffer[2] << 16) | (uint32_t{buffer[3]} << 24);
        if (i > 0) {
            EXPECT_GT(dwCounter, dwPrevious);
        }
        dwPrevious = dwCounter;
        EXPECT_EQ(buffer[4], 0) << "interface number";
    }
}

}  // namespace

// ---- plugging in at run time -------------------------------------------------------

// Started with device 0 (loopback, two interfaces) at 3:7 plugged in after
// kPlugMs, and device 1 at 3:9 present from the start.
using Plug = UsbTest;

struct HotplugSeen {
    libusb_hotplug_event event;
    int nBus;
    int nAddress;
    uint16_t wProductId;
    int nInterfaces;  // -1: no active configuration
};

int LIBUSB_CALL RecordHotplug(libusb_context*, libusb_device* pDevice, libusb_hotplug_event event, void* pSeen)
{
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(pDevice, &desc);
    libusb_config_descriptor* pConfig = nullptr;
    int nInterfaces = -1;
    if (libusb_get_active_config_descriptor(pDevice, &pConfig) == 0) {
        nInterfaces = pConfig->bNumInterfaces;
        libusb_free_config_descriptor(pConfig);
    }
    static_cast<std::vector<HotplugSeen>*>(pSeen)->push_back(
        {event, libusb_get_bus_number(pDevice), libusb_get_device_address(pDevice), desc.idProduct, nInterfaces});
    return 0;
}

// Records hotplug events of the context for its lifetime; Seen() handles
// events first.
class CHotplugRecorder {
public:
    explicit CHotplugRecorder(libusb_context* pContext) : m_pContext(pContext)
    {
        const int nResult = libusb_hotplug_register_callback(
            pContext,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_NO_FLAGS, KYR_USB_VENDOR_ID, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            RecordHotplug, &m_seen, &m_handle);
        EXPECT_EQ(nResult, 0);
    }
    ~CHotplugRecorder() { libusb_hotplug_deregister_callback(m_pContext, m_handle); }
    CHotplugRecorder(const CHotplugRecorder&) = delete;
    CHotplugRecorder& operator=(const CHotplugRecorder&) = delete;

    const std::vector<HotplugSeen>& Seen()
    {
        timeval tv{0, 0};
        libusb_handle_events_timeout_completed(m_pContext, &tv, nullptr);
        return m_seen;
    }

private:
    libusb_context* m_pContext;
    libusb_hotplug_callback_handle m_handle = 0;
    std::vector<HotplugSeen> m_seen;
};

constexpr int kPlugBus = 6;

TEST_F(Plug, ADeviceWithPlugMsArrivesLaterAsAWholeDevice)
{
    CHotplugRecorder recorder(Ctx());
    // Long enough for this test to start before it.
    ASSERT_FALSE(FindDevice(Ctx(), kBus, kLoopbackAddress)) << "present before its time";
    EXPECT_EQ(kyrsim::SimRequest("claimed 0 0"), "error device 0 is not plugged in yet");
    EXPECT_TRUE(FindDevice(Ctx(), kBus, kDriverAddress));

    ASSERT_TRUE(Eventually([&] { return !recorder.Seen().empty(); }, 20s)) << "no arrival";
    const HotplugSeen seen = recorder.Seen().front();
    EXPECT_EQ(seen.event, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    EXPECT_EQ(seen.nBus, kBus);
    EXPECT_EQ(seen.nAddress, kLoopbackAddress);
    EXPECT_EQ(seen.wProductId, KYR_USB_PRODUCT_ID_MODEL1);
    // Announced complete: the descriptors were there when libusb read them.
    EXPECT_EQ(seen.nInterfaces, 2);
    EXPECT_EQ(recorder.Seen().size(), 1u) << "announced more than once";

    // A program may use it as soon as it hears of it.
    const Handle handle = Open(Ctx(), kBus, kLoopbackAddress);
    ASSERT_TRUE(handle);
    ASSERT_EQ(libusb_claim_interface(handle.get(), 1), 0);
    EXPECT_EQ(Echo(Ctx(), handle.get(), 1, Pattern(5)), Pattern(5));
    EXPECT_TRUE(kyrsim::SimClaimed(kLoopbackDevice, 1));
}

TEST_F(Plug, APlugRequestAddsTheNextDeviceAndUnplugRemovesIt)
{
    CHotplugRecorder recorder(Ctx());
    const int nDevice = kyrsim::SimPlug("vid=" + std::to_string(KYR_USB_VENDOR_ID) +
                                        ",pid=" + std::to_string(KYR_USB_PRODUCT_ID_MODEL3) +
                                        ",interfaces=3,bus=6,addr=40,model=loopback");
    EXPECT_EQ(nDevice, 2) << "numbered after the devices of the command line";
    ASSERT_TRUE(Eventually([&] { return !recorder.Seen().empty(); })) << "no arrival";
    EXPECT_EQ(recorder.Seen().front().event, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    EXPECT_EQ(recorder.Seen().front().wProductId, KYR_USB_PRODUCT_ID_MODEL3);
    EXPECT_EQ(recorder.Seen().front().nInterfaces, 3);

    // A context made now finds it by the usual scan, too.
    const Context fresh = MakeContext();
    ASSERT_TRUE(fresh);
    const Handle handle = Open(fresh.get(), kPlugBus, 40);
    ASSERT_TRUE(handle);
    ASSERT_EQ(libusb_claim_interface(handle.get(), 2), 0);
    EXPECT_EQ(Echo(fresh.get(), handle.get(), 2, Pattern(9)), Pattern(9));
    EXPECT_EQ(kyrsim::SimOutCount(nDevice), 1u);

    kyrsim::SimUnplug(nDevice);
    ASSERT_TRUE(Eventually([&] { return recorder.Seen().size() >= 2; })) << "no departure";
    EXPECT_EQ(recorder.Seen()[1].event, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    EXPECT_EQ(recorder.Seen()[1].nAddress, 40);
    EXPECT_FALSE(FindDevice(Ctx(), kPlugBus, 40));
}

TEST_F(Plug, RefusedPlugRequestsAddNothingAndTakeNoNumber)
{
    const std::string szIds =
        "vid=" + std::to_string(KYR_USB_VENDOR_ID) + ",pid=" + std::to_string(KYR_USB_PRODUCT_ID_MODEL4);
    for (const std::string& szBad : {szIds + ",bus=3,addr=9",  // taken by device 1
                                     szIds + ",bus=3,addr=7",  // taken by device 0, plugged in or not
                                     szIds + ",bus=6,addr=50,deny", szIds + ",bus=6,addr=50,plug=5",
                                     szIds + ",bus=6,addr=50,unplug=5", szIds + ",bus=6,addr=50,model=nope",
                                     std::string("pid=3,bus=6,addr=50")}) {
        EXPECT_EQ(kyrsim::SimRequest("plug " + szBad).rfind("error ", 0), 0u) << "accepted " << szBad;
    }
    EXPECT_EQ(kyrsim::SimRequest("plug"), "error usage: plug DEVICE");
    EXPECT_FALSE(FindDevice(Ctx(), kPlugBus, 50));
    EXPECT_EQ(kyrsim::SimRequest("claimed 2 0"), "error no device 2");

    // Without addr=, the address follows the device number as on the
    // command line: 2 + 2.
    EXPECT_EQ(kyrsim::SimPlug(szIds + ",bus=6"), 2);
    EXPECT_TRUE(Eventually([&] { return FindDevice(Ctx(), kPlugBus, 4) != nullptr; }));
}

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--grandchild") == 0)
        return RunGrandchild();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
