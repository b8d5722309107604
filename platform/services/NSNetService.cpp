#include "platform/services/NSNetService.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/TXTRecord.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <netinet/in.h>

namespace ns {

namespace {

constexpr char kDomain[] = "local.";

std::atomic<int64_t> g_nextId{1};

cf::Value errorDict(int64_t code) {
    return cf::Dictionary{{NSNetServicesErrorCode, code}, {NSNetServicesErrorDomainKey, int64_t{10}}};
}

} // namespace

// Routes platformd's Bonjour pushes to the objects they name. Objects are held weakly: one
// gone before its push arrives is simply not called.
class BonjourClient {
  public:
    static BonjourClient& shared() {
        static BonjourClient* client =
            new BonjourClient; // never destroyed: the reader thread may push at exit
        return *client;
    }

    std::shared_ptr<ipc::Connection> connection() {
        platform::Error error;
        auto c = ipc::Connection::shared(&error);
        if (!c) {
            platform::log("Bonjour: no platformd (%s)", error.localizedDescription());
            return nullptr;
        }
        std::lock_guard lock(m_mutex);
        if (m_connection.lock() != c) {
            c->setEventHandler(ipc::topic::bonjourBrowse, [this](ipc::Event& e) { browseEvent(e.body); });
            c->setEventHandler(ipc::topic::bonjourResolve,
                               [this](ipc::Event& e) { serviceEvent(e.body, "resolve"); });
            c->setEventHandler(ipc::topic::bonjourTXT,
                               [this](ipc::Event& e) { serviceEvent(e.body, "monitor"); });
            m_connection = c;
        }
        return c;
    }

    // One request; false (logged) on failure, with the registry's error code when it gave one.
    bool request(std::string_view op, const cf::Value& args, int64_t* code = nullptr) {
        auto c = connection();
        if (!c) {
            if (code) *code = NSNetServicesUnknownError;
            return false;
        }
        ipc::Reply reply = c->request(op, args);
        if (reply.ok) return true;
        platform::log("Bonjour: %s failed: %@", op, reply.error);
        if (code)
            *code = reply.error.domain == platform::NSNetServicesErrorDomain ? reply.error.code
                                                                             : NSNetServicesUnknownError;
        return false;
    }

    void add(int64_t id, const std::shared_ptr<NSNetService>& s) {
        std::lock_guard lock(m_mutex);
        m_services[id] = s;
    }
    void add(int64_t id, const std::shared_ptr<NSNetServiceBrowser>& b) {
        std::lock_guard lock(m_mutex);
        m_browsers[id] = b;
    }
    void forget(int64_t id) {
        std::lock_guard lock(m_mutex);
        m_services.erase(id);
        m_browsers.erase(id);
    }
    // Requests of an object being destroyed, sent from the request queue: the last reference
    // may go on the connection's reader thread, which must never wait for a reply.
    void requestLater(std::vector<std::pair<std::string_view, cf::Value>> requests) {
        std::shared_ptr<ipc::Connection> c;
        {
            std::lock_guard lock(m_mutex);
            c = m_connection.lock();
        }
        if (!c || !c->isConnected() || requests.empty()) return;
        dispatch::dispatch_async(m_queue, [c, requests = std::move(requests)] {
            for (const auto& [op, args] : requests)
                c->request(op, args);
        });
    }
    // Work that waits for platformd off the caller's thread, in the order it was queued.
    void later(dispatch::dispatch_block_t block) { dispatch::dispatch_async(m_queue, std::move(block)); }

