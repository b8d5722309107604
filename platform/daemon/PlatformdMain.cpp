// The platformd program's body, shared by the platformd executable and `platformctl platformd`.
#include "platform/core/Log.h"
#include "platform/daemon/KernelService.h"
#include "platform/daemon/Platformd.h"
#include "platform/ipc/UnixSocket.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace platformd {

namespace {

constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "usage: platformd --root DIR [--kexts DIR|none]\n"
    "  The stand-in Mac's services on the root folder (or PLATFORM_ROOT), reached by its socket.\n"
    "  --kexts DIR   boot the kernel with the kernel extensions of DIR (default: the build's);\n"
    "                none: boot without any\n";

int usage(const std::string& why) {
    std::fprintf(stderr, "platformd: %s\n%s", why.c_str(), kUsageText);
    return kUsage;
}

// Off a terminal, platformd's own log goes to var/log/platformd.log beside the programs' logs.
void redirectLog(const std::string& root) {
    if (::isatty(STDERR_FILENO)) return;
    std::string path = root + "/var/log/platformd.log";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
}

} // namespace

int platformdMain(const std::vector<std::string>& args) {
    std::string root = ipc::rootFromEnvironment();
    // The kexts the kernel boots with: the build's by default, a folder's, or none.
    std::optional<std::string> kexts = KernelHost::defaultKextFolder();
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(kUsageText, stdout);
            return 0;
        }
        if (args[i] == "--root" && i + 1 < args.size())
            root = args[++i];
        else if (args[i] == "--kexts" && i + 1 < args.size())
            kexts = args[++i] == "none" ? std::nullopt : std::optional<std::string>(args[i]);
        else if (args[i].rfind("--root=", 0) == 0)
            root = args[i].substr(7);
        else
            return usage("unexpected argument \"" + args[i] + "\"");
    }
    if (root.empty()) return usage("no root: give --root DIR or set PLATFORM_ROOT");

    platform::setProcessName("platformd");
    std::signal(SIGPIPE, SIG_IGN);
    // Shutdown signals are taken from a signalfd; every thread made from here on blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

    Platformd daemon(PlatformdOptions{root, nullptr});
    hostKernelAndWindowServer(daemon, root, kexts);
    platform::Error error;
    if (!daemon.boot(&error)) {
        std::fprintf(stderr, "platformd: %s\n", error.localizedDescription().c_str());
        ::close(signalFd);
        return 1;
    }
    redirectLog(root);
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {daemon.shutdownRequestFd(), POLLIN, 0}};
    // Only a signal or a shutdown request ends this wait.
    while (::poll(fds, 2, -1) <= 0) {
    }
    platform::log("platformd shutting down");
    daemon.shutdown();
    ::close(signalFd);
    return 0;
}

} // namespace platformd
