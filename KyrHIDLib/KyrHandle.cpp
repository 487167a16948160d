#include "KyrHandle.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "Include/KyrDeviceIds.h"
#include "KyrLastError.h"

namespace kyr_hid_library {

namespace {

constexpr int kSlots = 256;
constexpr short kFreeSlot = -1; // 0xFFFF
constexpr unsigned long kNoFGstValue = ~0UL;
// A mode reaching a slot keeps only the defined bits: all ones in the low 16
// bits would read as a free slot.
constexpr int kDefinedModeBits = 0x3FF;
// Client counts from here on are refused.
constexpr long kMaxClients = 255;

// The kinds of device that, in this order, get the fixed object names: every
// attached device of the first kind present shares them.
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

// The packet kinds a client receives only when it asked for them; 0 for
// kinds every client receives.
int ModeBitOf(unsigned short nType)
{
    switch (nType) {
    case kyrtype_msg: return KYR_HID_MODE_MESSAGE;
    case kyrtype_obj: return KYR_HID_MODE_OBJECT;
    case kyrtype_obc:
    case kyrtype_dtc:
    case kyrtype_ird:
    case kyrtype_itd:
    case kyrtype_prv: return KYR_HID_MODE_VIEW;
    case kyrtype_cmd:
    case kyrtype_rsp: return KYR_HID_MODE_COMMAND;
    case kyrtype_dvc: return KYR_HID_MODE_DEVICE;
    case kyrtype_tpt: return KYR_HID_MODE_TOUCHPNT;
    case kyrtype_gst: return KYR_HID_MODE_GESTURE;
    default: return 0;
    }
}

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

CKyrHandle::BlockAccess::BlockAccess(CKyrHandle& handle)
    : m_Local(handle.m_csBlock), m_Shared(handle.m_SharedMemory),
      m_pBlock(m_Shared.IsLocked() ? static_cast<KyrHandleSharedMemory*>(handle.m_SharedMemory.GetMemory())
                                   : nullptr)
{
}

CKyrHandle::CKyrHandle() : m_ProcessChecker(m_SharedMemory)
{
    memset(&m_KyrDevData, 0, sizeof(m_KyrDevData));
    m_pMmPkt = new CMmPkt(this);
}

CKyrHandle::~CKyrHandle()
{
    delete m_pMmPkt;
    m_pMmPkt = nullptr;
}

void CKyrHandle::SetNotify(std::shared_ptr<IKyrHandleNotify> pNotify)
{
    std::shared_ptr<IKyrHandleNotify> pOld;
    {
        std::lock_guard lock(m_csNotify);
        pOld = std::exchange(m_pNotify, std::move(pNotify));
    }
    // pOld goes here unless a call through it is still running elsewhere;
    // then it goes when that call returns. Never under m_csNotify: its
    // destructor may run application code.
}

std::shared_ptr<CKyrHandle::IKyrHandleNotify> CKyrHandle::GetNotify()
{
    std::lock_guard lock(m_csNotify);
    return m_pNotify;
}

// Calls fn(sink) outside any lock, holding the sink alive for the call.
template <typename Fn>
void CKyrHandle::Notify(Fn&& fn)
{
    if (std::shared_ptr<IKyrHandleNotify> pNotify = GetNotify())
        fn(*pNotify);
}

bool CKyrHandle::Open(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI, int nDevIndex)
{
    if (IsOpen()) {
        SetLastError(KYR_ERROR_ALREADY_OPENED);
        return false;
    }
    PHID_DEVICE_INFO pInfo = m_HID.GetDeviceInfo(nVendorID, nProductID, nMI, nDevIndex);
    if (pInfo == nullptr) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return false;
    }
    m_KyrDevData.nMI = nMI;
    m_KyrDevData.nVendorID = nVendorID;
    m_KyrDevData.nProductID = nProductID;
    m_KyrDevData.nDevIndex = nDevIndex;
    snprintf(m_KyrDevData.szDevPath, sizeof(m_KyrDevData.szDevPath), "%s", pInfo->DevicePath);
    m_KyrDevData.pHandle = this;

    if (!CreateSyncObjects(&m_KyrDevData)) {
        Close();
        return false;
    }
    HID_NOTIFY notify{this, &CKyrHandle::_OnDisconnect, &CKyrHandle::_OnReceive};
    m_HID.SetNotify(&notify);
    if (!m_HID.Open(nVendorID, nProductID, nMI, nDevIndex)) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        Close();
        return false;
    }
    SetLastError(KYR_SUCCESS);
    return true;
}

void CKyrHandle::Close()
{
    m_bResetWait = true;
    m_HID.Close();
    DestroySyncObjects();
}

void CKyrHandle::_OnReceive(unsigned char* pData, unsigned long dwBytes, void* pContext)
{
    if (pContext != nullptr)
        static_cast<CKyrHandle*>(pContext)->OnReceive(pData, dwBytes);
}

