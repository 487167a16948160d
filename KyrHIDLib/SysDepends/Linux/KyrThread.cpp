#include "KyrThread.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>

#include "KyrLastError.h"

namespace kyr_hid_library {

namespace {

// Who disposes of one created thread. Shared by the owner object and the
// thread itself, so that the thread can settle its own end after Run() even
// when the owner has been destroyed meanwhile. The first of Stop (join),
// CloseThreadHandle (detach), a Run() returning false (detach) or the owner's
// destructor (detach) moves it out of Owned; nobody else touches the handle.
struct ThreadControl : std::enable_shared_from_this<ThreadControl> {
    enum State { Owned, Joining, Detached };

    explicit ThreadControl(const CKyrThread* pOwner) : m_pOwner(pOwner) {}

    const CKyrThread* const m_pOwner;
    std::mutex m_Mutex;
    State m_State = Owned; // guarded by m_Mutex
    pthread_t m_Thread{};  // guarded by m_Mutex; set before anyone can read it
};

struct ThreadStart {
    std::shared_ptr<ThreadControl> m_pControl;
    CKyrThread* m_pThis;
    CKyrThreadData* m_pData;
};

// The control block of the thread running the current Run(), so that a
// worker that outlived a restart of its object still settles its own end,
// not that of its successor.
thread_local ThreadControl* tls_pControl = nullptr;

} // namespace

struct CKyrThreadData {
    std::atomic<size_t> m_nThreadID{0};

    mutable std::mutex m_csTerminate;
    mutable std::condition_variable m_cvTerminate;
    bool m_bTerminateThread = false; // guarded by m_csTerminate

