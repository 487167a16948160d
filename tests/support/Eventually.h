// Polling for a condition another thread or process brings about.
#pragma once

#include <chrono>
#include <thread>

namespace kyrtest {

// Polls until pred holds; the bound only ends a wait that a loaded machine
// stretches, it judges nothing.
template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds patience = std::chrono::seconds(30))
{
    for (const auto deadline = std::chrono::steady_clock::now() + patience; !pred();) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace kyrtest
