// A second application for the cross-process tests, driven over its standard
// input and output one line at a time:
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
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"

namespace {

std::mutex g_Mutex;
std::string g_szEvents;

void OnDownload(KYR_HANDLE, int bDownload, void*)
{
    std::lock_guard lock(g_Mutex);
    g_szEvents += bDownload == 1 ? '1' : '0';
}

std::string Cycles(int nCycles, unsigned short nPid, unsigned short nMI, const std::string& file)
{
    const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    void* pMap = fd == -1 ? MAP_FAILED : mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (fd != -1)
        close(fd);
    if (pMap == MAP_FAILED)
        return "cycles no marker file";
    std::atomic_ref<int> holder(*static_cast<int*>(pMap));
    const int self = static_cast<int>(getpid());
    int nOpened = 0, nBusy = 0, nOther = 0, nOverlaps = 0;
    std::string firstOther = "-";
    for (int i = 0; i < nCycles; ++i) {
        KYR_HANDLE h = KyrOpenDevice(KYR_USB_VENDOR_ID, nPid, nMI, 0);
        if (h == nullptr) {
            const int nError = KyrGetLastError();
            if (nError == KYR_ERROR_DEVICE_BUSY) {
                ++nBusy;
            } else if (nOther++ == 0) {
                firstOther = KyrGetErrorName(nError);
            }
            continue;
        }
        ++nOpened;
        int expected = 0;
        if (!holder.compare_exchange_strong(expected, self))
            ++nOverlaps;
        // Held across a reschedule, so that the others try while it is held.
        sched_yield();
        expected = self;
        if (!holder.compare_exchange_strong(expected, 0))
            ++nOverlaps;
        KyrCloseDevice(h);
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
        std::string verb;
        in >> verb;
        std::ostringstream out;
        if (verb == "open") {
            int nPid = 0, nMI = 0, nIndex = 0;
            in >> std::hex >> nPid >> std::dec >> nMI >> nIndex;
            h = KyrOpenDevice(KYR_USB_VENDOR_ID, static_cast<unsigned short>(nPid), static_cast<unsigned short>(nMI),
                              static_cast<unsigned short>(nIndex));
            out << "open " << KyrGetErrorName(KyrGetLastError());
            if (h != nullptr) {
                KYR_EVENT_NOTIFY table{};
                table.fnOnDownloadingFirmware = &OnDownload;
                KyrSetEventNotify(h, &table);
            }
        } else if (verb == "mode") {
            int nBits = 0, nMs = 0;
            in >> nBits >> nMs;
            const int nResult = KyrSetInstantMode(h, nBits, static_cast<unsigned short>(nMs), ~0UL);
            out << "mode " << nResult << ' ' << KyrGetErrorName(KyrGetLastError());
        } else if (verb == "send") {
            std::string text;
            std::getline(in >> std::ws, text);
            const int nResult = KyrSendCommand(h, text.c_str(), 1, 0);
            out << "send " << nResult << ' ' << KyrGetErrorName(KyrGetLastError());
        } else if (verb == "lock") {
            KyrLockFirmwareDownload(h);
            out << "locked";
        } else if (verb == "unlock") {
            KyrUnlockFirmwareDownload(h);
            out << "unlocked";
        } else if (verb == "events") {
            std::lock_guard lock(g_Mutex);
            out << "events " << g_szEvents;
        } else if (verb == "close") {
            KyrCloseDevice(h);
            h = nullptr;
            out << "closed";
        } else if (verb == "cycles") {
            int nCycles = 0, nPid = 0, nMI = 0;
            std::string file;
            in >> nCycles >> std::hex >> nPid >> std::dec >> nMI >> file;
            out << Cycles(nCycles, static_cast<unsigned short>(nPid), static_cast<unsigned short>(nMI), file);
        } else if (verb == "churn") {
            int nCycles = 0, nPid = 0, nMI = 0;
            in >> nCycles >> std::hex >> nPid >> std::dec >> nMI;
            std::cout << "churning" << std::endl;
            for (int i = 0; i < nCycles; ++i)
                KyrCloseDevice(KyrOpenDevice(KYR_USB_VENDOR_ID, static_cast<unsigned short>(nPid),
                                             static_cast<unsigned short>(nMI), 0));
            out << "churned";
        } else {
            out << "unknown " << verb;
        }
        std::cout << out.str() << std::endl;
    }
    return 0;
}
