#include "KyrHandle.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "Include/KyrDeviceIds.h"
#include "KyrConstStr.h"
#include "KyrDeviceBlock.h"
#include "KyrLastError.h"
#include "KyrLog.h"
#include "KyrTimer.h"

namespace kyr_hid_library {

namespace {

constexpr unsigned long kNoFGstValue = ~0UL;
// A mode reaching a slot keeps only the defined bits: all ones in the low 16
// bits would read as a free slot.
constexpr int kDefinedModeBits = 0x3FF;

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

constexpr unsigned long kNoTimeLimit = 0xFFFFFFFFUL;
// A waiting caller that pumps the application's events does so this often.
constexpr auto kPumpInterval = std::chrono::milliseconds(1);
// The letters of the data-mode bits 0 to 9; bit 3 has none.
constexpr char cstrHidModeUChar[10] = {'M', 'C', 'V', '\0', 'O', 'T', 'G', 'D', 'S', 'X'};
// Longest time text of an "instant_mode=" command that carries a gesture value.
constexpr size_t kMaxTimeText = 16;
// Ticks of the instant-mode timer between passes of the download gate, and
// between clean-ups of the slots of dead processes.
constexpr long kGateTicks = 10;
constexpr long kCleanupTicks = 20;

// The expire time of an "instant_mode=" text, read as the device reads it
// (strtol, base 0); false when it is out of range of an int or negative,
// which no device takes as meant.
bool ParseExpireTime(const char* pszTime, int& nTime)
{
    errno = 0;
    const long long llTime = strtoll(pszTime, nullptr, 0);
    if (errno == ERANGE || llTime < 0 || llTime > INT_MAX)
        return false;
    nTime = static_cast<int>(llTime);
    return true;
}

} // namespace

void CWaitQueue::PushWait(int nId)
{
    CKyrLocalSyncObject::Locker lock(m_csWaitIDQueue);
    m_WaitIDQueue.push_back(nId);
}

// Answered ids are not counted: one answer per id stands for any number of
// waiters of that id, until one of them collects it.
bool CWaitQueue::Answer(int nId)
{
    CKyrLocalSyncObject::Locker lock(m_csWaitIDQueue);
    auto it = std::find(m_WaitIDQueue.begin(), m_WaitIDQueue.end(), nId);
    if (it == m_WaitIDQueue.end())
        return false;
    m_WaitIDQueue.erase(it);
    if (std::find(m_RetIDQueue.begin(), m_RetIDQueue.end(), nId) == m_RetIDQueue.end())
        m_RetIDQueue.push_back(nId);
    return true;
}

bool CWaitQueue::Collect(int nId)
{
    CKyrLocalSyncObject::Locker lock(m_csWaitIDQueue);
    auto it = std::find(m_RetIDQueue.begin(), m_RetIDQueue.end(), nId);
    if (it == m_RetIDQueue.end())
        return false;
    m_RetIDQueue.erase(it);
    return true;
}

bool CWaitQueue::Withdraw(int nId)
{
    CKyrLocalSyncObject::Locker lock(m_csWaitIDQueue);
    if (auto it = std::find(m_RetIDQueue.begin(), m_RetIDQueue.end(), nId); it != m_RetIDQueue.end()) {
        m_RetIDQueue.erase(it);
        return true;
    }
    if (auto it = std::find(m_WaitIDQueue.begin(), m_WaitIDQueue.end(), nId); it != m_WaitIDQueue.end())
        m_WaitIDQueue.erase(it);
    return false;
}

bool CWaitQueue::IsWaiting(int nId)
{
    CKyrLocalSyncObject::Locker lock(m_csWaitIDQueue);
    return std::find(m_WaitIDQueue.begin(), m_WaitIDQueue.end(), nId) != m_WaitIDQueue.end();
}

// ---- Lifetime ---------------------------------------------------------------------

CKyrHandle::Inside* CKyrHandle::FindInside()
{
    const std::thread::id self = std::this_thread::get_id();
    for (Inside& inside : m_Inside) {
        if (inside.id == self)
            return &inside;
    }
    return nullptr;
}

bool CKyrHandle::OthersInside()
{
    const std::thread::id self = std::this_thread::get_id();
    return std::any_of(m_Inside.begin(), m_Inside.end(), [&](const Inside& inside) { return inside.id != self; });
}

CKyrHandle::Entry::Entry(CKyrHandle& handle, eEntry eKind) : m_Handle(handle)
{
    std::lock_guard lock(m_Handle.m_csGate);
    m_bEntered = !m_Handle.m_bClosing;
    if (!m_bEntered)
        return;
    Inside* pInside = m_Handle.FindInside();
    if (pInside == nullptr) {
        m_Handle.m_Inside.push_back(Inside{std::this_thread::get_id()});
        pInside = &m_Handle.m_Inside.back();
    }
    ++pInside->nDepth;
    if (eKind == Transport)
        pInside->bTransport = true;
    m_GraphInside.emplace(&m_Handle);
}

CKyrHandle::Entry::~Entry()
{
    if (!m_bEntered)
        return;
    std::lock_guard lock(m_Handle.m_csGate);
    m_GraphInside.reset();
    Inside* pInside = m_Handle.FindInside();
    if (--pInside->nDepth == 0)
        std::erase_if(m_Handle.m_Inside, [&](const Inside& inside) { return &inside == pInside; });
    m_Handle.m_cvGate.notify_all();
}

void CKyrHandle::CloseAndDestroy(CKyrHandle* pHandle)
{
    bool bLater;
    {
        CKyrWaitGraph::Wait wait(CKyrWaitGraph::Wait::Close);
        std::unique_lock lock(pHandle->m_csGate);
        pHandle->m_bClosing = true;
        pHandle->m_bResetWait = true;
        pHandle->m_cvGate.notify_all();
        // A wait that would close a cycle: a failable one in it gives up, or,
        // where all are closes, this one does not wait.
        const bool bWait = wait.Begin(pHandle);
        lock.unlock();
        pHandle->Signal();
        wait.WakeBroken();
        lock.lock();
        // Waiters give up now; notifications under way finish first.
        if (bWait)
            pHandle->m_cvGate.wait(lock, [&] { return !pHandle->OthersInside(); });
        bLater = !bWait || pHandle->FindInside() != nullptr;
    }
    if (!bLater) {
        pHandle->Teardown();
        delete pHandle;
        return;
    }
    try {
        std::thread([pHandle] {
            CLibraryThreadScope libraryWork;
            {
                std::unique_lock lock(pHandle->m_csGate);
                pHandle->m_cvGate.wait(lock, [&] { return pHandle->m_Inside.empty(); });
            }
            pHandle->Teardown();
            delete pHandle;
        }).detach();
    } catch (const std::system_error&) {
        // No thread to finish on: the handle stays closed but is not freed,
        // which beats joining a thread that is still inside.
    }
}

void CKyrHandle::Teardown()
{
    m_InstantModeTimer.Stop();
    m_HID.Close();
    DestroySyncObjects();
    SetNotify(nullptr);
    SetReportTap(nullptr, nullptr);
}

bool CKyrHandle::IsOnTransportThread()
{
    std::lock_guard lock(m_csGate);
    const Inside* pInside = FindInside();
    return pInside != nullptr && pInside->bTransport;
}

void CKyrHandle::SetSendError(int eOtherwise)
{
    SetLastError(m_HID.IsDisconnected() || m_bClosing ? KYR_ERROR_NO_DEVICE : eOtherwise);
}

// One caller's wait. Pass() pumps the application's events when it has a
// pump, then sleeps until the next completion (or about a millisecond with a
// pump), so that a wait never spins.
class CKyrHandle::Waiter {
public:
    Waiter(CKyrHandle& handle, unsigned long dwTimeout) : m_Handle(handle), m_dwTimeout(dwTimeout)
    {
        std::lock_guard lock(m_Handle.m_csWait);
        m_nSeen = m_Handle.m_nWakeups;
    }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Why the wait has to end without its answer now, if it has to.
    std::optional<eWaitEnd> Cut() const
    {
        if (m_Handle.m_bResetWait)
            return m_Handle.m_HID.IsDisconnected() ? eWaitEnd::DeviceGone : eWaitEnd::Closing;
        if (m_dwTimeout != kNoTimeLimit && m_Timer.GetMiliseconds() >= m_dwTimeout)
            return eWaitEnd::TimedOut;
        return std::nullopt;
    }