  private:
    void browseEvent(const cf::Value& body) {
        const cf::Value* id = body.find("browse");
        if (!id || !id->isNumber()) return;
        std::shared_ptr<NSNetServiceBrowser> browser;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_browsers.find(id->integerValue());
            if (it != m_browsers.end()) browser = it->second.lock();
        }
        if (browser) browser->batch(body);
    }
    void serviceEvent(const cf::Value& body, std::string_view key) {
        const cf::Value* id = body.find(key);
        if (!id || !id->isNumber()) return;
        std::shared_ptr<NSNetService> service;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_services.find(id->integerValue());
            if (it != m_services.end()) service = it->second.lock();
        }
        if (!service) return;
        if (key == "resolve")
            service->resolved(body);
        else
            service->txtUpdated(body);
    }

    std::mutex m_mutex;
    dispatch::dispatch_queue_t m_queue =
        dispatch::dispatch_queue_create("platform.bonjour.requests", dispatch::DISPATCH_QUEUE_SERIAL);
    std::weak_ptr<ipc::Connection> m_connection;
    std::map<int64_t, std::weak_ptr<NSNetService>> m_services;
    std::map<int64_t, std::weak_ptr<NSNetServiceBrowser>> m_browsers;
};

// ---- Run-loop targets

void RunLoopTarget::scheduleInRunLoop(std::shared_ptr<NSRunLoop> loop, std::string_view mode) {
    std::lock_guard lock(m_mutex);
    m_loop = std::move(loop);
    m_mode = std::string(mode);
}

void RunLoopTarget::removeFromRunLoop(const std::shared_ptr<NSRunLoop>& loop, std::string_view mode) {
    std::lock_guard lock(m_mutex);
    if (m_loop == loop && m_mode == mode) m_loop = nullptr;
}

void RunLoopTarget::deliver(std::function<void()> block) {
    std::shared_ptr<NSRunLoop> loop;
    std::string mode;
    {
        std::lock_guard lock(m_mutex);
        loop = m_loop;
        mode = m_mode;
    }
    if (!loop) {
        loop = NSRunLoop::mainRunLoop();
        mode = std::string(NSDefaultRunLoopMode);
    }
    loop->performInModes({mode}, std::move(block));
}

// ---- Services

NSNetService::NSNetService(std::string domain, std::string type, std::string name, int port)
    : m_domain(domain.empty() ? kDomain : std::move(domain)), m_type(std::move(type)),
      m_name(std::move(name)), m_id(g_nextId++), m_port(port) {}

std::shared_ptr<NSNetService> NSNetService::create(std::string domain, std::string type, std::string name,
                                                   int port) {
    auto s = std::make_shared<NSNetService>(std::move(domain), std::move(type), std::move(name), port);
    BonjourClient::shared().add(s->m_id, s);
    return s;
}

NSNetService::~NSNetService() {
    auto& client = BonjourClient::shared();
    client.forget(m_id);
    std::vector<std::pair<std::string_view, cf::Value>> requests;
    if (m_published)
        requests.emplace_back(
            ipc::op::bonjourUnpublish,
            cf::Dictionary{{"services", cf::Array{cf::Dictionary{{"name", m_name}, {"type", m_type}}}}});
    if (m_resolving) requests.emplace_back(ipc::op::bonjourStopResolve, cf::Dictionary{{"resolve", m_id}});
    if (m_monitoring)
        requests.emplace_back(
            ipc::op::bonjourMonitor,
            cf::Dictionary{{"monitor", m_id}, {"name", m_name}, {"type", m_type}, {"on", false}});
    client.requestLater(std::move(requests));
}

std::optional<std::string> NSNetService::hostName() const {
    std::lock_guard lock(m_mutex);
    return m_hostName;
}

int NSNetService::port() const {
    std::lock_guard lock(m_mutex);
    return m_port;
}

std::vector<cf::Bytes> NSNetService::addresses() const {
    auto host = hostName();
    if (!host) return {};
    const int port = this->port();
    sockaddr_in v4{};
    if (::inet_pton(AF_INET, host->c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
        return {cf::Bytes(reinterpret_cast<uint8_t*>(&v4), reinterpret_cast<uint8_t*>(&v4) + sizeof v4)};
    }
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET6, host->c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        return {cf::Bytes(reinterpret_cast<uint8_t*>(&v6), reinterpret_cast<uint8_t*>(&v6) + sizeof v6)};
    }
    return {};
}

void NSNetService::setDelegate(std::weak_ptr<NSNetServiceDelegate> delegate) {
    std::lock_guard lock(m_mutex);
    m_delegate = std::move(delegate);
}

