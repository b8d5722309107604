#include "platform/kernel/IODeviceMemory.h"

namespace kernel {

OSDefineMetaClassAndStructors(IODeviceMemory, IOMemoryDescriptor);

IODeviceMemory* IODeviceMemory::withSubRange(IOMemoryDescriptor* parent, IOByteCount offset,
                                             IOByteCount length) {
    if (!parent) return nullptr;
    IOByteCount total = parent->getLength();
    // offset + length <= total, written so that it cannot overflow
    if (offset > total || length > total - offset) return nullptr;
    auto* range = new IODeviceMemory;
    parent->retain();
    range->m_parent = parent;
    range->m_offset = offset;
    range->m_length = length;
    return range;
}

void* IODeviceMemory::getBytesNoCopy() const {
    auto* base = m_parent ? static_cast<uint8_t*>(m_parent->getBytesNoCopy()) : nullptr;
    return base ? base + m_offset : nullptr;
}

void IODeviceMemory::free() {
    OSSafeReleaseNULL(m_parent);
    super::free();
}

} // namespace kernel
