#include "platform/coregraphics/WindowServerClient.h"

#include "platform/core/Log.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/coregraphics/CGRemoteOperation.h"
#include "platform/coregraphics/MappingSeedPage.h"
#include "platform/coregraphics/WindowServerTransport.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace cg {

namespace {

// platformd's socket: the process's one connection; pushes arrive on its reader thread.
class SocketTransport : public WindowServerTransport {
  public:
    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        return requestWithDescriptors(op, args, nullptr);
    }

    std::optional<cf::Value> requestWithDescriptors(std::string_view op, const cf::Value& args,
                                                    std::vector<ipc::UniqueFd>* fds) override {
        auto connection = ipc::Connection::shared();
        if (!connection) return std::nullopt;
        attach(connection);
        ipc::Reply reply = connection->request(op, args);
        if (!reply.ok) {
            platform::log("coregraphics: %@ refused: %@", op, reply.error);
            return std::nullopt;
        }
        if (fds) *fds = std::move(reply.fds);
        return reply.result ? *reply.result : cf::Value::emptyDictionary();
    }

    void setPushHandler(PushHandler handler) override {
        std::lock_guard lock(m_mutex);
        m_handler = std::make_shared<PushHandler>(std::move(handler));
        m_attached.reset();
    }

    std::optional<uint32_t> publishedMappingSeed() override {
        auto page = seedPage();
        if (!page) return std::nullopt;
        return page->seed();
    }

    std::optional<uint64_t> publishedCursorSeed() override {
        auto page = seedPage();
        if (!page || page->cursorSeed() == 0) return std::nullopt;
        return page->cursorSeed();
    }

  private:
    // The page is asked for once per connection to platformd; one refused (or hostile) leaves
    // that connection to the seed request (and the cursor loop to the driver).
    std::shared_ptr<const MappingSeedPage> seedPage() {
        auto connection = ipc::Connection::shared();
        if (!connection) return nullptr;
        std::lock_guard lock(m_pageMutex);
        if (m_pageOf.lock() != connection) {
            m_pageOf = connection;
            m_page = nullptr;
            ipc::Reply reply = connection->request(windowserver::op::seedPage);
            if (!reply.ok)
                platform::log("coregraphics: no display-mapping seed page: %@", reply.error);
            else if (reply.fds.size() != 1)
                platform::log("coregraphics: refused a display-mapping seed page answer with %zu descriptors",
                              reply.fds.size());
            else
                m_page = MappingSeedPage::adopt(reply.fds.front().get());
        }
        return m_page;
    }

    void attach(const std::shared_ptr<ipc::Connection>& connection) {
        std::lock_guard lock(m_mutex);
        if (m_attached.lock() == connection) return;
        m_attached = connection;
        auto handler = m_handler;
        connection->setEventHandler(windowserver::topic::windowServer, [handler](ipc::Event& event) {
            if (handler && *handler) (*handler)(event.body);
        });
    }

    std::mutex m_mutex;
    std::shared_ptr<PushHandler> m_handler;
    std::weak_ptr<ipc::Connection> m_attached;
    std::mutex m_pageMutex;
    std::weak_ptr<ipc::Connection> m_pageOf; // the connection m_page came from (or was refused by)
    std::shared_ptr<const MappingSeedPage> m_page;
};

template <typename Callback> struct Registration {
    Callback callback;
    void* info;
    bool operator==(const Registration&) const = default;
};

struct State {
    std::mutex mutex;
    std::shared_ptr<WindowServerTransport> transport;
    std::vector<Registration<CGDisplayReconfigurationCallBack>> reconfiguration;
    std::vector<Registration<CGScreenRefreshCallback>> refresh;
    std::map<std::string, std::function<void(const cf::Value&)>, std::less<>> consumers;
};

State& state() {
    // Never destroyed: pushes may arrive while the process exits.
    static State* s = new State;
    return *s;
}

void deliverPush(const cf::Value& body);

std::shared_ptr<WindowServerTransport> transport() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.transport) {
        s.transport = std::make_shared<SocketTransport>();
        s.transport->setPushHandler(deliverPush);
    }
    return s.transport;
}

