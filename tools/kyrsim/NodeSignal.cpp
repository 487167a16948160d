#include "NodeSignal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kyrsim {

CNodeSignal::CNodeSignal(const std::string& szPath)
{
    if (mkfifo(szPath.c_str(), 0666) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(), "mkfifo " + szPath);
    chmod(szPath.c_str(), 0666);  // regardless of umask: clients open it read-write
    // Read-write so that opening never blocks and the FIFO always has a reader
    // and a writer, whoever else opens or closes it.
    m_fd = open(szPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        throw std::system_error(errno, std::generic_category(), "open " + szPath);
    // One page of capacity: a single byte then fills the FIFO, so switching
    // the state costs one read or one write.
    fcntl(m_fd, F_SETPIPE_SZ, 4096);
    m_bReapable = true;
    Set(false);
}

CNodeSignal::~CNodeSignal()
{
    if (m_fd >= 0)
        close(m_fd);
}

void CNodeSignal::Set(bool bReapable)
{
    if (bReapable == m_bReapable)
        return;
    m_bReapable = bReapable;
    char buffer[4096] = {};
    if (bReapable) {
        while (read(m_fd, buffer, sizeof buffer) > 0) {
        }
    } else {
        // EAGAIN ends the loop once every page of the FIFO is taken.
        while (write(m_fd, buffer, sizeof buffer) > 0) {
        }
    }
}

}  // namespace kyrsim
