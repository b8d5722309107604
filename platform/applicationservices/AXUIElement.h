// Accessibility: elements of other processes' user interfaces, their attributes and values.
// platformd routes every request to the process answering for the element's pid (an
// application's exporter, or a test's fake application), which answers on its main run loop;
// no answer within 6 seconds gives kAXErrorCannotComplete. While the accessibility switch is
// off every call answers kAXErrorAPIDisabled.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGGeometry.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <variant>
#include <vector>

namespace cg {
struct CGSWindowStore;
} // namespace cg

namespace ax {

using AXError = int32_t;
inline constexpr AXError kAXErrorSuccess = 0;
inline constexpr AXError kAXErrorFailure = -25200;
inline constexpr AXError kAXErrorIllegalArgument = -25201;
inline constexpr AXError kAXErrorInvalidUIElement = -25202;
inline constexpr AXError kAXErrorCannotComplete = -25204;
inline constexpr AXError kAXErrorAttributeUnsupported = -25205;
inline constexpr AXError kAXErrorActionUnsupported = -25206;
inline constexpr AXError kAXErrorAPIDisabled = -25211;
inline constexpr AXError kAXErrorNoValue = -25212;

inline constexpr char kAXWindowsAttribute[] = "AXWindows";
inline constexpr char kAXPositionAttribute[] = "AXPosition";
inline constexpr char kAXSizeAttribute[] = "AXSize";
inline constexpr char kAXTitleAttribute[] = "AXTitle";
inline constexpr char kAXMainAttribute[] = "AXMain";
inline constexpr char kAXMenuBarAttribute[] = "AXMenuBar";
inline constexpr char kAXChildrenAttribute[] = "AXChildren";
inline constexpr char kAXEnabledAttribute[] = "AXEnabled";
inline constexpr char kAXMenuItemCmdCharAttribute[] = "AXMenuItemCmdChar";
inline constexpr char kAXMenuItemMarkCharAttribute[] = "AXMenuItemMarkChar";
inline constexpr char kAXFrontmostAttribute[] = "AXFrontmost";
// The names of an element's actions, an array of strings (what AXUIElementCopyActionNames reads).
inline constexpr char kAXActionNamesAttribute[] = "AXActionNames";

inline constexpr char kAXPressAction[] = "AXPress";
inline constexpr char kAXShowMenuAction[] = "AXShowMenu";
inline constexpr char kAXCancelAction[] = "AXCancel";
inline constexpr char kAXRaiseAction[] = "AXRaise";

// The most attributes one AXUIElementCopyMultipleAttributeValues asks for.
inline constexpr size_t kAXMaxMultipleAttributes = 64;

// An element: (pid, id); id 0 is the application, pid 0 the system-wide element. Equal by value.
struct AXUIElement {
    pid_t pid = 0;
    uint64_t id = 0;
    bool operator==(const AXUIElement&) const = default;
};
using AXUIElementRef = std::shared_ptr<const AXUIElement>;

// Geometry values.
enum AXValueType : int32_t {
    kAXValueIllegalType = 0,
    kAXValueCGPointType = 1,
    kAXValueCGSizeType = 2,
    kAXValueCGRectType = 3,
    kAXValueCFRangeType = 4,
};
struct AXValueRange {
    int64_t location = 0;
    int64_t length = 0;
};
struct AXValue {
    AXValueType type = kAXValueIllegalType;
    cg::CGPoint point;
    cg::CGSize size;
    cg::CGRect rect;
    AXValueRange range;
};
using AXValueRef = std::shared_ptr<const AXValue>;

// null for an illegal type or a null value.
AXValueRef AXValueCreate(AXValueType type, const void* value);
AXValueType AXValueGetType(const AXValueRef& value);
// false when the value is null or of another type.
bool AXValueGetValue(const AXValueRef& value, AXValueType type, void* out);

// What an attribute holds: nothing, a property-list value (string, number, boolean stay
// distinct), an element, a geometry value, or an array of elements.
using AXAttributeValue =
    std::variant<std::monostate, cf::Value, AXUIElementRef, AXValueRef, std::vector<AXUIElementRef>>;

bool AXAPIEnabled();
bool AXIsProcessTrusted();

AXUIElementRef AXUIElementCreateApplication(pid_t pid);
AXUIElementRef AXUIElementCreateSystemWide();
AXError AXUIElementGetPid(const AXUIElementRef& element, pid_t* pid);
AXError AXUIElementCopyAttributeValue(const AXUIElementRef& element, std::string_view attribute,
                                      AXAttributeValue* value);
AXError AXUIElementSetAttributeValue(const AXUIElementRef& element, std::string_view attribute,
                                     const AXAttributeValue& value);
// Answers once the owner has accepted the action; the owner performs it right after answering,
// so the caller never waits on a loop the action opens.
AXError AXUIElementPerformAction(const AXUIElementRef& element, std::string_view action);
AXError AXUIElementCopyActionNames(const AXUIElementRef& element, std::vector<std::string>* names);
// Several attributes in one request: values[i] and errors[i] answer attributes[i] (a failed one
// holds nothing). The call itself fails only when the request does (no owner, no answer, too
// many or malformed names).
AXError AXUIElementCopyMultipleAttributeValues(const AXUIElementRef& element,
                                               const std::vector<std::string>& attributes,
                                               std::vector<AXAttributeValue>* values,
                                               std::vector<AXError>* errors);
// The element's attribute names.
AXError AXUIElementCopyAttributeNames(const AXUIElementRef& element, std::vector<std::string>* names);
// The number of values of an array attribute, as its owner counts them.
AXError AXUIElementGetAttributeValueCount(const AXUIElementRef& element, std::string_view attribute,
                                          int64_t* count);
// Up to maxValues values of an array attribute from index on (fewer at its end).
AXError AXUIElementCopyAttributeValues(const AXUIElementRef& element, std::string_view attribute,
                                       int64_t index, int64_t maxValues, AXAttributeValue* values);
AXError AXUIElementCopyActionDescription(const AXUIElementRef& element, std::string_view action,
                                         std::string* description);

// ---- Answering for pids (the exporter of an application, or a test's fake applications).

// Answers requests for the elements of the pids it is installed for, on the main run loop.
class AXResponder {
  public:
    virtual ~AXResponder() = default;
    virtual AXError copyAttributeValue(const AXUIElement& element, std::string_view attribute,
                                       AXAttributeValue* value) = 0;
    virtual AXError setAttributeValue(const AXUIElement& element, std::string_view attribute,
                                      const AXAttributeValue& value) = 0;
    // Validates the action; when accepted, sets deed to what performs it, which runs right after
    // the answer is sent, on the same main-loop turn.
    virtual AXError performAction(const AXUIElement& element, std::string_view action,
                                  std::function<void()>* deed) {
        (void)element, (void)action, (void)deed;
        return kAXErrorActionUnsupported;
    }
    // The queries. By default: no names; the count and a run of the values of what
    // copyAttributeValue answers (an array); no action descriptions.
    virtual AXError copyAttributeNames(const AXUIElement& element, std::vector<std::string>* names);
    virtual AXError getAttributeValueCount(const AXUIElement& element, std::string_view attribute,
                                           int64_t* count);
    virtual AXError copyAttributeValues(const AXUIElement& element, std::string_view attribute, int64_t index,
                                        int64_t maximum, AXAttributeValue* values);
    virtual AXError copyActionDescription(const AXUIElement& element, std::string_view action,
                                          std::string* description);
};

// This process answers for pid (its own, or a fake application's it registered); the
// responder is held weakly. A request this process makes from its main thread for such a pid is
// answered in-process (the main loop could not serve it while the thread waits). Answers
// kAXErrorIllegalArgument when another process answers for pid already.
AXError AXInstallResponder(pid_t pid, const std::shared_ptr<AXResponder>& responder);
void AXRemoveResponder(pid_t pid);

// One item of a fake application's menu bar: a menu-bar item, or an item of a menu. An item
// with children has a menu (an element of its own) holding them, as real menus do.
struct AXFakeMenuItem {
    std::string title;
    bool enabled = true;
    std::string commandCharacter; // "AXMenuItemCmdChar": empty when the item has none
    std::string markCharacter;    // "AXMenuItemMarkChar": "✓" when checked
    cg::CGPoint position;
    cg::CGSize size;
    std::vector<AXFakeMenuItem> children;
};

// A fake application for tests: a pid from 0x40000000 up that platformd lists as a running
// application, whose windows live in the window server's registry. It answers "AXWindows",
// "AXTitle", "AXPosition", "AXSize" and "AXMain" from the registry, and moves its windows on
// "AXPosition"/"AXSize"; with a menu bar, "AXMenuBar" and its elements' "AXChildren",
// "AXTitle", "AXEnabled", "AXPosition", "AXSize", "AXMenuItemCmdChar" and
// "AXMenuItemMarkChar". It leaves with its process, or when destroyed.
class AXFakeApplication : public AXResponder, public std::enable_shared_from_this<AXFakeApplication> {
  public:
    // Null when platformd refuses it.
    static std::shared_ptr<AXFakeApplication> create(const std::string& name,
                                                     const std::string& bundleIdentifier);
    ~AXFakeApplication() override;

