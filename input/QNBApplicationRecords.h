// What the application monitor knows of the Mac: one state per application (name, pid, icon,
// menu bar), one record per visible window (bounds, stacking, thumbnail and its hash), one
// record per menu element, and one entry per icon the device holds.
#pragma once

#include "platform/applicationservices/AXUIElement.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGImage.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace appkit {
class NSImage;
} // namespace appkit

namespace input {

// One accessibility menu element: the menu bar itself, a menu-bar item or a menu item. Equal
// (and ordered) by elementHandle, the element's id, which the device sends back.
class QNBApplicationMenu : public std::enable_shared_from_this<QNBApplicationMenu> {
  public:
    // An empty record.
    static std::shared_ptr<QNBApplicationMenu> init();
    // The element's title, flag, geometry, children count, command and mark characters, each
    // neutral when it cannot be read. Null for a null element.
    static std::shared_ptr<QNBApplicationMenu> initWithAX(const ax::AXUIElementRef& element);

    // Every field but selected; a new array holding the same child records.
    std::shared_ptr<QNBApplicationMenu> copy() const;
    // Presses the element ("AXPress").
    void executeMenuOption() const;
    // The difference of x (y) of the positions, truncated: <0 ascending, >0 descending, 0 same.
    int compareByXOrigin(const QNBApplicationMenu& other) const;
    int compareByYOrigin(const QNBApplicationMenu& other) const;
    // "<QNBApplicationMenu 0x...> element 0x.., pid 0x.. "title" {x, y} {w, h}".
    std::string description() const;

    std::weak_ptr<QNBApplicationMenu> parentMenu; // not owned
    uint64_t applicationID = 0;
    std::string title;
    bool enabled = false;
    bool appTopMenu = false;
    bool hasSubMenus = false;
    bool checked = false;
    cg::CGPoint position{};
    cg::CGSize size{};
    uint64_t ordinal = 0;
    std::vector<std::shared_ptr<QNBApplicationMenu>> submenus;
    uint64_t elementHandle = 0;
    ax::AXUIElementRef element; // held while the record lives
    uint64_t parentHandle = 0;  // never set
    bool selected = false;      // never set
    uint32_t cmdChar = 0;
};
using QNBApplicationMenuRef = std::shared_ptr<QNBApplicationMenu>;

// One application. Equal by applicationID. Copies share the top menu.
class QNBApplicationState {
  public:
    std::string name;
    uint64_t applicationID = 0;
    std::shared_ptr<appkit::NSImage> icon;
    std::string iconHash; // nothing sets it

    QNBApplicationMenuRef topMenu() const;
    void setTopMenu(QNBApplicationMenuRef menu);
    std::shared_ptr<QNBApplicationState> copy() const;

  private:
    mutable std::mutex m_topMenuLock;
    QNBApplicationMenuRef m_topMenu;
};
using QNBApplicationStateRef = std::shared_ptr<QNBApplicationState>;

// One visible window. Equal by windowID. Copies share the thumbnail image.
struct QNBApplicationWindow {
    uint64_t applicationID = 0;
    uint64_t windowID = 0;
    uint32_t windowZOrder = 0;
    cg::CGImageRef thumbnail;
    cg::CGRect bounds{};
    uint32_t desktopNumber = 0;
    bool freshThumbnail = false;
    std::string thumbnailHash;
    std::string windowName;

    std::shared_ptr<QNBApplicationWindow> copy() const {
        return std::make_shared<QNBApplicationWindow>(*this);
    }
    // bounds from kCGWindowBounds, desktopNumber from kCGWindowWorkspace (0 when absent).
    void refreshWithDictionary(const cf::Value& entry);
    // Reads the on-screen list and this window's description; when found, applies it and sets
    // the stacking order to the description's place in the list (counted from 0).
    void refresh();
    void setThumbnail(cg::CGImageRef image) { thumbnail = std::move(image); }
    // "<QNBApplicationWindow 0x...> Window for 'owner' - id 0x.., bounds {...}, name ...".
    std::string description(const std::string& ownerName) const;
};
using QNBApplicationWindowRef = std::shared_ptr<QNBApplicationWindow>;

// An icon the device holds: its MD5, and where known its image and file.
class QNBIconCacheEntry {
  public:
    std::vector<uint8_t> binaryHash;
    std::optional<std::string> cacheLocation; // none for hashes a device announced

    std::shared_ptr<appkit::NSImage> image() const;
    void setImage(std::shared_ptr<appkit::NSImage> image);

  private:
    mutable std::mutex m_lock;
    std::shared_ptr<appkit::NSImage> m_image;
};

} // namespace input
