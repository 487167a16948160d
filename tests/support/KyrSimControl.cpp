#include "KyrSimControl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kyrsim {

namespace {

[[noreturn]] void Fail(const std::string& szWhat)
{
    throw std::runtime_error("kyrsim control: " + szWhat);
}

[[noreturn]] void Unexpected(const std::string& szRequest, const std::string& szReply)
{
    Fail("'" + szRequest + "' -> unexpected '" + szReply + "'");
}

std::string Checked(const std::string& szRequest)
{
    std::string szReply = SimRequest(szRequest);
    if (szReply.rfind("error", 0) == 0)
        Fail("'" + szRequest + "' -> " + szReply);
    return szReply;
}

// szText is a decimal count and nothing else.
uint64_t ParseCount(const std::string& szRequest, const std::string& szText)
{
    char* pEnd = nullptr;
    const unsigned long long qwCount = std::strtoull(szText.c_str(), &pEnd, 10);
    if (szText.empty() || *pEnd != '\0')
        Unexpected(szRequest, szText);
    return qwCount;
}

uint64_t Count(const std::string& szRequest)
{
    return ParseCount(szRequest, Checked(szRequest));
}

// The reply's words, each split at its '=' into a key and a count; a word
// without one comes with nullopt.
std::vector<std::pair<std::string, std::optional<uint64_t>>> Items(const std::string& szRequest)
{
    std::vector<std::pair<std::string, std::optional<uint64_t>>> items;
    std::istringstream stream(Checked(szRequest));
    for (std::string szItem; stream >> szItem;) {
        const size_t nEq = szItem.find('=');
        items.emplace_back(szItem.substr(0, nEq), nEq == std::string::npos
                                                      ? std::nullopt
                                                      : std::optional(ParseCount(szRequest, szItem.substr(nEq + 1))));
    }
    return items;
}

// The reply's "key=count" words, each key once.
std::map<std::string, uint64_t> Counts(const std::string& szRequest)
{
    std::map<std::string, uint64_t> counts;
    for (const auto& [szKey, qwCount] : Items(szRequest)) {
        if (!qwCount || !counts.emplace(szKey, *qwCount).second)
            Unexpected(szRequest, szKey);
    }
    return counts;
}

std::string Device(int nDevice)
{
    return std::string(" ").append(std::to_string(nDevice));
}

// One request on a connection of its own; the first line of the reply and,
// for a multi-line one ("ok L"), the L lines after it.
std::vector<std::string> Exchange(const std::string& szLine, bool bMultiLine)
{
    const char* szPath = std::getenv("KYRSIM_CONTROL");
    if (szPath == nullptr || *szPath == '\0')
        Fail("KYRSIM_CONTROL is not set; run the program under kyrsim");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(szPath) >= sizeof address.sun_path)
        Fail(std::string("socket path too long: ") + szPath);
    std::strcpy(address.sun_path, szPath);

    struct Socket {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ~Socket()
        {
            if (fd >= 0)
                close(fd);
        }
    } sock;
    if (sock.fd < 0)
        Fail(std::string("socket: ") + std::strerror(errno));
    if (connect(sock.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        Fail(std::string("connect ") + szPath + ": " + std::strerror(errno));

    const std::string szRequest = szLine + "\n";
    for (size_t nSent = 0; nSent < szRequest.size();) {
        const ssize_t n = send(sock.fd, szRequest.data() + nSent, szRequest.size() - nSent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail(std::string("send: ") + std::strerror(errno));
        nSent += static_cast<size_t>(n);
    }
    std::vector<std::string> lines(1);
    size_t nWanted = 1;
    char buffer[4096];
    while (lines.size() <= nWanted) {
        const ssize_t n = recv(sock.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail("connection closed before the reply to '" + szLine + "'");
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                lines.back() += buffer[i];
                continue;
            }
            if (lines.size() == 1 && bMultiLine && lines[0].rfind("ok ", 0) == 0)
                nWanted += ParseCount(szLine, lines[0].substr(3));
            lines.emplace_back();
        }
    }
    lines.resize(nWanted);
    return lines;
}

}  // namespace

std::string SimRequest(const std::string& szLine)
{
    return Exchange(szLine, false).front();
}

std::vector<std::string> SimRequestLines(const std::string& szLine)
{
    std::vector<std::string> lines = Exchange(szLine, true);
    if (lines.front().rfind("ok ", 0) != 0)
        Unexpected(szLine, lines.front());
    lines.erase(lines.begin());
    return lines;
}

void SimUnplug(int nDevice)
{
    Checked("unplug" + Device(nDevice));
}

int SimPlug(const std::string& szDevice)
{
    const std::string szRequest = "plug " + szDevice;
    const std::string szReply = Checked(szRequest);
    if (szReply.rfind("ok ", 0) != 0)
        Unexpected(szRequest, szReply);
    return static_cast<int>(ParseCount(szRequest, szReply.substr(3)));
}

std::string SimDriver(int nDevice, int nInterface)
{
    return Checked("driver" + Device(nDevice) + Device(nInterface));
}

bool SimClaimed(int nDevice, int nInterface)
{
    const std::string szRequest = "claimed" + Device(nDevice) + Device(nInterface);
    const std::string szReply = Checked(szRequest);
    if (szReply != "0" && szReply != "1")
        Unexpected(szRequest, szReply);
    return szReply == "1";
}

uint64_t SimOutCount(int nDevice)
{
    return Count("count" + Device(nDevice) + " out");
}

void SimInject(int nDevice, int nInterface, const std::vector<uint8_t>& report)
{
    std::string szHex;
    char digits[3];
    for (uint8_t b : report) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        szHex += digits;
    }
    Checked("inject" + Device(nDevice) + Device(nInterface) + " " + szHex);
}

