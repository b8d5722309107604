#include "host/QNBBonjourManager.h"

#include "host/QNBDisplayModelManager.h"

#include "foundation/QNBBonjourServiceHelper.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Log.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <mutex>

namespace host {

using foundation::QNBBonjourServiceHelper;

namespace {

constexpr char kDomain[] = "local.";

// The platform's browser and services (platformd's registry).
class PlatformBonjourBrowsing final : public BonjourBrowsing {
  public:
    explicit PlatformBonjourBrowsing(std::weak_ptr<ns::NSNetServiceBrowserDelegate> delegate)
        : m_delegate(std::move(delegate)) {}
    void searchForServicesOfType(const std::string& type, const std::string& domain) override {
        if (!m_browser) {
            m_browser = ns::NSNetServiceBrowser::create();
            m_browser->setDelegate(m_delegate);
        }
        m_browser->searchForServicesOfType(type, domain);
    }
    void stopSearch() override {
        if (m_browser) m_browser->stop();
    }
    void resolveWithTimeout(const std::shared_ptr<ns::NSNetService>& service, double seconds) override {
        service->resolveWithTimeout(seconds);
    }
    void startMonitoring(const std::shared_ptr<ns::NSNetService>& service) override {
        service->startMonitoring();
    }
    void stopMonitoring(const std::shared_ptr<ns::NSNetService>& service) override {
        service->stopMonitoring();
    }

