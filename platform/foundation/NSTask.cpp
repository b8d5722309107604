#include "platform/foundation/NSTask.h"

#include "platform/corefoundation/Paths.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace ns {

namespace {

// waitpid, retried when a signal interrupts it.
pid_t waitFor(pid_t pid, int* status, int options) {
    pid_t result;
    do {
        result = ::waitpid(pid, status, options);
    } while (result < 0 && errno == EINTR);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> out;
    for (auto& word : words)
        out.push_back(word.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

NSTask::~NSTask() {
    if (m_pid <= 0 || m_ended) return;
    int status = 0;
    if (waitFor(m_pid, &status, WNOHANG) != 0) return;
    // Still running: a thread of its own waits for it, so the child never lingers as a zombie.
    std::thread([pid = m_pid] {
        int ignored = 0;
        waitFor(pid, &ignored, 0);
    }).detach();
}

std::map<std::string, std::string> NSTask::currentEnvironment() {
    std::map<std::string, std::string> out;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text = *entry;
        auto equals = text.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        out.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    return out;
}

bool NSTask::launch(platform::Error* error) {
    if (m_pid > 0) {
        platform::setError(error, platform::Error::withDescription(platform::NSPOSIXErrorDomain, EBUSY,
                                                                   "the task was launched already"));
        return false;
    }
    std::string path = platform::macPath(m_launchPath);
    // posix_spawn would report these too; asking first gives the path's own error for a folder
    // or a file without the execute bit, and no child at all.
    if (path.empty() || ::access(path.c_str(), X_OK) != 0) {
        int why = path.empty() ? ENOENT : errno;
        platform::setError(error,
                           platform::Error::withDescription(platform::NSPOSIXErrorDomain, why,
                                                            "launch path not accessible: " + m_launchPath));
        return false;
    }
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), m_arguments.begin(), m_arguments.end());
    std::vector<std::string> envp;
    if (m_environment)
        for (const auto& [key, value] : *m_environment)
            envp.push_back(key + "=" + value);
    auto argvPointers = pointers(argv);
    auto envPointers = pointers(envp);

    // Our own descriptors are all close-on-exec; standard input, output and error are inherited.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE); // ignored here; the child starts with the default action
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int result = ::posix_spawn(&pid, path.c_str(), nullptr, &attributes, argvPointers.data(),
                               m_environment ? envPointers.data() : environ);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        platform::setError(error, platform::Error::posix(result));
        return false;
    }
    m_pid = pid;
    return true;
}

void NSTask::record(int waitStatus) {
    m_ended = true;
    if (WIFEXITED(waitStatus))
        m_status = WEXITSTATUS(waitStatus);
    else if (WIFSIGNALED(waitStatus))
        m_status = WTERMSIG(waitStatus);
}

void NSTask::waitUntilExit() {
    if (m_pid <= 0 || m_ended) return;
    int status = 0;
    if (waitFor(m_pid, &status, 0) == m_pid)
        record(status);
    else
        m_ended = true; // reaped elsewhere: nothing more to learn
}

bool NSTask::isRunning() {
    if (m_pid <= 0 || m_ended) return false;
    int status = 0;
    pid_t result = waitFor(m_pid, &status, WNOHANG);
    if (result == m_pid) record(status);
    if (result < 0) m_ended = true;
    return !m_ended;
}

} // namespace ns
