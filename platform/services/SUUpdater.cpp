#include "platform/services/SUUpdater.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSBundle.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <atomic>
#include <map>
#include <vector>

namespace ns {

namespace {

// An item told from outside carries one version text, both as version and for display.
SUAppcastItem itemOf(const std::optional<std::string>& displayVersion) {
    return displayVersion ? SUAppcastItem{*displayVersion, *displayVersion} : SUAppcastItem{};
}

std::mutex g_driverMutex;
SUUpdater::UserDriver g_userDriver;

std::string infoText(const NSBundle& bundle, const char* key) {
    auto value = bundle.objectForInfoDictionaryKey(key);
    return value && value->asString() ? *value->asString() : std::string();
}

// Shows the person what their check found, on the main run loop once the delegate has heard.
void showResult(SUUpdateCheckResult result) {
    SUUpdater::UserDriver driver;
    {
        std::lock_guard lock(g_driverMutex);
        driver = g_userDriver;
    }
    if (!driver) return;
    dispatch::RunLoop::main()->perform({std::string(dispatch::kDefaultRunLoopMode)},
                                       [driver, result = std::move(result)] { driver(result); });
}

} // namespace

// The process's updaters by bundle path, and the route of platformd's answers to them.
class UpdaterRegistry {
  public:
    static UpdaterRegistry& shared() {
        static UpdaterRegistry* registry = new UpdaterRegistry; // the reader thread may push at exit
        return *registry;
    }

    std::shared_ptr<SUUpdater> updaterFor(const std::shared_ptr<NSBundle>& bundle) {
        std::shared_ptr<SUUpdater> updater;
        {
            std::lock_guard lock(m_mutex);
            auto& slot = m_updaters[bundle->bundlePath()];
            if (slot) return slot;
            slot = std::make_shared<SUUpdater>(bundle, m_nextId++);
            updater = slot;
        }
        if (auto c = connection())
            if (auto reply = c->request(
                    ipc::op::updaterRegister,
                    cf::Dictionary{{"updater", updater->m_id}, {"bundlePath", updater->bundlePath()}});
                !reply.ok)
                platform::log("SUUpdater: not registered with platformd: %@", reply.error);
        return updater;
    }

    std::vector<std::shared_ptr<SUUpdater>> all() {
        std::lock_guard lock(m_mutex);
        std::vector<std::shared_ptr<SUUpdater>> out;
        for (auto& [path, u] : m_updaters)
            out.push_back(u);
        return out;
    }

    std::shared_ptr<ipc::Connection> connection() {
        auto c = ipc::Connection::shared();
        if (!c) return nullptr;
        std::lock_guard lock(m_mutex);
        if (m_connection.lock() != c) {
            c->setEventHandler(ipc::topic::updater, [this](ipc::Event& e) { pushed(e.body); });
            m_connection = c;
        }
        return c;
    }

  private:
    void pushed(const cf::Value& body) {
        const cf::Value* id = body.find("updater");
        const cf::Value* call = body.find("call");
        const cf::Value* version = body.find("displayVersionString");
        if (!id || !id->isNumber() || !call || !call->asString() || (version && !version->asString())) return;
        for (const auto& u : all())
            if (u->m_id == id->integerValue())
                u->call(*call->asString(),
                        itemOf(version ? std::optional<std::string>(*version->asString()) : std::nullopt));
    }

