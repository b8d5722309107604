// The fake application's menu bar and window pictures.
#include "platform/applicationservices/AXUIElement.h"

#include "platform/coregraphics/CGSPrivate.h"

#include <algorithm>

namespace ax {

bool AXFakeApplication::fillWindow(uint32_t window, uint32_t argb) {
    std::shared_ptr<cg::CGSWindowStore> store;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_stores.find(window);
        if (it == m_stores.end() || !it->second) return false;
        store = it->second;
    }
    const uint32_t alpha = argb >> 24;
    const auto premultiplied = [alpha](uint32_t component) {
        return uint8_t((component & 0xFF) * alpha / 255);
    };
    const uint8_t pixel[4] = {premultiplied(argb), premultiplied(argb >> 8), premultiplied(argb >> 16),
                              uint8_t(alpha)};
    for (size_t y = 0; y < store->height; ++y) {
        uint8_t* row = store->bytes + y * store->bytesPerRow;
        for (size_t x = 0; x < store->width; ++x)
            std::copy(pixel, pixel + 4, row + 4 * x);
    }
    const double scale = store->scale > 0 ? store->scale : 1.0;
    return cg::CGSFlushWindow(window, {cg::CGRectMake(0, 0, double(store->width) / scale,
                                                      double(store->height) / scale)}) == cg::kCGErrorSuccess;
}

uint64_t AXFakeApplication::addMenuNode(const AXFakeMenuItem& item, bool isMenu) {
    const uint64_t id = m_nextMenuElement++;
    MenuNode node;
    node.item = item;
    node.item.children.clear();
    node.isMenu = isMenu;
    if (isMenu) {
        // A menu holds the items; it answers no title, command or mark of its own.
        node.item.title.clear();
        node.item.commandCharacter.clear();
        node.item.markCharacter.clear();
        for (const AXFakeMenuItem& child : item.children)
            node.children.push_back(addMenuNode(child, false));
    } else if (!item.children.empty()) {
        node.children.push_back(addMenuNode(item, true));
    }
    m_menus[id] = std::move(node);
    return id;
}

void AXFakeApplication::setMenuBar(const std::vector<AXFakeMenuItem>& items) {
    std::lock_guard lock(m_mutex);
    m_menus.clear();
    const uint64_t bar = m_nextMenuElement++;
    MenuNode node;
    node.isBar = true;
    for (const AXFakeMenuItem& item : items)
        node.children.push_back(addMenuNode(item, false));
    m_menus[bar] = std::move(node);
    m_menuBar = bar;
}

uint64_t AXFakeApplication::menuBarElement() const {
    std::lock_guard lock(m_mutex);
    return m_menuBar;
}

uint64_t AXFakeApplication::menuElement(const std::vector<size_t>& path) const {
    std::lock_guard lock(m_mutex);
    uint64_t id = m_menuBar;
    for (size_t depth = 0; depth < path.size() && id; ++depth) {
        auto node = m_menus.find(id);
        if (node == m_menus.end()) return 0;
        // Below the bar, an item's children live in its menu.
        const MenuNode* holder = &node->second;
        if (depth > 0) {
            if (holder->children.empty()) return 0;
            holder = &m_menus.at(holder->children.front());
        }
        id = path[depth] < holder->children.size() ? holder->children[path[depth]] : 0;
    }
    return id;
}

AXError AXFakeApplication::copyMenuAttribute(const MenuNode& node, std::string_view attribute,
                                             AXAttributeValue* value) {
    const AXFakeMenuItem& item = node.item;
    if (attribute == kAXChildrenAttribute) {
        std::vector<AXUIElementRef> children;
        for (uint64_t child : node.children)
            children.push_back(std::make_shared<const AXUIElement>(AXUIElement{m_pid, child}));
        *value = std::move(children);
    } else if (attribute == kAXTitleAttribute) {
        *value = cf::Value(item.title);
    } else if (attribute == kAXEnabledAttribute) {
        *value = cf::Value(item.enabled);
    } else if (attribute == kAXPositionAttribute) {
        *value = AXValueCreate(kAXValueCGPointType, &item.position);
    } else if (attribute == kAXSizeAttribute) {
        *value = AXValueCreate(kAXValueCGSizeType, &item.size);
    } else if (attribute == kAXMenuItemCmdCharAttribute && !node.isMenu) {
        *value = cf::Value(item.commandCharacter);
    } else if (attribute == kAXMenuItemMarkCharAttribute && !node.isMenu) {
        *value = cf::Value(item.markCharacter);
    } else if (attribute == kAXActionNamesAttribute) {
        *value = node.isMenu || node.isBar ? cf::Value(cf::Array{}) : cf::Value(cf::Array{kAXPressAction});
    } else {
        return kAXErrorAttributeUnsupported;
    }
    return kAXErrorSuccess;
}

AXError AXFakeApplication::performAction(const AXUIElement& element, std::string_view action,
                                         std::function<void()>* deed) {
    std::lock_guard lock(m_mutex);
    auto node = m_menus.find(element.id);
    if (node == m_menus.end()) {
        const bool window =
            std::find(m_windows.begin(), m_windows.end(), uint32_t(element.id)) != m_windows.end();
        if (!window) return element.id == 0 ? kAXErrorActionUnsupported : kAXErrorInvalidUIElement;
        return action == kAXRaiseAction ? kAXErrorSuccess : kAXErrorActionUnsupported;
    }
    if (action != kAXPressAction || node->second.isMenu || node->second.isBar)
        return kAXErrorActionUnsupported;
    if (!node->second.item.enabled) return kAXErrorCannotComplete;
    const uint64_t pressed = element.id;
    *deed = [self = shared_from_this(), pressed] {
        std::lock_guard lock(self->m_mutex);
        self->m_pressed.push_back(pressed);
    };
    return kAXErrorSuccess;
}

std::vector<uint64_t> AXFakeApplication::pressedMenuItems() const {
    std::lock_guard lock(m_mutex);
    return m_pressed;
}

AXError AXFakeApplication::copyAttributeNames(const AXUIElement& element, std::vector<std::string>* names) {
    std::lock_guard lock(m_mutex);
    if (element.id == 0) {
        *names = {kAXWindowsAttribute, kAXTitleAttribute, kAXFrontmostAttribute};
        if (m_menuBar) names->push_back(kAXMenuBarAttribute);
    } else if (m_menus.count(element.id)) {
        *names = {kAXChildrenAttribute,        kAXTitleAttribute, kAXEnabledAttribute,
                  kAXPositionAttribute,        kAXSizeAttribute,  kAXMenuItemCmdCharAttribute,
                  kAXMenuItemMarkCharAttribute};
    } else if (std::find(m_windows.begin(), m_windows.end(), uint32_t(element.id)) != m_windows.end()) {
        *names = {kAXPositionAttribute, kAXSizeAttribute, kAXTitleAttribute, kAXMainAttribute};
    } else {
        return kAXErrorInvalidUIElement;
    }
    return kAXErrorSuccess;
}

AXError AXFakeApplication::copyActionDescription(const AXUIElement& element, std::string_view action,
                                                 std::string* description) {
    std::lock_guard lock(m_mutex);
    if (!m_menus.count(element.id) || action != kAXPressAction) return kAXErrorActionUnsupported;
    *description = "press";
    return kAXErrorSuccess;
}

} // namespace ax
