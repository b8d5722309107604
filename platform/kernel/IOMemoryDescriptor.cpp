#include "platform/kernel/IOMemoryDescriptor.h"

#include <algorithm>
#include <cstring>

namespace kernel {

OSDefineMetaClassAndStructors(IOMemoryDescriptor, OSObject);

namespace {

IOByteCount clampedLength(IOByteCount total, IOByteCount offset, IOByteCount length) {
    return offset >= total ? 0 : std::min(length, total - offset);
}

} // namespace

IOByteCount IOMemoryDescriptor::readBytes(IOByteCount offset, void* bytes, IOByteCount length) const {
    auto* base = static_cast<const uint8_t*>(getBytesNoCopy());
    IOByteCount n = clampedLength(getLength(), offset, length);
    if (!base || !bytes || n == 0) return 0;
    std::memcpy(bytes, base + offset, n);
    return n;
}

IOByteCount IOMemoryDescriptor::writeBytes(IOByteCount offset, const void* bytes, IOByteCount length) {
    auto* base = static_cast<uint8_t*>(getBytesNoCopy());
    IOByteCount n = clampedLength(getLength(), offset, length);
    if (!base || !bytes || n == 0) return 0;
    std::memcpy(base + offset, bytes, n);
    return n;
}

} // namespace kernel
