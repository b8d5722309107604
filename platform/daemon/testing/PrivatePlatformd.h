// A private platformd for integration tests: a short temporary root under /tmp (the socket
// path must stay under 108 bytes), HOME inside it, the real platformd program started on it,
// readiness waited for by the socket's appearance (never by sleeping), and a clean shutdown.
#pragma once

#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/Value.h"
#include "platform/ipc/UniqueFd.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platformd::testing {

class PrivatePlatformd {
  public:
    // Makes the root (profile.plist from profile) and points PLATFORM_ROOT and HOME at it.
    explicit PrivatePlatformd(const platform::Profile& profile = platform::Profile{});
    // Stops platformd and removes the root.
    ~PrivatePlatformd();
    PrivatePlatformd(const PrivatePlatformd&) = delete;
    PrivatePlatformd& operator=(const PrivatePlatformd&) = delete;

    // Starts platformd on the root and waits until it answers; false (with the log's tail
    // reported) when it exits or does not become ready within the deadline.
    bool start();
    // Arguments start() passes after "--root DIR" (say, "--kexts none").
    void setArguments(std::vector<std::string> arguments) { m_arguments = std::move(arguments); }
    // The platformd program start() runs instead of the build's (a benchmark pairing two builds).
    void setProgram(std::string path) { m_program = std::move(path); }
    // Asks platformd to shut down and waits for it to exit (SIGKILL after the deadline).
    bool stop();
    // SIGKILL, no shutdown: for tests of what outlives a crash.
    void kill();
    // SIGTERM, as a service manager stops it; answers whether it exited within the time.
    bool terminate(double seconds);
    bool running() const { return m_pid > 0; }

    const std::string& root() const { return m_root; }
    const std::string& home() const { return m_home; }
    pid_t pid() const { return m_pid; }
    std::string socketPath() const;
    std::string logText() const; // var/log/platformd.log

    // The built programs, for tests that run them.
    static std::string platformdPath();
    static std::string platformctlPath();

  private:
    bool waitForExit(double seconds);

    std::string m_root;
    std::string m_home;
    std::vector<std::string> m_arguments;
    std::string m_program;
    pid_t m_pid = -1;
    ipc::UniqueFd m_pidfd;
};

// One private platformd per test: booted in SetUp, stopped in TearDown. The process's shared
// connection is reset so facades reach this test's platformd.
class PlatformdTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Override to boot with another profile.
    virtual platform::Profile profile() const { return platform::Profile{}; }
    // Override to pass platformd more arguments.
    virtual std::vector<std::string> platformdArguments() const { return {}; }

    std::unique_ptr<PrivatePlatformd> m_platformd;
};

// Runs a program to its end with stdin from /dev/null; answers its exit status (-1 when it
// could not start), its standard output and standard error.
struct ProgramResult {
    int status = -1;
    std::string out;
    std::string err;
};
ProgramResult runProgram(const std::vector<std::string>& argv, double timeoutSeconds = 30);

// A program started by a test and left running: output (stdout and stderr) to a file.
// Killed and reaped at destruction if still running.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const std::vector<std::string>& argv, const std::string& outputPath);
    // The exit status (128 + signal when killed), nullopt at the deadline.
    std::optional<int> wait(double seconds);
    void signal(int sig);
    pid_t pid() const { return m_pid; }

  private:
    pid_t m_pid = -1;
    ipc::UniqueFd m_pidfd;
};

std::string readFile(const std::string& path);

// Removes a folder tree.
void removeTree(const std::string& path);

// The first event-log entry of kind whose fields match (numbered above after, when after > 0),
// waited for in platformd; nothing when none came within timeout seconds or platformd is out of reach.
std::optional<cf::Value> waitForEvent(const std::string& kind, cf::Dictionary match, double timeout,
                                      int64_t after = 0);

// The sequence of the newest event-log entry (0 when platformd is out of reach): entries logged
// later are numbered above it.
int64_t lastEventSequence();
// The entries numbered above after (of kind, when not empty), oldest first, as platformd has
// them now (at most one reply's worth).
std::vector<cf::Value> eventsAfter(int64_t after, const std::string& kind = "");

} // namespace platformd::testing
