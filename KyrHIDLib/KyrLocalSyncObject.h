// In-process, non-recursive lock with a scope guard.
#pragma once

// Thread-safety annotations: checked by clang's -Wthread-safety, no-ops elsewhere.
#if defined(__clang__)
#define KYR_TSA(x) __attribute__((x))
#else
#define KYR_TSA(x)
#endif
#define KYR_CAPABILITY(x) KYR_TSA(capability(x))
#define KYR_SCOPED_CAPABILITY KYR_TSA(scoped_lockable)
#define KYR_GUARDED_BY(x) KYR_TSA(guarded_by(x))
#define KYR_ACQUIRE(...) KYR_TSA(acquire_capability(__VA_ARGS__))
#define KYR_RELEASE(...) KYR_TSA(release_capability(__VA_ARGS__))
#define KYR_EXCLUDES(...) KYR_TSA(locks_excluded(__VA_ARGS__))

namespace kyr_hid_library {

struct CKyrLocalSyncObjectData;

class KYR_CAPABILITY("mutex") CKyrLocalSyncObject {
public:
    CKyrLocalSyncObject();
    ~CKyrLocalSyncObject();
    CKyrLocalSyncObject(const CKyrLocalSyncObject&) = delete;
    CKyrLocalSyncObject& operator=(const CKyrLocalSyncObject&) = delete;

    // Not recursive: locking twice from one thread blocks that thread.
    void Lock() KYR_ACQUIRE();
    void Unlock() KYR_RELEASE();

    class KYR_SCOPED_CAPABILITY Locker {
    public:
        explicit Locker(CKyrLocalSyncObject& SyncObj) KYR_ACQUIRE(SyncObj) : m_SyncObj(SyncObj) { m_SyncObj.Lock(); }
        ~Locker() KYR_RELEASE() { m_SyncObj.Unlock(); }
        Locker(const Locker&) = delete;
        Locker& operator=(const Locker&) = delete;

    private:
        CKyrLocalSyncObject& m_SyncObj;
    };

private:
    CKyrLocalSyncObjectData* m_pData;
};

} // namespace kyr_hid_library
