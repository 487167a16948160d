// Sharing across processes: other applications (device_peer, real processes
// started by the test) hold, lose, race for or mark devices while this one
// watches. Runs under kyrsim with the devices CMakeLists.txt gives it.
//
// Races are pinned down with lock_park_shim: a peer is stopped at a chosen
// operation on a lock while another process acts, then let go or killed
// there.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"
#include "sysv_test_support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;
constexpr int kPatienceMs = 20000;

// The names other processes find the shared objects by.
constexpr const char* kDeviceLock = "ZarnHandle@SYNC_OBJECT";
constexpr const char* kDeviceBlock = "ZarnHandle@SHARED_MEMORY";
constexpr const char* kDownloadLock = "ZarnDownloadCheck@SYNC_OBJECT";
constexpr const char* kDownloadBlock = "ZarnDownloadCheck@SHARED_MEMORY";

std::string TmpDir()
{
    const char* pszDir = std::getenv("TMPDIR");
    std::string dir = pszDir != nullptr ? pszDir : "/tmp";
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

std::string LockKeyFile(const std::string& name)
{
    return TmpDir() + "qipc_systemsem_" + name;
}

std::string BlockKeyFile(const std::string& name)
{
    return TmpDir() + "qipc_sharedmemory_" + name;
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

union SemArg {
    int val;
    semid_ds* buf;
    unsigned short* array;
};

// A lock as any local user may leave it: made (with its key file) if need
// be, then set to nValue without the system undoing it for anybody.
void SetLockValue(const std::string& name, int nValue)
{
    const std::string file = LockKeyFile(name);
    close(open(file.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644));
    const key_t key = ftok(file.c_str(), 81);
    ASSERT_NE(key, -1);
    const int id = semget(key, 1, IPC_CREAT | 0666);
    ASSERT_NE(id, -1);
    SemArg arg;
    arg.val = nValue;
    ASSERT_EQ(semctl(id, 0, SETVAL, arg), 0);
}

void RemoveLock(const std::string& name)
{
    const std::string file = LockKeyFile(name);
    const key_t key = ftok(file.c_str(), 81);
    const int id = key == -1 ? -1 : semget(key, 0, 0);
    if (id != -1)
        semctl(id, 0, IPC_RMID);
    unlink(file.c_str());
}

// A shared block reached the way another process reaches it, its lock held
// (with a bound) for the object's life.
class RawBlock {
public:
    RawBlock(const std::string& lockName, const std::string& blockName)
    {
        const key_t lockKey = ftok(LockKeyFile(lockName).c_str(), 81);
        const key_t blockKey = ftok(BlockKeyFile(blockName).c_str(), 81);
        m_nLock = lockKey == -1 ? -1 : semget(lockKey, 0, 0);
        const int nBlock = blockKey == -1 ? -1 : shmget(blockKey, 0, 0);
        if (m_nLock == -1 || nBlock == -1)
            return;
        sembuf take {0, -1, SEM_UNDO};
        timespec bound {10, 0};
        if (semtimedop(m_nLock, &take, 1, &bound) != 0)
            return;
        m_bLocked = true;
        void* p = shmat(nBlock, nullptr, 0);
        if (p != reinterpret_cast<void*>(-1))
            m_pBlock = static_cast<unsigned char*>(p);
    }
    ~RawBlock()
    {
        if (m_pBlock != nullptr)
            shmdt(m_pBlock);
        if (m_bLocked) {
            sembuf give {0, 1, SEM_UNDO};
            semop(m_nLock, &give, 1);
        }
    }
    RawBlock(const RawBlock&) = delete;
    RawBlock& operator=(const RawBlock&) = delete;

    explicit operator bool() const { return m_pBlock != nullptr; }

    template <typename T>
    T Get(size_t nOffset) const
    {
        T value;
        std::memcpy(&value, m_pBlock + nOffset, sizeof value);
        return value;
    }
    template <typename T>
    void Set(size_t nOffset, T value)
    {
        std::memcpy(m_pBlock + nOffset, &value, sizeof value);
    }

private:
    int m_nLock = -1;
    bool m_bLocked = false;
    unsigned char* m_pBlock = nullptr;
};

// The registered clients of the device block: its count and its taken slots
// with their owners' process ids. Offsets of the block every process shares.
struct Clients {
    long long nCount = 0;
    std::vector<std::pair<int, unsigned long>> slots;
};

std::optional<Clients> DeviceClients()
{
    RawBlock block(kDeviceLock, kDeviceBlock);
    if (!block)
        return std::nullopt;
    Clients clients;
    clients.nCount = block.Get<std::int64_t>(16);
    for (int i = 0; i < 256; ++i) {
        if (block.Get<std::int16_t>(24 + 2 * i) != -1)
            clients.slots.emplace_back(i, block.Get<std::uint64_t>(544 + 8 * i));
    }
    return clients;
}

struct PeerOptions {
    std::vector<std::string> env; // NAME=value entries added to ours
    std::string parkAt;           // a park point of lock_park_shim, e.g. "acquire:2"
    std::string parkLock = kDeviceLock;
};

PeerOptions ParkedAt(const std::string& at)
{
    PeerOptions options;
    options.parkAt = at;
    return options;
}

PeerOptions WithEnv(const std::string& entry)
{
    PeerOptions options;
    options.env.push_back(entry);
    return options;
}

// device_peer as a child process: request lines in, answer lines out, and
// with PeerOptions::parkAt a socket on which the shim reports that it parked.
class Peer {
public:
    enum class Event { Line, Parked, Gone };

    explicit Peer(const PeerOptions& options = {})
    {
        const char* pszPath = std::getenv("KYR_TEST_PEER");
        if (pszPath == nullptr)
            throw std::runtime_error("KYR_TEST_PEER is not set");
        std::vector<std::string> env;
        for (char** p = environ; *p != nullptr; ++p) {
            if (!options.parkAt.empty() && std::strncmp(*p, "LD_PRELOAD=", 11) == 0)
                continue;
            env.emplace_back(*p);
        }
        env.insert(env.end(), options.env.begin(), options.env.end());

        int toPeer[2], fromPeer[2];
        if (pipe2(toPeer, O_CLOEXEC) != 0 || pipe2(fromPeer, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toPeer[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromPeer[1], 1);
        int parkEnd = -1;
        if (!options.parkAt.empty()) {
            const char* pszShim = std::getenv("KYR_TEST_PARK_SHIM");
            if (pszShim == nullptr)
                throw std::runtime_error("KYR_TEST_PARK_SHIM is not set");
            int pair[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
                throw std::runtime_error("socketpair");
            m_nPark = pair[0];
            // Above the standard descriptors, so that the dup2 below always
            // makes a new descriptor, which the child keeps.
            parkEnd = fcntl(pair[1], F_DUPFD_CLOEXEC, 10);
            close(pair[1]);
            posix_spawn_file_actions_adddup2(&actions, parkEnd, kParkFd);
            const char* pszPreload = std::getenv("LD_PRELOAD");
            env.push_back(std::string("LD_PRELOAD=") + (pszPreload != nullptr ? pszPreload : "") + ":" + pszShim);
            env.push_back("KYR_TEST_PARK_AT=" + options.parkAt);
            env.push_back("KYR_TEST_PARK_KEYFILE=" + LockKeyFile(options.parkLock));
            env.push_back("KYR_TEST_PARK_FD=" + std::to_string(kParkFd));
        }
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(pszPath), nullptr};
        const int nSpawn = posix_spawn(&m_pid, pszPath, &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(toPeer[0]);
        close(fromPeer[1]);
        if (parkEnd != -1)
            close(parkEnd);
        m_nTo = toPeer[1];
        m_nFrom = fromPeer[0];
        if (nSpawn != 0)
            throw std::runtime_error("spawn");
        sysv_test::OwnPids().insert(m_pid);
    }
    ~Peer()
    {
        for (int* fd : {&m_nTo, &m_nFrom, &m_nPark}) {
            if (*fd != -1)
                close(*fd);
        }
        if (m_pid <= 0)
            return;
        // It ends at the end of its input; one that does not is ended.
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (waitpid(m_pid, nullptr, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void Send(const std::string& line)
    {
        const std::string data = line + "\n";
        ASSERT_EQ(write(m_nTo, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }

    // The next answer line or the peer parking, whichever comes first.
    Event Await(std::string& line, int nTimeoutMs = kPatienceMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        for (;;) {
            const auto pos = m_Buffer.find('\n');
            if (pos != std::string::npos) {
                line = m_Buffer.substr(0, pos);
                m_Buffer.erase(0, pos + 1);
                return Event::Line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return Event::Gone;
            pollfd fds[2] = {{m_nFrom, POLLIN, 0}, {m_nPark, POLLIN, 0}};
            if (poll(fds, m_nPark != -1 ? 2 : 1, static_cast<int>(left.count())) <= 0)
                continue;
            if (m_nPark != -1 && (fds[1].revents & POLLIN) != 0) {
                char parked[16];
                if (read(m_nPark, parked, sizeof parked) > 0)
                    return Event::Parked;
            }
            if (fds[0].revents != 0) {
                char chunk[256];
                const ssize_t n = read(m_nFrom, chunk, sizeof chunk);
                if (n <= 0)
                    return Event::Gone;
                m_Buffer.append(chunk, static_cast<size_t>(n));
            }
        }
    }

    // The next answer line, "<gone>" when none comes; a park met on the way
    // is let go at once.
    std::string Read(int nTimeoutMs = kPatienceMs)
    {
        std::string line;
        for (;;) {
            switch (Await(line, nTimeoutMs)) {
            case Event::Line: return line;
            case Event::Parked: Release(); break;
            case Event::Gone: return "<gone>";
            }
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
        ASSERT_EQ(write(m_nPark, &go, 1), 1);
    }

    void Kill()
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

    // How a peer that stopped answering ended, for failure messages.
    std::string Fate()
    {
        if (m_pid <= 0)
            return "reaped";
        int status = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline)
                return "still running";
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_pid = -1;
        if (WIFSIGNALED(status))
            return "killed by signal " + std::to_string(WTERMSIG(status));
        return "exited with " + std::to_string(WEXITSTATUS(status));
    }

    pid_t Pid() const { return m_pid; }

private:
    static constexpr int kParkFd = 3;
    pid_t m_pid = -1;
    int m_nTo = -1;
    int m_nFrom = -1;
    int m_nPark = -1;
    std::string m_Buffer;
};

std::string OpenLine(unsigned short nPid, unsigned short nMI, int nIndex = 0)
{
    char szLine[48];
    snprintf(szLine, sizeof(szLine), "open %x %u %d", nPid, nMI, nIndex);
    return szLine;
}

// What fnOnDownloadingFirmware told a handle so far, e.g. "10".
struct Downloads {
    std::mutex mutex;
    std::string flags;

    std::string Flags()
    {
        std::lock_guard lock(mutex);
        return flags;
    }
};

void OnDownload(KYR_HANDLE, int bDownload, void* pContext)
{
    auto* d = static_cast<Downloads*>(pContext);
    std::lock_guard lock(d->mutex);
    d->flags += bDownload == 1 ? '1' : '0';
}

void WatchDownloads(KYR_HANDLE h, Downloads& downloads)
{
    KYR_EVENT_NOTIFY table{};
    table.Context = &downloads;
    table.fnOnDownloadingFirmware = &OnDownload;
    KyrSetEventNotify(h, &table);
}

// The peer holds the protocol virtual device and marks a download.
void MarkDownload(Peer& peer)
{
    ASSERT_EQ(peer.Ask(OpenLine(KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VIRTUAL_INTERFACE)), "open KYR_SUCCESS");
    ASSERT_EQ(peer.Ask("lock"), "locked");
}

// No key file in TMPDIR, and no System V object that appeared since `before`
// under a key of TMPDIR's file system and was made by this process or a peer
// (see sysv_test_support.h).
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

void ExpectNothingLeftSince(const std::set<sysv_test::IpcObject>& before)
{
    EXPECT_TRUE(sysv_test::ListFiles(TmpDir()).empty()) << "key files left in " << TmpDir();
    struct stat st;
    ASSERT_EQ(stat(TmpDir().c_str(), &st), 0);
    for (const auto& [kind, key, id] : sysv_test::ListIpcObjects()) {
        if (before.count({kind, key, id}) != 0 || ((key >> 24) & 0xff) != 81 ||
            ((key >> 16) & 0xff) != static_cast<long>(st.st_dev & 0xff) ||
            sysv_test::OwnPids().count(sysv_test::MakerPid(kind, id)) == 0)
            continue;
        ADD_FAILURE() << "leaked " << kind << " id " << id;
    }
}

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(kPatienceMs))
{
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace

// ---- Device 0: a model device ------------------------------------------------------

TEST(Processes, DeviceHeldByAnotherProcessIsBusy)
{
    Peer peer;
    ASSERT_EQ(peer.Ask(OpenLine(kPid, kMI)), "open KYR_SUCCESS");
    ExpectBusy();
    ASSERT_EQ(peer.Ask("close"), "closed");

    ExpectOpens();
}

TEST(Processes, DeviceOfAKilledHolderCanBeOpenedAgain)
{
    for (int i = 0; i < 3; ++i) {
        Peer peer;
        ASSERT_EQ(peer.Ask(OpenLine(kPid, kMI)), "open KYR_SUCCESS");
        peer.Kill(); // its slot stays taken, its semaphore hold is undone
        KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
        ASSERT_NE(h, nullptr) << "round " << i << ": " << KyrGetErrorName(KyrGetLastError());
        KyrCloseDevice(h);
    }
}

// Opener A stops before its Nth wait for the device's lock; B, a process
// started only then, opens meanwhile. Wherever A stopped, exactly one of the
// two holds the device, the other is told it is busy, and the block records
// the holder alone.
void RaceWithAnOpenerParkedBeforeItsNthWait(int nWait)
{
    SCOPED_TRACE("A parked before its wait " + std::to_string(nWait));
    Peer a(ParkedAt("acquire:" + std::to_string(nWait)));
    a.Send(OpenLine(kPid, kMI));
    std::string answerA;
    const Peer::Event first = a.Await(answerA);
    ASSERT_NE(first, Peer::Event::Gone);
    Peer b;
    const std::string answerB = b.Ask(OpenLine(kPid, kMI));
    if (first == Peer::Event::Parked) {
        a.Release();
        answerA = a.Read();
    }
    const bool bAHolds = answerA == "open KYR_SUCCESS";
    EXPECT_NE(bAHolds, answerB == "open KYR_SUCCESS") << "A: " << answerA << ", B: " << answerB;
    EXPECT_EQ(bAHolds ? answerB : answerA, "open KYR_ERROR_DEVICE_BUSY");

    const std::optional<Clients> clients = DeviceClients();
    ASSERT_TRUE(clients.has_value());
    EXPECT_EQ(clients->nCount, 1);
    ASSERT_EQ(clients->slots.size(), 1u);
    EXPECT_EQ(clients->slots[0].second, static_cast<unsigned long>(bAHolds ? a.Pid() : b.Pid()));

    EXPECT_EQ(a.Ask("close"), "closed");
    EXPECT_EQ(b.Ask("close"), "closed");
}

TEST(Processes, DeviceOpenRaceOnAFreshDeviceHasOneHolder)
{
    for (int nWait = 1; nWait <= 5; ++nWait) {
        RaceWithAnOpenerParkedBeforeItsNthWait(nWait);
        EXPECT_FALSE(FileExists(BlockKeyFile(kDeviceBlock))) << "the last one out removes the block";
    }
}

TEST(Processes, DeviceOpenRaceAfterAKilledHolderHasOneHolder)
{
    for (int nWait = 1; nWait <= 5; ++nWait) {
        {
            Peer dead;
            ASSERT_EQ(dead.Ask(OpenLine(kPid, kMI)), "open KYR_SUCCESS");
            dead.Kill();
        }
        RaceWithAnOpenerParkedBeforeItsNthWait(nWait);
    }
}

// The device's lock left taken for good, as any local user can leave it:
// every wait gives up after its bound (shortened for the peer by its test
// hook) and says so.
TEST(Processes, DeviceLockLeftTakenMakesOpenFailWithTimeout)
{
    SetLockValue(kDeviceLock, 0);
    {
        Peer peer(WithEnv("KYR_TEST_LOCK_TIMEOUT_MS=300"));
        EXPECT_EQ(peer.Ask(OpenLine(kPid, kMI)), "open KYR_ERROR_TIMEOUT");
        EXPECT_EQ(peer.Ask("close"), "closed");
    }
    RemoveLock(kDeviceLock);
    ExpectOpens();
}

// The device's lock held by another process (this one) beyond the bound
// while a peer has the device open: every call of the peer that needs the
// block fails with KYR_ERROR_TIMEOUT and sends nothing, and its close waits
// one bound, not two, and still gives up its slot: once the lock is back,
// the device is free although the peer runs on.
TEST(Processes, DeviceLockHeldElsewhereTimesOutAndCloseStillFreesTheSlot)
{
    constexpr int kBoundMs = 2000;
    Peer peer(WithEnv("KYR_TEST_LOCK_TIMEOUT_MS=" + std::to_string(kBoundMs)));
    ASSERT_EQ(peer.Ask(OpenLine(kPid, kMI)), "open KYR_SUCCESS");
    {
        RawBlock held(kDeviceLock, kDeviceBlock);
        ASSERT_TRUE(held);
        const uint64_t nOut = kyrsim::SimOutCount(0);
        // Each call within one bound: the handle's threads (its timer's
        // clean-up too) do not each wait out a bound in a row.
        const std::pair<const char*, const char*> calls[] = {{"send status", "send -1 KYR_ERROR_TIMEOUT"},
                                                             {"mode 32 5000", "mode 1 KYR_ERROR_TIMEOUT"},
                                                             {"close", "closed"}};
        for (const auto& [pszCall, pszAnswer] : calls) {
            const auto start = Clock::now();
            EXPECT_EQ(peer.Ask(pszCall), pszAnswer);
            EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kBoundMs * 7 / 4)) << pszCall;
        }
        EXPECT_EQ(kyrsim::SimOutCount(0), nOut) << "sent without the merged modes";
    }
    EXPECT_EQ(KyrGetDeviceHolders(kVid, kPid, kMI, 0, nullptr, 0), 0);
    ExpectOpens();
}

// The last user removes the device's lock while an opener has derived its
// key from the key file and is about to look the lock up: the opener must not
// make a lock under that key once the file is gone, beside the one the next
// process makes under a new file. Split so, the two never meet again and one
// of them is never removed.
TEST(Processes, DeviceLockRemovedWhileAnOpenerLooksItUpStaysOne)
{
    sysv_test::OwnPids().insert(getpid());
    const std::set<sysv_test::IpcObject> before = sysv_test::ListIpcObjects();
    {
        Peer last(WithEnv("KYR_TEST_LOCK_TIMEOUT_MS=300"));
        ASSERT_EQ(last.Ask(OpenLine(kPid, kMI)), "open KYR_SUCCESS");
        Peer opener(ParkedAt("semget:1"));
        opener.Send(OpenLine(kPid, kMI));
        std::string line;
        ASSERT_EQ(opener.Await(line), Peer::Event::Parked) << line;
        EXPECT_EQ(last.Ask("close"), "closed");
        opener.Release();
        EXPECT_EQ(opener.Read(), "open KYR_SUCCESS");

        ExpectBusy();
        EXPECT_EQ(opener.Ask("close"), "closed");
    }
    ExpectOpens();
    ExpectNothingLeftSince(before);
}

// The first opener dies between making the device's lock and giving it its
// value: the lock reads 0 with nobody to give it back.
TEST(Processes, DeviceLockOfAnOpenerKilledWhileMakingItIsRepaired)
{
    {
        Peer maker(ParkedAt("setval:1"));
        maker.Send(OpenLine(kPid, kMI));
        std::string line;
        ASSERT_EQ(maker.Await(line), Peer::Event::Parked) << line;
        maker.Kill();
    }
    Peer next;
    EXPECT_EQ(next.Ask(OpenLine(kPid, kMI)), "open KYR_SUCCESS");
    EXPECT_EQ(next.Ask("close"), "closed");
}

// ---- Device 0: protocol model (this process), device 1: protocol virtual device (peer) --

TEST(Processes, DownloadMarkHoldsBackAnotherProcessAndBothAreTold)
{
    Peer peer;
    ASSERT_EQ(peer.Ask(OpenLine(KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VIRTUAL_INTERFACE)), "open KYR_SUCCESS");
    ASSERT_EQ(peer.Ask("mode 32 5000").substr(0, 6), "mode 1");

    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    Downloads mine;
    WatchDownloads(h, mine);

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
    // The peer's device got the instant mode again before the command.
    bool bResent = false;
    for (int i = 0; i < 100 && !bResent; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bResent = kyrsim::SimCommandCount(1) >= nPeerCommands + 2;
    }
    EXPECT_TRUE(bResent);
    EXPECT_EQ(kyrsim::SimStreams(1), "T") << "the re-sent mode is in force";
    EXPECT_GE(KyrSendCommand(h, "status", 1, 0), 1);
    EXPECT_EQ(mine.Flags(), "10") << "the marking process is told too";
    KyrCloseDevice(h);
    EXPECT_EQ(peer.Ask("close"), "closed");
}

// A process that marked a download dies without unmarking it: the mark goes
// with its owner. The first gate pass that finds it re-sends the instant
// mode and tells the application once; here the pass of a command.
TEST(Processes, DownloadMarkOfAKilledProcessIsClearedByTheNextCommand)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    Downloads mine;
    WatchDownloads(h, mine);
    ASSERT_EQ(KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 5000, ~0UL), 1);
    {
        Peer peer;
        MarkDownload(peer);
        EXPECT_EQ(KyrSendCommand(h, "status", 1, 0), -1);
        EXPECT_EQ(KyrGetLastError(), KYR_ERROR_FIRMWARE_DOWNLOAD);
        peer.Kill();
    }
    const uint64_t nBefore = kyrsim::SimCommandCount(0);
    EXPECT_GE(KyrSendCommand(h, "status", 1, 0), 1) << KyrGetErrorName(KyrGetLastError());
    EXPECT_TRUE(Eventually([&] { return kyrsim::SimCommandCount(0) >= nBefore + 2; }))
        << "the instant mode goes out again before the command";
    EXPECT_EQ(kyrsim::SimStreams(0), "T");
    EXPECT_EQ(mine.Flags(), "10");
    KyrCloseDevice(h);
}

// The same, found by the timer's once-a-second pass with nothing sent.
TEST(Processes, DownloadMarkOfAKilledProcessIsClearedByTheTimer)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    Downloads mine;
    WatchDownloads(h, mine);
    ASSERT_EQ(KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 60000, ~0UL), 1);
    {
        Peer peer;
        MarkDownload(peer);
        ASSERT_TRUE(Eventually([&] { return mine.Flags() == "1"; })) << "the timer sees the mark";
        peer.Kill();
    }
    const uint64_t nBefore = kyrsim::SimCommandCount(0);
    ASSERT_TRUE(Eventually([&] { return mine.Flags() == "10"; })) << "the timer sees the mark gone";
    EXPECT_GT(kyrsim::SimCommandCount(0), nBefore);
    const std::optional<kyrsim::SimCommand> last = kyrsim::SimLastCommand(0);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->szText.rfind("instant_mode=T", 0), 0u) << last->szText;
    EXPECT_GE(KyrSendCommand(h, "status", 1, 0), 1) << KyrGetErrorName(KyrGetLastError());
    EXPECT_EQ(mine.Flags(), "10");
    KyrCloseDevice(h);
}

// A mark of 1 names no owner (as a process that does not record one writes
// it): it is taken as a live one and holds until it is unmarked.
TEST(Processes, DownloadMarkWithoutAnOwnerHoldsUntilCleared)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    {
        RawBlock flag(kDownloadLock, kDownloadBlock);
        ASSERT_TRUE(flag);
        flag.Set<int>(0, 1);
    }
    EXPECT_EQ(KyrSendCommand(h, "status", 1, 0), -1);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_FIRMWARE_DOWNLOAD);
    EXPECT_EQ(KyrSendCommand(h, "status", 1, 0), -1);
    {
        RawBlock flag(kDownloadLock, kDownloadBlock);
        ASSERT_TRUE(flag);
        EXPECT_EQ(flag.Get<int>(0), 1);
        flag.Set<int>(0, 0);
    }
    EXPECT_GE(KyrSendCommand(h, "status", 1, 0), 1) << KyrGetErrorName(KyrGetLastError());
    KyrCloseDevice(h);
}

// The mark records who made it, in the place every process reads.
TEST(Processes, DownloadMarkRecordsItsOwner)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    KyrLockFirmwareDownload(h);
    {
        RawBlock flag(kDownloadLock, kDownloadBlock);
        ASSERT_TRUE(flag);
        EXPECT_EQ(flag.Get<int>(0), static_cast<int>(getpid()));
    }
    KyrUnlockFirmwareDownload(h);
    {
        RawBlock flag(kDownloadLock, kDownloadBlock);
        ASSERT_TRUE(flag);
        EXPECT_EQ(flag.Get<int>(0), 0);
    }
    KyrCloseDevice(h);
}

// ---- Devices 0 and 1: two devices of the same model --------------------------------

// Only the first of them (index 0) takes the fixed names; the other is named
// after its path.
TEST(Processes, TwinDevicesOpenSideBySideInOneProcess)
{
    KYR_DEVICE_INFO info = KyrGetDeviceInfo(kVid, kPid, kMI, 1);
    ASSERT_NE(info, nullptr);
    const std::string secondPath = KyrGetDevInfoPath(info);

    KYR_HANDLE hFirst = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(hFirst, nullptr) << KyrGetErrorName(KyrGetLastError());
    KYR_HANDLE hSecond = KyrOpenDevice(kVid, kPid, kMI, 1);
    EXPECT_NE(hSecond, nullptr) << KyrGetErrorName(KyrGetLastError());
    EXPECT_TRUE(FileExists(BlockKeyFile(kDeviceBlock)));
    EXPECT_TRUE(FileExists(BlockKeyFile(std::string(kDeviceBlock) + "@" + secondPath)));
    ExpectBusy(kPid, 1);
    KyrCloseDevice(hFirst);
    KyrCloseDevice(hSecond);
}

TEST(Processes, TwinDevicesOpenSideBySideInTwoProcesses)
{
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
    {
        Downloads arrivals; // counts the arrivals as '1's
        int nWatch = -1;
        ASSERT_EQ(KyrRegisterHotplugCallback(
                      kVid, kPid, kMI, KYR_HOTPLUG_ARRIVED, 0,
                      [](KYR_DEVICE_INFO, int, void* p) { return OnDownload(nullptr, 1, p), 0; }, &arrivals, &nWatch),
                  1);
        kyrsim::SimPlug("vid=" + std::to_string(kVid) + ",pid=" + std::to_string(kPid) + ",interfaces=2,bus=5,addr=20");
        ASSERT_TRUE(Eventually([&] { return arrivals.Flags() == "1"; }));
        KyrDeregisterHotplugCallback(nWatch);
    }
    ASSERT_EQ(KyrGetDeviceCount(kVid, kPid, kMI), 1);

    EXPECT_EQ(KyrGetDeviceHolders(kVid, kPid, kMI, 0, nullptr, 0), 0);
    Peer peer;
    ASSERT_EQ(peer.Ask(OpenLine(kPid, kMI)), "open KYR_SUCCESS");
    for (const auto& [wPid, pid] : {std::pair{kPid, peer.Pid()}, std::pair{kPid2, getpid()}}) {
        unsigned long dwHolder = 0;
        EXPECT_EQ(KyrGetDeviceHolders(kVid, wPid, kMI, 0, &dwHolder, 1), 1) << "product " << wPid;
        EXPECT_EQ(dwHolder, static_cast<unsigned long>(pid)) << "product " << wPid;
    }
    ExpectBusy();
    Peer other;
    EXPECT_EQ(other.Ask(OpenLine(kPid2, kMI)), "open KYR_ERROR_DEVICE_BUSY");
    KyrCloseDevice(hHeld);
    EXPECT_EQ(other.Ask(OpenLine(kPid2, kMI)), "open KYR_SUCCESS");
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

    unsigned long dwHolder = 0;
    EXPECT_EQ(KyrGetDeviceHolders(kVid, kPid, kMI, 0, &dwHolder, 1), 1);
    EXPECT_EQ(dwHolder, static_cast<unsigned long>(peer.Pid()));
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
    sysv_test::OwnPids().insert(getpid());
    const std::set<sysv_test::IpcObject> before = sysv_test::ListIpcObjects();
    const std::string marker = TmpDir() + "holder-marker";
    {
        const int fd = open(marker.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
        ASSERT_NE(fd, -1);
        ASSERT_EQ(ftruncate(fd, 4096), 0);
        close(fd);
    }

    const auto start = Clock::now();
    int nOpened = 0, nBusy = 0, nOther = 0, nOverlaps = 0;
    {
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < kProcesses; ++i)
            peers.push_back(std::make_unique<Peer>());
        char szLine[512];
        snprintf(szLine, sizeof(szLine), "cycles %d %x %u %s", kCycles, kPid, kMI, marker.c_str());
        for (auto& peer : peers)
            peer->Send(szLine);
        for (auto& peer : peers) {
            const std::string answer = peer->Read(60000);
            std::istringstream in(answer);
            std::string verb, firstOther;
            int o = 0, b = 0, x = 0, v = 0;
            ASSERT_TRUE(in >> verb >> o >> b >> x >> v >> firstOther) << answer << ", " << peer->Fate();
            EXPECT_EQ(x, 0) << "refusals other than busy, the first " << firstOther;
            nOpened += o;
            nBusy += b;
            nOther += x;
            nOverlaps += v;
        }
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::printf("%d cycles in %lld ms: %d opened, %d busy, %d other refusals, %d overlaps\n", kProcesses * kCycles,
                static_cast<long long>(elapsed.count()), nOpened, nBusy, nOther, nOverlaps);
    RecordProperty("opened", nOpened);
    RecordProperty("busy", nBusy);
    RecordProperty("milliseconds", static_cast<int>(elapsed.count()));
    EXPECT_EQ(nOverlaps, 0) << "two holders at once";
    EXPECT_EQ(nOther, 0);
    EXPECT_EQ(nOpened + nBusy + nOther, kProcesses * kCycles);
    EXPECT_GE(nOpened, kProcesses);

    // All four gone: nothing of theirs is left behind.
    unlink(marker.c_str());
    ExpectNothingLeftSince(before);

    // The device is whole afterwards: it opens, and its block counts one client.
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    const std::optional<Clients> clients = DeviceClients();
    ASSERT_TRUE(clients.has_value());
    EXPECT_EQ(clients->nCount, 1);
    ASSERT_EQ(clients->slots.size(), 1u);
    EXPECT_EQ(clients->slots[0].second, static_cast<unsigned long>(getpid()));
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
        PeerOptions options;
        const int nPoint = 1 + (round / 4) % 8;
        switch (round % 4) {
        case 1: options.parkAt = "acquire:" + std::to_string(nPoint); break;
        case 2: options.parkAt = "acquired:" + std::to_string(nPoint); break;
        case 3: options.parkAt = "setval:" + std::to_string(1 + (round / 4) % 3); break;
        default: break;
        }
        SCOPED_TRACE("round " + std::to_string(round) + " " + options.parkAt);
        {
            Peer holder(options);
            char szLine[64];
            snprintf(szLine, sizeof(szLine), "churn 100000 %x %u", kPid, kMI);
            holder.Send(szLine);
            ASSERT_EQ(holder.Read(), "churning");
            if (options.parkAt.empty()) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
            } else {
                std::string line;
                ASSERT_EQ(holder.Await(line), Peer::Event::Parked) << line;
            }
            holder.Kill();
        }
        const auto start = Clock::now();
        KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
        EXPECT_LT(took, std::chrono::seconds(1));
        times.push_back(took.count());
        KyrCloseDevice(h);
    }
    std::sort(times.begin(), times.end());
    std::printf("%d kills; open after a kill: median %lld us, slowest %lld us\n", kRounds, times[times.size() / 2],
                times.back());
    RecordProperty("median_us", static_cast<int>(times[times.size() / 2]));
    RecordProperty("slowest_us", static_cast<int>(times.back()));
}
