// Attribute values as they travel between processes: {"type": ..., ...}. Internal to the
// accessibility facade and the window server's routing (which only checks the shape).
#pragma once

#include "platform/applicationservices/AXUIElement.h"

#include <optional>

namespace ax::detail {

cf::Value encodeValue(const AXAttributeValue& value);
// false (out untouched) for a malformed value.
bool decodeValue(const cf::Value& value, AXAttributeValue* out);

} // namespace ax::detail