uint64_t SimCommandCount(int nDevice)
{
    return Count("commands" + Device(nDevice));
}

std::vector<uint64_t> SimCommandTimes(int nDevice, const std::string& szPrefix)
{
    std::istringstream reply(Checked("cmdtimes" + Device(nDevice) + (szPrefix.empty() ? "" : " " + szPrefix)));
    std::vector<uint64_t> times;
    for (uint64_t qwMs = 0; reply >> qwMs;)
        times.push_back(qwMs);
    return times;
}

std::optional<SimCommand> SimLastCommand(int nDevice)
{
    const std::string szRequest = "lastcmd" + Device(nDevice);
    const std::string szReply = Checked(szRequest);
    if (szReply == "none")
        return std::nullopt;
    const size_t nSpace = szReply.find(' ');
    return SimCommand{static_cast<int>(ParseCount(szRequest, szReply.substr(0, nSpace))),
                      nSpace == std::string::npos ? std::string() : szReply.substr(nSpace + 1)};
}

std::string SimStreams(int nDevice)
{
    return Checked("streams" + Device(nDevice));
}

std::map<std::string, uint64_t> SimFaults(int nDevice)
{
    return Counts("faults" + Device(nDevice));
}

SimKindCounts SimKinds(int nDevice)
{
    const std::string szRequest = "kinds" + Device(nDevice);
    SimKindCounts counts;
    SimKind* pKind = nullptr; // the packet id the counts that follow are of
    for (const auto& [szKey, qwCount] : Items(szRequest)) {
        char* pEnd = nullptr;
        const unsigned long ulId = std::strtoul(szKey.c_str(), &pEnd, 16);
        if (!qwCount && szKey.rfind("0x", 0) == 0 && *pEnd == '\0' && ulId <= 0xFFFF) {
            pKind = &counts.kinds[static_cast<uint16_t>(ulId)];
            continue;
        }
        uint64_t* pCount = !qwCount           ? nullptr
                         : pKind == nullptr   ? (szKey == "reports" ? &counts.qwReports : nullptr)
                         : szKey == "sent"    ? &pKind->qwSent
                         : szKey == "intact"  ? &pKind->qwIntact
                         : szKey == "crconly" ? &pKind->qwCrcOnly
                                              : nullptr;
        if (pCount == nullptr)
            Unexpected(szRequest, szKey);
        *pCount = *qwCount;
    }
    return counts;
}

namespace {

uint64_t Queue(const std::string& szRequest)
{
    const std::string szReply = Checked(szRequest);
    if (szReply.rfind("ok ", 0) != 0)
        Unexpected(szRequest, szReply);
    return ParseCount(szRequest, szReply.substr(3));
}

SimScriptCounts ScriptCounts(const std::string& szRequest)
{
    const std::map<std::string, uint64_t> counts = Counts(szRequest);
    if (counts.size() != 2 || !counts.count("sent") || !counts.count("pending"))
        Unexpected(szRequest, Checked(szRequest));
    return {counts.at("sent"), counts.at("pending")};
}

// "E: SEC.USEC TTTT CCCC VALUE"
SimInputEvent ParseEvent(const std::string& szLine)
{
    unsigned long ulSeconds = 0;
    unsigned uMicros = 0, uType = 0, uCode = 0;
    int nValue = 0;
    if (std::sscanf(szLine.c_str(), "E: %lu.%u %x %x %d", &ulSeconds, &uMicros, &uType, &uCode, &nValue) != 5)
        Fail("not an event line: '" + szLine + "'");
    return {ulSeconds * 1000000 + uMicros, static_cast<uint16_t>(uType), static_cast<uint16_t>(uCode), nValue};
}

}  // namespace