    void Pass()
    {
        bool bPump = false;
        m_Handle.Notify([&](IKyrHandleNotify& sink) {
            bPump = sink.HandlesEvents();
            if (bPump)
                sink.OnHandleEvents(&m_Handle.m_KyrDevData);
        });
        std::unique_lock lock(m_Handle.m_csWait);
        auto woken = [&] { return m_Handle.m_nWakeups != m_nSeen; };
        if (bPump) {
            m_Handle.m_cvWait.wait_for(lock, kPumpInterval, woken);
        } else if (m_dwTimeout == kNoTimeLimit) {
            m_Handle.m_cvWait.wait(lock, woken);
        } else {
            const unsigned long dwElapsed = m_Timer.GetMiliseconds();
            const unsigned long dwLeft = dwElapsed < m_dwTimeout ? m_dwTimeout - dwElapsed : 0;
            m_Handle.m_cvWait.wait_for(lock, std::chrono::milliseconds(dwLeft), woken);
        }
        m_nSeen = m_Handle.m_nWakeups;
    }

private:
    CKyrHandle& m_Handle;
    const unsigned long m_dwTimeout;
    CKyrTimer m_Timer;
    unsigned m_nSeen;
};

void CKyrHandle::Signal()
{
    {
        std::lock_guard lock(m_csWait);
        ++m_nWakeups;
    }
    m_cvWait.notify_all();
}

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

bool CKyrHandle::SetNotify(std::shared_ptr<IKyrHandleNotify> pNotify)
{
    const IKyrHandleNotify* pNew = pNotify.get();
    std::shared_ptr<IKyrHandleNotify> pOld;
    {
        std::lock_guard lock(m_csNotify);
        pOld = std::exchange(m_pNotify, std::move(pNotify));
    }
    // The application may free what the old table points to once this
    // returns: calls through it still running on other threads end first.
    // Not so from inside a notification, which would wait for itself; the old
    // sink then goes when that call returns. Never under m_csNotify: its
    // destructor may run application code.
    const bool bSwapped = WaitUntilUnshared(pOld);
    if (!bSwapped) {
        // Put back, unless another swap came meanwhile.
        std::lock_guard lock(m_csNotify);
        if (m_pNotify.get() == pNew)
            std::swap(m_pNotify, pOld);
    }
    {
        const std::shared_ptr<IKyrHandleNotify> pNow = GetNotify();
        std::lock_guard lock(m_csInstantMode);
        m_bWatchDownloads = pNow && pNow->WatchesDownloads();
    }
    m_InstantModeTimer.Rearm(false);
    if (!bSwapped)
        SetLastError(KYR_ERROR_NOT_SUPPORT);
    return bSwapped;
}

// A wait of the graph: a close that breaks it to end a cycle ends it too.
template <typename T>
bool CKyrHandle::WaitUntilUnshared(const std::shared_ptr<T>& pOld)
{
    if (!pOld)
        return true;
    CKyrWaitGraph::Wait wait(CKyrWaitGraph::Wait::Failable, [this] {
        std::lock_guard lock(m_csGate);
        m_cvGate.notify_all();
    });
    std::unique_lock lock(m_csGate);
    const Inside* pInside = FindInside();
    if ((pInside != nullptr && pInside->nNotifying > 0) || pOld.use_count() == 1)
        return true;
    if (!wait.Begin(pOld.get()))
        return false;
    m_cvGate.wait(lock, [&] { return pOld.use_count() == 1 || wait.Broken(); });
    return pOld.use_count() == 1;
}

bool CKyrHandle::SetReportTap(FnKyrReportTap fn, void* pContext)
{
    std::shared_ptr<const ReportTap> pNew;
    if (fn != nullptr)
        pNew = std::make_shared<const ReportTap>(ReportTap{fn, pContext});
    const ReportTap* pNewTap = pNew.get();
    std::shared_ptr<const ReportTap> pOld;
    {
        std::lock_guard lock(m_csNotify);
        pOld = std::exchange(m_pTap, std::move(pNew));
        m_bTapped.store(m_pTap != nullptr, std::memory_order_release);
    }
    if (WaitUntilUnshared(pOld))
        return true;
    {
        std::lock_guard lock(m_csNotify);
        if (m_pTap.get() == pNewTap) {
            std::swap(m_pTap, pOld);
            m_bTapped.store(m_pTap != nullptr, std::memory_order_release);
        }
    }
    SetLastError(KYR_ERROR_NOT_SUPPORT);
    return false;
}

void CKyrHandle::Tap(int nDirection, const unsigned char* pReport, unsigned long dwBytes)
{
    if (!m_bTapped.load(std::memory_order_acquire))
        return;
    std::shared_ptr<const ReportTap> pTap;
    {
        std::lock_guard lock(m_csNotify);
        pTap = m_pTap;
    }
    if (!pTap)
        return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long qwNs =
        static_cast<unsigned long long>(now.tv_sec) * 1000000000ULL + static_cast<unsigned long long>(now.tv_nsec);
    // The transport's endpoints follow from the interface number alone.
    const int nBit = 1 << m_KyrDevData.nMI;
    const auto nEndpoint = static_cast<unsigned char>(nDirection == KYR_REPORT_IN ? 0x80 | nBit : nBit);
    AsNotification(
        pTap.get(),
        [&] {
            pTap->fn(m_KyrDevData.pHandle, nDirection, nEndpoint, qwNs, pReport,
                     static_cast<unsigned short>(dwBytes & 0xFFFF), pTap->pContext);
        },
        [&] { pTap.reset(); });
}

bool CKyrHandle::Write(const unsigned char* pBuffer, unsigned long dwBytes)
{
    if (m_bClosing)
        return false;
    // The transport cuts a write into 64-byte transfers; the tap sees those.
    if (m_bTapped.load(std::memory_order_acquire) && m_HID.IsOpenDevice()) {
        for (unsigned long dwOffset = 0; dwOffset < dwBytes; dwOffset += 64)
            Tap(KYR_REPORT_OUT, pBuffer + dwOffset, std::min<unsigned long>(64, dwBytes - dwOffset));
    }
    // A tap call may have closed the handle.
    return !m_bClosing && m_HID.Write(pBuffer, dwBytes);
}

std::shared_ptr<CKyrHandle::IKyrHandleNotify> CKyrHandle::GetNotify()
{
    std::lock_guard lock(m_csNotify);
    return m_pNotify;
}

// Calls fn(sink) outside any lock, holding the sink alive for the call. The
// caller is inside the handle.
template <typename Fn>
void CKyrHandle::Notify(Fn&& fn)
{
    std::shared_ptr<IKyrHandleNotify> pNotify = GetNotify();
    if (!pNotify)
        return;
    AsNotification(pNotify.get(), [&] { fn(*pNotify); }, [&] { pNotify.reset(); });
}

// The closing mark is read under m_csGate, where a close sets it: a call
// that has not started when the close begins does not start. The reference
// is dropped before the thread leaves pTarget: a replacement waiting for it
// is woken by the notification that follows.
template <typename Fn, typename Release>
void CKyrHandle::AsNotification(const void* pTarget, Fn&& fn, Release&& release)
{
    std::optional<CKyrWaitGraph::Inside> inside;
    auto count = [&](int nStep) {
        if (Inside* pInside = FindInside())
            pInside->nNotifying += nStep;
    };
    {
        std::lock_guard lock(m_csGate);
        if (!m_bClosing) {
            inside.emplace(pTarget);
            count(1);
        }
    }
    if (inside) {
        CApplicationScope application;
        fn();
    }
    release();
    std::lock_guard lock(m_csGate);
    if (inside) {
        inside.reset();
        count(-1);
    }
    m_cvGate.notify_all();
}

bool CKyrHandle::Open(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI, int nDevIndex)
{
    if (IsOpen()) {
        SetLastError(KYR_ERROR_ALREADY_OPENED);
        return false;
    }
    // The lookup's own reason stands: no device, no permission (which a
    // udev rule can mend), or no USB context at all.
    KYR_LOG(KYR_LOG_INFO, "open %04x:%04x interface %u index %d", nVendorID, nProductID, nMI, nDevIndex);
    PHID_DEVICE_INFO pInfo = m_HID.GetDeviceInfo(nVendorID, nProductID, nMI, nDevIndex);
    if (pInfo == nullptr) {
        KYR_LOG(KYR_LOG_INFO, "open: device lookup failed: %s", KyrGetErrorName(GetLastError()));
        return false;
    }
    m_KyrDevData.nMI = nMI;
    m_KyrDevData.nVendorID = nVendorID;
    m_KyrDevData.nProductID = nProductID;
    m_KyrDevData.nDevIndex = nDevIndex;
    snprintf(m_KyrDevData.szDevPath, sizeof(m_KyrDevData.szDevPath), "%s", pInfo->DevicePath);
    m_KyrDevData.pHandle = this;

    KYR_LOG(KYR_LOG_INFO, "open: found at %s", m_KyrDevData.szDevPath);
    if (!CreateSyncObjects(&m_KyrDevData)) {
        KYR_LOG(KYR_LOG_INFO, "open: shared state refused: %s", KyrGetErrorName(GetLastError()));
        Teardown();
        return false;
    }
    KYR_LOG(KYR_LOG_INFO, "open: registered in the shared state");
    HID_NOTIFY notify{this, &CKyrHandle::_OnDisconnect, &CKyrHandle::_OnReceive};
    m_HID.SetNotify(&notify);
    SetLastError(KYR_SUCCESS);
    if (!m_HID.Open(nVendorID, nProductID, nMI, nDevIndex)) {
        if (GetLastError() == KYR_SUCCESS)
            SetLastError(KYR_ERROR_NO_DEVICE);
        KYR_LOG(KYR_LOG_INFO, "open: interface not claimed: %s", KyrGetErrorName(GetLastError()));
        Teardown();
        return false;
    }
    int nExpireTime;
    {
        std::lock_guard lock(m_csInstantMode);
        m_bFirmwareDownloading = false;
        nExpireTime = m_nExpireTime;
    }
    if (!m_InstantModeTimer.Start(this)) {
        SetLastError(KYR_ERROR_UNKNOWN);
        Teardown();
        return false;
    }
    ExecTimer(nExpireTime);
    KYR_LOG(KYR_LOG_INFO, "open: %s reading", m_KyrDevData.szDevPath);
    SetLastError(KYR_SUCCESS);
    return true;
}

HID_DEVICE_INFO* CKyrHandle::GetDeviceInfo()
{
    if (m_HID.IsDisconnected()) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return nullptr;
    }
    return m_HID.GetDeviceInfo();
}