void onMainRunLoop(std::function<void()> block) {
    dispatch::RunLoop::main()->perform({std::string(dispatch::kCommonRunLoopModes)}, std::move(block));
}

void deliverReconfiguration(const cf::Value& body) {
    auto pass = detail::integerAt(body, "pass");
    const cf::Value* changes = body.find("changes");
    if (!pass || !changes || !changes->isArray()) return;
    std::vector<std::pair<CGDirectDisplayID, CGDisplayChangeSummaryFlags>> list;
    for (size_t i = 0; i < changes->count(); ++i) {
        auto display = detail::integerAt(*changes->at(i), "display");
        auto flags = detail::integerAt(*changes->at(i), "flags");
        if (display && flags) list.emplace_back(uint32_t(*display), uint32_t(*flags));
    }
    onMainRunLoop([list] {
        State& s = state();
        for (auto [display, flags] : list) {
            std::vector<Registration<CGDisplayReconfigurationCallBack>> copy;
            {
                std::lock_guard lock(s.mutex);
                copy = s.reconfiguration;
            }
            for (auto& r : copy) {
                {
                    // A pair removed by an earlier callback hears nothing more.
                    std::lock_guard lock(s.mutex);
                    if (std::find(s.reconfiguration.begin(), s.reconfiguration.end(), r) ==
                        s.reconfiguration.end())
                        continue;
                }
                r.callback(display, flags, r.info);
            }
        }
    });
}

void deliverRefresh(const cf::Value& body) {
    const cf::Value* rects = body.find("rects");
    std::vector<CGRect> list;
    for (size_t i = 0; rects && i < rects->count(); ++i) {
        const cf::Value* r = rects->at(i);
        if (!r || r->count() != 4) continue;
        list.push_back(CGRectMake(r->at(0)->doubleValue(), r->at(1)->doubleValue(), r->at(2)->doubleValue(),
                                  r->at(3)->doubleValue()));
    }
    onMainRunLoop([list] {
        State& s = state();
        std::vector<Registration<CGScreenRefreshCallback>> copy;
        {
            std::lock_guard lock(s.mutex);
            copy = s.refresh;
        }
        for (auto& r : copy) {
            {
                std::lock_guard lock(s.mutex);
                if (std::find(s.refresh.begin(), s.refresh.end(), r) == s.refresh.end()) continue;
            }
            r.callback(uint32_t(list.size()), list.data(), r.info);
        }
        detail::wsRequest(windowserver::op::refreshAcknowledge);
    });
}

void deliverPush(const cf::Value& body) {
    const cf::Value* kind = body.find("kind");
    if (!kind || !kind->asString()) return;
    const std::string& k = *kind->asString();
    if (k == windowserver::push::reconfiguration) return deliverReconfiguration(body);
    if (k == windowserver::push::refresh) return deliverRefresh(body);
    std::function<void(const cf::Value&)> consumer;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.consumers.find(k);
        if (it != s.consumers.end()) consumer = it->second;
    }
    if (consumer) consumer(body);
}

void subscribe(std::string_view what, bool on) {
    detail::wsRequest(windowserver::op::subscribe, cf::Dictionary{{std::string(what), on}});
}

} // namespace

void CGSSetWindowServerTransport(std::shared_ptr<WindowServerTransport> transport) {
    State& s = state();
    bool reconfiguration, refresh;
    {
        std::lock_guard lock(s.mutex);
        if (s.transport) s.transport->setPushHandler(nullptr);
        s.transport = std::move(transport);
        if (s.transport) s.transport->setPushHandler(deliverPush);
        reconfiguration = !s.reconfiguration.empty();
        refresh = !s.refresh.empty();
    }
    // The new window server learns what this process listens to.
    if (reconfiguration) subscribe("reconfiguration", true);
    if (refresh) subscribe("refresh", true);
}

std::shared_ptr<WindowServerTransport> CGSCurrentWindowServerTransport() {
    return transport();
}

