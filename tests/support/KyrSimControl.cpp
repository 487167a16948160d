#include "KyrSimControl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kyrsim {

namespace {

class CSocket {
public:
    explicit CSocket(int fd) : m_fd(fd) {}
    ~CSocket()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

[[noreturn]] void Fail(const std::string& szWhat)
{
    throw std::runtime_error("kyrsim control: " + szWhat);
}

std::string Checked(const std::string& szRequest)
{
    const std::string szReply = SimRequest(szRequest);
    if (szReply.rfind("error", 0) == 0)
        Fail("'" + szRequest + "' -> " + szReply);
    return szReply;
}

uint64_t ParseCount(const std::string& szRequest, const std::string& szReply)
{
    char* pEnd = nullptr;
    const unsigned long long qwCount = std::strtoull(szReply.c_str(), &pEnd, 10);
    if (szReply.empty() || *pEnd != '\0')
        Fail("'" + szRequest + "' -> unexpected '" + szReply + "'");
    return qwCount;
}

}  // namespace

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

    CSocket sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.Get() < 0)
        Fail(std::string("socket: ") + std::strerror(errno));
    if (connect(sock.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        Fail(std::string("connect ") + szPath + ": " + std::strerror(errno));

    const std::string szRequest = szLine + "\n";
    for (size_t nSent = 0; nSent < szRequest.size();) {
        const ssize_t n = send(sock.Get(), szRequest.data() + nSent, szRequest.size() - nSent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail(std::string("send: ") + std::strerror(errno));
        nSent += static_cast<size_t>(n);
    }
    std::string szReply;
    for (;;) {
        char c;
        const ssize_t n = recv(sock.Get(), &c, 1, 0);
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
    Checked("unplug " + std::to_string(nDevice));
}

int SimPlug(const std::string& szDevice)
{
    const std::string szRequest = "plug " + szDevice;
    const std::string szReply = Checked(szRequest);
    if (szReply.rfind("ok ", 0) != 0)
        Fail("'" + szRequest + "' -> unexpected '" + szReply + "'");
    return static_cast<int>(ParseCount(szRequest, szReply.substr(3)));
}

std::string SimDriver(int nDevice, int nInterface)
{
    return Checked("driver " + std::to_string(nDevice) + " " + std::to_string(nInterface));
}

bool SimClaimed(int nDevice, int nInterface)
{
    const std::string szRequest = "claimed " + std::to_string(nDevice) + " " + std::to_string(nInterface);
    const std::string szReply = Checked(szRequest);
    if (szReply != "0" && szReply != "1")
        Fail("'" + szRequest + "' -> unexpected '" + szReply + "'");
    return szReply == "1";
}

uint64_t SimOutCount(int nDevice)
{
    const std::string szRequest = "count " + std::to_string(nDevice) + " out";
    return ParseCount(szRequest, Checked(szRequest));
}

void SimInject(int nDevice, int nInterface, const std::vector<uint8_t>& report)
{
    std::string szHex;
    char digits[3];
    for (uint8_t b : report) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        szHex += digits;
    }
    Checked("inject " + std::to_string(nDevice) + " " + std::to_string(nInterface) + " " + szHex);
}

uint64_t SimCommandCount(int nDevice)
{
    const std::string szRequest = "commands " + std::to_string(nDevice);
    return ParseCount(szRequest, Checked(szRequest));
}

std::vector<uint64_t> SimCommandTimes(int nDevice, const std::string& szPrefix)
{
    const std::string szRequest = "cmdtimes " + std::to_string(nDevice) + (szPrefix.empty() ? "" : " " + szPrefix);
    std::istringstream reply(Checked(szRequest));
    std::vector<uint64_t> times;
    for (uint64_t qwMs = 0; reply >> qwMs;)
        times.push_back(qwMs);
    return times;
}

std::optional<SimCommand> SimLastCommand(int nDevice)
{
    const std::string szRequest = "lastcmd " + std::to_string(nDevice);
    const std::string szReply = Checked(szRequest);
    if (szReply == "none")
        return std::nullopt;
    const size_t nSpace = szReply.find(' ');
    const std::string szId = szReply.substr(0, nSpace);
    SimCommand command;
    command.nId = static_cast<int>(ParseCount(szRequest, szId));
    command.szText = nSpace == std::string::npos ? std::string() : szReply.substr(nSpace + 1);
    return command;
}

std::string SimStreams(int nDevice)
{
    return Checked("streams " + std::to_string(nDevice));
}

void SimSetFirmwareMode(int nDevice, uint16_t wUnit, int nMode)
{
    char szUnit[8];
    std::snprintf(szUnit, sizeof szUnit, "0x%04x", wUnit);
    Checked("mode " + std::to_string(nDevice) + " " + szUnit + " " + (nMode < 0 ? "none" : std::to_string(nMode)));
}

std::map<std::string, uint64_t> SimFaults(int nDevice)
{
    const std::string szRequest = "faults " + std::to_string(nDevice);
    const std::string szReply = Checked(szRequest);
    std::map<std::string, uint64_t> counts;
    std::istringstream stream(szReply);
    for (std::string szItem; stream >> szItem;) {
        const size_t nEq = szItem.find('=');
        if (nEq == std::string::npos)
            Fail("'" + szRequest + "' -> unexpected '" + szReply + "'");
        counts[szItem.substr(0, nEq)] = ParseCount(szRequest, szItem.substr(nEq + 1));
    }
    return counts;
}

SimKindCounts SimKinds(int nDevice)
{
    const std::string szRequest = "kinds " + std::to_string(nDevice);
    const std::string szReply = Checked(szRequest);
    SimKindCounts counts;
    SimKind* pKind = nullptr;
    std::istringstream stream(szReply);
    for (std::string szItem; stream >> szItem;) {
        if (szItem.rfind("0x", 0) == 0) {
            char* pEnd = nullptr;
            const unsigned long ulId = std::strtoul(szItem.c_str(), &pEnd, 16);
            if (*pEnd != '\0' || ulId > 0xFFFF)
                Fail("'" + szRequest + "' -> unexpected '" + szReply + "'");
            pKind = &counts.kinds[static_cast<uint16_t>(ulId)];
            continue;
        }
        const size_t nEq = szItem.find('=');
        const std::string szKey = szItem.substr(0, nEq == std::string::npos ? 0 : nEq);
        uint64_t* pCount = szKey == "reports" && pKind == nullptr ? &counts.qwReports
                         : pKind == nullptr                       ? nullptr
                         : szKey == "sent"                        ? &pKind->qwSent
                         : szKey == "intact"                      ? &pKind->qwIntact
                         : szKey == "crconly"                     ? &pKind->qwCrcOnly
                                                                  : nullptr;
        if (pCount == nullptr)
            Fail("'" + szRequest + "' -> unexpected '" + szReply + "'");
        *pCount = ParseCount(szRequest, szItem.substr(nEq + 1));
    }
    return counts;
}

SimReplayCounts SimReplay(int nDevice)
{
    const std::string szRequest = "replay " + std::to_string(nDevice);
    const std::string szReply = Checked(szRequest);
    SimReplayCounts counts;
    const std::pair<const char*, uint64_t*> fields[] = {
        {"out", &counts.qwOut},       {"matched", &counts.qwMatched}, {"mismatched", &counts.qwMismatched},
        {"extra", &counts.qwExtra},   {"in", &counts.qwIn},           {"recorded_out", &counts.qwRecordedOut},
        {"recorded_in", &counts.qwRecordedIn}};
    size_t nSeen = 0;
    std::istringstream stream(szReply);
    for (std::string szItem; stream >> szItem;) {
        const size_t nEq = szItem.find('=');
        const std::string szKey = szItem.substr(0, nEq == std::string::npos ? 0 : nEq);
        uint64_t* pCount = nullptr;
        for (const auto& field : fields) {
            if (szKey == field.first)
                pCount = field.second;
        }
        if (pCount == nullptr)
            Fail("'" + szRequest + "' -> unexpected '" + szReply + "'");
        *pCount = ParseCount(szRequest, szItem.substr(nEq + 1));
        ++nSeen;
    }
    if (nSeen != std::size(fields))
        Fail("'" + szRequest + "' -> unexpected '" + szReply + "'");
    return counts;
}

}  // namespace kyrsim
