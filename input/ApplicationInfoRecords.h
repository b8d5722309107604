// The records of application sharing: what the session tells the device of the Mac's
// applications, windows and menus (TCP messages 0x21 to 0x26 inside the 0x27 bracket; sideband
// datagrams 9 and 8) and the device's window and menu requests (sideband datagrams 5 and 8).
// All packed little-endian, built a byte at a time.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace input {

using Bytes = std::vector<uint8_t>;

enum QNApplicationMessageType : uint8_t {
    kQNApplicationInfoType = 0x21,
    kQNApplicationThumbType = 0x22,
    kQNWindowSnapshotType = 0x23,
    kQNNewApplicationsType = 0x24,
    kQNApplicationMenusType = 0x26,
    kQNApplicationInfoBracketType = 0x27,
};

// Sideband datagram types of application sharing.
inline constexpr uint8_t kQNWindowRequestType = 5;     // device to server
inline constexpr uint8_t kQNMenuRequestType = 8;       // device to server
inline constexpr uint8_t kQNActiveApplicationType = 8; // server to device
inline constexpr uint8_t kQNSidebandMenuType = 9;      // server to device

// An application's name as it travels: a byte-order mark, then UTF-16 units, little-endian.
Bytes applicationNameBytes(std::string_view utf8Name);

// A window's place relative to the session's display: x and y truncated to 16 bits, made
// relative to the display origin and truncated again; width and height truncated.
struct WindowPlacement {
    int16_t x = 0;
    int16_t y = 0;
    uint16_t width = 0;
    uint16_t height = 0;
};
WindowPlacement windowPlacement(cg::CGRect bounds, cg::CGPoint displayOrigin);

// 0x21: the header; the name, then (when iconLength is not 0) the icon's TIFF follow.
struct QNApplicationInfoMsg {
    static constexpr size_t kSize = 33;
    uint64_t pid = 0;
    uint32_t nameLength = 0;
    std::array<uint8_t, 16> iconMD5{};
    uint32_t iconLength = 0;
    Bytes encode() const;
};

// 0x22: the header; the thumbnail's PNG follows.
struct QNApplicationThumbMsg {
    static constexpr size_t kSize = 35;
    uint64_t pid = 0;
    uint64_t windowID = 0;
    WindowPlacement placement;
    uint16_t desktopNumber = 0;
    uint32_t zOrder = 0;
    uint32_t pngLength = 0;
    Bytes encode() const;
};

// One window inside 0x23.
struct QNWindowRecord {
    static constexpr size_t kSize = 30;
    uint64_t pid = 0;
    uint64_t windowID = 0;
    WindowPlacement placement;
    uint16_t desktopNumber = 0;
    uint32_t zOrder = 0;
    void appendTo(Bytes& out) const;
};

// The 9-byte heads of 0x23 {count, record size 30}, 0x24 {count, 0} and 0x26 {count, bytes}.
struct QNCountedMessageHead {
    static constexpr size_t kSize = 9;
    uint8_t type = 0;
    uint32_t count = 0;
    uint32_t value = 0;
    Bytes encode() const;
};
QNCountedMessageHead QNWindowSnapshotMsg(uint32_t windowCount);
QNCountedMessageHead QNNewApplicationsMsg(uint32_t applicationCount);
QNCountedMessageHead QNApplicationMenusMsg(uint32_t recordCount, uint32_t recordBytes);

// One menu element: 42 bytes, then the UTF-8 title cut to 16 bits of length.
struct QNMenuRecord {
    static constexpr size_t kSize = 42;
    enum Flags : uint16_t { kEnabled = 1, kAppTopMenu = 2, kHasSubMenus = 4, kChecked = 8 };
    uint64_t pid = 0;
    uint64_t elementHandle = 0;
    uint16_t flags = 0;
    cg::CGPoint position;
    cg::CGSize size;
    uint64_t ordinal = 0;
    uint64_t parentHandle = 0;
    uint32_t cmdChar = 0;
    std::string title;
    // 42 + (title length mod 65,536) bytes.
    Bytes encode() const;
};

// Sideband type 9: the menu whose children follow, the application's pid, the records.
Bytes QNSidebandMenuMsg(uint64_t elementHandle, uint64_t pid, std::span<const uint8_t> records);
// Sideband type 8 to the device: the pid sign-extended.
Bytes QNActiveApplicationMsg(int32_t pid);

// The device's requests: 17 bytes, or none (a shorter datagram is logged and dropped).
struct QNWindowRequestMsg {
    static constexpr size_t kSize = 17;
    uint32_t pid = 0;
    uint64_t windowID = 0;
};
struct QNMenuRequestMsg {
    static constexpr size_t kSize = 17;
    uint64_t elementHandle = 0;
    uint64_t pid = 0;
};
std::optional<QNWindowRequestMsg> QNWindowRequestMsgFromDatagram(std::span<const uint8_t> data);
std::optional<QNMenuRequestMsg> QNMenuRequestMsgFromDatagram(std::span<const uint8_t> data);

} // namespace input
