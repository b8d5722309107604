#include "platform/kernel/OSDictionary.h"

#include "platform/kernel/OSString.h"

#include <algorithm>

namespace kernel {

OSDefineMetaClassAndStructors(OSDictionary, OSObject);

OSDictionary* OSDictionary::withCapacity(unsigned capacity) {
    auto* d = new OSDictionary;
    d->m_entries.reserve(capacity);
    return d;
}

OSDictionary* OSDictionary::withDictionary(const OSDictionary* other) {
    if (!other) return nullptr;
    auto* d = withCapacity(other->getCount());
    for (const auto& [key, object] : other->m_entries)
        d->setObject(key, object);
    return d;
}

OSObject* OSDictionary::getObject(std::string_view key) const {
    auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const auto& e) { return e.first == key; });
    return it == m_entries.end() ? nullptr : it->second;
}

OSObject* OSDictionary::getObject(const OSString* key) const {
    return key ? getObject(key->string()) : nullptr;
}

bool OSDictionary::setObject(std::string_view key, OSObject* object) {
    if (!object) return false;
    object->retain();
    for (auto& entry : m_entries) {
        if (entry.first == key) {
            std::exchange(entry.second, object)->release();
            return true;
        }
    }
    m_entries.emplace_back(std::string(key), object);
    return true;
}

bool OSDictionary::setObject(const OSString* key, OSObject* object) {
    return key ? setObject(key->string(), object) : false;
}

void OSDictionary::removeObject(std::string_view key) {
    auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const auto& e) { return e.first == key; });
    if (it == m_entries.end()) return;
    OSObject* object = it->second;
    m_entries.erase(it);
    object->release();
}

bool OSDictionary::isEqualTo(const OSObject* other) const {
    const auto* d = OSDynamicCast(OSDictionary, other);
    if (!d || d->getCount() != getCount()) return false;
    for (const auto& [key, object] : m_entries) {
        OSObject* theirs = d->getObject(key);
        if (!theirs || !object->isEqualTo(theirs)) return false;
    }
    return true;
}

void OSDictionary::free() {
    for (auto& entry : m_entries)
        entry.second->release();
    m_entries.clear();
    super::free();
}

} // namespace kernel
