#include "platform/dispatch/Data.h"

#include "platform/dispatch/Dispatch.h"

#include <cstring>

namespace dispatch {

Data::Data(std::vector<std::shared_ptr<const Region>> regions) : m_regions(std::move(regions)) {
    for (const auto& r : m_regions)
        m_size += r->size;
}

std::vector<uint8_t> Data::copyBytes() const {
    std::vector<uint8_t> out;
    out.reserve(m_size);
    for (const auto& r : m_regions)
        out.insert(out.end(), r->bytes, r->bytes + r->size);
    return out;
}

dispatch_data_t dispatch_data_empty() {
    static const dispatch_data_t empty = std::make_shared<const Data>();
    return empty;
}

dispatch_data_t dispatch_data_create(const void* buffer, size_t size, const std::shared_ptr<Queue>& queue,
                                     std::function<void()> destructor) {
    if (size == 0 || !buffer) {
        if (destructor) {
            if (queue) {
                dispatch_async(queue, destructor);
            } else {
                destructor();
            }
        }
        return dispatch_data_empty();
    }
    auto region = std::make_shared<Data::Region>();
    if (!destructor) {
        region->owned.assign(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + size);
        region->bytes = region->owned.data();
    } else {
        region->bytes = static_cast<const uint8_t*>(buffer);
        if (queue) {
            region->destructor = [queue, destructor = std::move(destructor)] {
                dispatch_async(queue, destructor);
            };
        } else {
            region->destructor = std::move(destructor);
        }
    }
    region->size = size;
    return std::make_shared<const Data>(std::vector<std::shared_ptr<const Data::Region>>{region});
}

dispatch_data_t dispatch_data_create_with_bytes(std::vector<uint8_t> bytes) {
    if (bytes.empty()) return dispatch_data_empty();
    auto region = std::make_shared<Data::Region>();
    region->owned = std::move(bytes);
    region->bytes = region->owned.data();
    region->size = region->owned.size();
    return std::make_shared<const Data>(std::vector<std::shared_ptr<const Data::Region>>{region});
}

size_t dispatch_data_get_size(const dispatch_data_t& data) {
    return data ? data->size() : 0;
}

dispatch_data_t dispatch_data_create_concat(const dispatch_data_t& first, const dispatch_data_t& second) {
    if (!first || first->size() == 0) return second ? second : dispatch_data_empty();
    if (!second || second->size() == 0) return first;
    auto regions = first->regions();
    regions.insert(regions.end(), second->regions().begin(), second->regions().end());
    return std::make_shared<const Data>(std::move(regions));
}

dispatch_data_t dispatch_data_create_map(const dispatch_data_t& data, const void** buffer, size_t* size) {
    dispatch_data_t mapped = data ? data : dispatch_data_empty();
    if (mapped->regions().size() > 1) mapped = dispatch_data_create_with_bytes(mapped->copyBytes());
    if (buffer) *buffer = mapped->regions().empty() ? nullptr : mapped->regions().front()->bytes;
    if (size) *size = mapped->size();
    return mapped;
}

} // namespace dispatch
