// Frees the client slots of KyrHandleSharedMemory whose owning process no
// longer runs, so that a device whose last user crashed can be opened again.
//
// A process counts as running while /proc lists a directory for its id whose
// cmdline file opens for reading; ids are compared only, so a reused id counts
// as its old owner.
#pragma once

#include "KyrSharedMemory.h"

namespace kyr_hid_library {

class CKyrProcessChecker {
public:
    // Binds to a block owned by the caller; the checker never creates or
    // destroys it.
    explicit CKyrProcessChecker(CKyrSharedMemory& SharedMemory);
    virtual ~CKyrProcessChecker();
    CKyrProcessChecker(const CKyrProcessChecker&) = delete;
    CKyrProcessChecker& operator=(const CKyrProcessChecker&) = delete;

    // Frees every taken slot whose process is not running, under the block's
    // lock.
    void VerifyProcessIds();
    // The same for a caller that holds the block's lock. Each owner is looked
    // up on its own while the lock is held: a reading of /proc taken before
    // would miss a client that started, and registered, in between. That is
    // one lookup per taken slot, and a device has one client at a time.
    // No owner is taken for dead when /proc does not show even this process:
    // every slot would look dead. Slots their owners marked as left are freed
    // (see KyrHandleSharedMemory::bLeft).
    static void FreeDeadSlots(KyrHandleSharedMemory& block);
    // The liveness rule above, for one process.
    static bool IsProcessRunning(unsigned long dwProcessId);
    // No process is ever reported as the active one on this platform: sets
    // bChanged to false and returns false.
    bool CheckActiveProcess(bool& bChanged);
    static unsigned long GetCurrentProcessId();

private:
    CKyrSharedMemory& m_SharedMemory;
};

} // namespace kyr_hid_library
