#include "input/ApplicationInfoRecords.h"

#include "input/InputDatagrams.h"
#include "net/ByteOrder.h"
#include "platform/foundation/CFStringUnicode.h"
#include "regions/ScreenUpdateRecords.h"

namespace input {

using regions::wireCoordinate;

Bytes applicationNameBytes(std::string_view utf8Name) {
    Bytes bytes;
    net::LittleEndianWriter out(bytes);
    out.u16(0xFEFF);
    for (const char16_t unit : cf::utf16FromUTF8(utf8Name))
        out.u16(static_cast<uint16_t>(unit));
    return bytes;
}

WindowPlacement windowPlacement(cg::CGRect bounds, cg::CGPoint displayOrigin) {
    WindowPlacement placement;
    placement.x = wireCoordinate(static_cast<double>(wireCoordinate(bounds.origin.x)) - displayOrigin.x);
    placement.y = wireCoordinate(static_cast<double>(wireCoordinate(bounds.origin.y)) - displayOrigin.y);
    placement.width = static_cast<uint16_t>(wireCoordinate(bounds.size.width));
    placement.height = static_cast<uint16_t>(wireCoordinate(bounds.size.height));
    return placement;
}

namespace {

void writePlacement(net::LittleEndianWriter& out, const WindowPlacement& placement) {
    out.i16(placement.x);
    out.i16(placement.y);
    out.u16(placement.width);
    out.u16(placement.height);
}

} // namespace

Bytes QNApplicationInfoMsg::encode() const {
    Bytes bytes;
    net::LittleEndianWriter out(bytes);
    out.u8(kQNApplicationInfoType);
    out.u64(pid);
    out.u32(nameLength);
    out.bytes(iconMD5);
    out.u32(iconLength);
    return bytes;
}

Bytes QNApplicationThumbMsg::encode() const {
    Bytes bytes;
    net::LittleEndianWriter out(bytes);
    out.u8(kQNApplicationThumbType);
    out.u64(pid);
    out.u64(windowID);
    writePlacement(out, placement);
    out.u16(desktopNumber);
    out.u32(zOrder);
    out.u32(pngLength);
    return bytes;
}

void QNWindowRecord::appendTo(Bytes& bytes) const {
    net::LittleEndianWriter out(bytes);
    out.u64(pid);
    out.u64(windowID);
    writePlacement(out, placement);
    out.u16(desktopNumber);
    out.u32(zOrder);
}

Bytes QNCountedMessageHead::encode() const {
    Bytes bytes;
    net::LittleEndianWriter out(bytes);
    out.u8(type);
    out.u32(count);
    out.u32(value);
    return bytes;
}

QNCountedMessageHead QNWindowSnapshotMsg(uint32_t windowCount) {
    return {kQNWindowSnapshotType, windowCount, static_cast<uint32_t>(QNWindowRecord::kSize)};
}

QNCountedMessageHead QNNewApplicationsMsg(uint32_t applicationCount) {
    return {kQNNewApplicationsType, applicationCount, 0};
}

QNCountedMessageHead QNApplicationMenusMsg(uint32_t recordCount, uint32_t recordBytes) {
    return {kQNApplicationMenusType, recordCount, recordBytes};
}

Bytes QNMenuRecord::encode() const {
    const uint16_t titleLength = static_cast<uint16_t>(title.size());
    Bytes bytes;
    bytes.reserve(kSize + titleLength);
    net::LittleEndianWriter out(bytes);
    out.u64(pid);
    out.u64(elementHandle);
    out.u16(titleLength);
    out.u16(flags & (kEnabled | kAppTopMenu | kHasSubMenus | kChecked));
    out.i16(wireCoordinate(position.x));
    out.i16(wireCoordinate(position.y));
    out.i16(wireCoordinate(size.width));
    out.i16(wireCoordinate(size.height));
    out.u16(static_cast<uint16_t>(ordinal));
    out.u64((flags & kAppTopMenu) ? 0 : parentHandle);
    out.u32(cmdChar);
    out.bytes({reinterpret_cast<const uint8_t*>(title.data()), titleLength});
    return bytes;
}

Bytes QNSidebandMenuMsg(uint64_t elementHandle, uint64_t pid, std::span<const uint8_t> records) {
    Bytes bytes;
    bytes.reserve(regions::QNRectangleMsg::kSize + 8 + records.size());
    net::LittleEndianWriter out(bytes);
    out.u64(elementHandle);
    out.u8(kQNSidebandMenuType);
    out.u32(static_cast<uint32_t>(8 + records.size()));
    out.u64(pid);
    out.bytes(records);
    return bytes;
}

Bytes QNActiveApplicationMsg(int32_t pid) {
    Bytes bytes;
    net::LittleEndianWriter out(bytes);
    out.u64(static_cast<uint64_t>(static_cast<int64_t>(pid)));
    out.u8(kQNActiveApplicationType);
    out.u32(0);
    return bytes;
}

std::optional<QNWindowRequestMsg> QNWindowRequestMsgFromDatagram(std::span<const uint8_t> data) {
    if (!datagramHasLength(data, QNWindowRequestMsg::kSize)) return std::nullopt;
    net::LittleEndianReader in(data.subspan(1));
    QNWindowRequestMsg request;
    request.pid = in.u32();
    in.skip(4);
    request.windowID = in.u64();
    return request;
}

std::optional<QNMenuRequestMsg> QNMenuRequestMsgFromDatagram(std::span<const uint8_t> data) {
    if (!datagramHasLength(data, QNMenuRequestMsg::kSize)) return std::nullopt;
    net::LittleEndianReader in(data.subspan(1));
    QNMenuRequestMsg request;
    request.elementHandle = in.u64();
    request.pid = in.u64();
    return request;
}

} // namespace input
