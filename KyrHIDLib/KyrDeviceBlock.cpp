#include "KyrDeviceBlock.h"

#include <cstdio>
#include <cstring>

#include "Include/KyrDeviceIds.h"
#include "KyrSharedMemory.h"

namespace kyr_hid_library {

namespace {

// The kinds of device that, in this order, get the fixed object names: the
// first attached device (index 0) of the first kind present takes them, and
// peers that know only those names find it there; every other device is
// named after its path.
struct DeviceKind {
    unsigned short nVendorID;
    unsigned short nProductID;
    unsigned short nMI;
};
constexpr DeviceKind s_FirstDeviceKinds[] = {
    {0xFFFF, 0x0000, 1},
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL1, KYR_USB_MODEL_INTERFACE},
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL2, KYR_USB_MODEL_INTERFACE},
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL3, KYR_USB_MODEL_INTERFACE},
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL4, KYR_USB_MODEL_INTERFACE},
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL5, KYR_USB_MODEL_INTERFACE},
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VIRTUAL_INTERFACE},
};

// Formats an object name; a device path is 12 characters, so a name that
// does not fit means a record that is not a device path: refused.
bool FormatName(char (&szName)[512], const char* pszBase, bool bFirst, const char* pszPath)
{
    const int n = bFirst ? snprintf(szName, sizeof(szName), "%s", pszBase)
                         : snprintf(szName, sizeof(szName), "%s@%s", pszBase, pszPath);
    if (n < 0 || n >= static_cast<int>(sizeof(szName)))
        return false;
    for (char* p = szName; *p != '\0'; ++p) {
        if (*p == '\\')
            *p = '%';
    }
    return true;
}

} // namespace

bool IsFirstDeviceOf(CHID& hid, unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                     const char* pszPath)
{
    for (const DeviceKind& kind : s_FirstDeviceKinds) {
        if (hid.GetDeviceCount(kind.nVendorID, kind.nProductID, kind.nMI) <= 0)
            continue;
        PHID_DEVICE_INFO pInfo = hid.GetDeviceInfo(kind.nVendorID, kind.nProductID, kind.nMI, 0);
        if (pInfo == nullptr)
            return false;
        return pInfo->VendorID == nVendorID && pInfo->ProductID == nProductID && pInfo->MI == nMI &&
               strcmp(pInfo->DevicePath, pszPath) == 0;
    }
    return false;
}

bool FormatDeviceBlockNames(bool bFirst, const char* pszPath, char (&szLockName)[512], char (&szBlockName)[512])
{
    return FormatName(szLockName, "ZarnHandle@SYNC_OBJECT", bFirst, pszPath) &&
           FormatName(szBlockName, "ZarnHandle@SHARED_MEMORY", bFirst, pszPath);
}

void InitDeviceBlock(void* pMemory)
{
    auto& block = *static_cast<KyrHandleSharedMemory*>(pMemory);
    block.lLockCount = 0;
    block.lTimeout = 0;
    block.nControlClientID = 0;
    block.dwClientFGstValue = ~0UL;
    block.nCmdId = 1;
    for (int i = 0; i < kSlots; ++i) {
        block.nClientInstantMode[i] = kFreeSlot;
        block.dwUniqueId[i] = 0;
        block.bUseExclusiveApp[i] = 0;
    }
    memset(block.Reserved, 0, sizeof(block.Reserved));
}

} // namespace kyr_hid_library
