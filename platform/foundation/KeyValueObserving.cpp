// Key-value observing of ns::NSObject: weak observers per key, will/did brackets that notify
// once at the outermost did-change, and dependent keys notified with their source.
#include "platform/core/Log.h"
#include "platform/foundation/NSObject.h"

namespace ns {

struct NSObject::Observation {
    std::string key;     // the first key of keyPath: what is observed on this object
    std::string keyPath; // what the observer is told about
    std::weak_ptr<NSObject> observer;
    const NSObject* identity; // to find the registration again, alive or not
    NSUInteger options;
    void* context;
};

struct NSObject::Bracket {
    int depth = 0;
    Id oldValue; // from the outermost will-change
};

NSObject::NSObject() = default;

NSObject::~NSObject() {
    unbindAll();
}

void NSObject::observeValueForKeyPath(const std::string&, NSObject*, const NSKeyValueChangeInfo&, void*) {}

void NSObject::addObserver(const std::shared_ptr<NSObject>& observer, std::string_view keyPath,
                           NSUInteger options, void* context) {
    std::string key(keyPath.substr(0, keyPath.find('.')));
    if (!observer || !keyTable().entry(key)) {
        platform::log("%@: cannot observe key path %@ %@", description(), keyPath,
                      observer ? "(unknown key)" : "with a nil observer");
        return;
    }
    {
        std::lock_guard lock(m_kvoMutex);
        m_observations.push_back({key, std::string(keyPath), observer, observer.get(), options, context});
    }
    if (options & NSKeyValueObservingOptionInitial) {
        NSKeyValueChangeInfo change;
        if (options & NSKeyValueObservingOptionNew) change.newValue = rawValueForKeyPath(keyPath);
        observer->observeValueForKeyPath(std::string(keyPath), this, change, context);
    }
}

void NSObject::removeObserver(const NSObject* observer, std::string_view keyPath) {
    std::lock_guard lock(m_kvoMutex);
    for (auto it = m_observations.begin(); it != m_observations.end(); ++it)
        if (it->identity == observer && it->keyPath == keyPath) {
            m_observations.erase(it);
            return;
        }
    platform::log("%@: cannot remove an observer %p for the key path %@ because it is not registered",
                  description(), static_cast<const void*>(observer), keyPath);
}

bool NSObject::hasObservers(std::string_view key) const {
    std::lock_guard lock(m_kvoMutex);
    for (const Observation& o : m_observations)
        if (o.key == key) return true;
    return false;
}

void NSObject::willChangeValueForKey(std::string_view key) {
    {
        std::lock_guard lock(m_kvoMutex);
        if (m_brackets[std::string(key)].depth++ > 0) return;
    }
    Id oldValue = hasObservers(key) ? rawValueForKey(key) : Id();
    {
        std::lock_guard lock(m_kvoMutex);
        // Another thread's did-change may have closed the bracket meanwhile.
        if (auto it = m_brackets.find(key); it != m_brackets.end()) it->second.oldValue = std::move(oldValue);
    }
    for (const std::string& dependent : keyTable().keysAffectedBy(key))
        willChangeValueForKey(dependent);
}

void NSObject::didChangeValueForKey(std::string_view key) {
    Id oldValue;
    {
        std::lock_guard lock(m_kvoMutex);
        auto it = m_brackets.find(key);
        if (it == m_brackets.end()) {
            platform::log("%@: did-change of the key %@ without a will-change", description(), key);
            return;
        }
        if (--it->second.depth > 0) return;
        oldValue = std::move(it->second.oldValue);
        m_brackets.erase(it);
    }
    std::string name(key);
    notify(name, oldValue);
    for (const std::string& dependent : keyTable().keysAffectedBy(key))
        didChangeValueForKey(dependent);
}

void NSObject::notify(const std::string& key, const Id& oldValue) {
    std::vector<Observation> observations;
    {
        std::lock_guard lock(m_kvoMutex);
        std::erase_if(m_observations, [](const Observation& o) { return o.observer.expired(); });
        for (const Observation& o : m_observations)
            if (o.key == key) observations.push_back(o);
    }
    for (const Observation& o : observations) {
        auto observer = o.observer.lock();
        if (!observer) continue;
        NSKeyValueChangeInfo change;
        bool whole = o.keyPath == key;
        if (o.options & NSKeyValueObservingOptionNew) change.newValue = rawValueForKeyPath(o.keyPath);
        if (o.options & NSKeyValueObservingOptionOld) {
            auto object = oldValue.object();
            change.oldValue =
                whole    ? oldValue
                : object ? object->rawValueForKeyPath(std::string_view(o.keyPath).substr(key.size() + 1))
                         : Id();
        }
        observer->observeValueForKeyPath(o.keyPath, this, change, o.context);
    }
}

} // namespace ns
