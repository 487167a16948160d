// A System V semaphore (a set of one) named by a key file, used as a
// cross-process lock.
//
// Every process that names the same key finds the same semaphore: the key file
// "<temporary directory>qipc_systemsem_<key>" is turned into the System V key
// with ftok and project id 81. The temporary directory is $TMPDIR (a "/" is
// added when it lacks one) or "/tmp/".
//
// Lifetime: by default the object that created the semaphore removes it (and
// its key file) when it lets go of it. SetRemoveOnRelease(false) hands that
// duty to the user, who removes it with Remove(): a lock shared with other
// processes must outlive whichever process happened to create it.
//
// No internal locking: one object is used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <memory>

// Key-file helpers shared by CSysSemaphore and CSysSharedMemory.
namespace sys_ipc_key {

// Size of a key-file path buffer, terminating NUL included.
inline constexpr int KEY_FILE_PATH_SIZE = 512;
// Project id of every key derived by ftok ('Q').
inline constexpr int KEY_PROJECT_ID = 81;

inline constexpr const char* SEMAPHORE_PREFIX = "qipc_systemsem_";
inline constexpr const char* SHARED_MEMORY_PREFIX = "qipc_sharedmemory_";

// Writes "<temporary directory><pPrefix><pKey>" into pFileName, a buffer of
// KEY_FILE_PATH_SIZE bytes. False for a null key and for a path that does not
// fit: cutting it short could name another object's key file.
bool MakeFileName(const char* pKey, const char* pPrefix, char* pFileName);

// 1 when the file was created, 0 when it already existed, -1 on any other
// failure. The file is created empty with the given permission bits (umask
// applies).
int CreateUnixKeyFile(const char* pFileName, mode_t nMode);

} // namespace sys_ipc_key

class CSysSemaphore {
public:
    enum eAccessMode {
        Open = 0,   // use the semaphore; set the initial value only when this object creates it
        Create = 1, // take ownership and set the initial value even if the semaphore existed
    };

    // With a null key the object stays empty until SetKey.
    explicit CSysSemaphore(const char* pKey = nullptr, int nInitialValue = -1, eAccessMode eMode = Open);
    virtual ~CSysSemaphore();
    CSysSemaphore(const CSysSemaphore&) = delete;
    CSysSemaphore& operator=(const CSysSemaphore&) = delete;

    // Names the semaphore by the first nKeySize characters of pKey (none when
    // nKeySize is 0) and obtains it. A negative nInitialValue sets no value.
    // The outcome is left in GetLastSemError().
    void SetKey(const char* pKey, int nKeySize, int nInitialValue, eAccessMode eMode);

    // Waits while the value is 0, then takes one. SEM_UNDO: the system gives
    // the count back when the process dies. The wait is bounded, 5 s in all
    // however many signals interrupt it: any local user can leave the
    // semaphore at 0 for good, and a lock that never comes must not hang the
    // caller. On time-out it fails with ERROR_TIMEOUT.
    // Test hook: the environment variable KYR_TEST_LOCK_TIMEOUT_MS, read once
    // per process, replaces the 5 s. Without bWait the semaphore is tried
    // once, and a 0 found there fails with ERROR_TIMEOUT at once.
    bool Acquire(bool bWait = true);
    // 0 succeeds without a system call; a negative count fails.
    bool Release(int nCnt);

    void SetRemoveOnRelease(bool bRemove) { m_bRemoveOnRelease = bRemove; }
    // Removes the semaphore and its key file, whoever created them; waiters
    // in other processes then make a new one. The object keeps no semaphore
    // and no key afterwards.
    void Remove();

    enum { ERROR_NONE = 0, ERROR_KEY = 2, ERROR_SYSTEM = 6, ERROR_TIMEOUT = 11 };
    int GetLastSemError() const { return m_nLastError; }

protected:
    key_t GetHandle(eAccessMode eMode);
    bool ModifySemaphore(int nCnt, bool bWait = true);
    bool ClearnHandle();
    bool MakeFileName(const char* pKey, const char* pPrefix, char* pFileName);

private:
    bool IsSameKey(const char* pKey, int nKeySize) const;
    // Drops the handle without touching the semaphore or the key file.
    void Forget();
    bool RemoveSemaphoreAndFile();

    std::unique_ptr<char[]> m_pszKey; // null when no key is set
    int m_nKeySize = 0;
    key_t m_tKey = -1;
    int m_nInitialValue = -1;
    int m_hSemaphore = -1;
    bool m_bCreatedSemaphore = false;
    int m_nLastError = ERROR_NONE;
    bool m_bCreatedFile = false;
    bool m_bRemoveOnRelease = true;
    std::unique_ptr<char[]> m_pszFileName; // KEY_FILE_PATH_SIZE bytes once a key was set
};
