// USB transport over libusb-1.0: enumeration, the read thread and writes.
//
// Every device's read thread handles events of libusb's one default context,
// so a completion may run on any of them: callbacks find their adaptor
// through the transfer's user data only. A thread waits for its own
// completions with libusb_handle_events_timeout_completed on its own flags,
// never for libusb's internal timeout, and is woken with
// libusb_interrupt_event_handler when it must stop.
#include "Include/HID.h"

#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "KyrLastError.h"
#include "KyrLocalSyncObject.h"
#include "KyrThread.h"
#include "KyrTimer.h"

namespace kyr_hid_library {

namespace {

// Brackets the library's lifetime: every libusb call of the library uses the
// default context set up here.
class CHIDInitializer {
public:
    CHIDInitializer()
    {
        libusb_init(nullptr);
        libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
    }
    ~CHIDInitializer() { libusb_exit(nullptr); }
};

CHIDInitializer s_HIDInit;

struct HIDExtra {
    libusb_device_handle* handle;
    libusb_transfer* transfer; // the read thread's transfer, null until it runs
    bool driver_attached;      // closing releases the interface and restores the kernel driver
};

// Owns a device list for one walk.
class DeviceList {
public:
    DeviceList() : m_nCount(libusb_get_device_list(nullptr, &m_ppList)) {}
    ~DeviceList()
    {
        if (m_nCount >= 0)
            libusb_free_device_list(m_ppList, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    bool IsValid() const { return m_nCount >= 0; }
    libusb_device* const* begin() const { return m_ppList; }
    libusb_device* const* end() const { return m_ppList + (m_nCount > 0 ? m_nCount : 0); }

private:
    libusb_device** m_ppList = nullptr;
    ssize_t m_nCount;
};

// A device whose descriptors cannot be read never matches.
bool Matches(libusb_device* pDevice, unsigned short nVendorID, unsigned short nProductID, int nMI)
{
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(pDevice, &desc) != LIBUSB_SUCCESS)
        return false;
    libusb_config_descriptor* pConfig = nullptr;
    if (libusb_get_active_config_descriptor(pDevice, &pConfig) != LIBUSB_SUCCESS)
        return false;
    const bool bMatch = desc.idVendor == nVendorID && desc.idProduct == nProductID &&
                        static_cast<int>(pConfig->bNumInterfaces) > nMI;
    libusb_free_config_descriptor(pConfig);
    return bMatch;
}

constexpr int kReportSize = 64;
constexpr unsigned kReadTimeoutMs = 1000;
constexpr unsigned kWriteTimeoutMs = 2000;
// Longest wait for transfers to come back before their memory is released;
// beyond the write timeout, so a transfer the device never answers has
// timed out by then.
constexpr unsigned long kDrainLimitMs = kWriteTimeoutMs + 500;

// Endpoint addresses follow from the interface number alone.
unsigned char InEndpoint(int nMI)
{
    return static_cast<unsigned char>(0x80 + (1 << nMI));
}

unsigned char OutEndpoint(int nMI)
{
    return static_cast<unsigned char>(1 << nMI);
}

// One pass of the default context's event loop, returning early once
// *pnCompleted is set.
int HandleEvents(int* pnCompleted, unsigned long dwMiliseconds)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(dwMiliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((dwMiliseconds % 1000) * 1000);
    return libusb_handle_events_timeout_completed(nullptr, &tv, pnCompleted);
}

// Sets a completion flag that another thread may be waiting on inside
// libusb_handle_events_timeout_completed, and wakes it.
void SignalCompletion(int* pnCompleted)
{
    libusb_lock_event_waiters(nullptr);
    *pnCompleted = 1;
    libusb_unlock_event_waiters(nullptr);
    libusb_interrupt_event_handler(nullptr);
}

int LastErrorOfOpen(int nUsbError)
{
    switch (nUsbError) {
    case LIBUSB_ERROR_ACCESS: return KYR_ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_NO_DEVICE: return KYR_ERROR_NO_DEVICE;
    default: return KYR_ERROR_UNKNOWN;
    }
}

} // namespace

class CHIDAdaptor : public CKyrThread {
public:
    CHIDAdaptor()
    {
        memset(&m_HIDNotify, 0, sizeof(m_HIDNotify));
        memset(&m_HIDDeviceInfo, 0, sizeof(m_HIDDeviceInfo));
    }
    ~CHIDAdaptor() override { Close(); }

