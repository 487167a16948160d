// Sharing across processes: other applications (device_peer, real processes
// started by the test) hold, lose, race for or mark devices while this one
// watches. Runs under kyrsim with the devices CMakeLists.txt gives it.
//
// Races are pinned down with park points: a peer stops at a chosen operation
// on the device's lock while another process acts, and is let go or killed
// there.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DeviceFixture.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace kyrtest;

// The names other processes find the shared objects by.
constexpr const char* kDeviceLock = "ZarnHandle@SYNC_OBJECT";
constexpr const char* kDeviceBlock = "ZarnHandle@SHARED_MEMORY";
constexpr const char* kDownloadLock = "ZarnDownloadCheck@SYNC_OBJECT";
constexpr const char* kDownloadBlock = "ZarnDownloadCheck@SHARED_MEMORY";

std::string TmpDir()
{
    return std::string(std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp") + '/';
}

std::string LockKeyFile(const std::string& name) { return TmpDir() + "qipc_systemsem_" + name; }
std::string BlockKeyFile(const std::string& name) { return TmpDir() + "qipc_sharedmemory_" + name; }

// This process and every peer it started.
std::set<long> g_OwnPids;

// Runs fn on a shared block reached the way another process reaches it, its
// lock held (with a bound) meanwhile; false when either is not there.
template <typename Fn>
bool WithBlock(const std::string& lockName, const std::string& blockName, Fn fn)
{
    const key_t lockKey = ftok(LockKeyFile(lockName).c_str(), 81), blockKey = ftok(BlockKeyFile(blockName).c_str(), 81);
    const int nLock = lockKey == -1 ? -1 : semget(lockKey, 0, 0), nBlock = blockKey == -1 ? -1 : shmget(blockKey, 0, 0);
    sembuf take {0, -1, SEM_UNDO}, give {0, 1, SEM_UNDO};
    timespec bound {10, 0};
    if (nLock == -1 || nBlock == -1 || semtimedop(nLock, &take, 1, &bound) != 0)
        return false;
    void* p = shmat(nBlock, nullptr, 0);
    const bool bAttached = p != reinterpret_cast<void*>(-1);
    if (bAttached) {
        fn(static_cast<unsigned char*>(p));
        shmdt(p);
    }
    semop(nLock, &give, 1);
    return bAttached;
}

template <typename T>
T At(const unsigned char* p, size_t nOffset)
{
    T value;
    std::memcpy(&value, p + nOffset, sizeof value);
    return value;
}

// The device block records exactly one client, owned by pid: its count, and
// its taken slots (id at 24 + 2i, -1 when free) with their owners (at 544 + 8i).
void ExpectOneClient(pid_t pid)
{
    EXPECT_TRUE(WithBlock(kDeviceLock, kDeviceBlock, [&](const unsigned char* p) {
        EXPECT_EQ(At<std::int64_t>(p, 16), 1);
        std::vector<unsigned long> owners;
        for (int i = 0; i < 256; ++i)
            if (At<std::int16_t>(p, 24 + 2 * i) != -1)
                owners.push_back(At<std::uint64_t>(p, 544 + 8 * i));
        EXPECT_EQ(owners, std::vector<unsigned long> {static_cast<unsigned long>(pid)});
    }));
}

// device_peer as a child process: request lines in, answer lines out. A peer
// given a park point ("acquire:2", "setval:1", ...) says "parked" when it
// stopped there, and goes on once released. Its arguments (env entries, the
// park point and the descriptor it waits on) are put into its environment.
class Peer {
public:
    explicit Peer(const std::string& parkAt = "", std::vector<std::string> env = {})
    {
        const char* pszPath = std::getenv("KYR_TEST_PEER");
        int toPeer[2], fromPeer[2], go[2];
        // The read end of go, the one the peer waits on, is inherited.
        if (pszPath == nullptr || pipe2(toPeer, O_CLOEXEC) != 0 || pipe2(fromPeer, O_CLOEXEC) != 0 || pipe(go) != 0)
            throw std::runtime_error("no peer");
        fcntl(go[1], F_SETFD, FD_CLOEXEC);
        m_nGo = go[1];
        env.insert(env.end(), {"KYR_TEST_PARK_AT=" + parkAt, "KYR_TEST_PARK_FD=" + std::to_string(go[0])});
        std::vector<char*> argv {const_cast<char*>(pszPath)};
        for (auto& arg : env)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toPeer[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromPeer[1], 1);
        const int nSpawn = posix_spawn(&m_pid, pszPath, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        for (int fd : {toPeer[0], fromPeer[1], go[0]})
            close(fd);
        m_nTo = toPeer[1];
        m_nFrom = fromPeer[0];
        if (nSpawn != 0)
            throw std::runtime_error("spawn");
        g_OwnPids.insert(m_pid);
    }
    ~Peer()
    {
        close(m_nTo);
        close(m_nGo);
        close(m_nFrom);
        // It ends at the end of its input; one that does not is ended.
        if (m_pid > 0 && !Eventually([&] { return waitpid(m_pid, nullptr, WNOHANG) != 0; }, 10s))
            Kill();
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void Send(const std::string& line)
    {
        const std::string data = line + "\n";
        ASSERT_EQ(write(m_nTo, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
    // The next line, "parked" among them; "<gone>" at the end. A peer that
    // says nothing within patience fails the test instead of hanging it.
    std::string Next(std::chrono::milliseconds patience = 30s)
    {
        const auto deadline = Clock::now() + patience;
        size_t nEnd;
        while ((nEnd = m_buffer.find('\n')) == std::string::npos) {
            pollfd fd {m_nFrom, POLLIN, 0};
            const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (nLeft.count() <= 0 || poll(&fd, 1, static_cast<int>(nLeft.count())) == 0) {
                ADD_FAILURE() << "peer " << m_pid << " gave no answer within " << patience.count() << " ms";
                return "<silent>";
            }
            char sz[512];
            const ssize_t n = read(m_nFrom, sz, sizeof sz);
            if (n == 0)
                return "<gone>";
            m_buffer.append(sz, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        }
        std::string line = m_buffer.substr(0, nEnd);
        m_buffer.erase(0, nEnd + 1);
        return line;
    }
    // The next answer line; a park met on the way is let go at once.
    std::string Read(std::chrono::milliseconds patience = 30s)
    {
        for (;;) {
            if (std::string line = Next(patience); line != "parked")
                return line;
            Release();
        }
    }
    std::string Ask(const std::string& line)
    {
        Send(line);
        return Read();
    }
    void Release()
    {
        const char go = 'g';
        ASSERT_EQ(write(m_nGo, &go, 1), 1);
    }
    void Kill()
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_nTo = -1;
    int m_nFrom = -1;
    int m_nGo = -1;
    std::string m_buffer;
};

// " PID MI" as device_peer reads them.
std::string DeviceArgs(unsigned short nPid = kPid, unsigned short nMI = kMI)
{
    return (std::ostringstream() << ' ' << std::hex << nPid << ' ' << std::dec << nMI).str();
}

std::string OpenLine(unsigned short nPid = kPid, unsigned short nMI = kMI, int nIndex = 0)
{
    return "open" + DeviceArgs(nPid, nMI) + " " + std::to_string(nIndex);
}

// What fnOnDownloadingFirmware told the Recorder so far.
std::vector<int> Downloads(Recorder& r)
{
    return r.Locked([&] { return r.downloads; });
}

// The device opens here (and is let go again), or is refused as held.
void ExpectOpens(unsigned short nPid = kPid, unsigned short nIndex = 0)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, nPid, kMI, nIndex);
    EXPECT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    KyrCloseDevice(h);
}

void ExpectBusy(unsigned short nPid = kPid, unsigned short nIndex = 0)
{
    EXPECT_EQ(KyrOpenDevice(kVid, nPid, kMI, nIndex), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_DEVICE_BUSY);
}

// The holders query of device nIndex names exactly these processes.
void ExpectHolders(const std::vector<pid_t>& expected, unsigned short nPid = kPid)
{
    unsigned long pids[4] = {};
    const int n = KyrGetDeviceHolders(kVid, nPid, kMI, 0, pids, 4);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);
    ASSERT_EQ(n, static_cast<int>(expected.size())) << "product " << nPid;
    EXPECT_EQ(KyrGetDeviceHolders(kVid, nPid, kMI, 0, nullptr, 0), n) << "counting only";
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(pids[i], static_cast<unsigned long>(expected[static_cast<size_t>(i)])) << "product " << nPid;
}

// System V objects (kind, id) under a key of TMPDIR's file system (ftok:
// 81 in the top byte, the device's low byte next), with their maker: a
// segment's creator, a semaphore's last setter (which the library always is
// on creation).
std::map<std::pair<std::string, long>, long> IpcObjects()
{
    struct stat st;
    EXPECT_EQ(stat(TmpDir().c_str(), &st), 0);
    std::map<std::pair<std::string, long>, long> objects;
    for (const std::string kind : {"shm", "sem"}) {
        std::ifstream in("/proc/sysvipc/" + kind);
        std::string line;
        long key = 0, id = 0;
        shmid_ds status {};
        for (std::getline(in, line); std::getline(in, line) && std::istringstream(line) >> key >> id;) {
            const long maker = kind == "sem" ? semctl(static_cast<int>(id), 0, GETPID)
                               : shmctl(static_cast<int>(id), IPC_STAT, &status) == 0 ? status.shm_cpid : -1;
            if (((key >> 24) & 0xff) == 81 && ((key >> 16) & 0xff) == static_cast<long>(st.st_dev & 0xff))
                objects.emplace(std::pair(kind, id), maker);
        }
    }
    return objects;
}

// No key file in TMPDIR, and no object that this process or one of its peers
// made and that was not there before. Every object there before is left out
// whoever made it: process ids are reused, so a peer can have the id of the
// maker of an object another program left behind hours ago.
void ExpectNothingLeftSince(const std::map<std::pair<std::string, long>, long>& before)
{
    EXPECT_TRUE(std::filesystem::is_empty(TmpDir())) << "key files left in " << TmpDir();
    g_OwnPids.insert(getpid());
    for (const auto& [object, maker] : IpcObjects())
        EXPECT_TRUE(before.count(object) != 0 || g_OwnPids.count(maker) == 0)
            << "leaked " << object.first << " id " << object.second;
}

} // namespace

// ---- Device 0: a model device ------------------------------------------------------

// Who holds the device: nobody, this process, a live peer, a peer killed
// while holding it (its slot stays taken, its semaphore hold is undone; three
// in a row), or a first opener killed between making the device's lock and
// giving it its value (the lock reads 0 with nobody to give it back). Only
// live holders are named; the device is busy while another process lives
// with it, and free again after every one of them. The query refuses bad
// arguments and unknown devices.
TEST(Processes, DeviceHoldersAndBusy)
{
    enum Holder { Nobody, Self, Live, Killed, KilledMakingTheLock };
    for (const Holder holder : {Nobody, Self, Live, Killed, Killed, Killed, KilledMakingTheLock}) {
        SCOPED_TRACE("holder case " + std::to_string(holder));
        KYR_HANDLE hMine = holder == Self ? KyrOpenDevice(kVid, kPid, kMI, 0) : nullptr;
        std::optional<Peer> peer;
        if (holder == KilledMakingTheLock) {
            peer.emplace("setval:1");
            peer->Send(OpenLine());
            ASSERT_EQ(peer->Next(), "parked");
        } else if (holder >= Live) {
            peer.emplace();
            ASSERT_EQ(peer->Ask(OpenLine()), "open KYR_SUCCESS");
        }
        const pid_t peerPid = peer ? peer->Pid() : -1;
        if (holder >= Killed)
            peer->Kill();
        ExpectHolders(holder == Self ? std::vector {getpid()} : holder == Live ? std::vector {peerPid}
                                                                              : std::vector<pid_t> {});
        if (holder == Live) {
            ExpectBusy();
            ASSERT_EQ(peer->Ask("close"), "closed");
        }
        KyrCloseDevice(hMine);
        ExpectHolders({});
        ExpectOpens();
    }
    // Refusals of the query.
    unsigned long pid = 0;
    const std::tuple<unsigned short, unsigned long*, int, int> calls[] = {
        {kPid, &pid, -1, KYR_ERROR_INVALID_PARAMETER},
        {kPid, nullptr, 2, KYR_ERROR_INVALID_PARAMETER},
        {KYR_USB_PRODUCT_ID_MODEL5, &pid, 1, KYR_ERROR_NO_DEVICE}};
    for (const auto& [wPid, pPids, nSize, nError] : calls) {
        EXPECT_EQ(KyrGetDeviceHolders(kVid, wPid, kMI, 0, pPids, nSize), -1);
        EXPECT_EQ(KyrGetLastError(), nError);
    }
}

// Opener A stops before its Nth wait for the device's lock; B, a process
// started only then, opens meanwhile. Wherever A stopped, on a fresh device
// or after a killed holder, exactly one of the two holds the device, the
// other is told it is busy, and the block records the holder alone.
TEST(Processes, DeviceOpenRaceHasOneHolder)
{
    for (const bool bAfterKilled : {false, true}) {
        for (int nWait = 1; nWait <= 5; ++nWait) {
            SCOPED_TRACE(std::string(bAfterKilled ? "after a killed holder" : "fresh") + ", A parked before wait " +
                         std::to_string(nWait));
            if (bAfterKilled) {
                Peer dead;
                ASSERT_EQ(dead.Ask(OpenLine()), "open KYR_SUCCESS");
                dead.Kill();
            }
            Peer a("acquire:" + std::to_string(nWait));
            a.Send(OpenLine());
            std::string answerA = a.Next();
            ASSERT_NE(answerA, "<gone>");
            Peer b;
            const std::string answerB = b.Ask(OpenLine());
            if (answerA == "parked") {
                a.Release();
                answerA = a.Read();
            }
            const bool bAHolds = answerA == "open KYR_SUCCESS";
            EXPECT_NE(bAHolds, answerB == "open KYR_SUCCESS") << "A: " << answerA << ", B: " << answerB;
            EXPECT_EQ(bAHolds ? answerB : answerA, "open KYR_ERROR_DEVICE_BUSY");
            ExpectOneClient(bAHolds ? a.Pid() : b.Pid());
            EXPECT_EQ(a.Ask("close"), "closed");
            EXPECT_EQ(b.Ask("close"), "closed");
            EXPECT_TRUE(bAfterKilled || !std::filesystem::exists(BlockKeyFile(kDeviceBlock)))
                << "the last one out removes the block";
        }
    }
}

// The device's lock held by another process (this one) beyond the bound, as
// any local user can hold it, while a peer has the device open: every call of
// the peer that needs the block fails with KYR_ERROR_TIMEOUT and sends
// nothing, and its close waits one bound, not two, and still gives up its
// slot: once the lock is back, the device is free although the peer runs on.
// An open meanwhile gives up after its bound too. (The bounds are shortened
// for the peers by their test hook.)
TEST(Processes, DeviceLockHeldElsewhereTimesOutAndCloseStillFreesTheSlot)
{
    constexpr int kBoundMs = 2000;
    Peer peer("", {"KYR_TEST_LOCK_TIMEOUT_MS=" + std::to_string(kBoundMs)});
    ASSERT_EQ(peer.Ask(OpenLine()), "open KYR_SUCCESS");
    EXPECT_TRUE(WithBlock(kDeviceLock, kDeviceBlock, [&](unsigned char*) {
        const uint64_t nOut = kyrsim::SimOutCount(0);
        // Each call within one bound: the handle's threads (its timer's
        // clean-up too) do not each wait out a bound in a row.
        const std::pair<const char*, const char*> calls[] = {{"send status", "send -1 KYR_ERROR_TIMEOUT"},
                                                             {"mode 20 5000", "mode 1 KYR_ERROR_TIMEOUT"},
                                                             {"close", "closed"}};
        for (const auto& [pszCall, pszAnswer] : calls) {
            const auto start = Clock::now();
            EXPECT_EQ(peer.Ask(pszCall), pszAnswer);
            EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kBoundMs * 7 / 4)) << pszCall;
        }
        EXPECT_EQ(kyrsim::SimOutCount(0), nOut) << "sent without the merged modes";
        Peer opener("", {"KYR_TEST_LOCK_TIMEOUT_MS=300"});
        EXPECT_EQ(opener.Ask(OpenLine()), "open KYR_ERROR_TIMEOUT");
        EXPECT_EQ(opener.Ask("close"), "closed");
    }));
    ExpectHolders({});
    ExpectOpens();
}

// The last user removes the device's lock while an opener has derived its
// key from the key file and is about to look the lock up: the opener must not
// make a lock under that key once the file is gone, beside the one the next
// process makes under a new file. Split so, the two never meet again and one
// of them is never removed.
TEST(Processes, DeviceLockRemovedWhileAnOpenerLooksItUpStaysOne)
{
    const auto before = IpcObjects();
    {
        Peer last("", {"KYR_TEST_LOCK_TIMEOUT_MS=300"});
        ASSERT_EQ(last.Ask(OpenLine()), "open KYR_SUCCESS");
        Peer opener("semget:1");
        opener.Send(OpenLine());
        ASSERT_EQ(opener.Next(), "parked");
        EXPECT_EQ(last.Ask("close"), "closed");
        opener.Release();
        EXPECT_EQ(opener.Read(), "open KYR_SUCCESS");
        ExpectBusy();
        EXPECT_EQ(opener.Ask("close"), "closed");
    }
    ExpectOpens();
    ExpectNothingLeftSince(before);
}

// A segment of another object, under a key outside the library's (whose top
// byte is 81); removed at the end of the scope.
class Stranger {
public:
    explicit Stranger(const std::vector<unsigned char>& bytes) : m_nSize(bytes.size())
    {
        for (m_key = 0x7e000001; (m_id = shmget(m_key, m_nSize, IPC_CREAT | IPC_EXCL | 0600)) == -1 && errno == EEXIST;)
            ++m_key;
        void* p = m_id == -1 ? nullptr : shmat(m_id, nullptr, 0);
        if (p == nullptr || p == reinterpret_cast<void*>(-1))
            throw std::runtime_error("no segment");
        std::memcpy(p, bytes.data(), m_nSize);
        shmdt(p);
    }
    ~Stranger() { shmctl(m_id, IPC_RMID, nullptr); }
    Stranger(const Stranger&) = delete;
    Stranger& operator=(const Stranger&) = delete;

    std::string Key() const { return (std::ostringstream() << std::hex << m_key).str(); }
    // Makes the file at path in a later second of the file clock than the
    // segment was made in (that clock may lag the segment's by a tick).
    void MakeYoungerFile(const std::string& path) const
    {
        shmid_ds status {};
        ASSERT_EQ(shmctl(m_id, IPC_STAT, &status), 0);
        timespec now {};
        while (clock_gettime(CLOCK_REALTIME, &now) == 0 && (now.tv_sec <= status.shm_ctime || now.tv_nsec < 50'000'000))
            std::this_thread::sleep_for(10ms);
        const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_NE(fd, -1);
        close(fd);
    }
    // Its bytes, or nothing while anybody is attached to it.
    std::optional<std::vector<unsigned char>> Untouched() const
    {
        shmid_ds status {};
        void* p = shmat(m_id, nullptr, SHM_RDONLY);
        if (p == reinterpret_cast<void*>(-1))
            return std::nullopt;
        std::vector<unsigned char> bytes(static_cast<unsigned char*>(p), static_cast<unsigned char*>(p) + m_nSize);
        const bool bAlone = shmctl(m_id, IPC_STAT, &status) == 0 && status.shm_nattch == 1;
        shmdt(p);
        return bAlone ? std::optional(bytes) : std::nullopt;
    }

private:
    size_t m_nSize;
    key_t m_key;
    int m_id = -1;
};

// ftok keeps 16 bits of a key file's inode, so a new key file can get the key
// of a segment another object left behind: of another size, another device's
// block with a live client, or a download mark; or a key file left behind
// can be younger than the segment under its key. A process that meets one
// under a block's key opens, sends and registers as on a clean machine, in the
// block every other process finds; the stranger is left as it was, and the
// library leaves nothing behind.
TEST(Processes, DeviceBlockKeyOfAStrangersSegmentIsLeftAlone)
{
    std::vector<unsigned char> heldBlock(3104); // the device block's size
    const std::int64_t nCount = 1;
    const std::uint64_t nOwner = static_cast<std::uint64_t>(getpid());
    std::memcpy(heldBlock.data() + 16, &nCount, sizeof nCount);
    std::fill(heldBlock.begin() + 26, heldBlock.begin() + 24 + 2 * 256, 0xff); // slot 0 taken, the rest free
    std::memcpy(heldBlock.data() + 544, &nOwner, sizeof nOwner);
    const std::string deviceKeyFile = std::string("qipc_sharedmemory_") + kDeviceBlock;
    const std::tuple<const char*, std::string, std::vector<unsigned char>, bool> cases[] = {
        {"smaller", deviceKeyFile, std::vector<unsigned char>(4), false},
        {"held", deviceKeyFile, heldBlock, false},
        {"download mark", std::string("qipc_sharedmemory_") + kDownloadBlock, {1, 0, 0, 0}, false},
        {"key file left behind", deviceKeyFile, heldBlock, true}};
    const auto before = IpcObjects();
    for (const auto& [what, keyFile, bytes, bFileLeft] : cases) {
        SCOPED_TRACE(what);
        ASSERT_FALSE(std::filesystem::exists(TmpDir() + keyFile));
        Stranger stranger(bytes);
        if (bFileLeft)
            stranger.MakeYoungerFile(TmpDir() + keyFile);
        {
            Peer peer("", {"KYR_TEST_FTOK=" + keyFile + ":" + stranger.Key()});
            EXPECT_EQ(peer.Ask(OpenLine()), "open KYR_SUCCESS");
            const std::string sent = peer.Ask("send status");
            EXPECT_NE(sent.find("KYR_SUCCESS"), std::string::npos) << sent;
            ExpectOneClient(peer.Pid());
            ExpectBusy();
            EXPECT_EQ(stranger.Untouched(), std::optional(bytes));
            EXPECT_EQ(peer.Ask("close"), "closed");
        }
        ExpectNothingLeftSince(before);
    }
}

// Processes attached to the device block now, -1 when there is none.
int BlockAttachments()
{
    const key_t key = ftok(BlockKeyFile(kDeviceBlock).c_str(), 81);
    shmid_ds status {};
    const int nID = key == -1 ? -1 : shmget(key, 0, 0);
    return nID != -1 && shmctl(nID, IPC_STAT, &status) == 0 ? static_cast<int>(status.shm_nattch) : -1;
}

// A handle closed from inside its own wait is torn down on a thread of the
// library's that this one never meets, while a peer half-way through its open
// keeps the block. The peer, last out, removes it; this process's next open
// makes a fresh block, mostly where its old mapping was, and initialises it
// without racing the closer's last writes to the old one.
TEST(Processes, DeviceBlockOfAHandleClosedFromInsideIsFreshForTheNextOpen)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    Peer peer("acquire:2");
    peer.Send(OpenLine());
    ASSERT_EQ(peer.Next(), "parked");
    ASSERT_EQ(BlockAttachments(), 2);
    std::atomic<bool> bClosed {false};
    KYR_EVENT_NOTIFY table {};
    table.Context = &bClosed;
    table.fnOnHandleEvents = [](KYR_HANDLE hDevice, void* pClosed) {
        if (!static_cast<std::atomic<bool>*>(pClosed)->exchange(true))
            KyrCloseDevice(hDevice);
    };
    KyrSetEventNotify(h, &table);
    EXPECT_EQ(KyrSendCommand(h, "status", 0, 30000), 0);
    EXPECT_TRUE(Eventually([] { return BlockAttachments() == 1; })) << "the closer never left the block";
    peer.Release();
    EXPECT_EQ(peer.Read(), "open KYR_SUCCESS");
    EXPECT_EQ(peer.Ask("close"), "closed");
    EXPECT_EQ(BlockAttachments(), -1);
    h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    EXPECT_GE(KyrSendCommand(h, "status", 1, 0), 1);
    KyrCloseDevice(h);
}

