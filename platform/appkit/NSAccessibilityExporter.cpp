#include "platform/appkit/NSAccessibilityExporter.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSMenu.h"
#include "platform/appkit/NSScreen.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGWindow.h"

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace appkit {

namespace {

using ax::AXAttributeValue;
using ax::AXError;

constexpr char kMenuBarItemRole[] = "AXMenuBarItem";
constexpr char kMenuRole[] = "AXMenu";

std::weak_ptr<NSAccessibilityExporter>& sharedExporter() {
    static std::weak_ptr<NSAccessibilityExporter> exporter;
    return exporter;
}

AXError string(const std::string& text, AXAttributeValue* value) {
    if (text.empty()) return ax::kAXErrorNoValue;
    *value = cf::Value(text);
    return ax::kAXErrorSuccess;
}

AXError geometry(std::string_view attribute, cg::CGRect frame, AXAttributeValue* value) {
    if (attribute == "AXPosition")
        *value = ax::AXValueCreate(ax::kAXValueCGPointType, &frame.origin);
    else if (attribute == "AXSize")
        *value = ax::AXValueCreate(ax::kAXValueCGSizeType, &frame.size);
    else
        *value = ax::AXValueCreate(ax::kAXValueCGRectType, &frame);
    return ax::kAXErrorSuccess;
}

bool isGeometry(std::string_view attribute) {
    return attribute == "AXPosition" || attribute == "AXSize" || attribute == "AXFrame";
}

cf::Value names(const std::vector<std::string>& list) {
    cf::Array out;
    for (const auto& n : list)
        out.push_back(n);
    return cf::Value(std::move(out));
}

// A view's frame in Core Graphics global points.
cg::CGRect globalFrame(const NSView& view, const NSWindow& window) {
    cg::CGRect inWindow = view.convertRectToView(view.bounds(), nullptr);
    cg::CGRect frame = window.frame();
    inWindow.origin.x += frame.origin.x;
    inWindow.origin.y += frame.origin.y;
    return CGRectFromNSRect(inWindow);
}

bool finite(cg::CGRect r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

} // namespace

NSAccessibilityExporter::NSAccessibilityExporter(pid_t pid, std::string name)
    : m_pid(pid), m_name(std::move(name)) {}

std::shared_ptr<NSAccessibilityExporter> NSAccessibilityExporter::installForProcess(const std::string& name) {
    auto exporter = std::make_shared<NSAccessibilityExporter>(::getpid(), name);
    AXError status = ax::AXInstallResponder(exporter->pid(), exporter);
    if (status != ax::kAXErrorSuccess) {
        platform::log("appkit: platformd refused the accessibility export of pid %d (%d)", exporter->pid(),
                      status);
        return nullptr;
    }
    sharedExporter() = exporter;
    return exporter;
}

std::shared_ptr<NSAccessibilityExporter> NSAccessibilityExporter::shared() {
    return sharedExporter().lock();
}

void NSAccessibilityExporter::setActivationHandlers(std::function<bool()> isActive,
                                                    std::function<void()> activate) {
    m_isActive = std::move(isActive);
    m_activate = std::move(activate);
}

bool NSAccessibilityExporter::isActive() const {
    return m_isActive && m_isActive();
}

// ---- Ids.

uint64_t NSAccessibilityExporter::serialFor(const std::weak_ptr<void>& object, Entry entry) {
    auto it = m_serials.find(object);
    if (it != m_serials.end()) return it->second;
    // Now and then the ids of dead objects go (their serials are never handed out again).
    if (m_entries.size() >= 64 && (m_nextSerial & 63) == 0) {
        for (auto e = m_serials.begin(); e != m_serials.end();) {
            if (e->first.expired()) {
                m_entries.erase(e->second);
                if (auto button = m_closeButtons.find(e->second); button != m_closeButtons.end()) {
                    m_entries.erase(button->second);
                    m_closeButtons.erase(button);
                }
                e = m_serials.erase(e);
            } else {
                ++e;
            }
        }
    }
    uint64_t serial = m_nextSerial++;
    m_serials.emplace(object, serial);
    m_entries.emplace(serial, std::move(entry));
    return serial;
}

ax::AXUIElement NSAccessibilityExporter::elementForView(const std::shared_ptr<NSView>& view) {
    if (!view) return {m_pid, 0};
    return {m_pid, serialFor(std::weak_ptr<void>(view), Entry{{}, view})};
}

ax::AXUIElement NSAccessibilityExporter::elementForWindow(const std::shared_ptr<NSWindow>& window) {
    if (!window) return {m_pid, 0};
    return {m_pid, serialFor(std::weak_ptr<void>(window), Entry{window, {}})};
}

ax::AXUIElementRef NSAccessibilityExporter::refSerial(uint64_t serial) const {
    return std::make_shared<const ax::AXUIElement>(ax::AXUIElement{m_pid, serial});
}

ax::AXUIElementRef NSAccessibilityExporter::ref(const std::shared_ptr<NSWindow>& window) {
    return std::make_shared<const ax::AXUIElement>(elementForWindow(window));
}

ax::AXUIElementRef NSAccessibilityExporter::ref(const std::shared_ptr<NSView>& view) {
    return std::make_shared<const ax::AXUIElement>(elementForView(view));
}

ax::AXUIElementRef NSAccessibilityExporter::closeButton(const std::shared_ptr<NSWindow>& window) {
    const uint64_t owner = elementForWindow(window).id;
    auto it = m_closeButtons.find(owner);
    if (it == m_closeButtons.end()) {
        Entry entry{window, {}, true};
        it = m_closeButtons.emplace(owner, m_nextSerial).first;
        m_entries.emplace(m_nextSerial++, std::move(entry));
    }
    return refSerial(it->second);
}

NSAccessibilityExporter::Target NSAccessibilityExporter::resolve(const ax::AXUIElement& element) {
    Target t;
    if (element.pid != m_pid) return t;
    if (element.id == 0) {
        t.kind = Target::Application;
        return t;
    }
    if (element.id == kAXExtrasMenuBarSerial) {
        t.kind = Target::ExtrasMenuBar;
        return t;
    }
    const auto menuBar = mainMenuBarItems();
    if (element.id == kAXMainMenuBarSerial) {
        if (!menuBar.empty()) t.kind = Target::MainMenuBar;
        return t;
    }
    auto it = m_entries.find(element.id);
    if (it == m_entries.end()) return t;
    if (auto item = it->second.menuItem.lock()) {
        auto place = std::find(menuBar.begin(), menuBar.end(), item);
        if (place == menuBar.end()) return t; // taken out of the main menu
        t.kind = Target::MainMenuBarItem;
        t.menuItem = item;
        t.menuBarIndex = size_t(place - menuBar.begin());
        return t;
    }
    auto windows = NSApp()->windows();
    auto live = [&](const std::shared_ptr<NSWindow>& w) {
        return w && std::find(windows.begin(), windows.end(), w) != windows.end();
    };
    if (auto view = it->second.view.lock()) {
        auto window = view->window();
        if (!live(window)) return t; // taken out of its window, or the window closed
        t.kind = Target::View;
        t.view = view;
        t.window = window;
        return t;
    }
    if (auto window = it->second.window.lock(); live(window)) {
        t.kind = it->second.closeButton ? Target::CloseButton : Target::Window;
        t.window = window;
    }
    return t;
}

// ---- The tree.

std::vector<std::shared_ptr<NSWindow>> NSAccessibilityExporter::onScreenWindows() const {
    std::vector<std::shared_ptr<NSWindow>> visible;
    for (auto& w : NSApp()->windows())
        if (w->isVisible()) visible.push_back(w);
    // Front to back as the window server orders them; windows it does not know keep their
    // creation order behind.
    std::vector<std::shared_ptr<NSWindow>> ordered;
    if (auto list = cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionOnScreenOnly, 0)) {
        for (size_t i = 0; i < list->count(); ++i) {
            const cf::Value* number = list->at(i)->find(cg::kCGWindowNumber);
            auto n = number ? number->storedInteger() : std::nullopt;
            if (!n) continue;
            auto it = std::find_if(visible.begin(), visible.end(),
                                   [&](const auto& w) { return w->windowNumber() == uint32_t(*n); });
            if (it != visible.end()) {
                ordered.push_back(*it);
                visible.erase(it);
            }
        }
    }
    ordered.insert(ordered.end(), visible.begin(), visible.end());
    return ordered;
}

std::vector<ax::AXUIElementRef> NSAccessibilityExporter::topLevelWindows() {
    std::vector<ax::AXUIElementRef> out;
    for (auto& w : onScreenWindows()) {
        const std::string role = w->accessibilityRole();
        if (role == kMenuBarItemRole || role == kMenuRole) continue;
        if (auto parent = w->accessibilityParentWindow(); parent && parent->isVisible()) continue;
        out.push_back(ref(w));
    }
    return out;
}

std::vector<ax::AXUIElementRef> NSAccessibilityExporter::statusItems() {
    std::vector<ax::AXUIElementRef> out;
    for (auto& w : onScreenWindows())
        if (w->accessibilityRole() == kMenuBarItemRole) out.push_back(ref(w));
    return out;
}

std::vector<std::shared_ptr<NSMenuItem>> NSAccessibilityExporter::mainMenuBarItems() const {
    std::vector<std::shared_ptr<NSMenuItem>> out;
    if (auto menu = NSApp()->mainMenu())
        for (const auto& item : menu->itemArray())
            if (item->submenu()) out.push_back(item);
    return out;
}

std::vector<ax::AXUIElementRef> NSAccessibilityExporter::applicationChildren() {
    auto out = topLevelWindows();
    if (!statusItems().empty()) out.push_back(refSerial(kAXExtrasMenuBarSerial));
    if (!mainMenuBarItems().empty()) out.push_back(refSerial(kAXMainMenuBarSerial));
    for (auto& w : onScreenWindows())
        if (w->accessibilityRole() == kMenuRole) out.push_back(ref(w));
    return out;
}

void NSAccessibilityExporter::exportedViews(const std::shared_ptr<NSView>& view,
                                            std::vector<ax::AXUIElementRef>& out) {
    if (!view || view->isHidden()) return;
    if (!view->accessibilityRole().empty()) {
        out.push_back(ref(view));
        return;
    }
    for (auto& child : view->accessibilityChildViews())
        exportedViews(child, out);
}

std::vector<ax::AXUIElementRef>
NSAccessibilityExporter::windowChildren(const std::shared_ptr<NSWindow>& window) {
    std::vector<ax::AXUIElementRef> out;
    if ((window->styleMask() & NSWindowStyleMaskTitled) && (window->styleMask() & NSWindowStyleMaskClosable))
        out.push_back(closeButton(window));
    exportedViews(window->toolbarView(), out);
    exportedViews(window->contentView(), out);
    for (auto& w : onScreenWindows())
        if (w->accessibilityParentWindow() == window) out.push_back(ref(w));
    return out;
}

ax::AXUIElementRef NSAccessibilityExporter::parentOf(const Target& target) {
    switch (target.kind) {
    case Target::View:
        for (auto up = target.view->superview(); up; up = up->superview())
            if (!up->accessibilityRole().empty()) return ref(up);
        return ref(target.window);
    case Target::CloseButton:
        return ref(target.window);
    case Target::Window:
        if (auto parent = target.window->accessibilityParentWindow()) return ref(parent);
        return target.window->accessibilityRole() == kMenuBarItemRole ? refSerial(kAXExtrasMenuBarSerial)
                                                                      : refSerial(0);
    case Target::ExtrasMenuBar:
    case Target::MainMenuBar:
        return refSerial(0);
    case Target::MainMenuBarItem:
        return refSerial(kAXMainMenuBarSerial);
    default:
        return nullptr;
    }
}

// ---- Reading.

AXError NSAccessibilityExporter::copyAttributeValue(const ax::AXUIElement& element,
                                                    std::string_view attribute, AXAttributeValue* value) {
    if (!value) return ax::kAXErrorIllegalArgument;
    Target t = resolve(element);
    switch (t.kind) {
    case Target::Application:
        return copyApplication(attribute, value);
    case Target::ExtrasMenuBar:
        return copyExtrasMenuBar(attribute, value);
    case Target::MainMenuBar:
        return copyMainMenuBar(attribute, value);
    case Target::MainMenuBarItem:
        return copyMainMenuBarItem(t, attribute, value);
    case Target::Window:
        return copyWindow(t, attribute, value);
    case Target::CloseButton:
        return copyCloseButton(t, attribute, value);
    case Target::View:
        return copyView(t, attribute, value);
    default:
        return ax::kAXErrorInvalidUIElement;
    }
}

AXError NSAccessibilityExporter::copyApplication(std::string_view attribute, AXAttributeValue* value) {
    if (attribute == "AXRole") return string("AXApplication", value);
    if (attribute == "AXTitle") return string(m_name, value);
    if (attribute == "AXChildren")
        *value = applicationChildren();
    else if (attribute == "AXWindows")
        *value = topLevelWindows();
    else if (attribute == "AXFrontmost")
        *value = cf::Value(isActive());
    else if (attribute == "AXEnabled")
        *value = cf::Value(true);
    else if (attribute == ax::kAXActionNamesAttribute)
        *value = cf::Value(cf::Array{});
    else if (attribute == "AXSubrole" || attribute == "AXIdentifier" || attribute == "AXDescription")
        return ax::kAXErrorNoValue;
    else
        return ax::kAXErrorAttributeUnsupported;
    return ax::kAXErrorSuccess;
}

AXError NSAccessibilityExporter::copyExtrasMenuBar(std::string_view attribute, AXAttributeValue* value) {
    auto items = statusItems();
    if (attribute == "AXRole") return string("AXMenuBar", value);
    if (attribute == "AXSubrole") return string("AXExtrasMenuBar", value);
    if (attribute == "AXChildren")
        *value = items;
    else if (attribute == "AXParent")
        *value = refSerial(0);
    else if (attribute == "AXEnabled")
        *value = cf::Value(true);
    else if (attribute == ax::kAXActionNamesAttribute)
        *value = cf::Value(cf::Array{});
    else if (isGeometry(attribute)) {
        cg::CGRect bounds = cg::CGRectNull;
        for (auto& w : onScreenWindows())
            if (w->accessibilityRole() == kMenuBarItemRole)
                bounds = cg::CGRectUnion(bounds, CGRectFromNSRect(w->frame()));
        if (cg::CGRectIsNull(bounds)) return ax::kAXErrorNoValue;
        return geometry(attribute, bounds, value);
    } else if (attribute == "AXTitle" || attribute == "AXIdentifier" || attribute == "AXDescription")
        return ax::kAXErrorNoValue;
    else
        return ax::kAXErrorAttributeUnsupported;
    return ax::kAXErrorSuccess;
}

// The main menu bar is drawn nowhere: it has no geometry.
AXError NSAccessibilityExporter::copyMainMenuBar(std::string_view attribute, AXAttributeValue* value) {
    if (attribute == "AXRole") return string("AXMenuBar", value);
    if (attribute == "AXChildren") {
        std::vector<ax::AXUIElementRef> items;
        for (const auto& item : mainMenuBarItems())
            items.push_back(refSerial(serialFor(std::weak_ptr<void>(item), Entry{{}, {}, false, item})));
        *value = std::move(items);
    } else if (attribute == "AXParent")
        *value = refSerial(0);
    else if (attribute == "AXEnabled")
        *value = cf::Value(true);
    else if (attribute == ax::kAXActionNamesAttribute)
        *value = cf::Value(cf::Array{});
    else if (isGeometry(attribute) || attribute == "AXSubrole" || attribute == "AXTitle" ||
             attribute == "AXIdentifier" || attribute == "AXDescription")
        return ax::kAXErrorNoValue;
    else
        return ax::kAXErrorAttributeUnsupported;
    return ax::kAXErrorSuccess;
}

AXError NSAccessibilityExporter::copyMainMenuBarItem(const Target& t, std::string_view attribute,
                                                     AXAttributeValue* value) {
    if (attribute == "AXRole") return string(kMenuBarItemRole, value);
    if (attribute == "AXTitle") return string(t.menuItem->title(), value);
    if (attribute == "AXChildren")
        *value = std::vector<ax::AXUIElementRef>{};
    else if (attribute == "AXParent")
        *value = refSerial(kAXMainMenuBarSerial);
    else if (attribute == "AXEnabled")
        *value = cf::Value(t.menuItem->isEnabled());
    else if (attribute == ax::kAXActionNamesAttribute)
        *value = names({ax::kAXPressAction});
    else if (isGeometry(attribute) || attribute == "AXSubrole" || attribute == "AXIdentifier" ||
             attribute == "AXDescription")
        return ax::kAXErrorNoValue;
    else
        return ax::kAXErrorAttributeUnsupported;
    return ax::kAXErrorSuccess;
}

AXError NSAccessibilityExporter::copyWindow(const Target& t, std::string_view attribute,
                                            AXAttributeValue* value) {
    NSWindow& w = *t.window;
    if (attribute == "AXRole") return string(w.accessibilityRole(), value);
    if (attribute == "AXSubrole") return string(w.accessibilitySubrole(), value);
    if (attribute == "AXIdentifier") return string(w.accessibilityIdentifier(), value);
    if (attribute == "AXTitle")
        *value = cf::Value(w.accessibilityTitle());
    else if (attribute == "AXChildren")
        *value = windowChildren(t.window);
    else if (attribute == "AXParent")
        *value = parentOf(t);
    else if (attribute == "AXEnabled")
        *value = cf::Value(!NSApp()->isWindowBlocked(w));
    else if (attribute == "AXFocused")
        *value = cf::Value(w.isKeyWindow());
    else if (attribute == "AXMain")
        *value = cf::Value(w.isMainWindow());
    else if (attribute == "AXModal")
        *value = cf::Value(w.accessibilitySubrole() == "AXDialog" || w.accessibilityRole() == "AXSheet");
    else if (attribute == ax::kAXActionNamesAttribute)
        *value = names(w.accessibilityActionNames());
    else if (isGeometry(attribute))
        return geometry(attribute, CGRectFromNSRect(w.frame()), value);
    else if (attribute == "AXDescription" || attribute == "AXValue")
        return ax::kAXErrorNoValue;
    else
        return ax::kAXErrorAttributeUnsupported;
    return ax::kAXErrorSuccess;
}

// In the title bar's left end, as the window server counts (top-left origin).
AXError NSAccessibilityExporter::copyCloseButton(const Target& t, std::string_view attribute,
                                                 AXAttributeValue* value) {
    if (attribute == "AXRole") return string("AXButton", value);
    if (attribute == "AXSubrole") return string("AXCloseButton", value);
    if (attribute == "AXTitle")
        *value = cf::Value("");
    else if (attribute == "AXEnabled")
        *value = cf::Value(!NSApp()->isWindowBlocked(*t.window));
    else if (attribute == "AXFocused")
        *value = cf::Value(false);
    else if (attribute == "AXChildren")
        *value = std::vector<ax::AXUIElementRef>{};
    else if (attribute == "AXParent" || attribute == "AXWindow")
        *value = ref(t.window);
    else if (attribute == ax::kAXActionNamesAttribute)
        *value = names({ax::kAXPressAction});
    else if (isGeometry(attribute)) {
        cg::CGRect frame = CGRectFromNSRect(t.window->frame());
        return geometry(attribute,
                        cg::CGRectMake(frame.origin.x + kNSTitleBarButtonLeft, frame.origin.y + 3, 14, 16),
                        value);
    } else if (attribute == "AXIdentifier" || attribute == "AXDescription" || attribute == "AXValue")
        return ax::kAXErrorNoValue;
    else
        return ax::kAXErrorAttributeUnsupported;
    return ax::kAXErrorSuccess;
}

AXError NSAccessibilityExporter::copyView(const Target& t, std::string_view attribute,
                                          AXAttributeValue* value) {
    NSView& v = *t.view;
    if (attribute == "AXRole") return string(v.accessibilityRole(), value);
    if (attribute == "AXSubrole") return string(v.accessibilitySubrole(), value);
    if (attribute == "AXIdentifier") return string(v.identifier(), value);
    if (attribute == "AXDescription") return string(v.accessibilityDescription(), value);
    if (attribute == "AXTitle")
        *value = cf::Value(v.accessibilityTitle());
    else if (attribute == "AXValue") {
        auto current = v.accessibilityValue();
        if (!current) return ax::kAXErrorNoValue;
        *value = *current;
    } else if (attribute == "AXEnabled")
        *value = cf::Value(v.accessibilityEnabled());
    else if (attribute == "AXFocused")
        *value = cf::Value(t.window->isKeyWindow() && t.window->firstResponder() == t.view.get());
    else if (attribute == "AXChildren") {
        std::vector<ax::AXUIElementRef> children;
        for (auto& child : v.accessibilityChildViews())
            exportedViews(child, children);
        *value = std::move(children);
    } else if (attribute == "AXParent")
        *value = parentOf(t);
    else if (attribute == "AXWindow")
        *value = ref(t.window);
    else if (attribute == ax::kAXActionNamesAttribute)
        *value = names(v.accessibilityActionNames());
    else if (isGeometry(attribute))
        return geometry(attribute, globalFrame(v, *t.window), value);
    else
        return ax::kAXErrorAttributeUnsupported;
    return ax::kAXErrorSuccess;
}

// ---- Settings.

AXError NSAccessibilityExporter::setAttributeValue(const ax::AXUIElement& element, std::string_view attribute,
                                                   const AXAttributeValue& value) {
    Target t = resolve(element);
    const cf::Value* plain = std::get_if<cf::Value>(&value);
    switch (t.kind) {
    case Target::Gone:
        return ax::kAXErrorInvalidUIElement;
    case Target::Application:
        if (attribute != "AXFrontmost") return ax::kAXErrorAttributeUnsupported;
        if (!plain || !plain->isBoolean()) return ax::kAXErrorIllegalArgument;
        if (!plain->boolValue()) return ax::kAXErrorSuccess;
        if (m_activate) {
            m_activate();
        } else if (!NSApp()->keyWindow()) {
            // Without activation of its own, activating gives keys to the main window, else to
            // the front-most window that can be key.
            auto front = onScreenWindows();
            auto main = NSApp()->mainWindow();
            auto it = std::find_if(front.begin(), front.end(), [&](auto& w) { return w == main; });
            if (it == front.end())
                it =
                    std::find_if(front.begin(), front.end(), [](auto& w) { return w->canBecomeKeyWindow(); });
            if (it != front.end()) (*it)->makeKeyWindow();
        }
        return ax::kAXErrorSuccess;
    case Target::Window:
        return setWindow(t, attribute, value);
    case Target::View: {
        if (attribute != "AXValue") return ax::kAXErrorAttributeUnsupported;
        if (!t.view->accessibilityIsValueSettable()) return ax::kAXErrorAttributeUnsupported;
        if (!plain) return ax::kAXErrorIllegalArgument;
        if (!t.view->accessibilityEnabled() || NSApp()->isWindowBlocked(*t.window))
            return ax::kAXErrorCannotComplete;
        return t.view->accessibilitySetValue(*plain) ? ax::kAXErrorSuccess : ax::kAXErrorIllegalArgument;
    }
    default:
        return ax::kAXErrorAttributeUnsupported;
    }
}

AXError NSAccessibilityExporter::setWindow(const Target& t, std::string_view attribute,
                                           const AXAttributeValue& value) {
    NSWindow& w = *t.window;
    if (attribute == "AXMain") {
        const cf::Value* plain = std::get_if<cf::Value>(&value);
        if (!plain || !plain->isBoolean()) return ax::kAXErrorIllegalArgument;
        if (plain->boolValue()) {
            w.makeMainWindow();
            w.makeKeyWindow();
        }
        return ax::kAXErrorSuccess;
    }
    if (attribute != "AXPosition" && attribute != "AXSize") return ax::kAXErrorAttributeUnsupported;
    const ax::AXValueRef* geometryValue = std::get_if<ax::AXValueRef>(&value);
    cg::CGRect frame = CGRectFromNSRect(w.frame());
    if (!geometryValue ||
        !(attribute == "AXPosition"
              ? ax::AXValueGetValue(*geometryValue, ax::kAXValueCGPointType, &frame.origin)
              : ax::AXValueGetValue(*geometryValue, ax::kAXValueCGSizeType, &frame.size)) ||
        !finite(frame) || frame.size.width < 0 || frame.size.height < 0)
        return ax::kAXErrorIllegalArgument;
    // Core Graphics keeps the top-left corner through a resize.
    w.setFrame(NSRectFromCGRect(frame), true);
    return ax::kAXErrorSuccess;
}

// ---- Actions: validated now, performed right after the answer.

AXError NSAccessibilityExporter::performAction(const ax::AXUIElement& element, std::string_view action,
                                               std::function<void()>* deed) {
    Target t = resolve(element);
    std::vector<std::string> supported;
    if (t.kind == Target::Gone) return ax::kAXErrorInvalidUIElement;
    if (t.kind == Target::View) supported = t.view->accessibilityActionNames();
    if (t.kind == Target::Window) supported = t.window->accessibilityActionNames();
    if (t.kind == Target::CloseButton || t.kind == Target::MainMenuBarItem) supported = {ax::kAXPressAction};
    if (std::find(supported.begin(), supported.end(), action) == supported.end())
        return ax::kAXErrorActionUnsupported;
    const bool raise = action == ax::kAXRaiseAction;
    if ((t.kind == Target::View && !t.view->accessibilityEnabled()) ||
        (t.kind == Target::MainMenuBarItem && (!t.menuItem->isEnabled() || NSApp()->modalWindow())) ||
        (t.window && !raise && NSApp()->isWindowBlocked(*t.window)))
        return ax::kAXErrorCannotComplete;
    std::string name(action);
    if (t.kind == Target::MainMenuBarItem) {
        // The menu opens under the menu bar of the main screen, the items 100 points apart.
        auto screens = NSScreen::screens();
        const cg::CGRect screen = screens.empty() ? cg::CGRectZero : screens.front()->frame();
        const cg::CGPoint at = cg::CGPointMake(screen.origin.x + 10 + 100 * double(t.menuBarIndex),
                                               screen.origin.y + screen.size.height - 22);
        std::weak_ptr<NSMenu> weak = t.menuItem->submenu();
        *deed = [weak, at] {
            if (auto menu = weak.lock()) menu->popUpMenuPositioningItem(nullptr, at, nullptr);
        };
    } else if (t.kind == Target::View) {
        std::weak_ptr<NSView> weak = t.view;
        *deed = [weak, name] {
            if (auto view = weak.lock()) view->accessibilityPerformAction(name);
        };
    } else if (t.kind == Target::CloseButton) {
        std::weak_ptr<NSWindow> weak = t.window;
        *deed = [weak] {
            if (auto window = weak.lock()) window->pressCloseButton();
        };
    } else {
        std::weak_ptr<NSWindow> weak = t.window;
        *deed = [weak, name] {
            if (auto window = weak.lock()) window->accessibilityPerformAction(name);
        };
    }
    return ax::kAXErrorSuccess;
}

} // namespace appkit
