// The library when libusb cannot be initialised: at load (as happens under
// load, when the system refuses an event fd or a thread) and on later calls.
// This binary defines libusb_init, which the library then calls: it fails the
// first $KYR_TEST_USB_INIT_FAILURES calls ("all": every call), and passes the
// rest on to libusb.
#include <dlfcn.h>
#include <libusb.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"

namespace {

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;

std::atomic<int> g_nInitCalls{0};

} // namespace

extern "C" int libusb_init(libusb_context** ppContext)
{
    const char* psz = getenv("KYR_TEST_USB_INIT_FAILURES");
    const int nCall = g_nInitCalls++;
    if (psz != nullptr && (strcmp(psz, "all") == 0 || nCall < atoi(psz)))
        return LIBUSB_ERROR_NO_MEM;
    static auto real = reinterpret_cast<int (*)(libusb_context**)>(dlsym(RTLD_NEXT, "libusb_init"));
    return real(ppContext);
}

// KYR_TEST_USB_INIT_FAILURES=1: only the init at load failed.
TEST(UsbInitRetried, TheFirstUseSetsLibusbUp)
{
    EXPECT_EQ(KyrGetDeviceCount(kVid, kPid, 0), 1);
    EXPECT_GE(g_nInitCalls.load(), 2) << "the init at load was not the only one";
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, 0, 0);
    EXPECT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    KyrCloseDevice(h);
}

// KYR_TEST_USB_INIT_FAILURES=all: every call fails cleanly with its code.
TEST(UsbInitFailing, EveryCallFailsWithItsCode)
{
    EXPECT_EQ(KyrGetDeviceCount(kVid, kPid, 0), 0);
    EXPECT_EQ(KyrGetDeviceInfo(kVid, kPid, 0, 0), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_UNKNOWN);
    EXPECT_EQ(KyrOpenDevice(kVid, kPid, 0, 0), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_UNKNOWN);
}
