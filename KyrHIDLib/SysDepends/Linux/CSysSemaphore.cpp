#include "CSysSemaphore.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sys_ipc_key {

bool MakeFileName(const char* pKey, const char* pPrefix, char* pFileName)
{
    if (!pKey || !pFileName)
        return false;
    const char* pszDir = std::getenv("TMPDIR");
    const char* pszSeparator = "";
    if (!pszDir)
        pszDir = "/tmp/";
    else if (pszDir[0] == '\0' || pszDir[std::strlen(pszDir) - 1] != '/')
        pszSeparator = "/";
    const int nLength = std::snprintf(pFileName, KEY_FILE_PATH_SIZE, "%s%s%s%s", pszDir, pszSeparator, pPrefix, pKey);
    if (nLength < 0 || nLength >= KEY_FILE_PATH_SIZE) {
        pFileName[0] = '\0';
        return false;
    }
    return true;
}

int CreateUnixKeyFile(const char* pFileName, mode_t nMode)
{
    if (!pFileName || pFileName[0] == '\0')
        return -1;
    // O_CLOEXEC rather than a later fcntl: no window in which a fork+exec on
    // another thread inherits the descriptor.
    const int fd = ::open(pFileName, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, nMode);
    if (fd == -1)
        return errno == EEXIST ? 0 : -1;
    ::close(fd);
    return 1;
}

} // namespace sys_ipc_key

namespace {

// semop is never restarted after a signal handler ran, whatever SA_RESTART
// says; an interrupted wait must not turn into a lock that was not taken.
bool SemOp(int hSemaphore, int nCnt)
{
    sembuf op {};
    op.sem_num = 0;
    op.sem_op = static_cast<short>(nCnt);
    op.sem_flg = SEM_UNDO;
    int nResult;
    do {
        nResult = ::semop(hSemaphore, &op, 1);
    } while (nResult == -1 && errno == EINTR);
    return nResult == 0;
}

} // namespace

CSysSemaphore::CSysSemaphore(const char* pKey, int nInitialValue, eAccessMode eMode)
{
    if (pKey)
        SetKey(pKey, static_cast<int>(std::strlen(pKey)), nInitialValue, eMode);
}

CSysSemaphore::~CSysSemaphore()
{
    ClearnHandle();
}

bool CSysSemaphore::MakeFileName(const char* pKey, const char* pPrefix, char* pFileName)
{
    return sys_ipc_key::MakeFileName(pKey, pPrefix, pFileName);
}

int CSysSemaphore::CreateUnixKeyFile(const char* pFileName)
{
    return sys_ipc_key::CreateUnixKeyFile(pFileName, 0644);
}

bool CSysSemaphore::IsSameKey(const char* pKey, int nKeySize) const
{
    if (!pKey)
        return !m_pszKey;
    return m_pszKey && m_nKeySize == nKeySize && std::memcmp(m_pszKey.get(), pKey, nKeySize) == 0;
}

void CSysSemaphore::SetKey(const char* pKey, int nKeySize, int nInitialValue, eAccessMode eMode)
{
    // Never read past the caller's string, whatever size it claims.
    nKeySize = pKey && nKeySize > 0 ? static_cast<int>(strnlen(pKey, nKeySize)) : 0;
    if (nKeySize == 0)
        pKey = nullptr;

    if (eMode == Open && IsSameKey(pKey, nKeySize))
        return;
    m_nLastError = ERROR_NONE;

    // Re-applying the initial value is only meant for the semaphore this object
    // already owns; a new key must not be silently ignored.
    if (eMode == Create && m_bCreatedSemaphore && IsSameKey(pKey, nKeySize)) {
        m_nInitialValue = nInitialValue;
        m_tKey = -1;
        GetHandle(Create);
        return;
    }

    ClearnHandle();
    m_pszKey.reset();
    m_nKeySize = 0;
    m_nInitialValue = nInitialValue;
    m_pszFileName = std::make_unique<char[]>(sys_ipc_key::KEY_FILE_PATH_SIZE);
    if (pKey) {
        m_pszKey = std::make_unique<char[]>(nKeySize + 1);
        std::memcpy(m_pszKey.get(), pKey, nKeySize);
        m_pszKey[nKeySize] = '\0';
        m_nKeySize = nKeySize;
        // A path that does not fit refuses the key outright: a shortened path
        // would name (and might later delete) another object's key file.
        if (!MakeFileName(m_pszKey.get(), sys_ipc_key::SEMAPHORE_PREFIX, m_pszFileName.get())) {
            m_pszKey.reset();
            m_nKeySize = 0;
            m_nLastError = ERROR_KEY;
            return;
        }
    }
    GetHandle(eMode);
}