// ---- Device 0: protocol model (this process), device 1: protocol virtual device (peer) --

static const std::string kVirtualOpen = OpenLine(KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VIRTUAL_INTERFACE);

TEST(Processes, DownloadMarkHoldsBackAnotherProcessAndBothAreTold)
{
    Peer peer;
    ASSERT_EQ(peer.Ask(kVirtualOpen), "open KYR_SUCCESS");
    ASSERT_EQ(peer.Ask("mode 20 5000").substr(0, 6), "mode 1");
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    Recorder mine;
    mine.Install(h);

    KyrLockFirmwareDownload(h);
    EXPECT_EQ(peer.Ask("send status"), "send -1 KYR_ERROR_FIRMWARE_DOWNLOAD");
    EXPECT_EQ(peer.Ask("events"), "events 1");
    EXPECT_EQ(KyrSendCommand(h, "status", 1, 0), -1);
    const uint64_t nPeerCommands = kyrsim::SimCommandCount(1);

    KyrUnlockFirmwareDownload(h);
    const std::string sent = peer.Ask("send status");
    EXPECT_EQ(sent.substr(0, 5), "send ");
    EXPECT_NE(sent.find("KYR_SUCCESS"), std::string::npos) << sent;
    EXPECT_EQ(peer.Ask("events"), "events 10");
    EXPECT_TRUE(Eventually([&] { return kyrsim::SimCommandCount(1) >= nPeerCommands + 2; }, 1s))
        << "the peer's device gets the instant mode again before the command";
    EXPECT_EQ(kyrsim::SimStreams(1), "T") << "the re-sent mode is in force";
    EXPECT_GE(KyrSendCommand(h, "status", 1, 0), 1);
    EXPECT_EQ(Downloads(mine), (std::vector {1, 0})) << "the marking process is told too";
    KyrCloseDevice(h);
    EXPECT_EQ(peer.Ask("close"), "closed");
}

