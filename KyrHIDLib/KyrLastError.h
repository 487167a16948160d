// Access to the process-wide last error from inside the library.
//
// g_nLastError stays a plain exported int so that C callers can read it
// directly, but the library's own threads write it too; every access from the
// library goes through atomic_ref so that those accesses are free of data
// races. Relaxed order: the value carries no other data with it.
#pragma once

#include <atomic>

#include "Include/KyrHIDLib.h"

namespace kyr_hid_library {

inline void SetLastError(int nError) noexcept
{
    std::atomic_ref<int>(g_nLastError).store(nError, std::memory_order_relaxed);
}

inline int GetLastError() noexcept
{
    return std::atomic_ref<int>(g_nLastError).load(std::memory_order_relaxed);
}

} // namespace kyr_hid_library
