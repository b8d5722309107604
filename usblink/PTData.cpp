#include "usblink/PTData.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"

namespace usblink {

dispatch::dispatch_data_t createReferencingDispatchData(std::shared_ptr<const std::vector<uint8_t>> data) {
    if (!data) return nullptr;
    const uint8_t* bytes = data->data();
    const size_t size = data->size();
    // The destructor holds the data until the last dispatch data over its bytes is released.
    return dispatch::dispatch_data_create(bytes, size, nullptr, [held = std::move(data)] {});
}

std::shared_ptr<PTData> dataWithContentsOfDispatchData(const dispatch::dispatch_data_t& data) {
    if (!data) return nullptr;
    const void* bytes = nullptr;
    size_t size = 0;
    dispatch::dispatch_data_t mapped = dispatch::dispatch_data_create_map(data, &bytes, &size);
    if (!mapped) return nullptr;
    return std::make_shared<PTData>(std::move(mapped), static_cast<const uint8_t*>(bytes), size);
}

dispatch::dispatch_data_t createReferencingDispatchData(const cf::Dictionary& dictionary) {
    platform::Error error;
    auto plist = cf::dataFromPropertyList(cf::Value(dictionary), cf::PropertyListFormat::Binary, &error);
    if (!plist) {
        platform::log("Failed to serialize property list: %@", error.description());
        return nullptr;
    }
    return createReferencingDispatchData(std::make_shared<const std::vector<uint8_t>>(std::move(*plist)));
}

std::optional<cf::Dictionary> dictionaryWithContentsOfDispatchData(const dispatch::dispatch_data_t& data) {
    auto mapped = dataWithContentsOfDispatchData(data);
    if (!mapped) return std::nullopt;
    auto plist = cf::propertyListFromData(
        std::string_view(reinterpret_cast<const char*>(mapped->data()), mapped->length()));
    if (!plist || !plist->isDictionary()) return std::nullopt;
    return *plist->asDictionary();
}

} // namespace usblink
