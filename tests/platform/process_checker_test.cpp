// The liveness check against real processes: slots of exited processes are
// freed, those of running ones (the caller's own included) and free slots are
// left alone.
#include <chrono>
#include <thread>

#include "KyrProcessChecker.h"
#include "KyrSharedMemory.h"
#include "sysv_test_support.h"

using kyr_hid_library::CKyrProcessChecker;
using kyr_hid_library::CKyrSharedMemory;
using kyr_hid_library::KyrHandleSharedMemory;
using namespace sysv_test;

namespace {

// A child that runs until the test closes its pipe.
class LiveChild {
public:
    LiveChild()
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        m_Pid = ::fork();
        if (m_Pid == 0) {
            ::close(fds[1]);
            char c;
            while (::read(fds[0], &c, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(fds[0]);
        m_nPipe = fds[1];
    }
    ~LiveChild()
    {
        ::close(m_nPipe);
        ::waitpid(m_Pid, nullptr, 0);
    }
    unsigned long Pid() const { return static_cast<unsigned long>(m_Pid); }

private:
    pid_t m_Pid = -1;
    int m_nPipe = -1;
};

// The id of a process that has exited and been reaped.
unsigned long DeadPid()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return static_cast<unsigned long>(pid);
}

class ProcessCheckerTest : public SysvTest {
protected:
    void SetUp() override
    {
        SysvTest::SetUp();
        bool bInit = false;
        ASSERT_TRUE(m_Shm.Create(SYNC_NAME, MEMORY_NAME, sizeof(KyrHandleSharedMemory), bInit));
        m_pBlock = static_cast<KyrHandleSharedMemory*>(m_Shm.GetMemory());
        for (auto& mode : m_pBlock->nClientInstantMode)
            mode = -1;
        m_pBlock->nInstantMode = 0x0F;
        m_pBlock->nCmdId = 9;
        m_pBlock->dwClientFGstValue = 0x55;
    }

    void TearDown() override
    {
        m_Shm.Destroy();
        SysvTest::TearDown();
    }

    void Take(int nSlot, unsigned long dwPid, std::int16_t nMode)
    {
        m_pBlock->nClientInstantMode[nSlot] = nMode;
        m_pBlock->dwUniqueId[nSlot] = dwPid;
        m_pBlock->bUseExclusiveApp[nSlot] = 1;
        ++m_pBlock->lLockCount;
    }

    void ExpectFree(int nSlot)
    {
        EXPECT_EQ(m_pBlock->nClientInstantMode[nSlot], -1) << "slot " << nSlot;
        EXPECT_EQ(m_pBlock->dwUniqueId[nSlot], 0u) << "slot " << nSlot;
        EXPECT_EQ(m_pBlock->bUseExclusiveApp[nSlot], 0) << "slot " << nSlot;
    }

    void ExpectTaken(int nSlot, unsigned long dwPid, std::int16_t nMode)
    {
        EXPECT_EQ(m_pBlock->nClientInstantMode[nSlot], nMode) << "slot " << nSlot;
        EXPECT_EQ(m_pBlock->dwUniqueId[nSlot], dwPid) << "slot " << nSlot;
        EXPECT_EQ(m_pBlock->bUseExclusiveApp[nSlot], 1) << "slot " << nSlot;
    }

    CKyrSharedMemory m_Shm;
    KyrHandleSharedMemory* m_pBlock = nullptr;
};

TEST_F(ProcessCheckerTest, FreesSlotsOfExitedProcessesOnly)
{
    LiveChild live;
    const unsigned long dwDead = DeadPid();
    CKyrProcessChecker checker(m_Shm);
    const unsigned long dwSelf = checker.GetCurrentProcessId();
    ASSERT_EQ(dwSelf, static_cast<unsigned long>(::getpid()));

    Take(0, dwSelf, 0x03);
    Take(1, live.Pid(), 0x05);
    Take(2, dwDead, 0x07);
    Take(200, 0, 0x01);
    // A free slot keeps whatever it records.
    m_pBlock->dwUniqueId[10] = dwDead;
    m_pBlock->bUseExclusiveApp[10] = 1;
    m_pBlock->nControlClientID = 1;
    ASSERT_EQ(m_pBlock->lLockCount, 4);

    checker.VerifyProcessIds();

    ExpectTaken(0, dwSelf, 0x03);
    ExpectTaken(1, live.Pid(), 0x05);
    ExpectFree(2);
    ExpectFree(200);
    EXPECT_EQ(m_pBlock->nClientInstantMode[10], -1);
    EXPECT_EQ(m_pBlock->dwUniqueId[10], dwDead);
    EXPECT_EQ(m_pBlock->bUseExclusiveApp[10], 1);
    EXPECT_EQ(m_pBlock->lLockCount, 2);
    EXPECT_EQ(m_pBlock->dwClientFGstValue, ~0UL);
    EXPECT_EQ(m_pBlock->nControlClientID, -1);
    // Left for the next merge to recompute.
    EXPECT_EQ(m_pBlock->nInstantMode, 0x0F);
    EXPECT_EQ(m_pBlock->nCmdId, 9);
}

TEST_F(ProcessCheckerTest, RunningClientsKeepControlAndGestureValue)
{
    LiveChild live;
    CKyrProcessChecker checker(m_Shm);
    Take(0, checker.GetCurrentProcessId(), 0x03);
    Take(1, live.Pid(), 0x05);
    m_pBlock->nControlClientID = 1;

    checker.VerifyProcessIds();

    ExpectTaken(0, checker.GetCurrentProcessId(), 0x03);
    ExpectTaken(1, live.Pid(), 0x05);
    EXPECT_EQ(m_pBlock->lLockCount, 2);
    EXPECT_EQ(m_pBlock->dwClientFGstValue, 0x55u);
    EXPECT_EQ(m_pBlock->nControlClientID, 1);
}

// A client that starts, and registers, while the checker waits for the
// block's lock is alive all the same: a reading of /proc made before the
// lock was taken would not know it.
TEST_F(ProcessCheckerTest, OwnerThatStartedWhileTheCheckerWaitedKeepsItsSlot)
{
    CKyrProcessChecker checker(m_Shm);
    CKyrSharedMemory other;
    bool bInit = true;
    ASSERT_TRUE(other.Create(SYNC_NAME, MEMORY_NAME, sizeof(KyrHandleSharedMemory), bInit));
    ASSERT_TRUE(other.Lock());
    std::thread check([&] { checker.VerifyProcessIds(); });
    // The checker waits for the lock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const key_t key = ::ftok(SemaphoreKeyFile(SYNC_NAME).c_str(), 81);
    while (::semctl(::semget(key, 0, 0), 0, GETNCNT) != 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // Registered through the other object's own mapping, as another client
    // would.
    LiveChild late;
    auto* pOther = static_cast<KyrHandleSharedMemory*>(other.GetMemory());
    pOther->nClientInstantMode[3] = 0x09;
    pOther->dwUniqueId[3] = late.Pid();
    pOther->bUseExclusiveApp[3] = 1;
    ++pOther->lLockCount;
    ASSERT_TRUE(other.Unlock());
    check.join();
    ExpectTaken(3, late.Pid(), 0x09);
    other.Destroy();
}

} // namespace
