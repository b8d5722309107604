#include "platform/ipc/UnixSocket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace ipc {

namespace {

bool fillAddress(const std::string& path, sockaddr_un& addr) {
    if (path.empty() || path.size() > kMaxSocketPathBytes) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

} // namespace

std::string socketPathForRoot(const std::string& root) {
    std::string base = root;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    return base + "/run/platformd.sock";
}

std::string rootFromEnvironment() {
    const char* root = std::getenv("PLATFORM_ROOT");
    return root ? std::string(root) : std::string();
}

UniqueFd connectUnix(const std::string& path) {
    sockaddr_un addr;
    if (!fillAddress(path, addr)) return UniqueFd();
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    int r;
    do {
        r = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return UniqueFd();
    return fd;
}

UniqueFd listenUnix(const std::string& path) {
    sockaddr_un addr;
    if (!fillAddress(path, addr)) return UniqueFd();
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    ::unlink(path.c_str());
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) return UniqueFd();
    if (::listen(fd.get(), 64) < 0) return UniqueFd();
    return fd;
}

} // namespace ipc
