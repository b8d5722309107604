#include "installtool/Wakelist.h"

#include "foundation/FileURL.h"
#include "foundation/Vocabulary.h"
#include "platform/core/Format.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"

#include <cctype>

namespace installtool {

namespace {

constexpr size_t kMaxUserNameBytes = 64;
// Who "sits" at the console while nobody is logged in.
constexpr char kLoginWindowUser[] = "loginwindow";
constexpr char kSudoPath[] = "/usr/bin/sudo";

class Run {
  public:
    explicit Run(const WakelistCollaborators& system) : m_system(system) {}

    template <typename... Args> void log(std::string_view format, const Args&... args) {
        m_system.log(platform::format(format, args...));
    }

    // Run as the console user: login item, mirroring, multiplexer.
    void setUpForConsoleUser() {
        log("Wakelist: Starting...");
        auto folders = m_system.applicationFolders();
        if (folders.empty() || folders.front().empty()) {
            log("Wakelist: Could not install Tessel Host at Install time because application path was not "
                "found");
        } else {
            const std::string path =
                folders.front() + "/" + foundation::kQNBTesselHostApplicationName + ".app";
            // A URL could be made of any path; a login item for an application that is not
            // there would fail at every login.
            if (m_system.isApplicationBundle(path))
                m_system.addAppAsLoginItem(foundation::fileURLWithPath(path, true));
            else
                log("Wakelist: Could not install Tessel Host at install time because it was not found");
        }
        log("Wakelist: Turning off mirroring...");
        // Permanently: mirroring stays off once this tool has ended.
        m_system.turnOffDisplayMirroringForSession(cg::kCGConfigurePermanently);
        if (m_system.computerHasXMuxGPUCapability() && m_system.computerHasXMuxGPUFreezeIssues()) {
            log("Wakelist: Potentially turning off XMux graphics switching in MBP 6,n...");
            m_system.setCurrentXMuxGPU(0);
        }
        log("Wakelist: Ending...");
    }

    // Run as someone else: again as the console user, by this program's own absolute path
    // (an installer's working directory is not this program's folder).
    void relaunchAsConsoleUser(const std::string& consoleUser) {
        log("Launching task to set login items for console user");
        platform::Error error;
        std::optional<int> status;
        if (auto self = m_system.ownPath()) {
            TaskRequest task{kSudoPath, {"-u", consoleUser, *self}, m_system.environment()};
            task.environment[kRelaunchedVariable] = "1";
            status = m_system.runTask(task, &error);
        }
        if (status)
            log("Wakelist: task ended with status %d", *status);
        else
            log("Exception thrown while launching task");
        log("Launched and waited for task");
    }

  private:
    const WakelistCollaborators& m_system;
};

} // namespace

bool isPlainUserName(const std::string& name) {
    if (name.empty() || name.size() > kMaxUserNameBytes || name[0] == '-' || name[0] == '.') return false;
    for (unsigned char c : name)
        if (!(std::isalnum(c) || c == '.' || c == '_' || c == '-')) return false;
    return true;
}

int wakelistMain(int argc, const char* const* argv, const WakelistCollaborators& system) {
    Run run(system);
    // The text after the path is "[0]" as written: it names which argument was printed.
    run.log("main( %d, %s[0] )", argc, argc > 0 && argv ? argv[0] : nullptr);
    const auto consoleUser = system.consoleUser();
    const std::string currentUser = system.currentUser();
    run.log("currentConsoleUser: %@ currentUser: %@", consoleUser, currentUser);

    // Nobody at the console (or a name no login item can be kept for): nothing to set up for,
    // the mirroring included, which belongs to that user's session.
    if (!consoleUser || *consoleUser == kLoginWindowUser || !isPlainUserName(*consoleUser)) {
        run.log("Wakelist: No console user; login item not set");
        return 0;
    }
    if (*consoleUser == currentUser) {
        run.setUpForConsoleUser();
        return 0;
    }
    auto environment = system.environment();
    if (auto marker = environment.find(kRelaunchedVariable);
        marker != environment.end() && marker->second == "1") {
        run.log("Wakelist: Still not the console user after relaunch");
        return 0;
    }
    run.relaunchAsConsoleUser(*consoleUser);
    return 0;
}

} // namespace installtool
