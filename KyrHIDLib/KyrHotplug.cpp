// Hotplug callbacks: one library thread applies, in order, what the platform
// monitor reports and what registrations ask for, and calls the callbacks
// with no lock held.
//
// Order is what keeps each device reported once: the thread keeps the table
// of present devices, and a registration takes effect as a job in the same
// queue as the devices' arrivals and departures. A device in the table when
// the job runs is enumerated to it; one arriving later comes as an event.
#include "Include/KyrHIDLib.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Include/HID.h"
#include "KyrHotplugMonitor.h"
#include "KyrLastError.h"
#include "KyrProcessOwned.h"
#include "KyrThread.h"
#include "KyrWaitGraph.h"

namespace kyr_hid_library {

namespace {

// Which thread is the delivery thread: callbacks run there, so a call made
// from a callback must neither wait for the queue nor for a running callback.
thread_local bool tls_bDelivering = false;

struct Registration {
    int nHandle = 0;
    unsigned short wVendorID = 0;
    unsigned short wProductID = 0;
    unsigned short wMI = 0;
    int nEvents = 0;
    bool bEnumerate = false;
    FnKyrHotplug fn = nullptr;
    void* pContext = nullptr;
    // The next three are guarded by CKyrHotplug::m_csState.
    bool bRegistered = true; // cleared by deregistration; no call starts after that
    bool bSettled = false;   // its job has run (and the enumeration with it)
    int nRunning = 0;        // calls in progress (more than one when nested)
};

struct Job {
    enum Kind { Arrived, Left, Activate };
    Kind eKind;
    HotplugDevice device{};                     // Arrived
    unsigned long long qwKey = 0;               // Left
    std::shared_ptr<Registration> pRegistration; // Activate
};

bool MatchesId(unsigned short wWanted, unsigned short wActual)
{
    return wWanted == KYR_HOTPLUG_MATCH_ANY || wWanted == wActual;
}

class CKyrHotplug final : public CKyrThread, private CKyrHotplugMonitor::ISink {
public:
    // Created at first use; destroyed at unload by the process that created
    // it, never by a forked child (the monitor and libusb context go with it).
    static CKyrHotplug& Instance()
    {
        static CKyrProcessOwned<CKyrHotplug> s_Hotplug;
        return *s_Hotplug;
    }

    // At unload: the callbacks go, a running one is waited for (unless the
    // process ends from inside it), and the threads end.
    ~CKyrHotplug() override;

    bool Register(const std::shared_ptr<Registration>& pRegistration, int* pnHandle);
    bool Deregister(int nHandle);

private:
    enum State { Idle, Running, Ending };

    friend class CKyrProcessOwned<CKyrHotplug>;
    CKyrHotplug() = default;

    bool Run() override;
    void OnDeviceArrived(const HotplugDevice& device) override;
    void OnDeviceLeft(unsigned long long qwKey) override;

    // Starts the monitor and the thread; m_csLife held, m_csState not.
    bool StartLocked(std::unique_lock<std::mutex>& lock);
    // Each of these runs on the delivery thread with m_csState held through
    // lock, and releases it around every callback.
    void Deliver(std::unique_lock<std::mutex>& lock, Job& job);
    void Activate(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Registration>& pRegistration);
    void ReportToAll(std::unique_lock<std::mutex>& lock, const HotplugDevice& device, int nEvent);
    void Report(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Registration>& pRegistration,
                const HotplugDevice& device, int nEvent);
    void DropLocked(const std::shared_ptr<Registration>& pRegistration);

