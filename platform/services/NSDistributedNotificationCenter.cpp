#include "platform/services/NSDistributedNotificationCenter.h"

#include "platform/core/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <atomic>
#include <vector>

namespace ns {

struct NSDistributedNotificationCenter::Observation {
    int64_t id = 0;
    const void* owner = nullptr;
    std::optional<std::string> name;
    std::optional<std::string> object;
    Block block;
    std::function<bool()> gone;
    std::atomic<bool> alive{true};
};

NSDistributedNotificationCenter& NSDistributedNotificationCenter::defaultCenter() {
    // Never destroyed: platformd's reader thread may deliver while the process exits.
    static NSDistributedNotificationCenter* center = new NSDistributedNotificationCenter;
    return *center;
}

void NSDistributedNotificationCenter::logUnreachableOnce(const std::string& why) {
    {
        std::lock_guard lock(m_mutex);
        if (m_loggedUnreachable) return;
        m_loggedUnreachable = true;
    }
    platform::log("NSDistributedNotificationCenter: no platformd (%s); distributed notifications are dropped",
                  why);
}

std::shared_ptr<ipc::Connection> NSDistributedNotificationCenter::connection() {
    platform::Error error;
    auto c = ipc::Connection::shared(&error);
    if (!c) {
        logUnreachableOnce(error.localizedDescription());
        return nullptr;
    }
    std::lock_guard lock(m_mutex);
    if (m_connection.lock() != c) {
        c->setEventHandler(ipc::topic::distributedNotification,
                           [this](ipc::Event& event) { deliver(event); });
        m_connection = c;
    }
    return c;
}

NSDistributedNotificationCenter::ObserverToken
NSDistributedNotificationCenter::addObserverForName(std::optional<std::string> name,
                                                    std::optional<std::string> object, Block block) {
    return add(nullptr, std::move(name), std::move(object), std::move(block), nullptr);
}

NSDistributedNotificationCenter::ObserverToken
NSDistributedNotificationCenter::add(const void* owner, std::optional<std::string> name,
                                     std::optional<std::string> object, Block block,
                                     std::function<bool()> gone) {
    auto token = std::make_shared<Observation>();
    token->owner = owner;
    token->name = std::move(name);
    token->object = std::move(object);
    token->block = std::move(block);
    token->gone = std::move(gone);
    std::vector<int64_t> expired;
    {
        std::lock_guard lock(m_mutex);
        token->id = m_nextId++;
        // Known before platformd has it, so a post handled right after the reply finds it.
        m_observations.emplace(token->id, token);
        for (auto& [id, o] : m_observations)
            if (o->gone && o->gone()) expired.push_back(id);
    }
    for (int64_t id : expired)
        forget(id);
    auto c = connection();
    if (!c) return token;
    cf::Dictionary args{{"observer", token->id}};
    if (token->name) args.insert_or_assign("name", *token->name);
    if (token->object) args.insert_or_assign("object", *token->object);
    ipc::Reply reply = c->request(ipc::op::addObserver, args);
    if (!reply.ok) platform::log("NSDistributedNotificationCenter: observer not registered: %@", reply.error);
    return token;
}

void NSDistributedNotificationCenter::forget(int64_t id) {
    ObserverToken token;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_observations.find(id);
        if (it == m_observations.end()) return;
        token = it->second;
        m_observations.erase(it);
    }
    token->alive = false;
    std::shared_ptr<ipc::Connection> c;
    {
        std::lock_guard lock(m_mutex);
        c = m_connection.lock();
    }
    if (c && c->isConnected()) c->request(ipc::op::removeObserver, cf::Dictionary{{"observer", id}});
}

void NSDistributedNotificationCenter::removeObserver(const ObserverToken& token) {
    if (token) forget(token->id);
}

void NSDistributedNotificationCenter::removeObserver(const void* observer) {
    std::vector<int64_t> ids;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [id, o] : m_observations)
            if (o->owner == observer) ids.push_back(id);
    }
    for (int64_t id : ids)
        forget(id);
}

size_t NSDistributedNotificationCenter::observationCount() const {
    std::lock_guard lock(m_mutex);
    return m_observations.size();
}

void NSDistributedNotificationCenter::postNotificationName(const std::string& name,
                                                           const std::optional<std::string>& object,
                                                           const std::optional<cf::Value>& userInfo,
                                                           NSUInteger options) {
    if (userInfo && !userInfo->isDictionary()) {
        platform::log("NSDistributedNotificationCenter: the userInfo of %s is not a dictionary; not posted",
                      name);
        return;
    }
    auto c = connection();
    if (!c) return;
    cf::Dictionary args{{"name", name}, {"options", static_cast<int64_t>(options)}};
    if (object) args.insert_or_assign("object", *object);
    if (userInfo) args.insert_or_assign("userInfo", *userInfo);
    ipc::Reply reply = c->request(ipc::op::post, args);
    if (reply.ok) return;
    if (reply.error.domain == platform::PlatformErrorDomain &&
        reply.error.code != platform::kPlatformErrorRefused)
        logUnreachableOnce(reply.error.localizedDescription());
    else
        platform::log("NSDistributedNotificationCenter: %s not posted: %@", name, reply.error);
}

void NSDistributedNotificationCenter::postNotificationName(const std::string& name,
                                                           const std::optional<std::string>& object,
                                                           const std::optional<cf::Value>& userInfo,
                                                           bool deliverImmediately) {
    postNotificationName(name, object, userInfo, deliverImmediately ? NSNotificationDeliverImmediately : 0);
}

void NSDistributedNotificationCenter::postNotificationName(const std::string& name,
                                                           const std::optional<std::string>& object) {
    postNotificationName(name, object, std::nullopt, NSUInteger(0));
}

std::optional<std::string> NSDistributedNotificationCenter::objectString(const NSNotification& notification) {
    if (!notification.object) return std::nullopt;
    return *std::static_pointer_cast<std::string>(notification.object);
}

void NSDistributedNotificationCenter::deliver(ipc::Event& event) {
    const cf::Value& body = event.body;
    const cf::Value* name = body.find("name");
    const cf::Value* observers = body.find("observers");
    const cf::Value* object = body.find("object");
    const cf::Value* userInfo = body.find("userInfo");
    if (!name || !name->asString() || !observers || !observers->isArray() ||
        (object && !object->asString()) || (userInfo && !userInfo->isDictionary())) {
        platform::log("NSDistributedNotificationCenter: a malformed notification from platformd was dropped");
        return;
    }
    NSNotification notification;
    notification.name = *name->asString();
    if (object) notification.object = std::make_shared<std::string>(*object->asString());
    if (userInfo) notification.userInfo = *userInfo;
    std::vector<ObserverToken> targets;
    {
        std::lock_guard lock(m_mutex);
        for (size_t i = 0; i < observers->count(); ++i) {
            auto it = m_observations.find(observers->at(i)->integerValue());
            if (it != m_observations.end()) targets.push_back(it->second);
        }
    }
    if (targets.empty()) return;
    // Handed to the main run loop in the default mode only: none while a modal alert or menu
    // tracking runs, and never inside the post that caused it.
    dispatch::RunLoop::main()->perform({std::string(dispatch::kDefaultRunLoopMode)},
                                       [targets = std::move(targets), notification] {
                                           for (const auto& t : targets) {
                                               if (!t->alive || (t->gone && t->gone())) continue;
                                               t->block(notification);
                                           }
                                       });
}

} // namespace ns
