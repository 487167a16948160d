// Preloaded into a bridge: each device count the selection asks of the library
// writes one byte to the descriptor in KYR_SELECT_HOOK_FD, so that a test
// knows the bridge has started looking for its device before it plugs in the
// next one (two arrivals that came before a look would make one look).
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

#include "KyrHIDLib.h"

extern "C" KYR_API int KyrGetDeviceCount(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI)
{
    static const auto real = reinterpret_cast<decltype(&KyrGetDeviceCount)>(dlsym(RTLD_NEXT, "KyrGetDeviceCount"));
    static const int nFd = std::getenv("KYR_SELECT_HOOK_FD") ? std::atoi(std::getenv("KYR_SELECT_HOOK_FD")) : -1;
    const int nCount = real(nVendorID, nProductID, nMI);
    if (nFd >= 0 && write(nFd, "c", 1) != 1)
        std::abort();   // the test would wait for a look it was never told of
    return nCount;
}
