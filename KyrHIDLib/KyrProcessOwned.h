// Library state that lives from its first use to unload, torn down at unload
// only by the process that set it up.
//
// A child of fork() inherits copies of that state as the parent's threads left
// it at the fork: locks held, waits under way, threads that do not exist in
// the child. Joining those threads, destroying those locks or calling
// libusb_exit there would hang or abort the child's exit, so the child leaves
// the object alone.
//
// The object lives in place, in the holder's (static) storage, which stays
// valid after the teardown: a thread still on its way out of the object when
// the process ends (exit() from a callback) finds no freed memory.
#pragma once

#include <new>
#include <utility>

#include "KyrProcessChecker.h"

namespace kyr_hid_library {

template <typename T>
class CKyrProcessOwned {
public:
    template <typename... Args>
    explicit CKyrProcessOwned(Args&&... args)
        : m_dwOwner(CKyrProcessChecker::GetCurrentProcessId()),
          m_pObject(new (m_Storage) T(std::forward<Args>(args)...))
    {
    }
    ~CKyrProcessOwned()
    {
        if (CKyrProcessChecker::GetCurrentProcessId() == m_dwOwner)
            m_pObject->~T();
    }
    CKyrProcessOwned(const CKyrProcessOwned&) = delete;
    CKyrProcessOwned& operator=(const CKyrProcessOwned&) = delete;

    T& operator*() const { return *m_pObject; }
    T* operator->() const { return m_pObject; }

private:
    const unsigned long m_dwOwner;
    alignas(T) unsigned char m_Storage[sizeof(T)];
    T* const m_pObject;
};

} // namespace kyr_hid_library
