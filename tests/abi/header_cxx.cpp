// The public headers compile as C++ on their own, with no library internals.
#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"

static_assert(KYR_SUCCESS == 0 && KYR_ERROR_UNKNOWN == -20);
static_assert(KYR_USB_VENDOR_ID == 0x1209);

int main()
{
    return KyrGetDevInfoVendorID(nullptr) == 0 ? 0 : 1;
}
