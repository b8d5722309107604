// Reading attributes of accessibility elements, and arrays of window ids for the window-list
// calls. No state: any thread may call; accessibility calls block until the owner answers.
#pragma once

#include "platform/applicationservices/AXUIElement.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace accessibility {

// Every reader answers its neutral value (empty, 0, NO, the zero point or size) on any
// accessibility error: no such attribute or value, the element gone, accessibility off.
class AXUIElementUtilities {
  public:
    // The attribute's value (text, number, array, element or accessibility value); empty (the
    // monostate) on any accessibility error.
    static ax::AXAttributeValue valueOfAttribute(std::string_view attribute,
                                                 const ax::AXUIElementRef& element);
    // The element's attribute and action names; empty on error.
    static std::vector<std::string> attributeNamesOfUIElement(const ax::AXUIElementRef& element);
    static std::vector<std::string> actionNamesOfUIElement(const ax::AXUIElementRef& element);
    // The action's description; none on error.
    static std::optional<std::string> descriptionOfAction(std::string_view action,
                                                          const ax::AXUIElementRef& element);
    // Performs the action (for example "AXPress"); nothing happens on error.
    static void performAction(std::string_view action, const ax::AXUIElementRef& element);
    // The number of elements of an array attribute, as its owner counts them.
    static int64_t arrayCountOfAttribute(std::string_view attribute, const ax::AXUIElementRef& element);
    // The same value as valueOfAttribute: callers that need text treat anything else as absent
    // (textOf).
    static ax::AXAttributeValue stringValueOfAttribute(std::string_view attribute,
                                                       const ax::AXUIElementRef& element);
    // A number's or boolean's flag; NO for a value of any other kind (a text "YES" included).
    static bool boolValueOfAttribute(std::string_view attribute, const ax::AXUIElementRef& element);
    // The value read as a point (size) value; zero when it is none.
    static cg::CGPoint pointValueOfAttribute(std::string_view attribute, const ax::AXUIElementRef& element);
    static cg::CGSize sizeValueOfAttribute(std::string_view attribute, const ax::AXUIElementRef& element);
    // Sets the attribute from text in the form its current value has: "x=%g y=%g" for a
    // point, "w=%g h=%g" a size, "x=%g y=%g w=%g h=%g" a rectangle, "pos=%ld len=%ld" a range
    // (numbers not found are 0); text as it is; a number or boolean as the text's float value.
    // Nothing for a nil attribute name (empty view), an unreadable or other current value.
    static void setStringValue(std::string_view text, std::string_view attribute,
                               const ax::AXUIElementRef& element);
    // The owning application's process id; 0 on error.
    static pid_t processIdentifierOfUIElement(const ax::AXUIElementRef& element);
};

// The value's text when it is one.
std::optional<std::string> textOf(const ax::AXAttributeValue& value);

// The window's "AXTitle" through valueOfAttribute; none when it has none (or it is no text).
std::optional<std::string> AXWindowRefGetTitle(const ax::AXUIElementRef& window);

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
