#include "KyrScript.h"

#include "../../Options.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kyrsim::kyr {

namespace {

// Unlike a plain getline loop, keeps empty parts, so that "a;;b" is refused.
std::vector<std::string> Split(const std::string& szText, char cSeparator)
{
    std::vector<std::string> parts(1);
    for (char c : szText) {
        if (c == cSeparator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

long Value(const std::string& szText, const std::string& szWhat, long lMin, long lMax)
{
    // ParseNumber takes no sign; the wheel turns both ways.
    const bool bNegative = lMin < 0 && !szText.empty() && szText[0] == '-';
    const long lValue = bNegative ? -ParseNumber(szText.substr(1), szWhat) : ParseNumber(szText, szWhat);
    if (lValue < lMin || lValue > lMax)
        throw std::invalid_argument(szWhat + ": " + szText + " is out of range " + std::to_string(lMin) + ".." +
                                    std::to_string(lMax));
    return lValue;
}

TouchFrame ParseFrame(const std::string& szFrame)
{
    TouchFrame frame;
    if (szFrame == "-")
        return frame;
    for (const std::string& szContact : Split(szFrame, '+')) {
        const std::vector<std::string> fields = Split(szContact, ',');
        if (fields.size() != 5)
            throw std::invalid_argument("touch: '" + szContact + "' is not x,y,w,h,s");
        uint16_t values[5];
        for (size_t n = 0; n < 5; ++n)
            values[n] = static_cast<uint16_t>(Value(fields[n], "touch", 0, 0xFFFF));
        frame.push_back({values[0], values[1], values[2], values[3], values[4]});
    }
    if (frame.size() > kMaxScriptedContacts)
        throw std::invalid_argument("touch: a frame holds at most " + std::to_string(kMaxScriptedContacts) +
                                    " contacts");
    return frame;
}

encoder::DeviceState ParseReport(const std::string& szReport)
{
    encoder::DeviceState state;
    if (szReport == "-")
        return state;
    for (const std::string& szItem : Split(szReport, ',')) {
        const size_t nEq = szItem.find('=');
        const std::string szKey = szItem.substr(0, nEq);
        const std::string szValue = nEq == std::string::npos ? "" : szItem.substr(nEq + 1);
        const auto byte = [&] { return static_cast<uint8_t>(Value(szValue, "report " + szKey, 0, 0xFF)); };
        const auto word = [&] { return static_cast<uint16_t>(Value(szValue, "report " + szKey, 0, 0xFFFF)); };
        if (szKey == "buttons") {
            state.mouse_buttons = byte();
        } else if (szKey == "wheel") {
            state.mouse_wheel = static_cast<int8_t>(Value(szValue, "report wheel", -128, 127));
        } else if (szKey == "x") {
            state.mouse_x = word();
        } else if (szKey == "y") {
            state.mouse_y = word();
        } else if (szKey == "flag") {
            state.flag = byte();
        } else if (szKey == "count") {
            state.touch_obj_cnt = byte();
        } else if (szKey == "mod") {
            state.keyboard_modifier = byte();
        } else if (szKey == "keys") {
            const std::vector<std::string> keys = Split(szValue, '+');
            if (keys.size() > state.keyboard_key.size())
                throw std::invalid_argument("report: at most 6 keys");
            for (size_t n = 0; n < keys.size(); ++n)
                state.keyboard_key[n] = static_cast<uint8_t>(Value(keys[n], "report keys", 0, 0xFF));
        } else {
            throw std::invalid_argument("report: unknown item '" + szItem +
                                        "' (buttons, wheel, x, y, flag, count, mod, keys)");
        }
    }
    return state;
}

}  // namespace

std::vector<TouchFrame> ParseTouchFrames(const std::string& szText)
{
    std::vector<TouchFrame> frames;
    for (const std::string& szFrame : Split(szText, ';'))
        frames.push_back(ParseFrame(szFrame));
    return frames;
}

std::vector<encoder::DeviceState> ParseDeviceReports(const std::string& szText)
{
    std::vector<encoder::DeviceState> reports;
    for (const std::string& szReport : Split(szText, ';'))
        reports.push_back(ParseReport(szReport));
    return reports;
}

std::string ReadScriptFile(const std::string& szPath)
{
    std::ifstream file(szPath);
    if (!file)
        throw std::invalid_argument("cannot read script " + szPath);
    std::string szJoined;
    for (std::string szLine; std::getline(file, szLine);) {
        while (!szLine.empty() && (szLine.back() == '\r' || szLine.back() == ' ' || szLine.back() == '\t'))
            szLine.pop_back();
        if (szLine.empty() || szLine[0] == '#')
            continue;
        szJoined += (szJoined.empty() ? "" : ";") + szLine;
    }
    if (szJoined.empty())
        throw std::invalid_argument("script " + szPath + " holds no frame");
    return szJoined;
}

}  // namespace kyrsim::kyr
