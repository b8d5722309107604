#include "platform/appkit/NSMenu.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSEvent.h"
#include "platform/appkit/NSMenuWindow.h"
#include "platform/core/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Thread.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <algorithm>

namespace appkit {

namespace {

constexpr uint16_t kEscapeKeyCode = 53;

std::weak_ptr<NSMenu>& openMenuSlot() {
    static std::weak_ptr<NSMenu> menu;
    return menu;
}

} // namespace

// ---- Items.

NSMenuItem::NSMenuItem(std::string title, std::string action, std::string keyEquivalent)
    : m_title(std::move(title)), m_keyEquivalent(std::move(keyEquivalent)), m_action(std::move(action)) {}

std::shared_ptr<NSMenuItem> NSMenuItem::separatorItem() {
    auto item = make();
    item->m_separator = true;
    return item;
}

const ns::KeyTable& NSMenuItem::classKeys() {
    static const ns::KeyTable table =
        ns::KeyTable("NSMenuItem", &ns::NSObject::classKeys())
            .property("title", &NSMenuItem::title, &NSMenuItem::setTitle)
            .property("enabled", &NSMenuItem::isEnabled, &NSMenuItem::setEnabled)
            .property("state", &NSMenuItem::state, &NSMenuItem::setState)
            .property("tag", &NSMenuItem::tag, &NSMenuItem::setTag)
            .property("identifier", &NSMenuItem::identifier, &NSMenuItem::setIdentifier)
            .property("representedObject", &NSMenuItem::representedObject, &NSMenuItem::setRepresentedObject)
            .exposeBinding("title")
            .exposeBinding("enabled");
    return table;
}

void NSMenuItem::setTitle(const std::string& title) {
    m_title = title;
    changed();
}

void NSMenuItem::setState(int64_t state) {
    m_state = state;
    changed();
}

void NSMenuItem::setEnabled(bool enabled) {
    m_enabled = enabled;
    changed();
}

void NSMenuItem::changed() {
    if (auto menu = m_menu.lock()) menu->itemChanged(*this);
}

// ---- Menus.

NSMenu::~NSMenu() {
    for (auto& item : m_items)
        item->m_menu.reset();
}

void NSMenu::addItem(const std::shared_ptr<NSMenuItem>& item) {
    insertItemAtIndex(item, numberOfItems());
}

std::shared_ptr<NSMenuItem> NSMenu::addItemWithTitle(std::string title, std::string action,
                                                     std::string keyEquivalent) {
    auto item = NSMenuItem::make(std::move(title), std::move(action), std::move(keyEquivalent));
    addItem(item);
    return item;
}

void NSMenu::insertItemAtIndex(const std::shared_ptr<NSMenuItem>& item, int64_t index) {
    if (!item || item->menu() || index < 0 || index > numberOfItems()) {
        platform::log("appkit: refusing a menu item that is null, in a menu already or out of range");
        return;
    }
    if (m_tracking) {
        platform::log("appkit: a tracking menu's items cannot change");
        return;
    }
    item->m_menu = weak_from_this();
    m_items.insert(m_items.begin() + index, item);
}

void NSMenu::removeItem(const std::shared_ptr<NSMenuItem>& item) {
    removeItemAtIndex(indexOfItem(item.get()));
}

void NSMenu::removeItemAtIndex(int64_t index) {
    if (index < 0 || index >= numberOfItems() || m_tracking) return;
    m_items[size_t(index)]->m_menu.reset();
    m_items.erase(m_items.begin() + index);
}

void NSMenu::removeAllItems() {
    while (!m_items.empty() && !m_tracking)
        removeItemAtIndex(numberOfItems() - 1);
}

std::shared_ptr<NSMenuItem> NSMenu::itemAtIndex(int64_t index) const {
    return index >= 0 && index < numberOfItems() ? m_items[size_t(index)] : nullptr;
}

std::shared_ptr<NSMenuItem> NSMenu::itemWithTitle(std::string_view title) const {
    for (auto& item : m_items)
        if (item->title() == title) return item;
    return nullptr;
}

std::shared_ptr<NSMenuItem> NSMenu::itemWithTag(int64_t tag) const {
    return itemAtIndex(indexOfItemWithTag(tag));
}

int64_t NSMenu::indexOfItem(const NSMenuItem* item) const {
    for (size_t i = 0; i < m_items.size(); ++i)
        if (m_items[i].get() == item) return int64_t(i);
    return -1;
}

int64_t NSMenu::indexOfItemWithTag(int64_t tag) const {
    for (size_t i = 0; i < m_items.size(); ++i)
        if (m_items[i]->tag() == tag && !m_items[i]->isSeparatorItem()) return int64_t(i);
    return -1;
}

void NSMenu::itemChanged(const NSMenuItem& item) {
    if (!m_window) return;
    if (auto row = m_window->rowForItem(item)) row->setNeedsDisplay(true);
}

// ---- Tracking.

std::shared_ptr<NSMenu> NSMenu::openMenu() {
    return openMenuSlot().lock();
}

std::shared_ptr<NSWindow> NSMenu::openMenuWindow() {
    auto menu = openMenu();
    return menu ? menu->window() : nullptr;
}

std::shared_ptr<NSWindow> NSMenu::window() const {
    return m_window;
}

bool NSMenu::popUpMenuPositioningItem(const std::shared_ptr<NSMenuItem>& item, cg::CGPoint location,
                                      const std::shared_ptr<NSView>& view) {
    if (!dispatch::isMainThread()) {
        platform::log("appkit: a menu pops up on the main thread only");
        return false;
    }
    if (m_tracking || openMenu()) {
        platform::log("appkit: a menu is tracking already");
        return false;
    }
    auto self = shared_from_this();
    // The location in Cocoa global space.
    cg::CGPoint global = location;
    if (view) {
        auto window = view->window();
        if (!window) {
            platform::log("appkit: a menu cannot pop up in a view outside any window");
            return false;
        }
        cg::CGPoint base = view->convertPointToView(location, nullptr);
        global = cg::CGPointMake(window->frame().origin.x + base.x, window->frame().origin.y + base.y);
    }
    const int64_t index = item ? std::max<int64_t>(indexOfItem(item.get()), 0) : 0;
    global.y += double(index) * kNSMenuRowHeight;

    m_tracking = true;
    m_done = false;
    m_chosen.reset();
    openMenuSlot() = self;
    m_window = NSMenuWindow::make(self, global);
    m_window->orderFront();

    auto app = NSApp();
    std::weak_ptr<NSMenu> weak = self;
    app->setTrackingEventFilter([weak](const NSEvent& event) {
        auto menu = weak.lock();
        return menu && menu->handleTrackingEvent(event);
    });
    auto resign = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        NSApplicationDidResignActiveNotification, nullptr, [weak](const ns::NSNotification&) {
            if (auto menu = weak.lock()) menu->cancelTracking();
        });

