// USB transport over libusb-1.0: enumeration, the read thread and writes.
//
// Each open device runs on a libusb context of its own, whose events only its
// read thread handles (and, once that thread has been joined, the thread
// closing the device). So a slow application callback of one device never
// stalls another device's transfers or close, every completion of a device
// runs on its own read thread, and a transfer is freed only after its
// callback has run: draining waits for that, with no time limit. libusb's
// default context, set up at load, serves enumeration only.
#include "Include/HID.h"

#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "KyrLastError.h"
#include "KyrLog.h"
#include "KyrLocalSyncObject.h"
#include "KyrProcessOwned.h"
#include "KyrThread.h"
#include "KyrTimer.h"

namespace kyr_hid_library {

namespace {

// libusb's default context, for enumeration. Set up at load; an init that
// failed there (it can, under load, when the system refuses an event fd or
// thread) is tried again at each use, and the call fails until one succeeds.
class CHIDInitializer {
public:
    CHIDInitializer() { Ensure(); }
    ~CHIDInitializer()
    {
        if (m_bReady)
            libusb_exit(nullptr);
    }

    bool Ensure()
    {
        std::lock_guard lock(m_Mutex);
        if (!m_bReady && libusb_init(nullptr) == LIBUSB_SUCCESS) {
            libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
            m_bReady = true;
        }
        return m_bReady;
    }

private:
    std::mutex m_Mutex;
    bool m_bReady = false; // guarded by m_Mutex
};

// Released at unload, by the process that set it up only.
CKyrProcessOwned<CHIDInitializer> s_HIDInit;

struct HIDExtra {
    libusb_device_handle* handle;
    libusb_transfer* transfer; // the read thread's transfer, null until it runs
    bool driver_attached;      // closing releases the interface and restores the kernel driver
};

// Owns a device list of one context for one walk.
class DeviceList {
public:
    explicit DeviceList(libusb_context* pContext) : m_nCount(libusb_get_device_list(pContext, &m_ppList)) {}
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

struct UsbLocation {
    uint8_t nBus;
    uint8_t nAddress;
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
// How often a drain cancels again what is still in flight: a transfer
// resubmitted, or submitted, just after a cancel needs another one.
constexpr unsigned long kDrainPassMs = 100;

// Endpoint addresses follow from the interface number alone.
unsigned char InEndpoint(int nMI)
{
    return static_cast<unsigned char>(0x80 + (1 << nMI));
}

unsigned char OutEndpoint(int nMI)
{
    return static_cast<unsigned char>(1 << nMI);
}

// One pass of a context's event loop. A libusb_interrupt_event_handler
// issued before the pass is not lost: it ends the pass at once.
int HandleEvents(libusb_context* pContext, unsigned long dwMiliseconds)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(dwMiliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((dwMiliseconds % 1000) * 1000);
    return libusb_handle_events_timeout_completed(pContext, &tv, nullptr);
}

// Whether an event pass failed for good (a signal or a wake-up is no reason).
bool EventsFailed(int nResult)
{
    return nResult < 0 && nResult != LIBUSB_ERROR_INTERRUPTED && nResult != LIBUSB_ERROR_TIMEOUT;
}

int LastErrorOfOpen(int nUsbError)
{
    switch (nUsbError) {
    case LIBUSB_ERROR_ACCESS: return KYR_ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_NO_DEVICE: return KYR_ERROR_NO_DEVICE;
    default: return KYR_ERROR_UNKNOWN;
    }
}

// Where the nDevIndex-th match of the default context's list is attached.
std::optional<UsbLocation> LocateDevice(unsigned short nVendorID, unsigned short nProductID, int nMI, int nDevIndex)
{
    if (!s_HIDInit->Ensure())
        return std::nullopt;
    DeviceList list(nullptr);
    int nMatch = 0;
    for (libusb_device* pDevice : list) {
        if (Matches(pDevice, nVendorID, nProductID, nMI) && nMatch++ == nDevIndex)
            return UsbLocation{libusb_get_bus_number(pDevice), libusb_get_device_address(pDevice)};
    }
    return std::nullopt;
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
    bool IsDisconnected() const { return m_bDisconnected; }

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
    // Selects the nDevIndex-th match on pContext into m_HIDDeviceInfo, or,
    // with pAt, the match at that bus and address, and opens it there.
    PHID_DEVICE_INFO Select(libusb_context* pContext, unsigned short nVendorID, unsigned short nProductID, int nMI,
                            int nDevIndex, const UsbLocation* pAt = nullptr);
    bool IsOpenDeviceLocked() const;
    bool IsWritable() const;
    bool SubmitPiece(libusb_device_handle* pHandle, const unsigned char* pData, int nLength);
    bool DrainWrites();

    HID_NOTIFY m_HIDNotify; // changed only while no read thread runs
    // Changed only while no read thread runs; guarded by m_csWriteLock
    // against writers.
    HID_DEVICE_INFO m_HIDDeviceInfo;
    // The open device's own context, from Open to Close; null while closed
    // and for a record selected by GetDeviceInfo on the default context.
    libusb_context* m_pContext = nullptr;
    // Serialises writes, and orders closing the device against a write on
    // another thread.
    CKyrLocalSyncObject m_csWriteLock;
    bool m_bClosing = false; // guarded by m_csWriteLock; writes refused while set
    std::atomic<bool> m_bDisconnected{false};

    // The read transfer's state: written by _OnReceive on the read thread,
    // read by the read thread, so only the stop request crosses threads.
    bool m_bStopping = false; // no resubmission from here on
    bool m_bReadIdle = false; // the callback ran and did not resubmit

    // Write transfers submitted and not yet called back.
    std::mutex m_csInFlight;
    std::vector<libusb_transfer*> m_InFlightWrites; // guarded by m_csInFlight
};

int CHIDAdaptor::GetDeviceCount(unsigned short nVendorID, unsigned short nProductID, int nMI)
{
    if (!s_HIDInit->Ensure())
        return 0;
    DeviceList list(nullptr);
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
    if (!s_HIDInit->Ensure()) {
        SetLastError(KYR_ERROR_UNKNOWN);
        return nullptr;
    }
    return Select(nullptr, nVendorID, nProductID, nMI, nDevIndex);
}

PHID_DEVICE_INFO CHIDAdaptor::Select(libusb_context* pContext, unsigned short nVendorID, unsigned short nProductID,
                                     int nMI, int nDevIndex, const UsbLocation* pAt)
{
    memset(&m_HIDDeviceInfo, 0, sizeof(m_HIDDeviceInfo));
    DeviceList list(pContext);
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
        const bool bThere = pAt != nullptr && libusb_get_bus_number(pDevice) == pAt->nBus &&
                            libusb_get_device_address(pDevice) == pAt->nAddress;
        if (bThere || (pAt == nullptr && nMatch == nDevIndex)) {
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
        KYR_LOG_USB("libusb_open", nResult);
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
    Close();
    if (const int nInit = libusb_init(&m_pContext); nInit != LIBUSB_SUCCESS) {
        KYR_LOG_USB("libusb_init", nInit);
        m_pContext = nullptr;
        SetLastError(KYR_ERROR_UNKNOWN);
        return false;
    }
    libusb_set_option(m_pContext, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
    m_bDisconnected = false;
    // An index is a place in the default context's list, where enumeration
    // counts. A context made now lists devices in the system's scan order,
    // which differs from a long-lived list once devices have come and gone,
    // so the device is found here by its bus and address.
    const std::optional<UsbLocation> location = LocateDevice(nVendorID, nProductID, nMI, nDevIndex);
    if (!location) {
        Close();
        SetLastError(KYR_ERROR_NO_DEVICE);
        return false;
    }
    if (Select(m_pContext, nVendorID, nProductID, nMI, nDevIndex, &*location) == nullptr) {
        Close();
        return false;
    }
    if (!OpenHidDevice(&m_HIDDeviceInfo)) {
        Close();
        return false;
    }
    // Without a read thread nothing would ever arrive: that is a failed open.
    if (!StartReadThread()) {
        Close();
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
    if (nClaim != LIBUSB_SUCCESS)
        KYR_LOG_USB("libusb_claim_interface", nClaim);
    else
        KYR_LOG(KYR_LOG_INFO, "%s: interface %d claimed", pHIDDeviceInfo->DevicePath, nMI);
    // Set whether or not the claim worked: closing then always gives the
    // interface back to the kernel driver, after a refused claim too.
    pExtra->driver_attached = true;
    return nClaim == LIBUSB_SUCCESS;
}

bool CHIDAdaptor::StartReadThread()
{
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
    // The read loop may be blocked in the context's event handling.
    if (m_pContext != nullptr)
        libusb_interrupt_event_handler(m_pContext);
}

// The read thread is always joined here, never released: it may have ended
// on its own (unplug, event error), and then the join returns at once.
void CHIDAdaptor::Close()
{
    StopReadThread();
    CloseHidDevice(&m_HIDDeviceInfo);
    if (m_pContext != nullptr) {
        libusb_exit(m_pContext);
        m_pContext = nullptr;
    }
}

bool CHIDAdaptor::Run()
{
    pthread_setname_np(pthread_self(), "kyrhid-read");
    libusb_transfer* pTransfer;
    {
        CKyrLocalSyncObject::Locker lock(m_csWriteLock);
        auto* pExtra = static_cast<HIDExtra*>(m_HIDDeviceInfo.Extra);
        if (pExtra == nullptr)
            return true;
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
        libusb_fill_interrupt_transfer(pTransfer, pExtra->handle, InEndpoint(m_HIDDeviceInfo.MI), pData,
                                       kReportSize, &CHIDAdaptor::_OnReceive, this, kReadTimeoutMs);
    }
    m_bStopping = false;
    m_bReadIdle = false;
    const int nSubmit = libusb_submit_transfer(pTransfer);
    if (nSubmit != LIBUSB_SUCCESS) {
        KYR_LOG_USB("libusb_submit_transfer (read)", nSubmit);
        m_bDisconnected = nSubmit == LIBUSB_ERROR_NO_DEVICE;
        m_bReadIdle = true;
    }
    bool bEventsFailed = false;
    while (!IsSetTerminateThreadFlag() && !m_bReadIdle) {
        if (EventsFailed(HandleEvents(m_pContext, kReadTimeoutMs))) {
            bEventsFailed = true;
            break;
        }
    }

    // The transfer's memory stays ours until its callback has run for the
    // last time: cancel, and handle events until it reports back. A cancelled
    // transfer may still complete normally, and one resubmitted just before
    // the cancel is cancelled again on the next pass.
    m_bStopping = true;
    while (!m_bReadIdle && !bEventsFailed) {
        libusb_cancel_transfer(pTransfer);
        bEventsFailed = EventsFailed(HandleEvents(m_pContext, kDrainPassMs));
    }
    if (!m_bReadIdle) {
        // Events can no longer be handled, so the callback may still come:
        // the transfer is given up rather than freed under it.
        CKyrLocalSyncObject::Locker lock(m_csWriteLock);
        if (auto* pExtra = static_cast<HIDExtra*>(m_HIDDeviceInfo.Extra))
            pExtra->transfer = nullptr;
    }

    // An owner told of the unplug keeps the device open until it closes,
    // which joins this thread. Nobody to tell, or no events to handle: the
    // device is closed here, under the write lock's closing mark, so that a
    // writer on another thread finds it closed rather than half gone.
    if (m_bDisconnected && m_HIDNotify.fnOnDisconnect != nullptr)
        m_HIDNotify.fnOnDisconnect(m_HIDNotify.Context);
    else if (m_bDisconnected || bEventsFailed)
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
        if (transfer->status != LIBUSB_TRANSFER_TIMED_OUT)
            KYR_LOG(KYR_LOG_ERROR, "read transfer ended with %s; reading on", libusb_error_name(transfer->status));
        break;
    }
    if (!pThis->m_bStopping) {
        const int nResult = libusb_submit_transfer(transfer);
        if (nResult == LIBUSB_SUCCESS)
            return;
        KYR_LOG_USB("libusb_submit_transfer (read again)", nResult);
        // A failed resubmission ends the read loop like an error would; left
        // alone it would leave a handle that silently receives nothing.
        if (nResult == LIBUSB_ERROR_NO_DEVICE)
            pThis->m_bDisconnected = true;
    }
    pThis->m_bReadIdle = true;
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
        // Recorded before submission: the callback may run on the read thread
        // before libusb_submit_transfer returns.
        std::lock_guard inFlight(m_csInFlight);
        m_InFlightWrites.push_back(pTransfer);
    }
    const int nResult = libusb_submit_transfer(pTransfer);
    if (nResult == LIBUSB_SUCCESS)
        return true;
    {
        std::lock_guard inFlight(m_csInFlight);
        std::erase(m_InFlightWrites, pTransfer);
    }
    libusb_free_transfer(pTransfer);
    KYR_LOG_USB("libusb_submit_transfer (write)", nResult);
    switch (nResult) {
    case LIBUSB_ERROR_NO_DEVICE:
        m_bDisconnected = true;
        SetLastError(KYR_ERROR_NO_DEVICE);
        break;
    case LIBUSB_ERROR_TIMEOUT: SetLastError(KYR_ERROR_TIMEOUT); break;
    default: SetLastError(KYR_ERROR_UNKNOWN); break;
    }
    return false;
}

void LIBUSB_CALL CHIDAdaptor::_TransferCb(libusb_transfer* transfer)
{
    auto* pThis = static_cast<CHIDAdaptor*>(transfer->user_data);
    {
        std::lock_guard inFlight(pThis->m_csInFlight);
        std::erase(pThis->m_InFlightWrites, transfer);
    }
    libusb_free_transfer(transfer);
}

// Cancels the writes still in flight and handles events until each callback
// has run, so that no transfer outlives the device handle it was submitted
// on. Runs after the read thread has been joined, as the context's only
// event handler. False when events can no longer be handled: the transfers
// left are then given up, not freed.
bool CHIDAdaptor::DrainWrites()
{
    for (;;) {
        {
            std::lock_guard inFlight(m_csInFlight);
            if (m_InFlightWrites.empty())
                return true;
            for (libusb_transfer* pTransfer : m_InFlightWrites)
                libusb_cancel_transfer(pTransfer);
        }
        if (EventsFailed(HandleEvents(m_pContext, kDrainPassMs))) {
            std::lock_guard inFlight(m_csInFlight);
            m_InFlightWrites.clear();
            return false;
        }
    }
}

// The closing mark shuts writers out, and nobody else changes the record
// while it is set, so the libusb calls run without the write lock: they take
// libusb's event lock, which the read thread holds while its callbacks take
// the write lock.
void CHIDAdaptor::CloseHidDevice(PHID_DEVICE_INFO pHIDDeviceInfo)
{
    {
        CKyrLocalSyncObject::Locker lock(m_csWriteLock);
        if (pHIDDeviceInfo == nullptr || pHIDDeviceInfo->Extra == nullptr || m_bClosing)
            return;
        m_bClosing = true;
    }
    // A record selected on the default context has no transfers.
    const bool bDrained = m_pContext == nullptr || DrainWrites();
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
    // Closing frees what the transfers still in flight point to.
    if (bDrained)
        libusb_close(pExtra->handle);
    CKyrLocalSyncObject::Locker lock(m_csWriteLock);
    free(pExtra);
    memset(pHIDDeviceInfo, 0, sizeof(*pHIDDeviceInfo));
    m_bClosing = false;
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

bool CHID::EnsureEnumerationContext()
{
    return s_HIDInit->Ensure();
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

bool CHID::IsDisconnected() const
{
    return m_pAdaptor->IsDisconnected();
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
