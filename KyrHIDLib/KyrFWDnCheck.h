// The machine-wide firmware-download flag: while one process marks a
// download, every process holds its ordinary traffic back.
#pragma once

#include "KyrSharedMemory.h"

namespace kyr_hid_library {

class CKyrFWDnCheck {
public:
    typedef struct _KyrDnCheckSharedMemory {
        int bFirmwareDownload; // non-zero while a download is marked
    } KyrDnCheckSharedMemory;

    enum eState { NotDownloading = 0, Downloading = 1, Unknown = 2 };

    CKyrFWDnCheck();
    ~CKyrFWDnCheck();
    CKyrFWDnCheck(const CKyrFWDnCheck&) = delete;
    CKyrFWDnCheck& operator=(const CKyrFWDnCheck&) = delete;

    // False when the flag could not be written (its block is unavailable).
    bool SetDownloadCheck(int bDownload);
    bool IsDownloadNow() { return GetState() == Downloading; }
    // Unknown when the flag's block cannot be created: then nobody can tell
    // whether a download runs, and callers must not act as if none did.
    eState GetState();

private:
    bool Attach();

    CKyrSharedMemory m_SharedMemory;
    bool m_bAttached = false;
    bool m_bIsDownloadLocked = false;
};

} // namespace kyr_hid_library
