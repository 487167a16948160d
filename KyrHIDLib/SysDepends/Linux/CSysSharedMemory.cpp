#include "CSysSharedMemory.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// ftok keeps only the low 16 bits of the key file's inode, so a key file can
// get the key of a segment that belongs to another object (one in use, or one
// left behind after its own key file went). A segment made before its key
// file existed is such a stranger: this process made the file just now, under
// the lock, or the file is younger than the segment and nobody is attached.
bool IsStrangersSegment(key_t tKey, const char* pszPath, bool bNewFile)
{
    if (bNewFile)
        return true;
    shmid_ds status {};
    struct stat file {};
    const int nID = ::shmget(tKey, 0, 0);
    return nID != -1 && ::shmctl(nID, IPC_STAT, &status) == 0 && ::stat(pszPath, &file) == 0 &&
           status.shm_nattch == 0 && status.shm_ctime < file.st_ctim.tv_sec;
}

// Puts a new file at pszPath. Made before the old one goes, it has another
// inode and so, nearly always, another key; the stranger keeps the old key.
bool RenewKeyFile(const char* pszPath)
{
    char szTemp[sys_ipc_key::KEY_FILE_PATH_SIZE + 8];
    std::snprintf(szTemp, sizeof(szTemp), "%s.XXXXXX", pszPath);
    const int fd = ::mkostemp(szTemp, O_CLOEXEC);
    if (fd == -1)
        return false;
    ::fchmod(fd, 0644);
    ::close(fd);
    if (::rename(szTemp, pszPath) == 0)
        return true;
    ::unlink(szTemp);
    return false;
}

// Renewals of the key file before Create gives up; each is a new 1 in 65536.
constexpr int kKeyFileRenewals = 3;

// ThreadSanitizer sees neither System V semaphores nor the end of a mapping,
// the only things that order two objects of this process meeting in a block
// (one closing, one opening). Both are told to it on the mapped address: the
// lock's hand-over, and the detach, since an address the kernel hands out
// again was unmapped before (the new block's first writes follow the old
// one's last, they do not race them).
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* pAddr);
extern "C" void __tsan_release(void* pAddr);
void TsanAcquire(void* pAddr) { __tsan_acquire(pAddr); }
void TsanRelease(void* pAddr) { __tsan_release(pAddr); }
#else
void TsanAcquire(void*) {}
void TsanRelease(void*) {}
#endif

void* AttachSegment(int nID, int nFlags)
{
    void* pMemory = ::shmat(nID, nullptr, nFlags);
    if (pMemory != reinterpret_cast<void*>(-1))
        TsanAcquire(pMemory);
    return pMemory;
}

int DetachSegment(void* pMemory)
{
    TsanRelease(pMemory);
    return ::shmdt(pMemory);
}

} // namespace

CSysSharedMemory::CSysSharedMemory()
{
    m_SysSemaphore.SetRemoveOnRelease(false);
}

CSysSharedMemory::~CSysSharedMemory()
{
    SetKey(nullptr);
    if (m_bLocked)
        Unlock();
}

bool CSysSharedMemory::MakeFileName(const char* pKey, const char* pPrefix, char* pFileName)
{
    return sys_ipc_key::MakeFileName(pKey, pPrefix, pFileName);
}

int CSysSharedMemory::CreateUnixKeyFile(const char* pFileName)
{
    return sys_ipc_key::CreateUnixKeyFile(pFileName, 0666);
}

void CSysSharedMemory::SetKey(const char* pKey)
{
    if (pKey && pKey[0] == '\0')
        pKey = nullptr;
    const bool bSame = pKey ? (m_pszKey && std::strcmp(m_pszKey.get(), pKey) == 0) : !m_pszKey;
    if (bSame)
        return;
    if (IsAttached())
        Detach();
    ClearnHandle();
    m_pszKey.reset();
    if (pKey) {
        const size_t nLength = std::strlen(pKey);
        m_pszKey = std::make_unique<char[]>(nLength + 1);
        std::memcpy(m_pszKey.get(), pKey, nLength + 1);
    }
}

