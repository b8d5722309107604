#include "platform/appkit/NSMenuWindow.h"

#include "platform/appkit/NSAttributedString.h"
#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSScreen.h"

namespace appkit {

namespace {

constexpr double kTextInset = 22; // room for the check mark
constexpr double kTitleFontSize = 13;

// The menu hangs right and down from topLeft; where that would leave the visible frame of the
// screen holding the point, it opens to the left of the point or upwards from it instead, and
// what still overflows is moved back in.
cg::CGRect frameFor(const NSMenu& menu, cg::CGPoint topLeft) {
    const double height = double(menu.numberOfItems()) * kNSMenuRowHeight;
    cg::CGRect frame = cg::CGRectMake(topLeft.x, topLeft.y - height, kNSMenuWidth, height);
    auto visible = NSScreen::visibleFrameHolding(cg::CGRectMake(topLeft.x, topLeft.y, 0, 0));
    if (!visible) return frame;
    if (cg::CGRectGetMaxX(frame) > cg::CGRectGetMaxX(*visible)) frame.origin.x = topLeft.x - kNSMenuWidth;
    if (frame.origin.y < visible->origin.y) frame.origin.y = topLeft.y;
    frame.origin = NSPointKeepingRectInside(frame.origin, frame.size, *visible);
    return frame;
}

} // namespace

// ---- Rows.

NSMenuItemView::NSMenuItemView(cg::CGRect frame, std::shared_ptr<NSMenuItem> item)
    : NSView(frame), m_item(std::move(item)) {
    setIdentifier(m_item->identifier());
}

void NSMenuItemView::drawRect(cg::CGRect) {
    const cg::CGRect b = bounds();
    NSColor::whiteColor()->setFill();
    NSRectFill(b);
    if (m_item->isSeparatorItem()) {
        NSColor::grayColor()->setFill();
        NSRectFill(cg::CGRectMake(b.origin.x + 4, b.origin.y + b.size.height / 2, b.size.width - 8, 1));
        return;
    }
    NSStringAttributes attributes;
    attributes.font = NSFont::systemFontOfSize(kTitleFontSize);
    attributes.foregroundColor = m_item->isEnabled() ? NSColor::blackColor() : NSColor::grayColor();
    const cg::CGRect text = cg::CGRectMake(b.origin.x + kTextInset, b.origin.y + 2,
                                           b.size.width - kTextInset - 4, b.size.height - 4);
    drawStringInRect(m_item->title(), text, attributes);
    if (m_item->state() == 1)
        drawStringInRect("\u2713", cg::CGRectMake(b.origin.x + 6, b.origin.y + 2, 14, b.size.height - 4),
                         attributes);
}

bool NSMenuItemView::accessibilityPerformAction(const std::string& action) {
    auto menu = m_item->menu();
    if (!menu) return false;
    if (action == "AXPress") return menu->chooseItem(m_item);
    if (action == "AXCancel") {
        menu->cancelTracking();
        return true;
    }
    return false;
}

// ---- The window.

NSMenuWindow::NSMenuWindow(const std::shared_ptr<NSMenu>& menu, cg::CGPoint topLeft)
    : NSWindow(frameFor(*menu, topLeft), NSWindowStyleMaskBorderless), m_menu(menu) {
    setLevel(NSPopUpMenuWindowLevel);
}

std::shared_ptr<NSMenuWindow> NSMenuWindow::make(const std::shared_ptr<NSMenu>& menu, cg::CGPoint topLeft) {
    auto window = NSWindow::make<NSMenuWindow>(menu, topLeft);
    window->addRows();
    return window;
}

void NSMenuWindow::addRows() {
    auto menu = m_menu.lock();
    if (!menu) return;
    const double height = frame().size.height;
    const auto& items = menu->itemArray();
    for (size_t i = 0; i < items.size(); ++i) {
        auto row = std::make_shared<NSMenuItemView>(
            cg::CGRectMake(0, height - double(i + 1) * kNSMenuRowHeight, kNSMenuWidth, kNSMenuRowHeight),
            items[i]);
        contentView()->addSubview(row);
        m_rows.push_back(row);
    }
}

std::shared_ptr<NSMenuItemView> NSMenuWindow::rowAtPoint(cg::CGPoint point) const {
    for (auto& row : m_rows) {
        const cg::CGRect f = row->frame();
        if (point.x >= f.origin.x && point.x < f.origin.x + f.size.width && point.y >= f.origin.y &&
            point.y < f.origin.y + f.size.height)
            return row;
    }
    return nullptr;
}

std::shared_ptr<NSMenuItemView> NSMenuWindow::rowForItem(const NSMenuItem& item) const {
    for (auto& row : m_rows)
        if (row->item().get() == &item) return row;
    return nullptr;
}

std::string NSMenuWindow::accessibilityTitle() const {
    auto menu = m_menu.lock();
    return menu ? menu->title() : std::string();
}

bool NSMenuWindow::accessibilityPerformAction(const std::string& action) {
    auto menu = m_menu.lock();
    if (action != "AXCancel" || !menu) return false;
    menu->cancelTracking();
    return true;
}

} // namespace appkit
