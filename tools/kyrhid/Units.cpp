#include "Units.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <strings.h>

#include "PacketText.h"

namespace kyrhid {

namespace {
constexpr Unit s_Units[] = {{"IAP", 0x0000}, {"MM", 0x1000}, {"CM1", 0x2000}, {"CM2", 0x4000}};
} // namespace

const Unit* KnownUnits(size_t& nCount)
{
    nCount = std::size(s_Units);
    return s_Units;
}

std::optional<unsigned short> ParseUnit(const std::string& szUnit)
{
    for (const Unit& unit : s_Units) {
        if (strcasecmp(unit.pszName, szUnit.c_str()) == 0)
            return unit.wAddr;
    }
    char* pEnd = nullptr;
    const unsigned long nAddr = std::strtoul(szUnit.c_str(), &pEnd, 0);
    if (szUnit.empty() || *pEnd != '\0' || nAddr > 0xFFFF)
        return std::nullopt;
    return static_cast<unsigned short>(nAddr);
}

std::string UnitName(unsigned short wAddr)
{
    for (const Unit& unit : s_Units) {
        if (unit.wAddr == wAddr)
            return unit.pszName;
    }
    char sz[16];
    std::snprintf(sz, sizeof sz, "0x%04x", wAddr);
    return sz;
}

const char* FirmwareModeName(int nMode)
{
    static const char* const names[] = {"unknown",        "CM IAP",     "CM application", "MM IAP",
                                        "MM application", "MM upgrade", "CM upgrade"};
    return nMode >= 0 && nMode < static_cast<int>(std::size(names)) ? names[nMode] : "other";
}

void VersionCatcher::Install(KYR_HANDLE hDevice)
{
    KYR_EVENT_NOTIFY table{};
    table.Context = this;
    table.fnOnPacket = &VersionCatcher::OnPacket;
    KyrSetEventNotify(hDevice, &table);
}

void VersionCatcher::Reset()
{
    std::lock_guard lock(m_csVersion);
    m_szVersion.reset();
}

std::optional<std::string> VersionCatcher::Version()
{
    std::lock_guard lock(m_csVersion);
    return m_szVersion;
}

void VersionCatcher::OnPacket(KYR_HANDLE, kyrpacket* pPacket, int, void* pContext)
{
    if (pPacket->type != kyrtype_ver)
        return;
    const auto& v = pPacket->body.ver;
    char sz[64];
    std::snprintf(sz, sizeof sz, "%u.%u nv%u model 0x%04x ", v.major, v.minor, v.nv, v.model);
    auto* pSelf = static_cast<VersionCatcher*>(pContext);
    std::lock_guard lock(pSelf->m_csVersion);
    pSelf->m_szVersion = sz + FieldText(reinterpret_cast<const char*>(v.date), sizeof v.date) + " " +
                         FieldText(reinterpret_cast<const char*>(v.time), sizeof v.time);
}

UnitAnswer QueryUnit(KYR_HANDLE hDevice, VersionCatcher& catcher, unsigned short wAddr, unsigned short nTimeout)
{
    UnitAnswer answer;
    catcher.Reset();
    if (KyrQueryFirmwareVersion(hDevice, wAddr, &answer.nMode, 0, nTimeout) != 1) {
        // A failed synchronous raw send may leave KYR_SUCCESS: nothing came in time.
        answer.nError = KyrGetLastError() == KYR_SUCCESS ? KYR_ERROR_TIMEOUT : KyrGetLastError();
        if (answer.nMode == 0)
            return answer;
    }
    // The version packet is delivered before the wait for it ends.
    answer.szVersion = catcher.Version();
    return answer;
}

} // namespace kyrhid
