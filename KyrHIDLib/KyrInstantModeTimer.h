// The instant-mode timer thread of a device handle.
#pragma once

#include <condition_variable>
#include <mutex>

#include "KyrThread.h"

namespace kyr_hid_library {

// One thread per open handle, started by Open and stopped (joined) by the
// handle's teardown and by nobody else; in between, changes of what is due
// reach it through Rearm, never through a stop and a restart.
//
// Time runs in ticks of kTickMs. The owner says how many ticks remain until
// its next due work (or that nothing is due); the thread sleeps that long,
// then reports the ticks that passed.
class CKyrInstantModeTimer : public CKyrThread {
public:
    static constexpr unsigned long kTickMs = 100;
    static constexpr long kNothingDue = -1;

    class ITimer {
    public:
        // Ticks from now until something is due, at least 1, or kNothingDue.
        virtual long TicksUntilDue() = 0;
        // nTicks whole ticks have passed since the last call, or since the
        // last Rearm that restarted the count.
        virtual void OnInstantModeTimer(long nTicks) = 0;

    protected:
        ~ITimer() = default;
    };

    CKyrInstantModeTimer() = default;
    ~CKyrInstantModeTimer() override { Stop(); }

    bool Start(ITimer* pOwner);
    // Asks the thread to ask its owner again what is due. With bRestart the
    // ticks under way are dropped and counting starts from now. Any thread.
    void Rearm(bool bRestart);
    using CKyrThread::Stop;

protected:
    bool Run() override;
    void OnTerminateRequested() override;

private:
    ITimer* m_pOwner = nullptr;
    std::mutex m_csRearm;
    std::condition_variable m_cvRearm;
    bool m_bRearm = false;   // guarded by m_csRearm
    bool m_bRestart = false; // guarded by m_csRearm
};

} // namespace kyr_hid_library
