#include "platform/appkit/NSNib.h"

#include "platform/core/Log.h"

#include <map>
#include <mutex>

namespace appkit {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, NSNib::Builder, std::less<>> builders;
};

// Function-local, so registrars in other files' static objects find it built.
Registry& registry() {
    static Registry instance;
    return instance;
}

} // namespace

void NSNib::registerNib(std::string name, Builder builder) {
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    if (!builder) return;
    if (r.builders.count(name))
        platform::log("appkit: the nib %@ is registered again; the last one counts", name);
    r.builders.insert_or_assign(std::move(name), std::move(builder));
}

bool NSNib::isRegistered(const std::string& name) {
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    return r.builders.count(name) != 0;
}

NSNib::Builder NSNib::builderFor(const std::string& name) {
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    auto it = r.builders.find(name);
    return it == r.builders.end() ? Builder() : it->second;
}

std::shared_ptr<NSActionTarget> NSNib::ownerTarget() const {
    if (auto* object = dynamic_cast<ns::NSObject*>(m_owner))
        return std::dynamic_pointer_cast<NSActionTarget>(object->weak_from_this().lock());
    if (auto* view = dynamic_cast<NSView*>(m_owner)) return view->weak_from_this().lock();
    if (auto* window = dynamic_cast<NSWindow*>(m_owner)) return window->weak_from_this().lock();
    return nullptr;
}

bool NSNib::loadNibNamed(const std::string& name, NSActionTarget* owner,
                         std::vector<std::shared_ptr<void>>* topLevelObjects) {
    Builder builder;
    {
        Registry& r = registry();
        std::lock_guard guard(r.mutex);
        if (auto it = r.builders.find(name); it != r.builders.end()) builder = it->second;
    }
    if (!builder) {
        platform::log("appkit: there is no nib named %@", name);
        return false;
    }
    NSNib nib(name, owner);
    if (!builder(nib)) {
        platform::log("appkit: the nib %@ could not be built", name);
        return false;
    }
    for (Made& made : nib.m_made)
        if (made.window && !made.named && made.window->identifier().empty()) made.window->setIdentifier(name);
    // Awoken in creation order (an awakeFromNib may make more; those are not awoken again).
    std::vector<Made> made = std::move(nib.m_made);
    for (Made& m : made)
        if (m.awake) m.awake();
    if (owner) owner->awakeFromNib();
    if (topLevelObjects) *topLevelObjects = std::move(nib.m_topLevel);
    return true;
}

} // namespace appkit
