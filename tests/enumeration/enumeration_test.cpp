// Counting and describing attached devices through the exported interface.
// Each suite runs as the child of kyrsim with the devices its name says
// (see CMakeLists.txt next to this file).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Include/HID.h"
#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"

using kyr_hid_library::PHID_DEVICE_INFO;

namespace {

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kModel = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kOther = KYR_USB_PRODUCT_ID_MODEL2;

std::string PathOf(KYR_DEVICE_INFO info)
{
    const char* psz = KyrGetDevInfoPath(info);
    return psz != nullptr ? psz : "";
}

} // namespace

// kyrsim with no device at all.
TEST(NoDevices, NothingCounts)
{
    g_nLastError = KYR_ERROR_TIMEOUT;
    EXPECT_EQ(KyrGetDeviceCount(kVid, kModel, 0), 0);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT) << "counting never touches the last error";
}

// One device kModel with two interfaces at bus 2, address 12, and one kOther
// with a single interface.
TEST(OneDevice, CountsPerInterfaceNumber)
{
    const struct { unsigned short vid, pid, mi; int count; } cases[] = {
        {kVid, kModel, 0, 1}, {kVid, kModel, 1, 1}, {kVid, kModel, 2, 0}, {kVid, kModel, 65535, 0},
        {kVid, kOther, 0, 1}, {kVid, kOther, 1, 0}, {kVid, KYR_USB_PRODUCT_ID_MODEL3, 0, 0}, {0x1d6b, kModel, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KyrGetDeviceCount(c.vid, c.pid, c.mi), c.count) << std::hex << c.vid << ":" << c.pid << " " << c.mi;
}

TEST(OneDevice, DescribesTheInterface)
{
    g_nLastError = KYR_ERROR_TIMEOUT;
    KYR_DEVICE_INFO info = KyrGetDeviceInfo(kVid, kModel, 1, 0);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);

    EXPECT_EQ(PathOf(info), "0002:000c:01");
    EXPECT_EQ(KyrGetDevInfoPath(info), static_cast<PHID_DEVICE_INFO>(info)->DevicePath)
        << "the path is the record's own buffer";
    g_nLastError = KYR_ERROR_TIMEOUT;
    EXPECT_EQ(KyrGetDevInfoVendorID(info), kVid);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT) << "the vendor id accessor never touches the last error";
    EXPECT_EQ(KyrGetDevInfoProductID(info), kModel);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);
    EXPECT_EQ(KyrGetDevInfoInterfaceNumber(info), 1);
    EXPECT_EQ(KyrGetDevInfoDeviceIndex(info), 0);

    const auto* pRecord = static_cast<PHID_DEVICE_INFO>(info);
    EXPECT_EQ(pRecord->UsagePage, 0);
    EXPECT_EQ(pRecord->Usage, 0);
    EXPECT_EQ(pRecord->Extra, nullptr) << "the transport's private data is not handed out";

    // An index equal to the count is no device; the failed call keeps the previous result.
    EXPECT_EQ(KyrGetDeviceInfo(kVid, kModel, 1, 1), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
    EXPECT_EQ(PathOf(info), "0002:000c:01");
    // Each call opens and closes the device again: repeated calls must not
    // leak the handle or leave the device held.
    for (int i = 0; i < 50; ++i)
        ASSERT_NE(KyrGetDeviceInfo(kVid, kModel, 0, 0), nullptr) << "call " << i;
}

// Two devices kModel (bus 3, addresses 7 and 9, one interface each).
TEST(TwoDevices, IndexesSelectEachDeviceOnceInOneStaticRecord)
{
    ASSERT_EQ(KyrGetDeviceCount(kVid, kModel, 0), 2);
    std::set<std::string> paths;
    KYR_DEVICE_INFO first = nullptr;
    for (unsigned short nIndex = 0; nIndex < 2; ++nIndex) {
        KYR_DEVICE_INFO info = KyrGetDeviceInfo(kVid, kModel, 0, nIndex);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(KyrGetDevInfoDeviceIndex(info), nIndex);
        paths.insert(PathOf(info));
        if (nIndex == 0)
            first = info;
        EXPECT_EQ(info, first) << "one record serves every call";
    }
    EXPECT_EQ(paths, (std::set<std::string>{"0003:0007:00", "0003:0009:00"}));
    EXPECT_EQ(KyrGetDevInfoDeviceIndex(first), 1) << "the earlier result now shows the second device";

    EXPECT_EQ(KyrGetDeviceInfo(kVid, kModel, 0, 2), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_NO_DEVICE);
}
