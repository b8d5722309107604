// The accessibility export: one process's windows and views as elements, answered for its pid
// through platformd (and in-process to its own main thread). It reads only what windows and
// views say of themselves (their accessibility members), so every control, menu, alert or
// popover class exports without the exporter knowing it.
//
// The tree: the application's children are its on-screen windows front to back (a sheet under
// its parent window), an "AXExtrasMenuBar" holding the windows whose role is "AXMenuBarItem"
// (status items) when there are any, an "AXMenuBar" of the main menu's items that open a menu
// (each an "AXMenuBarItem" whose press pops its menu up) when the application has a main menu,
// and last any open menu (role "AXMenu"). A window's
// children are its close button (when it has one) and its views; a hidden view is left out with everything
// below it, and a view with no role stands aside for its children. Element ids are (pid, serial): 0 the
// application, 1 the extras menu bar, 2 the main menu bar, the rest given on first sight and never reused
// within the process. Main thread only.
#pragma once

#include "platform/applicationservices/AXUIElement.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace appkit {

class NSMenuItem;
class NSView;
class NSWindow;

inline constexpr uint64_t kAXExtrasMenuBarSerial = 1;
inline constexpr uint64_t kAXMainMenuBarSerial = 2;

class NSAccessibilityExporter : public ax::AXResponder,
                                public std::enable_shared_from_this<NSAccessibilityExporter> {
  public:
    // name: the application's title.
    NSAccessibilityExporter(pid_t pid, std::string name);

    // An exporter answering for this process's pid from now on; null (logged) when platformd
    // refuses. The process keeps it alive (the responder table holds it weakly).
    static std::shared_ptr<NSAccessibilityExporter> installForProcess(const std::string& name);
    // The exporter installForProcess made, if any.
    static std::shared_ptr<NSAccessibilityExporter> shared();

    pid_t pid() const { return m_pid; }
    ax::AXUIElement applicationElement() const { return {m_pid, 0}; }
    ax::AXUIElement elementForView(const std::shared_ptr<NSView>& view);
    ax::AXUIElement elementForWindow(const std::shared_ptr<NSWindow>& window);

    // Activation: whether the application is active, and how "AXFrontmost" activates it.
    // Without them the application answers inactive, and activating only makes sure it has a key
    // window (the main one, else the front-most that can be key).
    void setActivationHandlers(std::function<bool()> isActive, std::function<void()> activate);

    ax::AXError copyAttributeValue(const ax::AXUIElement& element, std::string_view attribute,
                                   ax::AXAttributeValue* value) override;
    ax::AXError setAttributeValue(const ax::AXUIElement& element, std::string_view attribute,
                                  const ax::AXAttributeValue& value) override;
    ax::AXError performAction(const ax::AXUIElement& element, std::string_view action,
                              std::function<void()>* deed) override;

  private:
    // What an id stands for.
    struct Target {
        enum Kind {
            Gone,
            Application,
            ExtrasMenuBar,
            MainMenuBar,
            MainMenuBarItem,
            Window,
            CloseButton,
            View
        };
        Kind kind = Gone;
        std::shared_ptr<NSWindow> window; // a view's window too
        std::shared_ptr<NSView> view;
        std::shared_ptr<NSMenuItem> menuItem;
        size_t menuBarIndex = 0; // the item's place in the main menu bar
    };
    struct Entry {
        std::weak_ptr<NSWindow> window;
        std::weak_ptr<NSView> view;
        bool closeButton = false; // the window's close button, not the window
        std::weak_ptr<NSMenuItem> menuItem{};
    };

    Target resolve(const ax::AXUIElement& element);
    uint64_t serialFor(const std::weak_ptr<void>& object, Entry entry);
    ax::AXUIElementRef refSerial(uint64_t serial) const;
    ax::AXUIElementRef ref(const std::shared_ptr<NSWindow>& window);
    ax::AXUIElementRef ref(const std::shared_ptr<NSView>& view);
    ax::AXUIElementRef closeButton(const std::shared_ptr<NSWindow>& window);

    // The tree.
    std::vector<std::shared_ptr<NSWindow>> onScreenWindows() const;
    std::vector<ax::AXUIElementRef> applicationChildren();
    std::vector<ax::AXUIElementRef> topLevelWindows();
    std::vector<ax::AXUIElementRef> statusItems();
    // The main menu's items that open a menu, in order.
    std::vector<std::shared_ptr<NSMenuItem>> mainMenuBarItems() const;
    std::vector<ax::AXUIElementRef> windowChildren(const std::shared_ptr<NSWindow>& window);
    void exportedViews(const std::shared_ptr<NSView>& view, std::vector<ax::AXUIElementRef>& out);
    ax::AXUIElementRef parentOf(const Target& target);

    ax::AXError copyApplication(std::string_view attribute, ax::AXAttributeValue* value);
    ax::AXError copyExtrasMenuBar(std::string_view attribute, ax::AXAttributeValue* value);
    ax::AXError copyMainMenuBar(std::string_view attribute, ax::AXAttributeValue* value);
    ax::AXError copyMainMenuBarItem(const Target& target, std::string_view attribute,
                                    ax::AXAttributeValue* value);
    ax::AXError copyWindow(const Target& target, std::string_view attribute, ax::AXAttributeValue* value);
    ax::AXError copyCloseButton(const Target& target, std::string_view attribute,
                                ax::AXAttributeValue* value);
    ax::AXError copyView(const Target& target, std::string_view attribute, ax::AXAttributeValue* value);
    ax::AXError setWindow(const Target& target, std::string_view attribute,
                          const ax::AXAttributeValue& value);
    bool isActive() const;

    pid_t m_pid;
    std::string m_name;
    uint64_t m_nextSerial = kAXMainMenuBarSerial + 1;
    std::map<uint64_t, Entry> m_entries;
    std::map<std::weak_ptr<void>, uint64_t, std::owner_less<std::weak_ptr<void>>> m_serials;
    std::map<uint64_t, uint64_t> m_closeButtons; // a window's serial: its close button's
    std::function<bool()> m_isActive;
    std::function<void()> m_activate;
};

} // namespace appkit
