// The one seam through which tests make system calls fail the way a loaded machine does
// (an aborted handshake in accept, a process out of descriptors). Product code calls
// through netSyscalls(); tests swap an entry and restore it.
#pragma once

#include <atomic>
#include <sys/socket.h>

namespace net {

struct NetSyscalls {
    using AcceptFunction = int (*)(int fd, sockaddr* address, socklen_t* length, int flags);
    std::atomic<AcceptFunction> accept4{&::accept4};
};

NetSyscalls& netSyscalls();

} // namespace net