key_t CSysSemaphore::GetHandle(eAccessMode eMode)
{
    if (!m_pszKey) {
        m_nLastError = ERROR_KEY;
        return -1;
    }
    if (m_tKey != -1)
        return m_tKey;

    // A departing creator removes its key file and semaphore while others may be
    // between the steps below; each removal seen here restarts the steps, so
    // that a vanished file is not reported as a failure and a semaphore made
    // by IPC_CREAT is never one this object does not know it created.
    m_hSemaphore = -1;
    for (int nAttempt = 0; m_hSemaphore == -1; ++nAttempt) {
        if (nAttempt == 3) {
            m_nLastError = ERROR_SYSTEM;
            ClearnHandle();
            return -1;
        }
        const int nFile = CreateUnixKeyFile(m_pszFileName.get());
        if (nFile == -1) {
            m_nLastError = ERROR_KEY;
            return -1;
        }
        if (nFile == 1)
            m_bCreatedFile = true;

        m_tKey = ::ftok(m_pszFileName.get(), sys_ipc_key::KEY_PROJECT_ID);
        if (m_tKey == -1) {
            if (errno == ENOENT)
                continue;
            m_nLastError = ERROR_KEY;
            return -1;
        }

        m_hSemaphore = ::semget(m_tKey, 1, IPC_CREAT | IPC_EXCL | 0666);
        if (m_hSemaphore != -1) {
            m_bCreatedSemaphore = true;
            m_bCreatedFile = true;
            break;
        }
        if (errno == EEXIST)
            m_hSemaphore = ::semget(m_tKey, 1, 0666);
        if (m_hSemaphore == -1) {
            if (errno == ENOENT)
                continue;
            m_nLastError = ERROR_SYSTEM;
            ClearnHandle();
            return -1;
        }
        // The key file belongs to whoever created the semaphore. Two processes
        // can race so that one creates the file and the other the semaphore; if
        // the first later deleted the file while the semaphore lives on, the next
        // process would derive a new key and get a second, independent lock.
        if (nFile == 1)
            m_bCreatedFile = false;
    }

    if (eMode == Create) {
        m_bCreatedSemaphore = true;
        m_bCreatedFile = true;
    } else if (!m_bCreatedSemaphore) {
        return m_tKey;
    }

    if (m_nInitialValue >= 0 && ::semctl(m_hSemaphore, 0, SETVAL, m_nInitialValue) == -1) {
        m_nLastError = ERROR_SYSTEM;
        ClearnHandle();
        return -1;
    }
    return m_tKey;
}

bool CSysSemaphore::ClearnHandle()
{
    bool bResult = true;
    m_tKey = -1;
    if (m_bCreatedFile) {
        // Removed before the semaphore: whoever re-creates the lock after this
        // point starts from a fresh key file, so nobody is left with a semaphore
        // whose key no longer matches the file.
        if (m_pszFileName && m_pszFileName[0] != '\0')
            ::unlink(m_pszFileName.get());
        m_bCreatedFile = false;
    }
    if (m_bCreatedSemaphore) {
        if (m_hSemaphore != -1 && ::semctl(m_hSemaphore, 0, IPC_RMID) == -1) {
            m_nLastError = ERROR_SYSTEM;
            bResult = false;
        }
        m_bCreatedSemaphore = false;
    }
    m_hSemaphore = -1;
    return bResult;
}

bool CSysSemaphore::ModifySemaphore(int nCnt)
{
    if (GetHandle(Open) == -1)
        return false;
    if (SemOp(m_hSemaphore, nCnt))
        return true;
    if (errno == EIDRM || errno == EINVAL) {
        // Another process removed the semaphore (its creator left): obtain it
        // again, which re-creates it with the initial value unless someone
        // already did.
        m_hSemaphore = -1;
        ClearnHandle();
        if (GetHandle(Open) == -1)
            return false;
        // A release aimed at the removed semaphore: the count it held went with
        // it. Adding it to the new one would let two holders in at once.
        if (nCnt > 0)
            return true;
        if (SemOp(m_hSemaphore, nCnt))
            return true;
    }
    m_nLastError = ERROR_SYSTEM;
    return false;
}

bool CSysSemaphore::Acquire()
{
    return ModifySemaphore(-1);
}

bool CSysSemaphore::Release(int nCnt)
{
    if (nCnt == 0)
        return true;
    if (nCnt < 0)
        return false;
    return ModifySemaphore(nCnt);
}