uint64_t SimTouch(int nDevice, const std::string& szFrames)
{
    return Queue("touch" + Device(nDevice) + " " + szFrames);
}

uint64_t SimReport(int nDevice, const std::string& szReports)
{
    return Queue("report" + Device(nDevice) + " " + szReports);
}

SimScriptCounts SimTouched(int nDevice)
{
    return ScriptCounts("touched" + Device(nDevice));
}

SimScriptCounts SimReported(int nDevice)
{
    return ScriptCounts("reported" + Device(nDevice));
}

std::vector<SimUinputSummary> SimUinputDevices()
{
    std::vector<SimUinputSummary> devices;
    for (const std::string& szLine : SimRequestLines("uinput")) {
        std::istringstream stream(szLine);
        SimUinputSummary summary;
        std::string szState;
        if (!(stream >> summary.nIndex >> szState >> summary.qwEvents) || (szState != "alive" && szState != "destroyed"))
            Unexpected("uinput", szLine);
        summary.bAlive = szState == "alive";
        std::getline(stream >> std::ws, summary.szName);
        devices.push_back(summary);
    }
    return devices;
}

SimInputDevice SimUinputDevice(int nIndex)
{
    SimInputDevice device;
    device.lines = SimRequestLines("uinput" + Device(nIndex));
    // Mask lines continue where the previous line of the same kind ended.
    std::map<std::string, size_t> maskBytes;
    for (const std::string& szLine : device.lines) {
        const std::string szKind = szLine.substr(0, 2);
        std::istringstream stream(szLine.substr(std::min<size_t>(2, szLine.size())));
        if (szLine.rfind("# kyrsim", 0) == 0) {
            device.bAlive = szLine.size() > 7 && szLine.compare(szLine.size() - 7, 7, ", alive") == 0;
        } else if (szKind == "N:") {
            device.szName = szLine.substr(std::min<size_t>(3, szLine.size()));
        } else if (szKind == "I:") {
            stream >> std::hex >> device.wBus >> device.wVendor >> device.wProduct >> device.wVersion;
        } else if (szKind == "P:" || szKind == "B:") {
            unsigned uType = 0;
            if (szKind == "B:")
                stream >> std::hex >> uType;
            const std::string szMask = szKind + std::to_string(uType);
            std::set<uint16_t>& bits = szKind == "P:" ? device.properties : device.codes[static_cast<uint16_t>(uType)];
            for (unsigned uByte = 0; stream >> std::hex >> uByte; ++maskBytes[szMask]) {
                for (unsigned uBit = 0; uBit < 8; ++uBit) {
                    if (uByte & (1u << uBit))
                        bits.insert(static_cast<uint16_t>(maskBytes[szMask] * 8 + uBit));
                }
            }
        } else if (szKind == "A:") {
            unsigned uCode = 0;
            SimInputAxis axis;
            stream >> std::hex >> uCode >> std::dec >> axis.nMinimum >> axis.nMaximum >> axis.nFuzz >> axis.nFlat >>
                axis.nResolution;
            device.axes[static_cast<uint16_t>(uCode)] = axis;
        } else if (szKind == "E:") {
            device.events.push_back(ParseEvent(szLine));
        }
    }
    for (auto it = device.codes.begin(); it != device.codes.end();)
        it = it->second.empty() ? device.codes.erase(it) : std::next(it);
    return device;
}

std::vector<SimInputEvent> SimUinputEvents(int nIndex, size_t nFrom)
{
    std::vector<SimInputEvent> events;
    for (const std::string& szLine : SimRequestLines("uinput" + Device(nIndex) + " " + std::to_string(nFrom)))
        events.push_back(ParseEvent(szLine));
    return events;
}

SimReplayCounts SimReplay(int nDevice)
{
    const std::string szRequest = "replay" + Device(nDevice);
    std::map<std::string, uint64_t> counts = Counts(szRequest);
    auto take = [&](const char* szKey) {
        const auto count = counts.find(szKey);
        if (count == counts.end())
            Fail("'" + szRequest + "' -> no " + szKey);
        return counts.extract(count).mapped();
    };
    // Braces: taken in this order.
    const SimReplayCounts replay{take("out"), take("matched"), take("mismatched"), take("extra"),
                                 take("in"),  take("recorded_out"), take("recorded_in")};
    if (!counts.empty())
        Unexpected(szRequest, counts.begin()->first);
    return replay;
}

} // namespace kyrsim
