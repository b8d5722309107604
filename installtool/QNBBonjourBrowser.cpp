#include "installtool/QNBBonjourBrowser.h"

#include "platform/core/Log.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/PerformSelector.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace installtool {

namespace {

constexpr char kDomain[] = "local.";
// How much longer than the resolve's own time-out the wait for its outcome lasts: the registry
// reports the time-out itself, so this only ends a wait whose outcome can no longer come.
constexpr double kResolveWaitGrace = 1.0;

std::mutex g_serviceNameMutex;
std::optional<std::string> g_serviceName;

} // namespace

std::optional<std::string> QNBBonjourBrowser::bonjourServiceName() {
    std::lock_guard lock(g_serviceNameMutex);
    return g_serviceName;
}

void QNBBonjourBrowser::setBonjourServiceName(std::optional<std::string> name) {
    std::lock_guard lock(g_serviceNameMutex);
    g_serviceName = std::move(name);
}

QNBBonjourBrowser::QNBBonjourBrowser()
    : m_browser(ns::NSNetServiceBrowser::create()), m_runLoop(ns::NSRunLoop::currentRunLoop()) {
    m_browser->scheduleInRunLoop(m_runLoop, ns::NSDefaultRunLoopMode);
}

std::shared_ptr<QNBBonjourBrowser> QNBBonjourBrowser::initWithoutStartingService() {
    auto browser = std::make_shared<QNBBonjourBrowser>();
    browser->m_browser->setDelegate(browser->weak_from_this());
    return browser;
}

std::shared_ptr<QNBBonjourBrowser> QNBBonjourBrowser::init() {
    auto browser = initWithoutStartingService();
    browser->start();
    return browser;
}

QNBBonjourBrowser::~QNBBonjourBrowser() {
    ns::cancelPreviousPerformRequestsWithTarget(this);
    if (m_started) m_browser->stop();
}

void QNBBonjourBrowser::start() {
    if (m_started) return;
    auto type = bonjourServiceName();
    if (!type) {
        platform::log("QNBBonjourBrowser: no service type to browse");
        return;
    }
    m_browser->searchForServicesOfType(*type, kDomain);
    m_started = true;
}

void QNBBonjourBrowser::stop() {
    if (!m_started) return;
    m_browser->stop();
    m_started = false;
}

void QNBBonjourBrowser::didFindService(const std::shared_ptr<ns::NSNetServiceBrowser>&,
                                       const std::shared_ptr<ns::NSNetService>& service, bool moreComing) {
    service->setDelegate(weak_from_this());
    service->scheduleInRunLoop(m_runLoop, ns::NSDefaultRunLoopMode);
    m_addedServices.push_back(service);
    if (moreComing) return;
    // The batch is handed over whole: finds that come while it is resolved start the next one.
    batchEnded(Batch{false, std::exchange(m_addedServices, {})});
}

void QNBBonjourBrowser::didRemoveService(const std::shared_ptr<ns::NSNetServiceBrowser>&,
                                         const std::shared_ptr<ns::NSNetService>& service, bool moreComing) {
    m_removedServices.push_back(service);
    service->setDelegate({});
    // Without its delegate the outcome of a resolve in progress never reaches us.
    if (service == m_resolvingService) resolveEnded(service);
    service->resolveWithTimeout(kResolveTimeout);
    if (moreComing) return;
    batchEnded(Batch{true, std::exchange(m_removedServices, {})});
}

void QNBBonjourBrowser::batchEnded(Batch batch) {
    m_pendingBatches.push_back(std::move(batch));
    // A batch ending during another's resolves waits for it, so notifications never nest and
    // the active list sees additions and removals in the order they happened.
    if (m_handlingBatch) return;
    m_handlingBatch = true;
    while (!m_pendingBatches.empty()) {
        Batch next = std::move(m_pendingBatches.front());
        m_pendingBatches.pop_front();
        if (next.removal)
            removeBatch(next.services);
        else
            addBatch(next.services);
    }
    m_handlingBatch = false;
}

