// What QNNetSocket's source files share: the descriptor helpers and the guard that holds the
// descriptor in use while a call works on it.
#pragma once

#include "net/QNNetSocket.h"

#include <cstdint>

namespace net {

namespace netsocket {

// A socket of the family with close-on-exec; IPv6 ones are dual stack.
int makeSocket(int family, int type);
bool bindTo(int fd, const SocketAddress& address);
uint16_t boundPort(int fd);
// A datagram destination in the socket's own family.
SocketAddress destinationForFamily(const SocketAddress& to, int socketFamily);

} // namespace netsocket

class QNNetSocket::Use {
  public:
    explicit Use(QNNetSocket& socket) : m_socket(socket), m_fd(socket.beginUse()) {}
    ~Use() {
        if (m_fd >= 0) m_socket.endUse();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    int fd() const { return m_fd; }

  private:
    QNNetSocket& m_socket;
    int m_fd;
};

} // namespace net