namespace {

// Adds or removes a (callback, info) pair; the window server hears when the first pair comes
// and the last one goes.
template <typename Callback>
void changeRegistration(std::vector<Registration<Callback>> State::*list, std::string_view what,
                        Registration<Callback> r, bool add) {
    State& s = state();
    bool subscribeNow = false, unsubscribeNow = false;
    {
        std::lock_guard lock(s.mutex);
        auto& registrations = s.*list;
        auto it = std::find(registrations.begin(), registrations.end(), r);
        if (add && it == registrations.end()) {
            subscribeNow = registrations.empty();
            registrations.push_back(r);
        } else if (!add && it != registrations.end()) {
            registrations.erase(it);
            unsubscribeNow = registrations.empty();
        }
    }
    if (subscribeNow || unsubscribeNow) subscribe(what, subscribeNow);
}

} // namespace

CGError CGDisplayRegisterReconfigurationCallback(CGDisplayReconfigurationCallBack callback, void* userInfo) {
    if (!callback) return kCGErrorIllegalArgument;
    changeRegistration(&State::reconfiguration, "reconfiguration", {callback, userInfo}, true);
    return kCGErrorSuccess;
}

CGError CGDisplayRemoveReconfigurationCallback(CGDisplayReconfigurationCallBack callback, void* userInfo) {
    changeRegistration(&State::reconfiguration, "reconfiguration", {callback, userInfo}, false);
    return kCGErrorSuccess;
}

CGError CGRegisterScreenRefreshCallback(CGScreenRefreshCallback callback, void* userInfo) {
    if (!callback) return kCGErrorIllegalArgument;
    changeRegistration(&State::refresh, "refresh", {callback, userInfo}, true);
    return kCGErrorSuccess;
}

void CGUnregisterScreenRefreshCallback(CGScreenRefreshCallback callback, void* userInfo) {
    changeRegistration(&State::refresh, "refresh", {callback, userInfo}, false);
}

namespace detail {

std::optional<uint32_t> wsPublishedMappingSeed() {
    auto t = transport();
    return t ? t->publishedMappingSeed() : std::nullopt;
}

std::optional<uint64_t> wsPublishedCursorSeed() {
    auto t = transport();
    return t ? t->publishedCursorSeed() : std::nullopt;
}

std::optional<cf::Value> wsRequest(std::string_view op, const cf::Value& args) {
    auto t = transport();
    if (!t) return std::nullopt;
    auto result = t->request(op, args);
    if (result && !result->isDictionary()) return std::nullopt;
    return result;
}

std::optional<cf::Value> wsRequestWithDescriptors(std::string_view op, const cf::Value& args,
                                                  std::vector<ipc::UniqueFd>* fds) {
    auto t = transport();
    if (!t) return std::nullopt;
    auto result = t->requestWithDescriptors(op, args, fds);
    if (result && !result->isDictionary()) return std::nullopt;
    return result;
}

CGError wsStatus(std::string_view op, const cf::Value& args) {
    auto result = wsRequest(op, args);
    if (!result) return kCGErrorInvalidConnection;
    auto status = integerAt(*result, "status");
    return status ? CGError(*status) : kCGErrorFailure;
}

std::optional<int64_t> integerAt(const cf::Value& dictionary, std::string_view key) {
    const cf::Value* v = dictionary.find(key);
    if (!v || !v->isNumber()) return std::nullopt;
    if (auto i = v->storedInteger()) return i;
    double d = v->doubleValue();
    if (!(d >= -9.2e18 && d <= 9.2e18)) return std::nullopt;
    return int64_t(d);
}

bool isFinite(const CGRect& r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

std::optional<double> realAt(const cf::Value& dictionary, std::string_view key) {
    const cf::Value* v = dictionary.find(key);
    if (!v || !v->isNumber()) return std::nullopt;
    return v->doubleValue();
}

void setPushConsumer(std::string_view kind, std::function<void(const cf::Value& body)> consumer) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.consumers.insert_or_assign(std::string(kind), std::move(consumer));
}

} // namespace detail

} // namespace cg