    pid_t pid() const { return m_pid; }
    // A new on-screen window of the fake application; 0 when refused.
    uint32_t addWindow(const std::string& title, cg::CGRect frame, int32_t level = 0);
    // Its owner moves it (as the real application would, without accessibility).
    bool moveWindow(uint32_t window, cg::CGRect frame);
    std::vector<uint32_t> windows() const;
    // The window's picture: every pixel of the colour (0xAARRGGBB, not premultiplied). A window
    // never filled is transparent. false for a window that is not the application's.
    bool fillWindow(uint32_t window, uint32_t argb);
    // Replaces the menu bar; its elements get ids of their own, never reused while the
    // application lives.
    void setMenuBar(const std::vector<AXFakeMenuItem>& items);
    // The element id of the menu bar (0 without one), and of the item at path (indices from the
    // menu bar's items down; 0 when there is none there).
    uint64_t menuBarElement() const;
    uint64_t menuElement(const std::vector<size_t>& path) const;
    // While off, requests go unanswered (the asker gets kAXErrorCannotComplete after 6 s).
    void setAnswering(bool answering) { m_answering = answering; }
    bool answering() const { return m_answering; }

    AXError copyAttributeValue(const AXUIElement& element, std::string_view attribute,
                               AXAttributeValue* value) override;
    AXError setAttributeValue(const AXUIElement& element, std::string_view attribute,
                              const AXAttributeValue& value) override;
    // "AXPress" of an enabled menu item (recorded); "AXRaise" of its windows does nothing more.
    AXError performAction(const AXUIElement& element, std::string_view action,
                          std::function<void()>* deed) override;
    AXError copyAttributeNames(const AXUIElement& element, std::vector<std::string>* names) override;
    AXError copyActionDescription(const AXUIElement& element, std::string_view action,
                                  std::string* description) override;
    // The menu items pressed so far, oldest first.
    std::vector<uint64_t> pressedMenuItems() const;
    // Whether "AXFrontmost" was last set true.
    bool frontmost() const { return m_frontmost; }
    // The window "AXMain" was last set true on; 0 for none.
    uint32_t mainWindow() const { return m_mainWindow; }

