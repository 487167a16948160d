#include "KyrFirmware.h"

#include "KyrOptions.h"

#include <cstdio>
#include <cstdlib>

namespace kyrsim::kyr {

namespace {

using encoder::TextKind;

bool StartsWith(std::string_view szText, std::string_view szPrefix)
{
    return szText.substr(0, szPrefix.size()) == szPrefix;
}

std::string VersionText()
{
    const encoder::VersionInfo v = UnitVersion(encoder::kAddrMM);
    char szText[96];
    std::snprintf(szText, sizeof szText, "MM %u.%u nv%u model 0x%04x %s %s", v.major, v.minor, v.nv, v.model,
                  v.date.c_str(), v.time.c_str());
    return szText;
}

std::string LongText(size_t nLength)
{
    std::string szText;
    for (size_t i = 0; i < nLength; ++i)
        szText += static_cast<char>('0' + i % 10);
    return szText;
}

}  // namespace

std::vector<TextPacket> Pieces(std::string_view szText, size_t nChunk, TextKind final)
{
    std::vector<TextPacket> pieces;
    while (szText.size() > nChunk) {
        pieces.push_back({TextKind::ResponseContinued, std::string(szText.substr(0, nChunk))});
        szText.remove_prefix(nChunk);
    }
    pieces.push_back({final, std::string(szText)});
    return pieces;
}

std::vector<TextPacket> AnswerCommand(std::string_view szCommand, const DeviceView& view, size_t nChunk)
{
    if (szCommand == "version")
        return Pieces(VersionText(), nChunk);
    if (szCommand == "status") {
        char szGesture[24] = "none";
        if (view.gesture)
            std::snprintf(szGesture, sizeof szGesture, "0x%llx", static_cast<unsigned long long>(*view.gesture));
        return Pieces("ok letters=" + view.szLetters + " gesture=" + szGesture + " uptime=" +
                          std::to_string(view.qwUptimeMs) + "ms commands=" + std::to_string(view.qwCommands),
                      nChunk);
    }
    if (szCommand == "help")
        return Pieces("commands: version status echo TEXT long N rse TEXT notify TEXT help instant_mode=", nChunk);
    if (StartsWith(szCommand, "echo "))
        return Pieces(szCommand.substr(5), nChunk);
    if (StartsWith(szCommand, "rse "))
        return Pieces(szCommand.substr(4), nChunk, TextKind::ResponseRse);
    if (StartsWith(szCommand, "notify ")) {
        std::vector<TextPacket> packets{{TextKind::Status, std::string(szCommand.substr(7))}};
        packets.push_back({TextKind::Response, "ok"});
        return packets;
    }
    if (StartsWith(szCommand, "long ")) {
        const std::string szCount(szCommand.substr(5));
        char* pEnd = nullptr;
        const long lLength = std::strtol(szCount.c_str(), &pEnd, 10);
        if (!szCount.empty() && *pEnd == '\0' && lLength >= 0 && lLength <= 8192)
            return Pieces(LongText(static_cast<size_t>(lLength)), nChunk);
    }
    return Pieces("unknown command: " + std::string(szCommand), nChunk);
}

std::optional<InstantRequest> ParseInstantMode(std::string_view szCommand)
{
    constexpr std::string_view kPrefix = "instant_mode=";
    if (!StartsWith(szCommand, kPrefix) || szCommand == kInstantModeQuery)
        return std::nullopt;
    const std::string szRest(szCommand.substr(kPrefix.size()));
    InstantRequest request;
    const size_t nComma = szRest.find(',');
    request.szLetters = CanonicalLetters(szRest.substr(0, nComma));
    if (nComma == std::string::npos)
        return request;
    const size_t nSecond = szRest.find(',', nComma + 1);
    const std::string szTime = szRest.substr(nComma + 1, nSecond == std::string::npos ? std::string::npos
                                                                                      : nSecond - nComma - 1);
    request.lTimeMs = std::strtol(szTime.c_str(), nullptr, 0);
    if (nSecond != std::string::npos && nSecond + 1 < szRest.size())
        request.gesture = std::strtoull(szRest.c_str() + nSecond + 1, nullptr, 16);
    return request;
}

std::optional<Query> ParseQuery(std::span<const uint8_t> report)
{
    if (report.size() != 64 || report[1] != 0x01)
        return std::nullopt;
    const size_t nSize = report[2];
    if (nSize != 6 && nSize != 33)
        return std::nullopt;
    const std::span<const uint8_t> packet = report.subspan(3, nSize);
    if (encoder::Crc16(packet.first(nSize - 2)) != (packet[nSize - 2] | packet[nSize - 1] << 8))
        return std::nullopt;
    const uint16_t wId = static_cast<uint16_t>(packet[0] | packet[1] << 8);
    const uint16_t wAddr = wId & 0xF000;
    switch (wId & 0x0FFF) {
    case 0x104:
        return nSize == 6 ? std::optional<Query>(Query{QueryKind::Mode, wAddr}) : std::nullopt;
    case 0x105:
        return nSize == 6 ? std::optional<Query>(Query{QueryKind::IapVersion, wAddr}) : std::nullopt;
    case 0x000:
        return nSize == 33 ? std::optional<Query>(Query{QueryKind::AppVersion, wAddr}) : std::nullopt;
    default:
        return std::nullopt;
    }
}

encoder::VersionInfo UnitVersion(uint16_t wAddr)
{
    encoder::VersionInfo v;
    const bool bMain = wAddr == encoder::kAddrMM || wAddr == encoder::kAddrIap;
    v.nv = 1;
    v.major = bMain ? 2 : 1;
    v.minor = bMain ? 7 : 3;
    v.model = kIapModel;
    v.date = "Mar 14 2024";
    v.time = "10:20:30";
    return v;
}

}  // namespace kyrsim::kyr
