#include "foundation/TaskOutput.h"

#include "platform/corefoundation/Paths.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace foundation {

namespace {

// Spawns path with both output streams on writeEnd; answers the pid or -1 with errno.
pid_t spawnWithOutput(const std::string& path, const std::vector<std::string>& arguments, int writeEnd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, 1);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, 2);
    std::vector<std::string> words{path};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int result = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        errno = result;
        return -1;
    }
    return pid;
}

void reap(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

std::optional<std::vector<uint8_t>> runToolCollectingOutput(const std::string& launchPath,
                                                            const std::vector<std::string>& arguments,
                                                            size_t maxBytes, platform::Error* error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        platform::setError(error, platform::Error::posix(errno));
        return std::nullopt;
    }
    pid_t pid = spawnWithOutput(platform::macPath(launchPath), arguments, fds[1]);
    int spawnError = errno;
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        platform::setError(error, platform::Error::posix(spawnError));
        return std::nullopt;
    }
    std::vector<uint8_t> output;
    uint8_t buffer[16384];
    bool tooLong = false;
    for (;;) {
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (output.size() + static_cast<size_t>(n) > maxBytes) {
            tooLong = true;
            ::kill(pid, SIGKILL);
            break;
        }
        output.insert(output.end(), buffer, buffer + n);
    }
    ::close(fds[0]);
    reap(pid);
    if (tooLong) {
        platform::setError(error, platform::Error::posix(EFBIG));
        return std::nullopt;
    }
    return output;
}

} // namespace foundation
