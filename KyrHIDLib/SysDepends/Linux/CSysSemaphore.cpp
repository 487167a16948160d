#include "CSysSemaphore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

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

using Clock = std::chrono::steady_clock;

int LockTimeoutMs()
{
    static const int nMs = [] {
        const char* psz = std::getenv("KYR_TEST_LOCK_TIMEOUT_MS");
        char* pEnd = nullptr;
        const long n = psz ? std::strtol(psz, &pEnd, 10) : 0;
        return psz && pEnd != psz && *pEnd == '\0' && n > 0 && n <= 600000 ? static_cast<int>(n) : 5000;
    }();
    return nMs;
}

Clock::time_point LockDeadline()
{
    return Clock::now() + std::chrono::milliseconds(LockTimeoutMs());
}

// semop is never restarted after a signal handler ran, whatever SA_RESTART
// says: an interrupted wait goes on with the time that is left, so that it
// neither turns into a lock that was not taken nor waits longer than its
// bound. False with errno set; EAGAIN is the time-out.
bool SemOp(int hSemaphore, int nCnt, Clock::time_point deadline)
{
    sembuf op {};
    op.sem_num = 0;
    op.sem_op = static_cast<short>(nCnt);
    op.sem_flg = SEM_UNDO;
    for (;;) {
        const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        timespec bound {};
        bound.tv_sec = static_cast<time_t>(seconds.count());
        bound.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
        if (::semtimedop(hSemaphore, &op, 1, &bound) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

// The key file, open and locked (flock) for the object's scope. Whoever
// looks the semaphore up or makes it holds it from ftok to SETVAL, and
// whoever removes them holds it too:
// - a process that holds it and finds the semaphore never set knows that its
//   maker died in between (a semaphore left at 0 that way would have nobody
//   to give it back);
// - nobody derives a key from a file that is being removed and then makes a
//   semaphore under that key, which nobody else would ever find: a second
//   lock beside the one everybody else uses.
class KeyFileGuard {
public:
    KeyFileGuard() = default;
    ~KeyFileGuard()
    {
        if (m_fd != -1)
            ::close(m_fd); // releases the flock
    }
    KeyFileGuard(const KeyFileGuard&) = delete;
    KeyFileGuard& operator=(const KeyFileGuard&) = delete;

    // An existing file only; false when there is none.
    bool OpenExisting(const char* pszPath)
    {
        m_fd = ::open(pszPath, O_RDONLY | O_CLOEXEC);
        return m_fd != -1;
    }

    // 1 open (bCreated: this call made the file), 0 the file vanished between
    // two steps (try again), -1 failure.
    int Open(const char* pszPath, bool& bCreated)
    {
        bCreated = false;
        m_fd = ::open(pszPath, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0644);
        if (m_fd != -1) {
            bCreated = true;
            return 1;
        }
        if (errno != EEXIST)
            return -1;
        m_fd = ::open(pszPath, O_RDONLY | O_CLOEXEC);
        if (m_fd != -1)
            return 1;
        return errno == ENOENT ? 0 : -1;
    }

    // False with errno EAGAIN once the deadline has passed.
    bool Lock(Clock::time_point deadline)
    {
        // Held only for a few system calls by a live holder: a short poll.
        while (::flock(m_fd, LOCK_EX | LOCK_NB) == -1) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return false;
            if (Clock::now() >= deadline) {
                errno = EAGAIN;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Whether the path still names the locked file: one removed and made
    // again gives another key.
    bool StillNamed(const char* pszPath) const
    {
        struct stat byFd;
        struct stat byPath;
        return ::fstat(m_fd, &byFd) == 0 && ::stat(pszPath, &byPath) == 0 && byFd.st_dev == byPath.st_dev
            && byFd.st_ino == byPath.st_ino;
    }

private:
    int m_fd = -1;
};

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

    // The last user of the lock removes its key file and the semaphore while
    // others may be between the steps below; each removal seen here restarts
    // them, so that a vanished file is not reported as a failure and nobody
    // makes a semaphore under the key of a file that is gone.
    const auto deadline = LockDeadline();
    const char* pszPath = m_pszFileName.get();
    for (int nAttempt = 0; nAttempt < 3; ++nAttempt) {
        KeyFileGuard file;
        bool bNewFile = false;
        const int nOpen = file.Open(pszPath, bNewFile);
        if (nOpen == -1) {
            m_nLastError = ERROR_KEY;
            return -1;
        }
        if (nOpen == 0)
            continue;
        if (!file.Lock(deadline)) {
            m_nLastError = errno == EAGAIN ? ERROR_TIMEOUT : ERROR_SYSTEM;
            return -1;
        }
        const key_t tKey = ::ftok(pszPath, sys_ipc_key::KEY_PROJECT_ID);
        if (tKey == -1 || !file.StillNamed(pszPath))
            continue;

        bool bCreated = true;
        int hSemaphore = ::semget(tKey, 1, IPC_CREAT | IPC_EXCL | 0666);
        if (hSemaphore == -1 && errno == EEXIST) {
            bCreated = false;
            hSemaphore = ::semget(tKey, 1, 0666);
        }
        if (hSemaphore == -1) {
            if (errno == ENOENT || errno == EIDRM)
                continue;
            m_nLastError = ERROR_SYSTEM;
            return -1;
        }
        // Never given a value by anybody: its maker died before it could.
        const bool bAbandoned = !bCreated && ::semctl(hSemaphore, 0, GETPID) == 0
            && ::semctl(hSemaphore, 0, GETVAL) == 0;
        if (m_nInitialValue >= 0 && (bCreated || bAbandoned || eMode == Create)
            && ::semctl(hSemaphore, 0, SETVAL, m_nInitialValue) == -1) {
            // A semaphore this call made is not left at 0 for others to wait on.
            if (bCreated) {
                if (bNewFile)
                    ::unlink(pszPath);
                ::semctl(hSemaphore, 0, IPC_RMID);
            }
            m_nLastError = ERROR_SYSTEM;
            return -1;
        }
        m_tKey = tKey;
        m_hSemaphore = hSemaphore;
        // The key file belongs to whoever made the semaphore: were a process
        // that made only the file to delete it while the semaphore lives on,
        // the next process would derive a new key and get a second lock.
        m_bCreatedSemaphore = bCreated || eMode == Create;
        m_bCreatedFile = m_bCreatedSemaphore;
        return m_tKey;
    }
    m_nLastError = ERROR_SYSTEM;
    return -1;
}

void CSysSemaphore::Forget()
{
    m_tKey = -1;
    m_hSemaphore = -1;
    m_bCreatedSemaphore = false;
    m_bCreatedFile = false;
}

bool CSysSemaphore::ClearnHandle()
{
    if (!m_bRemoveOnRelease || !m_bCreatedSemaphore) {
        Forget();
        return true;
    }
    const bool bResult = RemoveSemaphoreAndFile();
    Forget();
    return bResult;
}

void CSysSemaphore::Remove()
{
    RemoveSemaphoreAndFile();
    Forget();
    m_pszKey.reset();
    m_nKeySize = 0;
}

bool CSysSemaphore::RemoveSemaphoreAndFile()
{
    if (m_hSemaphore == -1)
        return true;
    // The file goes first, while its flock is held, and only when it still
    // names this semaphore: whoever makes the lock again after this point
    // starts from a fresh key file.
    const char* pszPath = m_pszFileName.get();
    KeyFileGuard file;
    if (m_pszKey && pszPath[0] != '\0' && file.OpenExisting(pszPath) && file.Lock(LockDeadline())
        && file.StillNamed(pszPath) && ::ftok(pszPath, sys_ipc_key::KEY_PROJECT_ID) == m_tKey)
        ::unlink(pszPath);
    if (::semctl(m_hSemaphore, 0, IPC_RMID) == -1 && errno != EINVAL && errno != EIDRM) {
        m_nLastError = ERROR_SYSTEM;
        return false;
    }
    return true;
}

bool CSysSemaphore::ModifySemaphore(int nCnt, bool bWait)
{
    const auto deadline = bWait ? LockDeadline() : Clock::now();
    // Another process may remove the semaphore (the last user of what it
    // locks) between our lookup and our operation, and with users coming and
    // going, again on the next try. A release is done then: the count went
    // with it, and adding it to a new one would let two holders in at once.
    // A wait obtains the lock again, which makes a new one unless someone
    // already did, until the deadline (once more at least).
    for (bool bRetried = false;; bRetried = true) {
        if (GetHandle(Open) == -1)
            return false;
        if (SemOp(m_hSemaphore, nCnt, deadline))
            return true;
        if (errno != EIDRM && errno != EINVAL)
            break;
        Forget();
        if (nCnt > 0)
            return true;
        if (bRetried && Clock::now() >= deadline)
            break;
    }
    m_nLastError = errno == EAGAIN ? ERROR_TIMEOUT : ERROR_SYSTEM;
    return false;
}

bool CSysSemaphore::Acquire(bool bWait)
{
    return ModifySemaphore(-1, bWait);
}

bool CSysSemaphore::Release(int nCnt)
{
    if (nCnt == 0)
        return true;
    if (nCnt < 0)
        return false;
    return ModifySemaphore(nCnt);
}