void CKyrHandle::_OnReceive(unsigned char* pData, unsigned long dwBytes, void* pContext)
{
    if (pContext == nullptr)
        return;
    auto* pThis = static_cast<CKyrHandle*>(pContext);
    if (Entry entry{*pThis, Transport}) {
        pThis->Tap(KYR_REPORT_IN, pData, dwBytes);
        pThis->OnReceive(pData, dwBytes);
    }
}

void CKyrHandle::_OnDisconnect(void* pContext)
{
    if (pContext == nullptr)
        return;
    auto* pThis = static_cast<CKyrHandle*>(pContext);
    if (Entry entry{*pThis, Transport})
        pThis->OnDisconnect();
}

void CKyrHandle::OnReceive(unsigned char* pData, unsigned long dwBytes)
{
    // One sink for the whole transfer: a replacement takes effect with the
    // next. A close, from fnOnReceiveRawData too, ends the transfer: what is
    // left of it belongs to a closed handle.
    bool bTaken = false;
    auto parse = [&](IKyrHandleNotify* pSink) {
        for (unsigned long dwOffset = 0; dwOffset < dwBytes && !bTaken && !m_bClosing; dwOffset += 64) {
            const unsigned long dwLength = std::min<unsigned long>(64, dwBytes - dwOffset);
            bTaken = pSink != nullptr && pSink->OnReceiveRawData(&m_KyrDevData, pData + dwOffset, dwLength);
            if (!bTaken && !m_bClosing)
                m_pMmPkt->ParsePacket(pData + dwOffset, dwLength);
        }
    };
    bool bNotified = false;
    Notify([&](IKyrHandleNotify& sink) {
        bNotified = true;
        parse(&sink);
    });
    if (!bNotified)
        parse(nullptr);
}

