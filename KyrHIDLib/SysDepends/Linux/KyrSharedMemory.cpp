#include "KyrSharedMemory.h"

#include <atomic>
#include <climits>
#include <utility>

#include "CSysSharedMemory.h"

namespace kyr_hid_library {

class CKyrSharedMemoryData {
public:
    CSysSharedMemory* m_SysSharedMemory = nullptr; // owned; null until Create
    std::atomic<bool> m_bTimedOut {false};
};

CKyrSharedMemory::CKyrSharedMemory() : m_pData(new CKyrSharedMemoryData) {}

CKyrSharedMemory::~CKyrSharedMemory()
{
    Destroy();
    delete m_pData;
}

bool CKyrSharedMemory::Create(const char* szSyncObjName, const char* szMemoryName, size_t nMemorySize, bool& bInit,
                              const std::function<void(void*)>& fnInit)
{
    bInit = false;
    m_pData->m_bTimedOut = false;
    // A second Create replaces the block: the old one is given up first, so
    // that its mapping and this process's share in it are not leaked.
    Destroy();
    if (nMemorySize > static_cast<size_t>(LONG_MAX))
        return false;
    auto* pSysSharedMemory = new CSysSharedMemory;
    if (!pSysSharedMemory->Create(szSyncObjName, szMemoryName, static_cast<long>(nMemorySize), bInit,
                                  CSysSharedMemory::AM_ReadWrite, fnInit)) {
        m_pData->m_bTimedOut = pSysSharedMemory->LockTimedOut();
        // Dropped at once rather than kept until Destroy: a failed object would
        // only hold on to the lock semaphore and its key file.
        delete pSysSharedMemory;
        bInit = false;
        return false;
    }
    m_pData->m_SysSharedMemory = pSysSharedMemory;
    return true;
}

void CKyrSharedMemory::Destroy(bool bWait)
{
    if (!m_pData->m_SysSharedMemory)
        return;
    m_pData->m_SysSharedMemory->Detach(bWait);
    delete m_pData->m_SysSharedMemory;
    m_pData->m_SysSharedMemory = nullptr;
}

void CKyrSharedMemory::Swap(CKyrSharedMemory& other) noexcept
{
    std::swap(m_pData, other.m_pData);
}

bool CKyrSharedMemory::Lock()
{
    if (!m_pData->m_SysSharedMemory)
        return false;
    // Once a wait has used up its bound, the lock is tried once until it is
    // taken again: the users of this object (a handle's threads take turns
    // at it) would otherwise each wait out a bound of their own in a row.
    const bool bLocked = m_pData->m_SysSharedMemory->Lock(!m_pData->m_bTimedOut);
    m_pData->m_bTimedOut = !bLocked && m_pData->m_SysSharedMemory->LockTimedOut();
    return bLocked;
}

bool CKyrSharedMemory::TimedOut() const
{
    return m_pData->m_bTimedOut;
}

bool CKyrSharedMemory::Unlock()
{
    if (!m_pData->m_SysSharedMemory)
        return false;
    return m_pData->m_SysSharedMemory->Unlock();
}

void* CKyrSharedMemory::GetMemory()
{
    return m_pData->m_SysSharedMemory ? m_pData->m_SysSharedMemory->GetData() : nullptr;
}

} // namespace kyr_hid_library
