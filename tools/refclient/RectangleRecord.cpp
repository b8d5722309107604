#include "tools/refclient/RectangleRecord.h"

#include "tools/refclient/Wire.h"

namespace refclient {

Bytes RectangleRecord::encode() const {
    ByteWriter w;
    w.i16(x).i16(y).u16(width).u16(height).u8(encoding).u32(length);
    return w.take();
}

std::optional<RectangleRecord> RectangleRecord::decode(ByteView bytes) {
    if (bytes.size() < kRectangleRecordSize) return std::nullopt;
    ByteReader r(bytes);
    RectangleRecord rec;
    rec.x = r.i16();
    rec.y = r.i16();
    rec.width = r.u16();
    rec.height = r.u16();
    rec.encoding = r.u8();
    rec.length = r.u32();
    return rec;
}

} // namespace refclient
