#include "KyrFWDnCheck.h"

namespace kyr_hid_library {

namespace {

constexpr char kSyncName[] = "ZarnDownloadCheck@SYNC_OBJECT";
constexpr char kMemoryName[] = "ZarnDownloadCheck@SHARED_MEMORY";

} // namespace

CKyrFWDnCheck::CKyrFWDnCheck()
{
    Attach();
}

CKyrFWDnCheck::~CKyrFWDnCheck()
{
    if (m_bIsDownloadLocked)
        SetDownloadCheck(0);
    m_SharedMemory.Destroy();
}

// Retried on every use: a block that could not be created once (a full or
// unwritable temporary directory) may be available later.
bool CKyrFWDnCheck::Attach()
{
    if (m_bAttached)
        return true;
    bool bInit = false;
    if (!m_SharedMemory.Create(kSyncName, kMemoryName, sizeof(KyrDnCheckSharedMemory), bInit))
        return false;
    m_bAttached = true;
    if (bInit) {
        CKyrSharedMemory::Locker lock(m_SharedMemory);
        if (lock.IsLocked())
            static_cast<KyrDnCheckSharedMemory*>(m_SharedMemory.GetMemory())->bFirmwareDownload = 0;
    }
    return true;
}

bool CKyrFWDnCheck::SetDownloadCheck(int bDownload)
{
    m_bIsDownloadLocked = bDownload == 1;
    if (!Attach())
        return false;
    CKyrSharedMemory::Locker lock(m_SharedMemory);
    if (!lock.IsLocked())
        return false;
    static_cast<KyrDnCheckSharedMemory*>(m_SharedMemory.GetMemory())->bFirmwareDownload = bDownload;
    return true;
}

CKyrFWDnCheck::eState CKyrFWDnCheck::GetState()
{
    if (!Attach())
        return Unknown;
    CKyrSharedMemory::Locker lock(m_SharedMemory);
    if (!lock.IsLocked())
        return Unknown;
    return static_cast<KyrDnCheckSharedMemory*>(m_SharedMemory.GetMemory())->bFirmwareDownload != 0 ? Downloading
                                                                                                    : NotDownloading;
}

} // namespace kyr_hid_library
