#include "KyrInstantModeTimer.h"

#include <pthread.h>

#include <atomic>

#include "KyrTimer.h"

namespace kyr_hid_library {

namespace {

thread_local const CKyrInstantModeTimer* tls_pRunningTimer = nullptr;

} // namespace

bool CKyrInstantModeTimer::Start(ITimer* pOwner, int nInterval)
{
    m_pOwner = pOwner;
    m_nInterval = nInterval;
    SetPriority(High);
    return CKyrThread::Start();
}

bool CKyrInstantModeTimer::IsTimerThread() const
{
    return tls_pRunningTimer == this;
}

// Sleeps until the next tick, or until a stop request, instead of polling.
// A tick comes one interval after the previous one began, plus the time the
// wake-up takes; the handler's own running time counts toward the interval.
bool CKyrInstantModeTimer::Run()
{
    tls_pRunningTimer = this;
    pthread_setname_np(pthread_self(), "kyrhid-timer");
    CKyrTimer stopwatch;
    for (;;) {
        const unsigned long dwElapsed = stopwatch.GetMiliseconds();
        const unsigned long dwInterval = static_cast<unsigned long>(m_nInterval);
        if (dwElapsed <= dwInterval) {
            if (WaitForTerminate(dwInterval - dwElapsed + 1))
                break;
            continue;
        }
        stopwatch.Reset();
        m_pOwner->OnInstantModeTimer();
        if (IsSetTerminateThreadFlag())
            break;
    }
    tls_pRunningTimer = nullptr;
    return true;
}

} // namespace kyr_hid_library