void CKyrHandle::_OnDisconnect(void* pContext)
{
    if (pContext != nullptr)
        static_cast<CKyrHandle*>(pContext)->OnDisconnect();
}

void CKyrHandle::OnReceive(unsigned char* pData, unsigned long dwBytes)
{
    // One sink for the whole transfer: a replacement takes effect with the next.
    std::shared_ptr<IKyrHandleNotify> pNotify = GetNotify();
    for (unsigned long dwOffset = 0; dwOffset < dwBytes; dwOffset += 64) {
        const unsigned long dwLength = std::min<unsigned long>(64, dwBytes - dwOffset);
        if (pNotify && pNotify->OnReceiveRawData(&m_KyrDevData, pData + dwOffset, dwLength))
            return;
        m_pMmPkt->ParsePacket(pData + dwOffset, dwLength);
    }
}

void CKyrHandle::OnDisconnect()
{
    m_bResetWait = true;
    // The sink may close and destroy this handle: nothing of it is touched
    // after the call. The local copy keeps the sink itself alive till then.
    std::shared_ptr<IKyrHandleNotify> pNotify = GetNotify();
    if (pNotify)
        pNotify->OnDisconnect(&m_KyrDevData);
}

void CKyrHandle::TPDP_OnPacket(kyrpacket* pPacket, bool bSync)
{
    const int nBit = ModeBitOf(static_cast<unsigned short>(pPacket->type));
    if (nBit != 0 && (m_nInstantMode.load(std::memory_order_relaxed) & nBit) == 0)
        return;
    if (pPacket->type == kyrtype_rsp) {
        CKyrLocalSyncObject::Locker lock(m_csSyncResponse);
        if (m_nSyncResId == pPacket->body.rsp.id) {
            // The codec terminates the text within the field.
            strncpy(m_szSyncResponse, pPacket->body.rsp.command, sizeof(m_szSyncResponse));
            m_szSyncResponse[sizeof(m_szSyncResponse) - 1] = '\0';
            m_nSyncResId = 0xFFFF;
        }
    }
    Notify([&](IKyrHandleNotify& sink) { sink.TPDP_OnPacket(&m_KyrDevData, pPacket, bSync); });
}

// Command and raw-buffer completion: the waits that use them come with the
// command exchange; until then no synchronous caller is ever waiting.
bool CKyrHandle::OnCheckSyncResposePacket(int)
{
    return false;
}

void CKyrHandle::OnCompleteResponsePacket(int) {}

void CKyrHandle::OnCompleteNoneResponsePacket(unsigned short nId)
{
    CKyrLocalSyncObject::Locker lock(m_csWaitPacketId);
    if (m_nWaitPacketId == nId)
        m_nWaitPacketId = 0xFFFF;
}

void CKyrHandle::OnFirmwareMode(unsigned short, unsigned short nMode)
{
    m_nFirmwareMode = nMode;
}

bool CKyrHandle::IsFirstDevice(KyrDevData* pDevData)
{
    for (const DeviceKind& kind : s_FirstDeviceKinds) {
        if (m_HID.GetDeviceCount(kind.nVendorID, kind.nProductID, kind.nMI) <= 0)
            continue;
        PHID_DEVICE_INFO pInfo = m_HID.GetDeviceInfo(kind.nVendorID, kind.nProductID, kind.nMI, 0);
        if (pInfo == nullptr)
            return false;
        return pInfo->VendorID == pDevData->nVendorID && pInfo->ProductID == pDevData->nProductID &&
               pInfo->MI == pDevData->nMI;
    }
    return false;
}

