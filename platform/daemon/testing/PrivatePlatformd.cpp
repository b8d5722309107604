#include "platform/daemon/testing/PrivatePlatformd.h"

#include "platform/core/Clock.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/ipc/Readiness.h"
#include "platform/ipc/UnixSocket.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platformd::testing {

namespace {

int openPidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Waits for the child behind pidfd to exit by the deadline; reaps it and answers its status.
std::optional<int> waitChild(pid_t pid, int pidfd, platform::TimePoint deadline) {
    while (platform::pollFor(pidfd, POLLIN, deadline) == 0) {
        if (platform::now() >= deadline) return std::nullopt;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return std::nullopt;
    return status;
}

} // namespace

std::string PrivatePlatformd::platformdPath() {
    return PLATFORMD_PATH;
}
std::string PrivatePlatformd::platformctlPath() {
    return PLATFORMCTL_PATH;
}

PrivatePlatformd::PrivatePlatformd(const platform::Profile& profile) {
    char pattern[] = "/tmp/pd.XXXXXX";
    if (!::mkdtemp(pattern)) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    m_root = pattern;
    m_home = m_root + "/home";
    ::mkdir(m_home.c_str(), 0700);
    ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
    ::setenv("HOME", m_home.c_str(), 1);
    platform::Error error;
    if (!platform::testing::makeRoot(m_root, profile, &error))
        ADD_FAILURE() << "makeRoot: " << error.description();
}

PrivatePlatformd::~PrivatePlatformd() {
    stop();
    ipc::Connection::resetShared();
    if (!m_root.empty()) removeTree(m_root);
}

std::string PrivatePlatformd::socketPath() const {
    return ipc::socketPathForRoot(m_root);
}

std::string PrivatePlatformd::logText() const {
    return readFile(m_root + "/var/log/platformd.log");
}

bool PrivatePlatformd::start() {
    if (m_pid > 0) return true;
    ipc::Connection::resetShared();
    std::string log = m_root + "/var/log/platformd.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string program = m_program.empty() ? platformdPath() : m_program;
    std::vector<std::string> args{program, "--root", m_root};
    args.insert(args.end(), m_arguments.begin(), m_arguments.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int err = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        ADD_FAILURE() << "cannot start platformd: " << std::strerror(err);
        return false;
    }
    m_pid = pid;
    m_pidfd.reset(openPidfd(pid));
    auto result = ipc::waitForSocket(socketPath(), platform::now() + platform::seconds(30), m_pidfd.get());
    if (result != ipc::WaitResult::Ready) {
        ADD_FAILURE() << "platformd did not become ready; its log:\n" << logText();
        kill();
        return false;
    }
    return true;
}

bool PrivatePlatformd::waitForExit(double seconds) {
    if (m_pid <= 0) return true;
    auto status = waitChild(m_pid, m_pidfd.get(), platform::now() + platform::seconds(seconds));
    if (!status) return false;
    m_pid = -1;
    m_pidfd.reset();
    return true;
}

bool PrivatePlatformd::stop() {
    if (m_pid <= 0) return true;
    ipc::Connection::resetShared();
    platform::Error error;
    auto c = ipc::Connection::open(socketPath(), ipc::HelloInfo::forThisProcess(), &error);
    if (c) {
        c->request(ipc::op::shutdown);
        c->close();
    } else {
        ::kill(m_pid, SIGTERM);
    }
    if (waitForExit(15)) return true;
    ADD_FAILURE() << "platformd did not stop; killing it";
    kill();
    return false;
}

bool PrivatePlatformd::terminate(double seconds) {
    if (m_pid <= 0) return true;
    ::kill(m_pid, SIGTERM);
    return waitForExit(seconds);
}

void PrivatePlatformd::kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    waitForExit(15);
    ::unlink(socketPath().c_str());
}

void PlatformdTest::SetUp() {
    m_platformd = std::make_unique<PrivatePlatformd>(profile());
    m_platformd->setArguments(platformdArguments());
    ASSERT_TRUE(m_platformd->start());
}

void PlatformdTest::TearDown() {
    m_platformd.reset();
}

ProgramResult runProgram(const std::vector<std::string>& args, double timeoutSeconds) {
    ProgramResult result;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return result;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int spawnError = posix_spawn(&pid, copy[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    ipc::UniqueFd outFd(out[0]), errFd(err[0]);
    if (spawnError != 0) return result;
    auto deadline = platform::now() + platform::seconds(timeoutSeconds);
    bool outOpen = true, errOpen = true;
    char buf[4096];
    while ((outOpen || errOpen) && platform::now() < deadline) {
        pollfd fds[2] = {{outOpen ? outFd.get() : -1, POLLIN, 0}, {errOpen ? errFd.get() : -1, POLLIN, 0}};
        if (::poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents) continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0)
                (i == 0 ? outOpen : errOpen) = false;
            else
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
        }
    }
    ipc::UniqueFd pidfd(openPidfd(pid));
    auto status = waitChild(pid, pidfd.get(), deadline);
    if (!status) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        result.status = -1;
        return result;
    }
    result.status = WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
    return result;
}

ChildProcess::~ChildProcess() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    wait(15);
}

bool ChildProcess::start(const std::vector<std::string>& args, const std::string& outputPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int err = posix_spawn(&m_pid, copy[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        m_pid = -1;
        return false;
    }
    m_pidfd.reset(openPidfd(m_pid));
    return true;
}

std::optional<int> ChildProcess::wait(double seconds) {
    if (m_pid <= 0) return std::nullopt;
    auto status = waitChild(m_pid, m_pidfd.get(), platform::now() + platform::seconds(seconds));
    if (!status) return std::nullopt;
    m_pid = -1;
    m_pidfd.reset();
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

void ChildProcess::signal(int sig) {
    if (m_pid > 0) ::kill(m_pid, sig);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void removeTree(const std::string& path) {
    ::nftw(
        path.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::optional<cf::Value> waitForEvent(const std::string& kind, cf::Dictionary match, double timeout,
                                      int64_t after) {
    auto connection = ipc::Connection::shared();
    if (!connection) return std::nullopt;
    cf::Dictionary args{{"kind", kind}, {"match", cf::Value(std::move(match))}, {"timeout", timeout}};
    if (after > 0) args.insert_or_assign("after", after);
    auto reply = connection->request(ipc::op::waitEvent, args);
    if (!reply.ok || !reply.result) return std::nullopt;
    return reply.result->objectForKey("event");
}

int64_t lastEventSequence() {
    auto connection = ipc::Connection::shared();
    if (!connection) return 0;
    auto reply =
        connection->request(ipc::op::events, cf::Dictionary{{"after", int64_t(0)}, {"kind", "none"}});
    return reply.ok && reply.result ? reply.result->objectForKey("next").value_or(0).integerValue() : 0;
}

std::vector<cf::Value> eventsAfter(int64_t after, const std::string& kind) {
    auto connection = ipc::Connection::shared();
    if (!connection) return {};
    cf::Dictionary args{{"after", after}};
    if (!kind.empty()) args.insert_or_assign("kind", kind);
    auto reply = connection->request(ipc::op::events, args);
    const cf::Value* events = reply.ok && reply.result ? reply.result->find("events") : nullptr;
    if (!events || !events->asArray()) return {};
    return *events->asArray();
}

} // namespace platformd::testing