std::shared_ptr<NSNetServiceDelegate> NSNetService::delegate() const {
    std::lock_guard lock(m_mutex);
    return m_delegate.lock();
}

void NSNetService::setHostAddress(std::string address) {
    std::lock_guard lock(m_mutex);
    m_hostAddress = std::move(address);
}

void NSNetService::notify(
    std::function<void(NSNetServiceDelegate&, const std::shared_ptr<NSNetService>&)> call) {
    m_target.deliver([weak = weak_from_this(), call = std::move(call)] {
        auto self = weak.lock();
        if (!self) return;
        if (auto d = self->delegate()) call(*d, self);
    });
}

void NSNetService::publish() {
    cf::Dictionary entry;
    {
        std::lock_guard lock(m_mutex);
        entry = cf::Dictionary{{"name", m_name},
                               {"type", m_type},
                               {"domain", m_domain},
                               {"port", static_cast<int64_t>(m_port)},
                               {"host", m_hostAddress}};
        if (m_txt) entry.insert_or_assign("txt", cf::Value(*m_txt));
    }
    int64_t code = 0;
    if (!BonjourClient::shared().request(ipc::op::bonjourPublish,
                                         cf::Dictionary{{"services", cf::Array{entry}}}, &code)) {
        {
            std::lock_guard lock(m_mutex);
            m_publishError = code;
        }
        notify([code](NSNetServiceDelegate& d, const std::shared_ptr<NSNetService>& s) {
            d.didNotPublish(s, errorDict(code));
        });
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_published = true;
        m_publishError.reset();
    }
    notify(
        [](NSNetServiceDelegate& d, const std::shared_ptr<NSNetService>& s) { d.netServiceDidPublish(s); });
}

std::optional<int64_t> NSNetService::publishError() const {
    std::lock_guard lock(m_mutex);
    return m_publishError;
}

bool NSNetService::setTXTRecordData(const cf::Bytes& data) {
    if (!dictionaryFromTXTRecordData(data)) return false;
    bool published;
    {
        std::lock_guard lock(m_mutex);
        m_txt = data;
        published = m_published;
    }
    if (!published) return true;
    return BonjourClient::shared().request(
        ipc::op::bonjourSetTXT, cf::Dictionary{{"name", m_name}, {"type", m_type}, {"txt", cf::Value(data)}});
}

std::optional<cf::Bytes> NSNetService::TXTRecordData() const {
    std::lock_guard lock(m_mutex);
    return m_txt;
}

// A resolve is asked for from the request queue, not by a round trip on the caller's thread: a
// browser re-resolves every service still unresolved at each find, and hundreds of services
// would make each find hundreds of round trips on the main thread. A resolve asked again before
// the queued request went out is that request: sent later, it restarts the resolve just the same.
void NSNetService::resolveWithTimeout(double seconds) {
    {
        std::lock_guard lock(m_mutex);
        // A success the delegate has yet to hear answers this resolve too: one outcome.
        if (m_resolvedUndelivered) return;
        m_resolving = true;
        m_resolveTimeout = std::isfinite(seconds) && seconds > 0 ? seconds : 5.0;
        if (m_resolveQueued) return;
        m_resolveQueued = true;
    }
    BonjourClient::shared().later([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        double timeout;
        {
            std::lock_guard lock(self->m_mutex);
            self->m_resolveQueued = false;
            if (!self->m_resolving) return; // stopped before it went out
            timeout = self->m_resolveTimeout;
        }
        int64_t code = 0;
        if (BonjourClient::shared().request(ipc::op::bonjourResolve,
                                            cf::Dictionary{{"resolve", self->m_id},
                                                           {"name", self->m_name},
                                                           {"type", self->m_type},
                                                           {"timeout", timeout}},
                                            &code))
            return;
        {
            std::lock_guard lock(self->m_mutex);
            self->m_resolving = false;
        }
        self->notify([code](NSNetServiceDelegate& d, const std::shared_ptr<NSNetService>& s) {
            d.didNotResolve(s, errorDict(code));
        });
    });
}

