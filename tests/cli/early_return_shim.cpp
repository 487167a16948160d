// Preloaded into kyrhid: after a subcommand's data modes are taken and packets
// flow, KyrSetInstantMode reports a send failure, so the subcommand takes its
// early way out; KyrCloseDevice then holds the close until one more packet
// callback or report tap call has run. Whatever the subcommand handed the
// library as callback context is reached by that callback: under
// AddressSanitizer a context that went out of scope before the close is reported.
#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "KyrHIDLib.h"

#define REAL(name) static const auto real = reinterpret_cast<decltype(&name)>(dlsym(RTLD_NEXT, #name))

namespace {

std::mutex g_Mutex;
std::condition_variable g_Cv;
long g_nPackets = 0; // guarded by g_Mutex
FnOnKyrPacketHandler g_fnPacket = nullptr;
FnKyrReportTap g_fnTap = nullptr;

void Count()
{
    std::lock_guard lock(g_Mutex);
    ++g_nPackets;
    g_Cv.notify_all();
}

// True once a packet has been delivered within 10 s: any at all, or one after this call.
bool PacketCame(bool bAny, const char* pszWhen)
{
    std::unique_lock lock(g_Mutex);
    const long nSeen = bAny ? 0 : g_nPackets;
    if (g_Cv.wait_for(lock, std::chrono::seconds(10), [&] { return g_nPackets > nSeen; }))
        return true;
    std::fprintf(stderr, "shim: no packet came %s\n", pszWhen);
    return false;
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

} // namespace

extern "C" void KyrSetEventNotify(KYR_HANDLE hDevice, PKYR_EVENT_NOTIFY pNotify)
{
    REAL(KyrSetEventNotify);
    if (pNotify == nullptr || pNotify->fnOnPacket == nullptr)
        return real(hDevice, pNotify);
    KYR_EVENT_NOTIFY table = *pNotify;
    g_fnPacket = table.fnOnPacket;
    table.fnOnPacket = &Counting;
    real(hDevice, &table);
}

extern "C" void KyrSetReportTap(KYR_HANDLE hDevice, FnKyrReportTap fn, void* pContext)
{
    REAL(KyrSetReportTap);
    g_fnTap = fn;
    real(hDevice, fn != nullptr ? &CountingTap : nullptr, pContext);
}

extern "C" int KyrSetInstantMode(KYR_HANDLE hDevice, int nMode, unsigned short nExpireTime, unsigned long dwFgst)
{
    REAL(KyrSetInstantMode);
    const int nResult = real(hDevice, nMode, nExpireTime, dwFgst);
    PacketCame(true, "after the data modes");
    g_nLastError = KYR_ERROR_SEND_FAIL;
    return nResult;
}

extern "C" void KyrCloseDevice(KYR_HANDLE hDevice)
{
    REAL(KyrCloseDevice);
    if (hDevice != nullptr)
        PacketCame(false, "while the close was held");
    real(hDevice);
}