    int GetDeviceCount(unsigned short nVendorID, unsigned short nProductID, int nMI);
    PHID_DEVICE_INFO GetDeviceInfo(unsigned short nVendorID, unsigned short nProductID, int nMI, int nDevIndex);
    PHID_DEVICE_INFO GetDeviceInfo();
    bool IsOpenDevice();

    void SetNotify(PHID_NOTIFY pNotify);
    bool Open(unsigned short nVendorID, unsigned short nProductID, int nMI, int nDevIndex);
    void Close();
    bool Write(const unsigned char* pBuffer, unsigned long dwBytesToWrite);

protected:
    bool OpenHidDevice(PHID_DEVICE_INFO pHIDDeviceInfo);
    void CloseHidDevice(PHID_DEVICE_INFO pHIDDeviceInfo);
    bool StartReadThread();
    void StopReadThread();
    bool Run() override;
    void OnTerminateRequested() override;
    void OnReceive(unsigned char* pBuffer, int nBufSize);
    static void LIBUSB_CALL _OnReceive(libusb_transfer* transfer);
    static void LIBUSB_CALL _TransferCb(libusb_transfer* transfer);

private:
    bool IsOpenDeviceLocked() const;
    bool IsWritable() const;
    bool SubmitPiece(libusb_device_handle* pHandle, const unsigned char* pData, int nLength);
    void DrainWrites();

    HID_NOTIFY m_HIDNotify;
    // Changed only while no read thread runs, by the read thread at its own
    // end, or from inside fnOnDisconnect after the thread released itself;
    // guarded by m_csWriteLock wherever a writer may race with that.
    HID_DEVICE_INFO m_HIDDeviceInfo;
    // Serialises writes, and orders closing the device (by the owner or by
    // the read thread itself) against a write on another thread.
    CKyrLocalSyncObject m_csWriteLock;
    bool m_bClosing = false; // guarded by m_csWriteLock; writes refused while set
    std::atomic<bool> m_bDisconnected{false};

    // The read transfer's state, written by _OnReceive on whichever thread
    // handles events. The ints are libusb's completion flags (written under
    // libusb's event-waiter lock or inside event handling, read by libusb).
    std::atomic<bool> m_bStopping{false};    // no resubmission from here on
    std::atomic<bool> m_bReadIdle{false};    // the callback ran and did not resubmit
    int m_nLoopExit = 0;                     // the read loop must end
    int m_nReadIdle = 0;                     // mirrors m_bReadIdle for libusb

    // Write transfers submitted and not yet called back.
    std::mutex m_csInFlight;
    std::vector<libusb_transfer*> m_InFlightWrites; // guarded by m_csInFlight
    int m_nWritesIdle = 1;                           // guarded by m_csInFlight
};

int CHIDAdaptor::GetDeviceCount(unsigned short nVendorID, unsigned short nProductID, int nMI)
{
    DeviceList list;
    int nCount = 0;
    for (libusb_device* pDevice : list) {
        if (Matches(pDevice, nVendorID, nProductID, nMI))
            ++nCount;
    }
    return nCount;
}

PHID_DEVICE_INFO CHIDAdaptor::GetDeviceInfo(unsigned short nVendorID, unsigned short nProductID, int nMI,
                                            int nDevIndex)
{
    Close();
    memset(&m_HIDDeviceInfo, 0, sizeof(m_HIDDeviceInfo));

    DeviceList list;
    if (!list.IsValid()) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return nullptr;
    }
    SetLastError(KYR_ERROR_NO_DEVICE);

    libusb_device* pSelected = nullptr;
    int nMatch = 0;
    for (libusb_device* pDevice : list) {
        if (!Matches(pDevice, nVendorID, nProductID, nMI))
            continue;
        if (nMatch == nDevIndex) {
            pSelected = pDevice;
            break;
        }
        ++nMatch;
    }
    if (pSelected == nullptr)
        return nullptr;

