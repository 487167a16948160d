// KyrSetLogCallback and the log points behind it.
#include "KyrLog.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <mutex>

#include "KyrLastError.h"

namespace kyr_hid_library {

std::atomic<int> g_nLogLevel{KYR_LOG_NONE};

namespace {

// The callback and its context. Every call of the callback and every change
// of it happens under s_csLog, so that once KyrSetLogCallback has returned
// the old callback runs no more (its context may be freed); a callback that
// changes the callback from inside already holds the lock (tl_bInCallback).
std::mutex s_csLog;
FnOnKyrLogHandler s_fnLog = nullptr; // guarded by s_csLog
void* s_pLogContext = nullptr;       // guarded by s_csLog
thread_local bool tl_bInCallback = false;

// Running counts per eDrop, since the callback was set.
std::atomic<unsigned long> s_nDrops[4];
const char* const s_szDropNames[] = {"bad CRC", "oversize", "truncated", "unknown type"};
static_assert(std::size(s_szDropNames) == std::size(s_nDrops));

void Deliver(int nLevel, const char* pszMessage)
{
    if (tl_bInCallback)
        return; // a message from inside the callback would wait for the lock this thread holds
    std::lock_guard lock(s_csLog);
    if (s_fnLog == nullptr || !LogEnabled(nLevel))
        return;
    tl_bInCallback = true;
    CApplicationScope application;
    s_fnLog(nLevel, pszMessage, s_pLogContext);
    tl_bInCallback = false;
}

void SetCallback(int nLevel, FnOnKyrLogHandler fnLog, void* pContext)
{
    const bool bOn = fnLog != nullptr && nLevel > KYR_LOG_NONE;
    s_fnLog = bOn ? fnLog : nullptr;
    s_pLogContext = bOn ? pContext : nullptr;
    for (auto& nCount : s_nDrops)
        nCount.store(0, std::memory_order_relaxed);
    g_nLogLevel.store(bOn ? nLevel : KYR_LOG_NONE, std::memory_order_relaxed);
}

} // namespace

void LogWrite(int nLevel, const char* pszFormat, ...)
{
    char szMessage[512];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szMessage, sizeof szMessage, pszFormat, args);
    va_end(args);
    Deliver(nLevel, szMessage);
}

void LogDrop(eDrop eReason, const char* pszFormat, ...)
{
    const auto nReason = static_cast<size_t>(eReason);
    s_nDrops[nReason].fetch_add(1, std::memory_order_relaxed);
    char szWhat[256];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szWhat, sizeof szWhat, pszFormat, args);
    va_end(args);
    char szMessage[512];
    snprintf(szMessage, sizeof szMessage, "dropped %s: %s (so far: bad CRC %lu, oversize %lu, truncated %lu, unknown type %lu)",
             szWhat, s_szDropNames[nReason], s_nDrops[0].load(std::memory_order_relaxed),
             s_nDrops[1].load(std::memory_order_relaxed), s_nDrops[2].load(std::memory_order_relaxed),
             s_nDrops[3].load(std::memory_order_relaxed));
    Deliver(KYR_LOG_WARNING, szMessage);
}

} // namespace kyr_hid_library

using namespace kyr_hid_library;

void KyrSetLogCallback(int nLevel, FnOnKyrLogHandler fnLog, void* pContext)
{
    if (tl_bInCallback) {
        SetCallback(nLevel, fnLog, pContext); // s_csLog is held by this thread's Deliver
        return;
    }
    std::lock_guard lock(s_csLog);
    SetCallback(nLevel, fnLog, pContext);
}
