// One received frame payload: mapped contiguously, valid while the object lives.
#pragma once

#include "platform/core/Format.h"
#include "platform/dispatch/Data.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace usblink {

class PTData {
  public:
    PTData(dispatch::dispatch_data_t mapped, const uint8_t* bytes, size_t length)
        : m_mapped(std::move(mapped)), m_bytes(bytes), m_length(length) {}

    const uint8_t* data() const { return m_bytes; }
    size_t length() const { return m_length; }
    std::span<const uint8_t> bytes() const { return {m_bytes, m_length}; }
    std::string description() const {
        return platform::format("<PTData: %p (%zu bytes)>", static_cast<const void*>(this), m_length);
    }

  private:
    dispatch::dispatch_data_t m_mapped;
    const uint8_t* m_bytes;
    size_t m_length;
};

} // namespace usblink
