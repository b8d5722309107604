// Reading attributes of accessibility elements, and arrays of window ids for the window-list
// calls. No state: any thread may call; accessibility calls block until the owner answers.
#pragma once

#include "platform/applicationservices/AXUIElement.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace accessibility {

class AXUIElementUtilities {
  public:
    // The attribute's value (text, number, array, element or accessibility value); empty (the
    // monostate) on any accessibility error.
    static ax::AXAttributeValue valueOfAttribute(std::string_view attribute,
                                                 const ax::AXUIElementRef& element);
};

// The window's frame in CG global points: origin from its position when that reads as a point
// value, size from its size when that reads as a size value; a part that cannot be read stays 0.
cg::CGRect AXWindowRefGetBounds(const ax::AXUIElementRef& window);

// Array callbacks of version 0 without retain or release: elements are the window ids
// themselves, widened to pointer width.
struct CFArrayCallBacks {
    int64_t version = 0;
    const void* (*retain)(const void* value) = nullptr;
    void (*release)(const void* value) = nullptr;
    std::string (*copyDescription)(const void* value) = nullptr;
    bool (*equal)(const void* value1, const void* value2) = nullptr;
};
// "CGWindowID", whatever the value.
std::string CGWindowIDCopyDescriptionCallBack(const void* value);
bool CGWindowIDEqualCallBack(const void* value1, const void* value2);
extern const CFArrayCallBacks CGWindowIDCFArrayCallbacks;

// An array made with the window-id callbacks.
class CGWindowIDArray {
  public:
    explicit CGWindowIDArray(const std::vector<uint32_t>& windowIDs);
    size_t count() const { return m_values.size(); }
    const void* valueAtIndex(size_t index) const { return m_values.at(index); }
    std::vector<uint32_t> windowIDs() const;
    // "(\n    CGWindowID,\n ...)": each element through the description callback.
    std::string description() const;
    // Equal counts and each pair equal through the equality callback.
    bool operator==(const CGWindowIDArray& other) const;

  private:
    const CFArrayCallBacks* m_callbacks = &CGWindowIDCFArrayCallbacks;
    std::vector<const void*> m_values;
};

} // namespace accessibility
