#include "platform/daemon/Spawner.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>

extern char** environ;

namespace platformd {

namespace {

// RAII over the two posix_spawn attribute objects.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

void prepare(SpawnSetup& s, const std::string& logPath) {
    posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
    const char* out = logPath.empty() ? "/dev/null" : logPath.c_str();
    posix_spawn_file_actions_addopen(&s.actions, 1, out, O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&s.actions, 1, 2);
    // platformd blocks its shutdown signals and ignores SIGPIPE; a launched program starts
    // with neither, as it would from launchd.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&s.attr, &none);
    posix_spawnattr_setsigdefault(&s.attr, &defaults);
    posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
}

} // namespace

pid_t spawnDetached(const SpawnRequest& request) {
    if (request.path.empty() || request.path[0] != '/') {
        errno = ENOENT;
        return -1;
    }
    std::vector<std::string> args =
        request.argv.empty() ? std::vector<std::string>{request.path} : request.argv;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    SpawnSetup setup;
    prepare(setup, request.logPath);
    pid_t pid = -1;
    int err = posix_spawn(&pid, request.path.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return pid;
}

} // namespace platformd
