// An interned string: equal texts give the same object while it lives.
#pragma once

#include "platform/kernel/OSString.h"

namespace kernel {

class OSSymbol : public OSString {
    OSDeclareDefaultStructors(OSSymbol);

  public:
    using super = OSString;

    // The one symbol with this text, with a new reference.
    static const OSSymbol* withCString(const char* text);

  protected:
    void free() override;
};

} // namespace kernel
