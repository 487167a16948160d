// The contract kyrsim offers to programs using libusb, checked with libusb
// itself: what enumerates, what the usbfs ioctls answer, how reports move,
// how a kernel driver, an unplug and a plug look.
//
// Each ctest entry (CMakeLists.txt) starts this program under kyrsim with
// one device layout and runs the test suites written for that layout.
#include "KyrDeviceIds.h"
#include "KyrSimControl.h"
#include "UsbHost.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace {

using namespace kyrsim::test;

// The usual layout: device 0 loopback with two interfaces at 3:7, device 1
// with a kernel driver at 3:9. Kept in step with CMakeLists.txt.
constexpr int kBus = 3;
constexpr int kLoopbackAddress = 7;
constexpr int kDriverAddress = 9;
constexpr int kLoopbackDevice = 0;
constexpr int kDriverDevice = 1;

Bytes Pattern(uint8_t bSeed, size_t nLength = 64)
{
    Bytes bytes(nLength);
    for (size_t i = 0; i < nLength; ++i)
        bytes[i] = static_cast<uint8_t>(bSeed + 7 * i);
    return bytes;
}

// One asynchronous interrupt IN transfer; the destructor cancels and waits.
class CInTransfer {
public:
    CInTransfer(libusb_context* pContext, libusb_device_handle* pHandle, uint8_t bEndpoint)
        : m_pContext(pContext), m_transfer(libusb_alloc_transfer(0))
    {
        libusb_fill_interrupt_transfer(
            m_transfer.get(), pHandle, bEndpoint, m_buffer.data(), 64,
            [](libusb_transfer* p) { *static_cast<int*>(p->user_data) = 1; }, &m_bDone, 0);
    }
    ~CInTransfer()
    {
        if (!m_bDone) {  // its callback still runs, freed or not
            libusb_cancel_transfer(m_transfer.get());
            Wait(5s);
        }
    }

    int Submit()
    {
        const int nResult = libusb_submit_transfer(m_transfer.get());
        m_bDone = nResult != 0;  // nothing in flight to wait for
        return nResult;
    }
    int Cancel() { return libusb_cancel_transfer(m_transfer.get()); }

    // Handles events until the transfer completed or the time is up.
    bool Wait(std::chrono::milliseconds limit)
    {
        for (const auto end = std::chrono::steady_clock::now() + limit;
             !m_bDone && std::chrono::steady_clock::now() < end;) {
            timeval tv{0, 50000};
            libusb_handle_events_timeout_completed(m_pContext, &tv, &m_bDone);
        }
        return m_bDone != 0;
    }
    libusb_transfer_status Status() const { return m_transfer->status; }
    Bytes Data() const { return Bytes(m_buffer.begin(), m_buffer.begin() + m_transfer->actual_length); }

private:
    libusb_context* m_pContext;
    std::unique_ptr<libusb_transfer, Deleter<libusb_free_transfer>> m_transfer;
    std::array<uint8_t, 64> m_buffer{};
    int m_bDone = 1;  // until submitted
};

bool Refused(const std::string& szRequest)
{
    return kyrsim::SimRequest(szRequest).rfind("error ", 0) == 0;
}

// A file under /sys/bus/usb/devices (the testbed's, under the preload)
// without its last newline; "" when missing.
std::string SysfsText(const std::string& szFile)
{
    std::ifstream in("/sys/bus/usb/devices/" + szFile);
    std::string szText(std::istreambuf_iterator<char>(in), {});
    if (!szText.empty() && szText.back() == '\n')
        szText.pop_back();
    return szText;
}

// The names in /sys/bus/usb/devices, links to vanished entries included.
std::set<std::string> SysfsEntries()
{
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/bus/usb/devices", error))
        names.insert(entry.path().filename());
    return names;
}

struct HotplugSeen {
    libusb_hotplug_event event;
    int nBus;
    int nAddress;
    uint16_t wProductId;
    int nInterfaces;  // -1: no active configuration, or a departure
    bool operator==(const HotplugSeen&) const = default;
};

class UsbTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_context) << "libusb_init failed"; }
    libusb_context* Ctx() const { return m_context.get(); }
    Handle OpenLoopback() const { return Open(Ctx(), kBus, kLoopbackAddress); }

    // Records the hotplug events of the family's devices from now on.
    void RecordHotplug()
    {
        const auto record = [](libusb_context*, libusb_device* pDevice, libusb_hotplug_event event, void* pSeen) {
            libusb_device_descriptor desc{};
            libusb_get_device_descriptor(pDevice, &desc);
            libusb_config_descriptor* pConfig = nullptr;
            int nInterfaces = -1;  // read on arrival only: a departed device has none
            if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED &&
                libusb_get_active_config_descriptor(pDevice, &pConfig) == 0) {
                nInterfaces = pConfig->bNumInterfaces;
                libusb_free_config_descriptor(pConfig);
            }
            static_cast<std::vector<HotplugSeen>*>(pSeen)->push_back({event, libusb_get_bus_number(pDevice),
                                                                       libusb_get_device_address(pDevice),
                                                                       desc.idProduct, nInterfaces});
            return 0;
        };
        const auto events =
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
        ASSERT_EQ(libusb_hotplug_register_callback(Ctx(), events, LIBUSB_HOTPLUG_NO_FLAGS, KYR_USB_VENDOR_ID,
                                                   LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, record, &m_seen,
                                                   nullptr),
                  0);
    }
    // What was recorded, after handling the events due.
    const std::vector<HotplugSeen>& Seen()
    {
        timeval tv{0, 0};
        libusb_handle_events_timeout_completed(Ctx(), &tv, nullptr);
        return m_seen;
    }

    std::vector<HotplugSeen> m_seen;  // outlives the context, which ends the recording
    Context m_context = MakeContext();
};

// ---- enumeration -------------------------------------------------------------

using Enumeration = UsbTest;

TEST_F(Enumeration, EachDeviceSitsAtItsPlaceWithItsIdsAndOneInterruptPairPerInterface)
{
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(Ctx(), &list), 2);
    libusb_free_device_list(list, 1);

    const struct {
        int nAddress;
        uint16_t wProduct;
        int nInterfaces;
    } layouts[] = {{kLoopbackAddress, KYR_USB_PRODUCT_ID_MODEL1, 2}, {kDriverAddress, KYR_USB_PRODUCT_ID_VIRTUAL, 1}};
    for (const auto& layout : layouts) {
        SCOPED_TRACE("address " + std::to_string(layout.nAddress));
        // USB 2.0, class per interface, 64-byte ep0, release 1.00, no strings, one configuration.
        const std::array<uint8_t, 18> golden = {18, 1, 0x00, 0x02, 0, 0, 0, 64, KYR_USB_VENDOR_ID & 0xFF,
                                                KYR_USB_VENDOR_ID >> 8, static_cast<uint8_t>(layout.wProduct),
                                                static_cast<uint8_t>(layout.wProduct >> 8), 0x00, 0x01, 0, 0, 0, 1};
        const Device device = FindDevice(Ctx(), kBus, layout.nAddress);
        ASSERT_TRUE(device);
        libusb_device_descriptor desc{};
        ASSERT_EQ(libusb_get_device_descriptor(device.get(), &desc), 0);
        EXPECT_EQ(0, std::memcmp(&desc, golden.data(), golden.size()));
        libusb_config_descriptor* pConfig = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(device.get(), &pConfig), 0);
        EXPECT_EQ(pConfig->bNumInterfaces, layout.nInterfaces);
        for (int i = 0; i < pConfig->bNumInterfaces; ++i) {
            ASSERT_GE(pConfig->interface[i].num_altsetting, 1);
            const libusb_interface_descriptor& itf = pConfig->interface[i].altsetting[0];
            EXPECT_EQ(itf.bInterfaceNumber, i);
            EXPECT_EQ(itf.bInterfaceClass, LIBUSB_CLASS_HID);
            ASSERT_EQ(itf.bNumEndpoints, 2);
            for (int e = 0; e < 2; ++e) {
                EXPECT_EQ(itf.endpoint[e].bEndpointAddress, e == 0 ? InEndpoint(i) : OutEndpoint(i));
                EXPECT_EQ(itf.endpoint[e].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_INTERRUPT);
                EXPECT_EQ(itf.endpoint[e].wMaxPacketSize, 64);
            }
        }
        libusb_free_config_descriptor(pConfig);

        // What the device answers is what enumerated.
        const Handle handle = Open(Ctx(), kBus, layout.nAddress);
        ASSERT_TRUE(handle);
        std::array<uint8_t, 18> wire{};
        ASSERT_EQ(libusb_get_descriptor(handle.get(), LIBUSB_DT_DEVICE, 0, wire.data(), wire.size()), 18);
        EXPECT_EQ(wire, golden);
        std::array<uint8_t, 256> config{};
        const int nLength = libusb_get_descriptor(handle.get(), LIBUSB_DT_CONFIG, 0, config.data(), config.size());
        ASSERT_GE(nLength, 9);
        EXPECT_EQ(nLength, config[2] | (config[3] << 8));
        EXPECT_EQ(config[4], layout.nInterfaces);
    }
}