void CKyrHandle::OnDisconnect()
{
    m_bResetWait = true;
    Signal();
    Notify([&](IKyrHandleNotify& sink) { sink.OnDisconnect(&m_KyrDevData); });
}

void CKyrHandle::TPDP_OnPacket(kyrpacket* pPacket, bool bSync)
{
    // Noted before the filter: a client that does not receive command
    // traffic still has its synchronous commands answered.
    m_nDecodingKind = pPacket->type;
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
    // An echo is not an answer: the flag marks the first response only.
    const bool bAnswer = bSync && pPacket->type != kyrtype_cmd;
    Notify([&](IKyrHandleNotify& sink) { sink.TPDP_OnPacket(&m_KyrDevData, pPacket, bAnswer); });
}

bool CKyrHandle::OnCheckSyncResposePacket(int nId)
{
    m_nDecodingKind = -1;
    return m_WaitQueue.IsWaiting(nId);
}

// An echo of the awaited command does not answer it: were it to release the
// caller, the response text would still be on its way and GetResponse would
// race it. The echo is noted instead; the caller is released by the answer,
// or, when the device only echoes, at its time-out with success.
void CKyrHandle::OnCompleteResponsePacket(int nId)
{
    if (m_nDecodingKind == kyrtype_cmd) {
        CKyrLocalSyncObject::Locker lock(m_csSyncResponse);
        m_nEchoedId = nId;
    } else {
        m_WaitQueue.Answer(nId);
    }
    Signal();
}

void CKyrHandle::OnCompleteNoneResponsePacket(unsigned short nId)
{
    {
        CKyrLocalSyncObject::Locker lock(m_csWaitPacketId);
        if (!m_bWaitingPacket || m_nWaitPacketId != nId)
            return;
        m_bWaitingPacket = false;
    }
    Signal();
}

void CKyrHandle::OnFirmwareMode(unsigned short, unsigned short nMode)
{
    m_nFirmwareMode = nMode;
}

bool CKyrHandle::IsFirstDevice(KyrDevData* pDevData)
{
    return IsFirstDeviceOf(m_HID, pDevData->nVendorID, pDevData->nProductID, pDevData->nMI, pDevData->szDevPath);
}

bool CKyrHandle::CreateSyncObjects(KyrDevData* pDevData)
{
    m_nClientID = -1;
    const bool bFirst = IsFirstDevice(pDevData);
    // The block the rule names now becomes the handle's; the one of the other
    // name the device can have is looked at too, since a holder registered
    // under either name holds the device (the fixed names pass between
    // devices as they come and go).
    CKyrSharedMemory other;
    CKyrSharedMemory* pFixed = nullptr;
    if (bFirst || CanTakeFixedNames(pDevData->nVendorID, pDevData->nProductID, pDevData->nMI))
        pFixed = bFirst ? &m_SharedMemory : &other;
    CKyrSharedMemory& path = bFirst ? other : m_SharedMemory;
    for (auto [pShared, bFixed] : {std::pair{&path, false}, std::pair{pFixed, true}}) {
        if (pShared != nullptr && !AttachDeviceBlock(*pShared, bFixed, pDevData->szDevPath)) {
            SetBlockError(*pShared);
            return false;
        }
    }
    OpeningClient client;
    client.dwPid = m_ProcessChecker.GetCurrentProcessId();
    client.pszPath = pDevData->szDevPath;
    client.bFixedNamesNow = bFirst;
    client.nMode = static_cast<short>(m_nInstantMode.load() & kDefinedModeBits);
    {
        // Both locks for each hold, the fixed one first, as every process
        // takes them: an opener of the same device under the other name
        // waits, and no two wait for each other.
        CKyrLocalSyncObject::Locker local(m_csBlock);
        for (OpenHold hold : OpenHolds()) {
            std::optional<CKyrSharedMemory::Locker> lockFixed;
            if (pFixed != nullptr && !lockFixed.emplace(*pFixed).IsLocked()) {
                SetBlockError(*pFixed);
                return false;
            }
            CKyrSharedMemory::Locker lockPath(path);
            if (!lockPath.IsLocked()) {
                SetBlockError(path);
                return false;
            }
            const DeviceBlocks blocks{
                pFixed != nullptr ? static_cast<KyrHandleSharedMemory*>(pFixed->GetMemory()) : nullptr,
                static_cast<KyrHandleSharedMemory*>(path.GetMemory())};
            if (!hold(blocks, client, &CKyrProcessChecker::IsProcessRunning)) {
                SetLastError(client.nError);
                return false;
            }
        }
    }
    if ((client.bInFixed ? pFixed : &path) != &m_SharedMemory)
        m_SharedMemory.Swap(other);
    m_nClientID = client.nSlot;
    m_bCreatedSyncObjects = true;
    return true;
}

