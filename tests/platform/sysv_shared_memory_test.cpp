// Shared blocks across real processes: who initialises and when, mutual
// exclusion, a holder killed with the lock, the lock's creator leaving early, a
// lock left taken or never set up, who removes what, and key-file paths.
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

// The id of the semaphore a key file names, or -1.
int SemaphoreId(const std::string& keyFile)
{
    const key_t key = ::ftok(keyFile.c_str(), 81);
    return key == -1 ? -1 : ::semget(key, 0, 0);
}

// Until nCount threads or processes wait for the semaphore; false after a
// generous bound.
bool WaitForWaiters(const std::string& keyFile, int nCount)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const int id = SemaphoreId(keyFile);
        if (id != -1 && ::semctl(id, 0, GETNCNT) == nCount)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// A semaphore made as another process would leave it, with its key file.
// A negative nValue leaves it as semget makes it: 0, never set by anybody.
void MakeSemaphore(const std::string& keyFile, int nValue)
{
    ASSERT_EQ(::close(::open(keyFile.c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    const int id = ::semget(::ftok(keyFile.c_str(), 81), 1, IPC_CREAT | IPC_EXCL | 0666);
    ASSERT_NE(id, -1);
    if (nValue >= 0) {
        ASSERT_EQ(::semctl(id, 0, SETVAL, nValue), 0);
    }
}

void RemoveSemaphore(const std::string& keyFile)
{
    const int id = SemaphoreId(keyFile);
    if (id != -1)
        ::semctl(id, 0, IPC_RMID);
    ::unlink(keyFile.c_str());
}

// Peers started meanwhile wait for a lock at most nMs.
class LockTimeoutForPeers {
public:
    explicit LockTimeoutForPeers(int nMs) { ::setenv("KYR_TEST_LOCK_TIMEOUT_MS", std::to_string(nMs).c_str(), 1); }
    ~LockTimeoutForPeers() { ::unsetenv("KYR_TEST_LOCK_TIMEOUT_MS"); }
    LockTimeoutForPeers(const LockTimeoutForPeers&) = delete;
    LockTimeoutForPeers& operator=(const LockTimeoutForPeers&) = delete;
};

class SysvSharedMemoryTest : public SysvTest {};

TEST_F(SysvSharedMemoryTest, FirstCreatorInitialisesAndBothSeeTheSameMemory)
{
    Peer first(PeerArgs({"create", "put", "1234", "say", "ready", "wait", "get", "destroy"}));
    EXPECT_EQ(first.ReadLine(), "init 1");
    ASSERT_EQ(first.ReadLine(), "ready");

    // Both key files sit directly in TMPDIR under their prefixes.
    EXPECT_TRUE(FileExists(MemoryKeyFile(MEMORY_NAME)));
    EXPECT_TRUE(FileExists(SemaphoreKeyFile(SYNC_NAME)));

    CKyrSharedMemory shm;
    bool bInit = true;
    ASSERT_TRUE(shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));
    EXPECT_FALSE(bInit);
    {
        CKyrSharedMemory::Locker locker(shm);
        ASSERT_TRUE(locker.IsLocked());
        EXPECT_EQ(*Word(shm, 1), 1234u);
        *Word(shm, 1) = 5678;
    }
    first.WriteLine("go");
    EXPECT_EQ(first.ReadLine(), "value 5678");
    EXPECT_EQ(first.Wait(), 0);
    shm.Destroy();
}

TEST_F(SysvSharedMemoryTest, LockKeepsConcurrentIncrementsExact)
{
    CKyrSharedMemory shm;
    bool bInit = false;
    ASSERT_TRUE(shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));
    ASSERT_TRUE(bInit);

    // Each increment reads, yields the processor and writes back: without the
    // lock, two processes on two cores lose updates.
    constexpr int N = 3000;
    Peer a(PeerArgs({"create", "inc", std::to_string(N), "destroy"}));
    Peer b(PeerArgs({"create", "inc", std::to_string(N), "destroy"}));
    EXPECT_EQ(a.Wait(), 0);
    EXPECT_EQ(b.Wait(), 0);

    CKyrSharedMemory::Locker locker(shm);
    EXPECT_EQ(*Word(shm, 0), 2u * N);
}

TEST_F(SysvSharedMemoryTest, WaiterBlocksUntilHolderIsKilled)
{
    CKyrSharedMemory shm;
    bool bInit = false;
    ASSERT_TRUE(shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));

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
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 1);

    EXPECT_TRUE(shm.Lock());
    EXPECT_TRUE(shm.Unlock());
}

