// Named, lockable memory blocks shared by all processes on the machine, and the
// per-device block KyrHandleSharedMemory that every client of a device meets in.
//
// The layout of KyrHandleSharedMemory is read and written by other processes
// built from the same sources: its size and every offset are fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kyr_hid_library {

// Per-device block, shared by every process that opens the device. Touched
// only while the block's lock is held.
typedef struct _KyrHandleSharedMemory {
    std::int16_t nInstantMode;             // OR of the modes of all registered clients
    std::int64_t lTimeout;                 // reserved
    std::int64_t lLockCount;               // number of registered clients
    std::int16_t nClientInstantMode[256];  // per slot: -1 (0xFFFF) = free, else the client's mode bits
    std::uint64_t dwClientFGstValue;       // shared gesture-feature value; all ones = none
    std::uint64_t dwUniqueId[256];         // per slot: owner's process id; 0 = none
    std::int32_t nControlClientID;         // slot controlling the instant mode; -1 = none
    std::uint8_t nCmdId;                   // last command id handed out (1..255)
    std::uint8_t bUseExclusiveApp[256];    // per slot: non-zero = exclusive application
    std::uint64_t dwExclusiveFGstValue;    // gesture-feature value of the exclusive application
    // The rest was reserved, and peers that do not know the fields below
    // leave them zero: zero always means nothing recorded.
    //
    // Which device the holder of the block holds: the block of the fixed
    // names changes hands between devices as devices come and go. Written
    // under the lock by the client that registers, together with its slot;
    // valid only while a taken slot records dwPathOwner as its process.
    std::uint64_t dwPathOwner;             // process id of the recording client
    char szHolderPath[24];                 // its device path, NUL-terminated
    // Per slot 0..kLeaveMarks-1: 1 = the slot's owner has closed without
    // reaching the lock (it stayed taken beyond its bound). Set only by that
    // owner, without the lock, by an atomic store; read and cleared under the
    // lock by whoever frees or takes the slot. A marked slot counts as free.
    std::uint8_t bLeft[128];
    std::uint8_t Reserved[73];
} KyrHandleSharedMemory, *PKyrHandleSharedMemory;

static_assert(sizeof(KyrHandleSharedMemory) == 3104);
static_assert(offsetof(KyrHandleSharedMemory, nInstantMode) == 0);
static_assert(offsetof(KyrHandleSharedMemory, lTimeout) == 8);
static_assert(offsetof(KyrHandleSharedMemory, lLockCount) == 16);
static_assert(offsetof(KyrHandleSharedMemory, nClientInstantMode) == 24);
static_assert(offsetof(KyrHandleSharedMemory, dwClientFGstValue) == 536);
static_assert(offsetof(KyrHandleSharedMemory, dwUniqueId) == 544);
static_assert(offsetof(KyrHandleSharedMemory, nControlClientID) == 2592);
static_assert(offsetof(KyrHandleSharedMemory, nCmdId) == 2596);
static_assert(offsetof(KyrHandleSharedMemory, bUseExclusiveApp) == 2597);
static_assert(offsetof(KyrHandleSharedMemory, dwExclusiveFGstValue) == 2856);
static_assert(offsetof(KyrHandleSharedMemory, dwPathOwner) == 2864);
static_assert(offsetof(KyrHandleSharedMemory, szHolderPath) == 2872);
static_assert(offsetof(KyrHandleSharedMemory, bLeft) == 2896);
static_assert(offsetof(KyrHandleSharedMemory, Reserved) == 3024);
static_assert(offsetof(KyrHandleSharedMemory, Reserved) + sizeof(KyrHandleSharedMemory::Reserved) == 2864 + 233);

class CKyrSharedMemoryData;

// A named block with a cross-process lock. The first user of a name creates
// the block (and is told to initialise it); the last one to leave removes it.
//
// The lock is held by the object, not by a thread: a second Lock on an object
// that holds it returns at once, and one Unlock releases it. It keeps other
// processes (and other objects on the same names) out, not other threads
// working through this object; callers serialise those themselves. No member
// is guarded internally.
class CKyrSharedMemory {
public:
    CKyrSharedMemory();
    virtual ~CKyrSharedMemory();
    CKyrSharedMemory(const CKyrSharedMemory&) = delete;
    CKyrSharedMemory& operator=(const CKyrSharedMemory&) = delete;

    // Finds or creates the block szMemoryName of at least nMemorySize bytes,
    // locked by szSyncObjName, and maps it. bInit is true only when this call
    // made the block: the caller is its first user (a new block reads as
    // zeros). fnInit, when given, then initialises the contents before the
    // lock is first released, so that no other process ever sees the block
    // uninitialised. bInit is false on every other path, failures included.
    // A failed Create leaves nothing mapped.
    // Names whose key-file path exceeds 511 characters are refused.
    bool Create(const char* szSyncObjName, const char* szMemoryName, size_t nMemorySize, bool& bInit,
                const std::function<void(void*)>& fnInit = nullptr);
    // Unmaps the block; the last process to do so removes it, and its lock.
    // Removal needs the lock: without bWait it is tried once, and when it is
    // taken the block is only unmapped (its next last user removes it).
    // Idempotent.
    void Destroy(bool bWait = true);
    // Exchanges the blocks (and their locks) of the two objects.
    void Swap(CKyrSharedMemory& other) noexcept;

    // Waits until the lock is free, for at most a bound of a few seconds (see
    // CSysSemaphore::Acquire): any local user can leave the lock taken for
    // good. After a wait that timed out it is only tried once, until it is
    // taken again. False when no block exists or the lock cannot be
    // obtained; the block must not be touched then.
    bool Lock();
    bool Unlock();
    // Whether the last Create or Lock failed because the lock stayed taken
    // beyond its bound.
    bool TimedOut() const;

    // Address of the mapped block, null when there is none. Valid until Destroy
    // or the next Create.
    void* GetMemory();

    // Takes the lock for its scope; releases it only if it was taken.
    class Locker {
    public:
        explicit Locker(CKyrSharedMemory& SharedMemory)
            : m_SharedMemory(SharedMemory), m_bLocked(SharedMemory.Lock())
        {
        }
        ~Locker()
        {
            if (m_bLocked)
                m_SharedMemory.Unlock();
        }
        Locker(const Locker&) = delete;
        Locker& operator=(const Locker&) = delete;

        bool IsLocked() const { return m_bLocked; }

    private:
        CKyrSharedMemory& m_SharedMemory;
        bool m_bLocked;
    };

private:
    CKyrSharedMemoryData* m_pData;
};

} // namespace kyr_hid_library
