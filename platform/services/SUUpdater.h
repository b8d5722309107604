// SUUpdater: the update framework's updater, stood in. Settings are stored; no network.
// checkForUpdates records the check with platformd, then reads the bundle's SUFeedURL, a local
// file URL (a macOS path, so inside the stand-in root) of an array of {"version",
// "displayVersionString"}: a version above the bundle's CFBundleVersion (dotted numbers) is a
// valid update, else there is none; an unreadable feed is logged and calls nothing. Being the
// check a person asks for, it then shows the result as the framework's window does, through the
// user driver the application layer installs. Updaters register with platformd, so
// `platformctl updater ...` (or answer() in-process) makes each call its delegate (no window).
// Delegate calls and the window run on the main run loop in the default mode.
#pragma once

#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace ns {

class NSBundle;
class SUUpdater;

struct SUAppcastItem {
    std::string versionString;
    std::string displayVersionString;
};

// What a check a person asked for found, for the window that tells them.
struct SUUpdateCheckResult {
    std::string applicationName;         // CFBundleName (else the executable's)
    std::string currentVersion;          // CFBundleShortVersionString, else CFBundleVersion
    std::optional<SUAppcastItem> update; // the newest version above the bundle's
    std::string error;                   // non-empty when the feed could not be read
};

class SUUpdaterDelegate {
  public:
    virtual ~SUUpdaterDelegate() = default;
    virtual void didFindValidUpdate(const std::shared_ptr<SUUpdater>&, const SUAppcastItem&) {}
    virtual void updaterDidNotFindUpdate(const std::shared_ptr<SUUpdater>&) {}
    virtual void willInstallUpdate(const std::shared_ptr<SUUpdater>&, const SUAppcastItem&) {}
};

class SUUpdater : public std::enable_shared_from_this<SUUpdater> {
  public:
    // One updater per bundle path, registered with platformd when made.
    static std::shared_ptr<SUUpdater> updaterForBundle(const std::shared_ptr<NSBundle>& bundle);
    static std::shared_ptr<SUUpdater> sharedUpdater(); // the main bundle's

    void setDelegate(std::weak_ptr<SUUpdaterDelegate> delegate);
    std::shared_ptr<SUUpdaterDelegate> delegate() const;
    void setUpdateCheckInterval(double seconds);
    double updateCheckInterval() const;
    void setAutomaticallyChecksForUpdates(bool on);
    bool automaticallyChecksForUpdates() const;

    void checkForUpdates();

    // Shows a person the result of the checks they ask for; none installed: nothing is shown.
    using UserDriver = std::function<void(const SUUpdateCheckResult&)>;
    static void setUserDriver(UserDriver driver);

    // What platformctl's answers do, in-process: call ("found" with a display version,
    // "uptodate", "install") reaches every live updater's delegate; answers how many.
    static size_t answer(std::string_view call,
                         const std::optional<std::string>& displayVersion = std::nullopt);

    const std::string& bundlePath() const { return m_bundlePath; }

    // Dotted numbers compared number by number (a missing one counts 0); nullopt when either
    // is not dotted numbers.
    static std::optional<int> compareVersions(std::string_view a, std::string_view b);

    SUUpdater(std::shared_ptr<NSBundle> bundle, int64_t id);

  private:
    friend class UpdaterRegistry;
    void call(std::string_view what, SUAppcastItem item);

    const std::shared_ptr<NSBundle> m_bundle;
    const std::string m_bundlePath;
    const int64_t m_id;
    mutable std::mutex m_mutex;
    std::weak_ptr<SUUpdaterDelegate> m_delegate;
    double m_interval = 86400;
    bool m_automatic = false;
};

} // namespace ns
