// The library's opt-in diagnostics (KyrSetLogCallback). Off by default:
// until an application asks, a log point costs one relaxed atomic load and
// formats nothing.
#pragma once

#include <atomic>

#include "Include/KyrHIDLib.h"

namespace kyr_hid_library {

// The most detailed level asked for; KYR_LOG_NONE while nobody listens.
extern std::atomic<int> g_nLogLevel;

inline bool LogEnabled(int nLevel) noexcept
{
    return nLevel <= g_nLogLevel.load(std::memory_order_relaxed);
}

// Formats and hands the message to the application's callback, on the
// calling thread. Call only behind LogEnabled (KYR_LOG does).
void LogWrite(int nLevel, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

// Why received bytes were thrown away.
enum class eDrop { BadCrc, Oversize, Truncated, UnknownType };

// Counts the drop (running counts per reason, kept while a callback is set)
// and reports it at KYR_LOG_WARNING with the counts so far.
void LogDrop(eDrop eReason, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

} // namespace kyr_hid_library

#define KYR_LOG(level, ...)                                                                                           \
    do {                                                                                                              \
        if (::kyr_hid_library::LogEnabled(level))                                                                     \
            ::kyr_hid_library::LogWrite(level, __VA_ARGS__);                                                          \
    } while (0)

#define KYR_LOG_DROP(reason, ...)                                                                                     \
    do {                                                                                                              \
        if (::kyr_hid_library::LogEnabled(KYR_LOG_WARNING))                                                           \
            ::kyr_hid_library::LogDrop(::kyr_hid_library::eDrop::reason, __VA_ARGS__);                                \
    } while (0)

// A libusb call that failed, with libusb's name for the code; for sources
// that include libusb.h (the codec, fuzzed alone, does not link libusb).
#define KYR_LOG_USB(call, result)                                                                                     \
    do {                                                                                                              \
        if (::kyr_hid_library::LogEnabled(KYR_LOG_ERROR)) {                                                           \
            const int nLogResult_ = (result);                                                                         \
            ::kyr_hid_library::LogWrite(KYR_LOG_ERROR, "%s failed: %s (%d)", call, libusb_error_name(nLogResult_),    \
                                        nLogResult_);                                                                 \
        }                                                                                                             \
    } while (0)
