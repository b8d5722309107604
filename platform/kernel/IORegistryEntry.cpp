#include "platform/kernel/IORegistryEntry.h"

#include "platform/core/Log.h"
#include "platform/kernel/OSBoolean.h"
#include "platform/kernel/OSDictionary.h"
#include "platform/kernel/OSNumber.h"
#include "platform/kernel/OSString.h"

#include <algorithm>
#include <atomic>

namespace kernel {

OSDefineMetaClassAndStructors(IORegistryEntry, OSObject);

namespace {

std::atomic<IORegistryEntry*> gRoot{nullptr};

} // namespace

std::recursive_mutex& IORegistryEntry::registryLock() {
    static auto* lock = new std::recursive_mutex();
    return *lock;
}

bool IORegistryEntry::init(OSDictionary* dictionary) {
    if (!super::init()) return false;
    std::lock_guard lock(registryLock());
    if (m_properties) m_properties->release();
    m_properties = dictionary ? OSDictionary::withDictionary(dictionary) : OSDictionary::withCapacity(4);
    return true;
}

void IORegistryEntry::free() {
    std::vector<IORegistryEntry*> children;
    {
        std::lock_guard lock(registryLock());
        children.swap(m_children);
        for (auto* child : children)
            child->m_parent = nullptr;
    }
    for (auto* child : children)
        child->release();
    OSSafeReleaseNULL(m_properties);
    super::free();
}

std::string IORegistryEntry::getName() const {
    std::lock_guard lock(registryLock());
    return m_name.empty() ? std::string(getClassName()) : m_name;
}

bool IORegistryEntry::setName(std::string_view name) {
    if (name.size() > kIOMaxNameLength) {
        platform::log("kernel: refused a registry name of %u bytes", static_cast<unsigned>(name.size()));
        return false;
    }
    std::lock_guard lock(registryLock());
    m_name.assign(name);
    return true;
}

std::optional<std::string> IORegistryEntry::getLocation() const {
    std::lock_guard lock(registryLock());
    return m_location;
}

void IORegistryEntry::setLocation(std::string_view location) {
    std::lock_guard lock(registryLock());
    m_location = std::string(location);
}

std::optional<std::string> IORegistryEntry::getPath() const {
    std::lock_guard lock(registryLock());
    IORegistryEntry* root = gRoot.load();
    if (!root || this == root) return std::nullopt;
    std::vector<const IORegistryEntry*> chain;
    const IORegistryEntry* entry = this;
    while (entry && entry->m_parent != root) {
        chain.push_back(entry);
        entry = entry->m_parent;
    }
    if (!entry) return std::nullopt; // not connected to the root
    std::string path = "IOService:";
    if (chain.empty()) return path + "/";
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += "/" + (*it)->getName();
        if ((*it)->m_location) path += "@" + *(*it)->m_location;
    }
    if (path.size() > kIOMaxPathLength) return std::nullopt;
    return path;
}

OSObject* IORegistryEntry::getProperty(std::string_view key) const {
    std::lock_guard lock(registryLock());
    return m_properties ? m_properties->getObject(key) : nullptr;
}

OSPtr<OSObject> IORegistryEntry::copyProperty(std::string_view key) const {
    std::lock_guard lock(registryLock());
    return makeRetained(m_properties ? m_properties->getObject(key) : nullptr);
}

bool IORegistryEntry::setProperty(std::string_view key, OSObject* object) {
    std::lock_guard lock(registryLock());
    if (!m_properties) m_properties = OSDictionary::withCapacity(4);
    return m_properties->setObject(key, object);
}

bool IORegistryEntry::setProperty(std::string_view key, bool value) {
    return setProperty(key, static_cast<OSObject*>(OSBoolean::withBoolean(value)));
}

bool IORegistryEntry::setProperty(std::string_view key, const char* text) {
    auto s = adoptRetained(OSString::withCString(text));
    return s && setProperty(key, static_cast<OSObject*>(s.get()));
}

bool IORegistryEntry::setProperty(std::string_view key, uint64_t value, unsigned numberOfBits) {
    auto n = adoptRetained(OSNumber::withNumber(value, numberOfBits));
    return n && setProperty(key, static_cast<OSObject*>(n.get()));
}

void IORegistryEntry::removeProperty(std::string_view key) {
    std::lock_guard lock(registryLock());
    if (m_properties) m_properties->removeObject(key);
}

OSPtr<OSDictionary> IORegistryEntry::copyPropertyTable() const {
    std::lock_guard lock(registryLock());
    return adoptRetained(m_properties ? OSDictionary::withDictionary(m_properties)
                                      : OSDictionary::withCapacity(0));
}

IORegistryEntry* IORegistryEntry::getParentEntry() const {
    std::lock_guard lock(registryLock());
    return m_parent;
}

std::vector<OSPtr<IORegistryEntry>> IORegistryEntry::copyChildEntries() const {
    std::lock_guard lock(registryLock());
    std::vector<OSPtr<IORegistryEntry>> children;
    children.reserve(m_children.size());
    for (auto* child : m_children)
        children.push_back(makeRetained(child));
    return children;
}

bool IORegistryEntry::attachToParent(IORegistryEntry* parent) {
    if (!parent || parent == this) return false;
    std::lock_guard lock(registryLock());
    if (m_parent) return m_parent == parent;
    for (auto* up = parent; up; up = up->m_parent) {
        if (up == this) return false; // would make a cycle
    }
    retain();
    parent->m_children.push_back(this);
    m_parent = parent;
    return true;
}

void IORegistryEntry::detachFromParent(IORegistryEntry* parent) {
    {
        std::lock_guard lock(registryLock());
        if (!parent || m_parent != parent) return;
        auto& siblings = parent->m_children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
        m_parent = nullptr;
    }
    release();
}

IORegistryEntry* IORegistryEntry::getRegistryRoot() {
    return gRoot.load();
}

void IORegistryEntry::setRegistryRoot(IORegistryEntry* root) {
    gRoot.store(root);
}

IORegistryEntry* IORegistryEntry::childForComponent(std::string_view component) const {
    auto at = component.find('@');
    std::string_view name = component.substr(0, at);
    for (auto* child : m_children) {
        if (child->getName() != name) continue;
        if (at == std::string_view::npos) return child;
        if (child->m_location && *child->m_location == component.substr(at + 1)) return child;
    }
    return nullptr;
}

OSPtr<IORegistryEntry> IORegistryEntry::fromPath(std::string_view path) {
    constexpr std::string_view prefix = "IOService:/";
    if (path.size() > kIOMaxPathLength || path.substr(0, prefix.size()) != prefix) return {};
    std::lock_guard lock(registryLock());
    IORegistryEntry* root = gRoot.load();
    if (!root || root->m_children.empty()) return {};
    IORegistryEntry* entry = root->m_children.front(); // the platform expert
    std::string_view rest = path.substr(prefix.size());
    while (!rest.empty()) {
        auto slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        if (component.empty()) return {};
        entry = entry->childForComponent(component);
        if (!entry) return {};
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (slash != std::string_view::npos && rest.empty()) return {}; // trailing "/"
    }
    return makeRetained(entry);
}

} // namespace kernel