void CKyrHandle::DestroySyncObjects()
{
    if (!m_bCreatedSyncObjects) {
        m_SharedMemory.Destroy();
        return;
    }
    // A close waits for the block one bound at most: when the last wait of
    // this handle for it used up its bound (a call's or the timer's, which
    // the close may have waited for), the lock is only tried once (see
    // CKyrSharedMemory::Lock). Unable to reach the block, it marks its slot
    // as left, which the next one to free slots honours, and only unmaps the
    // block.
    bool bReached;
    {
        BlockAccess block(*this);
        bReached = static_cast<bool>(block);
        if (block)
            LeaveBlock(*block.operator->(), m_nClientID, m_ProcessChecker.GetCurrentProcessId());
        else if (auto* pBlock = static_cast<KyrHandleSharedMemory*>(m_SharedMemory.GetMemory()))
            MarkLeft(*pBlock, m_nClientID);
    }
    m_SharedMemory.Destroy(bReached);
    m_nClientID = -1;
    m_bCreatedSyncObjects = false;
}

bool CKyrHandle::GetSyncServerValue(unsigned long dwFGstValue, unsigned long& dwServerFGstValue,
                                    int& nServerInstantMode)
{
    BlockAccess block(*this);
    if (!block || m_nClientID < 0)
        return false;
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
    return true;
}

bool CKyrHandle::IsAvailableControlMode(bool* pbReached)
{
    BlockAccess block(*this);
    if (pbReached != nullptr)
        *pbReached = static_cast<bool>(block);
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
        else if (!block && m_SharedMemory.TimedOut())
            SetLastError(KYR_ERROR_TIMEOUT);
    }
    m_bUseExclusiveApp = bUse;
}


// ---- Command exchange -------------------------------------------------------

int CKyrHandle::SendCommand(const char* szCmd, bool bAsync, unsigned long dwTimeout)
{
    // Every text is held to what one command packet carries, this one too,
    // although it is not sent as it is.
    if (strlen(szCmd) > static_cast<size_t>(CMmPkt::MAX_COMMAND_TEXT)) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return bAsync ? -1 : 0;
    }
    const size_t nPrefix = strlen(cstrInstantModePrefix);
    if (strncmp(szCmd, cstrInstantModePrefix, nPrefix) != 0 || strcmp(szCmd + nPrefix, "?") == 0)
        return InnerSendCommand(szCmd, bAsync, dwTimeout);

    const char* p = szCmd + nPrefix;
    int nMode = 0;
    for (; *p != '\0' && *p != ','; ++p) {
        for (int i = 0; i < 10; ++i) {
            if (cstrHidModeUChar[i] != '\0' && (*p == cstrHidModeUChar[i] || *p == cstrHidModeUChar[i] + 32))
                nMode |= 1 << i;
        }
    }
    int nTimeout = 5000;
    unsigned long dwFgstValue = kNoFGstValue;
    if (*p == ',') {
        const char* pszTime = p + 1;
        const char* pszComma = strchr(pszTime, ',');
        if (pszComma == nullptr) {
            if (!ParseExpireTime(pszTime, nTimeout)) {
                SetLastError(KYR_ERROR_INVALID_PARAMETER);
                return bAsync ? -1 : 0;
            }
        } else {
            // Copied out to be read on its own; a text that does not fit is
            // refused rather than cut or read beyond.
            const size_t nTimeLen = static_cast<size_t>(pszComma - pszTime);
            if (nTimeLen > kMaxTimeText) {
                SetLastError(KYR_ERROR_INVALID_PARAMETER);
                return bAsync ? -1 : 0;
            }
            char szTime[kMaxTimeText + 1] = {};
            memcpy(szTime, pszTime, nTimeLen);
            if (!ParseExpireTime(szTime, nTimeout)) {
                SetLastError(KYR_ERROR_INVALID_PARAMETER);
                return bAsync ? -1 : 0;
            }
            if (pszComma[1] != '\0')
                dwFgstValue = strtoul(pszComma + 1, nullptr, 16);
        }
    }
    // A positive result (1, or the id of the command sent) is returned for a
    // synchronous call too: callers tell an instant-mode request by it.
    const int nResult = SetInstantMode(nMode, nTimeout, dwFgstValue);
    if (nResult > 0)
        return nResult;
    return InnerSendCommand(szCmd, bAsync, dwTimeout);
}

int CKyrHandle::InnerSendCommand(const char* szCmd, bool bAsync, unsigned long dwTimeout)
{
    const int nFailure = bAsync ? -1 : 0;
    if (!IsOpen()) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return nFailure;
    }
    if (!bAsync && IsOnTransportThread()) {
        SetLastError(KYR_ERROR_NOT_SUPPORT);
        return nFailure;
    }
    // Refused before an id is taken: the packet buffer cannot hold it, and a
    // cut command would be a different command.
    const size_t nLength = strlen(szCmd);
    if (nLength > static_cast<size_t>(CMmPkt::MAX_COMMAND_TEXT)) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return nFailure;
    }
    if (!PassDownloadGate())
        return nFailure;
    SetLastError(KYR_SUCCESS);

    unsigned char nCmdId;
    {
        BlockAccess block(*this);
        if (!block) {
            SetBlockError(m_SharedMemory);
            return nFailure;
        }
        int nNext = block->nCmdId + 1;
        if (nNext >= 256)
            nNext = 1;
        block->nCmdId = static_cast<std::uint8_t>(nNext);
        nCmdId = static_cast<unsigned char>(nNext);
    }
    const auto wLen = static_cast<unsigned short>(nLength);
    if (bAsync)
        return AsyncSendCommand(szCmd, wLen, nCmdId) ? nCmdId : -1;
    return SyncSendCommand(szCmd, wLen, nCmdId, dwTimeout) ? 1 : 0;
}