    std::mutex m_mutex;
    int64_t m_nextId = 1;
    std::map<std::string, std::shared_ptr<SUUpdater>> m_updaters; // for the life of the process
    std::weak_ptr<ipc::Connection> m_connection;
};

SUUpdater::SUUpdater(std::shared_ptr<NSBundle> bundle, int64_t id)
    : m_bundle(std::move(bundle)), m_bundlePath(m_bundle->bundlePath()), m_id(id) {}

std::shared_ptr<SUUpdater> SUUpdater::updaterForBundle(const std::shared_ptr<NSBundle>& bundle) {
    if (!bundle) return nullptr;
    return UpdaterRegistry::shared().updaterFor(bundle);
}

std::shared_ptr<SUUpdater> SUUpdater::sharedUpdater() {
    return updaterForBundle(NSBundle::mainBundle());
}

void SUUpdater::setDelegate(std::weak_ptr<SUUpdaterDelegate> delegate) {
    std::lock_guard lock(m_mutex);
    m_delegate = std::move(delegate);
}

std::shared_ptr<SUUpdaterDelegate> SUUpdater::delegate() const {
    std::lock_guard lock(m_mutex);
    return m_delegate.lock();
}

void SUUpdater::setUpdateCheckInterval(double seconds) {
    std::lock_guard lock(m_mutex);
    m_interval = seconds;
}

double SUUpdater::updateCheckInterval() const {
    std::lock_guard lock(m_mutex);
    return m_interval;
}

void SUUpdater::setAutomaticallyChecksForUpdates(bool on) {
    std::lock_guard lock(m_mutex);
    m_automatic = on;
}

bool SUUpdater::automaticallyChecksForUpdates() const {
    std::lock_guard lock(m_mutex);
    return m_automatic;
}

std::optional<int> SUUpdater::compareVersions(std::string_view a, std::string_view b) {
    auto parts = [](std::string_view text) -> std::optional<std::vector<uint64_t>> {
        std::vector<uint64_t> out;
        if (text.empty()) return std::nullopt;
        size_t at = 0;
        for (;;) {
            size_t dot = text.find('.', at);
            std::string_view part =
                text.substr(at, dot == std::string_view::npos ? std::string_view::npos : dot - at);
            if (part.empty() || part.size() > 18) return std::nullopt;
            uint64_t n = 0;
            for (char ch : part) {
                if (ch < '0' || ch > '9') return std::nullopt;
                n = n * 10 + static_cast<uint64_t>(ch - '0');
            }
            out.push_back(n);
            if (dot == std::string_view::npos) return out;
            at = dot + 1;
        }
    };
    auto pa = parts(a), pb = parts(b);
    if (!pa || !pb) return std::nullopt;
    for (size_t i = 0; i < std::max(pa->size(), pb->size()); ++i) {
        const uint64_t x = i < pa->size() ? (*pa)[i] : 0;
        const uint64_t y = i < pb->size() ? (*pb)[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

void SUUpdater::checkForUpdates() {
    auto currentValue = m_bundle->objectForInfoDictionaryKey("CFBundleVersion");
    const std::string current =
        currentValue && currentValue->asString() ? *currentValue->asString() : std::string();
    auto feedValue = m_bundle->objectForInfoDictionaryKey("SUFeedURL");
    const std::string feedURL = feedValue && feedValue->asString() ? *feedValue->asString() : std::string();

    std::optional<SUAppcastItem> best;
    std::string why;
    auto path = platform::pathOfFileURL(feedURL);
    platform::Error error;
    std::optional<cf::Value> feed = path ? cf::readPropertyListFile(*path, &error) : std::nullopt;
    if (feedURL.empty())
        why = "no SUFeedURL";
    else if (!path)
        why = "not a local file URL";
    else if (!feed)
        why = error.localizedDescription();
    else if (!feed->isArray())
        why = "not an array";
    for (size_t i = 0; why.empty() && i < feed->count(); ++i) {
        const cf::Value& entry = *feed->at(i);
        const cf::Value* version = entry.find("version");
        const cf::Value* display = entry.find("displayVersionString");
        if (!version || !version->asString()) continue;
        auto newer = compareVersions(*version->asString(), current);
        if (!newer || *newer <= 0) continue;
        if (best && compareVersions(*version->asString(), best->versionString).value_or(0) <= 0) continue;
        best = SUAppcastItem{*version->asString(),
                             display && display->asString() ? *display->asString() : *version->asString()};
    }

    cf::Dictionary args{{"updater", m_id}, {"bundlePath", m_bundlePath}, {"version", current}};
    if (best) args.insert_or_assign("found", best->displayVersionString);
    if (auto c = UpdaterRegistry::shared().connection()) c->request(ipc::op::updaterCheck, args);

    SUUpdateCheckResult result;
    result.applicationName = infoText(*m_bundle, "CFBundleName");
    if (result.applicationName.empty()) result.applicationName = infoText(*m_bundle, "CFBundleExecutable");
    result.currentVersion = infoText(*m_bundle, "CFBundleShortVersionString");
    if (result.currentVersion.empty()) result.currentVersion = current;
    if (!why.empty()) {
        platform::log("SUUpdater: cannot read the update feed %s: %s", feedURL, why);
        result.error = why;
        showResult(std::move(result));
        return;
    }
    if (best)
        call("found", *best);
    else
        call("uptodate", {});
    result.update = best;
    showResult(std::move(result));
}

void SUUpdater::setUserDriver(UserDriver driver) {
    std::lock_guard lock(g_driverMutex);
    g_userDriver = std::move(driver);
}

void SUUpdater::call(std::string_view what, SUAppcastItem item) {
    std::string kind(what);
    if (kind != "found" && kind != "uptodate" && kind != "install") return;
    dispatch::RunLoop::main()->perform({std::string(dispatch::kDefaultRunLoopMode)},
                                       [self = shared_from_this(), kind, item = std::move(item)] {
                                           auto d = self->delegate();
                                           if (!d) return;
                                           if (kind == "found")
                                               d->didFindValidUpdate(self, item);
                                           else if (kind == "uptodate")
                                               d->updaterDidNotFindUpdate(self);
                                           else
                                               d->willInstallUpdate(self, item);
                                       });
}

size_t SUUpdater::answer(std::string_view what, const std::optional<std::string>& displayVersion) {
    if (what != "found" && what != "uptodate" && what != "install") return 0;
    auto updaters = UpdaterRegistry::shared().all();
    for (const auto& u : updaters)
        u->call(what, itemOf(displayVersion));
    return updaters.size();
}

} // namespace ns
