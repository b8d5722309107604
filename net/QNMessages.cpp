#include "net/QNMessages.h"

#include "net/ByteOrder.h"

#include "platform/core/Format.h"

#include <algorithm>

namespace net {

namespace {

template <size_t N> std::array<uint8_t, N> toArray(const std::vector<uint8_t>& bytes) {
    std::array<uint8_t, N> out{};
    std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
    return out;
}

} // namespace

std::string NSStringFromMessageType(uint8_t type) {
    switch (type) {
    case 0x01:
        return "QNHandshakeMsg";
    case 0x02:
        return "QNBusyMsg";
    case 0x04:
        return "QNClientHeartbeatMsg";
    case 0x10:
        return "QNResolutionMsg";
    case 0x20:
        return "QNUpdateRequestMsg";
    case 0x25:
        return "QNMultiDisplayMsg";
    case 0x27:
        return "QNApplicationInfoBracketMsg";
    case 0x31:
        return "QNSystemInformationMsg";
    default:
        break;
    }
    if (type >= 0x21 && type <= 0x26) return "QNApplicationRecordMsg";
    return platform::format("unknown message type 0x%02x", type);
}

std::array<uint8_t, QNServerHelloMsg::kSize> QNServerHelloMsg::encode() const {
    std::vector<uint8_t> out;
    LittleEndianWriter w(out);
    w.u8(static_cast<uint8_t>(QNMessageType::Handshake));
    w.bytes(version.encode());
    w.u16(value7);
    w.u16(value9);
    w.zeros(kSize - out.size());
    return toArray<kSize>(out);
}

std::optional<QNServerHelloMsg> QNServerHelloMsg::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != kSize || bytes[0] != static_cast<uint8_t>(QNMessageType::Handshake))
        return std::nullopt;
    QNServerHelloMsg hello;
    hello.version = *QNProtocolVersionInfo::decode(bytes.subspan(1, QNProtocolVersionInfo::kSize));
    LittleEndianReader r(bytes.subspan(7));
    hello.value7 = r.u16();
    hello.value9 = r.u16();
    // The tail is reserved: anything but zeros is not a hello this server would send.
    if (!std::all_of(bytes.begin() + 11, bytes.end(), [](uint8_t b) { return b == 0; })) return std::nullopt;
    return hello;
}

std::array<uint8_t, QNServerHelloMsg::kSize> serverHandShakeMessage() {
    return QNServerHelloMsg{}.encode();
}

std::array<uint8_t, QNBusyMsg::kSize> QNBusyMsg::encode() const {
    std::vector<uint8_t> out;
    LittleEndianWriter w(out);
    w.u8(static_cast<uint8_t>(QNMessageType::Busy));
    w.u64(attachedClientId);
    return toArray<kSize>(out);
}

std::optional<QNBusyMsg> QNBusyMsg::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != kSize || bytes[0] != static_cast<uint8_t>(QNMessageType::Busy)) return std::nullopt;
    LittleEndianReader r(bytes.subspan(1));
    return QNBusyMsg{r.u64()};
}

std::array<uint8_t, QNBusyAnswer::kSize> QNBusyAnswer::encode() const {
    std::vector<uint8_t> out;
    LittleEndianWriter(out).u64(clientId);
    return toArray<kSize>(out);
}

std::optional<QNBusyAnswer> QNBusyAnswer::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != kSize) return std::nullopt;
    LittleEndianReader r(bytes);
    return QNBusyAnswer{r.u64()};
}

std::array<uint8_t, QNClientHeartbeatMsg::kSize> QNClientHeartbeatMsg::encode() const {
    std::array<uint8_t, kSize> out{};
    out[0] = static_cast<uint8_t>(QNMessageType::ClientHeartbeat);
    return out;
}

std::optional<QNClientHeartbeatMsg> QNClientHeartbeatMsg::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != kSize || bytes[0] != static_cast<uint8_t>(QNMessageType::ClientHeartbeat))
        return std::nullopt;
    return QNClientHeartbeatMsg{};
}

std::vector<uint8_t> QNResolutionMsg::encode() const {
    std::vector<uint8_t> out;
    LittleEndianWriter w(out);
    w.u8(static_cast<uint8_t>(QNMessageType::Resolution));
    w.u32(0);
    w.u16(width);
    w.u16(height);
    if (requestNumber) w.u16(*requestNumber);
    return out;
}

std::optional<QNResolutionMsg> QNResolutionMsg::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() != kShortSize && bytes.size() != kLongSize) return std::nullopt;
    if (bytes[0] != static_cast<uint8_t>(QNMessageType::Resolution)) return std::nullopt;
    LittleEndianReader r(bytes.subspan(1));
    if (r.u32() != 0) return std::nullopt;
    QNResolutionMsg msg;
    msg.width = r.u16();
    msg.height = r.u16();
    if (bytes.size() == kLongSize) msg.requestNumber = r.u16();
    return msg;
}

bool clientReceivesResolution(const QNProtocolVersionInfo& client) {
    return theySpeakProtocolVersion(client, 1, 1, 2);
}

bool clientReceivesRequestNumber(const QNProtocolVersionInfo& client) {
    return theySpeakProtocolVersion(client, 2, 0, 0);
}

std::vector<uint8_t> emptyUpdateMessage(uint8_t clientMajor) {
    std::vector<uint8_t> out;
    LittleEndianWriter w(out);
    w.u8(static_cast<uint8_t>(QNMessageType::Update));
    if (clientMajor >= 3) {
        w.u16(0);
        return out;
    }
    // Older clients expect at least one rectangle: an empty JPEG record (x, y, width,
    // height 0, encoding 4, length 0).
    w.u16(1);
    w.zeros(8);
    w.u8(4);
    w.u32(0);
    return out;
}

std::array<uint8_t, 3> multiDisplayMessage(uint16_t displayCount) {
    return {static_cast<uint8_t>(QNMessageType::MultiDisplay), static_cast<uint8_t>(displayCount & 0xFF),
            static_cast<uint8_t>(displayCount >> 8)};
}

std::array<uint8_t, 2> applicationInfoBracketMessage(bool end) {
    return {static_cast<uint8_t>(QNMessageType::ApplicationInfoBracket), static_cast<uint8_t>(end ? 1 : 0)};
}

std::optional<std::vector<uint8_t>> systemInformationMessage(const std::string& document) {
    if (document.size() > 255) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(2 + document.size());
    out.push_back(static_cast<uint8_t>(QNMessageType::SystemInformation));
    out.push_back(static_cast<uint8_t>(document.size()));
    out.insert(out.end(), document.begin(), document.end());
    return out;
}

std::optional<std::string> parseSystemInformationMessage(std::span<const uint8_t> bytes) {
    if (bytes.size() < 2 || bytes[0] != static_cast<uint8_t>(QNMessageType::SystemInformation))
        return std::nullopt;
    if (bytes.size() != 2u + bytes[1]) return std::nullopt;
    return std::string(bytes.begin() + 2, bytes.end());
}

} // namespace net
