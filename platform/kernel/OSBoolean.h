// The two boolean objects. They live for the whole process; retain and release do nothing.
#pragma once

#include "platform/kernel/OSObject.h"

namespace kernel {

class OSBoolean : public OSObject {
    OSDeclareDefaultStructors(OSBoolean);

  public:
    using super = OSObject;

    static OSBoolean* withBoolean(bool value);
    bool isTrue() const { return m_value; }
    bool isFalse() const { return !m_value; }
    bool getValue() const { return m_value; }

    bool isEqualTo(const OSObject* other) const override { return other == this; }

  private:
    friend struct BooleanSingletons;
    explicit OSBoolean(bool value);
    bool m_value = false;
};

extern OSBoolean* const kOSBooleanTrue;
extern OSBoolean* const kOSBooleanFalse;

} // namespace kernel
