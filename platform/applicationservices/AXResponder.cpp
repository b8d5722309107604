// What a responder answers to the queries it does not answer itself.
#include "platform/applicationservices/AXUIElement.h"

#include <algorithm>

namespace ax {

AXError AXResponder::copyAttributeNames(const AXUIElement&, std::vector<std::string>* names) {
    names->clear();
    return kAXErrorSuccess;
}

AXError AXResponder::getAttributeValueCount(const AXUIElement& element, std::string_view attribute,
                                            int64_t* count) {
    AXAttributeValue value;
    if (AXError status = copyAttributeValue(element, attribute, &value); status != kAXErrorSuccess)
        return status;
    if (const auto* elements = std::get_if<std::vector<AXUIElementRef>>(&value)) {
        *count = int64_t(elements->size());
        return kAXErrorSuccess;
    }
    if (const auto* list = std::get_if<cf::Value>(&value); list && list->isArray()) {
        *count = int64_t(list->count());
        return kAXErrorSuccess;
    }
    return kAXErrorIllegalArgument;
}

AXError AXResponder::copyAttributeValues(const AXUIElement& element, std::string_view attribute,
                                         int64_t index, int64_t maximum, AXAttributeValue* values) {
    AXAttributeValue value;
    if (AXError status = copyAttributeValue(element, attribute, &value); status != kAXErrorSuccess)
        return status;
    const auto run = [&](size_t count) {
        const size_t first = std::min(size_t(index), count);
        return std::pair{first, std::min(count - first, size_t(maximum))};
    };
    if (auto* elements = std::get_if<std::vector<AXUIElementRef>>(&value)) {
        const auto [first, n] = run(elements->size());
        *values = std::vector<AXUIElementRef>(elements->begin() + ptrdiff_t(first),
                                              elements->begin() + ptrdiff_t(first + n));
        return kAXErrorSuccess;
    }
    if (const auto* list = std::get_if<cf::Value>(&value); list && list->isArray()) {
        const auto [first, n] = run(list->count());
        cf::Array slice;
        for (size_t i = first; i < first + n; ++i)
            slice.push_back(*list->at(i));
        *values = cf::Value(std::move(slice));
        return kAXErrorSuccess;
    }
    return kAXErrorIllegalArgument;
}

AXError AXResponder::copyActionDescription(const AXUIElement&, std::string_view, std::string*) {
    return kAXErrorActionUnsupported;
}

} // namespace ax