bool CKyrHandle::SyncSendCommand(const char* szCmd, unsigned short wLen, unsigned char nCmdId, unsigned long dwTimeout)
{
    {
        CKyrLocalSyncObject::Locker lock(m_csSyncResponse);
        m_szSyncResponse[0] = '\0';
        m_nSyncResId = 0xFFFF;
    }
    if (!IsOpen()) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return false;
    }
    ArmCommandWait(nCmdId);
    if (!BuildAndWrite(szCmd, wLen, nCmdId)) {
        m_WaitQueue.Withdraw(nCmdId);
        return false;
    }
    switch (WaitForResponse(nCmdId, dwTimeout)) {
    case eWaitEnd::Answered: return true;
    case eWaitEnd::DeviceGone: SetLastError(KYR_ERROR_NO_DEVICE); return false;
    default: SetLastError(KYR_ERROR_TIMEOUT); return false; // also a close meanwhile
    }
}

void CKyrHandle::ArmCommandWait(unsigned char nCmdId)
{
    m_WaitQueue.PushWait(nCmdId);
    CKyrLocalSyncObject::Locker lock(m_csSyncResponse);
    m_nSyncResId = nCmdId;
    m_nEchoedId = -1;
}

bool CKyrHandle::AsyncSendCommand(const char* szCmd, unsigned short wLen, unsigned char nCmdId)
{
    if (!IsOpen()) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return false;
    }
    return BuildAndWrite(szCmd, wLen, nCmdId);
}

// The codec builds every packet in one buffer, and the reports of one packet
// must reach the device in a row: senders on several threads (the
// application's, the timer's) take turns from building to the last report.
bool CKyrHandle::BuildAndWrite(const char* szCmd, unsigned short wLen, unsigned char nCmdId)
{
    std::lock_guard lock(m_csSend);
    int nPacketLength = 0;
    pkt_type* pkt_ptr = m_pMmPkt->MakePacket(szCmd, wLen, nCmdId, nPacketLength);
    if (pkt_ptr == nullptr) {
        SetLastError(KYR_ERROR_UNKNOWN);
        return false;
    }
    if (!WriteHIDPacket(pkt_ptr, nPacketLength)) {
        SetSendError(KYR_ERROR_SEND_FAIL);
        return false;
    }
    return true;
}

// An answer may come long after the echo, so only the time-out ends a wait
// that saw an echo: a device that only echoes has then taken the command,
// which counts as success (without a response text).
CKyrHandle::eWaitEnd CKyrHandle::WaitForResponse(int nWaitID, unsigned long dwTimeout)
{
    Waiter waiter(*this, dwTimeout);
    for (;;) {
        if (const std::optional<eWaitEnd> eCut = waiter.Cut()) {
            // The id leaves both lists in one step: an answer that came since
            // the last look counts, and none stays behind to answer the next
            // command that draws this id.
            if (m_WaitQueue.Withdraw(nWaitID))
                return eWaitEnd::Answered;
            if (*eCut != eWaitEnd::TimedOut)
                return *eCut;
            CKyrLocalSyncObject::Locker lock(m_csSyncResponse);
            return m_nEchoedId == nWaitID ? eWaitEnd::Answered : eWaitEnd::TimedOut;
        }
        if (m_WaitQueue.Collect(nWaitID))
            return eWaitEnd::Answered;
        waiter.Pass();
    }
}

bool CKyrHandle::WriteHIDPacket(pkt_type* pkt_ptr, int pkt_len)
{
    const int nReports = CMmPkt::GetReportCount(pkt_len);
    for (int i = 0; i < nReports; ++i) {
        hid_pkt_type report;
        if (!CMmPkt::MakeReport(pkt_ptr, pkt_len, i, &report) || !Write(reinterpret_cast<unsigned char*>(&report), sizeof(report)))
            return false;
    }
    return true;
}

char* CKyrHandle::GetResponse()
{
    CKyrLocalSyncObject::Locker lock(m_csSyncResponse);
    return m_szSyncResponse[0] != '\0' ? m_szSyncResponse : nullptr;
}

// ---- Instant mode -------------------------------------------------------------

int CKyrHandle::SetInstantMode(int nMode, int nExpireTime, unsigned long dwFGstValue)
{
    if (!IsOpen() || m_nClientID < 0) {
        std::lock_guard lock(m_csInstantMode);
        m_bInstantMode = true;
        m_nInstantMode = nMode;
        m_nExpireTime = nExpireTime;
        SetLastError(KYR_ERROR_NO_DEVICE);
        return 0;
    }
    m_nInstantMode = nMode;
    if (nExpireTime == 0) {
        {
            std::lock_guard lock(m_csInstantMode);
            m_nExpireTime = 0;
        }
        m_InstantModeTimer.Rearm(false);
        return 1;
    }
    // The request is kept even when the block cannot be reached: the
    // keep-alive tries again. But nothing is sent then, since a merged mode
    // that was never read would stop every other client's streams.
    bool bReached = true;
    const bool bControl = IsAvailableControlMode(&bReached);
    unsigned long dwServerFGstValue = kNoFGstValue;
    int nServerInstantMode = 0;
    bool bRestart;
    {
        std::lock_guard lock(m_csInstantMode);
        if (bControl)
            m_bForceFgstValue = true;
        m_bInstantMode = true;
        m_dwFGstValue = dwFGstValue;
        bReached = bReached && GetSyncServerValue(dwFGstValue, dwServerFGstValue, nServerInstantMode);
        bRestart = nExpireTime != m_nExpireTime;
        m_nExpireTime = nExpireTime;
    }
    if (bRestart)
        ExecTimer(nExpireTime);
    else
        m_InstantModeTimer.Rearm(false);
    if (!bReached) {
        SetBlockError(m_SharedMemory);
        return -1;
    }

    char szLetters[11] = {};
    const unsigned nMerged = static_cast<unsigned short>(nServerInstantMode);
    for (int i = 0, n = 0; i < 10 && (nMerged >> i) != 0; ++i) {
        if ((nMerged & (1u << i)) != 0 && cstrHidModeUChar[i] != '\0')
            szLetters[n++] = cstrHidModeUChar[i];
    }
    char szCommand[64];
    if (dwServerFGstValue == kNoFGstValue)
        snprintf(szCommand, sizeof(szCommand), "%s=%s,%d", cstrInstantMode, szLetters, nExpireTime);
    else
        snprintf(szCommand, sizeof(szCommand), "%s=%s,%d,0x%08lx", cstrInstantMode, szLetters, nExpireTime,
                 dwServerFGstValue);
    return InnerSendCommand(szCommand, true, 1000);
}

