// Bonjour services and browsers over platformd's registry. Thin: every call is one request,
// and every outcome (publish, find, removal, resolve, TXT update) is a delegate call made later
// on the run loop named by scheduleInRunLoop (the main one by default), in that mode (default
// mode by default). Domain "local." only; found services report the type as registered and the
// domain "local.". A resolved service's host name is its numeric address.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/foundation/NSRunLoop.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ns {

inline constexpr char NSNetServicesErrorCode[] = "NSNetServicesErrorCode";
inline constexpr char NSNetServicesErrorDomainKey[] = "NSNetServicesErrorDomain";

enum NSNetServicesError : int64_t {
    NSNetServicesUnknownError = -72000,
    NSNetServicesCollisionError = -72001,
    NSNetServicesNotFoundError = -72002,
    NSNetServicesActivityInProgress = -72003,
    NSNetServicesBadArgumentError = -72004,
    NSNetServicesCancelledError = -72005,
    NSNetServicesInvalidError = -72006,
    NSNetServicesTimeoutError = -72007,
};

class NSNetService;
class NSNetServiceBrowser;

// Every operation is optional; a delegate overrides what it answers to.
class NSNetServiceDelegate {
  public:
    virtual ~NSNetServiceDelegate() = default;
    virtual void netServiceDidPublish(const std::shared_ptr<NSNetService>&) {}
    // errorDict: NSNetServicesErrorCode and NSNetServicesErrorDomain.
    virtual void didNotPublish(const std::shared_ptr<NSNetService>&, const cf::Value&) {}
    virtual void netServiceDidResolveAddress(const std::shared_ptr<NSNetService>&) {}
    virtual void didNotResolve(const std::shared_ptr<NSNetService>&, const cf::Value&) {}
    virtual void didUpdateTXTRecordData(const std::shared_ptr<NSNetService>&, const cf::Bytes&) {}
    virtual void netServiceDidStop(const std::shared_ptr<NSNetService>&) {}
};

class NSNetServiceBrowserDelegate {
  public:
    virtual ~NSNetServiceBrowserDelegate() = default;
    virtual void didFindService(const std::shared_ptr<NSNetServiceBrowser>&,
                                const std::shared_ptr<NSNetService>&, bool /*moreComing*/) {}
    virtual void didRemoveService(const std::shared_ptr<NSNetServiceBrowser>&,
                                  const std::shared_ptr<NSNetService>&, bool /*moreComing*/) {}
    virtual void didNotSearch(const std::shared_ptr<NSNetServiceBrowser>&, const cf::Value&) {}
    virtual void netServiceBrowserDidStopSearch(const std::shared_ptr<NSNetServiceBrowser>&) {}
};

// Where an object's delegate calls run.
class RunLoopTarget {
  public:
    void scheduleInRunLoop(std::shared_ptr<NSRunLoop> loop, std::string_view mode);
    void removeFromRunLoop(const std::shared_ptr<NSRunLoop>& loop, std::string_view mode);
    // Runs block on the scheduled loop (the main one when none) in its mode.
    void deliver(std::function<void()> block);

  private:
    std::mutex m_mutex;
    std::shared_ptr<NSRunLoop> m_loop;
    std::string m_mode;
};

class NSNetService : public std::enable_shared_from_this<NSNetService> {
  public:
    // initWithDomain:type:name:port: (to publish) and initWithDomain:type:name: (found or to
    // resolve; port -1).
    static std::shared_ptr<NSNetService> create(std::string domain, std::string type, std::string name,
                                                int port = -1);
    ~NSNetService();

    const std::string& domain() const { return m_domain; }
    const std::string& type() const { return m_type; }
    const std::string& name() const { return m_name; }
    // Before a resolve: nil and -1 (a publisher's own port once set).
    std::optional<std::string> hostName() const;
    int port() const;
    // After a resolve: the address as socket address bytes (sockaddr_in or sockaddr_in6, in
    // this system's layout).
    std::vector<cf::Bytes> addresses() const;

