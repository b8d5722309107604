// Menus: items with a title, a target and action, a tag, a check state, an enabled flag (or an
// "enabled" binding; titles may be bound too) and a represented object; no automatic enabling.
// A menu pops up in a nested event-tracking loop over a level-101 window of 240-point-wide,
// 20-point rows; while it tracks it takes all of the process's input. Main thread only.
#pragma once

#include "platform/appkit/NSAction.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSObject.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace appkit {

class NSMenu;
class NSView;
class NSWindow;

inline constexpr double kNSMenuRowHeight = 20;
inline constexpr double kNSMenuWidth = 240;

class NSMenuItem : public ns::NSObject, public NSActionTarget {
  public:
    NSMenuItem(std::string title = {}, std::string action = {}, std::string keyEquivalent = {});
    static std::shared_ptr<NSMenuItem> make(std::string title = {}, std::string action = {},
                                            std::string keyEquivalent = {}) {
        return std::make_shared<NSMenuItem>(std::move(title), std::move(action), std::move(keyEquivalent));
    }
    static std::shared_ptr<NSMenuItem> separatorItem();

    // Keys "title", "enabled", "state", "tag", "identifier", "representedObject"; bindings
    // "title" and "enabled".
    static const ns::KeyTable& classKeys();
    const ns::KeyTable& keyTable() const override { return classKeys(); }

    bool isSeparatorItem() const { return m_separator; }
    const std::string& title() const { return m_title; }
    void setTitle(const std::string& title);
    const std::string& keyEquivalent() const { return m_keyEquivalent; }
    // Held weakly; none: the action goes up the responder chain (NSAction.h).
    std::shared_ptr<NSActionTarget> target() const { return m_target.lock(); }
    void setTarget(const std::shared_ptr<NSActionTarget>& target) { m_target = target; }
    const std::string& action() const { return m_action; }
    void setAction(std::string action) { m_action = std::move(action); }
    int64_t tag() const { return m_tag; }
    void setTag(int64_t tag) { m_tag = tag; }
    // 1 on (checked), 0 off, -1 mixed.
    int64_t state() const { return m_state; }
    void setState(int64_t state);
    // Separators are never enabled.
    bool isEnabled() const { return m_enabled && !m_separator; }
    void setEnabled(bool enabled);
    const ns::Id& representedObject() const { return m_representedObject; }
    void setRepresentedObject(ns::Id object) { m_representedObject = std::move(object); }
    const std::string& identifier() const { return m_identifier; }
    void setIdentifier(const std::string& identifier) { m_identifier = identifier; }
    std::shared_ptr<NSMenu> menu() const { return m_menu.lock(); }
    // The menu the item opens (a menu bar's items carry one each); owned.
    std::shared_ptr<NSMenu> submenu() const { return m_submenu; }
    void setSubmenu(std::shared_ptr<NSMenu> submenu) { m_submenu = std::move(submenu); }

  private:
    friend class NSMenu;
    void changed();

    std::string m_title;
    std::string m_keyEquivalent;
    std::weak_ptr<NSActionTarget> m_target;
    std::string m_action;
    int64_t m_tag = 0;
    int64_t m_state = 0;
    bool m_enabled = true;
    bool m_separator = false;
    ns::Id m_representedObject;
    std::string m_identifier;
    std::weak_ptr<NSMenu> m_menu;
    std::shared_ptr<NSMenu> m_submenu;
};

class NSMenuWindow;

class NSMenu : public std::enable_shared_from_this<NSMenu> {
  public:
    explicit NSMenu(std::string title = {}) : m_title(std::move(title)) {}
    static std::shared_ptr<NSMenu> make(std::string title = {}) {
        return std::make_shared<NSMenu>(std::move(title));
    }
    ~NSMenu();
    NSMenu(const NSMenu&) = delete;
    NSMenu& operator=(const NSMenu&) = delete;

    const std::string& title() const { return m_title; }
    void setTitle(std::string title) { m_title = std::move(title); }

    // ---- Items. An item belongs to one menu at a time: adding it elsewhere is refused (logged).
    const std::vector<std::shared_ptr<NSMenuItem>>& itemArray() const { return m_items; }
    int64_t numberOfItems() const { return int64_t(m_items.size()); }
    void addItem(const std::shared_ptr<NSMenuItem>& item);
    std::shared_ptr<NSMenuItem> addItemWithTitle(std::string title, std::string action,
                                                 std::string keyEquivalent = {});
    void insertItemAtIndex(const std::shared_ptr<NSMenuItem>& item, int64_t index);
    void removeItem(const std::shared_ptr<NSMenuItem>& item);
    void removeItemAtIndex(int64_t index);
    void removeAllItems();
    // Null when out of range / not found; -1 when not found.
    std::shared_ptr<NSMenuItem> itemAtIndex(int64_t index) const;
    std::shared_ptr<NSMenuItem> itemWithTitle(std::string_view title) const;
    std::shared_ptr<NSMenuItem> itemWithTag(int64_t tag) const;
    int64_t indexOfItem(const NSMenuItem* item) const;
    int64_t indexOfItemWithTag(int64_t tag) const;

    // ---- Tracking. Opens the menu with item's top-left at location (view's space; no view:
    // Cocoa global space; no item: the first row's) and tracks until an item is chosen (by a
    // press or a click on its row: the menu closes, the item's action goes to its target with
    // the item as sender, and the answer is YES) or the tracking is cancelled (a click outside,
    // Escape, cancel, resign-active or cancelTracking: NO). A menu already tracking answers NO.
    bool popUpMenuPositioningItem(const std::shared_ptr<NSMenuItem>& item, cg::CGPoint location,
                                  const std::shared_ptr<NSView>& view);
    // Ends the tracking without a choice; nothing when the menu is not tracking.
    void cancelTracking();
    bool isTracking() const { return m_tracking; }
    // The item a tracking ended on (null after a cancel), for pop-up buttons.
    std::shared_ptr<NSMenuItem> chosenItem() const { return m_chosen; }

    // The menu tracking now and its window, null when none (what the accessibility exporter
    // lists as the open menu).
    static std::shared_ptr<NSMenu> openMenu();
    static std::shared_ptr<NSWindow> openMenuWindow();
    std::shared_ptr<NSWindow> window() const;

    // What the tracking window does on a press or a click of an item's row: chooses an enabled
    // item of this tracking menu; NO otherwise.
    bool chooseItem(const std::shared_ptr<NSMenuItem>& item);

  private:
    friend class NSMenuItem;
    void itemChanged(const NSMenuItem& item);
    bool handleTrackingEvent(const class NSEvent& event);
    void endTracking(std::shared_ptr<NSMenuItem> chosen);

    std::string m_title;
    std::vector<std::shared_ptr<NSMenuItem>> m_items;
    bool m_tracking = false;
    bool m_done = false;
    std::shared_ptr<NSMenuItem> m_chosen;
    std::shared_ptr<NSMenuWindow> m_window;
};

} // namespace appkit
