#include "KyrProcessChecker.h"

#include <unistd.h>

#include <string>

namespace kyr_hid_library {

namespace {

constexpr std::int16_t SLOT_FREE = -1;

void FreeSlot(KyrHandleSharedMemory& block, int i)
{
    // Not below zero: a block found all zero has every slot taken by id 0,
    // and 256 decrements would leave a count that no client ever raised.
    if (block.lLockCount > 0)
        --block.lLockCount;
    block.nClientInstantMode[i] = SLOT_FREE;
    block.dwUniqueId[i] = 0;
    block.bUseExclusiveApp[i] = 0;
    // Whoever controlled the instant mode, control is released.
    block.dwClientFGstValue = ~0UL;
    block.nControlClientID = -1;
}

} // namespace

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
    if (!IsProcessRunning(GetCurrentProcessId()))
        return;
    for (int i = 0; i < 256; ++i) {
        if (block.nClientInstantMode[i] != SLOT_FREE && !IsProcessRunning(block.dwUniqueId[i]))
            FreeSlot(block, i);
    }
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
