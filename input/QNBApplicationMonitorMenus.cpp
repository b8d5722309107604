// The monitor's menus (read lazily: a poll reads the menu-bar items, a device's request one
// level more) and its icon table.
#include "input/QNBApplicationMonitor.h"

#include "accessibility/AXUIElementUtilities.h"
#include "foundation/DataAdditions.h"
#include "platform/appkit/NSImage.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSSearchPath.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace input {

using accessibility::AXUIElementUtilities;

namespace {

constexpr char kNoMenusApplication[] = "vmware-vmx";

// The element's children: as many as its owner counts, copied in one request.
ax::AXError childrenOf(const ax::AXUIElementRef& element, std::vector<ax::AXUIElementRef>* children) {
    int64_t count = 0;
    ax::AXError error = ax::AXUIElementGetAttributeValueCount(element, ax::kAXChildrenAttribute, &count);
    if (error != ax::kAXErrorSuccess) return error;
    children->clear();
    if (count == 0) return ax::kAXErrorSuccess;
    ax::AXAttributeValue value;
    error = ax::AXUIElementCopyAttributeValues(element, ax::kAXChildrenAttribute, 0, count, &value);
    if (error != ax::kAXErrorSuccess) return error;
    if (auto* elements = std::get_if<std::vector<ax::AXUIElementRef>>(&value))
        *children = std::move(*elements);
    return ax::kAXErrorSuccess;
}

} // namespace

QNBApplicationMenuRef QNBApplicationMonitor::buildTopMenu(const QNBApplicationState& state) {
    const auto application = ax::AXUIElementCreateApplication(static_cast<pid_t>(state.applicationID));
    const ax::AXAttributeValue bar =
        AXUIElementUtilities::valueOfAttribute(ax::kAXMenuBarAttribute, application);
    const auto* barElement = std::get_if<ax::AXUIElementRef>(&bar);
    if (!barElement || !*barElement) return nullptr;
    auto top = QNBApplicationMenu::init();
    top->element = *barElement;
    top->elementHandle = (*barElement)->id;
    top->applicationID = state.applicationID;
    top->appTopMenu = true;
    QNBApplicationMenuRef slot;
    walkMenu(*barElement, top, 0, 0, slot);
    return top;
}

void QNBApplicationMonitor::manageMenuState() {
    std::lock_guard lock(m_lock);
    if (!ax::AXAPIEnabled()) return;
    for (const QNBApplicationStateRef& state : m_applicationStates) {
        const bool discovered = std::find(m_discoveredApplications.begin(), m_discoveredApplications.end(),
                                          state->applicationID) != m_discoveredApplications.end();
        if (!discovered || state->name == kNoMenusApplication) continue;
        if (!applicationHasWindows(*state) && state->applicationID != m_activePID) continue;
        if (auto top = buildTopMenu(*state)) state->setTopMenu(top);
    }
}

void QNBApplicationMonitor::refreshApplicationTopMenuForApplication(const QNBApplicationState& state) {
    std::unique_lock polling(m_pollLock, std::try_to_lock);
    if (!polling.owns_lock()) return;
    if (!ax::AXAPIEnabled() || state.name == kNoMenusApplication) return;
    if (auto top = buildTopMenu(state)) setTopMenu(top, state.applicationID);
}

void QNBApplicationMonitor::continueMenu(const ax::AXUIElementRef& element,
                                         const QNBApplicationMenuRef& parent, uint64_t level,
                                         uint64_t maxLevel, QNBApplicationMenuRef& appleMenu) {
    std::vector<ax::AXUIElementRef> children;
    if (const ax::AXError error = childrenOf(element, &children); error != ax::kAXErrorSuccess) {
        platform::log("Menu returned error of %d", int(error));
        return;
    }
    for (const ax::AXUIElementRef& child : children)
        walkMenu(child, parent, level, maxLevel, appleMenu);
}

