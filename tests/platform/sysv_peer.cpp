// A second process for the System V tests. It opens one shared block and runs
// the commands of its command line in order, talking to the test over stdin and
// stdout:
//
//   sysv_peer <sync name> <memory name> <size> <command>...
//
//   create      Create the block; prints "init 1" or "init 0"
//   lock        take the lock          unlock   release it
//   put V       store V in the 32-bit word at offset 4, under the lock
//   get         print "value V" for the word at offset 4, under the lock
//   say WORD    print WORD             wait     read one line from stdin
//   destroy     Destroy the block
//
// Exit status 0 when every command succeeded, else the 1-based index of the
// failing command plus 10.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KyrSharedMemory.h"

using kyr_hid_library::CKyrSharedMemory;

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    CKyrSharedMemory shm;
    auto word = [&] { return static_cast<volatile std::uint32_t*>(shm.GetMemory()) + 1; };
    for (int i = 4; i < argc; ++i) {
        const std::string cmd = argv[i];
        const bool bArgument = (cmd == "put" || cmd == "say") && i + 1 < argc;
        const char* pszArgument = bArgument ? argv[++i] : "";
        bool bOk = true;
        if (cmd == "create") {
            bool bInit = false;
            bOk = shm.Create(argv[1], argv[2], std::strtoul(argv[3], nullptr, 10), bInit);
            std::printf("init %d\n", bInit ? 1 : 0);
        } else if (cmd == "lock" || cmd == "unlock") {
            bOk = cmd == "lock" ? shm.Lock() : shm.Unlock();
        } else if (cmd == "put" || cmd == "get") {
            CKyrSharedMemory::Locker locker(shm);
            bOk = locker.IsLocked() && (cmd == "get" || bArgument);
            if (bOk && cmd == "put")
                *word() = static_cast<std::uint32_t>(std::strtoul(pszArgument, nullptr, 10));
            else if (bOk)
                std::printf("value %u\n", static_cast<unsigned>(*word()));
        } else if (cmd == "say" && bArgument) {
            std::printf("%s\n", pszArgument);
        } else if (cmd == "wait") {
            char line[64]; // end of input counts as a line too
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
