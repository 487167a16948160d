// Every text the library parses from the application, through a handle that
// is not open: KyrSendCommand's checks (null handle, the length limit) and
// the "instant_mode=" parser (letters, expire time, gesture value). Without a
// device no command goes out, so each text must end in one of two refusals:
// KYR_ERROR_INVALID_PARAMETER for a text no device may see, else
// KYR_ERROR_NO_DEVICE. Which one is predicted here from the text alone.
//
// Input: [flags][text 0][NUL][text 1][NUL]... — each text is sent in turn on
// one handle, from a buffer of exactly its length plus the terminator, so
// that the sanitizer sees any read beyond it. Flags bit 0: asynchronous.
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "Include/KyrHIDLib.h"
#include "KyrHandle.h"
#include "KyrLastError.h"
#include "MmPkt.h"
#include "fuzz_check.h"
#include "fuzz_private_tmpdir.h"

using namespace kyr_hid_library;

namespace {

constexpr std::string_view kPrefix = "instant_mode=";
// Longest time text allowed when a gesture value follows it.
constexpr std::size_t kMaxTimeText = 16;

int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

// Whether an expire time reads as an int from 0 to INT_MAX the way a C
// integer literal with optional blanks, sign and 0x / 0 prefix reads (digits
// up to the first that does not belong; no digits at all read as 0).
bool TimeAccepted(std::string_view s, long long& llValue)
{
    std::size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
        ++i;
    bool bNegative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        bNegative = s[i++] == '-';
    int nBase = 10;
    if (i + 2 < s.size() + 1 && i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
        i + 2 < s.size() && DigitValue(s[i + 2]) < 16) {
        nBase = 16;
        i += 2;
    } else if (i < s.size() && s[i] == '0') {
        nBase = 8;
    }
    // Saturates above INT_MAX: only whether it is beyond matters.
    long long llMag = 0;
    for (; i < s.size() && DigitValue(s[i]) < nBase; ++i) {
        llMag = llMag * nBase + DigitValue(s[i]);
        if (llMag > INT_MAX)
            llMag = static_cast<long long>(INT_MAX) + 1;
    }
    llValue = bNegative ? -llMag : llMag;
    return llMag <= INT_MAX && !(bNegative && llMag != 0);
}

// True when the text is refused as a parameter before any device is asked.
bool ExpectRefused(std::string_view text, bool& bInstant, long long& llTime)
{
    bInstant = false;
    if (text.size() > static_cast<std::size_t>(CMmPkt::MAX_COMMAND_TEXT))
        return true;
    if (text.substr(0, kPrefix.size()) != kPrefix || text.substr(kPrefix.size()) == "?")
        return false;
    bInstant = true;
    llTime = 5000;
    const std::string_view rest = text.substr(kPrefix.size());
    const std::size_t nComma = rest.find(',');
    if (nComma == std::string_view::npos)
        return false;
    const std::string_view tail = rest.substr(nComma + 1);
    const std::size_t nSecond = tail.find(',');
    if (nSecond == std::string_view::npos)
        return !TimeAccepted(tail, llTime);
    if (nSecond > kMaxTimeText)
        return true;
    return !TimeAccepted(tail.substr(0, nSecond), llTime);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    TmpDir();
    if (size == 0)
        return 0;
    const bool bAsync = (data[0] & 1) != 0;
    const int nFailure = bAsync ? -1 : 0;
    auto handle = std::make_unique<CKyrHandle>();
    FUZZ_CHECK(handle->TicksUntilDue() == CKyrInstantModeTimer::kNothingDue);
    bool bInstantSeen = false;
    long long llLastTime = 5000;

    const char* p = reinterpret_cast<const char*>(data + 1);
    const char* const pEnd = reinterpret_cast<const char*>(data + size);
    while (p < pEnd) {
        const char* pNul = static_cast<const char*>(std::memchr(p, 0, pEnd - p));
        const std::size_t nLen = (pNul ? pNul : pEnd) - p;
        auto text = std::make_unique<char[]>(nLen + 1);
        std::memcpy(text.get(), p, nLen);
        text[nLen] = '\0';
        p += nLen + 1;

        bool bInstant = false;
        long long llTime = 0;
        const bool bRefused = ExpectRefused(std::string_view(text.get(), nLen), bInstant, llTime);

        SetLastError(KYR_SUCCESS);
        FUZZ_CHECK(KyrSendCommand(nullptr, text.get(), bAsync ? 1 : 0, 100) == nFailure);
        FUZZ_CHECK(GetLastError() == KYR_ERROR_INVALID_PARAMETER);

        SetLastError(KYR_SUCCESS);
        const int nResult = handle->SendCommand(text.get(), bAsync, 100);
        FUZZ_CHECK(nResult == nFailure);
        FUZZ_CHECK(GetLastError() == (bRefused ? KYR_ERROR_INVALID_PARAMETER : KYR_ERROR_NO_DEVICE));
        FUZZ_CHECK(handle->GetResponse() == nullptr);
        if (bInstant && !bRefused) {
            bInstantSeen = true;
            llLastTime = llTime;
        }
        // A closed handle remembers the instant mode asked for last: its
        // timer would then be due at once with an expire time; without one,
        // nothing is due.
        const long nDue = handle->TicksUntilDue();
        FUZZ_CHECK(nDue == (bInstantSeen && llLastTime != 0 ? 1 : CKyrInstantModeTimer::kNothingDue));
    }
    return 0;
}
