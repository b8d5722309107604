#include "platform/kernel/OSMetaClass.h"

#include "platform/core/Log.h"
#include "platform/kernel/OSObject.h"

#include <map>
#include <mutex>
#include <new>
#include <utility>

namespace kernel {

namespace {

struct ClassRegistry {
    std::mutex mutex;
    std::map<std::string, const OSMetaClass*, std::less<>> classes;
    std::optional<std::string> loadingKext;
    OSMetaClass::KextLoadResult loadResult;
};

ClassRegistry& registry() {
    static auto* r = new ClassRegistry(); // never destroyed: kexts may unload during exit
    return *r;
}

// A class chain longer than this can only come from a cycle of bad superclass names.
constexpr int kMaxClassDepth = 64;

} // namespace

OSMetaClass::OSMetaClass(const char* className, const char* superClassName, Factory factory)
    : m_className(className), m_superClassName(superClassName), m_factory(factory) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.loadingKext) m_kextIdentifier = *r.loadingKext;
    if (r.classes.count(className)) {
        if (r.loadingKext)
            r.loadResult.duplicates.push_back(className);
        else
            platform::log("kernel: class %s is defined twice; the second definition is ignored", className);
        return;
    }
    r.classes.emplace(className, this);
    if (r.loadingKext) r.loadResult.classes.push_back(className);
}

OSMetaClass::~OSMetaClass() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.classes.find(m_className);
    if (it != r.classes.end() && it->second == this) r.classes.erase(it);
}

const OSMetaClass* OSMetaClass::getSuperClass() const {
    if (!m_superClassName) return nullptr;
    return getMetaClassWithName(m_superClassName);
}

bool OSMetaClass::isKindOf(std::string_view className) const {
    const OSMetaClass* meta = this;
    for (int depth = 0; meta && depth < kMaxClassDepth; ++depth) {
        if (className == meta->m_className) return true;
        meta = meta->getSuperClass();
    }
    return false;
}

OSObject* OSMetaClass::alloc() const {
    return m_factory ? m_factory() : nullptr;
}

const OSMetaClass* OSMetaClass::getMetaClassWithName(std::string_view className) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.classes.find(className);
    return it == r.classes.end() ? nullptr : it->second;
}

OSObject* OSMetaClass::allocClassWithName(std::string_view className) {
    const OSMetaClass* meta = getMetaClassWithName(className);
    return meta ? meta->alloc() : nullptr;
}

std::optional<std::string> OSMetaClass::superClassNameOf(std::string_view className) {
    const OSMetaClass* meta = getMetaClassWithName(className);
    if (!meta || !meta->m_superClassName) return std::nullopt;
    return std::string(meta->m_superClassName);
}

void* OSMetaClass::allocInstance(const OSMetaClass& meta, size_t size) {
    void* p = ::operator new(size);
    meta.m_instanceCount.fetch_add(1);
    return p;
}

void OSMetaClass::freeInstance(const OSMetaClass& meta, void* pointer, size_t size) {
    meta.m_instanceCount.fetch_sub(1);
    (void)size; // the plain delete matches the plain new above, whichever compiler sizes deletes
    ::operator delete(pointer);
}

void OSMetaClass::beginKextLoad(const std::string& identifier) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.loadingKext = identifier;
    r.loadResult = {};
}

OSMetaClass::KextLoadResult OSMetaClass::endKextLoad() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.loadingKext.reset();
    return std::exchange(r.loadResult, {});
}

uint32_t OSMetaClass::instanceCountOfKext(const std::string& identifier) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    uint32_t count = 0;
    for (const auto& [name, meta] : r.classes) {
        if (meta->m_kextIdentifier == identifier) count += meta->getInstanceCount();
    }
    return count;
}

void OSMetaClass::removeClassesOfKext(const std::string& identifier) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.classes, [&](const auto& entry) { return entry.second->m_kextIdentifier == identifier; });
}

} // namespace kernel
