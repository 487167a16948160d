// A second application for the cross-process tests, driven over its standard
// input and output one line at a time (PID and BITS in hex):
//   open PID MI [N]  -> "open <error name>"             (device index N, default 0)
//   mode BITS MS     -> "mode <result> <error name>"   (KyrSetInstantMode)
//   send TEXT        -> "send <result> <error name>"   (asynchronous command)
//   lock | unlock    -> "locked" | "unlocked"          (firmware-download mark)
//   events           -> "events <flags>"               (fnOnDownloadingFirmware so far, e.g. "10")
//   close            -> "closed"
//   cycles PID MI N FILE
//                    -> "cycles <opened> <busy> <other> <overlaps> <error name of the first other refusal>"
//                       N opens and closes of device 0; each holder claims the
//                       int at offset 0 of FILE (a file the test made, shared
//                       with the other peers) by its process id, and counts
//                       an overlap when somebody else's id was there
//   churn PID MI N   -> "churning", then N opens and closes of device 0 with
//                       no further output until "churned"; the test kills it
//                       somewhere on the way
// It exits at the end of its input, leaving whatever it holds to the system.
//
// Its arguments, NAME=value each, are put into its environment. With
// KYR_TEST_PARK_AT=POINT:N and KYR_TEST_PARK_FD=FD it parks the library's
// thread at one operation on the device's System V lock (its key file in
// TMPDIR) until the test lets it go (or kills it there), so that another
// process runs at exactly that point: it writes "parked" on its output and
// waits for one byte (or the end) on descriptor FD. POINT is
//   acquire   before the Nth wait to take the lock
//   acquired  right after the Nth take
//   setval    before the Nth value set (semctl SETVAL)
//   semget    before the Nth look-up of its key (the key derived, the lock not yet found)
// Only the first matching point parks; every other call passes straight on.
// With KYR_TEST_FTOK=NAME:KEY (KEY in hex) the first file it finds at
// TMPDIR/NAME gets the key KEY, as a file whose inode has the low 16 bits of
// another object's file would; files made there later get their own keys.
// The library calls the System V functions defined here in place of the C
// library's.
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"

