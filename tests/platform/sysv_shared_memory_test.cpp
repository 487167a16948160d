// Shared blocks across real processes: who initialises and when, a waiter
// kept out until the holder is killed with the lock, the lock's creator
// leaving early, a lock left taken or never set up, who removes what, and
// key-file paths. And
// the liveness check of the block's slots against real processes: slots of
// exited processes are freed, those of running ones (the caller's own
// included) and free slots are left alone.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>

#include "CSysSemaphore.h"
#include "CSysSharedMemory.h"
#include "KyrProcessChecker.h"
#include "KyrSharedMemory.h"
#include "sysv_test_support.h"

using kyr_hid_library::CKyrProcessChecker;
using kyr_hid_library::CKyrSharedMemory;
using kyr_hid_library::KyrHandleSharedMemory;
using namespace sysv_test;

namespace {

constexpr size_t BLOCK_SIZE = sizeof(KyrHandleSharedMemory);

// sysv_peer on the test's block, running the given commands.
std::vector<std::string> PeerArgs(std::initializer_list<std::string> commands)
{
    std::vector<std::string> args {SYSV_PEER_PATH, SYNC_NAME, MEMORY_NAME, std::to_string(BLOCK_SIZE)};
    args.insert(args.end(), commands);
    return args;
}

std::uint32_t* Word(CKyrSharedMemory& shm, int n)
{
    return static_cast<std::uint32_t*>(shm.GetMemory()) + n;
}

// Until a process or thread waits for the test's lock; false after a
// generous bound.
bool LockWaiterArrives(const std::string& keyFile)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::semctl(SemaphoreId(keyFile), 0, GETNCNT) != 1) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A semaphore made as another process would leave it, with its key file.
// A negative nValue leaves it as semget makes it: 0, never set by anybody.
void MakeSemaphore(const std::string& keyFile, int nValue)
{
    ASSERT_EQ(::close(::open(keyFile.c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    const int id = ::semget(::ftok(keyFile.c_str(), 81), 1, IPC_CREAT | IPC_EXCL | 0666);
    ASSERT_NE(id, -1);
    ASSERT_TRUE(nValue < 0 || ::semctl(id, 0, SETVAL, nValue) == 0);
}

// Peers started meanwhile, and this process, wait for a lock at most nMs.
struct LockTimeout {
    explicit LockTimeout(int nMs) { ::setenv("KYR_TEST_LOCK_TIMEOUT_MS", std::to_string(nMs).c_str(), 1); }
    ~LockTimeout() { ::unsetenv("KYR_TEST_LOCK_TIMEOUT_MS"); }
};

class SysvSharedMemoryTest : public SysvTest {
protected:
    void TearDown() override
    {
        m_Shm.Destroy();
        SysvTest::TearDown();
    }

    CKyrSharedMemory m_Shm;
    bool m_bInit = false;
};

// The peer makes the block and leaves first: the lock stays with the block,
// and the last user, whoever made it, removes block, lock and key files.
TEST_F(SysvSharedMemoryTest, FirstCreatorInitialisesBothSeeTheSameMemoryLastUserRemovesAll)
{
    Peer first(PeerArgs({"create", "put", "1234", "say", "ready", "wait", "get", "destroy"}));
    EXPECT_EQ(first.ReadLine(), "init 1");
    ASSERT_EQ(first.ReadLine(), "ready");
    m_bInit = true;
    ASSERT_TRUE(m_Shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, m_bInit));
    EXPECT_FALSE(m_bInit);
    {
        CKyrSharedMemory::Locker locker(m_Shm);
        ASSERT_TRUE(locker.IsLocked());
        EXPECT_EQ(*Word(m_Shm, 1), 1234u);
        *Word(m_Shm, 1) = 5678;
    }
    first.WriteLine("go");
    EXPECT_EQ(first.ReadLine(), "value 5678");
    ASSERT_EQ(first.Wait(), 0);

    // Both key files sit directly in TMPDIR under their prefixes.
    EXPECT_TRUE(std::filesystem::exists(MemoryKeyFile(MEMORY_NAME)));
    EXPECT_NE(::shmget(::ftok(MemoryKeyFile(MEMORY_NAME).c_str(), 81), 0, 0), -1);
    EXPECT_EQ(LockValue(), 1);
    m_Shm.Destroy();
    EXPECT_EQ(m_Shm.GetMemory(), nullptr);
    EXPECT_EQ(LockValue(), -1);
    EXPECT_TRUE(NoKeyFiles());
}

TEST_F(SysvSharedMemoryTest, WaiterBlocksUntilHolderIsKilled)
{
    ASSERT_TRUE(m_Shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, m_bInit));
    Peer waiter(PeerArgs({"create", "wait", "lock", "say", "got", "unlock", "destroy"}));
    ASSERT_EQ(waiter.ReadLine(), "init 0");
    Peer holder(PeerArgs({"create", "lock", "say", "locked", "wait"}));
    ASSERT_EQ(holder.ReadLine(), "init 0");
    ASSERT_EQ(holder.ReadLine(), "locked");
    waiter.WriteLine("go");
    EXPECT_EQ(waiter.ReadLine(500), std::nullopt) << "took a lock that another process holds";

    // The system gives a dead holder's count back (SEM_UNDO).
    holder.Kill();
    ASSERT_EQ(waiter.ReadLine(), "got");
    EXPECT_EQ(waiter.Wait(), 0);
    EXPECT_EQ(LockValue(), 1);
    EXPECT_TRUE(m_Shm.Lock());
    EXPECT_TRUE(m_Shm.Unlock());
}

// The creator of the lock leaves while another process holds it: a newcomer
// must wait for that holder, not make a second lock and walk in beside it.
TEST_F(SysvSharedMemoryTest, LeavingCreatorDoesNotSplitTheLock)
{
    auto creator = std::make_unique<CSysSharedMemory>();
    ASSERT_TRUE(creator->Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, m_bInit, CSysSharedMemory::AM_ReadWrite));
    ASSERT_TRUE(m_bInit);
    Peer holder(PeerArgs({"create", "say", "attached", "wait", "lock", "say", "locked", "wait", "unlock", "destroy"}));
    ASSERT_EQ(holder.ReadLine(), "init 0");
    ASSERT_EQ(holder.ReadLine(), "attached");
    ASSERT_TRUE(creator->Detach());
    holder.WriteLine("go");
    ASSERT_EQ(holder.ReadLine(), "locked");
    creator.reset();
    {
        LockTimeout bound(300);
        Peer newcomer(PeerArgs({"create"}));
        EXPECT_EQ(newcomer.Wait(), 11) << "took the block while another process held its lock";
    }
    holder.WriteLine("go");
    EXPECT_EQ(holder.Wait(), 0);
}

