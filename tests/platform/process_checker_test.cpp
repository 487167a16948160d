// The liveness check against real processes: slots of exited processes are
// freed, those of running ones (the caller's own included) and free slots are
// left alone.
#include <chrono>
#include <cstring>
#include <thread>

#include "KyrProcessChecker.h"
#include "sysv_test_support.h"

using kyr_hid_library::CKyrProcessChecker;
using kyr_hid_library::CKyrSharedMemory;
using kyr_hid_library::KyrHandleSharedMemory;
using namespace sysv_test;

namespace {

class ProcessCheckerTest : public SysvTest {
protected:
    void SetUp() override
    {
        SysvTest::SetUp();
        bool bInit = false;
        ASSERT_TRUE(m_Shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));
        m_pBlock = static_cast<KyrHandleSharedMemory*>(m_Shm.GetMemory());
    }

    void TearDown() override
    {
        m_Shm.Destroy();
        SysvTest::TearDown();
    }

    void ResetBlock()
    {
        std::memset(static_cast<void*>(m_pBlock), 0, sizeof *m_pBlock);
        for (auto& mode : m_pBlock->nClientInstantMode)
            mode = -1;
        m_pBlock->nInstantMode = 0x0F;
        m_pBlock->nCmdId = 9;
        m_pBlock->dwClientFGstValue = 0x55;
    }

    // Registers a client as the library does, through the given mapping.
    static void Take(KyrHandleSharedMemory* pBlock, int nSlot, unsigned long dwPid, std::int16_t nMode)
    {
        pBlock->nClientInstantMode[nSlot] = nMode;
        pBlock->dwUniqueId[nSlot] = dwPid;
        pBlock->bUseExclusiveApp[nSlot] = 1;
        ++pBlock->lLockCount;
    }

    void ExpectSlot(int nSlot, unsigned long dwPid, std::int16_t nMode, int nExclusive)
    {
        EXPECT_EQ(m_pBlock->nClientInstantMode[nSlot], nMode) << "slot " << nSlot;
        EXPECT_EQ(m_pBlock->dwUniqueId[nSlot], dwPid) << "slot " << nSlot;
        EXPECT_EQ(m_pBlock->bUseExclusiveApp[nSlot], nExclusive) << "slot " << nSlot;
    }

    CKyrSharedMemory m_Shm;
    KyrHandleSharedMemory* m_pBlock = nullptr;
};

// The control and the gesture value go with a dead client, and stay while
// every client runs; the instant mode and the command id are left for the
// next merge to recompute.
TEST_F(ProcessCheckerTest, FreesSlotsOfExitedProcessesOnly)
{
    const unsigned long dwSelf = CKyrProcessChecker::GetCurrentProcessId();
    ASSERT_EQ(dwSelf, static_cast<unsigned long>(::getpid()));
    for (const bool bDeadOwner : {false, true}) {
        SCOPED_TRACE(bDeadOwner ? "with dead owners" : "all running");
        Peer live(PeerArgs({"wait"})), dead(PeerArgs({}));
        ASSERT_EQ(dead.Wait(), 0);
        ResetBlock();
        Take(m_pBlock, 0, dwSelf, 0x03);
        Take(m_pBlock, 1, live.Pid(), 0x05);
        if (bDeadOwner) {
            Take(m_pBlock, 2, dead.Pid(), 0x07);
            Take(m_pBlock, 200, 0, 0x01);
        }
        // A free slot keeps whatever it records.
        m_pBlock->dwUniqueId[10] = dead.Pid();
        m_pBlock->bUseExclusiveApp[10] = 1;
        m_pBlock->nControlClientID = 1;

        CKyrProcessChecker(m_Shm).VerifyProcessIds();

        ExpectSlot(0, dwSelf, 0x03, 1);
        ExpectSlot(1, live.Pid(), 0x05, 1);
        ExpectSlot(2, 0, -1, 0);
        ExpectSlot(200, 0, -1, 0);
        ExpectSlot(10, dead.Pid(), -1, 1);
        EXPECT_EQ(m_pBlock->lLockCount, 2);
        EXPECT_EQ(m_pBlock->dwClientFGstValue, bDeadOwner ? ~0UL : 0x55UL);
        EXPECT_EQ(m_pBlock->nControlClientID, bDeadOwner ? -1 : 1);
        EXPECT_EQ(m_pBlock->nInstantMode, 0x0F);
        EXPECT_EQ(m_pBlock->nCmdId, 9);
    }
}

// A client that starts, and registers, while the checker waits for the
// block's lock is alive all the same: a reading of /proc made before the
// lock was taken would not know it.
TEST_F(ProcessCheckerTest, OwnerThatStartedWhileTheCheckerWaitedKeepsItsSlot)
{
    ResetBlock();
    CKyrProcessChecker checker(m_Shm);
    CKyrSharedMemory other;
    bool bInit = true;
    ASSERT_TRUE(other.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));
    ASSERT_TRUE(other.Lock());
    std::thread check([&] { checker.VerifyProcessIds(); });
    // The checker waits for the lock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::semctl(SemaphoreId(SemaphoreKeyFile(SYNC_NAME)), 0, GETNCNT) != 1
           && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // Registered through the other object's own mapping, as another client
    // would.
    Peer late(PeerArgs({"wait"}));
    Take(static_cast<KyrHandleSharedMemory*>(other.GetMemory()), 3, late.Pid(), 0x09);
    ASSERT_TRUE(other.Unlock());
    check.join();
    ExpectSlot(3, late.Pid(), 0x09, 1);
    other.Destroy();
}

} // namespace
