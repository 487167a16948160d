// The machine-wide firmware-download flag: while one process marks a
// download, every process holds its ordinary traffic back.
//
// The mark records its owner: a process that marks a download writes its
// process id there, so that the mark of a process that died without unmarking
// (killed, or gone without closing) counts as cleared, and the first process
// to find it clears it. A value of 1, as written by a process that records no
// owner, means "marked, owner unknown"; so does any other value that cannot be
// a process id. Such a mark is taken as live (1 is the id of init, which never
// exits) and lasts until somebody unmarks it.
#pragma once

#include <mutex>

#include "KyrSharedMemory.h"

namespace kyr_hid_library {

class CKyrFWDnCheck {
public:
    typedef struct _KyrDnCheckSharedMemory {
        int bFirmwareDownload; // 0, or the id of the process that marked a download (1: owner unknown)
    } KyrDnCheckSharedMemory;

    enum eState { NotDownloading = 0, Downloading = 1, Unknown = 2 };

    CKyrFWDnCheck();
    ~CKyrFWDnCheck();
    CKyrFWDnCheck(const CKyrFWDnCheck&) = delete;
    CKyrFWDnCheck& operator=(const CKyrFWDnCheck&) = delete;

    // Non-zero marks a download as this process's, 0 unmarks it. False when
    // the flag could not be written (its block is unavailable).
    bool SetDownloadCheck(int bDownload);
    bool IsDownloadNow() { return GetState() == Downloading; }
    // Unknown when the flag's block cannot be had: then nobody can tell
    // whether a download runs, and callers must not act as if none did.
    eState GetState();

private:
    bool Attach();

    // The block's lock keeps other processes out, not this object's other
    // users (application threads and the instant-mode timer): they take
    // m_csFlag first, then the block's lock.
    std::mutex m_csFlag;
    // Mapped from construction, or from the first use after a failed attempt,
    // until destruction.
    CKyrSharedMemory m_SharedMemory;  // guarded by m_csFlag
    bool m_bAttached = false;         // guarded by m_csFlag
    bool m_bIsDownloadLocked = false; // guarded by m_csFlag
};

} // namespace kyr_hid_library
