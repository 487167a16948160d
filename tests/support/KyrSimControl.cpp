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

// Calls fn(key, count) for each "key=count" word of the reply and fn(word,
// nullopt) for any other word; fn answers false to what it does not expect.
template <typename Fn>
void ForEachItem(const std::string& szRequest, Fn fn)
{
    const std::string szReply = Checked(szRequest);
    std::istringstream stream(szReply);
    for (std::string szItem; stream >> szItem;) {
        const size_t nEq = szItem.find('=');
        if (!(nEq == std::string::npos ? fn(szItem, std::optional<uint64_t>())
                                       : fn(szItem.substr(0, nEq), ParseCount(szRequest, szItem.substr(nEq + 1)))))
            Unexpected(szRequest, szReply);
    }
}

std::string Device(int nDevice)
{
    return " " + std::to_string(nDevice);
}

} // namespace

std::string SimRequest(const std::string& szLine)
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
    std::string szReply;
    for (char c = 0;;) {
        const ssize_t n = recv(sock.fd, &c, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail("connection closed before the reply to '" + szLine + "'");
        if (c == '\n')
            return szReply;
        szReply += c;
    }
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

void SimSetFirmwareMode(int nDevice, uint16_t wUnit, int nMode)
{
    char szUnit[8];
    std::snprintf(szUnit, sizeof szUnit, "0x%04x", wUnit);
    Checked("mode" + Device(nDevice) + " " + szUnit + " " + (nMode < 0 ? "none" : std::to_string(nMode)));
}

std::map<std::string, uint64_t> SimFaults(int nDevice)
{
    std::map<std::string, uint64_t> counts;
    ForEachItem("faults" + Device(nDevice), [&](const std::string& szKey, std::optional<uint64_t> qwCount) {
        if (qwCount)
            counts[szKey] = *qwCount;
        return qwCount.has_value();
    });
    return counts;
}

SimKindCounts SimKinds(int nDevice)
{
    SimKindCounts counts;
    SimKind* pKind = nullptr; // the packet id the counts that follow are of
    ForEachItem("kinds" + Device(nDevice), [&](const std::string& szKey, std::optional<uint64_t> qwCount) {
        if (!qwCount) {
            char* pEnd = nullptr;
            const unsigned long ulId = std::strtoul(szKey.c_str(), &pEnd, 16);
            if (szKey.rfind("0x", 0) != 0 || *pEnd != '\0' || ulId > 0xFFFF)
                return false;
            pKind = &counts.kinds[static_cast<uint16_t>(ulId)];
            return true;
        }
        uint64_t* pCount = pKind == nullptr   ? (szKey == "reports" ? &counts.qwReports : nullptr)
                         : szKey == "sent"    ? &pKind->qwSent
                         : szKey == "intact"  ? &pKind->qwIntact
                         : szKey == "crconly" ? &pKind->qwCrcOnly
                                              : nullptr;
        if (pCount != nullptr)
            *pCount = *qwCount;
        return pCount != nullptr;
    });
    return counts;
}

SimReplayCounts SimReplay(int nDevice)
{
    SimReplayCounts counts;
    const std::map<std::string, uint64_t*> fields{
        {"out", &counts.qwOut},   {"matched", &counts.qwMatched}, {"mismatched", &counts.qwMismatched},
        {"extra", &counts.qwExtra}, {"in", &counts.qwIn},         {"recorded_out", &counts.qwRecordedOut},
        {"recorded_in", &counts.qwRecordedIn}};
    const std::string szRequest = "replay" + Device(nDevice);
    size_t nSeen = 0;
    ForEachItem(szRequest, [&](const std::string& szKey, std::optional<uint64_t> qwCount) {
        const auto field = fields.find(szKey);
        if (!qwCount || field == fields.end())
            return false;
        *field->second = *qwCount;
        return ++nSeen != 0;
    });
    if (nSeen != fields.size())
        Fail("'" + szRequest + "' -> " + std::to_string(nSeen) + " of the counts");
    return counts;
}

} // namespace kyrsim