TEST_F(SysvSharedMemoryTest, LockStaysWithTheBlockWhenItsCreatorLeaves)
{
    Peer creator(PeerArgs({"create", "say", "ready", "wait", "destroy"}));
    ASSERT_EQ(creator.ReadLine(), "init 1");
    ASSERT_EQ(creator.ReadLine(), "ready");
    CKyrSharedMemory shm;
    bool bInit = true;
    ASSERT_TRUE(shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));
    EXPECT_FALSE(bInit);

    creator.WriteLine("go");
    ASSERT_EQ(creator.Wait(), 0);
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 1);
    EXPECT_TRUE(FileExists(MemoryKeyFile(MEMORY_NAME)));

    ASSERT_TRUE(shm.Lock());
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 0);
    EXPECT_TRUE(shm.Unlock());
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 1);
    // The last user takes the lock with the block.
    shm.Destroy();
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), -1);
    EXPECT_TRUE(ListFiles(m_Dir).empty());
}

// The creator of the lock leaves while another process holds it: a newcomer
// must wait for that holder, not make a second lock and walk in beside it.
TEST_F(SysvSharedMemoryTest, LeavingCreatorDoesNotSplitTheLock)
{
    auto creator = std::make_unique<CSysSharedMemory>();
    bool bInit = false;
    ASSERT_TRUE(creator->Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit, CSysSharedMemory::AM_ReadWrite));
    ASSERT_TRUE(bInit);
    Peer holder(PeerArgs({"create", "say", "attached", "wait", "lock", "say", "locked", "wait", "unlock", "destroy"}));
    ASSERT_EQ(holder.ReadLine(), "init 0");
    ASSERT_EQ(holder.ReadLine(), "attached");
    ASSERT_TRUE(creator->Detach());
    holder.WriteLine("go");
    ASSERT_EQ(holder.ReadLine(), "locked");
    creator.reset();

    {
        LockTimeoutForPeers bound(300);
        Peer newcomer(PeerArgs({"create"}));
        EXPECT_EQ(newcomer.Wait(), 11) << "took the block while another process held its lock";
    }
    holder.WriteLine("go");
    EXPECT_EQ(holder.Wait(), 0);
}

// Any local user can leave a lock taken for good; a wait for it ends.
TEST_F(SysvSharedMemoryTest, LockLeftTakenTimesOutAcrossSignals)
{
    MakeSemaphore(SemaphoreKeyFile(SYNC_NAME), 0);
    ::setenv("KYR_TEST_LOCK_TIMEOUT_MS", "300", 1);

    // Signals keep interrupting the wait; it goes on to its bound all the same.
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
    CKyrSharedMemory shm;
    bool bInit = true;
    EXPECT_FALSE(shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));
    EXPECT_TRUE(shm.TimedOut());
    EXPECT_FALSE(bInit);
    bDone = true;
    signaller.join();
    ::unsetenv("KYR_TEST_LOCK_TIMEOUT_MS");
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 0);
    EXPECT_FALSE(FileExists(MemoryKeyFile(MEMORY_NAME)));
    RemoveSemaphore(SemaphoreKeyFile(SYNC_NAME));
}

// Its maker died between making the lock and giving it its value.
TEST_F(SysvSharedMemoryTest, LockNeverSetUpIsRepaired)
{
    MakeSemaphore(SemaphoreKeyFile(SYNC_NAME), -1);
    CKyrSharedMemory shm;
    bool bInit = false;
    ASSERT_TRUE(shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));
    EXPECT_TRUE(bInit);
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 1);
    shm.Destroy();
    EXPECT_TRUE(ListFiles(m_Dir).empty());
}

// The first user initialises the block inside the hold that made it: a
// process that joins meanwhile waits, and sees the initialised contents.
TEST_F(SysvSharedMemoryTest, NewBlockIsInitialisedBeforeAnyoneElseLocksIt)
{
    CKyrSharedMemory shm;
    std::unique_ptr<Peer> joiner;
    bool bInit = false;
    ASSERT_TRUE(shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit, [&](void* pMemory) {
        joiner = std::make_unique<Peer>(PeerArgs({"create", "get", "destroy"}));
        ASSERT_TRUE(WaitForWaiters(SemaphoreKeyFile(SYNC_NAME), 1));
        static_cast<std::uint32_t*>(pMemory)[1] = 4321;
    }));
    EXPECT_TRUE(bInit);
    ASSERT_TRUE(joiner);
    EXPECT_EQ(joiner->ReadLine(), "init 0");
    EXPECT_EQ(joiner->ReadLine(), "value 4321");
    EXPECT_EQ(joiner->Wait(), 0);
    shm.Destroy();
}

