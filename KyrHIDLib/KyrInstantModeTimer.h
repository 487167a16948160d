// The instant-mode tick thread of a device handle.
#pragma once

#include "KyrThread.h"

namespace kyr_hid_library {

class CKyrInstantModeTimer : public CKyrThread {
public:
    class ITimer {
    public:
        virtual void OnInstantModeTimer() = 0;

    protected:
        ~ITimer() = default;
    };

    CKyrInstantModeTimer() = default;
    ~CKyrInstantModeTimer() override { Stop(); }

    bool Start(ITimer* pOwner, int nInterval);
    using CKyrThread::Stop;
    // Whether the calling thread is this timer's thread (which cannot stop
    // itself by joining).
    bool IsTimerThread() const;

protected:
    bool Run() override;

private:
    int m_nInterval = 100;
    ITimer* m_pOwner = nullptr;
};

} // namespace kyr_hid_library
