// A second application for the cross-process tests, driven over its standard
// input and output one line at a time:
//   open PID MI      -> "open <error name>"
//   mode BITS MS     -> "mode <result> <error name>"   (KyrSetInstantMode)
//   send TEXT        -> "send <result> <error name>"   (asynchronous command)
//   lock | unlock    -> "locked" | "unlocked"          (firmware-download mark)
//   events           -> "events <flags>"               (fnOnDownloadingFirmware so far, e.g. "10")
//   close            -> "closed"
// It exits at the end of its input, leaving whatever it holds to the system.
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
            int nPid = 0, nMI = 0;
            in >> std::hex >> nPid >> std::dec >> nMI;
            h = KyrOpenDevice(KYR_USB_VENDOR_ID, static_cast<unsigned short>(nPid), static_cast<unsigned short>(nMI), 0);
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
        } else {
            out << "unknown " << verb;
        }
        std::cout << out.str() << std::endl;
    }
    return 0;
}