void QNBBonjourBrowser::addBatch(const NetServices& batch) {
    post(kQNBBonjourBrowserWillAddService);
    for (const auto& service : batch)
        resolveAndWait(service);
    m_activeServices.insert(m_activeServices.end(), batch.begin(), batch.end());
    if (m_monitorTXTRecords)
        for (const auto& service : m_activeServices)
            service->startMonitoring();
    post(kQNBBonjourBrowserDidAddService, std::nullopt, {{kQNBBonjourBrowserUpdatedObjectsKey, batch}});
}

void QNBBonjourBrowser::removeBatch(const NetServices& batch) {
    post(kQNBBonjourBrowserWillRemoveService);
    if (m_monitorTXTRecords)
        for (const auto& service : batch)
            service->stopMonitoring();
    cf::Array names;
    for (const auto& service : batch) {
        names.push_back(cf::Value(service->name()));
        std::erase(m_activeServices, service);
    }
    post(kQNBBonjourBrowserDidRemoveService,
         cf::Dictionary{{kQNBBonjourBrowserDidRemoveServiceNamesKey, cf::Value(std::move(names))}},
         {{kQNBBonjourBrowserUpdatedObjectsKey, batch}});
}

void QNBBonjourBrowser::resolveAndWait(const std::shared_ptr<ns::NSNetService>& service) {
    // Removed since its find, while an earlier batch was resolved: no outcome would reach us.
    if (service->delegate().get() != static_cast<ns::NSNetServiceDelegate*>(this)) return;
    m_resolvingService = service;
    m_resolveEnded = false;
    service->resolveWithTimeout(kResolveTimeout);
    const auto deadline = platform::now() + platform::seconds(kResolveTimeout + kResolveWaitGrace);
    auto loop = ns::NSRunLoop::currentRunLoop();
    while (!m_resolveEnded && platform::now() < deadline)
        loop->runModeBeforeDate(ns::NSDefaultRunLoopMode, deadline);
    if (!m_resolveEnded) platform::log("QNBBonjourBrowser: no outcome of resolving %s", service->name());
    m_resolvingService = nullptr;
}

void QNBBonjourBrowser::resolveEnded(const std::shared_ptr<ns::NSNetService>& service) {
    if (service == m_resolvingService) m_resolveEnded = true;
}

void QNBBonjourBrowser::netServiceDidResolveAddress(const std::shared_ptr<ns::NSNetService>& service) {
    resolveEnded(service);
    post(kQNBBonjourBrowserDidUpdateService);
}

void QNBBonjourBrowser::didNotResolve(const std::shared_ptr<ns::NSNetService>& service, const cf::Value&) {
    resolveEnded(service);
}

void QNBBonjourBrowser::didUpdateTXTRecordData(const std::shared_ptr<ns::NSNetService>& service,
                                               const cf::Bytes& data) {
    cf::Dictionary userInfo;
    if (auto record = ns::NSNetService::dictionaryFromTXTRecordData(data))
        userInfo.insert_or_assign(kQNBBonjourBrowserDidUpdateTXTRecordTXTRecordKey, std::move(*record));
    std::weak_ptr<QNBBonjourBrowser> weak = weak_from_this();
    ns::performSelectorAfterDelay(
        weak, "resolveAfterTXTRecordUpdate:",
        [weak, service, userInfo = cf::Value(std::move(userInfo))] {
            auto self = weak.lock();
            if (!self) return;
            service->resolveWithTimeout(kResolveTimeout);
            self->post(kQNBBonjourBrowserDidUpdateTXTRecord, userInfo,
                       {{kQNBBonjourBrowserDidUpdateTXTRecordServiceKey, service}});
        },
        kTXTResolveDelay, service.get());
}

void QNBBonjourBrowser::post(const std::string& name, std::optional<cf::Value> userInfo,
                             std::map<std::string, std::any> userObjects) {
    ns::NSNotification notification{name, shared_from_this(), std::move(userInfo)};
    notification.userObjects = std::move(userObjects);
    ns::NSNotificationCenter::defaultCenter().postNotification(notification);
}

} // namespace installtool
