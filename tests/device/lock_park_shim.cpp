// LD_PRELOAD shim for the cross-process race tests: parks the process at one
// chosen operation on one System V semaphore until the test lets it go (or
// kills it there), so that another process runs at exactly that point.
//
//   KYR_TEST_PARK_KEYFILE  key file of the watched semaphore
//   KYR_TEST_PARK_AT       "acquire:N"  before the Nth wait to take it
//                          "acquired:N" right after the Nth take
//                          "setval:N"   before the Nth value set (semctl SETVAL)
//                          "semget:N"   before the Nth look-up of its key
//                                       (the key derived, the semaphore not yet found)
//   KYR_TEST_PARK_FD       a stream socket: the shim writes "parked\n" on it,
//                          then waits for one byte (or the socket's end)
//
// Only the first matching point parks; every other call passes straight on.
#include <dlfcn.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

union SemArg {
    int val;
    semid_ds* buf;
    unsigned short* array;
};

struct Config {
    std::string point; // "acquire", "acquired", "setval" or "semget"; empty: never park
    int nth = 0;
    const char* keyFile = nullptr;
    int fd = -1;
};

const Config& Cfg()
{
    static const Config config = [] {
        Config c;
        const char* at = std::getenv("KYR_TEST_PARK_AT");
        const char* file = std::getenv("KYR_TEST_PARK_KEYFILE");
        const char* fd = std::getenv("KYR_TEST_PARK_FD");
        const char* colon = at != nullptr ? std::strchr(at, ':') : nullptr;
        if (colon != nullptr && file != nullptr && fd != nullptr)
            c = {std::string(at, colon), std::atoi(colon + 1), file, std::atoi(fd)};
        return c;
    }();
    return config;
}

template <typename Fn>
Fn Real(const char* name)
{
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

using SemctlFn = int (*)(int, int, int, ...);

std::atomic<int> g_nSeen {0};
std::atomic<bool> g_bParked {false};

// The key is derived anew each time: the watched lock may be removed and
// made again under a new key file.
bool Watched(int semid, key_t key)
{
    if (key != -1)
        return key == ::ftok(Cfg().keyFile, 81);
    key = ::ftok(Cfg().keyFile, 81);
    static const SemctlFn realSemctl = Real<SemctlFn>("semctl");
    semid_ds status {};
    SemArg arg;
    arg.buf = &status;
    return key != -1 && realSemctl(semid, 0, IPC_STAT, arg) == 0 && status.sem_perm.__key == key;
}

void MaybePark(const char* point, int semid, key_t key = -1)
{
    const Config& c = Cfg();
    if (c.point != point || g_bParked.load() || !Watched(semid, key) || ++g_nSeen != c.nth ||
        g_bParked.exchange(true))
        return;
    const int saved = errno;
    static const char kLine[] = "parked\n";
    if (::write(c.fd, kLine, sizeof kLine - 1) == static_cast<ssize_t>(sizeof kLine - 1)) {
        char go;
        while (::read(c.fd, &go, 1) == -1 && errno == EINTR) {
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
    static const SemctlFn real = Real<SemctlFn>("semctl");
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
