#include "KyrDeviceBlock.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "Include/KyrDeviceIds.h"
#include "Include/KyrHIDLib.h"
#include "KyrLastError.h"

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

bool CanTakeFixedNames(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI)
{
    for (const DeviceKind& kind : s_FirstDeviceKinds) {
        if (kind.nVendorID == nVendorID && kind.nProductID == nProductID && kind.nMI == nMI)
            return true;
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
    block.dwPathOwner = 0;
    memset(block.szHolderPath, 0, sizeof(block.szHolderPath));
    memset(block.bLeft, 0, sizeof(block.bLeft));
    memset(block.Reserved, 0, sizeof(block.Reserved));
}

void SetBlockError(const CKyrSharedMemory& SharedMemory)
{
    SetLastError(SharedMemory.TimedOut() ? KYR_ERROR_TIMEOUT : KYR_ERROR_UNKNOWN);
}

bool AttachDeviceBlock(CKyrSharedMemory& SharedMemory, bool bFixed, const char* pszPath)
{
    char szLockName[512];
    char szBlockName[512];
    if (!FormatDeviceBlockNames(bFixed, pszPath, szLockName, szBlockName))
        return false;
    // The maker of the block initialises it before the lock is first let go:
    // a process that found it still zeroed would free its "dead" slots and
    // register, only to be wiped out by the maker's initialisation.
    bool bInit = false;
    return SharedMemory.Create(szLockName, szBlockName, sizeof(KyrHandleSharedMemory), bInit, &InitDeviceBlock);
}

namespace {

bool IsTaken(const KyrHandleSharedMemory& block, int i)
{
    return block.nClientInstantMode[i] != kFreeSlot;
}

// The mark is set by its owner without the lock: read and written atomically.
bool HasLeft(KyrHandleSharedMemory& block, int i)
{
    return i < kLeaveMarks && std::atomic_ref<std::uint8_t>(block.bLeft[i]).load(std::memory_order_acquire) != 0;
}

void ClearLeft(KyrHandleSharedMemory& block, int i)
{
    if (i < kLeaveMarks)
        std::atomic_ref<std::uint8_t>(block.bLeft[i]).store(0, std::memory_order_relaxed);
}

bool IsLive(KyrHandleSharedMemory& block, int i, const FnIsRunning& fnIsRunning)
{
    return IsTaken(block, i) && !HasLeft(block, i) && fnIsRunning(block.dwUniqueId[i]);
}

// The path the holder of slot i recorded, null when it recorded none.
const char* RecordedPath(const KyrHandleSharedMemory& block, int i)
{
    if (block.dwPathOwner == 0 || block.dwPathOwner != block.dwUniqueId[i])
        return nullptr;
    // Written by another process: only a terminated path counts.
    if (memchr(block.szHolderPath, '\0', sizeof(block.szHolderPath)) == nullptr)
        return nullptr;
    return block.szHolderPath;
}

// Whether the live holder of slot i of the fixed block holds this device.
bool HoldsInFixed(const KyrHandleSharedMemory& block, int i, const char* pszPath, bool bFixedNamesNow)
{
    const char* pszRecorded = RecordedPath(block, i);
    return pszRecorded != nullptr ? strcmp(pszRecorded, pszPath) == 0 : bFixedNamesNow;
}

void ClearPathRecord(KyrHandleSharedMemory& block, unsigned long dwPid)
{
    if (block.dwPathOwner != dwPid)
        return;
    block.dwPathOwner = 0;
    memset(block.szHolderPath, 0, sizeof(block.szHolderPath));
}

void FreeSlot(KyrHandleSharedMemory& block, int i)
{
    // Not below zero: a block found all zero has every slot taken by id 0,
    // and 256 decrements would leave a count that no client ever raised.
    if (block.lLockCount > 0)
        --block.lLockCount;
    ClearPathRecord(block, block.dwUniqueId[i]);
    block.nClientInstantMode[i] = kFreeSlot;
    block.dwUniqueId[i] = 0;
    block.bUseExclusiveApp[i] = 0;
    ClearLeft(block, i);
    // Whoever controlled the instant mode, control is released.
    block.dwClientFGstValue = ~0UL;
    block.nControlClientID = -1;
}

void Register(KyrHandleSharedMemory& block, const OpeningClient& client)
{
    // With every slot free this client is the only one: counted afresh, so
    // that a count a dead client left wrong does not stay wrong.
    block.lLockCount = 1;
    ClearLeft(block, 0);
    block.nClientInstantMode[0] = client.nMode;
    block.dwUniqueId[0] = client.dwPid;
    const size_t nLength = strlen(client.pszPath);
    memset(block.szHolderPath, 0, sizeof(block.szHolderPath));
    if (nLength < sizeof(block.szHolderPath)) {
        memcpy(block.szHolderPath, client.pszPath, nLength);
        block.dwPathOwner = client.dwPid;
    } else {
        block.dwPathOwner = 0;
    }
}

bool FreeTestAndRegister(const DeviceBlocks& blocks, OpeningClient& client, const FnIsRunning& fnIsRunning)
{
    bool bFixedHeldForAnother = false;
    if (blocks.pFixed != nullptr) {
        KyrHandleSharedMemory& fixed = *blocks.pFixed;
        FreeDeadSlots(fixed, client.dwPid, fnIsRunning);
        for (int i = 0; i < kSlots; ++i) {
            if (!IsTaken(fixed, i))
                continue;
            if (HoldsInFixed(fixed, i, client.pszPath, client.bFixedNamesNow)) {
                client.nError = KYR_ERROR_DEVICE_BUSY;
                return false;
            }
            bFixedHeldForAnother = true;
        }
    }
    KyrHandleSharedMemory& path = *blocks.pPath;
    FreeDeadSlots(path, client.dwPid, fnIsRunning);
    for (int i = 0; i < kSlots; ++i) {
        if (IsTaken(path, i)) {
            client.nError = KYR_ERROR_DEVICE_BUSY;
            return false;
        }
    }
    // A device whose fixed names are taken by another device's holder is
    // free all the same: it registers under its path.
    client.bInFixed = blocks.pFixed != nullptr && client.bFixedNamesNow && !bFixedHeldForAnother;
    Register(client.bInFixed ? *blocks.pFixed : path, client);
    client.nSlot = 0;
    return true;
}

constexpr OpenHold s_OpenHolds[] = {&FreeTestAndRegister};

} // namespace

void FreeDeadSlots(KyrHandleSharedMemory& block, unsigned long dwSelf, const FnIsRunning& fnIsRunning)
{
    const bool bJudge = fnIsRunning(dwSelf);
    for (int i = 0; i < kSlots; ++i) {
        if (IsTaken(block, i) && (HasLeft(block, i) || (bJudge && !fnIsRunning(block.dwUniqueId[i]))))
            FreeSlot(block, i);
    }
}

std::span<const OpenHold> OpenHolds()
{
    return s_OpenHolds;
}

void LeaveBlock(KyrHandleSharedMemory& block, int nSlot, unsigned long dwPid)
{
    if (nSlot < 0 || nSlot >= kSlots || !IsTaken(block, nSlot) || block.dwUniqueId[nSlot] != dwPid)
        return;
    int nOthers = 0;
    for (int i = 0; i < kSlots; ++i) {
        if (i != nSlot && IsTaken(block, i))
            nOthers |= block.nClientInstantMode[i];
    }
    FreeSlot(block, nSlot);
    block.nInstantMode = static_cast<std::int16_t>(nOthers);
}

bool MarkLeft(KyrHandleSharedMemory& block, int nSlot)
{
    if (nSlot < 0 || nSlot >= kLeaveMarks)
        return false;
    std::atomic_ref<std::uint8_t>(block.bLeft[nSlot]).store(1, std::memory_order_release);
    return true;
}

int FindHolders(const DeviceBlocks& blocks, const char* pszPath, bool bFixedNamesNow, const FnIsRunning& fnIsRunning,
                unsigned long* pPids, int nMax)
{
    int nHolders = 0;
    auto add = [&](unsigned long dwPid) {
        if (nHolders < nMax)
            pPids[nHolders] = dwPid;
        ++nHolders;
    };
    for (int i = 0; i < kSlots; ++i) {
        if (blocks.pFixed != nullptr && blocks.pFixed->nClientInstantMode[i] != kFreeSlot &&
            IsLive(*blocks.pFixed, i, fnIsRunning) && HoldsInFixed(*blocks.pFixed, i, pszPath, bFixedNamesNow))
            add(blocks.pFixed->dwUniqueId[i]);
    }
    for (int i = 0; i < kSlots; ++i) {
        if (blocks.pPath->nClientInstantMode[i] != kFreeSlot && IsLive(*blocks.pPath, i, fnIsRunning))
            add(blocks.pPath->dwUniqueId[i]);
    }
    return nHolders;
}

} // namespace kyr_hid_library
