// Stopwatch in milliseconds.
#pragma once

namespace kyr_hid_library {

struct CKyrTimerData;

class CKyrTimer {
public:
    CKyrTimer(); // starts timing
    ~CKyrTimer();
    CKyrTimer(const CKyrTimer&) = delete;
    CKyrTimer& operator=(const CKyrTimer&) = delete;

    void Reset();
    // Milliseconds since construction or the last Reset. Monotonic: a step of
    // the system clock neither fires nor stretches a timeout measured with it.
    unsigned long GetMiliseconds() const;

private:
    CKyrTimerData* m_pData;
};

} // namespace kyr_hid_library
