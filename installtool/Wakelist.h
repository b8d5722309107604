// Wakelist, run once by the installation: makes the host program start at login for the user at
// the console, turns display mirroring off and, on the notebooks with the graphics-switching
// freeze, switches the multiplexer to its first GPU. Run as another user than the console user,
// it runs itself again as that user through sudo and waits for that run.
#pragma once

#include "platform/corefoundation/Error.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace installtool {

// Marks the run that Wakelist started through sudo, so a sudo that keeps the user cannot make
// it start itself over and over.
inline constexpr char kRelaunchedVariable[] = "WAKELIST_RELAUNCHED";

// A child process to run to its end.
struct TaskRequest {
    std::string launchPath;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment; // the whole environment of the child
};

// Everything Wakelist asks of the system, so that tests can stand in for any of it.
struct WakelistCollaborators {
    std::function<std::optional<std::string>()> consoleUser;
    std::function<std::string()> currentUser;
    std::function<std::vector<std::string>()> applicationFolders;
    // This process's environment, and the absolute path of its own program file.
    std::function<std::map<std::string, std::string>()> environment;
    std::function<std::optional<std::string>()> ownPath;
    // Starts the task and waits for it: its status, or nothing (error set) when it did not start.
    std::function<std::optional<int>(const TaskRequest&, platform::Error*)> runTask;
    // Whether the path holds an application bundle.
    std::function<bool(const std::string&)> isApplicationBundle;
    std::function<void(const std::string&)> addAppAsLoginItem;
    std::function<int32_t(uint32_t)> turnOffDisplayMirroringForSession;
    std::function<bool()> computerHasXMuxGPUCapability;
    std::function<bool()> computerHasXMuxGPUFreezeIssues;
    std::function<void(uint32_t)> setCurrentXMuxGPU;
    std::function<void(const std::string&)> log;
};

// The system's own: the console user from System Configuration, NSUserName, the local
// Applications folders, NSTask, the shared foundation's calls and the logging facade.
WakelistCollaborators systemCollaborators();

// A console user name a login item can be kept for: 1 to 64 bytes of letters, digits, ".", "_"
// and "-", not starting with "-" or ".".
bool isPlainUserName(const std::string& name);

// The program: arguments are only logged; the status is always 0.
int wakelistMain(int argc, const char* const* argv, const WakelistCollaborators& system);

} // namespace installtool
