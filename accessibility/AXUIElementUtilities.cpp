#include "accessibility/AXUIElementUtilities.h"

#include <cstdio>

namespace accessibility {

ax::AXAttributeValue AXUIElementUtilities::valueOfAttribute(std::string_view attribute,
                                                            const ax::AXUIElementRef& element) {
    ax::AXAttributeValue value;
    if (!element || ax::AXUIElementCopyAttributeValue(element, attribute, &value) != ax::kAXErrorSuccess)
        return {};
    return value;
}

std::vector<std::string> AXUIElementUtilities::attributeNamesOfUIElement(const ax::AXUIElementRef& element) {
    std::vector<std::string> names;
    if (ax::AXUIElementCopyAttributeNames(element, &names) != ax::kAXErrorSuccess) return {};
    return names;
}

std::vector<std::string> AXUIElementUtilities::actionNamesOfUIElement(const ax::AXUIElementRef& element) {
    std::vector<std::string> names;
    if (ax::AXUIElementCopyActionNames(element, &names) != ax::kAXErrorSuccess) return {};
    return names;
}

std::optional<std::string> AXUIElementUtilities::descriptionOfAction(std::string_view action,
                                                                     const ax::AXUIElementRef& element) {
    std::string description;
    if (ax::AXUIElementCopyActionDescription(element, action, &description) != ax::kAXErrorSuccess)
        return std::nullopt;
    return description;
}

void AXUIElementUtilities::performAction(std::string_view action, const ax::AXUIElementRef& element) {
    ax::AXUIElementPerformAction(element, action);
}

int64_t AXUIElementUtilities::arrayCountOfAttribute(std::string_view attribute,
                                                    const ax::AXUIElementRef& element) {
    int64_t count = 0;
    if (ax::AXUIElementGetAttributeValueCount(element, attribute, &count) != ax::kAXErrorSuccess) return 0;
    return count;
}

ax::AXAttributeValue AXUIElementUtilities::stringValueOfAttribute(std::string_view attribute,
                                                                  const ax::AXUIElementRef& element) {
    return valueOfAttribute(attribute, element);
}

bool AXUIElementUtilities::boolValueOfAttribute(std::string_view attribute,
                                                const ax::AXUIElementRef& element) {
    const ax::AXAttributeValue value = valueOfAttribute(attribute, element);
    const auto* flag = std::get_if<cf::Value>(&value);
    return flag && (flag->isNumber() || flag->isBoolean()) && flag->boolValue();
}

namespace {

template <typename T> T geometryOf(const ax::AXAttributeValue& value, ax::AXValueType type) {
    T out{};
    if (const auto* geometry = std::get_if<ax::AXValueRef>(&value))
        if (!ax::AXValueGetValue(*geometry, type, &out)) out = T{};
    return out;
}

} // namespace

cg::CGPoint AXUIElementUtilities::pointValueOfAttribute(std::string_view attribute,
                                                        const ax::AXUIElementRef& element) {
    return geometryOf<cg::CGPoint>(valueOfAttribute(attribute, element), ax::kAXValueCGPointType);
}

cg::CGSize AXUIElementUtilities::sizeValueOfAttribute(std::string_view attribute,
                                                      const ax::AXUIElementRef& element) {
    return geometryOf<cg::CGSize>(valueOfAttribute(attribute, element), ax::kAXValueCGSizeType);
}

void AXUIElementUtilities::setStringValue(std::string_view text, std::string_view attribute,
                                          const ax::AXUIElementRef& element) {
    if (attribute.empty()) return;
    const ax::AXAttributeValue current = valueOfAttribute(attribute, element);
    const std::string textCopy(text); // sscanf wants a terminated string
    ax::AXAttributeValue newValue;
    if (const auto* geometry = std::get_if<ax::AXValueRef>(&current); geometry && *geometry) {
        float a = 0, b = 0, c = 0, d = 0;
        long location = 0, length = 0;
        switch (ax::AXValueGetType(*geometry)) {
        case ax::kAXValueCGPointType: {
            std::sscanf(textCopy.c_str(), "x=%g y=%g", &a, &b);
            const cg::CGPoint point{a, b};
            newValue = ax::AXValueCreate(ax::kAXValueCGPointType, &point);
            break;
        }
        case ax::kAXValueCGSizeType: {
            std::sscanf(textCopy.c_str(), "w=%g h=%g", &a, &b);
            const cg::CGSize size{a, b};
            newValue = ax::AXValueCreate(ax::kAXValueCGSizeType, &size);
            break;
        }
        case ax::kAXValueCGRectType: {
            std::sscanf(textCopy.c_str(), "x=%g y=%g w=%g h=%g", &a, &b, &c, &d);
            const cg::CGRect rect = cg::CGRectMake(a, b, c, d);
            newValue = ax::AXValueCreate(ax::kAXValueCGRectType, &rect);
            break;
        }
        case ax::kAXValueCFRangeType: {
            std::sscanf(textCopy.c_str(), "pos=%ld len=%ld", &location, &length);
            const ax::AXValueRange range{location, length};
            newValue = ax::AXValueCreate(ax::kAXValueCFRangeType, &range);
            break;
        }
        default:
            return;
        }
        if (!std::get<ax::AXValueRef>(newValue)) return;
    } else if (const auto* plist = std::get_if<cf::Value>(&current); plist && plist->isString()) {
        newValue = cf::Value(textCopy);
    } else if (plist && (plist->isNumber() || plist->isBoolean())) {
        newValue = cf::Value(static_cast<double>(cf::Value(textCopy).floatValue()));
    } else {
        return;
    }
    ax::AXUIElementSetAttributeValue(element, attribute, newValue);
}

pid_t AXUIElementUtilities::processIdentifierOfUIElement(const ax::AXUIElementRef& element) {
    pid_t pid = 0;
    if (ax::AXUIElementGetPid(element, &pid) != ax::kAXErrorSuccess) return 0;
    return pid;
}

std::optional<std::string> textOf(const ax::AXAttributeValue& value) {
    const auto* plist = std::get_if<cf::Value>(&value);
    if (!plist || !plist->asString()) return std::nullopt;
    return *plist->asString();
}

std::optional<std::string> AXWindowRefGetTitle(const ax::AXUIElementRef& window) {
    return textOf(AXUIElementUtilities::valueOfAttribute(ax::kAXTitleAttribute, window));
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