    HID_DEVICE_INFO& info = m_HIDDeviceInfo;
    snprintf(info.DevicePath, sizeof(info.DevicePath), "%04x:%04x:%02x", libusb_get_bus_number(pSelected),
             libusb_get_device_address(pSelected), static_cast<unsigned>(nMI));
    info.VendorID = nVendorID;
    info.ProductID = nProductID;
    info.MI = static_cast<unsigned short>(nMI);
    info.UsagePage = 0;
    info.Usage = 0;
    info.DeviceIndex = nDevIndex;

    libusb_device_handle* pHandle = nullptr;
    const int nResult = libusb_open(pSelected, &pHandle);
    if (nResult != LIBUSB_SUCCESS) {
        info.Extra = nullptr;
        SetLastError(LastErrorOfOpen(nResult));
        return nullptr;
    }
    auto* pExtra = static_cast<HIDExtra*>(malloc(sizeof(HIDExtra)));
    if (pExtra == nullptr) {
        libusb_close(pHandle);
        SetLastError(KYR_ERROR_UNKNOWN);
        return nullptr;
    }
    *pExtra = HIDExtra{pHandle, nullptr, false};
    info.Extra = pExtra;
    SetLastError(KYR_SUCCESS);
    return &m_HIDDeviceInfo;
}

PHID_DEVICE_INFO CHIDAdaptor::GetDeviceInfo()
{
    if (!IsOpenDevice()) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return nullptr;
    }
    return &m_HIDDeviceInfo;
}

bool CHIDAdaptor::IsOpenDevice()
{
    CKyrLocalSyncObject::Locker lock(m_csWriteLock);
    return IsOpenDeviceLocked();
}

bool CHIDAdaptor::IsOpenDeviceLocked() const
{
    const auto* pExtra = static_cast<const HIDExtra*>(m_HIDDeviceInfo.Extra);
    return pExtra != nullptr && pExtra->handle != nullptr;
}

bool CHIDAdaptor::IsWritable() const
{
    return IsOpenDeviceLocked() && !m_bClosing;
}

void CHIDAdaptor::SetNotify(PHID_NOTIFY pNotify)
{
    if (pNotify == nullptr)
        memset(&m_HIDNotify, 0, sizeof(m_HIDNotify));
    else
        m_HIDNotify = *pNotify;
}

bool CHIDAdaptor::Open(unsigned short nVendorID, unsigned short nProductID, int nMI, int nDevIndex)
{
    if (GetDeviceInfo(nVendorID, nProductID, nMI, nDevIndex) == nullptr)
        return false;
    if (!OpenHidDevice(&m_HIDDeviceInfo)) {
        CloseHidDevice(&m_HIDDeviceInfo);
        return false;
    }
    // Without a read thread nothing would ever arrive: that is a failed open.
    if (!StartReadThread()) {
        CloseHidDevice(&m_HIDDeviceInfo);
        SetLastError(KYR_ERROR_UNKNOWN);
        return false;
    }
    return true;
}

bool CHIDAdaptor::OpenHidDevice(PHID_DEVICE_INFO pHIDDeviceInfo)
{
    if (pHIDDeviceInfo == nullptr || pHIDDeviceInfo->Extra == nullptr)
        return false;
    auto* pExtra = static_cast<HIDExtra*>(pHIDDeviceInfo->Extra);
    const int nMI = pHIDDeviceInfo->MI;
    if (libusb_kernel_driver_active(pExtra->handle, nMI) == 1)
        libusb_detach_kernel_driver(pExtra->handle, nMI);
    const int nClaim = libusb_claim_interface(pExtra->handle, nMI);
    // Set whether or not the claim worked: closing then always gives the
    // interface back to the kernel driver, after a refused claim too.
    pExtra->driver_attached = true;
    return nClaim == LIBUSB_SUCCESS;
}

bool CHIDAdaptor::StartReadThread()
{
    // Set before the start, not after: once started, the thread may report an
    // unplug at once and its owner destroy this object from that callback.
    SetPriority(High);
    return Start();
}