    // Serialises starting the thread. Lock order: m_csLife, then m_csState;
    // the delivery thread never takes m_csLife, so a starter may wait for an
    // ending thread.
    std::mutex m_csLife;
    std::mutex m_csState;
    std::condition_variable m_cvState; // any change of the state below
    State m_eState = Idle;             // guarded by m_csState
    bool m_bShutdown = false;          // guarded by m_csState; set at unload
    int m_nNextHandle = 1;             // guarded by m_csState
    // By handle, which is registration order, the order of delivery.
    std::map<int, std::shared_ptr<Registration>> m_Registrations; // guarded by m_csState
    std::deque<Job> m_Jobs;                                        // guarded by m_csState
    std::vector<HotplugDevice> m_Present; // guarded by m_csState; in arrival order
    // Created by a starter while Idle, destroyed by the thread when it ends
    // (or at unload): one owner at a time, handed over under m_csState.
    std::unique_ptr<CKyrHotplugMonitor> m_pMonitor; // guarded by m_csState
};

CKyrHotplug::~CKyrHotplug()
{
    {
        std::lock_guard lock(m_csState);
        for (auto& [nHandle, pRegistration] : m_Registrations)
            pRegistration->bRegistered = false;
        m_Registrations.clear();
        m_bShutdown = true;
    }
    m_cvState.notify_all();
    // Joins, which waits for a running callback; the thread takes the monitor
    // down on its way out. On the delivery thread itself (exit() from a
    // callback) it lets the thread go instead, and the monitor goes with the
    // members.
    Stop();
}

void CKyrHotplug::OnDeviceArrived(const HotplugDevice& device)
{
    {
        std::lock_guard lock(m_csState);
        m_Jobs.push_back(Job{Job::Arrived, device, 0, nullptr});
    }
    m_cvState.notify_all();
}

void CKyrHotplug::OnDeviceLeft(unsigned long long qwKey)
{
    {
        std::lock_guard lock(m_csState);
        m_Jobs.push_back(Job{Job::Left, {}, qwKey, nullptr});
    }
    m_cvState.notify_all();
}

bool CKyrHotplug::StartLocked(std::unique_lock<std::mutex>& lock)
{
    // The thread of the last run has nothing left to do but return. Joined
    // before m_csState is taken, which it may still need for that.
    Stop();
    auto pMonitor = std::make_unique<CKyrHotplugMonitor>(static_cast<CKyrHotplugMonitor::ISink*>(this));
    std::vector<HotplugDevice> present;
    if (!pMonitor->Start(present))
        return false;
    lock.lock();
    m_Present = std::move(present);
    m_pMonitor = std::move(pMonitor);
    m_eState = Running;
    if (Start())
        return true;
    m_eState = Idle;
    m_Jobs.clear();
    m_Present.clear();
    pMonitor = std::move(m_pMonitor);
    lock.unlock();
    return false;
}

bool CKyrHotplug::Register(const std::shared_ptr<Registration>& pRegistration, int* pnHandle)
{
    // The enumeration waits for the delivery thread to reach its job, behind
    // a running callback that may be waiting for the caller: a wait of the
    // graph on the dispatcher, ended under no lock (see Deregister).
    CKyrWaitGraph::Wait wait(CKyrWaitGraph::Wait::Failable, [this] {
        std::lock_guard lock(m_csState);
        m_cvState.notify_all();
    });
    std::unique_lock lock(m_csState);
    if (m_eState != Running) {
        // Only ever on an application thread: while a callback runs, the
        // state is Running.
        lock.unlock();
        std::lock_guard life(m_csLife);
        lock.lock();
        m_cvState.wait(lock, [this] { return m_eState != Ending; });
        if (m_eState == Idle) {
            lock.unlock();
            if (!StartLocked(lock)) {
                SetLastError(KYR_ERROR_UNKNOWN);
                return false;
            }
        }
    }
    const bool bWait = !tls_bDelivering && pRegistration->bEnumerate;
    if (bWait && !wait.Begin(this)) {
        SetLastError(KYR_ERROR_NOT_SUPPORT);
        return false;
    }
    pRegistration->nHandle = m_nNextHandle++;
    *pnHandle = pRegistration->nHandle;
    m_Registrations[pRegistration->nHandle] = pRegistration;
    if (tls_bDelivering) {
        // The queue cannot be waited for from its own thread; the table is
        // as of the event being delivered, and what is queued behind it
        // comes as events.
        Activate(lock, pRegistration);
    } else {
        m_Jobs.push_back(Job{Job::Activate, {}, 0, pRegistration});
        m_cvState.notify_all();
        if (bWait) {
            auto done = [&] { return pRegistration->bSettled || !pRegistration->bRegistered; };
            m_cvState.wait(lock, [&] { return done() || wait.Broken(); });
            if (!done()) {
                // Its job finds it gone and reports nothing.
                DropLocked(pRegistration);
                SetLastError(KYR_ERROR_NOT_SUPPORT);
                return false;
            }
        }
    }
    // Set last: callbacks run meanwhile may have left their own codes.
    SetLastError(KYR_SUCCESS);
    return true;
}

bool CKyrHotplug::Deregister(int nHandle)
{
    // Ended under no lock: a close that breaks the wait wakes it under
    // m_csState.
    CKyrWaitGraph::Wait wait(CKyrWaitGraph::Wait::Failable, [this] {
        std::lock_guard lock(m_csState);
        m_cvState.notify_all();
    });
    std::unique_lock lock(m_csState);
    const auto it = m_Registrations.find(nHandle);
    if (it == m_Registrations.end()) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::shared_ptr<Registration> pRegistration = it->second;
    // On the delivery thread a running call is the caller's own, or one it
    // is nested in: waiting would never end. Elsewhere the running call may
    // be waiting for the caller (a callback closing the handle whose
    // callback deregisters): then it stays registered.
    const bool bWait = !tls_bDelivering && pRegistration->nRunning > 0;
    if (bWait && !wait.Begin(pRegistration.get())) {
        SetLastError(KYR_ERROR_NOT_SUPPORT);
        return false;
    }
    DropLocked(pRegistration);
    m_cvState.notify_all();
    if (bWait) {
        m_cvState.wait(lock, [&] { return pRegistration->nRunning == 0 || wait.Broken(); });
        if (pRegistration->nRunning > 0) {
            pRegistration->bRegistered = true;
            m_Registrations[nHandle] = pRegistration;
            SetLastError(KYR_ERROR_NOT_SUPPORT);
            return false;
        }
    }
    SetLastError(KYR_SUCCESS);
    return true;
}

void CKyrHotplug::DropLocked(const std::shared_ptr<Registration>& pRegistration)
{
    pRegistration->bRegistered = false;
    m_Registrations.erase(pRegistration->nHandle);
}

bool CKyrHotplug::Run()
{
    SetCurrentThreadName("kyrhid-hotplug");
    tls_bDelivering = true;
    std::unique_lock lock(m_csState);
    for (;;) {
        m_cvState.wait(lock, [this] { return !m_Jobs.empty() || m_Registrations.empty() || m_bShutdown; });
        if (m_Registrations.empty() || m_bShutdown)
            break;
        Job job = std::move(m_Jobs.front());
        m_Jobs.pop_front();
        Deliver(lock, job);
    }
    // Nobody is left to tell: the watch ends with the thread, and a new
    // registration starts both afresh.
    m_eState = Ending;
    std::unique_ptr<CKyrHotplugMonitor> pMonitor = std::move(m_pMonitor);
    lock.unlock();
    pMonitor.reset();
    lock.lock();
    m_Jobs.clear();
    m_Present.clear();
    m_eState = Idle;
    lock.unlock();
    m_cvState.notify_all();
    tls_bDelivering = false;
    return true;
}

void CKyrHotplug::Deliver(std::unique_lock<std::mutex>& lock, Job& job)
{
    switch (job.eKind) {
    case Job::Arrived:
        for (const HotplugDevice& device : m_Present) {
            if (device.qwKey == job.device.qwKey)
                return;
        }
        m_Present.push_back(job.device);
        ReportToAll(lock, job.device, KYR_HOTPLUG_ARRIVED);
        break;
    case Job::Left:
        for (auto it = m_Present.begin(); it != m_Present.end(); ++it) {
            if (it->qwKey == job.qwKey) {
                const HotplugDevice device = std::move(*it);
                m_Present.erase(it);
                ReportToAll(lock, device, KYR_HOTPLUG_LEFT);
                return;
            }
        }
        break;
    case Job::Activate: Activate(lock, job.pRegistration); break;
    }
}

void CKyrHotplug::Activate(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Registration>& pRegistration)
{
    if (pRegistration->bRegistered && pRegistration->bEnumerate &&
        (pRegistration->nEvents & KYR_HOTPLUG_ARRIVED) != 0) {
        // A copy: a callback may register others, which read the table too.
        const std::vector<HotplugDevice> present = m_Present;
        for (const HotplugDevice& device : present) {
            if (!pRegistration->bRegistered)
                break;
            Report(lock, pRegistration, device, KYR_HOTPLUG_ARRIVED);
        }
    }
    pRegistration->bSettled = true;
    m_cvState.notify_all();
}

void CKyrHotplug::ReportToAll(std::unique_lock<std::mutex>& lock, const HotplugDevice& device, int nEvent)
{
    // Those registered when the event is delivered, settled ones only: the
    // job of a later one is still queued behind this event.
    std::vector<std::shared_ptr<Registration>> registrations;
    for (const auto& [nHandle, pRegistration] : m_Registrations) {
        if (pRegistration->bSettled && (pRegistration->nEvents & nEvent) != 0)
            registrations.push_back(pRegistration);
    }
    for (const auto& pRegistration : registrations)
        Report(lock, pRegistration, device, nEvent);
}

// One call per matching interface, while the callback stays registered.
void CKyrHotplug::Report(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Registration>& pRegistration,
                         const HotplugDevice& device, int nEvent)
{
    if (!MatchesId(pRegistration->wVendorID, device.wVendorID) ||
        !MatchesId(pRegistration->wProductID, device.wProductID))
        return;
    for (size_t nMI = 0; nMI < device.deviceIndices.size(); ++nMI) {
        if (!MatchesId(pRegistration->wMI, static_cast<unsigned short>(nMI)))
            continue;
        if (!pRegistration->bRegistered)
            return;
        HID_DEVICE_INFO info;
        memset(&info, 0, sizeof(info));
        snprintf(info.DevicePath, sizeof(info.DevicePath), "%04x:%04x:%02x", static_cast<unsigned>(device.nBus),
                 static_cast<unsigned>(device.nAddress), static_cast<unsigned>(nMI));
        info.VendorID = device.wVendorID;
        info.ProductID = device.wProductID;
        info.MI = static_cast<unsigned short>(nMI);
        info.DeviceIndex = device.deviceIndices[nMI];

        ++pRegistration->nRunning;
        lock.unlock();
        int nResult;
        {
            CKyrWaitGraph::Inside dispatching(this);
            CKyrWaitGraph::Inside inside(pRegistration.get());
            CApplicationScope application;
            nResult = pRegistration->fn(&info, nEvent, pRegistration->pContext);
        }
        lock.lock();
        --pRegistration->nRunning;
        if (nResult != 0 && pRegistration->bRegistered)
            DropLocked(pRegistration);
        m_cvState.notify_all();
        if (nResult != 0)
            return;
    }
}

} // namespace

} // namespace kyr_hid_library

