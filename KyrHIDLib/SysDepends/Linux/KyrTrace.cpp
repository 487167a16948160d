#include "KyrTrace.h"

#include <cstdarg>
#include <cstdio>

namespace kyr_hid_library {

void CKyrTrace::operator()(const char* lpszFormat, ...)
{
    if (lpszFormat == nullptr)
        return;
    char szBuffer[1024];
    va_list args;
    va_start(args, lpszFormat);
    vsnprintf(szBuffer, sizeof(szBuffer), lpszFormat, args);
    va_end(args);
    fputs(szBuffer, stdout);
}

} // namespace kyr_hid_library
