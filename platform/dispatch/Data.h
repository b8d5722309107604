// dispatch_data: an immutable byte sequence made of regions, some copied, some borrowed from
// their maker with a destructor that runs when the last data object using them goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace dispatch {

class Queue;

class Data {
  public:
    // One contiguous piece; its destructor (if any) runs when the region is released.
    struct Region {
        const uint8_t* bytes = nullptr;
        size_t size = 0;
        std::vector<uint8_t> owned;
        std::function<void()> destructor;
        ~Region() {
            if (destructor) destructor();
        }
    };

    Data() = default;
    explicit Data(std::vector<std::shared_ptr<const Region>> regions);

    size_t size() const { return m_size; }
    const std::vector<std::shared_ptr<const Region>>& regions() const { return m_regions; }
    // All bytes, copied out in order.
    std::vector<uint8_t> copyBytes() const;

  private:
    std::vector<std::shared_ptr<const Region>> m_regions;
    size_t m_size = 0;
};

using dispatch_data_t = std::shared_ptr<const Data>;

// The empty data object (never null).
dispatch_data_t dispatch_data_empty();
// With a null destructor the bytes are copied; otherwise they are borrowed and destructor runs
// (on queue when one is given) once no data object uses them.
dispatch_data_t dispatch_data_create(const void* buffer, size_t size, const std::shared_ptr<Queue>& queue,
                                     std::function<void()> destructor);
// Takes the vector's storage without copying.
dispatch_data_t dispatch_data_create_with_bytes(std::vector<uint8_t> bytes);
size_t dispatch_data_get_size(const dispatch_data_t& data);
dispatch_data_t dispatch_data_create_concat(const dispatch_data_t& first, const dispatch_data_t& second);
// A contiguous object with the same bytes; *buffer and *size describe them while it lives.
dispatch_data_t dispatch_data_create_map(const dispatch_data_t& data, const void** buffer, size_t* size);

} // namespace dispatch