    void setDelegate(std::weak_ptr<NSNetServiceDelegate> delegate);
    std::shared_ptr<NSNetServiceDelegate> delegate() const;
    void scheduleInRunLoop(std::shared_ptr<NSRunLoop> loop, std::string_view mode) {
        m_target.scheduleInRunLoop(std::move(loop), mode);
    }
    void removeFromRunLoop(const std::shared_ptr<NSRunLoop>& loop, std::string_view mode) {
        m_target.removeFromRunLoop(loop, mode);
    }

    // The address others resolve this service to (a stand-in extension; "127.0.0.1" unless set).
    void setHostAddress(std::string address);
    // A round trip: once it returns, publishError() tells the outcome (nullopt: published); the
    // delegate hears it later on its run loop.
    void publish();
    std::optional<int64_t> publishError() const;
    // Before publishing it is kept for the publish; once published it updates the registry
    // (monitoring services see it). NO for data that is no TXT record.
    bool setTXTRecordData(const cf::Bytes& data);
    std::optional<cf::Bytes> TXTRecordData() const;
    void resolveWithTimeout(double seconds);
    void startMonitoring();
    void stopMonitoring();
    // Ends a publish or a resolve; netServiceDidStop follows.
    void stop();

    // Tests: the service as a resolve leaves it (host name and port), with no delegate call.
    void setResolvedAddressForTesting(std::string hostName, int port);

    // The TXT codec (see platform/foundation/TXTRecord.h).
    static std::optional<cf::Value> dictionaryFromTXTRecordData(const cf::Bytes& data);
    static std::optional<cf::Bytes> dataFromTXTRecordDictionary(const cf::Value& dictionary);

    NSNetService(std::string domain, std::string type, std::string name, int port);

  private:
    friend class BonjourClient;
    void resolved(const cf::Value& body);
    void txtUpdated(const cf::Value& body);
    void notify(std::function<void(NSNetServiceDelegate&, const std::shared_ptr<NSNetService>&)> call);

    const std::string m_domain;
    const std::string m_type;
    const std::string m_name;
    const int64_t m_id;
    RunLoopTarget m_target;
    mutable std::mutex m_mutex;
    std::weak_ptr<NSNetServiceDelegate> m_delegate;
    int m_port;
    std::optional<std::string> m_hostName;
    std::string m_hostAddress = "127.0.0.1";
    std::optional<cf::Bytes> m_txt;
    bool m_published = false;
    std::optional<int64_t> m_publishError;
    bool m_resolving = false;
    bool m_resolveQueued = false; // a resolve request waits in the request queue
    double m_resolveTimeout = 5.0;
    bool m_resolvedUndelivered = false; // a success waits on the run loop for the delegate
    bool m_monitoring = false;
};

class NSNetServiceBrowser : public std::enable_shared_from_this<NSNetServiceBrowser> {
  public:
    static std::shared_ptr<NSNetServiceBrowser> create();
    ~NSNetServiceBrowser();

    void setDelegate(std::weak_ptr<NSNetServiceBrowserDelegate> delegate);
    std::shared_ptr<NSNetServiceBrowserDelegate> delegate() const;
    void scheduleInRunLoop(std::shared_ptr<NSRunLoop> loop, std::string_view mode) {
        m_target.scheduleInRunLoop(std::move(loop), mode);
    }
    void removeFromRunLoop(const std::shared_ptr<NSRunLoop>& loop, std::string_view mode) {
        m_target.removeFromRunLoop(loop, mode);
    }
    // Services registered now arrive as one batch, then each registration or removal.
    void searchForServicesOfType(const std::string& type, const std::string& domain);
    void stop();

    NSNetServiceBrowser();

  private:
    friend class BonjourClient;
    void batch(const cf::Value& body);

    const int64_t m_id;
    RunLoopTarget m_target;
    mutable std::mutex m_mutex;
    std::weak_ptr<NSNetServiceBrowserDelegate> m_delegate;
    bool m_searching = false;
    // What was found, by type and name, so a removal hands over the find's object.
    std::map<std::pair<std::string, std::string>, std::shared_ptr<NSNetService>> m_found;
};

} // namespace ns
