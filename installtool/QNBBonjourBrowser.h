// A Bonjour browser of one service type in "local." that reports what it finds through local
// notifications whose object is the browser. Services found together are resolved one at a
// time, each while the current run loop runs, before the batch is announced as added; removals
// are announced in batches too; a TXT-record update is announced, and its service resolved
// again, half a second later. Everything runs on the thread whose run loop it was created on.
#pragma once

#include "platform/services/NSNetService.h"

#include <any>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace installtool {

inline constexpr char kQNBBonjourBrowserWillAddService[] = "kQNBBonjourBrowserWillAddService";
inline constexpr char kQNBBonjourBrowserDidAddService[] = "kQNBBonjourBrowserDidAddService";
inline constexpr char kQNBBonjourBrowserWillRemoveService[] = "kQNBBonjourBrowserWillRemoveService";
inline constexpr char kQNBBonjourBrowserDidRemoveService[] = "kQNBBonjourBrowserDidRemoveService";
inline constexpr char kQNBBonjourBrowserDidUpdateService[] = "kQNBBonjourBrowserDidUpdateService";
inline constexpr char kQNBBonjourBrowserDidUpdateTXTRecord[] = "kQNBBonjourBrowserDidUpdateTXTRecord";

// userObjects of the did-add and did-remove notifications: the batch's services (NetServices).
inline constexpr char kQNBBonjourBrowserUpdatedObjectsKey[] = "kQNBBonjourBrowserUpdatedObjectsKey";
// userInfo of the did-remove notification: the names of the batch's services (an array of texts).
inline constexpr char kQNBBonjourBrowserDidRemoveServiceNamesKey[] =
    "kQNBBonjourBrowserDidRemoveServiceNamesKey";
// userObjects of the TXT notification: the service (std::shared_ptr<ns::NSNetService>).
inline constexpr char kQNBBonjourBrowserDidUpdateTXTRecordServiceKey[] =
    "kQNBBonjourBrowserDidUpdateTXTRecordServiceKey";
// userInfo of the TXT notification: the record as a dictionary of keys to data; absent when the
// record cannot be read.
inline constexpr char kQNBBonjourBrowserDidUpdateTXTRecordTXTRecordKey[] =
    "kQNBBonjourBrowserDidUpdateTXTRecordTXTRecordKey";

using NetServices = std::vector<std::shared_ptr<ns::NSNetService>>;

class QNBBonjourBrowser : public ns::NSNetServiceBrowserDelegate,
                          public ns::NSNetServiceDelegate,
                          public std::enable_shared_from_this<QNBBonjourBrowser> {
  public:
    static constexpr double kResolveTimeout = 5.0;
    static constexpr double kTXTResolveDelay = 0.5;

    // The one service type every browser searches for; none until set.
    static std::optional<std::string> bonjourServiceName();
    static void setBonjourServiceName(std::optional<std::string> name);

    // init: made and started; initWithoutStartingService: made only.
    static std::shared_ptr<QNBBonjourBrowser> init();
    static std::shared_ptr<QNBBonjourBrowser> initWithoutStartingService();
    ~QNBBonjourBrowser() override;

    // Searches for the class-wide type unless started (no type set: logged, not started).
    void start();
    void stop();
    bool started() const { return m_started; }

    // Whether the services of each added batch have their TXT records monitored (off at first).
    void setMonitorsTXTRecords(bool monitor) { m_monitorTXTRecords = monitor; }
    bool monitorsTXTRecords() const { return m_monitorTXTRecords; }

    // The services of every announced add batch still present.
    const NetServices& activeServices() const { return m_activeServices; }

    // Browser and service delegate operations.
    void didFindService(const std::shared_ptr<ns::NSNetServiceBrowser>& browser,
                        const std::shared_ptr<ns::NSNetService>& service, bool moreComing) override;
    void didRemoveService(const std::shared_ptr<ns::NSNetServiceBrowser>& browser,
                          const std::shared_ptr<ns::NSNetService>& service, bool moreComing) override;
    void netServiceDidResolveAddress(const std::shared_ptr<ns::NSNetService>& service) override;
    void didNotResolve(const std::shared_ptr<ns::NSNetService>& service, const cf::Value& errorDict) override;
    void didUpdateTXTRecordData(const std::shared_ptr<ns::NSNetService>& service,
                                const cf::Bytes& data) override;

    QNBBonjourBrowser();

  private:
    struct Batch {
        bool removal = false;
        NetServices services;
    };

    // Handles a finished batch now, or after the batch being resolved when it came meanwhile.
    void batchEnded(Batch batch);
    void addBatch(const NetServices& batch);
    void removeBatch(const NetServices& batch);
    // Resolves the service, serving the current run loop until it resolves, fails or vanishes.
    void resolveAndWait(const std::shared_ptr<ns::NSNetService>& service);
    void resolveEnded(const std::shared_ptr<ns::NSNetService>& service);
    void post(const std::string& name, std::optional<cf::Value> userInfo = std::nullopt,
              std::map<std::string, std::any> userObjects = {});

    std::shared_ptr<ns::NSNetServiceBrowser> m_browser;
    std::shared_ptr<ns::NSRunLoop> m_runLoop;
    NetServices m_activeServices;
    // The batches in progress: finds and removals apart, so neither swallows the other.
    NetServices m_addedServices;
    NetServices m_removedServices;
    // Finished batches that arrived while a batch was being resolved, in arrival order.
    std::deque<Batch> m_pendingBatches;
    bool m_handlingBatch = false;
    std::shared_ptr<ns::NSNetService> m_resolvingService;
    bool m_resolveEnded = false;
    bool m_started = false;
    bool m_monitorTXTRecords = false;
};

} // namespace installtool
