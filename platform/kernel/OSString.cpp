#include "platform/kernel/OSString.h"

namespace kernel {

OSDefineMetaClassAndStructors(OSString, OSObject);

OSString* OSString::withCString(const char* text) {
    return text ? withString(text) : nullptr;
}

OSString* OSString::withString(std::string_view text) {
    auto* s = new OSString;
    s->initWithString(text);
    return s;
}

bool OSString::initWithString(std::string_view text) {
    m_text.assign(text);
    return true;
}

bool OSString::isEqualTo(const OSObject* other) const {
    const auto* s = OSDynamicCast(OSString, other);
    return s && s->m_text == m_text;
}

} // namespace kernel
