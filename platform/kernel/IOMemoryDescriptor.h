// A range of memory that can be shared with user space: a memfd and an offset, mapped here.
#pragma once

#include "platform/kernel/IOReturn.h"
#include "platform/kernel/OSObject.h"

namespace kernel {

constexpr IOOptionBits kIODirectionIn = 0x1;
constexpr IOOptionBits kIODirectionOut = 0x2;
constexpr IOOptionBits kIODirectionInOut = kIODirectionIn | kIODirectionOut;
constexpr IOOptionBits kIOMemoryKernelUserShared = 0x10000;

class IOMemoryDescriptor : public OSObject {
    OSDeclareDefaultStructors(IOMemoryDescriptor);

  public:
    using super = OSObject;

    virtual IOByteCount getLength() const { return 0; }
    virtual void* getBytesNoCopy() const { return nullptr; }
    // The memfd behind the range and where the range starts in it; -1 when there is none.
    virtual int memfd() const { return -1; }
    virtual IOByteCount memfdOffset() const { return 0; }

    // Copy at most getLength() - offset bytes; answer the number copied.
    IOByteCount readBytes(IOByteCount offset, void* bytes, IOByteCount length) const;
    IOByteCount writeBytes(IOByteCount offset, const void* bytes, IOByteCount length);
};

} // namespace kernel
