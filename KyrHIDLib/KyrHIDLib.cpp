// The flat exported interface.
//
// Last-error rule: a function that takes a handle or record tests it for null
// first (KYR_ERROR_INVALID_PARAMETER), otherwise sets KYR_SUCCESS before it
// forwards, and whatever the forwarded work sets stands. The exceptions are
// noted at the functions.
#include "Include/KyrHIDLib.h"

#include <cstring>
#include <iterator>

#include "Include/HID.h"
#include "KyrHandle.h"
#include "KyrLastError.h"
#include "MmPkt.h"

using namespace kyr_hid_library;

int g_nLastError = KYR_SUCCESS;

namespace {

struct ErrorEntry {
    int nCode;
    const char* pszName;
    const char* pszDescription;
};

constexpr ErrorEntry s_ErrorTable[] = {
    {KYR_SUCCESS, "KYR_SUCCESS", "success"},
    {KYR_ERROR_NO_DEVICE, "KYR_ERROR_NO_DEVICE", "no such device, or the device is not open"},
    {KYR_ERROR_FIRMWARE_DOWNLOAD, "KYR_ERROR_FIRMWARE_DOWNLOAD", "a firmware download is in progress"},
    {KYR_ERROR_TIMEOUT, "KYR_ERROR_TIMEOUT", "timed out"},
    {KYR_ERROR_SYNC_OBJECT_OVERFLOW, "KYR_ERROR_SYNC_OBJECT_OVERFLOW", "no free client slot on the device"},
    {KYR_ERROR_ALREADY_OPENED, "KYR_ERROR_ALREADY_OPENED", "the handle is already open"},
    {KYR_ERROR_DEVICE_BUSY, "KYR_ERROR_DEVICE_BUSY", "the device is in use by another client"},
    {KYR_ERROR_NOT_SUPPORT, "KYR_ERROR_NOT_SUPPORT", "not possible here: the call would wait for a thread that waits for it"},
    {KYR_ERROR_SEND_FAIL, "KYR_ERROR_SEND_FAIL", "the command could not be sent"},
    {KYR_ERROR_INVALID_PARAMETER, "KYR_ERROR_INVALID_PARAMETER", "invalid parameter"},
    {KYR_ERROR_ACCESS_DENIED, "KYR_ERROR_ACCESS_DENIED", "no permission to open the device"},
    {KYR_ERROR_UNKNOWN, "KYR_ERROR_UNKNOWN", "unknown failure"},
};
// One entry per code of the public enumeration.
static_assert(std::size(s_ErrorTable) == 12);

const ErrorEntry* FindError(int nError)
{
    for (const ErrorEntry& entry : s_ErrorTable) {
        if (entry.nCode == nError)
            return &entry;
    }
    return nullptr;
}

PHID_DEVICE_INFO AsInfo(KYR_DEVICE_INFO devInfo)
{
    return static_cast<PHID_DEVICE_INFO>(devInfo);
}

CKyrHandle* AsHandle(KYR_HANDLE hDevice)
{
    return static_cast<CKyrHandle*>(hDevice);
}

// Runs fn(handle) inside the handle under the last-error rule: null is
// refused, a handle being closed says KYR_ERROR_NO_DEVICE, anything else
// starts from KYR_SUCCESS.
template <typename Result, typename Fn>
Result WithHandle(KYR_HANDLE hDevice, Result failure, Fn&& fn)
{
    if (hDevice == nullptr) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return failure;
    }
    CKyrHandle::Entry entry(*AsHandle(hDevice), CKyrHandle::Call);
    if (!entry) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return failure;
    }
    SetLastError(KYR_SUCCESS);
    return fn(*AsHandle(hDevice));
}

// The application's table behind the handle's notification interface. Each
// call is the last thing it does: the application may close the handle from
// fnOnDisconnect.
class _KyrHandleNotifyImpl : public CKyrHandle::IKyrHandleNotify {
public:
    explicit _KyrHandleNotifyImpl(const KYR_EVENT_NOTIFY* pNotify) : _EventNotify(*pNotify) {}

