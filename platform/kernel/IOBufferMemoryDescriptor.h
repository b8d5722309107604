// Memory a driver allocates and may share with user space: a close-on-exec memfd of whole
// pages mapped shared read-write. Untouched pages cost nothing, so large buffers are cheap.
#pragma once

#include "platform/kernel/IOMemoryDescriptor.h"

#include <functional>

namespace kernel {

class IOBufferMemoryDescriptor : public IOMemoryDescriptor {
    OSDeclareDefaultStructors(IOBufferMemoryDescriptor);

  public:
    using super = IOMemoryDescriptor;

    // Null when the memory cannot be had.
    static IOBufferMemoryDescriptor* withOptions(IOOptionBits options, IOByteCount capacity,
                                                 IOByteCount alignment = 1);

    IOByteCount getLength() const override { return m_capacity; }
    void* getBytesNoCopy() const override { return m_bytes; }
    int memfd() const override { return m_fd; }
    IOOptionBits getOptions() const { return m_options; }

  protected:
    void free() override;

  private:
    bool initWithOptions(IOOptionBits options, IOByteCount capacity);

    IOOptionBits m_options = 0;
    IOByteCount m_capacity = 0;
    IOByteCount m_mappedLength = 0;
    void* m_bytes = nullptr;
    int m_fd = -1;
};

namespace testing {
// Allocations whose capacity the predicate accepts fail (null); an empty one clears it.
void failBufferAllocations(std::function<bool(IOByteCount capacity)> predicate);
} // namespace testing

} // namespace kernel
