#include "platform/kernel/OSData.h"

namespace kernel {

OSDefineMetaClassAndStructors(OSData, OSObject);

OSData* OSData::withBytes(const void* bytes, size_t length) {
    if (!bytes && length) return nullptr;
    auto* d = new OSData;
    const auto* p = static_cast<const uint8_t*>(bytes);
    if (length) d->m_bytes.assign(p, p + length);
    return d;
}

bool OSData::isEqualTo(const OSObject* other) const {
    const auto* d = OSDynamicCast(OSData, other);
    return d && d->m_bytes == m_bytes;
}

} // namespace kernel