void NSNetService::resolved(const cf::Value& body) {
    const cf::Value* ok = body.find("ok");
    if (!ok || !ok->asBool()) return;
    {
        std::lock_guard lock(m_mutex);
        if (!m_resolving) return; // stopped while its stop was still queued
    }
    if (!*ok->asBool()) {
        const int64_t code =
            body.objectForKey("code").value_or(int64_t{NSNetServicesUnknownError}).integerValue();
        {
            std::lock_guard lock(m_mutex);
            m_resolving = false;
        }
        notify([code](NSNetServiceDelegate& d, const std::shared_ptr<NSNetService>& s) {
            d.didNotResolve(s, errorDict(code));
        });
        return;
    }
    const cf::Value* host = body.find("host");
    const cf::Value* port = body.find("port");
    const cf::Value* txt = body.find("txt");
    if (!host || !host->asString() || !port || !port->isNumber()) return;
    {
        std::lock_guard lock(m_mutex);
        m_resolving = false;
        m_hostName = *host->asString();
        m_port = static_cast<int>(port->integerValue());
        if (txt && txt->asData()) m_txt = *txt->asData();
        m_resolvedUndelivered = true;
    }
    m_target.deliver([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->m_mutex);
            self->m_resolvedUndelivered = false;
        }
        if (auto d = self->delegate()) d->netServiceDidResolveAddress(self);
    });
}

void NSNetService::setResolvedAddressForTesting(std::string hostName, int port) {
    std::lock_guard lock(m_mutex);
    m_hostName = std::move(hostName);
    m_port = port;
}

void NSNetService::startMonitoring() {
    {
        std::lock_guard lock(m_mutex);
        if (m_monitoring) return;
        m_monitoring = true;
    }
    BonjourClient::shared().request(
        ipc::op::bonjourMonitor,
        cf::Dictionary{{"monitor", m_id}, {"name", m_name}, {"type", m_type}, {"on", true}});
}

void NSNetService::stopMonitoring() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_monitoring) return;
        m_monitoring = false;
    }
    BonjourClient::shared().request(
        ipc::op::bonjourMonitor,
        cf::Dictionary{{"monitor", m_id}, {"name", m_name}, {"type", m_type}, {"on", false}});
}

void NSNetService::txtUpdated(const cf::Value& body) {
    const cf::Value* txt = body.find("txt");
    if (!txt || !txt->asData()) return;
    cf::Bytes data = *txt->asData();
    {
        std::lock_guard lock(m_mutex);
        if (!m_monitoring) return;
        m_txt = data;
    }
    notify([data](NSNetServiceDelegate& d, const std::shared_ptr<NSNetService>& s) {
        d.didUpdateTXTRecordData(s, data);
    });
}

void NSNetService::stop() {
    bool published, resolving;
    {
        std::lock_guard lock(m_mutex);
        published = m_published;
        resolving = m_resolving;
        m_published = m_resolving = false;
    }
    if (published)
        BonjourClient::shared().request(
            ipc::op::bonjourUnpublish,
            cf::Dictionary{{"services", cf::Array{cf::Dictionary{{"name", m_name}, {"type", m_type}}}}});
    if (resolving) // after a resolve still queued, which then stays unsent
        BonjourClient::shared().later([id = m_id] {
            BonjourClient::shared().request(ipc::op::bonjourStopResolve, cf::Dictionary{{"resolve", id}});
        });
    if (published || resolving)
        notify(
            [](NSNetServiceDelegate& d, const std::shared_ptr<NSNetService>& s) { d.netServiceDidStop(s); });
}

std::optional<cf::Value> NSNetService::dictionaryFromTXTRecordData(const cf::Bytes& data) {
    return ns::dictionaryFromTXTRecordData(data);
}

std::optional<cf::Bytes> NSNetService::dataFromTXTRecordDictionary(const cf::Value& dictionary) {
    return ns::dataFromTXTRecordDictionary(dictionary);
}

// ---- Browsers

NSNetServiceBrowser::NSNetServiceBrowser() : m_id(g_nextId++) {}

std::shared_ptr<NSNetServiceBrowser> NSNetServiceBrowser::create() {
    auto b = std::make_shared<NSNetServiceBrowser>();
    BonjourClient::shared().add(b->m_id, b);
    return b;
}