// ---- claims ----------------------------------------------------------------------

// The interfaces' entries, as udev names them for a rule: device 0 sits on
// port 1, device 1 (with a driver) on port 2.
TEST(Sysfs, EachInterfaceHasAnEntryWithItsDeviceOneDirectoryUp)
{
    char szProduct[32];  // the generated device descriptor says bcdDevice 1.00
    std::snprintf(szProduct, sizeof szProduct, "%x/%x/100", KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_VIRTUAL);
    const std::pair<std::string, std::string> expected[] = {
        {"3-1:1.0/bInterfaceNumber", "00"},
        {"3-1:1.1/bInterfaceNumber", "01"},
        {"3-1:1.1/../busnum", "3"},
        {"3-1:1.1/../devnum", "7"},
        {"3-1:1.1/bInterfaceClass", "03"},
        {"3-1:1.1/bNumEndpoints", "02"},
        {"3-2:1.0/../devnum", "9"},
        {"3-2:1.0/uevent",
         "DEVTYPE=usb_interface\nPRODUCT=" + std::string(szProduct) + "\nTYPE=0/0/0\nINTERFACE=3/0/0\nDRIVER=usbhid"},
        {"3-1:1.2/bInterfaceNumber", ""},
        {"3-2:1.1/bInterfaceNumber", ""},
    };
    for (const auto& [szFile, szText] : expected)
        EXPECT_EQ(SysfsText(szFile), szText) << szFile;
}

using Claim = UsbTest;

TEST_F(Claim, EachInterfaceHasOneHolderWhichTheControlSocketShows)
{
    const Handle first = OpenLoopback();
    const Handle second = OpenLoopback();
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(kyrsim::SimClaimed(kLoopbackDevice, 1));
    ASSERT_EQ(libusb_claim_interface(first.get(), 1), 0);
    EXPECT_TRUE(kyrsim::SimClaimed(kLoopbackDevice, 1));
    EXPECT_FALSE(kyrsim::SimClaimed(kLoopbackDevice, 0));
    EXPECT_EQ(kyrsim::SimDriver(kLoopbackDevice, 1), "usbfs");
    EXPECT_EQ(libusb_kernel_driver_active(first.get(), 1), 0) << "a usbfs claim is no kernel driver";
    EXPECT_EQ(libusb_attach_kernel_driver(first.get(), 0), LIBUSB_ERROR_NOT_FOUND) << "the device has no driver=";
    EXPECT_EQ(kyrsim::SimDriver(kLoopbackDevice, 0), "none");

    EXPECT_EQ(libusb_claim_interface(second.get(), 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(second.get(), 0), 0) << "other interfaces stay free";
    EXPECT_EQ(libusb_claim_interface(second.get(), 2), LIBUSB_ERROR_NOT_FOUND) << "the device has two";
    ASSERT_EQ(libusb_release_interface(first.get(), 1), 0);
    EXPECT_FALSE(kyrsim::SimClaimed(kLoopbackDevice, 1));
    EXPECT_EQ(kyrsim::SimDriver(kLoopbackDevice, 1), "none");
    EXPECT_EQ(libusb_claim_interface(second.get(), 1), 0);
}

// ---- interrupt transfers ---------------------------------------------------------

TEST(Transfer, ReportsMoveInOrderAndReadsEndByDataTimeOrCancel)
{
    CHost host(kBus, kLoopbackAddress, 1);
    ASSERT_TRUE(host.Ok());
    Bytes bytes;
    EXPECT_EQ(Interrupt(host.Get(), InEndpoint(1), bytes, 200), LIBUSB_ERROR_TIMEOUT) << "nothing to read yet";
    EXPECT_TRUE(bytes.empty());

    // Pending first, so the event loop has to be woken by the device node.
    for (const bool bCancel : {true, false}) {
        CInTransfer in(host.Ctx(), host.Get(), InEndpoint(1));
        ASSERT_EQ(in.Submit(), 0);
        EXPECT_FALSE(in.Wait(100ms)) << "an IN transfer completed before the device sent anything";
        const uint64_t qwBefore = kyrsim::SimOutCount(kLoopbackDevice);
        ASSERT_EQ(bCancel ? in.Cancel() : host.Write(Pattern(0x31)), 0);
        ASSERT_TRUE(in.Wait(5s));
        EXPECT_EQ(in.Status(), bCancel ? LIBUSB_TRANSFER_CANCELLED : LIBUSB_TRANSFER_COMPLETED);
        EXPECT_EQ(in.Data(), bCancel ? Bytes{} : Pattern(0x31));
        EXPECT_EQ(kyrsim::SimOutCount(kLoopbackDevice), qwBefore + !bCancel);
    }

    ASSERT_EQ(host.Write(Pattern(1, 20)), 0);
    ASSERT_EQ(host.Write(Pattern(2)), 0);
    EXPECT_EQ(host.Read(5s), Pattern(1, 20));
    EXPECT_EQ(host.Read(5s), Pattern(2));

    // Injected bytes arrive as one IN report, on a claimed interface only.
    const Bytes report = {0x01, 0x01, 0x05, 0xDE, 0xAD, 0xBE, 0xEF, 0x00};
    kyrsim::SimInject(kLoopbackDevice, 1, report);
    EXPECT_EQ(host.Read(5s), report);
    EXPECT_TRUE(Refused("inject 0 0 00")) << "interface 0 is not claimed, so nobody could receive the report";
}

// ---- kernel driver ----------------------------------------------------------------

using KernelDriver = UsbTest;

TEST_F(KernelDriver, BoundDriverBlocksClaimUntilDetachedAndComesBackOnAttachOrRelease)
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

    // Auto-detach: the claim takes the interface, the release rebinds.
    ASSERT_EQ(libusb_set_auto_detach_kernel_driver(handle.get(), 1), 0);
    ASSERT_EQ(libusb_claim_interface(handle.get(), 0), 0);
    EXPECT_TRUE(kyrsim::SimClaimed(kDriverDevice, 0));
    ASSERT_EQ(libusb_release_interface(handle.get(), 0), 0);
    EXPECT_EQ(kyrsim::SimDriver(kDriverDevice, 0), "usbhid");
}

