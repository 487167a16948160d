// The addressed units of a device and their firmware queries, shared by
// `info` and `fw`.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "KyrHIDLib.h"

namespace kyrhid {

struct Unit {
    const char* pszName;
    unsigned short wAddr;
};
// IAP, MM, CM1, CM2.
const Unit* KnownUnits(size_t& nCount);
// "MM", "cm1", "0x3000", "4096"; nullopt for anything else.
std::optional<unsigned short> ParseUnit(const std::string& szUnit);
std::string UnitName(unsigned short wAddr);
const char* FirmwareModeName(int nMode);

// Keeps the latest version packet a handle delivers. Install() replaces the
// handle's callback table; the object must outlive the handle's open time.
class VersionCatcher {
public:
    void Install(KYR_HANDLE hDevice);
    void Reset();
    // "2.7 nv1 model 0x0031 Mar 14 2024 10:20:30", or nullopt when none came.
    std::optional<std::string> Version();

private:
    static void OnPacket(KYR_HANDLE, kyrpacket* pPacket, int bSync, void* pContext);
    std::mutex m_csVersion;
    std::optional<std::string> m_szVersion; // guarded by m_csVersion
};

struct UnitAnswer {
    int nError = KYR_SUCCESS; // of the query; KYR_SUCCESS when it answered
    int nMode = 0;
    std::optional<std::string> szVersion;
};
UnitAnswer QueryUnit(KYR_HANDLE hDevice, VersionCatcher& catcher, unsigned short wAddr, unsigned short nTimeout);

} // namespace kyrhid
