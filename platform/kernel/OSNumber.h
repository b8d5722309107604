// An integer of 8, 16, 32 or 64 bits; the width survives conversion to property lists.
#pragma once

#include "platform/kernel/OSObject.h"

namespace kernel {

class OSNumber : public OSObject {
    OSDeclareDefaultStructors(OSNumber);

  public:
    using super = OSObject;

    // bits other than 8, 16, 32 and 64 give null; the value keeps only its low bits.
    static OSNumber* withNumber(uint64_t value, unsigned numberOfBits);

    unsigned numberOfBits() const { return m_bits; }
    uint8_t unsigned8BitValue() const { return static_cast<uint8_t>(m_value); }
    uint16_t unsigned16BitValue() const { return static_cast<uint16_t>(m_value); }
    uint32_t unsigned32BitValue() const { return static_cast<uint32_t>(m_value); }
    uint64_t unsigned64BitValue() const { return m_value; }

    bool isEqualTo(const OSObject* other) const override;

  private:
    uint64_t m_value = 0;
    unsigned m_bits = 64;
};

} // namespace kernel
