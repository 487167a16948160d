#include "ControlServer.h"

#include <cerrno>
#include <cstring>
#include <glib-unix.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace kyrsim {

namespace {

// A request is a few words and at most one report in hex.
constexpr size_t MAX_LINE = 4096;

// Most replies fit the socket buffer at once; a long one (an event log)
// waits for the client, which reads as soon as it has sent its request. A
// client that vanished, or stops reading for seconds, is dropped.
bool SendAll(int fd, const std::string& szReply)
{
    size_t nSent = 0;
    while (nSent < szReply.size()) {
        const ssize_t n = send(fd, szReply.data() + nSent, szReply.size() - nSent, MSG_NOSIGNAL);
        if (n > 0) {
            nSent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        pollfd poller{fd, POLLOUT, 0};
        if (n == 0 || errno != EAGAIN || poll(&poller, 1, 5000) != 1)
            return false;
    }
    return true;
}

}  // namespace

CControlServer::CControlServer(const std::string& szPath, Handler handler)
    : m_szPath(szPath), m_handler(std::move(handler))
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (szPath.size() >= sizeof address.sun_path)
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "control socket path " + szPath);
    std::memcpy(address.sun_path, szPath.c_str(), szPath.size() + 1);
    m_nListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_nListenFd < 0)
        throw std::system_error(errno, std::generic_category(), "control socket");
    unlink(szPath.c_str());
    if (bind(m_nListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_nListenFd, 16) != 0) {
        const int nError = errno;
        close(m_nListenFd);
        throw std::system_error(nError, std::generic_category(), "control socket " + szPath);
    }
    m_nListenSource = g_unix_fd_add(m_nListenFd, G_IO_IN, OnAccept, this);
}

CControlServer::~CControlServer()
{
    while (!m_connections.empty())
        Drop(m_connections.begin()->first);
    g_source_remove(m_nListenSource);
    close(m_nListenFd);
    unlink(m_szPath.c_str());
}

gboolean CControlServer::OnAccept(gint fd, GIOCondition, gpointer pSelf)
{
    auto* pServer = static_cast<CControlServer*>(pSelf);
    for (;;) {
        const int nClient = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (nClient < 0)
            break;
        pServer->m_connections[nClient].nSource = g_unix_fd_add(nClient, G_IO_IN, OnReadable, pServer);
    }
    return G_SOURCE_CONTINUE;
}

gboolean CControlServer::OnReadable(gint fd, GIOCondition, gpointer pSelf)
{
    auto* pServer = static_cast<CControlServer*>(pSelf);
    if (pServer->Serve(fd))
        return G_SOURCE_CONTINUE;
    pServer->Drop(fd);
    return G_SOURCE_REMOVE;
}

bool CControlServer::Serve(int fd)
{
    Connection& connection = m_connections[fd];
    char buffer[1024];
    const ssize_t nRead = recv(fd, buffer, sizeof buffer, 0);
    if (nRead == 0 || (nRead < 0 && errno != EAGAIN && errno != EINTR))
        return false;
    if (nRead < 0)
        return true;
    connection.szPending.append(buffer, static_cast<size_t>(nRead));
    size_t nEnd;
    while ((nEnd = connection.szPending.find('\n')) != std::string::npos) {
        std::string szRequest = connection.szPending.substr(0, nEnd);
        connection.szPending.erase(0, nEnd + 1);
        if (!szRequest.empty() && szRequest.back() == '\r')
            szRequest.pop_back();
        if (!SendAll(fd, m_handler(szRequest) + "\n"))
            return false;
    }
    return connection.szPending.size() <= MAX_LINE;
}

void CControlServer::Drop(int fd)
{
    const auto it = m_connections.find(fd);
    if (it == m_connections.end())
        return;
    // Called either from OnReadable, whose G_SOURCE_REMOVE ends the source,
    // or from the destructor, where the source must go explicitly.
    GSource* pSource = g_main_context_find_source_by_id(nullptr, it->second.nSource);
    if (pSource != nullptr && !g_source_is_destroyed(pSource) && g_main_current_source() != pSource)
        g_source_remove(it->second.nSource);
    close(fd);
    m_connections.erase(it);
}

}  // namespace kyrsim