  private:
    // A menu-bar element: the bar, an item, or the menu an item holds.
    struct MenuNode {
        AXFakeMenuItem item; // its children are the ids below
        std::vector<uint64_t> children;
        bool isMenu = false;
        bool isBar = false;
    };
    AXFakeApplication() = default;
    uint64_t addMenuNode(const AXFakeMenuItem& item, bool isMenu);
    AXError copyMenuAttribute(const MenuNode& node, std::string_view attribute, AXAttributeValue* value);
    pid_t m_pid = 0;
    std::string m_name;
    mutable std::mutex m_mutex;
    std::vector<uint32_t> m_windows;
    std::map<uint32_t, std::shared_ptr<cg::CGSWindowStore>> m_stores;
    std::map<uint64_t, MenuNode> m_menus; // under m_mutex
    uint64_t m_menuBar = 0;
    std::vector<uint64_t> m_pressed;
    std::atomic<bool> m_frontmost{false};
    std::atomic<uint32_t> m_mainWindow{0};
    // Menu elements are numbered above every window number, under the pid, so no two fake
    // applications share one.
    static constexpr uint64_t kFirstMenuElement = uint64_t(1) << 32;
    uint64_t m_nextMenuElement = 0;
    std::atomic<bool> m_answering{true};
};

} // namespace ax
