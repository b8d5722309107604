// The window a tracking menu shows: borderless, level 101, one 20-point row per item, drawn
// plainly (white rows, the title in black or grey, a check mark for items that are on, a line
// for separators). The window answers "AXMenu" to the accessibility exporter and its rows
// "AXMenuItem" with the item's title, enabled state and identifier.
#pragma once

#include "platform/appkit/NSMenu.h"
#include "platform/appkit/NSWindow.h"

#include <memory>

namespace appkit {

class NSMenuItemView : public NSView {
  public:
    NSMenuItemView(cg::CGRect frame, std::shared_ptr<NSMenuItem> item);
    std::shared_ptr<NSMenuItem> item() const { return m_item; }

    void drawRect(cg::CGRect dirtyRect) override;

    std::string accessibilityRole() const override { return "AXMenuItem"; }
    std::string accessibilityTitle() const override { return m_item->title(); }
    bool accessibilityEnabled() const override { return m_item->isEnabled(); }
    std::vector<std::string> accessibilityActionNames() const override { return {"AXPress", "AXCancel"}; }
    // AXPress chooses the item (refused when it is disabled), AXCancel ends the tracking.
    bool accessibilityPerformAction(const std::string& action) override;

  private:
    std::shared_ptr<NSMenuItem> m_item;
};

class NSMenuWindow : public NSWindow {
  public:
    // A window for the menu's items with its top-left corner at topLeft (Cocoa global).
    NSMenuWindow(const std::shared_ptr<NSMenu>& menu, cg::CGPoint topLeft);
    static std::shared_ptr<NSMenuWindow> make(const std::shared_ptr<NSMenu>& menu, cg::CGPoint topLeft);

    std::shared_ptr<NSMenu> menu() const { return m_menu.lock(); }
    // The row of the item at a point of the window's base space; null between rows or outside.
    std::shared_ptr<NSMenuItemView> rowAtPoint(cg::CGPoint pointInWindow) const;
    std::shared_ptr<NSMenuItemView> rowForItem(const NSMenuItem& item) const;

    bool canBecomeKeyWindow() const override { return false; }
    bool canBecomeMainWindow() const override { return false; }
    std::string accessibilityRole() const override { return "AXMenu"; }
    std::string accessibilitySubrole() const override { return {}; }
    std::string accessibilityTitle() const override;
    std::vector<std::string> accessibilityActionNames() const override { return {"AXCancel"}; }
    bool accessibilityPerformAction(const std::string& action) override;

  private:
    void addRows();
    std::weak_ptr<NSMenu> m_menu;
    std::vector<std::shared_ptr<NSMenuItemView>> m_rows;
};

} // namespace appkit