using namespace kyr_hid_library;

extern "C" {

KYR_API int KyrRegisterHotplugCallback(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                                       int nEvents, int nFlags, FnKyrHotplug fn, void* pContext, int* pnHandle)
{
    constexpr int kAllEvents = KYR_HOTPLUG_ARRIVED | KYR_HOTPLUG_LEFT;
    if (fn == nullptr || pnHandle == nullptr || nEvents == 0 || (nEvents & ~kAllEvents) != 0 ||
        (nFlags & ~KYR_HOTPLUG_ENUMERATE) != 0) {
        SetLastError(KYR_ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto pRegistration = std::make_shared<Registration>();
    pRegistration->wVendorID = nVendorID;
    pRegistration->wProductID = nProductID;
    pRegistration->wMI = nMI;
    pRegistration->nEvents = nEvents;
    pRegistration->bEnumerate = (nFlags & KYR_HOTPLUG_ENUMERATE) != 0;
    pRegistration->fn = fn;
    pRegistration->pContext = pContext;
    return CKyrHotplug::Instance().Register(pRegistration, pnHandle) ? 1 : 0;
}

KYR_API int KyrDeregisterHotplugCallback(int nHandle)
{
    return CKyrHotplug::Instance().Deregister(nHandle) ? 1 : 0;
}

} // extern "C"
