// Preloaded into kyrhid: after a subcommand's data modes are taken and packets
// flow, KyrSetInstantMode reports a send failure, so the subcommand takes its
// early way out; KyrCloseDevice then holds the close until one more packet
// callback or report tap call has run. Whatever the subcommand handed the library as callback
// context is reached by that callback: under AddressSanitizer a context that
// went out of scope before the close is reported.
#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "KyrHIDLib.h"

namespace {

std::mutex g_Mutex;
std::condition_variable g_Cv;
long g_nPackets = 0; // guarded by g_Mutex
FnOnKyrPacketHandler g_fnPacket = nullptr;
FnKyrReportTap g_fnTap = nullptr;

template <typename Fn>
Fn Real(const char* pszName)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, pszName));
}

void Count()
{
    std::lock_guard lock(g_Mutex);
    ++g_nPackets;
    g_Cv.notify_all();
}

void Counting(KYR_HANDLE h, kyrpacket* p, int bSync, void* pContext)
{
    g_fnPacket(h, p, bSync, pContext);
    Count();
}

void CountingTap(KYR_HANDLE h, int nDirection, unsigned char nEndpoint, unsigned long long qwNs,
                 const unsigned char* pReport, unsigned short nLength, void* pContext)
{
    g_fnTap(h, nDirection, nEndpoint, qwNs, pReport, nLength, pContext);
    if (nDirection == KYR_REPORT_IN)
        Count();
}

// True once more than nSeen packets have been delivered, within 10 s.
bool PacketAfter(long nSeen)
{
    std::unique_lock lock(g_Mutex);
    return g_Cv.wait_for(lock, std::chrono::seconds(10), [&] { return g_nPackets > nSeen; });
}

long Packets()
{
    std::lock_guard lock(g_Mutex);
    return g_nPackets;
}

} // namespace

extern "C" void KyrSetEventNotify(KYR_HANDLE hDevice, PKYR_EVENT_NOTIFY pNotify)
{
    static const auto real = Real<void (*)(KYR_HANDLE, PKYR_EVENT_NOTIFY)>("KyrSetEventNotify");
    if (pNotify == nullptr || pNotify->fnOnPacket == nullptr)
        return real(hDevice, pNotify);
    KYR_EVENT_NOTIFY table = *pNotify;
    g_fnPacket = table.fnOnPacket;
    table.fnOnPacket = &Counting;
    real(hDevice, &table);
}

extern "C" void KyrSetReportTap(KYR_HANDLE hDevice, FnKyrReportTap fn, void* pContext)
{
    static const auto real = Real<void (*)(KYR_HANDLE, FnKyrReportTap, void*)>("KyrSetReportTap");
    g_fnTap = fn;
    real(hDevice, fn != nullptr ? &CountingTap : nullptr, pContext);
}

extern "C" int KyrSetInstantMode(KYR_HANDLE hDevice, int nMode, unsigned short nExpireTime, unsigned long dwFgst)
{
    static const auto real = Real<int (*)(KYR_HANDLE, int, unsigned short, unsigned long)>("KyrSetInstantMode");
    const int nResult = real(hDevice, nMode, nExpireTime, dwFgst);
    if (!PacketAfter(0))
        std::fprintf(stderr, "shim: no packet came after the data modes\n");
    g_nLastError = KYR_ERROR_SEND_FAIL;
    return nResult;
}

extern "C" void KyrCloseDevice(KYR_HANDLE hDevice)
{
    static const auto real = Real<void (*)(KYR_HANDLE)>("KyrCloseDevice");
    if (hDevice != nullptr && !PacketAfter(Packets()))
        std::fprintf(stderr, "shim: no packet came while the close was held\n");
    real(hDevice);
}
