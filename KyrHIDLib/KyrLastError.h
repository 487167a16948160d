// Access to the process-wide last error from inside the library.
//
// The rule: g_nLastError is the application's. It holds what the last
// exported call of an application thread left there, and nothing else writes
// it: the library's own threads (read, timer, hotplug, a deferred teardown)
// run inside a CLibraryThreadScope, set once at each thread's entry, which
// gives SetLastError and GetLastError a value of that thread instead. Every
// call into the application (callbacks, the report tap, the log callback)
// runs inside a CApplicationScope, which suspends the thread's scope, so an
// exported call made from a callback reports to the application as on any
// other thread.
//
// g_nLastError stays a plain exported int so that C callers can read it
// directly; application threads write it concurrently, so every access from
// the library goes through atomic_ref. Relaxed order: the value carries no
// other data with it.
#pragma once

#include <atomic>

#include "Include/KyrHIDLib.h"

namespace kyr_hid_library {

namespace detail {
// The calling thread's own last error while it does library work; null on
// application threads and inside calls into the application.
inline thread_local int* tl_pLibraryError = nullptr;
} // namespace detail

class CLibraryThreadScope {
public:
    CLibraryThreadScope() noexcept : m_pOuter(detail::tl_pLibraryError) { detail::tl_pLibraryError = &m_nError; }
    ~CLibraryThreadScope() { detail::tl_pLibraryError = m_pOuter; }
    CLibraryThreadScope(const CLibraryThreadScope&) = delete;
    CLibraryThreadScope& operator=(const CLibraryThreadScope&) = delete;

private:
    int m_nError = KYR_SUCCESS;
    int* m_pOuter;
};

class CApplicationScope {
public:
    CApplicationScope() noexcept : m_pOuter(detail::tl_pLibraryError) { detail::tl_pLibraryError = nullptr; }
    ~CApplicationScope() { detail::tl_pLibraryError = m_pOuter; }
    CApplicationScope(const CApplicationScope&) = delete;
    CApplicationScope& operator=(const CApplicationScope&) = delete;

private:
    int* m_pOuter;
};

inline void SetLastError(int nError) noexcept
{
    if (int* pOwn = detail::tl_pLibraryError)
        *pOwn = nError;
    else
        std::atomic_ref<int>(g_nLastError).store(nError, std::memory_order_relaxed);
}

inline int GetLastError() noexcept
{
    if (const int* pOwn = detail::tl_pLibraryError)
        return *pOwn;
    return std::atomic_ref<int>(g_nLastError).load(std::memory_order_relaxed);
}

} // namespace kyr_hid_library