void CHIDAdaptor::StopReadThread()
{
    if (IsStarted())
        Stop();
}

void CHIDAdaptor::OnTerminateRequested()
{
    // Runs on the thread asking for the stop: the read loop may be blocked in
    // libusb's event handling, as handler or as waiter.
    SignalCompletion(&m_nLoopExit);
}

void CHIDAdaptor::Close()
{
    // The read thread may be closing the device itself right now: stopping
    // it first (a join, or nothing when it has released itself) orders that.
    StopReadThread();
    CloseHidDevice(&m_HIDDeviceInfo);
}

bool CHIDAdaptor::Run()
{
    pthread_setname_np(pthread_self(), "kyrhid-read");
    libusb_device_handle* pHandle;
    libusb_transfer* pTransfer;
    {
        CKyrLocalSyncObject::Locker lock(m_csWriteLock);
        auto* pExtra = static_cast<HIDExtra*>(m_HIDDeviceInfo.Extra);
        if (pExtra == nullptr)
            return true;
        pHandle = pExtra->handle;
        pExtra->transfer = libusb_alloc_transfer(0);
        pTransfer = pExtra->transfer;
        if (pTransfer == nullptr)
            return true;
        auto* pData = static_cast<unsigned char*>(malloc(kReportSize));
        if (pData == nullptr) {
            libusb_free_transfer(pTransfer);
            pExtra->transfer = nullptr;
            return true;
        }
        libusb_fill_interrupt_transfer(pTransfer, pHandle, InEndpoint(m_HIDDeviceInfo.MI), pData, kReportSize,
                                       &CHIDAdaptor::_OnReceive, this, kReadTimeoutMs);
    }
    m_bDisconnected = false;
    m_bStopping = false;
    m_bReadIdle = false;
    libusb_lock_event_waiters(nullptr);
    m_nLoopExit = 0;
    m_nReadIdle = 0;
    libusb_unlock_event_waiters(nullptr);

    const int nSubmit = libusb_submit_transfer(pTransfer);
    if (nSubmit != LIBUSB_SUCCESS) {
        m_bDisconnected = nSubmit == LIBUSB_ERROR_NO_DEVICE;
        m_bReadIdle = true;
        m_nReadIdle = 1;
    }
    while (!IsSetTerminateThreadFlag() && !m_bReadIdle) {
        const int nResult = HandleEvents(&m_nLoopExit, kReadTimeoutMs);
        // A signal or a wake-up is no reason to stop; a failing event loop is.
        if (nResult < 0 && nResult != LIBUSB_ERROR_INTERRUPTED)
            break;
    }

    // The transfer's memory stays ours until its callback has run for the
    // last time: cancel, and handle events until it reports back. A cancelled
    // transfer may still complete normally, and one resubmitted just before
    // the cancel is cancelled again on the next pass.
    m_bStopping = true;
    CKyrTimer drain;
    while (!m_bReadIdle && drain.GetMiliseconds() < kDrainLimitMs) {
        libusb_cancel_transfer(pTransfer);
        HandleEvents(&m_nReadIdle, 100);
    }

    if (m_bDisconnected && m_HIDNotify.fnOnDisconnect != nullptr) {
        // Released before the call: the owner may close and destroy this
        // adaptor from inside fnOnDisconnect, so nothing of it is touched after.
        FnOnDisconnect fnOnDisconnect = m_HIDNotify.fnOnDisconnect;
        void* pContext = m_HIDNotify.Context;
        CloseThreadHandle();
        fnOnDisconnect(pContext);
        return false;
    }
    CloseHidDevice(&m_HIDDeviceInfo);
    return true;
}

void LIBUSB_CALL CHIDAdaptor::_OnReceive(libusb_transfer* transfer)
{
    auto* pThis = static_cast<CHIDAdaptor*>(transfer->user_data);
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        pThis->OnReceive(transfer->buffer, transfer->actual_length);
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        pThis->m_bStopping = true;
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        pThis->m_bDisconnected = true;
        pThis->m_bStopping = true;
        break;
    default: // error, stall, overflow, timeout: try again
        break;
    }
    if (!pThis->m_bStopping) {
        const int nResult = libusb_submit_transfer(transfer);
        if (nResult == LIBUSB_SUCCESS)
            return;
        // A failed resubmission ends the read loop like an error would; left
        // alone it would leave a handle that silently receives nothing.
        if (nResult == LIBUSB_ERROR_NO_DEVICE)
            pThis->m_bDisconnected = true;
    }
    pThis->m_bReadIdle = true;
    pThis->m_nReadIdle = 1;
    pThis->m_nLoopExit = 1;
}

