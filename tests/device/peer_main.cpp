// A second application for the cross-process tests, driven over its standard
// input and output one line at a time (PID in hex):
//   open PID MI [N]  -> "open <error name>"             (device index N, default 0)
//   mode BITS MS     -> "mode <result> <error name>"   (KyrSetInstantMode)
//   send TEXT        -> "send <result> <error name>"   (asynchronous command)
//   lock | unlock    -> "locked" | "unlocked"          (firmware-download mark)
//   events           -> "events <flags>"               (fnOnDownloadingFirmware so far, e.g. "10")
//   close            -> "closed"
//   cycles N PID MI FILE
//                    -> "cycles <opened> <busy> <other> <overlaps> <error name of the first other refusal>"
//                       N opens and closes of device 0; each holder claims the
//                       int at offset 0 of FILE (a file the test made, shared
//                       with the other peers) by its process id, and counts
//                       an overlap when somebody else's id was there
//   churn N PID MI   -> "churning", then N opens and closes of device 0 with
//                       no further output until "churned"; the test kills it
//                       somewhere on the way
// It exits at the end of its input, leaving whatever it holds to the system.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"

namespace {

std::mutex g_Mutex;
std::string g_szEvents;

KYR_HANDLE OpenDevice(int nPid, int nMI, int nIndex = 0)
{
    return KyrOpenDevice(KYR_USB_VENDOR_ID, static_cast<unsigned short>(nPid), static_cast<unsigned short>(nMI),
                         static_cast<unsigned short>(nIndex));
}

std::string Cycles(int nCycles, int nPid, int nMI, const std::string& file)
{
    const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    void* pMap = fd == -1 ? MAP_FAILED : mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
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
            ++nOpened;
            int expected = 0;
            nOverlaps += holder.compare_exchange_strong(expected, self) ? 0 : 1;
            // Held across a reschedule, so that the others try while it is held.
            sched_yield();
            expected = self;
            nOverlaps += holder.compare_exchange_strong(expected, 0) ? 0 : 1;
            KyrCloseDevice(h);
        }
    }
    munmap(pMap, sizeof(int));
    std::ostringstream out;
    out << "cycles " << nOpened << ' ' << nBusy << ' ' << nOther << ' ' << nOverlaps << ' ' << firstOther;
    return out.str();
}

} // namespace

int main()
{
    KYR_HANDLE h = nullptr;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string verb, text;
        int nPid = 0, nMI = 0, n = 0;
        in >> verb;
        std::ostringstream out;
        out << verb << ' ';
        if (verb == "open") {
            in >> std::hex >> nPid >> std::dec >> nMI >> n;
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
            in >> n >> nMI;
            out << KyrSetInstantMode(h, n, static_cast<unsigned short>(nMI), ~0UL) << ' '
                << KyrGetErrorName(KyrGetLastError());
        } else if (verb == "send") {
            std::getline(in >> std::ws, text);
            out << KyrSendCommand(h, text.c_str(), 1, 0) << ' ' << KyrGetErrorName(KyrGetLastError());
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
            in >> n >> std::hex >> nPid >> std::dec >> nMI >> text;
            out.str(Cycles(n, nPid, nMI, text));
        } else if (verb == "churn") {
            in >> n >> std::hex >> nPid >> std::dec >> nMI;
            std::cout << "churning" << std::endl;
            for (int i = 0; i < n; ++i)
                KyrCloseDevice(OpenDevice(nPid, nMI));
            out.str("churned");
        } else {
            out.str("unknown " + verb);
        }
        std::cout << out.str() << std::endl;
    }
    return 0;
}