// Any local user can leave a lock taken for good; a wait for it ends, while
// signals keep interrupting it.
TEST_F(SysvSharedMemoryTest, LockLeftTakenTimesOutAcrossSignals)
{
    MakeSemaphore(SemaphoreKeyFile(SYNC_NAME), 0);
    struct sigaction action {};
    action.sa_handler = [](int) {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, nullptr), 0);
    const pthread_t waiter = ::pthread_self();
    std::atomic<bool> bDone {false};
    std::thread signaller([&] {
        while (!bDone) {
            ::pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    {
        LockTimeout bound(300);
        m_bInit = true;
        EXPECT_FALSE(m_Shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, m_bInit));
    }
    bDone = true;
    signaller.join();
    EXPECT_TRUE(m_Shm.TimedOut());
    EXPECT_FALSE(m_bInit);
    EXPECT_EQ(LockValue(), 0);
    EXPECT_FALSE(std::filesystem::exists(MemoryKeyFile(MEMORY_NAME)));
    ::semctl(SemaphoreId(SemaphoreKeyFile(SYNC_NAME)), 0, IPC_RMID);
    ::unlink(SemaphoreKeyFile(SYNC_NAME).c_str());
}

// What a process that died early leaves: a lock its maker never gave a value,
// a memory key file whose segment is gone. The block is new all the same.
TEST_F(SysvSharedMemoryTest, LockNeverSetUpAndStaleKeyFileGiveANewBlockToInitialise)
{
    MakeSemaphore(SemaphoreKeyFile(SYNC_NAME), -1);
    ASSERT_EQ(::close(::open(MemoryKeyFile(MEMORY_NAME).c_str(), O_CREAT | O_WRONLY, 0666)), 0);
    bool bInitialised = false;
    ASSERT_TRUE(m_Shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, m_bInit, [&](void*) { bInitialised = true; }));
    EXPECT_TRUE(m_bInit);
    EXPECT_TRUE(bInitialised);
    EXPECT_EQ(LockValue(), 1);
    m_Shm.Destroy();
    EXPECT_TRUE(NoKeyFiles());
}

// The first user initialises the block inside the hold that made it: a
// process that joins meanwhile waits, and sees the initialised contents.
TEST_F(SysvSharedMemoryTest, NewBlockIsInitialisedBeforeAnyoneElseLocksIt)
{
    std::unique_ptr<Peer> joiner;
    ASSERT_TRUE(m_Shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, m_bInit, [&](void* pMemory) {
        joiner = std::make_unique<Peer>(PeerArgs({"create", "get", "destroy"}));
        ASSERT_TRUE(LockWaiterArrives(SemaphoreKeyFile(SYNC_NAME)));
        static_cast<std::uint32_t*>(pMemory)[1] = 4321;
    }));
    EXPECT_TRUE(m_bInit);
    ASSERT_TRUE(joiner);
    EXPECT_EQ(joiner->ReadLine(), "init 0");
    EXPECT_EQ(joiner->ReadLine(), "value 4321");
    EXPECT_EQ(joiner->Wait(), 0);
    m_Shm.Destroy();
}

