// Bindings of ns::NSObject. A binding pushes the observed value into the receiver's key when
// made and at every later did-change; user acts write back. While a binding pushes or writes
// back it is busy, and a change reaching it then is dropped, so a push that ends in a model
// setter, or a write-back, never comes back round into the same binding.
#include "platform/core/Log.h"
#include "platform/foundation/NSObject.h"

#include <algorithm>

namespace ns {

struct NSObject::Binding {
    std::string name;
    std::weak_ptr<NSObject> observed;
    std::string keyPath;
    cf::Dictionary options; // stored, never applied
    bool busy = false;
    std::shared_ptr<BindingObserver> observer;
};

// Observes the bound key path for one binding; owned by that binding.
class NSObject::BindingObserver : public NSObject {
  public:
    BindingObserver(NSObject& owner, std::weak_ptr<Binding> binding)
        : m_owner(owner), m_binding(std::move(binding)) {}

    void observeValueForKeyPath(const std::string&, NSObject*, const NSKeyValueChangeInfo&, void*) override {
        auto binding = m_binding.lock();
        if (binding && !binding->busy) m_owner.pushBinding(*binding);
    }

  private:
    NSObject& m_owner;
    std::weak_ptr<Binding> m_binding;
};

void NSObject::bind(std::string_view binding, const std::shared_ptr<NSObject>& observable,
                    std::string_view keyPath, const cf::Dictionary& options) {
    if (!observable) {
        platform::log("%@: cannot bind %@ to a nil object", description(), binding);
        return;
    }
    auto exposed = exposedBindings();
    if (!keyTable().entry(binding) && std::find(exposed.begin(), exposed.end(), binding) == exposed.end()) {
        platform::log("%@: cannot bind %@: no such binding", description(), binding);
        return;
    }
    if (!observable->keyTable().entry(keyPath.substr(0, keyPath.find('.')))) {
        platform::log("%@: cannot bind %@ to %@: no key path %@", description(), binding,
                      observable->description(), keyPath);
        return;
    }
    unbind(binding);
    auto made = std::make_shared<Binding>();
    made->name = binding;
    made->observed = observable;
    made->keyPath = keyPath;
    made->options = options;
    made->observer = std::make_shared<BindingObserver>(*this, made);
    m_bindings.insert_or_assign(std::string(binding), made);
    observable->addObserver(made->observer, keyPath, 0);
    pushBinding(*made);
}

void NSObject::pushBinding(Binding& binding) {
    auto observed = binding.observed.lock();
    if (!observed) {
        platform::log("%@: the object bound to %@ is gone", description(), binding.name);
        return;
    }
    const KeyTable::Entry* entry = keyTable().entry(binding.name);
    if (!entry || !entry->setter) return; // an exposed binding without a key: its store alone
    binding.busy = true;
    Id value = observed->valueForKeyPath(binding.keyPath);
    setValueForKey(value.isNil() ? entry->zero : value, binding.name);
    binding.busy = false;
}

bool NSObject::writeBackBinding(std::string_view name, const Id& value) {
    auto it = m_bindings.find(name);
    if (it == m_bindings.end()) return false;
    std::shared_ptr<Binding> binding = it->second;
    if (binding->busy) return false;
    auto observed = binding->observed.lock();
    if (!observed) {
        platform::log("%@: the object bound to %@ is gone", description(), name);
        m_bindings.erase(it);
        return false;
    }
    binding->busy = true;
    observed->setValueForKeyPath(value, binding->keyPath);
    binding->busy = false;
    return true;
}

void NSObject::unbind(std::string_view name) {
    auto it = m_bindings.find(name);
    if (it == m_bindings.end()) return;
    std::shared_ptr<Binding> binding = it->second;
    m_bindings.erase(it);
    if (auto observed = binding->observed.lock())
        observed->removeObserver(binding->observer.get(), binding->keyPath);
}

void NSObject::unbindAll() {
    while (!m_bindings.empty())
        unbind(std::string(m_bindings.begin()->first));
}

std::optional<NSBindingInfo> NSObject::infoForBinding(std::string_view name) const {
    auto it = m_bindings.find(name);
    if (it == m_bindings.end()) return std::nullopt;
    auto observed = it->second->observed.lock();
    if (!observed) return std::nullopt; // destroying either side unbinds
    return NSBindingInfo{observed, it->second->keyPath, it->second->options};
}

} // namespace ns
