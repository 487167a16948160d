// Fixture and helpers for the System V tests.
//
// Every test gets its own key-file directory (TMPDIR), so its objects never meet
// those of other users or of parallel test runs, and every test ends with a leak
// check: System V objects that appeared during the test under a key derived
// from a file on that directory's device (ftok: project id in the top byte, the
// low byte of the device number next), and that this test's processes made,
// must be gone again. "Made" is told by pid: a segment records its creator, a
// semaphore the last process that set or changed its value, which the library
// always does on creation. Without that, parallel tests on the same device
// would count each other's live objects as leaks.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace sysv_test {

inline constexpr const char* SYNC_NAME = "ZarnHandle@SYNC_OBJECT@0003:0007:00";
inline constexpr const char* MEMORY_NAME = "ZarnHandle@SHARED_MEMORY@0003:0007:00";

// (kind, key, id) of every System V object listed in /proc/sysvipc.
using IpcObject = std::tuple<std::string, long, long>;

// This test process and every process it started.
inline std::set<long>& OwnPids()
{
    static std::set<long> pids;
    return pids;
}

// The pid that ties an object to its maker (see above), or -1.
inline long MakerPid(const std::string& kind, long id)
{
    if (kind == "sem")
        return ::semctl(static_cast<int>(id), 0, GETPID);
    shmid_ds status {};
    return ::shmctl(static_cast<int>(id), IPC_STAT, &status) == 0 ? status.shm_cpid : -1;
}

inline std::set<IpcObject> ListIpcObjects()
{
    std::set<IpcObject> objects;
    for (const char* kind : {"shm", "sem"}) {
        std::ifstream in(std::string("/proc/sysvipc/") + kind);
        std::string line;
        std::getline(in, line); // header
        while (std::getline(in, line)) {
            long key = 0, id = 0;
            if (std::istringstream(line) >> key >> id)
                objects.emplace(kind, key, id);
        }
    }
    return objects;
}

// Every regular file below dir, as a path relative to it.
inline std::vector<std::string> ListFiles(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file())
            names.push_back(std::filesystem::relative(entry.path(), dir).string());
    }
    return names;
}

// The id of the semaphore a key file names, or -1.
inline int SemaphoreId(const std::string& keyFile)
{
    const key_t key = ::ftok(keyFile.c_str(), 81);
    return key == -1 ? -1 : ::semget(key, 0, 0);
}

// The semaphore's value, or -1 when it (or its key file) does not exist.
inline int SemaphoreValue(const std::string& keyFile)
{
    const int id = SemaphoreId(keyFile);
    return id == -1 ? -1 : ::semctl(id, 0, GETVAL);
}

class SysvTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Before = ListIpcObjects();
        OwnPids().insert(::getpid());
        // tmpfs when it is there: fast, and on a device the rest of the build
        // seldom uses for key files.
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string templ = std::string(base) + "/kyr-sysv-XXXXXX";
            if (m_Dir.empty() && ::mkdtemp(templ.data()))
                m_Dir = templ;
        }
        struct stat st;
        ASSERT_EQ(::stat(m_Dir.c_str(), &st), 0);
        m_nDeviceByte = static_cast<long>(st.st_dev & 0xff);
        ::setenv("TMPDIR", m_Dir.c_str(), 1);
    }

    void TearDown() override
    {
        EXPECT_TRUE(NoKeyFiles()) << "key files left in " << m_Dir;
        for (const auto& [kind, key, id] : ListIpcObjects()) {
            if (m_Before.count({kind, key, id}) || ((key >> 24) & 0xff) != 81 || ((key >> 16) & 0xff) != m_nDeviceByte
                || !OwnPids().count(MakerPid(kind, id)))
                continue;
            ADD_FAILURE() << "leaked " << kind << " key 0x" << std::hex << key << std::dec << " id " << id;
            if (kind == "shm")
                ::shmctl(static_cast<int>(id), IPC_RMID, nullptr);
            else
                ::semctl(static_cast<int>(id), 0, IPC_RMID);
        }
        std::error_code ec;
        std::filesystem::remove_all(m_Dir, ec);
        ::unsetenv("TMPDIR");
    }

    bool NoKeyFiles() const { return ListFiles(m_Dir).empty(); }

    std::string MemoryKeyFile(const std::string& name) const { return m_Dir + "/qipc_sharedmemory_" + name; }
    std::string SemaphoreKeyFile(const std::string& name) const { return m_Dir + "/qipc_systemsem_" + name; }
    int LockValue() const { return SemaphoreValue(SemaphoreKeyFile(SYNC_NAME)); }

    std::string m_Dir;
    long m_nDeviceByte = -1;
    std::set<IpcObject> m_Before;
};

// A program run as a separate process, talked to over its stdin and stdout,
// one line at a time. Killed, if still running, when it goes.
class Peer {
public:
    explicit Peer(const std::vector<std::string>& args)
    {
        int toChild[2], fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
            return;
        m_Pid = ::fork();
        if (m_Pid == 0) {
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            std::vector<char*> argv;
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        OwnPids().insert(m_Pid);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_nIn = toChild[1];
        m_nOut = fromChild[0];
    }

    ~Peer()
    {
        ::close(m_nIn);
        ::close(m_nOut);
        if (!m_bReaped)
            Kill();
    }

    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // The next line, or nothing when none arrives within nTimeoutMs.
    std::optional<std::string> ReadLine(int nTimeoutMs = 20000)
    {
        while (m_Buffer.find('\n') == std::string::npos) {
            pollfd pfd {m_nOut, POLLIN, 0};
            char chunk[256];
            const ssize_t n = ::poll(&pfd, 1, nTimeoutMs) > 0 ? ::read(m_nOut, chunk, sizeof chunk) : 0;
            if (n <= 0)
                return std::nullopt;
            m_Buffer.append(chunk, static_cast<size_t>(n));
        }
        const std::string line = m_Buffer.substr(0, m_Buffer.find('\n'));
        m_Buffer.erase(0, line.size() + 1);
        return line;
    }

    void WriteLine(const std::string& line)
    {
        const std::string data = line + "\n";
        ASSERT_EQ(::write(m_nIn, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }

    void Kill()
    {
        if (m_Pid > 0)
            ::kill(m_Pid, SIGKILL);
        Wait();
    }

    // Exit status, or -1 when the peer did not exit normally.
    int Wait()
    {
        int status = -1; // not exited normally when never started
        if (m_Pid > 0)
            ::waitpid(m_Pid, &status, 0);
        m_bReaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    unsigned long Pid() const { return static_cast<unsigned long>(m_Pid); }

private:
    pid_t m_Pid = -1;
    bool m_bReaped = false;
    int m_nIn = -1;
    int m_nOut = -1;
    std::string m_Buffer;
};

} // namespace sysv_test