namespace {

std::mutex g_Mutex;
std::string g_szEvents;

union SemArg {
    int val;
    semid_ds* buf;
    unsigned short* array;
};

std::string_view g_Point; // empty: never park
int g_nNth = 0;
int g_nGo = -1;
std::string g_KeyFile;
std::atomic<int> g_nSeen {0};
std::atomic<bool> g_bParked {false};
std::string g_FtokFile;
key_t g_tFtokKey = -1;
std::atomic<ino_t> g_nFtokInode {0};

template <typename Fn>
Fn Real(const char* name)
{
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

// At the chosen point of the watched lock (semid), or of the look-up of its
// key. The key is derived anew each time: the lock may be removed and made
// again under a new key file.
void MaybePark(std::string_view point, int semid, key_t key = -1)
{
    static const auto realSemget = Real<int (*)(key_t, int, int)>("semget");
    const key_t watched = g_Point == point && !g_bParked ? ::ftok(g_KeyFile.c_str(), 81) : -1;
    if (watched == -1 || (semid == -1 ? key != watched : realSemget(watched, 0, 0) != semid) || ++g_nSeen != g_nNth ||
        g_bParked.exchange(true))
        return;
    const int saved = errno;
    char go;
    if (::write(1, "parked\n", 7) == 7) {
        while (::read(g_nGo, &go, 1) == -1 && errno == EINTR) {
        }
    }
    errno = saved;
}

// Parks around a take of the count (a negative operation), as chosen.
template <typename Op>
int Take(int semid, const sembuf* ops, size_t n, Op op)
{
    bool bTake = false;
    for (size_t i = 0; i < n; ++i)
        bTake = bTake || ops[i].sem_op < 0;
    if (bTake)
        MaybePark("acquire", semid);
    const int result = op();
    if (bTake && result == 0)
        MaybePark("acquired", semid);
    return result;
}

KYR_HANDLE OpenDevice(unsigned short nPid, unsigned short nMI, int nIndex = 0)
{
    return KyrOpenDevice(KYR_USB_VENDOR_ID, nPid, nMI, static_cast<unsigned short>(nIndex));
}

std::string Cycles(int nCycles, unsigned short nPid, unsigned short nMI, const std::string& file)
{
    const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    void* pMap = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (pMap == MAP_FAILED)
        return "cycles no marker file";
    std::atomic_ref<int> holder(*static_cast<int*>(pMap));
    const int self = static_cast<int>(getpid());
    int nOpened = 0, nBusy = 0, nOther = 0, nOverlaps = 0;
    std::string firstOther = "-";
    for (int i = 0; i < nCycles; ++i) {
        KYR_HANDLE h = OpenDevice(nPid, nMI);
        const int nError = KyrGetLastError();
        if (h == nullptr && nError == KYR_ERROR_DEVICE_BUSY) {
            ++nBusy;
        } else if (h == nullptr) {
            firstOther = nOther++ == 0 ? KyrGetErrorName(nError) : firstOther;
        } else {
            int expected = 0;
            nOverlaps += holder.compare_exchange_strong(expected, self) ? 0 : 1;
            // Held across a reschedule, so that the others try while it is held.
            sched_yield();
            expected = self;
            nOverlaps += holder.compare_exchange_strong(expected, 0) ? 0 : 1;
            KyrCloseDevice(h);
            ++nOpened;
        }
    }
    munmap(pMap, sizeof(int));
    return "cycles " + std::to_string(nOpened) + ' ' + std::to_string(nBusy) + ' ' + std::to_string(nOther) + ' ' +
           std::to_string(nOverlaps) + ' ' + firstOther;
}

} // namespace

extern "C" int semop(int semid, sembuf* sops, size_t nsops)
{
    static const auto real = Real<int (*)(int, sembuf*, size_t)>("semop");
    return Take(semid, sops, nsops, [&] { return real(semid, sops, nsops); });
}

extern "C" int semtimedop(int semid, sembuf* sops, size_t nsops, const timespec* timeout)
{
    static const auto real = Real<int (*)(int, sembuf*, size_t, const timespec*)>("semtimedop");
    return Take(semid, sops, nsops, [&] { return real(semid, sops, nsops, timeout); });
}

extern "C" int semctl(int semid, int semnum, int cmd, ...)
{
    static const auto real = Real<int (*)(int, int, int, ...)>("semctl");
    // The fourth argument is read whether or not the caller passed one, as the
    // C library itself does; it is only handed on.
    va_list ap;
    va_start(ap, cmd);
    const SemArg arg = va_arg(ap, SemArg);
    va_end(ap);
    if (cmd == SETVAL)
        MaybePark("setval", semid);
    return real(semid, semnum, cmd, arg);
}

extern "C" int semget(key_t key, int nsems, int semflg)
{
    static const auto real = Real<int (*)(key_t, int, int)>("semget");
    MaybePark("semget", -1, key);
    return real(key, nsems, semflg);
}

extern "C" key_t ftok(const char* pszPath, int nId)
{
    static const auto real = Real<key_t (*)(const char*, int)>("ftok");
    struct stat st;
    if (g_FtokFile.empty() || g_FtokFile != pszPath || ::stat(pszPath, &st) != 0)
        return real(pszPath, nId);
    ino_t nFirst = 0;
    g_nFtokInode.compare_exchange_strong(nFirst, st.st_ino);
    return g_nFtokInode == st.st_ino ? g_tFtokKey : real(pszPath, nId);
}

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        putenv(argv[i]);
    const char* dir = std::getenv("TMPDIR");
    std::string tmp = dir != nullptr && *dir != '\0' ? dir : "/tmp";
    if (tmp.back() != '/')
        tmp += '/';
    const char* at = std::getenv("KYR_TEST_PARK_AT");
    if (const char* colon = at != nullptr ? std::strchr(at, ':') : nullptr) {
        g_KeyFile = tmp + "qipc_systemsem_ZarnHandle@SYNC_OBJECT";
        g_nNth = std::atoi(colon + 1);
        g_nGo = std::atoi(std::getenv("KYR_TEST_PARK_FD"));
        g_Point = std::string_view(at, static_cast<size_t>(colon - at));
    }
    const char* ftokAs = std::getenv("KYR_TEST_FTOK");
    if (const char* colon = ftokAs != nullptr ? std::strrchr(ftokAs, ':') : nullptr) {
        g_FtokFile = tmp + std::string(ftokAs, static_cast<size_t>(colon - ftokAs));
        g_tFtokKey = static_cast<key_t>(std::strtoul(colon + 1, nullptr, 16));
    }
    KYR_HANDLE h = nullptr;
    std::string line;
    while (std::getline(std::cin, line)) {
        // The numbers of every request but send, in one go.
        std::istringstream in(line);
        std::string verb, file;
        unsigned short nPid = 0, nMI = 0; // or BITS and MS
        int n = 0;
        in >> verb >> std::hex >> nPid >> std::dec >> nMI >> n >> file;
        std::ostringstream out;
        out << verb << ' ';
        if (verb == "open") {
            h = OpenDevice(nPid, nMI, n);
            out << KyrGetErrorName(KyrGetLastError());
            KYR_EVENT_NOTIFY table {};
            table.fnOnDownloadingFirmware = [](KYR_HANDLE, int bDownload, void*) {
                std::lock_guard lock(g_Mutex);
                g_szEvents += bDownload == 1 ? '1' : '0';
            };
            if (h != nullptr)
                KyrSetEventNotify(h, &table);
        } else if (verb == "mode") {
            out << KyrSetInstantMode(h, nPid, nMI, ~0UL) << ' ' << KyrGetErrorName(KyrGetLastError());
        } else if (verb == "send") {
            out << KyrSendCommand(h, line.c_str() + 5, 1, 0) << ' ' << KyrGetErrorName(KyrGetLastError());
        } else if (verb == "lock" || verb == "unlock") {
            (verb == "lock" ? KyrLockFirmwareDownload : KyrUnlockFirmwareDownload)(h);
            out.str(verb + "ed");
        } else if (verb == "events") {
            std::lock_guard lock(g_Mutex);
            out << g_szEvents;
        } else if (verb == "close") {
            KyrCloseDevice(h);
            h = nullptr;
            out.str("closed");
        } else if (verb == "cycles") {
            out.str(Cycles(n, nPid, nMI, file));
        } else if (verb == "churn") {
            std::cout << "churning" << std::endl;
            for (int i = 0; i < n; ++i)
                KyrCloseDevice(OpenDevice(nPid, nMI));
            out.str("churned");
        }
        std::cout << out.str() << std::endl;
    }
    return 0;
}
