// Line protocol on a Unix stream socket: one request line, one reply line,
// as many exchanges per connection as the client likes. Runs on the GLib
// main context of the thread that creates it.
#pragma once

#include <functional>
#include <glib.h>
#include <map>
#include <string>

namespace kyrsim {

class CControlServer {
public:
    using Handler = std::function<std::string(const std::string& szRequest)>;

    /// @throws std::system_error when the socket cannot be set up.
    CControlServer(const std::string& szPath, Handler handler);
    ~CControlServer();
    CControlServer(const CControlServer&) = delete;
    CControlServer& operator=(const CControlServer&) = delete;

    const std::string& Path() const { return m_szPath; }

private:
    struct Connection {
        guint nSource = 0;
        std::string szPending;
    };

    static gboolean OnAccept(gint fd, GIOCondition condition, gpointer pSelf);
    static gboolean OnReadable(gint fd, GIOCondition condition, gpointer pSelf);
    bool Serve(int fd);  // false: close the connection
    void Drop(int fd);

    std::string m_szPath;
    Handler m_handler;
    int m_nListenFd = -1;
    guint m_nListenSource = 0;
    std::map<int, Connection> m_connections;
};

}  // namespace kyrsim
