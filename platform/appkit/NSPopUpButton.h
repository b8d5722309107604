// Pop-up buttons: a button showing the selected item of its menu (tagged items). A user click
// pops the menu up, the selected item over the button, through the menu's tracking loop; a
// choice selects the item, writes the "selectedTag" binding, then the "value" binding (the
// selected index), then sends the button's action. Selecting from code writes no binding.
#pragma once

#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSMenu.h"

namespace appkit {

// The room at a pop-up button's right end for its arrows.
inline constexpr double kNSPopUpButtonArrowWidth = 20;

class NSPopUpButton : public NSButton {
  public:
    explicit NSPopUpButton(cg::CGRect frame = cg::CGRectZero);
    // A bordered button: the selected title at the left, the up and down arrows at the right.
    void drawRect(cg::CGRect dirtyRect) override;

    // "selectedTag", besides the button's keys; the value is the selected index.
    static const ns::KeyTable& classBindingKeys();
    const ns::KeyTable& bindingKeys() const override { return classBindingKeys(); }

    // ---- Items: those of the view's menu (NSView::menu; the button starts with an empty one).
    // An added item is selected when nothing is.
    void addItemWithTitle(const std::string& title);
    void addItemsWithTitles(const std::vector<std::string>& titles);
    void removeAllItems();
    std::vector<std::shared_ptr<NSMenuItem>> itemArray() const;
    int64_t numberOfItems() const;
    std::shared_ptr<NSMenuItem> itemAtIndex(int64_t index) const;
    std::shared_ptr<NSMenuItem> lastItem() const { return itemAtIndex(numberOfItems() - 1); }
    int64_t indexOfItemWithTag(int64_t tag) const;

    // ---- Selection. Null / -1 when none.
    std::shared_ptr<NSMenuItem> selectedItem() const;
    int64_t indexOfSelectedItem() const;
    std::string titleOfSelectedItem() const;
    // The selected item's tag; -1 when nothing is selected.
    int64_t selectedTag() const;
    void selectItem(const std::shared_ptr<NSMenuItem>& item);
    void selectItemAtIndex(int64_t index);
    // NO, selecting nothing, when no item has the tag.
    bool selectItemWithTag(int64_t tag);
    void selectItemWithTitle(std::string_view title);

    ns::Id objectValue() const override { return ns::Id(indexOfSelectedItem()); }
    void setObjectValue(const ns::Id& value) override { selectItemAtIndex(value.integerValue()); }

    // Pops the menu up as a user click does; answers whether an item was chosen.
    bool popUpMenu();

    std::string accessibilityRole() const override { return "AXPopUpButton"; }
    std::string accessibilityTitle() const override { return {}; }
    std::optional<cf::Value> accessibilityValue() const override;
    std::vector<std::string> accessibilityActionNames() const override { return {"AXPress", "AXShowMenu"}; }
    // Both pop the menu up (refused when disabled).
    bool accessibilityPerformAction(const std::string& action) override;

  protected:
    void userClicked() override;

  private:
    void showSelection();

    std::weak_ptr<NSMenuItem> m_selected;
};

} // namespace appkit
