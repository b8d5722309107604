#include "accessibility/AXUIElementUtilities.h"

namespace accessibility {

ax::AXAttributeValue AXUIElementUtilities::valueOfAttribute(std::string_view attribute,
                                                            const ax::AXUIElementRef& element) {
    ax::AXAttributeValue value;
    if (!element || ax::AXUIElementCopyAttributeValue(element, attribute, &value) != ax::kAXErrorSuccess)
        return {};
    return value;
}

cg::CGRect AXWindowRefGetBounds(const ax::AXUIElementRef& window) {
    cg::CGRect bounds = cg::CGRectZero;
    const auto geometry = [&](const char* attribute) -> ax::AXValueRef {
        ax::AXAttributeValue value = AXUIElementUtilities::valueOfAttribute(attribute, window);
        auto* copied = std::get_if<ax::AXValueRef>(&value);
        return copied ? *copied : nullptr;
    };
    if (ax::AXValueRef position = geometry(ax::kAXPositionAttribute)) {
        cg::CGPoint origin;
        if (ax::AXValueGetValue(position, ax::kAXValueCGPointType, &origin)) bounds.origin = origin;
    }
    if (ax::AXValueRef size = geometry(ax::kAXSizeAttribute)) {
        cg::CGSize extent;
        if (ax::AXValueGetValue(size, ax::kAXValueCGSizeType, &extent)) bounds.size = extent;
    }
    return bounds;
}

std::string CGWindowIDCopyDescriptionCallBack(const void*) {
    return "CGWindowID";
}

bool CGWindowIDEqualCallBack(const void* value1, const void* value2) {
    return value1 == value2;
}

const CFArrayCallBacks CGWindowIDCFArrayCallbacks = {0, nullptr, nullptr, &CGWindowIDCopyDescriptionCallBack,
                                                     &CGWindowIDEqualCallBack};

CGWindowIDArray::CGWindowIDArray(const std::vector<uint32_t>& windowIDs) {
    for (uint32_t id : windowIDs)
        m_values.push_back(reinterpret_cast<const void*>(uintptr_t(id)));
}

std::vector<uint32_t> CGWindowIDArray::windowIDs() const {
    std::vector<uint32_t> ids;
    for (const void* value : m_values)
        ids.push_back(uint32_t(reinterpret_cast<uintptr_t>(value)));
    return ids;
}

std::string CGWindowIDArray::description() const {
    std::string text = "(\n";
    for (size_t i = 0; i < m_values.size(); ++i)
        text += "    " + m_callbacks->copyDescription(m_values[i]) + (i + 1 < m_values.size() ? ",\n" : "\n");
    return text + ")";
}

bool CGWindowIDArray::operator==(const CGWindowIDArray& other) const {
    if (m_values.size() != other.m_values.size()) return false;
    for (size_t i = 0; i < m_values.size(); ++i)
        if (!m_callbacks->equal(m_values[i], other.m_values[i])) return false;
    return true;
}

} // namespace accessibility
