// A thread that calls a function at a fixed period until stopped; the
// building block of models that stream on their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace kyrsim {

class CPeriodicTimer {
public:
    CPeriodicTimer() = default;
    CPeriodicTimer(const CPeriodicTimer&) = delete;
    CPeriodicTimer& operator=(const CPeriodicTimer&) = delete;
    ~CPeriodicTimer() { Stop(); }

    /// Ticks are scheduled on absolute deadlines so that a slow tick does not
    /// shift the ones after it; missed ticks are not made up.
    void Start(std::chrono::microseconds period, std::function<void()> fnTick)
    {
        Stop();
        m_thread = std::jthread([this, period, fnTick = std::move(fnTick)](std::stop_token stop) {
            auto next = std::chrono::steady_clock::now() + period;
            std::unique_lock lock(m_mutex);
            for (;;) {
                m_cv.wait_until(lock, stop, next, [] { return false; });
                if (stop.stop_requested())
                    break;
                lock.unlock();
                fnTick();
                lock.lock();
                next += period;
                const auto now = std::chrono::steady_clock::now();
                if (next < now)
                    next = now + period;
            }
        });
    }

    void Stop()
    {
        if (m_thread.joinable()) {
            m_thread.request_stop();
            m_thread.join();
        }
    }

private:
    std::mutex m_mutex;  // only pairs with m_cv; no state of its own
    std::condition_variable_any m_cv;
    std::jthread m_thread;
};

}  // namespace kyrsim
