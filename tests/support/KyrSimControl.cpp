#include "KyrSimControl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    const std::string szReply = Checked(szRequest);
    char* pEnd = nullptr;
    const unsigned long long qwCount = std::strtoull(szReply.c_str(), &pEnd, 10);
    if (szReply.empty() || *pEnd != '\0')
        Fail("'" + szRequest + "' -> unexpected '" + szReply + "'");
    return qwCount;
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

}  // namespace kyrsim