    void OnHandleEvents(KyrDevData* pData) override
    {
        if (_EventNotify.fnOnHandleEvents != nullptr)
            _EventNotify.fnOnHandleEvents(pData->pHandle, _EventNotify.Context);
    }
    void OnDisconnect(KyrDevData* pData) override
    {
        if (_EventNotify.fnOnDisconnect != nullptr)
            _EventNotify.fnOnDisconnect(pData->pHandle, _EventNotify.Context);
    }
    bool OnReceiveRawData(KyrDevData* pData, unsigned char* pBuffer, unsigned long dwBytes) override
    {
        if (_EventNotify.fnOnReceiveRawData == nullptr)
            return false;
        return _EventNotify.fnOnReceiveRawData(pData->pHandle, pBuffer, static_cast<unsigned short>(dwBytes),
                                               _EventNotify.Context) == 1;
    }
    void TPDP_OnDownloadingFirmware(KyrDevData* pData, bool bDownload) override
    {
        if (_EventNotify.fnOnDownloadingFirmware != nullptr)
            _EventNotify.fnOnDownloadingFirmware(pData->pHandle, bDownload ? 1 : 0, _EventNotify.Context);
    }
    void TPDP_OnPacket(KyrDevData* pData, kyrpacket* pPacket, bool bSync) override
    {
        if (_EventNotify.fnOnPacket != nullptr)
            _EventNotify.fnOnPacket(pData->pHandle, pPacket, bSync ? 1 : 0, _EventNotify.Context);
    }
    bool HandlesEvents() const override { return _EventNotify.fnOnHandleEvents != nullptr; }
    bool WatchesDownloads() const override { return _EventNotify.fnOnDownloadingFirmware != nullptr; }

private:
    const KYR_EVENT_NOTIFY _EventNotify;
};

} // namespace

extern "C" {

KYR_API int KyrGetLastError(void)
{
    return GetLastError();
}

KYR_API const char* KyrGetErrorName(int nError)
{
    const ErrorEntry* pEntry = FindError(nError);
    return pEntry != nullptr ? pEntry->pszName : "KYR_ERROR_?";
}

KYR_API const char* KyrGetErrorDescription(int nError)
{
    const ErrorEntry* pEntry = FindError(nError);
    return pEntry != nullptr ? pEntry->pszDescription : "not an error code of this library";
}

// Never touches the last error.
KYR_API int KyrGetDeviceCount(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI)
{
    CHID hid;
    return hid.GetDeviceCount(nVendorID, nProductID, nMI);
}

// Leaves the last error as the enumeration set it.
KYR_API KYR_DEVICE_INFO KyrGetDeviceInfo(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                                         unsigned short nDevIndex)
{
    static HID_DEVICE_INFO __HIDInfo;

    CHID hid;
    PHID_DEVICE_INFO pInfo = hid.GetDeviceInfo(nVendorID, nProductID, nMI, nDevIndex);
    if (pInfo == nullptr)
        return nullptr;
    memcpy(&__HIDInfo, pInfo, sizeof(__HIDInfo));
    // The transport's private data goes with the temporary CHID.
    __HIDInfo.Extra = nullptr;
    return &__HIDInfo;
}

// Never touches the last error, not even for a null record.
KYR_API unsigned short KyrGetDevInfoVendorID(KYR_DEVICE_INFO devInfo)
{
    return devInfo != nullptr ? AsInfo(devInfo)->VendorID : 0;
}

KYR_API unsigned short KyrGetDevInfoProductID(KYR_DEVICE_INFO devInfo)
{
    if (devInfo == nullptr) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return 0xFFFF;
    }
    SetLastError(KYR_SUCCESS);
    return AsInfo(devInfo)->ProductID;
}

KYR_API unsigned short KyrGetDevInfoInterfaceNumber(KYR_DEVICE_INFO devInfo)
{
    if (devInfo == nullptr) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return 0xFFFF;
    }
    SetLastError(KYR_SUCCESS);
    return AsInfo(devInfo)->MI;
}

KYR_API int KyrGetDevInfoDeviceIndex(KYR_DEVICE_INFO devInfo)
{
    if (devInfo == nullptr) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return -1;
    }
    SetLastError(KYR_SUCCESS);
    return AsInfo(devInfo)->DeviceIndex;
}

KYR_API char* KyrGetDevInfoPath(KYR_DEVICE_INFO devInfo)
{
    if (devInfo == nullptr) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(KYR_SUCCESS);
    return AsInfo(devInfo)->DevicePath;
}

KYR_API KYR_HANDLE KyrOpenDevice(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                                 unsigned short nDevIndex)
{
    auto* pHandle = new CKyrHandle;
    if (!pHandle->Open(nVendorID, nProductID, nMI, nDevIndex)) {
        delete pHandle;
        return nullptr;
    }
    return pHandle;
}

KYR_API void KyrSetEventNotify(KYR_HANDLE hDevice, PKYR_EVENT_NOTIFY pNotify)
{
    if (pNotify == nullptr) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return;
    }
    WithHandle(hDevice, 0, [&](CKyrHandle& handle) {
        handle.SetNotify(std::make_shared<_KyrHandleNotifyImpl>(pNotify));
        return 0;
    });
}

