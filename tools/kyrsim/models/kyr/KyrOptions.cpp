#include "KyrOptions.h"

#include "../../Options.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

namespace kyrsim::kyr {

namespace {

std::vector<std::string> Split(const std::string& szText, char cSeparator)
{
    std::vector<std::string> parts;
    std::stringstream stream(szText);
    for (std::string szPart; std::getline(stream, szPart, cSeparator);)
        parts.push_back(szPart);
    if (!szText.empty() && szText.back() == cSeparator)
        parts.emplace_back();
    return parts;
}

long Number(const std::string& szText, const std::string& szKey, long lMin, long lMax)
{
    const long lValue = ParseNumber(szText, szKey);
    if (lValue < lMin || lValue > lMax)
        throw std::invalid_argument(szKey + ": " + szText + " is out of range " + std::to_string(lMin) + ".." +
                                    std::to_string(lMax));
    return lValue;
}

void ParseModes(const std::string& szValue, std::map<uint16_t, uint16_t>& modes)
{
    for (const std::string& szItem : Split(szValue, '+')) {
        const size_t nColon = szItem.find(':');
        const std::string szMode = nColon == std::string::npos ? szItem : szItem.substr(nColon + 1);
        std::vector<uint16_t> units;
        if (nColon == std::string::npos) {
            for (const auto& entry : modes)
                units.push_back(entry.first);
        } else {
            const std::optional<uint16_t> unit = ParseUnit(szItem.substr(0, nColon));
            if (!unit)
                throw std::invalid_argument("fwmode: no unit '" + szItem.substr(0, nColon) + "'");
            units.push_back(*unit);
        }
        for (uint16_t wUnit : units) {
            if (szMode == "none")
                modes.erase(wUnit);
            else
                modes[wUnit] = static_cast<uint16_t>(Number(szMode, "fwmode", 0, 0xFFFF));
        }
    }
}

void ParseRates(const std::string& szValue, std::map<char, unsigned>& rates)
{
    for (const std::string& szItem : Split(szValue, '+')) {
        const size_t nColon = szItem.find(':');
        const unsigned nHz = static_cast<unsigned>(
            Number(nColon == std::string::npos ? szItem : szItem.substr(nColon + 1), "rate", 1, 1000));
        if (nColon == std::string::npos) {
            for (auto& entry : rates)
                entry.second = nHz;
            continue;
        }
        const std::string szLetter = szItem.substr(0, nColon);
        if (szLetter.size() != 1 || kStreamLetters.find(static_cast<char>(std::toupper(szLetter[0]))) ==
                                        std::string_view::npos)
            throw std::invalid_argument("rate: '" + szLetter + "' is not a stream letter (" +
                                        std::string(kStreamLetters) + ")");
        rates[static_cast<char>(std::toupper(szLetter[0]))] = nHz;
    }
}

FaultRule ParseFault(const std::string& szItem)
{
    const std::vector<std::string> parts = Split(szItem, ':');
    FaultRule rule;
    bool bKnown = false;
    for (FaultKind kind : kFaultKinds) {
        if (parts[0] == FaultName(kind)) {
            rule.kind = kind;
            bKnown = true;
        }
    }
    if (!bKnown)
        throw std::invalid_argument("fault: unknown kind '" + parts[0] +
                                    "' (badcrc, truncated, oversize, garbage, stall)");
    const size_t nMaxParts = rule.kind == FaultKind::Stall ? 3 : 2;
    if (parts.size() < 2 || parts.size() > nMaxParts)
        throw std::invalid_argument("fault: '" + szItem + "' is not KIND:N, KIND:P% or stall:N:MS");
    const std::string& szHow = parts[1];
    if (!szHow.empty() && szHow.back() == '%') {
        rule.dFraction = static_cast<double>(Number(szHow.substr(0, szHow.size() - 1), "fault", 1, 100)) / 100.0;
    } else {
        rule.nEvery = static_cast<unsigned>(Number(szHow, "fault", 1, 1000000));
    }
    if (parts.size() == 3)
        rule.nStallMs = static_cast<unsigned>(Number(parts[2], "fault", 1, 60000));
    return rule;
}

}  // namespace

const char* FaultName(FaultKind kind)
{
    switch (kind) {
    case FaultKind::BadCrc:
        return "badcrc";
    case FaultKind::Truncated:
        return "truncated";
    case FaultKind::Oversize:
        return "oversize";
    case FaultKind::Garbage:
        return "garbage";
    case FaultKind::Stall:
        return "stall";
    }
    return "?";
}

std::optional<uint16_t> ParseUnit(const std::string& szText)
{
    static const std::pair<const char*, uint16_t> names[] = {
        {"iap", 0x0000}, {"mm", 0x1000}, {"cm1", 0x2000}, {"cm2", 0x4000}, {"cm1sub", 0xA000}, {"cm2sub", 0xC000},
    };
    for (const auto& name : names) {
        if (szText == name.first)
            return name.second;
    }
    try {
        const long lAddress = ParseNumber(szText, "unit");
        if (lAddress >= 0 && lAddress <= 0xF000 && (lAddress & 0x0FFF) == 0)
            return static_cast<uint16_t>(lAddress);
    } catch (const std::invalid_argument&) {
    }
    return std::nullopt;
}

std::string CanonicalLetters(std::string_view szText)
{
    std::string szLetters;
    for (char cLetter : kModeLetters) {
        if (cLetter == '_')
            continue;
        const bool bWanted = std::any_of(szText.begin(), szText.end(), [cLetter](char c) {
            return std::toupper(static_cast<unsigned char>(c)) == cLetter;
        });
        if (bWanted)
            szLetters += cLetter;
    }
    return szLetters;
}

KyrOptions ParseKyrOptions(const ModelOptions& options)
{
    KyrOptions result;
    // Main module and the IAP address run the application; the camera
    // modules theirs. No other address answers unless fwmode= adds it.
    result.firmwareModes = {{0x0000, 4}, {0x1000, 4}, {0x2000, 2}, {0x4000, 2}, {0xA000, 2}, {0xC000, 2}};
    for (char cLetter : kStreamLetters)
        result.rates[cLetter] = cLetter == 'T' ? 100 : 50;

    for (const ModelOption& option : options) {
        const std::string& szKey = option.szKey;
        const bool bFlagKey =
            szKey == "echo" || szKey == "silent" || szKey == "twice" || szKey == "foreign" || szKey == "scripted";
        if (bFlagKey == option.value.has_value())
            throw std::invalid_argument(bFlagKey ? szKey + " takes no value" : "key needs a value: " + szKey);
        const std::string szValue = option.value.value_or("");
        if (szKey == "echo") {
            result.bEcho = true;
        } else if (szKey == "silent") {
            result.bSilent = true;
        } else if (szKey == "twice") {
            result.bTwice = true;
        } else if (szKey == "foreign") {
            result.bForeign = true;
        } else if (szKey == "late") {
            result.nLateMs = static_cast<unsigned>(Number(szValue, szKey, 1, 60000));
        } else if (szKey == "fwmode") {
            ParseModes(szValue, result.firmwareModes);
        } else if (szKey == "stream") {
            const std::string szLetters = CanonicalLetters(szValue);
            for (char c : szValue) {
                if (kStreamLetters.find(static_cast<char>(std::toupper(static_cast<unsigned char>(c)))) ==
                    std::string_view::npos)
                    throw std::invalid_argument("stream: '" + std::string(1, c) + "' is not a stream letter (" +
                                                std::string(kStreamLetters) + ")");
            }
            if (szLetters.empty())
                throw std::invalid_argument("stream= needs letters");
            result.szStreams = szLetters;
        } else if (szKey == "rate") {
            ParseRates(szValue, result.rates);
        } else if (szKey == "chunk") {
            // A response text longer than 440 bytes does not fit the host's buffer.
            result.nChunk = static_cast<size_t>(Number(szValue, szKey, 1, 440));
        } else if (szKey == "fault") {
            for (const std::string& szItem : Split(szValue, '+'))
                result.faults.push_back(ParseFault(szItem));
        } else if (szKey == "scripted") {
            // Empty scripts: a file given as well fills them, whatever the order.
            if (!result.touchScript)
                result.touchScript.emplace();
            if (!result.reportScript)
                result.reportScript.emplace();
        } else if (szKey == "touchscript") {
            result.touchScript = ParseTouchFrames(ReadScriptFile(szValue));
        } else if (szKey == "reportscript") {
            result.reportScript = ParseDeviceReports(ReadScriptFile(szValue));
        } else if (szKey == "seed") {
            result.dwSeed = static_cast<uint32_t>(Number(szValue, szKey, 0, 0xFFFFFFFF));
        } else {
            throw std::invalid_argument("unknown key '" + szKey + "' for model kyr");
        }
    }
    return result;
}

}  // namespace kyrsim::kyr