bool CKyrHandle::CreateSyncObjects(KyrDevData* pDevData)
{
    m_nClientID = -1;
    const bool bFirst = IsFirstDevice(pDevData);
    char szLockName[512];
    char szBlockName[512];
    if (!FormatName(szLockName, "ZarnHandle@SYNC_OBJECT", bFirst, pDevData->szDevPath) ||
        !FormatName(szBlockName, "ZarnHandle@SHARED_MEMORY", bFirst, pDevData->szDevPath)) {
        SetLastError(KYR_ERROR_UNKNOWN);
        return false;
    }
    bool bInit = false;
    if (!m_SharedMemory.Create(szLockName, szBlockName, sizeof(KyrHandleSharedMemory), bInit)) {
        SetLastError(KYR_ERROR_UNKNOWN);
        return false;
    }
    if (!bInit) {
        // A block made by another process, which may have died holding it.
        m_ProcessChecker.VerifyProcessIds();
        BlockAccess block(*this);
        if (!block) {
            SetLastError(KYR_ERROR_UNKNOWN);
            return false;
        }
        for (int i = 0; i < kSlots; ++i) {
            if (block->nClientInstantMode[i] != kFreeSlot) {
                SetLastError(KYR_ERROR_DEVICE_BUSY);
                return false;
            }
        }
    }
    long nClients;
    {
        BlockAccess block(*this);
        if (!block) {
            SetLastError(KYR_ERROR_UNKNOWN);
            return false;
        }
        if (bInit) {
            block->lLockCount = 1;
            block->lTimeout = 0;
            block->nControlClientID = 0;
            block->dwClientFGstValue = kNoFGstValue;
            block->nCmdId = 1;
            for (int i = 0; i < kSlots; ++i) {
                block->nClientInstantMode[i] = kFreeSlot;
                block->dwUniqueId[i] = 0;
                block->bUseExclusiveApp[i] = 0;
            }
            memset(block->Reserved, 0, sizeof(block->Reserved));
        } else {
            ++block->lLockCount;
        }
        nClients = block->lLockCount;
        if (nClients >= kMaxClients) {
            --block->lLockCount;
            SetLastError(KYR_ERROR_SYNC_OBJECT_OVERFLOW);
            return false;
        }
        for (int i = 0; i < kSlots; ++i) {
            if (block->nClientInstantMode[i] == kFreeSlot) {
                m_nClientID = i;
                block->nClientInstantMode[i] = static_cast<short>(m_nInstantMode.load() & kDefinedModeBits);
                block->dwUniqueId[i] = m_ProcessChecker.GetCurrentProcessId();
                break;
            }
        }
        if (m_nClientID < 0) {
            // Unreachable while a second client is refused as busy; the
            // count goes back so that closing leaves the block as it was.
            --block->lLockCount;
            SetLastError(KYR_ERROR_SYNC_OBJECT_OVERFLOW);
            return false;
        }
    }
    m_bCreatedSyncObjects = true;
    return true;
}

void CKyrHandle::DestroySyncObjects()
{
    if (!m_bCreatedSyncObjects) {
        m_SharedMemory.Destroy();
        return;
    }
    {
        BlockAccess block(*this);
        if (block) {
            int nOthers = 0;
            for (int i = 0; i < kSlots; ++i) {
                if (i != m_nClientID && block->nClientInstantMode[i] != kFreeSlot)
                    nOthers |= block->nClientInstantMode[i];
            }
            if (m_nClientID >= 0 && m_nClientID < kSlots) {
                block->nClientInstantMode[m_nClientID] = kFreeSlot;
                block->dwUniqueId[m_nClientID] = 0;
                block->bUseExclusiveApp[m_nClientID] = 0;
            }
            --block->lLockCount;
            block->nInstantMode = static_cast<short>(nOthers);
            block->dwClientFGstValue = kNoFGstValue;
            block->nControlClientID = -1;
        }
    }
    m_SharedMemory.Destroy();
    m_nClientID = -1;
    m_bCreatedSyncObjects = false;
}

void CKyrHandle::GetSyncServerValue(unsigned long dwFGstValue, unsigned long& dwServerFGstValue,
                                    int& nServerInstantMode)
{
    BlockAccess block(*this);
    if (!block || m_nClientID < 0)
        return;
    block->nClientInstantMode[m_nClientID] = static_cast<short>(m_nInstantMode.load() & kDefinedModeBits);
    if (m_bUseExclusiveApp)
        block->dwExclusiveFGstValue = dwFGstValue;
    bool bExclusive = false;
    for (int i = 0; i < kSlots; ++i) {
        if (block->nClientInstantMode[i] != kFreeSlot)
            nServerInstantMode |= block->nClientInstantMode[i];
        bExclusive = bExclusive || block->bUseExclusiveApp[i] != 0;
    }
    block->nInstantMode = static_cast<short>(nServerInstantMode);

    if (block->dwClientFGstValue != kNoFGstValue) {
        dwServerFGstValue = block->dwClientFGstValue;
    } else if (m_dwFGstValue != kNoFGstValue) {
        dwServerFGstValue = m_dwFGstValue;
        block->dwClientFGstValue = m_dwFGstValue;
    } else {
        dwServerFGstValue = 0;
    }
    if (m_bForceFgstValue) {
        if (m_dwFGstValue != kNoFGstValue) {
            dwServerFGstValue = m_dwFGstValue;
            block->dwClientFGstValue = m_dwFGstValue;
        } else {
            dwServerFGstValue = 0;
        }
        m_bForceFgstValue = false;
    }
    if (bExclusive)
        dwServerFGstValue = block->dwExclusiveFGstValue;
}

bool CKyrHandle::IsAvailableControlMode()
{
    BlockAccess block(*this);
    if (!block)
        return false;
    if (block->lLockCount == 1 || block->nControlClientID == -1) {
        block->nControlClientID = m_nClientID;
        return true;
    }
    return block->nControlClientID == m_nClientID;
}

void CKyrHandle::UseExclusiveMode(bool bUse)
{
    {
        BlockAccess block(*this);
        if (block && m_nClientID >= 0 && m_nClientID < kSlots)
            block->bUseExclusiveApp[m_nClientID] = bUse ? 1 : 0;
    }
    m_bUseExclusiveApp = bUse;
}

} // namespace kyr_hid_library
