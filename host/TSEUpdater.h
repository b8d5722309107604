// The host's updater: the update framework's updater for the host's bundle, checking hourly, with
// this class as its delegate. It remembers whether an update was found and turns the
// framework's callbacks into three local notifications (object: classObject(), no userInfo).
// Used through class operations only.
#pragma once

#include "platform/services/SUUpdater.h"

#include <memory>

namespace host {

inline constexpr char kTSEUpdaterDidFindUpdate[] = "TSEUpdaterDidFindUpdate";
inline constexpr char kTSEUpdaterIsUpToDate[] = "TSEUpdaterIsUpToDate";
inline constexpr char kTSEUpdaterWillInstallUpdate[] = "TSEUpdaterWillInstallUpdate";

class TSEUpdater {
  public:
    static constexpr double kUpdateCheckInterval = 3600.0;

    // Configures the framework's updater for the bundle holding the class: hourly checks, this
    // class as delegate, automatic checks on.
    static void activate();
    static void deactivate();
    static bool updateAvailable();
    // A user-initiated check on the shared updater.
    static void attemptUpdate();

    // The framework's delegate callbacks.
    static void didFindValidUpdate(const ns::SUAppcastItem& item);
    static void updaterDidNotFindUpdate();
    static void willInstallUpdate();
    static bool updaterShouldPromptForPermissionToCheckForUpdates() { return true; }
    // The same question put to an instance: NO. The framework asks the class, its delegate, so
    // this answer is never used.
    bool updaterShouldPromptForPermissionToCheckForUpdates(const ns::SUUpdater&) const { return false; }

    // What the notifications carry as their object: the class.
    static const std::shared_ptr<void>& classObject();
    // The updater activate() configured (null before).
    static std::shared_ptr<ns::SUUpdater> updater();
    // Tests start with no update found.
    static void resetForTesting();
};

} // namespace host
