// An immutable run of bytes.
#pragma once

#include "platform/kernel/OSObject.h"

#include <vector>

namespace kernel {

class OSData : public OSObject {
    OSDeclareDefaultStructors(OSData);

  public:
    using super = OSObject;

    static OSData* withBytes(const void* bytes, size_t length);

    const void* getBytesNoCopy() const { return m_bytes.data(); }
    size_t getLength() const { return m_bytes.size(); }
    const std::vector<uint8_t>& bytes() const { return m_bytes; }

    bool isEqualTo(const OSObject* other) const override;

  private:
    std::vector<uint8_t> m_bytes;
};

} // namespace kernel
