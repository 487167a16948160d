// Frees the client slots of KyrHandleSharedMemory whose owning process no
// longer runs, so that a device whose last user crashed can be opened again.
//
// A process counts as running while /proc lists a directory for its id whose
// cmdline file opens for reading; ids are compared only, so a reused id counts
// as its old owner.
#pragma once

#include <vector>

#include "KyrSharedMemory.h"

namespace kyr_hid_library {

class CKyrProcessChecker {
public:
    typedef std::vector<unsigned long> ProcessIdList;

    // Binds to a block owned by the caller; the checker never creates or
    // destroys it.
    explicit CKyrProcessChecker(CKyrSharedMemory& SharedMemory);
    virtual ~CKyrProcessChecker();
    CKyrProcessChecker(const CKyrProcessChecker&) = delete;
    CKyrProcessChecker& operator=(const CKyrProcessChecker&) = delete;

    // Rescans the running processes; false (and an empty list) when /proc
    // cannot be read.
    bool RefreshProcessIdList();
    // Whether the id was running at the last scan.
    bool FindProcessId(unsigned long dwProcessId);
    // Rescans, then frees every taken slot whose process is not running.
    // Takes the block's lock, but never while /proc is read.
    void VerifyProcessIds();
    // No process is ever reported as the active one on this platform: sets
    // bChanged to false and returns false.
    bool CheckActiveProcess(bool& bChanged);
    unsigned long GetCurrentProcessId();

private:
    CKyrSharedMemory& m_SharedMemory;
    // Not guarded: the owning handle never runs two checks at once.
    ProcessIdList m_ProcessIdList;
};

} // namespace kyr_hid_library
