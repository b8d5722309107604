// The real system behind Wakelist.
#include "installtool/Wakelist.h"

#include "foundation/QNBLaunchServices.h"
#include "foundation/TSEDisplay.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSSearchPath.h"
#include "platform/foundation/NSTask.h"
#include "platform/foundation/NSUserName.h"
#include "platform/services/SCDynamicStore.h"

#include <climits>
#include <unistd.h>

namespace installtool {

namespace {

std::optional<std::string> ownExecutablePath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
}

std::optional<int> runTask(const TaskRequest& request, platform::Error* error) {
    ns::NSTask task;
    task.setLaunchPath(request.launchPath);
    task.setArguments(request.arguments);
    task.setEnvironment(request.environment);
    if (!task.launch(error)) return std::nullopt;
    task.waitUntilExit();
    return task.terminationStatus();
}

} // namespace

WakelistCollaborators systemCollaborators() {
    WakelistCollaborators system;
    system.consoleUser = [] { return sc::SCDynamicStoreCopyConsoleUser(nullptr, nullptr, nullptr); };
    system.currentUser = [] { return ns::NSUserName(); };
    system.applicationFolders = [] {
        return ns::NSSearchPathForDirectoriesInDomains(ns::NSApplicationDirectory, ns::NSLocalDomainMask,
                                                       false);
    };
    system.environment = [] { return ns::NSTask::currentEnvironment(); };
    system.ownPath = ownExecutablePath;
    system.runTask = runTask;
    system.isApplicationBundle = [](const std::string& path) {
        auto bundle = ns::NSBundle::bundleWithPath(path);
        return bundle && bundle->bundleIdentifier().has_value();
    };
    system.addAppAsLoginItem = [](const std::string& url) {
        foundation::QNBLaunchServices::addAppAsLoginItem(url);
    };
    system.turnOffDisplayMirroringForSession = foundation::turnOffDisplayMirroringForSession;
    system.computerHasXMuxGPUCapability = foundation::computerHasXMuxGPUCapability;
    system.computerHasXMuxGPUFreezeIssues = foundation::computerHasXMuxGPUFreezeIssues;
    system.setCurrentXMuxGPU = foundation::setCurrentXMuxGPU;
    system.log = [](const std::string& line) { platform::logMessage(line); };
    return system;
}

} // namespace installtool
