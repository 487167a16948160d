#include "KyrProcessChecker.h"

#include <unistd.h>

#include <string>

#include "KyrDeviceBlock.h"

namespace kyr_hid_library {

CKyrProcessChecker::CKyrProcessChecker(CKyrSharedMemory& SharedMemory) : m_SharedMemory(SharedMemory) {}

CKyrProcessChecker::~CKyrProcessChecker() = default;

bool CKyrProcessChecker::IsProcessRunning(unsigned long dwProcessId)
{
    if (dwProcessId == 0)
        return false;
    // Whether cmdline opens for reading, asked without opening it: no
    // descriptor is taken while the block's lock is held.
    const std::string strCmdLine = "/proc/" + std::to_string(dwProcessId) + "/cmdline";
    return ::access(strCmdLine.c_str(), R_OK) == 0;
}

void CKyrProcessChecker::VerifyProcessIds()
{
    CKyrSharedMemory::Locker locker(m_SharedMemory);
    auto* pBlock = static_cast<KyrHandleSharedMemory*>(m_SharedMemory.GetMemory());
    if (locker.IsLocked() && pBlock)
        FreeDeadSlots(*pBlock);
}

void CKyrProcessChecker::FreeDeadSlots(KyrHandleSharedMemory& block)
{
    kyr_hid_library::FreeDeadSlots(block, GetCurrentProcessId(), &IsProcessRunning);
}

bool CKyrProcessChecker::CheckActiveProcess(bool& bChanged)
{
    bChanged = false;
    return false;
}

unsigned long CKyrProcessChecker::GetCurrentProcessId()
{
    return static_cast<unsigned long>(::getpid());
}

} // namespace kyr_hid_library