bool CSysSharedMemory::InitKey()
{
    ClearnHandle();
    // No semaphore is obtained under the memory's own name only to be dropped
    // again when Create names the lock: with two processes starting at once,
    // one removed it between the other's key-file check and its ftok or semget,
    // failing that Create or leaving a semaphore nobody owned. Nothing else
    // uses an object under that name.
    return m_pszKey != nullptr;
}

key_t CSysSharedMemory::GetHandle()
{
    if (m_tKey != 0)
        return m_tKey;
    if (!m_pszKey)
        return 0;
    char szPath[sys_ipc_key::KEY_FILE_PATH_SIZE];
    if (!MakeFileName(m_pszKey.get(), sys_ipc_key::SHARED_MEMORY_PREFIX, szPath))
        return 0;
    struct stat st;
    if (::stat(szPath, &st) == -1)
        return 0;
    const key_t tKey = ::ftok(szPath, sys_ipc_key::KEY_PROJECT_ID);
    m_tKey = tKey == -1 ? 0 : tKey;
    return m_tKey;
}

bool CSysSharedMemory::Create(const char* pSyncLockKey, const char* pSharedMemoryKey, long tSize, bool& bInit,
                              eAccessMode eMode, const std::function<void(void*)>& fnInit)
{
    bInit = false;
    m_bLockTimedOut = false;
    // Refused before anything is created, so that a bad size or a key whose
    // path does not fit leaves no key file, semaphore or segment behind.
    char szPath[sys_ipc_key::KEY_FILE_PATH_SIZE];
    if (tSize < 0 || !MakeFileName(pSharedMemoryKey, sys_ipc_key::SHARED_MEMORY_PREFIX, szPath))
        return false;
    // A second Create on one object must not leak the first mapping.
    if (IsAttached())
        Detach();

    SetKey(pSharedMemoryKey);
    if (!InitKey())
        return false;
    // The lock starts at 1 (free) when this process creates it.
    m_SysSemaphore.SetKey(pSyncLockKey, pSyncLockKey ? static_cast<int>(std::strlen(pSyncLockKey)) : 0, 1,
                          CSysSemaphore::Open);

    CSysSharedMemoryLocker locker(this);
    if (!locker.Lock())
        return false;

    const int nFile = CreateUnixKeyFile(szPath);
    if (nFile == -1) {
        RemoveLockWithoutBlock(0);
        return false;
    }
    bool bCreatedFile = nFile == 1;
    key_t tKey = 0;
    int nCreatedID = -1;
    for (int nRenewal = 0;; ++nRenewal) {
        tKey = GetHandle();
        if (tKey != 0) {
            // An existing segment of this block is simply used.
            nCreatedID = ::shmget(tKey, static_cast<size_t>(tSize), IPC_CREAT | IPC_EXCL | 0666);
            if (nCreatedID != -1 || errno != EEXIST || !IsStrangersSegment(tKey, szPath, bCreatedFile))
                break;
            ClearnHandle();
        }
        // No key, or a stranger's under every key file tried: no segment of
        // this block exists, so neither should its lock.
        if (tKey == 0 || nRenewal == kKeyFileRenewals || !RenewKeyFile(szPath)) {
            if (bCreatedFile)
                ::unlink(szPath);
            RemoveLockWithoutBlock(0);
            return false;
        }
        bCreatedFile = true;
    }

    // A segment smaller than asked for (another size under a colliding key, or
    // a stale one) would let the caller write past its end.
    if (!p_Attach(eMode) || m_nSharedMemorySize < static_cast<size_t>(tSize)) {
        if (IsAttached())
            DetachSegment(m_pSharedMemory);
        m_pSharedMemory = nullptr;
        m_nSharedMemorySize = 0;
        // Undo what this call made: a key file left behind would tell the next
        // process that somebody had initialised the block.
        if (nCreatedID != -1)
            ::shmctl(nCreatedID, IPC_RMID, nullptr);
        if (bCreatedFile)
            ::unlink(szPath);
        ClearnHandle();
        RemoveLockWithoutBlock(tKey);
        return false;
    }
    // A new segment reads as zeros even under a key file that a process which
    // died left behind: it too wants initialising.
    bInit = bCreatedFile || nCreatedID != -1;
    if (bInit && fnInit)
        fnInit(m_pSharedMemory);
    return true;
}

