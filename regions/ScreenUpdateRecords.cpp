#include "regions/ScreenUpdateRecords.h"

#include "regions/PixmanRegion.h"

#include "net/ByteOrder.h"

#include <vector>

namespace regions {

using namespace cg;

namespace {
template <size_t N> std::array<uint8_t, N> toArray(const std::vector<uint8_t>& bytes) {
    std::array<uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}
} // namespace

std::array<uint8_t, QNScreenUpdateMsg::kSize> QNScreenUpdateMsg::encode() const {
    std::vector<uint8_t> bytes;
    net::LittleEndianWriter out(bytes);
    out.u8(packetDesignation);
    out.u16(recordCount);
    return toArray<kSize>(bytes);
}

int16_t wireCoordinate(double value) { return truncateToInt16(value).value_or(0); }

QNRectangleMsg QNRectangleMsg::withRect(CGRect rect, uint8_t encoding, uint32_t payloadLength) {
    QNRectangleMsg record;
    record.x = wireCoordinate(rect.origin.x);
    record.y = wireCoordinate(rect.origin.y);
    record.width = static_cast<uint16_t>(wireCoordinate(rect.size.width));
    record.height = static_cast<uint16_t>(wireCoordinate(rect.size.height));
    record.encoding = encoding;
    record.payloadLength = payloadLength;
    return record;
}

std::array<uint8_t, QNRectangleMsg::kSize> QNRectangleMsg::encode() const {
    std::vector<uint8_t> bytes;
    net::LittleEndianWriter out(bytes);
    out.i16(x);
    out.i16(y);
    out.u16(width);
    out.u16(height);
    out.u8(encoding);
    out.u32(payloadLength);
    return toArray<kSize>(bytes);
}

QNRectangleMsg cursorPositionRecord(CGPoint location, bool visible, CGPoint displayOrigin) {
    QNRectangleMsg record;
    record.x = wireCoordinate(static_cast<double>(wireCoordinate(location.x)) - displayOrigin.x);
    record.y = wireCoordinate(static_cast<double>(wireCoordinate(location.y)) - displayOrigin.y);
    record.width = visible ? 1 : 0;
    record.encoding = QNScreenEncodingMousePos;
    return record;
}

QNRectangleMsg cursorPositionStreamRecord(CGPoint location, bool visible) {
    QNRectangleMsg record;
    record.x = wireCoordinate(location.x);
    record.y = wireCoordinate(location.y);
    record.width = visible ? 1 : 0;
    record.encoding = QNScreenEncodingMousePos;
    return record;
}

QNRectangleMsg cursorImageRecord(CGPoint hotSpot, CGSize imageSize, uint32_t pngLength) {
    return QNRectangleMsg::withRect(CGRectMake(hotSpot.x, hotSpot.y, imageSize.width, imageSize.height),
                                    QNScreenEncodingMouseCursor, pngLength);
}

} // namespace regions
