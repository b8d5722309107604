#include "platform/appkit/NSStatusBar.h"

#include "platform/appkit/NSScreen.h"
#include "platform/core/Log.h"

#include <algorithm>

namespace appkit {

namespace {

constexpr double kRightInset = 100;
constexpr double kPadding = 8;
constexpr double kSquareLength = 22;
// Text paints only: a title takes 7 points a character.
constexpr double kCharacterWidth = 7;

size_t characters(const std::string& text) {
    return size_t(
        std::count_if(text.begin(), text.end(), [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

} // namespace

// ---- The button and the window.

NSStatusBarButton::NSStatusBarButton(const std::shared_ptr<NSStatusItem>& item)
    : NSButton(cg::CGRectZero), m_item(item) {
    setBordered(false);
}

void NSStatusBarButton::userClicked() {
    auto item = m_item.lock();
    if (item && item->menu()) {
        item->popUpStatusItemMenu();
        return;
    }
    NSButton::userClicked();
}

NSStatusBarWindow::NSStatusBarWindow(cg::CGRect frame, const std::shared_ptr<NSStatusItem>& item)
    : NSWindow(frame, NSWindowStyleMaskBorderless), m_item(item) {
    setLevel(NSStatusWindowLevel);
}

std::string NSStatusBarWindow::accessibilityTitle() const {
    auto item = m_item.lock();
    if (!item) return {};
    if (auto title = item->title(); !title.empty()) return title;
    auto image = item->image();
    return image ? image->name() : std::string();
}

bool NSStatusBarWindow::accessibilityPerformAction(const std::string& action) {
    auto item = m_item.lock();
    auto button = item ? item->button() : nullptr;
    if (action != "AXPress" || !button || !button->isEnabled()) return false;
    button->performClick();
    return true;
}

// ---- Items.

NSStatusItem::NSStatusItem(const std::shared_ptr<NSStatusBar>& bar, double length)
    : m_bar(bar), m_length(length) {}

NSStatusItem::~NSStatusItem() {
    if (m_window) m_window->close();
}

void NSStatusItem::install() {
    auto self = shared_from_this();
    m_button = std::make_shared<NSStatusBarButton>(self);
    m_window = NSWindow::make<NSStatusBarWindow>(cg::CGRectZero, self);
    m_window->setContentView(m_button);
}

void NSStatusItem::uninstall() {
    if (m_window) m_window->close();
    m_window.reset();
    m_button.reset();
}

double NSStatusItem::width() const {
    if (m_length == NSSquareStatusItemLength) return kSquareLength;
    if (m_length >= 0) return m_length;
    if (auto picture = image()) return picture->size().width + kPadding;
    return kCharacterWidth * double(characters(title())) + kPadding;
}

void NSStatusItem::setLength(double length) {
    if (!(length >= 0) && length != NSVariableStatusItemLength && length != NSSquareStatusItemLength) {
        platform::log("appkit: a status item length of %g is taken as variable", length);
        length = NSVariableStatusItemLength;
    }
    m_length = length;
    relayout();
}

void NSStatusItem::relayout() {
    if (auto bar = m_bar.lock()) bar->layout();
}

std::shared_ptr<NSImage> NSStatusItem::image() const {
    return m_button ? m_button->image() : nullptr;
}

void NSStatusItem::setImage(std::shared_ptr<NSImage> image) {
    if (!m_button) return;
    m_button->setImage(std::move(image));
    relayout();
}

std::string NSStatusItem::title() const {
    return m_button ? m_button->title() : std::string();
}

void NSStatusItem::setTitle(const std::string& title) {
    if (!m_button) return;
    m_button->setTitle(title);
    relayout();
}

std::shared_ptr<NSActionTarget> NSStatusItem::target() const {
    return m_button ? m_button->target() : nullptr;
}

void NSStatusItem::setTarget(const std::shared_ptr<NSActionTarget>& target) {
    if (m_button) m_button->setTarget(target);
}

std::string NSStatusItem::action() const {
    return m_button ? m_button->action() : std::string();
}

void NSStatusItem::setAction(std::string action) {
    if (m_button) m_button->setAction(std::move(action));
}

bool NSStatusItem::isEnabled() const {
    return m_button && m_button->isEnabled();
}

void NSStatusItem::setEnabled(bool enabled) {
    if (m_button) m_button->setEnabled(enabled);
}

bool NSStatusItem::popUpStatusItemMenu() {
    if (!m_menu || !m_window) return false;
    auto keep = shared_from_this();
    const cg::CGRect frame = m_window->frame();
    // Under the item, moved left as far as it must to stay on the screen.
    cg::CGPoint at = frame.origin;
    if (auto visible = NSScreen::visibleFrameHolding(frame))
        at.x = std::max(visible->origin.x, std::min(at.x, cg::CGRectGetMaxX(*visible) - kNSMenuWidth));
    return m_menu->popUpMenuPositioningItem(nullptr, at, nullptr);
}

// ---- The bar.

std::shared_ptr<NSStatusBar> NSStatusBar::systemStatusBar() {
    static std::shared_ptr<NSStatusBar> bar = std::make_shared<NSStatusBar>();
    return bar;
}

std::shared_ptr<NSStatusItem> NSStatusBar::statusItemWithLength(double length) {
    auto item = std::make_shared<NSStatusItem>(shared_from_this(), NSVariableStatusItemLength);
    item->install();
    m_items.push_back(item);
    item->setLength(length); // lays the bar out
    item->window()->orderFront();
    return item;
}

void NSStatusBar::removeStatusItem(const std::shared_ptr<NSStatusItem>& item) {
    auto it = std::find(m_items.begin(), m_items.end(), item);
    if (it == m_items.end()) {
        platform::log("appkit: removing a status item that is not in the bar");
        return;
    }
    auto keep = item; // the caller's reference may be the bar's own entry
    m_items.erase(it);
    keep->uninstall();
    layout();
}

void NSStatusBar::layout() {
    auto screen = NSScreen::mainScreen();
    const cg::CGRect bounds = screen ? screen->frame() : cg::CGRectZero;
    double right = bounds.origin.x + bounds.size.width - kRightInset;
    const double bottom = bounds.origin.y + bounds.size.height - thickness();
    for (auto& item : m_items) {
        auto window = item->window();
        if (!window) continue;
        const double width = item->width();
        right -= width;
        window->setFrame(cg::CGRectMake(right, bottom, width, thickness()), window->isVisible());
    }
}

} // namespace appkit
