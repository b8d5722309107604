// Toolbars: a row of items (identifier, label, image, target and action, enabled) across the top
// of a window's content area, drawn over the content view and hit before it; the window's frame
// does not grow for it. Items come from the delegate's default identifiers when the toolbar
// joins its window (or are inserted directly); the selected item draws pressed. Each item shows
// as a button (accessibility: "AXButton" with the label) whose click or press sends the item's
// action with the item as sender. Main thread only.
#pragma once

#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSImage.h"
#include "platform/foundation/NSObject.h"

#include <memory>
#include <string>
#include <vector>

namespace appkit {

class NSToolbar;
class NSToolbarItem;
class NSWindow;

inline constexpr double kNSToolbarHeight = 38;

class NSToolbarDelegate {
  public:
    virtual ~NSToolbarDelegate() = default;
    virtual std::vector<std::string> toolbarAllowedItemIdentifiers(NSToolbar& toolbar) {
        (void)toolbar;
        return {};
    }
    virtual std::vector<std::string> toolbarDefaultItemIdentifiers(NSToolbar& toolbar) {
        (void)toolbar;
        return {};
    }
    virtual std::vector<std::string> toolbarSelectableItemIdentifiers(NSToolbar& toolbar) {
        (void)toolbar;
        return {};
    }
    // toolbar:itemForItemIdentifier:willBeInsertedIntoToolbar:; null: no item.
    virtual std::shared_ptr<NSToolbarItem>
    toolbarItemForItemIdentifier(NSToolbar& toolbar, const std::string& identifier, bool willBeInserted) {
        (void)toolbar, (void)identifier, (void)willBeInserted;
        return nullptr;
    }
};

// The button an item shows as: a click or press sends the item's action, the item as sender.
class NSToolbarItemButton : public NSButton {
  public:
    explicit NSToolbarItemButton(const std::shared_ptr<NSToolbarItem>& item);
    std::shared_ptr<NSToolbarItem> item() const { return m_item.lock(); }
    // The selected item stands on a darker ground, so the toolbar shows which one it is.
    void drawRect(cg::CGRect dirtyRect) override;

  protected:
    void userClicked() override;

  private:
    std::weak_ptr<NSToolbarItem> m_item;
};

class NSToolbarItem : public ns::NSObject, public NSActionTarget {
  public:
    explicit NSToolbarItem(std::string itemIdentifier);
    static std::shared_ptr<NSToolbarItem> make(std::string itemIdentifier) {
        return std::make_shared<NSToolbarItem>(std::move(itemIdentifier));
    }

    // Keys "label", "enabled", "tag".
    static const ns::KeyTable& classKeys();
    const ns::KeyTable& keyTable() const override { return classKeys(); }

    const std::string& itemIdentifier() const { return m_identifier; }
    const std::string& label() const { return m_label; }
    void setLabel(const std::string& label);
    std::shared_ptr<NSImage> image() const { return m_image; }
    void setImage(std::shared_ptr<NSImage> image);
    std::shared_ptr<NSActionTarget> target() const { return m_target.lock(); }
    void setTarget(const std::shared_ptr<NSActionTarget>& target) { m_target = target; }
    const std::string& action() const { return m_action; }
    void setAction(std::string action) { m_action = std::move(action); }
    int64_t tag() const { return m_tag; }
    void setTag(int64_t tag) { m_tag = tag; }
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    std::shared_ptr<NSToolbar> toolbar() const { return m_toolbar.lock(); }
    // The button showing the item (made with the item).
    std::shared_ptr<NSToolbarItemButton> button();

    // A user click: the action to the target (none: up the responder chain), the item as sender.
    bool sendItemAction();

  private:
    friend class NSToolbar;
    std::string m_identifier;
    std::string m_label;
    std::shared_ptr<NSImage> m_image;
    std::weak_ptr<NSActionTarget> m_target;
    std::string m_action;
    int64_t m_tag = 0;
    bool m_enabled = true;
    std::weak_ptr<NSToolbar> m_toolbar;
    std::shared_ptr<NSToolbarItemButton> m_button;
};

class NSToolbar : public std::enable_shared_from_this<NSToolbar> {
  public:
    explicit NSToolbar(std::string identifier = {}) : m_identifier(std::move(identifier)) {}
    static std::shared_ptr<NSToolbar> make(std::string identifier = {}) {
        return std::make_shared<NSToolbar>(std::move(identifier));
    }
    NSToolbar(const NSToolbar&) = delete;
    NSToolbar& operator=(const NSToolbar&) = delete;

    const std::string& identifier() const { return m_identifier; }
    std::shared_ptr<NSToolbarDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<NSToolbarDelegate>& delegate);

    const std::vector<std::shared_ptr<NSToolbarItem>>& items() const { return m_items; }
    // Inserts the delegate's item for the identifier (nothing when it gives none).
    void insertItemWithItemIdentifier(const std::string& identifier, int64_t index);
    // Inserts an item made elsewhere (refused when it is in a toolbar already).
    void insertItem(const std::shared_ptr<NSToolbarItem>& item, int64_t index);
    void removeItemAtIndex(int64_t index);

    // The item drawn as selected; empty: none. Any identifier is kept, even one no item has.
    const std::string& selectedItemIdentifier() const { return m_selected; }
    void setSelectedItemIdentifier(const std::string& identifier);
    bool isVisible() const { return m_visible; }
    void setVisible(bool visible);

    // The view of the items, laid across the top of the window's content area.
    std::shared_ptr<NSView> view() const { return m_view; }
    std::shared_ptr<NSWindow> window() const { return m_window.lock(); }

  private:
    friend class NSWindow;
    friend class NSToolbarItem;
    // The window took the toolbar: the delegate's default items are inserted if none are yet.
    void attach(const std::shared_ptr<NSWindow>& window);
    void loadDefaultItems();
    void layout();

    std::string m_identifier;
    std::weak_ptr<NSToolbarDelegate> m_delegate;
    std::vector<std::shared_ptr<NSToolbarItem>> m_items;
    std::string m_selected;
    bool m_visible = true;
    bool m_loaded = false;
    std::shared_ptr<NSView> m_view;
    std::weak_ptr<NSWindow> m_window;
};

} // namespace appkit
