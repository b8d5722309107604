#include "input/QNBApplicationRecords.h"

#include "accessibility/AXUIElementUtilities.h"
#include "platform/core/Format.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/foundation/CFStringUnicode.h"

#include <cmath>

namespace input {

using accessibility::AXUIElementUtilities;

namespace {

constexpr char kCheckMark[] = "✓";

int truncatedDifference(double a, double b) {
    const double difference = std::trunc(a - b);
    return difference < 0 ? -1 : difference > 0 ? 1 : 0;
}

std::string describe(cg::CGPoint p) {
    return platform::format("{%g, %g}", p.x, p.y);
}

std::string describe(cg::CGSize s) {
    return platform::format("{%g, %g}", s.width, s.height);
}

} // namespace

QNBApplicationMenuRef QNBApplicationMenu::init() {
    return std::make_shared<QNBApplicationMenu>();
}

QNBApplicationMenuRef QNBApplicationMenu::initWithAX(const ax::AXUIElementRef& element) {
    if (!element) return nullptr;
    auto menu = init();
    menu->element = element;
    menu->elementHandle = element->id;
    menu->title =
        accessibility::textOf(AXUIElementUtilities::stringValueOfAttribute(ax::kAXTitleAttribute, element))
            .value_or("");
    menu->enabled = AXUIElementUtilities::boolValueOfAttribute(ax::kAXEnabledAttribute, element);
    menu->size = AXUIElementUtilities::sizeValueOfAttribute(ax::kAXSizeAttribute, element);
    menu->position = AXUIElementUtilities::pointValueOfAttribute(ax::kAXPositionAttribute, element);
    menu->hasSubMenus = AXUIElementUtilities::arrayCountOfAttribute(ax::kAXChildrenAttribute, element) != 0;
    const std::string command = accessibility::textOf(AXUIElementUtilities::stringValueOfAttribute(
                                                          ax::kAXMenuItemCmdCharAttribute, element))
                                    .value_or("");
    if (!command.empty()) menu->cmdChar = cf::utf16FromUTF8(command).front();
    menu->checked = accessibility::textOf(AXUIElementUtilities::stringValueOfAttribute(
                        ax::kAXMenuItemMarkCharAttribute, element)) == kCheckMark;
    return menu;
}

QNBApplicationMenuRef QNBApplicationMenu::copy() const {
    auto other = init();
    other->parentMenu = parentMenu;
    other->applicationID = applicationID;
    other->title = title;
    other->enabled = enabled;
    other->appTopMenu = appTopMenu;
    other->hasSubMenus = hasSubMenus;
    other->checked = checked;
    other->position = position;
    other->size = size;
    other->ordinal = ordinal;
    other->submenus = submenus;
    other->elementHandle = elementHandle;
    other->element = element;
    other->parentHandle = parentHandle;
    other->cmdChar = cmdChar;
    return other;
}

void QNBApplicationMenu::executeMenuOption() const {
    AXUIElementUtilities::performAction(ax::kAXPressAction, element);
}

int QNBApplicationMenu::compareByXOrigin(const QNBApplicationMenu& other) const {
    return truncatedDifference(position.x, other.position.x);
}

int QNBApplicationMenu::compareByYOrigin(const QNBApplicationMenu& other) const {
    return truncatedDifference(position.y, other.position.y);
}

std::string QNBApplicationMenu::description() const {
    return platform::format("<QNBApplicationMenu %p> element 0x%llx, pid 0x%llx \"%@\" %@ %@",
                            static_cast<const void*>(this), (unsigned long long)elementHandle,
                            (unsigned long long)applicationID, title, describe(position), describe(size));
}

QNBApplicationMenuRef QNBApplicationState::topMenu() const {
    std::lock_guard lock(m_topMenuLock);
    return m_topMenu;
}

void QNBApplicationState::setTopMenu(QNBApplicationMenuRef menu) {
    std::lock_guard lock(m_topMenuLock);
    m_topMenu = std::move(menu);
}

QNBApplicationStateRef QNBApplicationState::copy() const {
    auto other = std::make_shared<QNBApplicationState>();
    other->name = name;
    other->applicationID = applicationID;
    other->icon = icon;
    other->iconHash = iconHash;
    other->setTopMenu(topMenu());
    return other;
}

void QNBApplicationWindow::refreshWithDictionary(const cf::Value& entry) {
    cg::CGRect rect{};
    if (cg::CGRectMakeWithDictionaryRepresentation(entry.find(cg::kCGWindowBounds), &rect)) bounds = rect;
    const cf::Value* workspace = entry.find(cg::kCGWindowWorkspace);
    desktopNumber = workspace ? static_cast<uint32_t>(workspace->integerValue()) : 0;
}

void QNBApplicationWindow::refresh() {
    const auto list = cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionOnScreenOnly, 0);
    const auto descriptions = cg::CGWindowListCreateDescriptionFromArray({static_cast<uint32_t>(windowID)});
    if (!list || !descriptions || descriptions->count() != 1) return;
    const cf::Value& own = *descriptions->at(0);
    refreshWithDictionary(own);
    for (size_t i = 0; i < list->count(); ++i)
        if (*list->at(i) == own) windowZOrder = static_cast<uint32_t>(i);
}

std::string QNBApplicationWindow::description(const std::string& ownerName) const {
    return platform::format("<QNBApplicationWindow %p> Window for '%@' - id 0x%llx, bounds {%@, %@}, name %@",
                            static_cast<const void*>(this), ownerName, (unsigned long long)windowID,
                            describe(bounds.origin), describe(bounds.size), windowName);
}

std::shared_ptr<appkit::NSImage> QNBIconCacheEntry::image() const {
    std::lock_guard lock(m_lock);
    return m_image;
}

void QNBIconCacheEntry::setImage(std::shared_ptr<appkit::NSImage> image) {
    std::lock_guard lock(m_lock);
    m_image = std::move(image);
}

} // namespace input
