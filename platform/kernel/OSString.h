// An immutable text object (UTF-8 bytes).
#pragma once

#include "platform/kernel/OSObject.h"

#include <string>
#include <string_view>

namespace kernel {

class OSString : public OSObject {
    OSDeclareDefaultStructors(OSString);

  public:
    using super = OSObject;

    static OSString* withCString(const char* text);
    static OSString* withString(std::string_view text);

    const char* getCStringNoCopy() const { return m_text.c_str(); }
    const std::string& string() const { return m_text; }
    size_t getLength() const { return m_text.size(); }

    bool isEqualTo(const char* text) const { return text && m_text == text; }
    bool isEqualTo(const OSObject* other) const override;

  protected:
    bool initWithString(std::string_view text);

  private:
    std::string m_text;
};

} // namespace kernel
