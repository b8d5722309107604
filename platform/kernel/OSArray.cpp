#include "platform/kernel/OSArray.h"

namespace kernel {

OSDefineMetaClassAndStructors(OSArray, OSObject);

OSArray* OSArray::withCapacity(unsigned capacity) {
    auto* a = new OSArray;
    a->m_items.reserve(capacity);
    return a;
}

bool OSArray::setObject(OSObject* object) {
    if (!object) return false;
    object->retain();
    m_items.push_back(object);
    return true;
}

bool OSArray::isEqualTo(const OSObject* other) const {
    const auto* a = OSDynamicCast(OSArray, other);
    if (!a || a->m_items.size() != m_items.size()) return false;
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (!m_items[i]->isEqualTo(a->m_items[i])) return false;
    }
    return true;
}

void OSArray::free() {
    for (auto* o : m_items)
        o->release();
    m_items.clear();
    super::free();
}

} // namespace kernel