void QNBApplicationMonitor::walkMenu(const ax::AXUIElementRef& element, const QNBApplicationMenuRef& parent,
                                     uint64_t level, uint64_t maxLevel, QNBApplicationMenuRef& appleMenu) {
    std::vector<ax::AXUIElementRef> children;
    if (childrenOf(element, &children) != ax::kAXErrorSuccess) return;
    for (const ax::AXUIElementRef& child : children) {
        QNBApplicationMenuRef record = QNBApplicationMenu::initWithAX(child);
        if (!record) continue;
        parent->submenus.push_back(record);
        record->applicationID = parent->applicationID;
        record->parentMenu = parent;
        record->ordinal = level;
        if (level != 0) record->position.x = 0;
        if (level < maxLevel && record->hasSubMenus) {
            std::vector<ax::AXUIElementRef> grandchildren;
            if (childrenOf(child, &grandchildren) != ax::kAXErrorSuccess) continue;
            for (const ax::AXUIElementRef& grandchild : grandchildren)
                walkMenu(grandchild, record, level + 1, maxLevel, appleMenu);
        }
    }
}

QNBApplicationMenuRef QNBApplicationMonitor::menuForElementID(uint64_t elementHandle, uint64_t pid) {
    std::lock_guard lock(m_lock);
    const QNBApplicationStateRef state = applicationStateForPID(pid, m_applicationStates);
    return state ? findMenuForElementID(elementHandle, state->topMenu()) : nullptr;
}

QNBApplicationMenuRef QNBApplicationMonitor::findMenuForElementID(uint64_t elementHandle,
                                                                  const QNBApplicationMenuRef& menu) {
    if (!menu) return nullptr;
    if (menu->elementHandle == elementHandle) return menu;
    for (const QNBApplicationMenuRef& child : menu->submenus)
        if (auto found = findMenuForElementID(elementHandle, child)) return found;
    return nullptr;
}

// ---- The icon table.

bool QNBApplicationMonitor::cacheHash(const std::vector<uint8_t>& hash) {
    if (hash.size() != 16) return false;
    auto entry = std::make_shared<QNBIconCacheEntry>();
    entry->binaryHash = hash;
    const std::string key = foundation::hexString(hash);
    std::lock_guard lock(m_iconLock);
    if (m_knownIconCache.size() >= kMaxKnownIcons && !m_knownIconCache.count(key)) return false;
    m_knownIconCache[key] = entry;
    return true;
}

bool QNBApplicationMonitor::knowsIcon(const std::string& hexHash) const {
    std::lock_guard lock(m_iconLock);
    return m_knownIconCache.count(hexHash) != 0;
}

size_t QNBApplicationMonitor::knownIconCount() const {
    std::lock_guard lock(m_iconLock);
    return m_knownIconCache.size();
}

std::optional<std::string> QNBApplicationMonitor::obtainIconCacheDirectory() {
    const auto caches =
        ns::NSSearchPathForDirectoriesInDomains(ns::NSCachesDirectory, ns::NSUserDomainMask, true);
    if (caches.empty()) return std::nullopt;
    const std::string folder = caches.front() + "/icons";
    ::mkdir(folder.c_str(), 0755); // no intermediate folders
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) return std::nullopt;
    return folder;
}

void QNBApplicationMonitor::refreshIconCache() {
    std::lock_guard lock(m_iconLock);
    m_knownIconCache.clear();
    const auto folder = obtainIconCacheDirectory();
    if (!folder) return;
    std::error_code error;
    for (const auto& file : std::filesystem::directory_iterator(*folder, error)) {
        const std::string name = file.path().filename().string();
        auto entry = std::make_shared<QNBIconCacheEntry>();
        entry->binaryHash = foundation::dataWithHexString(name);
        entry->cacheLocation = *folder + "/" + name;
        m_knownIconCache[name] = entry;
    }
}

void QNBApplicationMonitor::flushIconCache() {
    const auto folder = obtainIconCacheDirectory();
    if (!folder) return;
    std::error_code error;
    for (const auto& file : std::filesystem::directory_iterator(*folder, error))
        std::filesystem::remove_all(*folder + "/" + file.path().filename().string(), error);
}

void QNBApplicationMonitor::flushInMemoryIconCache() {
    {
        std::lock_guard lock(m_iconLock);
        for (auto& [key, entry] : m_knownIconCache)
            entry->setImage(nullptr);
    }
    std::lock_guard lock(m_lock);
    for (const QNBApplicationStateRef& state : m_applicationStates)
        state->icon = nullptr;
}

} // namespace input
