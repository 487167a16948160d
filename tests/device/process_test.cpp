// Sharing across processes: a second application (device_peer, a real
// process started by the test) holds, loses or marks devices while this one
// watches. Runs under kyrsim with the devices CMakeLists.txt gives it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"

extern char** environ;

namespace {

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;

// device_peer as a child process, one request line and one answer at a time.
class Peer {
public:
    Peer()
    {
        const char* pszPath = std::getenv("KYR_TEST_PEER");
        if (pszPath == nullptr)
            throw std::runtime_error("KYR_TEST_PEER is not set");
        int toPeer[2], fromPeer[2];
        if (pipe(toPeer) != 0 || pipe(fromPeer) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toPeer[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromPeer[1], 1);
        posix_spawn_file_actions_addclose(&actions, toPeer[1]);
        posix_spawn_file_actions_addclose(&actions, fromPeer[0]);
        char* argv[] = {const_cast<char*>(pszPath), nullptr};
        if (posix_spawn(&m_pid, pszPath, &actions, nullptr, argv, environ) != 0)
            throw std::runtime_error("spawn");
        posix_spawn_file_actions_destroy(&actions);
        close(toPeer[0]);
        close(fromPeer[1]);
        m_pTo = fdopen(toPeer[1], "w");
        m_pFrom = fdopen(fromPeer[0], "r");
    }
    ~Peer()
    {
        if (m_pTo != nullptr)
            fclose(m_pTo);
        if (m_pFrom != nullptr)
            fclose(m_pFrom);
        if (m_pid > 0)
            waitpid(m_pid, nullptr, 0);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::string Ask(const std::string& line)
    {
        fprintf(m_pTo, "%s\n", line.c_str());
        fflush(m_pTo);
        char buffer[256] = {};
        if (fgets(buffer, sizeof(buffer), m_pFrom) == nullptr)
            return "<gone>";
        std::string answer(buffer);
        while (!answer.empty() && answer.back() == '\n')
            answer.pop_back();
        return answer;
    }
    void Kill()
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    FILE* m_pTo = nullptr;
    FILE* m_pFrom = nullptr;
};

std::string OpenLine(unsigned short nPid, unsigned short nMI)
{
    char szLine[32];
    snprintf(szLine, sizeof(szLine), "open %x %u", nPid, nMI);
    return szLine;
}

struct Downloads {
    std::mutex mutex;
    std::string flags;
};

void OnDownload(KYR_HANDLE, int bDownload, void* pContext)
{
    auto* d = static_cast<Downloads*>(pContext);
    std::lock_guard lock(d->mutex);
    d->flags += bDownload == 1 ? '1' : '0';
}

} // namespace

// ---- Device 0: a model device ------------------------------------------------------

TEST(Processes, DeviceHeldByAnotherProcessIsBusy)
{
    Peer peer;
    ASSERT_EQ(peer.Ask(OpenLine(kPid, kMI)), "open KYR_SUCCESS");
    EXPECT_EQ(KyrOpenDevice(kVid, kPid, kMI, 0), nullptr);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_DEVICE_BUSY);
    ASSERT_EQ(peer.Ask("close"), "closed");

    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    EXPECT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    KyrCloseDevice(h);
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

// ---- Device 0: protocol model (this process), device 1: protocol virtual device (peer) --

TEST(Processes, DownloadMarkHoldsBackAnotherProcessAndBothAreTold)
{
    Peer peer;
    ASSERT_EQ(peer.Ask(OpenLine(KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VIRTUAL_INTERFACE)), "open KYR_SUCCESS");
    ASSERT_EQ(peer.Ask("mode 32 5000").substr(0, 6), "mode 1");

    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr);
    Downloads mine;
    KYR_EVENT_NOTIFY table{};
    table.Context = &mine;
    table.fnOnDownloadingFirmware = &OnDownload;
    KyrSetEventNotify(h, &table);

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
    {
        std::lock_guard lock(mine.mutex);
        EXPECT_EQ(mine.flags, "10") << "the marking process is told too";
    }
    KyrCloseDevice(h);
    EXPECT_EQ(peer.Ask("close"), "closed");
}
