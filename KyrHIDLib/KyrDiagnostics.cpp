// Exported helpers for tools: the library's version and who holds a device.
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "Include/HID.h"
#include "Include/KyrHIDLib.h"
#include "KyrDeviceBlock.h"
#include "KyrLastError.h"
#include "KyrLog.h"
#include "KyrProcessChecker.h"
#include "KyrSharedMemory.h"

using namespace kyr_hid_library;

#define KYR_STRINGIFY_(x) #x
#define KYR_STRINGIFY(x) KYR_STRINGIFY_(x)

const char* KyrGetVersion(void)
{
    return KYR_STRINGIFY(KYR_VERSION_MAJOR) "." KYR_STRINGIFY(KYR_VERSION_MINOR) "." KYR_STRINGIFY(KYR_VERSION_PATCH);
}

int KyrGetDeviceHolders(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                        unsigned short nDevIndex, unsigned long* pPids, int nMax)
{
    if (nMax < 0 || (pPids == nullptr && nMax > 0)) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return -1;
    }
    CHID hid;
    PHID_DEVICE_INFO pInfo = hid.GetDeviceInfo(nVendorID, nProductID, nMI, nDevIndex);
    if (pInfo == nullptr)
        return -1; // the lookup's reason stands
    // The record is hid's own and the next lookup replaces it.
    const std::string szPath = pInfo->DevicePath;
    const bool bFirst = IsFirstDeviceOf(hid, nVendorID, nProductID, nMI, szPath.c_str());
    // Both blocks the device can be held in, locked as an opener locks them.
    // Attaching creates a block when nobody has it: initialised like an
    // opener's, so that an opener arriving meanwhile finds it ready, and
    // removed again on the way out if this is still its only user.
    CKyrSharedMemory fixedBlock;
    CKyrSharedMemory pathBlock;
    CKyrSharedMemory* pFixed = bFirst || CanTakeFixedNames(nVendorID, nProductID, nMI) ? &fixedBlock : nullptr;
    for (auto [pShared, bFixed] : {std::pair{&pathBlock, false}, std::pair{pFixed, true}}) {
        if (pShared != nullptr && !AttachDeviceBlock(*pShared, bFixed, szPath.c_str())) {
            SetBlockError(*pShared);
            return -1;
        }
    }
    int nHolders = 0;
    {
        std::optional<CKyrSharedMemory::Locker> lockFixed;
        if (pFixed != nullptr && !lockFixed.emplace(*pFixed).IsLocked()) {
            SetBlockError(*pFixed);
            return -1;
        }
        CKyrSharedMemory::Locker lockPath(pathBlock);
        if (!lockPath.IsLocked()) {
            SetBlockError(pathBlock);
            return -1;
        }
        const DeviceBlocks blocks{
            pFixed != nullptr ? static_cast<KyrHandleSharedMemory*>(pFixed->GetMemory()) : nullptr,
            static_cast<KyrHandleSharedMemory*>(pathBlock.GetMemory())};
        nHolders = FindHolders(blocks, szPath.c_str(), bFirst, &CKyrProcessChecker::IsProcessRunning, pPids, nMax);
    }
    KYR_LOG(KYR_LOG_DEBUG, "device %s: %d live holder(s) in its shared block", szPath.c_str(), nHolders);
    SetLastError(KYR_SUCCESS);
    return nHolders;
}
