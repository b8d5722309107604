#include "platform/appkit/NSPopUpButton.h"

#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSViewBindings.h"

#include <algorithm>

namespace appkit {

NSPopUpButton::NSPopUpButton(cg::CGRect frame) : NSButton(frame) {
    setMenu(NSMenu::make());
}

const ns::KeyTable& NSPopUpButton::classBindingKeys() {
    static const ns::KeyTable table = [] {
        ns::KeyTable keys("NSPopUpButton", &NSButton::classBindingKeys());
        bindableKey(keys, "selectedTag", &NSPopUpButton::selectedTag, &NSPopUpButton::selectItemWithTag);
        return keys;
    }();
    return table;
}

void NSPopUpButton::drawRect(cg::CGRect) {
    const cg::CGRect b = bounds();
    NSColor::colorWithCalibratedWhite(isHighlighted() ? 0.75 : 0.98, 1)->setFill();
    NSRectFill(b);
    NSColor::grayColor()->setFill();
    NSFrameRect(b);
    NSStringAttributes attributes = textAttributes();
    const double lineHeight = attributes.font->pointSize() * 1.2;
    drawStringInRect(titleOfSelectedItem(),
                     cg::CGRectMake(6, (b.size.height - lineHeight) / 2,
                                    std::max(0.0, b.size.width - kNSPopUpButtonArrowWidth - 6), lineHeight),
                     attributes);
    auto context = NSGraphicsContext::currentContext();
    if (!context) return;
    // An arrow up over an arrow down, as a pop-up button shows it holds a choice.
    const cg::CGContextRef& c = context->CGContext();
    const double x = b.size.width - kNSPopUpButtonArrowWidth / 2, midY = b.size.height / 2;
    const double flip = isFlipped() ? -1 : 1;
    cg::CGContextSetFillColorWithColor(c, attributes.foregroundColor->CGColor());
    for (const double side : {1.0, -1.0}) {
        const double tip = midY + flip * side * 7, base = midY + flip * side * 2;
        cg::CGContextMoveToPoint(c, x - 4, base);
        cg::CGContextAddLineToPoint(c, x + 4, base);
        cg::CGContextAddLineToPoint(c, x, tip);
        cg::CGContextClosePath(c);
        cg::CGContextFillPath(c);
    }
}

// ---- Items.

void NSPopUpButton::addItemWithTitle(const std::string& title) {
    auto m = menu();
    if (!m) return;
    // A title already present moves to the end, as a pop-up button keeps titles unique.
    if (auto existing = m->itemWithTitle(title)) m->removeItem(existing);
    m->addItemWithTitle(title, {});
    if (!selectedItem()) selectItemAtIndex(0);
}

void NSPopUpButton::addItemsWithTitles(const std::vector<std::string>& titles) {
    for (const auto& title : titles)
        addItemWithTitle(title);
}

void NSPopUpButton::removeAllItems() {
    if (auto m = menu()) m->removeAllItems();
    showSelection();
}

std::vector<std::shared_ptr<NSMenuItem>> NSPopUpButton::itemArray() const {
    auto m = menu();
    return m ? m->itemArray() : std::vector<std::shared_ptr<NSMenuItem>>{};
}

int64_t NSPopUpButton::numberOfItems() const {
    auto m = menu();
    return m ? m->numberOfItems() : 0;
}

std::shared_ptr<NSMenuItem> NSPopUpButton::itemAtIndex(int64_t index) const {
    auto m = menu();
    return m ? m->itemAtIndex(index) : nullptr;
}

int64_t NSPopUpButton::indexOfItemWithTag(int64_t tag) const {
    auto m = menu();
    return m ? m->indexOfItemWithTag(tag) : -1;
}

// ---- Selection.

std::shared_ptr<NSMenuItem> NSPopUpButton::selectedItem() const {
    auto item = m_selected.lock();
    auto m = menu();
    // An item removed from the menu is no longer selected.
    return item && m && item->menu() == m ? item : nullptr;
}

int64_t NSPopUpButton::indexOfSelectedItem() const {
    auto item = selectedItem();
    return item ? menu()->indexOfItem(item.get()) : -1;
}

std::string NSPopUpButton::titleOfSelectedItem() const {
    auto item = selectedItem();
    return item ? item->title() : std::string();
}

int64_t NSPopUpButton::selectedTag() const {
    auto item = selectedItem();
    return item ? item->tag() : -1;
}

void NSPopUpButton::selectItem(const std::shared_ptr<NSMenuItem>& item) {
    auto m = menu();
    m_selected = item && m && item->menu() == m && !item->isSeparatorItem() ? item : nullptr;
    showSelection();
}

void NSPopUpButton::selectItemAtIndex(int64_t index) {
    selectItem(itemAtIndex(index));
}

bool NSPopUpButton::selectItemWithTag(int64_t tag) {
    auto item = itemAtIndex(indexOfItemWithTag(tag));
    selectItem(item);
    return item != nullptr;
}

void NSPopUpButton::selectItemWithTitle(std::string_view title) {
    auto m = menu();
    selectItem(m ? m->itemWithTitle(title) : nullptr);
}

void NSPopUpButton::showSelection() {
    auto m = menu();
    // Items show their check mark as the selection.
    if (m)
        for (auto& item : m->itemArray())
            item->setState(item == m_selected.lock() ? 1 : 0);
    setTitle(titleOfSelectedItem());
}

// ---- Tracking.

bool NSPopUpButton::popUpMenu() {
    auto m = menu();
    if (!m || !isEnabled() || !window()) return false;
    auto keep = shared_from_this();
    // The selected item's row lies over the button.
    const cg::CGRect b = bounds();
    const cg::CGPoint topLeft =
        cg::CGPointMake(b.origin.x, isFlipped() ? b.origin.y : b.origin.y + b.size.height);
    if (!m->popUpMenuPositioningItem(selectedItem(), topLeft, keep)) return false;
    selectItem(m->chosenItem());
    writeBackBinding("selectedTag", ns::Id(selectedTag()));
    userActed();
    return true;
}

void NSPopUpButton::userClicked() {
    popUpMenu();
}

std::optional<cf::Value> NSPopUpButton::accessibilityValue() const {
    return cf::Value(titleOfSelectedItem());
}

bool NSPopUpButton::accessibilityPerformAction(const std::string& action) {
    if (action != "AXPress" && action != "AXShowMenu") return false;
    if (!isEnabled()) return false;
    popUpMenu();
    return true;
}

} // namespace appkit
