// A second process for the System V tests. It opens one shared block and runs
// the commands of its command line in order, talking to the test over stdin and
// stdout:
//
//   sysv_peer <sync name> <memory name> <size> <command>...
//
//   create      Create the block; prints "init 1" or "init 0"
//   lock        take the lock          unlock   release it
//   inc N       N times, under the lock, a deliberately non-atomic increment of
//               the 32-bit counter at offset 0 (read, yield, write)
//   put V       store V in the 32-bit word at offset 4, under the lock
//   get         print "value V" for the word at offset 4, under the lock
//   say WORD    print WORD             wait     read one line from stdin
//   destroy     Destroy the block
//
// Exit status 0 when every command succeeded, else the 1-based index of the
// failing command plus 10.
#include <sched.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KyrSharedMemory.h"

using kyr_hid_library::CKyrSharedMemory;

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    CKyrSharedMemory shm;
    const size_t nSize = std::strtoul(argv[3], nullptr, 10);
    auto word = [&](int n) { return static_cast<volatile std::uint32_t*>(shm.GetMemory()) + n; };

    for (int i = 4; i < argc; ++i) {
        const std::string cmd = argv[i];
        bool bOk = true;
        if (cmd == "create") {
            bool bInit = false;
            bOk = shm.Create(argv[1], argv[2], nSize, bInit);
            std::printf("init %d\n", bInit ? 1 : 0);
        } else if (cmd == "lock") {
            bOk = shm.Lock();
        } else if (cmd == "unlock") {
            bOk = shm.Unlock();
        } else if (cmd == "inc" && i + 1 < argc) {
            const long n = std::strtol(argv[++i], nullptr, 10);
            for (long k = 0; k < n && bOk; ++k) {
                CKyrSharedMemory::Locker locker(shm);
                if (!(bOk = locker.IsLocked()))
                    break;
                const std::uint32_t v = *word(0);
                sched_yield();
                *word(0) = v + 1;
            }
        } else if (cmd == "put" && i + 1 < argc) {
            CKyrSharedMemory::Locker locker(shm);
            const std::uint32_t v = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
            if ((bOk = locker.IsLocked()))
                *word(1) = v;
        } else if (cmd == "get") {
            CKyrSharedMemory::Locker locker(shm);
            if ((bOk = locker.IsLocked()))
                std::printf("value %u\n", static_cast<unsigned>(*word(1)));
        } else if (cmd == "say" && i + 1 < argc) {
            std::printf("%s\n", argv[++i]);
        } else if (cmd == "wait") {
            char line[64];
            if (!std::fgets(line, sizeof line, stdin))
                line[0] = '\0';
        } else if (cmd == "destroy") {
            shm.Destroy();
        } else {
            bOk = false;
        }
        std::fflush(stdout);
        if (!bOk)
            return 10 + i - 3;
    }
    return 0;
}
