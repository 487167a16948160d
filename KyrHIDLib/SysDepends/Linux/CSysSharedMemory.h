// A System V shared-memory segment named by a key file
// ("<temporary directory>qipc_sharedmemory_<key>", ftok project id 81), with a
// CSysSemaphore as its cross-process lock.
//
// The first user of a segment initialises its contents while it still holds
// the lock of the creating step; the last process to detach removes the
// segment, its key file and the lock with them. Attach, detach and the
// creation steps run under the lock, so they never interleave between
// processes.
//
// Lifetime of the lock: that of the block. Whoever created the semaphore may
// leave while others still use the block; removing it then would let a newcomer
// make a second semaphore and hold "the" lock beside a process that holds the
// first.
//
// No internal locking of the members: one object is driven by one thread at a
// time, except that the lock flag may be tested from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>

#include "CSysSemaphore.h"

class CSysSharedMemory {
public:
    enum eAccessMode {
        AM_ReadOnly = 0,
        AM_ReadWrite = 1,
    };

    CSysSharedMemory();
    virtual ~CSysSharedMemory();
    CSysSharedMemory(const CSysSharedMemory&) = delete;
    CSysSharedMemory& operator=(const CSysSharedMemory&) = delete;

    // Finds or creates the segment pSharedMemoryKey of at least tSize bytes,
    // locked by the semaphore pSyncLockKey, and attaches it. bInit is true only
    // when this call created the memory's key file or the segment (first user:
    // the contents are zeros and want initialising), false on every other path,
    // failures included. fnInit, when given, is called with the mapped memory
    // in that case before the lock is released, so that no other process ever
    // sees the block uninitialised.
    bool Create(const char* pSyncLockKey, const char* pSharedMemoryKey, long tSize, bool& bInit, eAccessMode eMode,
                const std::function<void(void*)>& fnInit = nullptr);
    // The last process to detach removes the segment, its key file and its
    // lock. Without bWait the lock is tried once; when it is taken the
    // segment is only unmapped.
    bool Detach(bool bWait = true);
    // Equal key: nothing. Otherwise detaches and stores the new key (none for a
    // null or empty string).
    void SetKey(const char* pKey);

    // Holding is per object, not per thread: a second Lock on an object that
    // holds the lock returns true at once, and one Unlock releases it.
    // Without bWait the lock is tried once.
    bool Lock(bool bWait = true);
    bool Unlock();
    // Whether the last Lock (or the lock step of Create) failed because the
    // lock stayed taken beyond its bound.
    bool LockTimedOut() const { return m_bLockTimedOut; }

    void* GetData() { return m_pSharedMemory; }
    const void* GetConstData() const { return m_pSharedMemory; }
    bool IsAttached() const { return m_pSharedMemory != nullptr; }
    // Size of the attached segment as the system reports it; 0 when detached.
    size_t GetSize() const { return m_nSharedMemorySize; }

protected:
    key_t GetHandle();
    void ClearnHandle() { m_tKey = 0; }
    bool InitKey();
    int CreateUnixKeyFile(const char* pFileName);
    bool MakeFileName(const char* pKey, const char* pPrefix, char* pFileName);
    bool p_Attach(eAccessMode eMode);
    bool p_Detach();
    // Under the lock: removes it when no segment is left for it to guard
    // (the removal gives up the hold).
    void RemoveLockWithoutBlock(key_t tKey);

private:
    std::unique_ptr<char[]> m_pszKey; // null when no key is set
    key_t m_tKey = 0;
    void* m_pSharedMemory = nullptr;
    size_t m_nSharedMemorySize = 0;
    std::atomic<bool> m_bLocked {false};
    std::atomic<bool> m_bLockTimedOut {false};
    CSysSemaphore m_SysSemaphore;
};

class CSysSharedMemoryLocker {
public:
    explicit CSysSharedMemoryLocker(CSysSharedMemory* pShm) : m_pShm(pShm) {}
    ~CSysSharedMemoryLocker()
    {
        if (m_bTaken)
            m_pShm->Unlock();
    }
    CSysSharedMemoryLocker(const CSysSharedMemoryLocker&) = delete;
    CSysSharedMemoryLocker& operator=(const CSysSharedMemoryLocker&) = delete;

    bool Lock(bool bWait = true)
    {
        if (!m_bTaken)
            m_bTaken = m_pShm->Lock(bWait);
        return m_bTaken;
    }

private:
    CSysSharedMemory* m_pShm;
    bool m_bTaken = false;
};