// A process that marked a download dies without unmarking it: the mark goes
// with its owner. The first gate pass that finds it re-sends the instant
// mode and tells the application once: the pass of a command, or the
// timer's once-a-second pass with nothing sent.
TEST(Processes, DownloadMarkOfAKilledProcessIsCleared)
{
    for (const bool bByTimer : {false, true}) {
        SCOPED_TRACE(bByTimer ? "by the timer" : "by the next command");
        KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
        ASSERT_NE(h, nullptr);
        Recorder mine;
    mine.Install(h);
        ASSERT_EQ(KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, bByTimer ? 60000 : 5000, kNoGesture), 1);
        {
            Peer peer;
            ASSERT_EQ(peer.Ask(kVirtualOpen), "open KYR_SUCCESS");
            ASSERT_EQ(peer.Ask("lock"), "locked");
            if (bByTimer) {
                ASSERT_TRUE(mine.WaitFor([&] { return mine.downloads == std::vector {1}; })) << "the timer sees the mark";
            } else {
                EXPECT_EQ(KyrSendCommand(h, "status", 1, 0), -1);
                EXPECT_EQ(KyrGetLastError(), KYR_ERROR_FIRMWARE_DOWNLOAD);
            }
            peer.Kill();
        }
        const uint64_t nBefore = kyrsim::SimCommandCount(0);
        if (bByTimer) {
            ASSERT_TRUE(mine.WaitFor([&] { return mine.downloads == std::vector {1, 0}; })) << "the timer sees the mark gone";
            EXPECT_GT(kyrsim::SimCommandCount(0), nBefore);
            const std::optional<kyrsim::SimCommand> last = kyrsim::SimLastCommand(0);
            ASSERT_TRUE(last.has_value());
            EXPECT_EQ(last->szText.rfind("instant_mode=T", 0), 0u) << last->szText;
        }
        EXPECT_GE(KyrSendCommand(h, "status", 1, 0), 1) << KyrGetErrorName(KyrGetLastError());
        EXPECT_TRUE(Eventually([&] { return kyrsim::SimCommandCount(0) >= nBefore + 2; }))
            << "the instant mode goes out again before the command";
        EXPECT_EQ(kyrsim::SimStreams(0), "T");
        EXPECT_EQ(Downloads(mine), (std::vector {1, 0}));
        KyrCloseDevice(h);
    }
}

