#include "platform/kernel/OSObject.h"

namespace kernel {

const OSMetaClass OSObject::gMetaClass("OSObject", nullptr, nullptr);

void* OSObject::operator new(size_t size) {
    return OSMetaClass::allocInstance(gMetaClass, size);
}

void OSObject::operator delete(void* pointer, size_t size) {
    OSMetaClass::freeInstance(gMetaClass, pointer, size);
}

void OSObject::retain() const {
    if (m_immortal) return;
    m_retainCount.fetch_add(1, std::memory_order_relaxed);
}

void OSObject::release() const {
    if (m_immortal) return;
    if (m_retainCount.fetch_sub(1, std::memory_order_acq_rel) == 1) const_cast<OSObject*>(this)->free();
}

void OSObject::free() {
    delete this;
}

} // namespace kernel
