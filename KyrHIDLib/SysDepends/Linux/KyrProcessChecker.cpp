#include "KyrProcessChecker.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kyr_hid_library {

namespace {

bool IsNumeric(const char* psz)
{
    if (!psz)
        return false;
    for (; *psz; ++psz) {
        if (*psz < '0' || *psz > '9')
            return false;
    }
    return true;
}

constexpr std::int16_t SLOT_FREE = -1;

} // namespace

CKyrProcessChecker::CKyrProcessChecker(CKyrSharedMemory& SharedMemory) : m_SharedMemory(SharedMemory) {}

CKyrProcessChecker::~CKyrProcessChecker() = default;

bool CKyrProcessChecker::RefreshProcessIdList()
{
    m_ProcessIdList.clear();
    DIR* pDir = ::opendir("/proc/");
    if (!pDir)
        return false;
    while (const dirent* pEntry = ::readdir(pDir)) {
        if (pEntry->d_type != DT_DIR || !IsNumeric(pEntry->d_name))
            continue;
        const std::string strCmdLine = std::string("/proc/") + pEntry->d_name + "/cmdline";
        if (FILE* pFile = std::fopen(strCmdLine.c_str(), "r")) {
            std::fclose(pFile);
            m_ProcessIdList.push_back(std::strtoul(pEntry->d_name, nullptr, 10));
        }
    }
    ::closedir(pDir);
    return true;
}

bool CKyrProcessChecker::FindProcessId(unsigned long dwProcessId)
{
    return std::find(m_ProcessIdList.begin(), m_ProcessIdList.end(), dwProcessId) != m_ProcessIdList.end();
}

void CKyrProcessChecker::VerifyProcessIds()
{
    // Nothing is freed on a failed scan: every slot would look dead.
    if (!RefreshProcessIdList())
        return;

    CKyrSharedMemory::Locker locker(m_SharedMemory);
    auto* pBlock = static_cast<KyrHandleSharedMemory*>(m_SharedMemory.GetMemory());
    if (!locker.IsLocked() || !pBlock)
        return;
    for (int i = 0; i < 256; ++i) {
        if (pBlock->nClientInstantMode[i] == SLOT_FREE || FindProcessId(pBlock->dwUniqueId[i]))
            continue;
        // Not below zero: a block found all zero has every slot taken by id 0,
        // and 256 decrements would leave a count that no client ever raised.
        if (pBlock->lLockCount > 0)
            --pBlock->lLockCount;
        pBlock->nClientInstantMode[i] = SLOT_FREE;
        pBlock->dwUniqueId[i] = 0;
        pBlock->bUseExclusiveApp[i] = 0;
        // Whoever controlled the instant mode, control is released.
        pBlock->dwClientFGstValue = ~0UL;
        pBlock->nControlClientID = -1;
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