// The mark records who made it, in the place every process reads. A mark of
// 1 names no owner (as a process that does not record one writes it): it is
// taken as a live one and holds until it is unmarked.
TEST(Processes, DownloadMarkRecordsItsOwnerAndOneWithoutHoldsUntilCleared)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    const auto expectMark = [](int nExpected, int nNew) {
        EXPECT_TRUE(WithBlock(kDownloadLock, kDownloadBlock, [&](unsigned char* p) {
            EXPECT_EQ(At<int>(p, 0), nExpected);
            std::memcpy(p, &nNew, sizeof nNew);
        }));
    };
    KyrLockFirmwareDownload(h);
    expectMark(static_cast<int>(getpid()), static_cast<int>(getpid()));
    KyrUnlockFirmwareDownload(h);
    expectMark(0, 1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(KyrSendCommand(h, "status", 1, 0), -1);
        EXPECT_EQ(KyrGetLastError(), KYR_ERROR_FIRMWARE_DOWNLOAD);
    }
    expectMark(1, 0);
    EXPECT_GE(KyrSendCommand(h, "status", 1, 0), 1) << KyrGetErrorName(KyrGetLastError());
    KyrCloseDevice(h);
}

// ---- Devices 0 and 1: two devices of the same model --------------------------------

// Only the first of them (index 0) takes the fixed names; the other is named
// after its path. Either may be held by one process and the other by another.
TEST(Processes, TwinDevicesOpenSideBySide)
{
    const std::string secondPath = KyrGetDevInfoPath(KyrGetDeviceInfo(kVid, kPid, kMI, 1));
    KYR_HANDLE h[2] = {KyrOpenDevice(kVid, kPid, kMI, 0), KyrOpenDevice(kVid, kPid, kMI, 1)};
    ASSERT_TRUE(h[0] != nullptr && h[1] != nullptr) << KyrGetErrorName(KyrGetLastError());
    EXPECT_TRUE(std::filesystem::exists(BlockKeyFile(kDeviceBlock)));
    EXPECT_TRUE(std::filesystem::exists(BlockKeyFile(std::string(kDeviceBlock) + "@" + secondPath)));
    ExpectBusy(kPid, 1);
    KyrCloseDevice(h[0]);
    KyrCloseDevice(h[1]);

    for (int nMine = 0; nMine < 2; ++nMine) {
        SCOPED_TRACE("this process holds device " + std::to_string(nMine));
        KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, static_cast<unsigned short>(nMine));
        ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
        Peer peer;
        EXPECT_EQ(peer.Ask(OpenLine(kPid, kMI, nMine)), "open KYR_ERROR_DEVICE_BUSY");
        EXPECT_EQ(peer.Ask(OpenLine(kPid, kMI, 1 - nMine)), "open KYR_SUCCESS");
        EXPECT_EQ(peer.Ask("close"), "closed");
        KyrCloseDevice(h);
    }
}