void CSysSharedMemory::RemoveLockWithoutBlock(key_t tKey)
{
    if (tKey != 0 && ::shmget(tKey, 0, 0) != -1)
        return;
    // Nobody else would ever remove it. Processes waiting for it meet the
    // removal and make a new one.
    m_SysSemaphore.Remove();
    m_bLocked = false;
}

bool CSysSharedMemory::p_Attach(eAccessMode eMode)
{
    const key_t tKey = GetHandle();
    if (tKey == 0)
        return false;
    const int nID = ::shmget(tKey, 0, eMode == AM_ReadWrite ? 0660 : 0444);
    if (nID == -1)
        return false;
    void* pMemory = AttachSegment(nID, eMode == AM_ReadOnly ? SHM_RDONLY : 0);
    if (pMemory == reinterpret_cast<void*>(-1))
        return false;
    shmid_ds status {};
    if (::shmctl(nID, IPC_STAT, &status) == -1) {
        // Without its size the mapping is of no use; do not leave it attached
        // behind a failure.
        DetachSegment(pMemory);
        return false;
    }
    m_pSharedMemory = pMemory;
    m_nSharedMemorySize = status.shm_segsz;
    return true;
}

bool CSysSharedMemory::p_Detach()
{
    if (DetachSegment(m_pSharedMemory) == -1)
        return false;
    m_pSharedMemory = nullptr;

    const key_t tKey = GetHandle();
    if (tKey == 0)
        return false;
    const int nID = ::shmget(tKey, 0, 0444);
    ClearnHandle();

    shmid_ds status {};
    if (::shmctl(nID, IPC_STAT, &status) == -1)
        return errno == EINVAL;
    if (status.shm_nattch != 0)
        return true;

    // Last user: the segment, its key file and its lock go, so that the next
    // user starts a fresh block and initialises it.
    if (::shmctl(nID, IPC_RMID, nullptr) == -1)
        return errno == EINVAL;
    char szPath[sys_ipc_key::KEY_FILE_PATH_SIZE];
    if (MakeFileName(m_pszKey.get(), sys_ipc_key::SHARED_MEMORY_PREFIX, szPath))
        ::unlink(szPath);
    RemoveLockWithoutBlock(0);
    return true;
}

bool CSysSharedMemory::Detach(bool bWait)
{
    if (!IsAttached())
        return false;
    CSysSharedMemoryLocker locker(this);
    if (!locker.Lock(bWait)) {
        // Without the lock the segment is only unmapped, never removed: removal
        // could pull it away from a process that is joining right now. An
        // unmapped segment left behind is reused by the next user.
        if (DetachSegment(m_pSharedMemory) == -1)
            return false;
        m_pSharedMemory = nullptr;
        m_nSharedMemorySize = 0;
        ClearnHandle();
        return true;
    }
    const bool bResult = p_Detach();
    if (!IsAttached())
        m_nSharedMemorySize = 0;
    return bResult;
}

bool CSysSharedMemory::Lock(bool bWait)
{
    if (m_bLocked)
        return true;
    const bool bTaken = m_SysSemaphore.Acquire(bWait);
    m_bLockTimedOut = !bTaken && m_SysSemaphore.GetLastSemError() == CSysSemaphore::ERROR_TIMEOUT;
    if (!bTaken)
        return false;
    m_bLocked = true;
    if (IsAttached())
        TsanAcquire(m_pSharedMemory);
    return true;
}

bool CSysSharedMemory::Unlock()
{
    if (!m_bLocked.exchange(false))
        return false;
    if (IsAttached())
        TsanRelease(m_pSharedMemory);
    return m_SysSemaphore.Release(1);
}