// A second Create replaces the block; one that is refused (a negative size, a
// segment smaller than asked for) makes nothing and leaves nothing mapped.
TEST_F(SysvSharedMemoryTest, CreateAgainReplacesTheBlockARefusedOneMakesNothing)
{
    ASSERT_TRUE(m_Shm.Create(SYNC_NAME, "first", 64, m_bInit));
    ASSERT_TRUE(m_Shm.Create(SYNC_NAME, "second", 64, m_bInit));
    EXPECT_TRUE(m_bInit);
    EXPECT_FALSE(std::filesystem::exists(MemoryKeyFile("first")));
    EXPECT_TRUE(std::filesystem::exists(MemoryKeyFile("second")));
    m_Shm.Destroy();

    CSysSharedMemory negative;
    m_bInit = true;
    EXPECT_FALSE(negative.Create(SYNC_NAME, MEMORY_NAME, -1, m_bInit, CSysSharedMemory::AM_ReadWrite));
    EXPECT_FALSE(m_bInit);
    EXPECT_TRUE(NoKeyFiles());

    CKyrSharedMemory large;
    ASSERT_TRUE(m_Shm.Create(SYNC_NAME, MEMORY_NAME, 16, m_bInit));
    EXPECT_FALSE(large.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, m_bInit));
    EXPECT_FALSE(m_bInit);
    EXPECT_EQ(large.GetMemory(), nullptr);
    EXPECT_FALSE(large.Lock());
}

// A release that meets a semaphore removed by its creator must not add a count
// to the re-created one: a lock at 2 lets two holders in.
TEST_F(SysvSharedMemoryTest, ReleaseAfterRemovalDoesNotOverfillTheLock)
{
    auto creator = std::make_unique<CSysSemaphore>(SYNC_NAME, 1);
    CSysSemaphore user(SYNC_NAME, 1);
    ASSERT_EQ(LockValue(), 1);
    ASSERT_TRUE(user.Acquire());
    EXPECT_EQ(LockValue(), 0);
    creator.reset();
    EXPECT_TRUE(user.Release(1));
    ASSERT_TRUE(user.Acquire());
    EXPECT_EQ(LockValue(), 0);
    EXPECT_TRUE(user.Release(1));
    EXPECT_EQ(LockValue(), 1);
}

// The whole path must fit in 512 bytes with its NUL. Built from a nested
// directory so that the path reaches the limit while no file name exceeds 255;
// TMPDIR with a trailing slash or without.
class SysvKeyFilePathTest : public SysvTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SysvKeyFilePathTest, PathOf511CharactersFitsOneMoreIsRefused)
{
    constexpr size_t BASE_LENGTH = 292;
    std::string base = m_Dir;
    while (base.size() < BASE_LENGTH) {
        const size_t nPart = std::min<size_t>(100, BASE_LENGTH - base.size() - 1);
        base.append(1, '/').append(nPart, 'd');
    }
    std::filesystem::create_directories(base);
    ASSERT_EQ(base.size(), BASE_LENGTH);
    ::setenv("TMPDIR", (GetParam() ? base + "/" : base).c_str(), 1);
    // Names whose key-file path is exactly nPathLength characters long.
    const auto memory = [](size_t nLength) { return std::string(nLength - BASE_LENGTH - 19, 'm'); };
    const auto sync = [](size_t nLength) { return std::string(nLength - BASE_LENGTH - 16, 's'); };

    CKyrSharedMemory shm;
    bool bInit = false;
    ASSERT_TRUE(shm.Create(sync(511).c_str(), memory(511).c_str(), 64, bInit));
    EXPECT_TRUE(bInit);
    EXPECT_TRUE(std::filesystem::exists(base + "/qipc_sharedmemory_" + memory(511)));
    EXPECT_TRUE(std::filesystem::exists(base + "/qipc_systemsem_" + sync(511)));
    shm.Destroy();
    for (const auto& [szSync, szMemory] : {std::pair{sync(511), memory(512)}, std::pair{sync(512), memory(511)}}) {
        EXPECT_FALSE(shm.Create(szSync.c_str(), szMemory.c_str(), 64, bInit));
        EXPECT_FALSE(bInit);
        EXPECT_TRUE(NoKeyFiles());
    }
}

INSTANTIATE_TEST_SUITE_P(TrailingSlash, SysvKeyFilePathTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithSlash" : "WithoutSlash"; });

// Over a block this process made.
class ProcessCheckerTest : public SysvSharedMemoryTest {
protected:
    void SetUp() override
    {
        SysvSharedMemoryTest::SetUp();
        ASSERT_TRUE(m_Shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, m_bInit));
        m_pBlock = static_cast<KyrHandleSharedMemory*>(m_Shm.GetMemory());
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
    EXPECT_TRUE(LockWaiterArrives(SemaphoreKeyFile(SYNC_NAME))) << "the checker does not wait for the lock";

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
