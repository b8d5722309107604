// The Bonjour browser: browses "_qnexvscreen._udp" in "local.", resolves what it finds, follows
// TXT-record changes and feeds the display-model manager: resolved services become display
// models, vanished ones put their models in the background, failed resolves drop idle models.
// Each batch is announced on the local notification centre (object: the manager). Main thread.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/services/NSNetService.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace foundation {
class QNBBonjourServiceHelper;
} // namespace foundation

namespace host {

class QNBDisplayModelManager;

inline constexpr char kQNBBonjourBrowserWillAddService[] = "kQNBBonjourBrowserWillAddService";
inline constexpr char kQNBBonjourBrowserDidAddService[] = "kQNBBonjourBrowserDidAddService";
inline constexpr char kQNBBonjourBrowserWillRemoveService[] = "kQNBBonjourBrowserWillRemoveService";
inline constexpr char kQNBBonjourBrowserDidRemoveService[] = "kQNBBonjourBrowserDidRemoveService";
inline constexpr char kQNBBonjourBrowserDidUpdateTXTRecord[] = "kQNBBonjourBrowserDidUpdateTXTRecord";
// userInfo of the TXT update: the service key text, and the record as a dictionary of keys to
// data (absent when the record cannot be read).
inline constexpr char kQNBBonjourBrowserDidUpdateTXTRecordServiceKey[] =
    "kQNBBonjourBrowserDidUpdateTXTRecordServiceKey";
inline constexpr char kQNBBonjourBrowserDidUpdateTXTRecordTXTRecordKey[] =
    "kQNBBonjourBrowserDidUpdateTXTRecordTXTRecordKey";

// What the manager asks of the platform's Bonjour; the program's goes to platformd, tests record.
class BonjourBrowsing {
  public:
    virtual ~BonjourBrowsing() = default;
    virtual void searchForServicesOfType(const std::string& type, const std::string& domain) = 0;
    virtual void stopSearch() = 0;
    virtual void resolveWithTimeout(const std::shared_ptr<ns::NSNetService>& service, double seconds) = 0;
    virtual void startMonitoring(const std::shared_ptr<ns::NSNetService>& service) = 0;
    virtual void stopMonitoring(const std::shared_ptr<ns::NSNetService>& service) = 0;
};

class QNBBonjourManager final : public ns::NSNetServiceBrowserDelegate,
                                public ns::NSNetServiceDelegate,
                                public std::enable_shared_from_this<QNBBonjourManager> {
  public:
    using ServicePtr = std::shared_ptr<ns::NSNetService>;
    using Helper = std::shared_ptr<foundation::QNBBonjourServiceHelper>;

    static constexpr double kResolveTimeout = 5.0;

    struct Collaborators {
        std::shared_ptr<QNBDisplayModelManager> displayModelManager;
        // Null: the platform's browser and services.
        std::shared_ptr<BonjourBrowsing> browsing;
        // The application delegate's hosting query after a resolve.
        std::function<void(const ServicePtr&)> displayHostingQueryForService;
    };

    // The program's one browser, over the shared display-model manager.
    static std::shared_ptr<QNBBonjourManager> sharedInstance();
    static std::shared_ptr<QNBBonjourManager> create(Collaborators collaborators);
    explicit QNBBonjourManager(Collaborators collaborators);

    void setDisplayHostingQuery(std::function<void(const ServicePtr&)> query);

    void startBonjourBrowsing();
    void stopBonjourBrowsing();
    bool browsing() const { return m_browsing; }
    void resolveService(const ServicePtr& service);
    Helper resolvedServiceWithServiceKey(const std::optional<std::string>& key) const;
    Helper unresolvedServiceWithServiceKey(const std::optional<std::string>& key) const;
    size_t unresolvedCount() const { return m_unresolvedServiceDictionary.size(); }
    size_t resolvedCount() const { return m_resolvedServiceDictionary.size(); }

    // Browser and service delegate.
    void didFindService(const std::shared_ptr<ns::NSNetServiceBrowser>& browser, const ServicePtr& service,
                        bool moreComing) override;
    void didRemoveService(const std::shared_ptr<ns::NSNetServiceBrowser>& browser, const ServicePtr& service,
                          bool moreComing) override;
    void netServiceDidResolveAddress(const ServicePtr& service) override;
    void didNotResolve(const ServicePtr& service, const cf::Value& errorDict) override;
    void didUpdateTXTRecordData(const ServicePtr& service, const cf::Bytes& data) override;

  private:
    void post(const char* name, std::optional<cf::Value> userInfo = std::nullopt);
    void removeService(const ServicePtr& service, std::map<std::string, Helper>& dictionary);
    void removeAllReferencesToService(const ServicePtr& service);
    void backgroundEnteredService(const ServicePtr& service);
    BonjourBrowsing& browsingBackend();

    Collaborators m_collaborators;
    std::map<std::string, Helper> m_unresolvedServiceDictionary;
    std::map<std::string, Helper> m_resolvedServiceDictionary;
    std::vector<ServicePtr> m_vanishingServiceArray;
    bool m_browsing = false;
};

} // namespace host
