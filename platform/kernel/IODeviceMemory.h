// A sub-range of another memory descriptor (an aperture inside a VRAM).
#pragma once

#include "platform/kernel/IOMemoryDescriptor.h"

namespace kernel {

class IODeviceMemory : public IOMemoryDescriptor {
    OSDeclareDefaultStructors(IODeviceMemory);

  public:
    using super = IOMemoryDescriptor;

    // Retains the parent. Null when the parent is null or the range runs past its end.
    static IODeviceMemory* withSubRange(IOMemoryDescriptor* parent, IOByteCount offset, IOByteCount length);

    IOByteCount getLength() const override { return m_length; }
    void* getBytesNoCopy() const override;
    int memfd() const override { return m_parent ? m_parent->memfd() : -1; }
    IOByteCount memfdOffset() const override { return m_parent ? m_parent->memfdOffset() + m_offset : 0; }
    IOMemoryDescriptor* getParent() const { return m_parent; }

  protected:
    void free() override;

  private:
    IOMemoryDescriptor* m_parent = nullptr;
    IOByteCount m_offset = 0;
    IOByteCount m_length = 0;
};

} // namespace kernel
