#include "host/TSEUpdater.h"

#include "platform/core/Log.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <atomic>
#include <mutex>

namespace host {

namespace {

std::atomic<bool> g_updateAvailable{false};
std::mutex g_mutex;
std::shared_ptr<ns::SUUpdater> g_updater;

// The framework calls an object; this one hands every call to the class.
class ClassDelegate final : public ns::SUUpdaterDelegate {
  public:
    void didFindValidUpdate(const std::shared_ptr<ns::SUUpdater>&, const ns::SUAppcastItem& item) override {
        TSEUpdater::didFindValidUpdate(item);
    }
    void updaterDidNotFindUpdate(const std::shared_ptr<ns::SUUpdater>&) override {
        TSEUpdater::updaterDidNotFindUpdate();
    }
    void willInstallUpdate(const std::shared_ptr<ns::SUUpdater>&, const ns::SUAppcastItem&) override {
        TSEUpdater::willInstallUpdate();
    }
};

const std::shared_ptr<ClassDelegate>& classDelegate() {
    static const auto delegate = std::make_shared<ClassDelegate>();
    return delegate;
}

void post(const char* name) {
    ns::NSNotificationCenter::defaultCenter().postNotificationName(name, TSEUpdater::classObject());
}

} // namespace

const std::shared_ptr<void>& TSEUpdater::classObject() {
    static const std::shared_ptr<void> object = std::make_shared<int>(0);
    return object;
}

void TSEUpdater::activate() {
    auto updater = ns::SUUpdater::updaterForBundle(ns::NSBundle::bundleForClass());
    if (!updater) return;
    updater->setUpdateCheckInterval(kUpdateCheckInterval);
    updater->setDelegate(classDelegate());
    updater->setAutomaticallyChecksForUpdates(true);
    std::lock_guard lock(g_mutex);
    g_updater = updater;
}

void TSEUpdater::deactivate() {
    if (auto u = updater()) u->setAutomaticallyChecksForUpdates(false);
}

std::shared_ptr<ns::SUUpdater> TSEUpdater::updater() {
    std::lock_guard lock(g_mutex);
    return g_updater;
}

bool TSEUpdater::updateAvailable() {
    return g_updateAvailable.load();
}

void TSEUpdater::attemptUpdate() {
    if (auto shared = ns::SUUpdater::sharedUpdater()) shared->checkForUpdates();
}

void TSEUpdater::didFindValidUpdate(const ns::SUAppcastItem& item) {
    platform::log("Update available: %@", item.displayVersionString);
    if (g_updateAvailable.exchange(true)) return;
    post(kTSEUpdaterDidFindUpdate);
}

void TSEUpdater::updaterDidNotFindUpdate() {
    g_updateAvailable = false;
    post(kTSEUpdaterIsUpToDate);
}

void TSEUpdater::willInstallUpdate() {
    post(kTSEUpdaterWillInstallUpdate);
}

void TSEUpdater::resetForTesting() {
    g_updateAvailable = false;
}

} // namespace host