// ---- unplug and plug ------------------------------------------------------------------

using Unplug = UsbTest;

TEST_F(Unplug, APendingReadEndsWithNoDeviceAndTheDeviceIsGone)
{
    RecordHotplug();
    CHost host(kBus, kLoopbackAddress, 0);
    ASSERT_TRUE(host.Ok());
    CInTransfer in(host.Ctx(), host.Get(), InEndpoint(0));
    ASSERT_EQ(in.Submit(), 0);
    EXPECT_FALSE(in.Wait(100ms));
    kyrsim::SimUnplug(kLoopbackDevice);
    ASSERT_TRUE(in.Wait(5s));
    EXPECT_EQ(in.Status(), LIBUSB_TRANSFER_NO_DEVICE);

    CInTransfer again(host.Ctx(), host.Get(), InEndpoint(0));
    EXPECT_EQ(again.Submit(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(host.Write(Pattern(1)), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(host.Get(), 0), LIBUSB_ERROR_NO_DEVICE);

    ASSERT_TRUE(Eventually([&] { return !Seen().empty(); })) << "hotplug saw no departure";
    EXPECT_EQ(Seen(), (std::vector<HotplugSeen>{{LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, kBus, kLoopbackAddress,
                                                  KYR_USB_PRODUCT_ID_MODEL1, -1}}));
    EXPECT_FALSE(FindDevice(Ctx(), kBus, kLoopbackAddress)) << "still enumerated after unplug";
    EXPECT_EQ(SysfsEntries(), (std::set<std::string>{"3-2", "3-2:1.0"})) << "an entry outlived its device";
    libusb_device_handle* pLate = nullptr;
    EXPECT_NE(libusb_open(libusb_get_device(host.Get()), &pLate), 0) << "an unplugged device opened";
    EXPECT_TRUE(Refused("unplug 0")) << "unplugged twice";
    EXPECT_EQ(kyrsim::SimDriver(kLoopbackDevice, 0), "none");
    EXPECT_TRUE(Open(Ctx(), kBus, kDriverAddress)) << "the other device is untouched";
}

TEST_F(Unplug, ATimedUnplugEndsAPendingRead)
{
    // Started with unplug=3000 on device 0 at 1:2: long enough to be present now.
    CHost host(1, 2);
    ASSERT_TRUE(host.Ok());
    CInTransfer in(host.Ctx(), host.Get(), InEndpoint(0));
    ASSERT_EQ(in.Submit(), 0);
    ASSERT_TRUE(in.Wait(20s));
    EXPECT_EQ(in.Status(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_TRUE(Refused("inject 0 0 01"));
}

// Started with device 0 (loopback, two interfaces) at 3:7 plugged in after
// plug=MS, and device 1 at 3:9 present from the start.
using Plug = UsbTest;
constexpr int kPlugBus = 6;

TEST_F(Plug, ADeviceWithPlugMsArrivesLaterAsAWholeDevice)
{
    RecordHotplug();
    // Long enough for this test to start before it.
    ASSERT_FALSE(FindDevice(Ctx(), kBus, kLoopbackAddress)) << "present before its time";
    EXPECT_EQ(kyrsim::SimRequest("claimed 0 0"), "error device 0 is not plugged in yet");
    EXPECT_TRUE(FindDevice(Ctx(), kBus, kDriverAddress));

    ASSERT_TRUE(Eventually([&] { return !Seen().empty(); }, 20s)) << "no arrival";
    // Once, and complete: the descriptors were there when libusb read them.
    EXPECT_EQ(Seen(), (std::vector<HotplugSeen>{{LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, kBus, kLoopbackAddress,
                                                  KYR_USB_PRODUCT_ID_MODEL1, 2}}));

    // A program may use it as soon as it hears of it.
    CHost host(kBus, kLoopbackAddress, 1);
    ASSERT_TRUE(host.Ok());
    ASSERT_EQ(host.Write(Pattern(5)), 0);
    EXPECT_EQ(host.Read(5s), Pattern(5));
    EXPECT_TRUE(kyrsim::SimClaimed(kLoopbackDevice, 1));
}

TEST_F(Plug, RefusedPlugRequestsAddNothingAndTakeNoNumber)
{
    const std::string szIds =
        "vid=" + std::to_string(KYR_USB_VENDOR_ID) + ",pid=" + std::to_string(KYR_USB_PRODUCT_ID_MODEL4);
    for (const std::string& szBad : {szIds + ",bus=3,addr=9",  // taken by device 1
                                     szIds + ",bus=3,addr=7",  // taken by device 0, plugged in or not
                                     szIds + ",bus=6,addr=50,deny", szIds + ",bus=6,addr=50,plug=5",
                                     szIds + ",bus=6,addr=50,unplug=5", szIds + ",bus=6,addr=50,model=nope",
                                     szIds + ",bus=3,addr=50,port=2",  // device 1's port
                                     std::string("pid=3,bus=6,addr=50")})
        EXPECT_TRUE(Refused("plug " + szBad)) << "accepted " << szBad;
    EXPECT_EQ(kyrsim::SimRequest("plug"), "error usage: plug DEVICE");
    EXPECT_FALSE(FindDevice(Ctx(), kPlugBus, 50));
    EXPECT_EQ(kyrsim::SimRequest("claimed 2 0"), "error no device 2");

    // Without addr=, the address follows the device number as on the
    // command line: 2 + 2.
    EXPECT_EQ(kyrsim::SimPlug(szIds + ",bus=6"), 2);
    EXPECT_TRUE(Eventually([&] { return FindDevice(Ctx(), kPlugBus, 4) != nullptr; }));
}

// ---- restricted devices and the demo model ------------------------------------------

// Started with device 0 "noconfig" at 1:2.
using Restricted = UsbTest;

TEST_F(Restricted, AnUnconfiguredDeviceHasNoActiveConfiguration)
{
    const Device unconfigured = FindDevice(Ctx(), 1, 2);
    ASSERT_TRUE(unconfigured);
    libusb_config_descriptor* pConfig = nullptr;
    EXPECT_NE(libusb_get_active_config_descriptor(unconfigured.get(), &pConfig), 0);
    ASSERT_EQ(libusb_get_config_descriptor(unconfigured.get(), 0, &pConfig), 0) << "the descriptor itself exists";
    EXPECT_EQ(pConfig->bNumInterfaces, 1);
    libusb_free_config_descriptor(pConfig);
    const Handle handle = Open(Ctx(), 1, 2);
    ASSERT_TRUE(handle);
    int nConfiguration = -1;
    EXPECT_EQ(libusb_get_configuration(handle.get(), &nConfiguration), 0);
    EXPECT_EQ(nConfiguration, 0);
}

using Demo = UsbTest;

TEST_F(Demo, StreamsReportsWithARisingCounter)
{
    CHost host(1, 2);
    ASSERT_TRUE(host.Ok());
    uint32_t dwPrevious = 0;
    for (int i = 0; i < 5; ++i) {
        const std::optional<Bytes> r = host.ReadReport(5s);
        ASSERT_TRUE(r) << "no full report";
        const uint32_t dwCounter = (*r)[0] | (*r)[1] << 8 | (*r)[2] << 16 | uint32_t{(*r)[3]} << 24;
        EXPECT_TRUE(i == 0 || dwCounter > dwPrevious) << dwCounter << " after " << dwPrevious;
        dwPrevious = dwCounter;
        EXPECT_EQ((*r)[4], 0) << "interface number";
    }
}

}  // namespace
