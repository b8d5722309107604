// Between kernel objects and property-list values: kext Info.plists become personalities,
// registry properties become what user space reads.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/kernel/OSPtr.h"

#include <optional>

namespace kernel {

class OSObject;

// Strings, booleans, integers, data, arrays and dictionaries; dates, reals and UIDs have no
// kernel form and give null (inside a collection they are left out).
OSPtr<OSObject> OSObjectFromValue(const cf::Value& value);

// An OSNumber of 8, 16, 32 or 64 bits becomes SInt8, SInt16, SInt32 or SInt64 with the same
// bit pattern. Objects of other classes give nullopt.
std::optional<cf::Value> valueFromOSObject(const OSObject* object);

} // namespace kernel