void CHIDAdaptor::OnReceive(unsigned char* pBuffer, int nBufSize)
{
    if (m_HIDNotify.fnOnReceive != nullptr)
        m_HIDNotify.fnOnReceive(pBuffer, static_cast<unsigned long>(static_cast<long>(nBufSize)),
                                m_HIDNotify.Context);
}

bool CHIDAdaptor::Write(const unsigned char* pBuffer, unsigned long dwBytesToWrite)
{
    CKyrLocalSyncObject::Locker lock(m_csWriteLock);
    if (!IsWritable())
        return false;
    libusb_device_handle* pHandle = static_cast<HIDExtra*>(m_HIDDeviceInfo.Extra)->handle;
    for (unsigned long dwOffset = 0; dwOffset < dwBytesToWrite; dwOffset += kReportSize) {
        const int nLength = static_cast<int>(std::min<unsigned long>(kReportSize, dwBytesToWrite - dwOffset));
        if (!SubmitPiece(pHandle, pBuffer + dwOffset, nLength))
            return false;
    }
    return true;
}

// Each piece travels in its own copy, so the caller's buffer is free again
// when Write returns whatever the backend does with it.
bool CHIDAdaptor::SubmitPiece(libusb_device_handle* pHandle, const unsigned char* pData, int nLength)
{
    libusb_transfer* pTransfer = libusb_alloc_transfer(0);
    auto* pCopy = static_cast<unsigned char*>(malloc(static_cast<size_t>(nLength)));
    if (pTransfer == nullptr || pCopy == nullptr) {
        free(pCopy);
        libusb_free_transfer(pTransfer);
        SetLastError(KYR_ERROR_UNKNOWN);
        return false;
    }
    memcpy(pCopy, pData, static_cast<size_t>(nLength));
    libusb_fill_interrupt_transfer(pTransfer, pHandle, OutEndpoint(m_HIDDeviceInfo.MI), pCopy, nLength,
                                   &CHIDAdaptor::_TransferCb, this, kWriteTimeoutMs);
    pTransfer->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    {
        // Recorded before submission: the callback may run on another thread
        // before libusb_submit_transfer returns.
        std::lock_guard inFlight(m_csInFlight);
        m_InFlightWrites.push_back(pTransfer);
        m_nWritesIdle = 0;
    }
    const int nResult = libusb_submit_transfer(pTransfer);
    if (nResult == LIBUSB_SUCCESS)
        return true;
    {
        std::lock_guard inFlight(m_csInFlight);
        std::erase(m_InFlightWrites, pTransfer);
        m_nWritesIdle = m_InFlightWrites.empty() ? 1 : 0;
    }
    libusb_free_transfer(pTransfer);
    SetLastError(nResult == LIBUSB_ERROR_TIMEOUT ? KYR_ERROR_TIMEOUT : KYR_ERROR_UNKNOWN);
    return false;
}

void LIBUSB_CALL CHIDAdaptor::_TransferCb(libusb_transfer* transfer)
{
    auto* pThis = static_cast<CHIDAdaptor*>(transfer->user_data);
    {
        std::lock_guard inFlight(pThis->m_csInFlight);
        std::erase(pThis->m_InFlightWrites, transfer);
        if (pThis->m_InFlightWrites.empty()) {
            libusb_lock_event_waiters(nullptr);
            pThis->m_nWritesIdle = 1;
            libusb_unlock_event_waiters(nullptr);
        }
    }
    libusb_free_transfer(transfer);
}