    // The thread last created. Lock order: m_csControl, then the block's own.
    mutable std::mutex m_csControl;
    std::shared_ptr<ThreadControl> m_pControl; // guarded by m_csControl
    pthread_attr_t m_ThreadAttr;
};

CKyrThread::CKyrThread() : m_pData(new CKyrThreadData)
{
    pthread_attr_init(&m_pData->m_ThreadAttr);
    SetPriority(Normal);
}

CKyrThread::~CKyrThread()
{
    CloseThreadHandle();
    pthread_attr_destroy(&m_pData->m_ThreadAttr);
    delete m_pData;
}

void* CKyrThread::_Thread(void* pArg)
{
    std::unique_ptr<ThreadStart> pStart(static_cast<ThreadStart*>(pArg));
    tls_pControl = pStart->m_pControl.get();
    pStart->m_pData->m_nThreadID.store(static_cast<size_t>(pthread_self()), std::memory_order_relaxed);

    // After Run() the owner may be gone: only the control block is used.
    bool bJoinable;
    {
        CLibraryThreadScope libraryWork;
        bJoinable = pStart->m_pThis->Run();
    }
    std::shared_ptr<ThreadControl> pControl = std::move(pStart->m_pControl);
    pStart.reset();
    tls_pControl = nullptr;
    if (!bJoinable) {
        std::lock_guard lock(pControl->m_Mutex);
        if (pControl->m_State == ThreadControl::Owned) {
            pthread_detach(pthread_self());
            pControl->m_State = ThreadControl::Detached;
        }
    }
    return nullptr;
}

bool CKyrThread::Start()
{
    if (IsStarted())
        Stop();
    {
        std::lock_guard lock(m_pData->m_csTerminate);
        m_pData->m_bTerminateThread = false;
    }
    auto pControl = std::make_shared<ThreadControl>(this);
    auto* pStart = new ThreadStart{pControl, this, m_pData};
    std::lock_guard lockControl(m_pData->m_csControl);
    // Held across creation so that a thread releasing itself at once finds
    // its handle already recorded.
    std::lock_guard lock(pControl->m_Mutex);
    if (pthread_create(&pControl->m_Thread, &m_pData->m_ThreadAttr, &CKyrThread::_Thread, pStart) != 0) {
        delete pStart;
        m_pData->m_pControl.reset();
        return false;
    }
    m_pData->m_pControl = std::move(pControl);
    return true;
}

// The thread that calls, when it is one of this object's, else the thread
// last started.
static std::shared_ptr<ThreadControl> CurrentControl(const CKyrThread* pThis, CKyrThreadData* pData)
{
    // Locked on both paths: a worker that releases itself and destroys its
    // owner at once must not overtake Start, which still holds the lock.
    std::lock_guard lock(pData->m_csControl);
    if (tls_pControl != nullptr && tls_pControl->m_pOwner == pThis)
        return tls_pControl->shared_from_this();
    return pData->m_pControl;
}

void CKyrThread::Stop()
{
    auto pControl = CurrentControl(this, m_pData);
    if (!pControl)
        return;
    pthread_t thread;
    bool bJoin = false;
    {
        std::lock_guard lock(pControl->m_Mutex);
        if (pControl->m_State != ThreadControl::Owned)
            return;
        thread = pControl->m_Thread;
        bJoin = !pthread_equal(thread, pthread_self());
        if (bJoin) {
            pControl->m_State = ThreadControl::Joining;
        } else {
            // Joining oneself would deadlock: let the thread end detached.
            pthread_detach(thread);
            pControl->m_State = ThreadControl::Detached;
        }
    }
    SetTerminateThreadFlag();
    if (bJoin)
        pthread_join(thread, nullptr);
}

bool CKyrThread::IsStarted() const
{
    auto pControl = CurrentControl(this, m_pData);
    if (!pControl)
        return false;
    std::lock_guard lock(pControl->m_Mutex);
    return pControl->m_State == ThreadControl::Owned;
}

void CKyrThread::SetTerminateThreadFlag()
{
    {
        std::lock_guard lock(m_pData->m_csTerminate);
        m_pData->m_bTerminateThread = true;
    }
    m_pData->m_cvTerminate.notify_all();
    OnTerminateRequested();
}

bool CKyrThread::IsSetTerminateThreadFlag() const
{
    std::lock_guard lock(m_pData->m_csTerminate);
    return m_pData->m_bTerminateThread;
}

bool CKyrThread::WaitForTerminate(unsigned long dwMiliseconds) const
{
    std::unique_lock lock(m_pData->m_csTerminate);
    return m_pData->m_cvTerminate.wait_for(lock, std::chrono::milliseconds(dwMiliseconds),
                                           [this] { return m_pData->m_bTerminateThread; });
}

void CKyrThread::SetCurrentThreadName(const char* pszName)
{
    pthread_setname_np(pthread_self(), pszName);
}

void CKyrThread::SetPriority(ePriority priority)
{
    int nPolicy = SCHED_OTHER;
    pthread_attr_getschedpolicy(&m_pData->m_ThreadAttr, &nPolicy);
    const int nMin = sched_get_priority_min(nPolicy);
    const int nMax = sched_get_priority_max(nPolicy);
    sched_param param{};
    switch (priority) {
    case Low: param.sched_priority = nMin; break;
    case Normal: param.sched_priority = (nMin + nMax) / 2; break;
    case High: param.sched_priority = nMax; break;
    default: param.sched_priority = 0; break;
    }
    pthread_attr_setschedpolicy(&m_pData->m_ThreadAttr, nPolicy);
    pthread_attr_setschedparam(&m_pData->m_ThreadAttr, &param);
    pthread_attr_setinheritsched(&m_pData->m_ThreadAttr, PTHREAD_EXPLICIT_SCHED);
}

void CKyrThread::CloseThreadHandle()
{
    auto pControl = CurrentControl(this, m_pData);
    if (!pControl)
        return;
    std::lock_guard lock(pControl->m_Mutex);
    if (pControl->m_State == ThreadControl::Owned) {
        pthread_detach(pControl->m_Thread);
        pControl->m_State = ThreadControl::Detached;
    }
}

} // namespace kyr_hid_library