TEST_F(SysvSharedMemoryTest, LastUserRemovesBlockLockAndKeyFiles)
{
    CKyrSharedMemory shm;
    bool bInit = false;
    ASSERT_TRUE(shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));

    Peer joiner(PeerArgs({"create", "destroy"}));
    EXPECT_EQ(joiner.ReadLine(), "init 0");
    ASSERT_EQ(joiner.Wait(), 0);
    EXPECT_TRUE(FileExists(MemoryKeyFile(MEMORY_NAME)));
    EXPECT_TRUE(SegmentExists(MemoryKeyFile(MEMORY_NAME)));
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 1);

    shm.Destroy();
    EXPECT_EQ(shm.GetMemory(), nullptr);
    EXPECT_TRUE(ListFiles(m_Dir).empty());
}

TEST_F(SysvSharedMemoryTest, StaleKeyFileGivesANewBlockToInitialise)
{
    // Left by a process that died after creating the block; its segment is gone.
    ASSERT_EQ(::close(::open(MemoryKeyFile(MEMORY_NAME).c_str(), O_CREAT | O_WRONLY, 0666)), 0);

    CKyrSharedMemory shm;
    bool bInit = false;
    bool bInitialised = false;
    ASSERT_TRUE(shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit, [&](void*) { bInitialised = true; }));
    EXPECT_TRUE(bInit);
    EXPECT_TRUE(bInitialised);
    shm.Destroy();
}

TEST_F(SysvSharedMemoryTest, ZeroBlockIsHealed)
{
    CKyrSharedMemory shm;
    bool bInit = false;
    ASSERT_TRUE(shm.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));
    ASSERT_TRUE(bInit);
    auto* pBlock = static_cast<KyrHandleSharedMemory*>(shm.GetMemory());
    static const KyrHandleSharedMemory zero {};
    EXPECT_EQ(std::memcmp(pBlock, &zero, sizeof zero), 0);

    // Every slot reads as taken by process 0, which never runs.
    CKyrProcessChecker checker(shm);
    checker.VerifyProcessIds();
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(pBlock->nClientInstantMode[i], -1) << "slot " << i;
    EXPECT_EQ(pBlock->lLockCount, 0);
    EXPECT_EQ(pBlock->dwClientFGstValue, ~0UL);
    EXPECT_EQ(pBlock->nControlClientID, -1);
    shm.Destroy();
}

TEST_F(SysvSharedMemoryTest, CreateAgainReplacesTheBlock)
{
    CKyrSharedMemory shm;
    bool bInit = false;
    ASSERT_TRUE(shm.Create(SYNC_NAME, "first", 64, bInit));
    ASSERT_TRUE(shm.Create(SYNC_NAME, "second", 64, bInit));
    EXPECT_TRUE(bInit);
    EXPECT_FALSE(FileExists(MemoryKeyFile("first")));
    EXPECT_TRUE(FileExists(MemoryKeyFile("second")));
}

TEST_F(SysvSharedMemoryTest, SmallerExistingSegmentIsRefused)
{
    CKyrSharedMemory small;
    bool bInit = false;
    ASSERT_TRUE(small.Create(SYNC_NAME, MEMORY_NAME, 16, bInit));

    CKyrSharedMemory large;
    bInit = true;
    EXPECT_FALSE(large.Create(SYNC_NAME, MEMORY_NAME, BLOCK_SIZE, bInit));
    EXPECT_FALSE(bInit);
    EXPECT_EQ(large.GetMemory(), nullptr);
    EXPECT_FALSE(large.Lock());
}

TEST_F(SysvSharedMemoryTest, NegativeSizeCreatesNothing)
{
    CSysSharedMemory shm;
    bool bInit = true;
    EXPECT_FALSE(shm.Create(SYNC_NAME, MEMORY_NAME, -1, bInit, CSysSharedMemory::AM_ReadWrite));
    EXPECT_FALSE(bInit);
    EXPECT_TRUE(ListFiles(m_Dir).empty());
}