// Ticks from one keep-alive to the next: 70 % of the expire time.
long CKyrHandle::GetTimeout(int nExpireTime)
{
    return static_cast<long>(static_cast<std::int64_t>(nExpireTime) * 70 / 100 / 100);
}

void CKyrHandle::ExecTimer(int nExpireTime)
{
    {
        std::lock_guard lock(m_csInstantMode);
        m_nTimeoutIdx = 0;
        m_nTimeoutCnt = GetTimeout(nExpireTime);
    }
    m_InstantModeTimer.Rearm(true);
}

namespace {

// The last answer of the process checker, one for all handles.
std::atomic<bool> s_bIsActive{false};

} // namespace

// Due: the keep-alive while instant mode runs with an expire time (0 stops
// it); the gate pass every kGateTicks ticks and the clean-up every
// kCleanupTicks while the keep-alive runs, the handle sees a download, or its
// sink hears of downloads. Otherwise nothing, and the timer sleeps.
bool CKyrHandle::KeepAliveOn() const
{
    return m_bInstantMode && m_nExpireTime != 0;
}

bool CKyrHandle::GatePassDue() const
{
    return KeepAliveOn() || m_bFirmwareDownloading || m_bWatchDownloads;
}

long CKyrHandle::TicksUntilDue()
{
    std::lock_guard lock(m_csInstantMode);
    long nDue = CKyrInstantModeTimer::kNothingDue;
    if (GatePassDue())
        nDue = kGateTicks - m_nTimeoutIdx % kGateTicks;
    if (KeepAliveOn()) {
        const long nKeepAlive = std::max(1L, m_nTimeoutCnt - m_nTimeoutIdx);
        nDue = nDue == CKyrInstantModeTimer::kNothingDue ? nKeepAlive : std::min(nDue, nKeepAlive);
    }
    return nDue;
}

void CKyrHandle::OnInstantModeTimer(long nTicks)
{
    Entry entry(*this, Timer);
    if (!entry)
        return;
    long nFrom, nTo;
    bool bDue, bGate;
    {
        std::lock_guard lock(m_csInstantMode);
        nFrom = m_nTimeoutIdx;
        nTo = m_nTimeoutIdx += nTicks;
        bDue = KeepAliveOn() && m_nTimeoutCnt <= m_nTimeoutIdx;
        if (bDue)
            m_nTimeoutIdx = 0;
        bGate = GatePassDue() && nFrom / kGateTicks != nTo / kGateTicks;
    }
    if (bGate) {
        if (nFrom / kCleanupTicks != nTo / kCleanupTicks) {
            {
                // The checker locks the block on its own: keep this handle's
                // other threads out meanwhile.
                CKyrLocalSyncObject::Locker lock(m_csBlock);
                m_ProcessChecker.VerifyProcessIds();
            }
            if (m_nInstantMode != 0) {
                bool bChanged = false;
                s_bIsActive = m_ProcessChecker.CheckActiveProcess(bChanged);
                if (bChanged)
                    ResendInstantMode();
            }
        }
        PassDownloadGate();
    }
    if (!bDue || !IsAvailableControlMode())
        return;
    {
        std::lock_guard lock(m_csInstantMode);
        m_bForceFgstValue = s_bIsActive;
    }
    ResendInstantMode();
}

void CKyrHandle::ResendInstantMode()
{
    int nMode, nExpireTime;
    unsigned long dwFGstValue;
    {
        std::lock_guard lock(m_csInstantMode);
        if (!m_bInstantMode)
            return;
        nMode = m_nInstantMode;
        nExpireTime = m_nExpireTime;
        dwFGstValue = m_dwFGstValue;
    }
    SetInstantMode(nMode, nExpireTime, dwFGstValue);
}

// ---- Firmware download interlock and queries ----------------------------------

bool CKyrHandle::PassDownloadGate()
{
    CKyrFWDnCheck::eState state = m_FWDnChecker.GetState();
    // Nobody can tell whether a download runs: sending could break one, and
    // claiming one would be a guess too. Refused, and said so.
    if (state == CKyrFWDnCheck::Unknown) {
        SetLastError(KYR_ERROR_UNKNOWN);
        return false;
    }
    bool bStarted = false;
    {
        std::lock_guard lock(m_csInstantMode);
        if (!m_bFirmwareDownloading && state == CKyrFWDnCheck::Downloading) {
            m_bFirmwareDownloading = true;
            bStarted = true;
        }
    }
    if (bStarted) {
        m_InstantModeTimer.Rearm(false);
        SetLastError(KYR_ERROR_FIRMWARE_DOWNLOAD);
        Notify([&](IKyrHandleNotify& sink) { sink.TPDP_OnDownloadingFirmware(&m_KyrDevData, true); });
    }
    bool bDownloading;
    {
        std::lock_guard lock(m_csInstantMode);
        bDownloading = m_bFirmwareDownloading;
    }
    if (bDownloading && m_FWDnChecker.GetState() == CKyrFWDnCheck::NotDownloading) {
        {
            std::lock_guard lock(m_csInstantMode);
            m_bFirmwareDownloading = false;
        }
        ResendInstantMode();
        {
            std::lock_guard lock(m_csInstantMode);
            bDownloading = m_bFirmwareDownloading;
        }
        Notify([&](IKyrHandleNotify& sink) { sink.TPDP_OnDownloadingFirmware(&m_KyrDevData, bDownloading); });
    }
    if (bDownloading) {
        SetLastError(KYR_ERROR_FIRMWARE_DOWNLOAD);
        return false;
    }
    return true;
}

