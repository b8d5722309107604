// One received frame payload: mapped contiguously, valid while the object lives. With the
// conversions between data, dictionaries and dispatch data that frame payloads go through.
#pragma once

#include "platform/core/Format.h"
#include "platform/corefoundation/Value.h"
#include "platform/dispatch/Data.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace usblink {

class PTData {
  public:
    PTData(dispatch::dispatch_data_t mapped, const uint8_t* bytes, size_t length)
        : m_mapped(std::move(mapped)), m_bytes(bytes), m_length(length) {}

    // The mapping that keeps the bytes valid.
    const dispatch::dispatch_data_t& mapped() const { return m_mapped; }
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

// Dispatch data over the bytes of data without copying them; data lives until the dispatch
// data goes. Null for null data.
dispatch::dispatch_data_t createReferencingDispatchData(std::shared_ptr<const std::vector<uint8_t>> data);
// A data object over the dispatch data's bytes mapped contiguously; the mapping lives as long
// as the returned object. Null for null dispatch data or a failed map.
std::shared_ptr<PTData> dataWithContentsOfDispatchData(const dispatch::dispatch_data_t& data);
// The dictionary as a binary property list; null, logged ("Failed to serialize property list:
// %@"), when it cannot be written.
dispatch::dispatch_data_t createReferencingDispatchData(const cf::Dictionary& dictionary);
// The property list (XML or binary) the dispatch data holds; nothing when it holds none or
// the list is no dictionary.
std::optional<cf::Dictionary> dictionaryWithContentsOfDispatchData(const dispatch::dispatch_data_t& data);

} // namespace usblink
