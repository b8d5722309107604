#include "platform/appkit/NSToolbar.h"

#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"

#include <algorithm>

namespace appkit {

namespace {

// Text paints only: a label takes 7 points a character, an item at least 64.
constexpr double kCharacterWidth = 7;
constexpr double kMinimumItemWidth = 64;
constexpr double kItemPadding = 16;
constexpr double kToolbarGrey = 0xE0 / 255.0;
constexpr double kSelectedGrey = 0xC4 / 255.0; // the selected item's ground

// The strip the items lie on.
class NSToolbarView : public NSView {
  public:
    using NSView::NSView;
    void drawRect(cg::CGRect) override {
        NSColor::colorWithCalibratedWhite(kToolbarGrey, 1)->setFill();
        NSRectFill(bounds());
    }
};

double itemWidth(const NSToolbarItem& item) {
    double width = kCharacterWidth * double(item.label().size()) + kItemPadding;
    if (auto image = item.image()) width = std::max(width, image->size().width + kItemPadding);
    return std::max(width, kMinimumItemWidth);
}

} // namespace

// ---- Items.

NSToolbarItemButton::NSToolbarItemButton(const std::shared_ptr<NSToolbarItem>& item)
    : NSButton(cg::CGRectMake(0, 0, kMinimumItemWidth, kNSToolbarHeight)), m_item(item) {
    // Pressed while selected; the state is set by the toolbar, never by a click.
    setButtonType(NSButtonTypePushOnPushOff);
    setBordered(false);
}

void NSToolbarItemButton::drawRect(cg::CGRect dirtyRect) {
    if (state() == NSControlStateValueOn) {
        NSColor::colorWithCalibratedWhite(kSelectedGrey, 1)->setFill();
        NSRectFill(cg::CGRectInset(bounds(), 2, 2));
    }
    NSButton::drawRect(dirtyRect);
}

void NSToolbarItemButton::userClicked() {
    if (auto item = m_item.lock()) item->sendItemAction();
}

NSToolbarItem::NSToolbarItem(std::string itemIdentifier) : m_identifier(std::move(itemIdentifier)) {}

const ns::KeyTable& NSToolbarItem::classKeys() {
    static const ns::KeyTable table =
        ns::KeyTable("NSToolbarItem", &ns::NSObject::classKeys())
            .property("label", &NSToolbarItem::label, &NSToolbarItem::setLabel)
            .property("enabled", &NSToolbarItem::isEnabled, &NSToolbarItem::setEnabled)
            .property("tag", &NSToolbarItem::tag, &NSToolbarItem::setTag);
    return table;
}

std::shared_ptr<NSToolbarItemButton> NSToolbarItem::button() {
    if (!m_button) {
        m_button = std::make_shared<NSToolbarItemButton>(
            std::static_pointer_cast<NSToolbarItem>(shared_from_this()));
        m_button->setTitle(m_label);
        m_button->setImage(m_image);
        m_button->setEnabled(m_enabled);
    }
    return m_button;
}

void NSToolbarItem::setLabel(const std::string& label) {
    m_label = label;
    if (m_button) m_button->setTitle(label);
    if (auto bar = toolbar()) bar->layout();
}

void NSToolbarItem::setImage(std::shared_ptr<NSImage> image) {
    m_image = std::move(image);
    if (m_button) m_button->setImage(m_image);
    if (auto bar = toolbar()) bar->layout();
}

void NSToolbarItem::setEnabled(bool enabled) {
    m_enabled = enabled;
    if (m_button) m_button->setEnabled(enabled);
}

bool NSToolbarItem::sendItemAction() {
    if (!m_enabled) return false;
    auto keep = shared_from_this();
    return sendAction(m_action, target().get(), this);
}

// ---- The toolbar.

void NSToolbar::setDelegate(const std::shared_ptr<NSToolbarDelegate>& delegate) {
    m_delegate = delegate;
    if (window()) loadDefaultItems();
}

void NSToolbar::insertItemWithItemIdentifier(const std::string& identifier, int64_t index) {
    auto d = delegate();
    auto item = d ? d->toolbarItemForItemIdentifier(*this, identifier, true) : nullptr;
    if (!item) {
        platform::log("appkit: the toolbar's delegate gives no item for \"%s\"", identifier);
        return;
    }
    insertItem(item, index);
}

void NSToolbar::insertItem(const std::shared_ptr<NSToolbarItem>& item, int64_t index) {
    if (!item || item->toolbar() || index < 0 || index > int64_t(m_items.size())) {
        platform::log("appkit: refusing a toolbar item that is null, in a toolbar already or out of range");
        return;
    }
    item->m_toolbar = weak_from_this();
    m_items.insert(m_items.begin() + index, item);
    layout();
}

void NSToolbar::removeItemAtIndex(int64_t index) {
    if (index < 0 || index >= int64_t(m_items.size())) return;
    auto item = m_items[size_t(index)];
    m_items.erase(m_items.begin() + index);
    item->m_toolbar.reset();
    item->button()->removeFromSuperview();
    layout();
}

void NSToolbar::setSelectedItemIdentifier(const std::string& identifier) {
    m_selected = identifier;
    for (auto& item : m_items)
        item->button()->setState(item->itemIdentifier() == identifier ? NSControlStateValueOn
                                                                      : NSControlStateValueOff);
}

void NSToolbar::setVisible(bool visible) {
    m_visible = visible;
    if (auto w = window()) w->invalidate(cg::CGRectMake(0, 0, w->frame().size.width, w->frame().size.height));
}

void NSToolbar::attach(const std::shared_ptr<NSWindow>& window) {
    m_window = window;
    if (!m_view) m_view = std::make_shared<NSToolbarView>(cg::CGRectMake(0, 0, 0, kNSToolbarHeight));
    loadDefaultItems();
    layout();
}

void NSToolbar::loadDefaultItems() {
    auto d = delegate();
    if (m_loaded || !d || !m_items.empty()) return;
    m_loaded = true;
    for (const auto& identifier : d->toolbarDefaultItemIdentifiers(*this))
        insertItemWithItemIdentifier(identifier, int64_t(m_items.size()));
}

void NSToolbar::layout() {
    if (!m_view) return;
    double x = 0;
    for (auto& item : m_items) {
        auto button = item->button();
        const double width = itemWidth(*item);
        button->setFrame(cg::CGRectMake(x, 0, width, kNSToolbarHeight));
        if (button->superview() != m_view) m_view->addSubview(button);
        x += width;
    }
    m_view->setNeedsDisplay(true);
}

// ---- The window's side.

void NSWindow::setToolbar(const std::shared_ptr<NSToolbar>& toolbar) {
    if (m_toolbar == toolbar) return;
    if (toolbar && toolbar->window()) {
        platform::log("appkit: a toolbar belongs to one window");
        return;
    }
    if (m_toolbar) {
        if (auto view = m_toolbar->view()) view->setWindow(nullptr);
        m_toolbar->m_window.reset();
    }
    m_toolbar = toolbar;
    if (toolbar) {
        toolbar->attach(shared_from_this());
        toolbar->view()->setWindow(shared_from_this());
        layoutToolbar();
    }
    invalidate(cg::CGRectMake(0, 0, m_frame.size.width, m_frame.size.height));
}

std::shared_ptr<NSView> NSWindow::toolbarView() const {
    return m_toolbar && m_toolbar->isVisible() ? m_toolbar->view() : nullptr;
}

void NSWindow::layoutToolbar() {
    auto view = m_toolbar ? m_toolbar->view() : nullptr;
    if (!view) return;
    const cg::CGRect content = contentFrameInWindow();
    view->setFrame(cg::CGRectMake(0, std::max(0.0, content.size.height - kNSToolbarHeight),
                                  content.size.width, std::min(kNSToolbarHeight, content.size.height)));
}

} // namespace appkit