    auto loop = dispatch::RunLoop::main();
    bool stopped = false;
    while (!m_done) {
        if (loop->runInMode(dispatch::kEventTrackingRunLoopMode, platform::kDistantFuture, true) ==
            dispatch::RunLoop::RunResult::Stopped)
            stopped = true;
    }

    ns::NSNotificationCenter::defaultCenter().removeObserver(resign);
    app->setTrackingEventFilter(nullptr);
    m_window->close();
    m_window.reset();
    openMenuSlot().reset();
    m_tracking = false;
    // A stop meant for an outer loop is handed on.
    if (stopped) loop->stop();

    auto chosen = m_chosen;
    if (!chosen) return false;
    sendAction(chosen->action(), chosen->target().get(), chosen.get());
    return true;
}

void NSMenu::endTracking(std::shared_ptr<NSMenuItem> chosen) {
    if (!m_tracking || m_done) return;
    m_chosen = std::move(chosen);
    m_done = true;
    if (m_window) m_window->orderOut();
    dispatch::RunLoop::main()->wakeUp();
}

void NSMenu::cancelTracking() {
    endTracking(nullptr);
}

bool NSMenu::chooseItem(const std::shared_ptr<NSMenuItem>& item) {
    if (!m_tracking || m_done || !item || item->menu().get() != this) return false;
    if (!item->isEnabled()) {
        platform::log("appkit: the menu item \"%s\" is disabled", item->title());
        return false;
    }
    endTracking(item);
    return true;
}

// Every event of the process while the menu tracks: a click on an enabled row chooses it, a
// mouse-down outside the menu or Escape cancels, everything else is swallowed.
bool NSMenu::handleTrackingEvent(const NSEvent& event) {
    const bool inMenu = m_window && event.windowNumber() == m_window->windowNumber();
    switch (event.type()) {
    case NSEventType::LeftMouseDown:
    case NSEventType::RightMouseDown:
        if (!inMenu) cancelTracking();
        break;
    case NSEventType::LeftMouseUp:
    case NSEventType::RightMouseUp:
        if (inMenu)
            if (auto row = m_window->rowAtPoint(event.locationInWindow())) chooseItem(row->item());
        break;
    case NSEventType::KeyDown:
        if (event.keyCode() == kEscapeKeyCode) cancelTracking();
        break;
    default:
        break;
    }
    return true;
}

} // namespace appkit
