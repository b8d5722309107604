#include "platform/foundation/NSNotificationCenter.h"

#include <algorithm>
#include <atomic>

namespace ns {

struct NSNotificationCenter::Registration {
    const void* observer = nullptr; // null for block observations
    std::optional<std::string> name;
    const void* object = nullptr;
    Block block;
    std::function<bool()> gone; // the weak observer has been destroyed
    std::atomic<bool> removed{false};

    bool matches(const NSNotification& n) const {
        return (!name || *name == n.name) && (!object || object == n.objectIdentity());
    }
};

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
    static auto* center = new NSNotificationCenter();
    return *center;
}

NSNotificationCenter::ObserverToken NSNotificationCenter::add(const void* observer,
                                                              std::optional<std::string> name,
                                                              const void* object, Block block,
                                                              std::function<bool()> gone) {
    auto registration = std::make_shared<Registration>();
    registration->observer = observer;
    registration->name = std::move(name);
    registration->object = object;
    registration->block = std::move(block);
    registration->gone = std::move(gone);
    std::lock_guard lock(m_mutex);
    m_registrations.push_back(registration);
    return registration;
}

NSNotificationCenter::ObserverToken
NSNotificationCenter::addObserverForName(std::optional<std::string> name, const void* object, Block block) {
    return add(nullptr, std::move(name), object, std::move(block), nullptr);
}

void NSNotificationCenter::removeObserver(const ObserverToken& token) {
    if (!token) return;
    token->removed = true;
    std::lock_guard lock(m_mutex);
    std::erase(m_registrations, token);
}

void NSNotificationCenter::removeObserver(const void* observer) {
    if (!observer) return;
    std::lock_guard lock(m_mutex);
    std::erase_if(m_registrations, [&](const ObserverToken& r) {
        if (r->observer != observer) return false;
        r->removed = true;
        return true;
    });
}

void NSNotificationCenter::removeObserver(const void* observer, std::optional<std::string> name,
                                          const void* object) {
    if (!observer) return;
    std::lock_guard lock(m_mutex);
    std::erase_if(m_registrations, [&](const ObserverToken& r) {
        if (r->observer != observer || (name && r->name != name) || (object && r->object != object))
            return false;
        r->removed = true;
        return true;
    });
}

void NSNotificationCenter::prune() {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_registrations, [](const ObserverToken& r) {
        if (!r->gone || !r->gone()) return false;
        r->removed = true;
        return true;
    });
}

void NSNotificationCenter::postNotification(const NSNotification& notification) {
    std::vector<ObserverToken> snapshot;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& r : m_registrations) {
            if (r->matches(notification)) snapshot.push_back(r);
        }
    }
    bool sawGone = false;
    for (const auto& r : snapshot) {
        if (r->removed) continue;
        if (r->gone && r->gone()) {
            sawGone = true;
            continue;
        }
        r->block(notification);
    }
    if (sawGone) prune();
}

void NSNotificationCenter::postNotificationName(std::string name, std::shared_ptr<void> object,
                                                std::optional<cf::Value> userInfo) {
    postNotification(NSNotification{std::move(name), std::move(object), std::move(userInfo)});
}

size_t NSNotificationCenter::observationCount() const {
    std::lock_guard lock(m_mutex);
    return m_registrations.size();
}

} // namespace ns
