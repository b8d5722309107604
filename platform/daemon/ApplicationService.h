// Launching applications from bundles (as the workspace asks), reaping them, and the
// registry of running applications: connected processes with an app bundle plus launched
// ones not yet connected. Also answers the process table (kern.proc.all).
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/daemon/ChildReaper.h"
#include "platform/daemon/SystemService.h"

#include <optional>
#include <vector>

namespace platformd {

struct RunningApplication {
    pid_t pid = 0;
    std::string bundleIdentifier;
    std::string bundlePath;
    std::string localizedName;
    std::string executable; // absolute path
    int64_t activationPolicy = 0;
    bool active = false;
    bool finishedLaunching = false; // its application object sent did-finish-launching
    bool launched = false;  // platformd's child, removed at reaping
    bool connected = false; // its process is connected, removed when it drops
    bool fake = false;      // a fake application another process registered; gone with it
    uint64_t clientId = 0;

    cf::Value toValue() const;
};

struct LaunchResult {
    pid_t pid = 0;
    bool activated = false; // already running: activated instead of started
};

class ApplicationService : public SystemService {
  public:
    // A bundle's executable name longer than a file name can be is refused.
    static constexpr size_t kMaxExecutableName = 255;

    explicit ApplicationService(ServiceHost& host) : m_host(host) {}

    void registerRequests(RequestTable& table) override;
    void clientArrived(const Client& client) override;
    void clientGone(const Client& client) override;

    // Starts the bundle's executable detached, or activates the running copy.
    std::optional<LaunchResult> launchApplication(const std::string& path, const Poster& poster,
                                                  platform::Error* error);
    const std::vector<RunningApplication>& runningApplications() const { return m_running; }

    // What the window server tells (on this service's thread): a fake application registered,
    // gone with its owner, or another application made active (pid 0: none). The window server
    // holds which application is active; the registry only repeats it.
    void addFakeApplication(pid_t pid, const std::string& name, const std::string& bundleIdentifier);
    void removeFakeApplication(pid_t pid);
    void activateApplication(pid_t pid);

  private:
    void launch(RequestContext& ctx);
    void openURL(RequestContext& ctx);
    void running(RequestContext& ctx);
    void processes(RequestContext& ctx);
    void setActivationPolicy(RequestContext& ctx);
    void finishedLaunching(RequestContext& ctx);
    void childExited(pid_t pid, ExitStatus status);
    RunningApplication* find(pid_t pid);
    RunningApplication* findConnected(const Client& client);

    ServiceHost& m_host;
    std::vector<RunningApplication> m_running;             // launch (or connection) order
    std::vector<std::pair<pid_t, std::string>> m_children; // launched, not reaped: pid, executable
    pid_t m_activePid = 0;                                 // as the window server last told
};

// What a bundle's Info.plist says, read with every key's kind checked.
struct BundleInfo {
    std::string path;
    std::string identifier;
    std::string executableName;
    std::string localizedName;
};
// nullopt with an Error when the path is no readable application bundle.
std::optional<BundleInfo> readBundleInfo(const std::string& bundlePath, platform::Error* error);

} // namespace platformd