TEST_F(SysvSharedMemoryTest, ReattachAfterDetachUsesTheLockItHad)
{
    CSysSharedMemory owner, other;
    bool bInit = false;
    ASSERT_TRUE(owner.Create(SYNC_NAME, MEMORY_NAME, 64, bInit, CSysSharedMemory::AM_ReadWrite));
    ASSERT_TRUE(other.Create(SYNC_NAME, MEMORY_NAME, 64, bInit, CSysSharedMemory::AM_ReadWrite));
    ASSERT_TRUE(other.Detach());
    ASSERT_TRUE(other.Attach(CSysSharedMemory::AM_ReadWrite));
    static_cast<char*>(owner.GetData())[0] = 'k';
    EXPECT_EQ(static_cast<const char*>(other.GetConstData())[0], 'k');
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(MEMORY_NAME)), -1);
}

// A release that meets a semaphore removed by its creator must not add a count
// to the re-created one: a lock at 2 lets two holders in.
TEST_F(SysvSharedMemoryTest, ReleaseAfterRemovalDoesNotOverfillTheLock)
{
    auto creator = std::make_unique<CSysSemaphore>(SYNC_NAME, 1);
    CSysSemaphore user(SYNC_NAME, 1);
    ASSERT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 1);
    ASSERT_TRUE(user.Acquire());
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 0);

    creator.reset();
    EXPECT_TRUE(user.Release(1));
    ASSERT_TRUE(user.Acquire());
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 0);
    EXPECT_TRUE(user.Release(1));
    EXPECT_EQ(SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)), 1);
}

// The whole path must fit in 512 bytes with its NUL. Built from a nested
// directory so that the path reaches the limit while no file name exceeds 255.
class SysvKeyFilePathTest : public SysvTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        SysvTest::SetUp();
        m_Base = m_Dir;
        while (m_Base.size() < BASE_LENGTH) {
            const size_t nPart = std::min<size_t>(100, BASE_LENGTH - m_Base.size() - 1);
            m_Base.append(1, '/').append(nPart, 'd');
        }
        std::filesystem::create_directories(m_Base);
        ASSERT_EQ(m_Base.size(), BASE_LENGTH);
        SetTmpDir(GetParam() ? m_Base + "/" : m_Base);
    }

    // Names whose key-file path is exactly nPathLength characters long.
    static std::string MemoryName(size_t nPathLength) { return Name(nPathLength, "qipc_sharedmemory_", 'm'); }
    static std::string SyncName(size_t nPathLength) { return Name(nPathLength, "qipc_systemsem_", 's'); }

    static std::string Name(size_t nPathLength, const std::string& prefix, char c)
    {
        return std::string(nPathLength - BASE_LENGTH - 1 - prefix.size(), c);
    }

    static constexpr size_t BASE_LENGTH = 292;
    std::string m_Base;
};

TEST_P(SysvKeyFilePathTest, PathOf511CharactersFitsOneMoreIsRefused)
{
    CKyrSharedMemory shm;
    bool bInit = false;
    ASSERT_TRUE(shm.Create(SyncName(511).c_str(), MemoryName(511).c_str(), 64, bInit));
    EXPECT_TRUE(bInit);
    EXPECT_TRUE(FileExists(m_Base + "/qipc_sharedmemory_" + MemoryName(511)));
    EXPECT_TRUE(FileExists(m_Base + "/qipc_systemsem_" + SyncName(511)));
    EXPECT_TRUE(shm.Lock());
    EXPECT_TRUE(shm.Unlock());
    shm.Destroy();

    EXPECT_FALSE(shm.Create(SyncName(511).c_str(), MemoryName(512).c_str(), 64, bInit));
    EXPECT_FALSE(bInit);
    EXPECT_TRUE(ListFiles(m_Dir).empty());

    EXPECT_FALSE(shm.Create(SyncName(512).c_str(), MemoryName(511).c_str(), 64, bInit));
    EXPECT_FALSE(bInit);
    EXPECT_TRUE(ListFiles(m_Dir).empty());

    CSysSemaphore sem(SyncName(512).c_str(), 1);
    EXPECT_EQ(sem.GetLastSemError(), CSysSemaphore::ERROR_KEY);
    EXPECT_FALSE(sem.Acquire());
}

INSTANTIATE_TEST_SUITE_P(TrailingSlash, SysvKeyFilePathTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithSlash" : "WithoutSlash"; });

} // namespace
