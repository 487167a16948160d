#include "KyrInstantModeTimer.h"

#include <pthread.h>

#include <chrono>

namespace kyr_hid_library {

bool CKyrInstantModeTimer::Start(ITimer* pOwner)
{
    m_pOwner = pOwner;
    {
        std::lock_guard lock(m_csRearm);
        m_bRearm = false;
        m_bRestart = false;
    }
    SetPriority(High);
    return CKyrThread::Start();
}

void CKyrInstantModeTimer::Rearm(bool bRestart)
{
    {
        std::lock_guard lock(m_csRearm);
        m_bRearm = true;
        m_bRestart = m_bRestart || bRestart;
    }
    m_cvRearm.notify_all();
}

void CKyrInstantModeTimer::OnTerminateRequested()
{
    // Under the lock, so that a thread between its check and its wait
    // cannot miss the wake-up.
    { std::lock_guard lock(m_csRearm); }
    m_cvRearm.notify_all();
}

// Ticks keep their cadence from the last restart: a wake-up for a Rearm
// reports the whole ticks that passed and sleeps on to the next tick edge.
bool CKyrInstantModeTimer::Run()
{
    using Clock = std::chrono::steady_clock;
    pthread_setname_np(pthread_self(), "kyrhid-timer");
    const auto tick = std::chrono::milliseconds(kTickMs);
    Clock::time_point last = Clock::now();
    std::unique_lock lock(m_csRearm);
    auto woken = [&] { return m_bRearm || IsSetTerminateThreadFlag(); };
    while (!IsSetTerminateThreadFlag()) {
        if (m_bRestart) {
            m_bRestart = false;
            last = Clock::now();
        }
        m_bRearm = false;
        lock.unlock();
        const long nDue = m_pOwner->TicksUntilDue();
        lock.lock();
        if (nDue == kNothingDue)
            m_cvRearm.wait(lock, woken);
        else
            m_cvRearm.wait_until(lock, last + nDue * tick, woken);
        if (IsSetTerminateThreadFlag())
            break;
        if (m_bRestart)
            continue;
        const long nPassed = static_cast<long>((Clock::now() - last) / tick);
        if (nPassed == 0)
            continue;
        last += nPassed * tick;
        lock.unlock();
        m_pOwner->OnInstantModeTimer(nPassed);
        lock.lock();
    }
    return true;
}

} // namespace kyr_hid_library