// ---- Devices plugged and unplugged while one is held ------------------------------

// Device 0, the model 2 device, takes the fixed names while it is alone; a
// model 1 device plugged in then takes them by rule. It is free all the same,
// and each device's holder is told apart. (Peers start after the plug: only
// the first process sees the testbed's announcements.)
TEST(Processes, PlugModelOneBesideAHeldModelTwo)
{
    constexpr unsigned short kPid2 = KYR_USB_PRODUCT_ID_MODEL2;
    KYR_HANDLE hHeld = KyrOpenDevice(kVid, kPid2, kMI, 0);
    ASSERT_NE(hHeld, nullptr) << KyrGetErrorName(KyrGetLastError());
    kyrsim::SimPlug("vid=" + std::to_string(kVid) + ",pid=" + std::to_string(kPid) + ",interfaces=2,bus=5,addr=20");
    ASSERT_TRUE(Eventually([] { return KyrGetDeviceCount(kVid, kPid, kMI) == 1; }));

    ExpectHolders({});
    Peer peer;
    ASSERT_EQ(peer.Ask(OpenLine()), "open KYR_SUCCESS");
    ExpectHolders({peer.Pid()});
    ExpectHolders({getpid()}, kPid2);
    ExpectBusy();
    Peer other;
    EXPECT_EQ(other.Ask(OpenLine(kPid2)), "open KYR_ERROR_DEVICE_BUSY");
    KyrCloseDevice(hHeld);
    EXPECT_EQ(other.Ask(OpenLine(kPid2)), "open KYR_SUCCESS");
    EXPECT_EQ(other.Ask("close"), "closed");
    EXPECT_EQ(peer.Ask("close"), "closed");
}