// A null handle leaves the last error alone.
KYR_API void KyrCloseDevice(KYR_HANDLE hDevice)
{
    if (hDevice == nullptr)
        return;
    SetLastError(KYR_SUCCESS);
    CKyrHandle::CloseAndDestroy(AsHandle(hDevice));
}

KYR_API KYR_DEVICE_INFO KyrGetDeviceInfoFromHandle(KYR_HANDLE hDevice)
{
    return WithHandle(hDevice, KYR_DEVICE_INFO{}, [](CKyrHandle& handle) -> KYR_DEVICE_INFO {
        return handle.GetDeviceInfo();
    });
}

KYR_API void* KyrGetLowDeviceHandle(KYR_HANDLE hDevice)
{
    return WithHandle(hDevice, static_cast<void*>(nullptr),
                      [](CKyrHandle& handle) { return handle.GetLowDeviceHandle(); });
}

KYR_API void KyrUseExclusiveMode(KYR_HANDLE hDevice, int bUse)
{
    WithHandle(hDevice, 0, [&](CKyrHandle& handle) {
        handle.UseExclusiveMode(bUse == 1);
        return 0;
    });
}

KYR_API int KyrSetInstantMode(KYR_HANDLE hDevice, int nMode, unsigned short nExpireTime, unsigned long dwFgstValue)
{
    return WithHandle(hDevice, 0, [&](CKyrHandle& handle) {
        return handle.SetInstantMode(nMode, nExpireTime, dwFgstValue) != 0 ? 1 : 0;
    });
}

KYR_API int KyrSendCommand(KYR_HANDLE hDevice, const char* szCmd, int bAsync, unsigned short nTimeout)
{
    const int nFailure = bAsync == 1 ? -1 : 0;
    if (szCmd == nullptr) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return nFailure;
    }
    return WithHandle(hDevice, nFailure,
                      [&](CKyrHandle& handle) { return handle.SendCommand(szCmd, bAsync == 1, nTimeout); });
}

KYR_API char* KyrGetResponse(KYR_HANDLE hDevice)
{
    return WithHandle(hDevice, static_cast<char*>(nullptr), [](CKyrHandle& handle) { return handle.GetResponse(); });
}

KYR_API int KyrSendBuffer(KYR_HANDLE hDevice, const unsigned char* pBuffer, unsigned short nBufferSize, int bAsync,
                          unsigned short nTimeout)
{
    if (pBuffer == nullptr) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return 0;
    }
    return WithHandle(hDevice, 0, [&](CKyrHandle& handle) {
        return handle.SendBuffer(pBuffer, nBufferSize, bAsync == 1, nTimeout) ? 1 : 0;
    });
}

KYR_API int KyrQueryFirmwareVersion(KYR_HANDLE hDevice, unsigned short wAddr, int* pnMode, int bAsync,
                                    unsigned short nTimeout)
{
    if (pnMode == nullptr) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return 0;
    }
    return WithHandle(hDevice, 0, [&](CKyrHandle& handle) {
        return handle.QueryFirmwareVersion(wAddr, pnMode, bAsync == 1, nTimeout) ? 1 : 0;
    });
}

KYR_API void KyrLockFirmwareDownload(KYR_HANDLE hDevice)
{
    WithHandle(hDevice, 0, [](CKyrHandle& handle) {
        handle.LockFirmwareDownload();
        return 0;
    });
}

KYR_API void KyrUnlockFirmwareDownload(KYR_HANDLE hDevice)
{
    WithHandle(hDevice, 0, [](CKyrHandle& handle) {
        handle.UnlockFirmwareDownload();
        return 0;
    });
}

// Pure, no device; the last error is left alone. A null buffer holds no
// bytes: nothing is written to it (0, no length), and its check is that of
// the empty packet.
KYR_API unsigned short KyrCalculateCRC(unsigned char* pkt_ptr, unsigned short pkt_len)
{
    return pkt_ptr != nullptr ? CMmPkt::CalcCRC(pkt_ptr, pkt_len) : 0;
}

KYR_API unsigned short KyrCheckCRC(unsigned char* pkt_ptr, unsigned short pkt_len)
{
    static const unsigned char s_Empty[1] = {};
    return pkt_ptr != nullptr ? CMmPkt::CheckCRC(pkt_ptr, pkt_len) : CMmPkt::CheckCRC(s_Empty, 0);
}

KYR_API void KyrSetReportTap(KYR_HANDLE hDevice, FnKyrReportTap fn, void* pContext)
{
    WithHandle(hDevice, 0, [&](CKyrHandle& handle) {
        handle.SetReportTap(fn, pContext);
        return 0;
    });
}

} // extern "C"
