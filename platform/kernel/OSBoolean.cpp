#include "platform/kernel/OSBoolean.h"

namespace kernel {

OSDefineMetaClassAndAbstractStructors(OSBoolean, OSObject);

OSBoolean::OSBoolean(bool value) : OSObject(Immortal{}), m_value(value) {}

struct BooleanSingletons {
    static OSBoolean* make(bool value) {
        static OSBoolean trueValue(true);
        static OSBoolean falseValue(false);
        return value ? &trueValue : &falseValue;
    }
};

OSBoolean* const kOSBooleanTrue = BooleanSingletons::make(true);
OSBoolean* const kOSBooleanFalse = BooleanSingletons::make(false);

OSBoolean* OSBoolean::withBoolean(bool value) {
    return value ? kOSBooleanTrue : kOSBooleanFalse;
}

} // namespace kernel
