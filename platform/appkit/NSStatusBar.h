// The system status bar: each status item is a borderless window of the application at level 25
// in the main screen's menu bar (its top 22 points), laid right to left from 100 points off the
// screen's right edge in the order the items were made. Length -1 (variable) is the image's
// width, else the title's (7 points a character), plus 8; -2 (square) is 22; others are taken
// as they are. The item's button fills its window: a click on it is a user click sending the
// button's action with the button as sender, or, when the item has a menu, popping the menu up
// below the item. Main thread only.
#pragma once

#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSMenu.h"
#include "platform/appkit/NSWindow.h"

#include <memory>
#include <vector>

namespace appkit {

inline constexpr double NSVariableStatusItemLength = -1;
inline constexpr double NSSquareStatusItemLength = -2;

class NSStatusBar;
class NSStatusItem;

class NSStatusBarButton : public NSButton {
  public:
    explicit NSStatusBarButton(const std::shared_ptr<NSStatusItem>& item);
    std::shared_ptr<NSStatusItem> statusItem() const { return m_item.lock(); }
    // The item's window stands for it in the accessibility tree: the button adds no element.
    std::string accessibilityRole() const override { return {}; }

  protected:
    void userClicked() override;

  private:
    std::weak_ptr<NSStatusItem> m_item;
};

// The item's window answers "AXMenuBarItem" with the identifier "statusItem", the button's title
// (else its image's name) and AXPress, a user click on the button.
class NSStatusBarWindow : public NSWindow {
  public:
    NSStatusBarWindow(cg::CGRect frame, const std::shared_ptr<NSStatusItem>& item);
    bool canBecomeKeyWindow() const override { return false; }
    bool canBecomeMainWindow() const override { return false; }
    std::string accessibilityRole() const override { return "AXMenuBarItem"; }
    std::string accessibilitySubrole() const override { return {}; }
    std::string accessibilityIdentifier() const override { return "statusItem"; }
    std::string accessibilityTitle() const override;
    std::vector<std::string> accessibilityActionNames() const override { return {"AXPress"}; }
    // Refused while the button is disabled.
    bool accessibilityPerformAction(const std::string& action) override;

  private:
    std::weak_ptr<NSStatusItem> m_item;
};

class NSStatusItem : public std::enable_shared_from_this<NSStatusItem> {
  public:
    NSStatusItem(const std::shared_ptr<NSStatusBar>& bar, double length);
    ~NSStatusItem();
    NSStatusItem(const NSStatusItem&) = delete;
    NSStatusItem& operator=(const NSStatusItem&) = delete;

    std::shared_ptr<NSStatusBar> statusBar() const { return m_bar.lock(); }
    double length() const { return m_length; }
    void setLength(double length);
    // The width the item takes in the bar.
    double width() const;
    // Null once the item is removed.
    std::shared_ptr<NSStatusBarButton> button() const { return m_button; }
    std::shared_ptr<NSWindow> window() const { return m_window; }

    // These reach the button (and re-lay the bar where the width may change).
    std::shared_ptr<NSImage> image() const;
    void setImage(std::shared_ptr<NSImage> image);
    std::string title() const;
    void setTitle(const std::string& title);
    std::shared_ptr<NSActionTarget> target() const;
    void setTarget(const std::shared_ptr<NSActionTarget>& target);
    std::string action() const;
    void setAction(std::string action);
    bool isEnabled() const;
    void setEnabled(bool enabled);
    // A menu pops up below the item on a click instead of the action being sent.
    std::shared_ptr<NSMenu> menu() const { return m_menu; }
    void setMenu(std::shared_ptr<NSMenu> menu) { m_menu = std::move(menu); }
    // Pops the menu up below the item; NO without a menu or when nothing was chosen.
    bool popUpStatusItemMenu();

  private:
    friend class NSStatusBar;
    void install();
    void uninstall();
    void relayout();

    std::weak_ptr<NSStatusBar> m_bar;
    double m_length;
    std::shared_ptr<NSStatusBarButton> m_button;
    std::shared_ptr<NSStatusBarWindow> m_window;
    std::shared_ptr<NSMenu> m_menu;
};

class NSStatusBar : public std::enable_shared_from_this<NSStatusBar> {
  public:
    static std::shared_ptr<NSStatusBar> systemStatusBar();
    double thickness() const { return 22; }

    // A new item at the left end of the application's items, its window on screen.
    std::shared_ptr<NSStatusItem> statusItemWithLength(double length);
    // Takes the item's window off the screen and out of the bar; the others close up.
    void removeStatusItem(const std::shared_ptr<NSStatusItem>& item);
    // In the order made (the first rightmost).
    const std::vector<std::shared_ptr<NSStatusItem>>& statusItems() const { return m_items; }
    // Puts every item's window in its place (after a length, title or image change, or when
    // the main screen changed).
    void layout();

  private:
    std::vector<std::shared_ptr<NSStatusItem>> m_items;
};

} // namespace appkit
