// A one-shot gate for tests that park a thread at a chosen point: the parked
// thread arrives and waits; the test waits for the arrival, acts, releases.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kyrtest {

class Latch {
public:
    explicit Latch(std::chrono::milliseconds patience = std::chrono::seconds(10)) : m_Patience(patience) {}

    void Arrive()
    {
        std::unique_lock lock(m_Mutex);
        m_bArrived = true;
        m_Cv.notify_all();
        m_Cv.wait(lock, [&] { return m_bReleased; });
    }
    // False when nobody arrived within the patience.
    bool WaitArrived()
    {
        std::unique_lock lock(m_Mutex);
        return m_Cv.wait_for(lock, m_Patience, [&] { return m_bArrived; });
    }
    void Release()
    {
        std::lock_guard lock(m_Mutex);
        m_bReleased = true;
        m_Cv.notify_all();
    }

private:
    const std::chrono::milliseconds m_Patience;
    std::mutex m_Mutex;
    std::condition_variable m_Cv;
    bool m_bArrived = false;
    bool m_bReleased = false;
};

} // namespace kyrtest