// A peer holds the second of two model devices, named after its path; the
// first goes, and the rule now gives the held one the fixed names. It stays
// held, as the holders query says.
TEST(Processes, PlugTwinHeldSecondStaysHeldWhenTheFirstGoes)
{
    Peer peer;
    ASSERT_EQ(peer.Ask(OpenLine(kPid, kMI, 1)), "open KYR_SUCCESS");
    // kyrsim's devices 0 and 1 are at addresses 5 and 6; the device list
    // orders them its own way.
    const std::string first = KyrGetDevInfoPath(KyrGetDeviceInfo(kVid, kPid, kMI, 0));
    kyrsim::SimUnplug(std::stoi(first.substr(5, 4), nullptr, 16) - 5);
    ASSERT_TRUE(Eventually([] { return KyrGetDeviceCount(kVid, kPid, kMI) == 1; }));
    ExpectHolders({peer.Pid()});
    ExpectBusy();
    EXPECT_EQ(peer.Ask("close"), "closed");
    ExpectOpens();
}

// ---- Stress: device 0, a model device ---------------------------------------------

// Four processes open and close one device 500 times each. A holder claims a
// marker in a file shared by all four as soon as its open returns and gives
// it back before it closes: finding somebody else's claim means two holders.
TEST(ProcessStress, FourProcessesOpenAndCloseOneDevice)
{
    constexpr int kProcesses = 4;
    constexpr int kCycles = 500;
    const auto before = IpcObjects();
    const std::string marker = TmpDir() + "holder-marker";
    const int fd = open(marker.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    close(fd);

    const auto start = Clock::now();
    int totals[4] = {}; // opened, busy, other refusals, overlaps
    {
        Peer peers[kProcesses];
        for (auto& peer : peers)
            peer.Send("cycles" + DeviceArgs() + " " + std::to_string(kCycles) + " " + marker);
        for (auto& peer : peers) {
            const std::string answer = peer.Read();
            int n[4] = {};
            char szFirstOther[64] = "";
            ASSERT_EQ(sscanf(answer.c_str(), "cycles %d %d %d %d %63s", &n[0], &n[1], &n[2], &n[3], szFirstOther), 5)
                << answer;
            EXPECT_EQ(n[2], 0) << "refusals other than busy, the first " << szFirstOther;
            for (int i = 0; i < 4; ++i)
                totals[i] += n[i];
        }
    }
    const auto [nOpened, nBusy, nOther, nOverlaps] = totals;
    RecordProperty("opened", nOpened);
    RecordProperty("busy", nBusy);
    RecordProperty("milliseconds", static_cast<int>((Clock::now() - start) / 1ms));
    EXPECT_EQ(nOverlaps, 0) << "two holders at once";
    EXPECT_EQ(nOpened + nBusy + nOther, kProcesses * kCycles);
    EXPECT_GE(nOpened, kProcesses);

    // All four gone: nothing of theirs is left behind, and the device is whole:
    // it opens, and its block counts one client.
    unlink(marker.c_str());
    ExpectNothingLeftSince(before);
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    ExpectOneClient(getpid());
    KyrCloseDevice(h);
}

// A process opening and closing the device over and over is killed 50 times:
// at a random moment, before or right after one of its waits for the
// device's lock, or as it gives a new lock its value. Each time another
// process (this one) opens the device at once, within a second.
TEST(ProcessStress, KilledHolderNeverHoldsUpTheNextOpen)
{
    constexpr int kRounds = 50;
    std::mt19937 random(6011);
    std::vector<long long> times;
    for (int round = 0; round < kRounds; ++round) {
        const std::string nth = std::to_string(1 + (round / 4) % 8);
        const std::string parkAt[] = {"", "acquire:" + nth, "acquired:" + nth,
                                      "setval:" + std::to_string(1 + (round / 4) % 3)};
        const std::string& at = parkAt[round % 4];
        SCOPED_TRACE("round " + std::to_string(round) + " " + at);
        {
            Peer holder(at);
            holder.Send("churn" + DeviceArgs() + " 100000");
            ASSERT_EQ(holder.Read(), "churning");
            if (at.empty())
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
            else
                ASSERT_EQ(holder.Next(), "parked");
            holder.Kill();
        }
        const auto start = Clock::now();
        KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
        EXPECT_LT(took, 1s);
        times.push_back(took.count());
        KyrCloseDevice(h);
    }
    std::sort(times.begin(), times.end());
    RecordProperty("median_us", static_cast<int>(times[times.size() / 2]));
    RecordProperty("slowest_us", static_cast<int>(times.back()));
}