NSNetServiceBrowser::~NSNetServiceBrowser() {
    auto& client = BonjourClient::shared();
    client.forget(m_id);
    if (m_searching) client.requestLater({{ipc::op::bonjourStopBrowse, cf::Dictionary{{"browse", m_id}}}});
}

void NSNetServiceBrowser::setDelegate(std::weak_ptr<NSNetServiceBrowserDelegate> delegate) {
    std::lock_guard lock(m_mutex);
    m_delegate = std::move(delegate);
}

std::shared_ptr<NSNetServiceBrowserDelegate> NSNetServiceBrowser::delegate() const {
    std::lock_guard lock(m_mutex);
    return m_delegate.lock();
}

void NSNetServiceBrowser::searchForServicesOfType(const std::string& type, const std::string& domain) {
    auto notifyFailure = [this](int64_t code) {
        m_target.deliver([weak = weak_from_this(), code] {
            auto self = weak.lock();
            if (!self) return;
            auto d = self->delegate();
            if (d) d->didNotSearch(self, errorDict(code));
        });
    };
    if (!domain.empty() && domain != kDomain) return notifyFailure(NSNetServicesBadArgumentError);
    {
        std::lock_guard lock(m_mutex);
        if (m_searching) return notifyFailure(NSNetServicesActivityInProgress);
        m_searching = true;
    }
    int64_t code = 0;
    if (!BonjourClient::shared().request(ipc::op::bonjourBrowse,
                                         cf::Dictionary{{"browse", m_id}, {"type", type}}, &code)) {
        {
            std::lock_guard lock(m_mutex);
            m_searching = false;
        }
        notifyFailure(code);
    }
}

void NSNetServiceBrowser::stop() {
    std::map<std::pair<std::string, std::string>, std::shared_ptr<NSNetService>> found; // released unlocked
    {
        std::lock_guard lock(m_mutex);
        if (!m_searching) return;
        m_searching = false;
        found.swap(m_found);
    }
    BonjourClient::shared().request(ipc::op::bonjourStopBrowse, cf::Dictionary{{"browse", m_id}});
    m_target.deliver([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        auto d = self->delegate();
        if (d) d->netServiceBrowserDidStopSearch(self);
    });
}

// One batch from platformd: the services are made (or, for a removal, taken back) now, in
// order, and handed to the delegate together on the run loop, all but the last with
// moreComing.
void NSNetServiceBrowser::batch(const cf::Value& body) {
    const cf::Value* removed = body.find("removed");
    const cf::Value* services = body.find("services");
    if (!removed || !removed->asBool() || !services || !services->isArray()) return;
    const bool isRemoval = *removed->asBool();
    std::vector<std::shared_ptr<NSNetService>> batch;
    {
        std::lock_guard lock(m_mutex);
        if (!m_searching) return;
        for (size_t i = 0; i < services->count(); ++i) {
            const cf::Value& entry = *services->at(i);
            const cf::Value* name = entry.find("name");
            const cf::Value* type = entry.find("type");
            if (!name || !name->asString() || !type || !type->asString()) continue;
            auto key = std::make_pair(*type->asString(), *name->asString());
            auto it = m_found.find(key);
            std::shared_ptr<NSNetService> service;
            if (isRemoval) {
                if (it == m_found.end()) continue;
                service = it->second;
                m_found.erase(it);
            } else {
                service =
                    it != m_found.end() ? it->second : NSNetService::create(kDomain, key.first, key.second);
                m_found[key] = service;
            }
            batch.push_back(service);
        }
    }
    if (batch.empty()) return;
    m_target.deliver([weak = weak_from_this(), batch = std::move(batch), isRemoval] {
        auto self = weak.lock();
        if (!self) return;
        for (size_t i = 0; i < batch.size(); ++i) {
            auto d = self->delegate();
            if (!d) return;
            const bool moreComing = i + 1 < batch.size();
            if (isRemoval)
                d->didRemoveService(self, batch[i], moreComing);
            else
                d->didFindService(self, batch[i], moreComing);
        }
    });
}

} // namespace ns