// Cancels the writes still in flight and waits for their callbacks, so that
// no transfer outlives the device handle it was submitted on.
void CHIDAdaptor::DrainWrites()
{
    CKyrTimer drain;
    for (;;) {
        {
            std::lock_guard inFlight(m_csInFlight);
            if (m_InFlightWrites.empty())
                return;
            for (libusb_transfer* pTransfer : m_InFlightWrites)
                libusb_cancel_transfer(pTransfer);
        }
        if (drain.GetMiliseconds() >= kDrainLimitMs)
            return;
        HandleEvents(&m_nWritesIdle, 100);
    }
}

// Takes m_csWriteLock itself. Writes are shut out first, then the writes in
// flight drain without the lock held: draining handles events, which may run
// another device's callback on this thread, and that may write here.
void CHIDAdaptor::CloseHidDevice(PHID_DEVICE_INFO pHIDDeviceInfo)
{
    {
        CKyrLocalSyncObject::Locker lock(m_csWriteLock);
        if (pHIDDeviceInfo == nullptr || pHIDDeviceInfo->Extra == nullptr || m_bClosing)
            return;
        m_bClosing = true;
    }
    DrainWrites();
    CKyrLocalSyncObject::Locker lock(m_csWriteLock);
    m_bClosing = false;
    auto* pExtra = static_cast<HIDExtra*>(pHIDDeviceInfo->Extra);
    if (pExtra->transfer != nullptr) {
        free(pExtra->transfer->buffer);
        libusb_free_transfer(pExtra->transfer);
        pExtra->transfer = nullptr;
    }
    if (pExtra->driver_attached) {
        libusb_release_interface(pExtra->handle, pHIDDeviceInfo->MI);
        // Attached even when no driver was bound before: the interface goes
        // back to the system as it would be without us.
        if (libusb_kernel_driver_active(pExtra->handle, pHIDDeviceInfo->MI) == 0)
            libusb_attach_kernel_driver(pExtra->handle, pHIDDeviceInfo->MI);
        pExtra->driver_attached = false;
    }
    libusb_close(pExtra->handle);
    free(pExtra);
    memset(pHIDDeviceInfo, 0, sizeof(*pHIDDeviceInfo));
}

CHID::CHID() : m_pAdaptor(new CHIDAdaptor) {}

CHID::~CHID()
{
    delete m_pAdaptor;
}

int CHID::GetDeviceCount(unsigned short nVendorID, unsigned short nProductID, int nMI)
{
    return m_pAdaptor->GetDeviceCount(nVendorID, nProductID, nMI);
}

PHID_DEVICE_INFO CHID::GetDeviceInfo(unsigned short nVendorID, unsigned short nProductID, int nMI, int nDevIndex)
{
    return m_pAdaptor->GetDeviceInfo(nVendorID, nProductID, nMI, nDevIndex);
}

PHID_DEVICE_INFO CHID::GetDeviceInfo()
{
    return m_pAdaptor->GetDeviceInfo();
}

bool CHID::IsOpenDevice()
{
    return m_pAdaptor->IsOpenDevice();
}

void CHID::SetNotify(PHID_NOTIFY pNotify)
{
    m_pAdaptor->SetNotify(pNotify);
}

bool CHID::Open(unsigned short nVendorID, unsigned short nProductID, int nMI, int nDevIndex)
{
    return m_pAdaptor->Open(nVendorID, nProductID, nMI, nDevIndex);
}

void CHID::Close()
{
    m_pAdaptor->Close();
}

bool CHID::Write(const unsigned char* pBuffer, unsigned long dwBytesToWrite)
{
    return m_pAdaptor->Write(pBuffer, dwBytesToWrite);
}

// Feature reports and the serial-number string are not reachable through
// usbfs interrupt transfers; callers learn so from the last error.
bool CHID::GetFeature(void*, unsigned long)
{
    SetLastError(KYR_ERROR_NOT_SUPPORT);
    return false;
}

bool CHID::SetFeature(void*, unsigned long)
{
    SetLastError(KYR_ERROR_NOT_SUPPORT);
    return false;
}

bool CHID::GetSerialNumberString(void*, unsigned long)
{
    SetLastError(KYR_ERROR_NOT_SUPPORT);
    return false;
}

} // namespace kyr_hid_library
