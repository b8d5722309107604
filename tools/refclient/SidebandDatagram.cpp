#include "tools/refclient/SidebandDatagram.h"

#include "platform/core/Format.h"
#include "tools/refclient/Wire.h"

#include <algorithm>

namespace refclient {

namespace {

SidebandDatagram refused(std::string why) {
    SidebandDatagram d;
    d.refusal = std::move(why);
    return d;
}

SidebandDatagram classifyRecord(const RectangleRecord& rec) {
    SidebandDatagram d;
    d.record = rec;
    if (rec.encoding == kEncodingMousePos) {
        if (rec.width > 1 || rec.height != 0 || rec.length != 0)
            return refused(platform::format("cursor position record with w=%u h=%u len=%u", rec.width, rec.height,
                                            rec.length));
        d.kind = SidebandDatagram::Kind::CursorPosition;
        return d;
    }
    if (rec.encoding == kEncodingFeatureState) {
        if (rec.x != 0 || rec.y != 0 || rec.length != 0 || rec.height < kFeatureOn || rec.height > kFeatureRequestOff)
            return refused(platform::format("feature state record with x=%d y=%d op=%u len=%u", rec.x, rec.y,
                                            rec.height, rec.length));
        d.kind = SidebandDatagram::Kind::FeatureState;
        return d;
    }
    return refused(platform::format("sideband record of encoding %u", rec.encoding));
}

} // namespace

Bytes invitationBytes() {
    ByteWriter w;
    w.u8(kMessageHandshake).u8(3).u8(0).u8(1).u8(1).u8(0).u8(0).u16(3).u16(2).zeros(36);
    return w.take();
}

SidebandDatagram SidebandDatagram::classify(ByteView bytes) {
    if (bytes.size() == kInvitationSize) {
        static const Bytes expected = invitationBytes();
        if (!std::equal(bytes.begin(), bytes.end(), expected.begin()))
            return refused("47-byte datagram that is not the server hello");
        SidebandDatagram d;
        d.kind = Kind::Invitation;
        return d;
    }
    if (bytes.size() == kRectangleRecordSize) return classifyRecord(*RectangleRecord::decode(bytes));
    return refused(platform::format("sideband datagram of %u bytes", bytes.size()));
}

} // namespace refclient