void CKyrHandle::LockFirmwareDownload()
{
    m_bIsLockFirmwareDownload = true;
    if (!m_FWDnChecker.SetDownloadCheck(1))
        SetLastError(KYR_ERROR_UNKNOWN);
}

void CKyrHandle::UnlockFirmwareDownload()
{
    m_bIsLockFirmwareDownload = false;
    if (!m_FWDnChecker.SetDownloadCheck(0))
        SetLastError(KYR_ERROR_UNKNOWN);
}

namespace {

// One query: a zero-filled report holding the packet and its CRC.
hid_pkt_type QueryReport(const byte* pPacket, unsigned short nLength)
{
    hid_pkt_type report;
    memset(&report, 0, sizeof(report));
    report.id = 1;
    report.type = 1;
    report.size = static_cast<byte>(nLength + 2);
    memcpy(report.data, pPacket, nLength);
    CMmPkt::CalcCRC(report.data, nLength);
    return report;
}

hid_pkt_type ShortQuery(unsigned short wPacketId)
{
    const byte packet[4] = {static_cast<byte>(wPacketId & 0xFF), static_cast<byte>(wPacketId >> 8), 0, 0};
    return QueryReport(packet, sizeof(packet));
}

} // namespace

bool CKyrHandle::QueryFirmwareMode(unsigned short wAddr, unsigned long dwTimeout)
{
    const hid_pkt_type report = ShortQuery(static_cast<unsigned short>(wAddr | IAP_PKT_MODE));
    return SendBuffer(reinterpret_cast<const unsigned char*>(&report), sizeof(report), false, dwTimeout);
}

bool CKyrHandle::QueryIapFirmwareVersion(unsigned short wAddr, bool bAsync, unsigned long dwTimeout)
{
    const hid_pkt_type report = ShortQuery(static_cast<unsigned short>(wAddr | IAP_PKT_VER));
    return SendBuffer(reinterpret_cast<const unsigned char*>(&report), sizeof(report), bAsync, dwTimeout);
}

bool CKyrHandle::QueryAppFirmwareVersion(unsigned short wAddr, bool bAsync, unsigned long dwTimeout)
{
    byte packet[31] = {};
    const auto wPacketId = static_cast<unsigned short>(wAddr | PKT_VER);
    packet[0] = static_cast<byte>(wPacketId & 0xFF);
    packet[1] = static_cast<byte>(wPacketId >> 8);
    const hid_pkt_type report = QueryReport(packet, sizeof(packet));
    return SendBuffer(reinterpret_cast<const unsigned char*>(&report), sizeof(report), bAsync, dwTimeout);
}

bool CKyrHandle::QueryFirmwareVersion(unsigned short wAddr, int* pnMode, bool bAsync, unsigned long dwTimeout)
{
    m_nFirmwareMode = 0;
    if (!QueryFirmwareMode(wAddr, dwTimeout)) {
        *pnMode = m_nFirmwareMode;
        return false;
    }
    *pnMode = m_nFirmwareMode;
    if ((*pnMode & ~2) == 1)
        return QueryIapFirmwareVersion(wAddr, bAsync, dwTimeout);
    return QueryAppFirmwareVersion(wAddr, bAsync, dwTimeout);
}

// ---- Raw buffers ----------------------------------------------------------------

bool CKyrHandle::SendBuffer(const unsigned char* pBuffer, unsigned long dwBufferSize, bool bAsync,
                            unsigned long dwTimeout)
{
    // Without bytes 3 and 4 there is no packet id to wait for, and an empty
    // buffer is no report at all.
    if (dwBufferSize == 0 || (!bAsync && dwBufferSize < 5)) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!IsOpen()) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return false;
    }
    if (!bAsync && IsOnTransportThread()) {
        SetLastError(KYR_ERROR_NOT_SUPPORT);
        return false;
    }
    if (!m_bIsLockFirmwareDownload && !PassDownloadGate())
        return false;
    SetLastError(KYR_SUCCESS);
    if (bAsync) {
        if (Write(pBuffer, dwBufferSize))
            return true;
        SetSendError(GetLastError());
        return false;
    }

    const auto wPacketId = static_cast<unsigned short>(pBuffer[3] | (pBuffer[4] << 8));
    if (!ArmPacketWait(wPacketId)) {
        SetLastError(KYR_ERROR_DEVICE_BUSY);
        return false;
    }
    if (!Write(pBuffer, dwBufferSize)) {
        DisarmPacketWait();
        SetSendError(GetLastError());
        return false;
    }
    Waiter waiter(*this, dwTimeout);
    for (;;) {
        if (const std::optional<eWaitEnd> eCut = waiter.Cut()) {
            if (!DisarmPacketWait())
                return true; // answered since the last look
            // A time-out or a close leaves success: the result tells.
            if (*eCut == eWaitEnd::DeviceGone)
                SetLastError(KYR_ERROR_NO_DEVICE);
            return false;
        }
        if (!IsPacketWaitArmed())
            return true;
        waiter.Pass();
    }
}

bool CKyrHandle::ArmPacketWait(unsigned short wPacketId)
{
    CKyrLocalSyncObject::Locker lock(m_csWaitPacketId);
    if (m_bWaitingPacket)
        return false;
    m_nWaitPacketId = wPacketId;
    m_bWaitingPacket = true;
    return true;
}

bool CKyrHandle::IsPacketWaitArmed()
{
    CKyrLocalSyncObject::Locker lock(m_csWaitPacketId);
    return m_bWaitingPacket;
}

bool CKyrHandle::DisarmPacketWait()
{
    CKyrLocalSyncObject::Locker lock(m_csWaitPacketId);
    return std::exchange(m_bWaitingPacket, false);
}

} // namespace kyr_hid_library