  private:
    std::weak_ptr<ns::NSNetServiceBrowserDelegate> m_delegate;
    std::shared_ptr<ns::NSNetServiceBrowser> m_browser;
};

} // namespace

std::shared_ptr<QNBBonjourManager> QNBBonjourManager::sharedInstance() {
    static std::once_flag once;
    static std::shared_ptr<QNBBonjourManager> shared;
    std::call_once(once, [] {
        Collaborators c;
        c.displayModelManager = QNBDisplayModelManager::sharedInstance();
        shared = create(std::move(c));
    });
    return shared;
}

std::shared_ptr<QNBBonjourManager> QNBBonjourManager::create(Collaborators collaborators) {
    auto manager = std::make_shared<QNBBonjourManager>(std::move(collaborators));
    if (!manager->m_collaborators.browsing)
        manager->m_collaborators.browsing = std::make_shared<PlatformBonjourBrowsing>(manager);
    return manager;
}

QNBBonjourManager::QNBBonjourManager(Collaborators collaborators)
    : m_collaborators(std::move(collaborators)) {}

void QNBBonjourManager::setDisplayHostingQuery(std::function<void(const ServicePtr&)> query) {
    m_collaborators.displayHostingQueryForService = std::move(query);
}

BonjourBrowsing& QNBBonjourManager::browsingBackend() {
    return *m_collaborators.browsing;
}

void QNBBonjourManager::post(const char* name, std::optional<cf::Value> userInfo) {
    ns::NSNotificationCenter::defaultCenter().postNotificationName(name, shared_from_this(),
                                                                   std::move(userInfo));
}

void QNBBonjourManager::startBonjourBrowsing() {
    if (m_browsing) return;
    browsingBackend().searchForServicesOfType(foundation::kVirtualScreenServiceName, kDomain);
    m_browsing = true;
}

void QNBBonjourManager::stopBonjourBrowsing() {
    if (!m_browsing) return;
    browsingBackend().stopSearch();
    m_browsing = false;
}

void QNBBonjourManager::resolveService(const ServicePtr& service) {
    if (service) browsingBackend().resolveWithTimeout(service, kResolveTimeout);
}

QNBBonjourManager::Helper
QNBBonjourManager::resolvedServiceWithServiceKey(const std::optional<std::string>& key) const {
    if (!key) return nullptr;
    auto it = m_resolvedServiceDictionary.find(*key);
    return it == m_resolvedServiceDictionary.end() ? nullptr : it->second;
}

QNBBonjourManager::Helper
QNBBonjourManager::unresolvedServiceWithServiceKey(const std::optional<std::string>& key) const {
    if (!key) return nullptr;
    auto it = m_unresolvedServiceDictionary.find(*key);
    return it == m_unresolvedServiceDictionary.end() ? nullptr : it->second;
}

// ---- Finds and removals --------------------------------------------------------------------------

void QNBBonjourManager::didFindService(const std::shared_ptr<ns::NSNetServiceBrowser>&,
                                       const ServicePtr& service, bool moreComing) {
    if (!service) return;
    service->setDelegate(weak_from_this());
    browsingBackend().startMonitoring(service);
    if (auto helper = QNBBonjourServiceHelper::serviceHelperWithService(service);
        helper && helper->serviceKey())
        m_unresolvedServiceDictionary[*helper->serviceKey()] = helper;
    if (moreComing) return;
    post(kQNBBonjourBrowserWillAddService);
    // Every service still unresolved is asked again, not only this batch's.
    for (const auto& [key, helper] : std::map(m_unresolvedServiceDictionary))
        resolveService(helper->service());
    post(kQNBBonjourBrowserDidAddService);
}

void QNBBonjourManager::didRemoveService(const std::shared_ptr<ns::NSNetServiceBrowser>&,
                                         const ServicePtr& service, bool moreComing) {
    if (!service) return;
    m_vanishingServiceArray.push_back(service);
    service->setDelegate({});
    if (moreComing) return;
    post(kQNBBonjourBrowserWillRemoveService);
    auto vanishing = std::move(m_vanishingServiceArray);
    m_vanishingServiceArray.clear();
    for (const auto& gone : vanishing)
        browsingBackend().stopMonitoring(gone);
    for (const auto& gone : vanishing)
        backgroundEnteredService(gone);
    post(kQNBBonjourBrowserDidRemoveService);
}

void QNBBonjourManager::removeService(const ServicePtr& service, std::map<std::string, Helper>& dictionary) {
    if (auto key = QNBBonjourServiceHelper::serviceKeyForService(*service)) dictionary.erase(*key);
}

void QNBBonjourManager::backgroundEnteredService(const ServicePtr& service) {
    removeService(service, m_unresolvedServiceDictionary);
    removeService(service, m_resolvedServiceDictionary);
    if (auto models = m_collaborators.displayModelManager)
        models->updateBackgroundStateForService(true, service);
}

// ---- Resolves and TXT records --------------------------------------------------------------------

void QNBBonjourManager::netServiceDidResolveAddress(const ServicePtr& service) {
    if (!service) return;
    auto helper = QNBBonjourServiceHelper::serviceHelperWithService(service);
    if (helper && helper->serviceKey() && helper->hostName())
        m_resolvedServiceDictionary[*helper->serviceKey()] = helper;
    removeService(service, m_unresolvedServiceDictionary);
    if (auto models = m_collaborators.displayModelManager) {
        models->addDisplayModelWithService(service);
        models->resolveSucceededForService(service);
    }
    if (m_collaborators.displayHostingQueryForService) m_collaborators.displayHostingQueryForService(service);
}

void QNBBonjourManager::didNotResolve(const ServicePtr& service, const cf::Value&) {
    if (!service) return;
    platform::log("Failed to resolve service: %@",
                  QNBBonjourServiceHelper::serviceKeyForService(*service).value_or("(null)"));
    removeAllReferencesToService(service);
}

void QNBBonjourManager::removeAllReferencesToService(const ServicePtr& service) {
    if (auto models = m_collaborators.displayModelManager) {
        auto model = models->displayModelForService(service);
        if (!model || !model->connected())
            models->removeDisplayModelForServiceKey(QNBBonjourServiceHelper::serviceKeyForService(*service));
    }
    removeService(service, m_unresolvedServiceDictionary);
    removeService(service, m_resolvedServiceDictionary);
}

void QNBBonjourManager::didUpdateTXTRecordData(const ServicePtr& service, const cf::Bytes& data) {
    if (!service) return;
    auto record = ns::NSNetService::dictionaryFromTXTRecordData(data);
    if (auto models = m_collaborators.displayModelManager) {
        models->updateDisplayModelWithService(service, data);
        models->updateBackgroundStateForService(false, service);
    }
    cf::Dictionary userInfo;
    if (auto key = QNBBonjourServiceHelper::serviceKeyForService(*service))
        userInfo.insert_or_assign(kQNBBonjourBrowserDidUpdateTXTRecordServiceKey, cf::Value(*key));
    if (record) userInfo.insert_or_assign(kQNBBonjourBrowserDidUpdateTXTRecordTXTRecordKey, *record);
    post(kQNBBonjourBrowserDidUpdateTXTRecord, cf::Value(std::move(userInfo)));
}

} // namespace host
