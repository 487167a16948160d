#include "KyrFWDnCheck.h"

#include "KyrProcessChecker.h"

namespace kyr_hid_library {

namespace {

constexpr char kSyncName[] = "ZarnDownloadCheck@SYNC_OBJECT";
constexpr char kMemoryName[] = "ZarnDownloadCheck@SHARED_MEMORY";

// The marks that name no process that could have died.
constexpr bool NamesNoOwner(int nMark)
{
    return nMark <= 1;
}

} // namespace

CKyrFWDnCheck::CKyrFWDnCheck()
{
    std::lock_guard lock(m_csFlag);
    Attach();
}

CKyrFWDnCheck::~CKyrFWDnCheck()
{
    bool bMarked;
    {
        std::lock_guard lock(m_csFlag);
        bMarked = m_bIsDownloadLocked;
    }
    if (bMarked)
        SetDownloadCheck(0);
    m_SharedMemory.Destroy();
}

// Retried on every use: a block that could not be created once (a full or
// unwritable temporary directory, a lock taken beyond its bound) may be
// available later.
bool CKyrFWDnCheck::Attach()
{
    if (m_bAttached)
        return true;
    bool bInit = false;
    m_bAttached = m_SharedMemory.Create(kSyncName, kMemoryName, sizeof(KyrDnCheckSharedMemory), bInit, [](void* p) {
        static_cast<KyrDnCheckSharedMemory*>(p)->bFirmwareDownload = 0;
    });
    return m_bAttached;
}

bool CKyrFWDnCheck::SetDownloadCheck(int bDownload)
{
    std::lock_guard lock(m_csFlag);
    m_bIsDownloadLocked = bDownload != 0;
    if (!Attach())
        return false;
    CKyrSharedMemory::Locker locker(m_SharedMemory);
    if (!locker.IsLocked())
        return false;
    static_cast<KyrDnCheckSharedMemory*>(m_SharedMemory.GetMemory())->bFirmwareDownload =
        bDownload != 0 ? static_cast<int>(CKyrProcessChecker::GetCurrentProcessId()) : 0;
    return true;
}

CKyrFWDnCheck::eState CKyrFWDnCheck::GetState()
{
    std::lock_guard lock(m_csFlag);
    if (!Attach())
        return Unknown;
    CKyrSharedMemory::Locker locker(m_SharedMemory);
    if (!locker.IsLocked())
        return Unknown;
    int& nMark = static_cast<KyrDnCheckSharedMemory*>(m_SharedMemory.GetMemory())->bFirmwareDownload;
    if (nMark == 0)
        return NotDownloading;
    if (!NamesNoOwner(nMark) && !CKyrProcessChecker::IsProcessRunning(static_cast<unsigned long>(nMark))) {
        nMark = 0;
        return NotDownloading;
    }
    return Downloading;
}

} // namespace kyr_hid_library
