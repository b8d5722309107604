// A child process of this process (posix_spawn): launch path (mapped into the stand-in's root),
// arguments and environment, then launch, wait and its status. Launching answers an Error
// instead of raising; a task that is never waited for is still reaped.
#pragma once

#include "platform/corefoundation/Error.h"

#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ns {

class NSTask {
  public:
    NSTask() = default;
    // A task still running is reaped in the background once it ends (no zombie).
    ~NSTask();
    NSTask(const NSTask&) = delete;
    NSTask& operator=(const NSTask&) = delete;

    void setLaunchPath(std::string path) { m_launchPath = std::move(path); }
    const std::string& launchPath() const { return m_launchPath; }
    void setArguments(std::vector<std::string> arguments) { m_arguments = std::move(arguments); }
    const std::vector<std::string>& arguments() const { return m_arguments; }
    // The child's whole environment; without one it inherits this process's.
    void setEnvironment(std::map<std::string, std::string> environment) {
        m_environment = std::move(environment);
    }

    // Starts the program: false with error set (NSPOSIXErrorDomain) when the path is missing or
    // not executable, or the task was launched already.
    bool launch(platform::Error* error = nullptr);
    // Blocks until the child has ended (at once when it was never launched).
    void waitUntilExit();
    bool isRunning();
    int processIdentifier() const { return m_pid; }
    // The exit status, or the number of the signal that ended it; 0 before it ended.
    int terminationStatus() const { return m_status; }

    // This process's environment as a map, for callers that add to it.
    static std::map<std::string, std::string> currentEnvironment();

  private:
    void record(int waitStatus);

    std::string m_launchPath;
    std::vector<std::string> m_arguments;
    std::optional<std::map<std::string, std::string>> m_environment;
    pid_t m_pid = 0;
    bool m_ended = false;
    int m_status = 0;
};

} // namespace ns
