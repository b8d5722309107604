#include "platform/kernel/OSNumber.h"

namespace kernel {

OSDefineMetaClassAndStructors(OSNumber, OSObject);

OSNumber* OSNumber::withNumber(uint64_t value, unsigned numberOfBits) {
    if (numberOfBits != 8 && numberOfBits != 16 && numberOfBits != 32 && numberOfBits != 64) return nullptr;
    auto* n = new OSNumber;
    n->m_bits = numberOfBits;
    n->m_value = numberOfBits == 64 ? value : value & ((uint64_t(1) << numberOfBits) - 1);
    return n;
}

bool OSNumber::isEqualTo(const OSObject* other) const {
    const auto* n = OSDynamicCast(OSNumber, other);
    return n && n->m_value == m_value;
}

} // namespace kernel
