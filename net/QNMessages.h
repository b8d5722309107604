// The main-stream records other than the client handshake, in both directions. Every
// message begins with its one-byte type; builders answer the exact bytes, parsers take
// exactly the record's bytes and refuse anything else.
#pragma once

#include "net/QNProtocolVersionInfo.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace net {

enum class QNMessageType : uint8_t {
    Handshake = 0x01,       // client handshake; server hello in the other direction
    Busy = 0x02,            // QNBusyMsg
    ClientHeartbeat = 0x04, // QNClientHeartbeatMsg
    Resolution = 0x10,      // QNResolutionMsg
    Update = 0x20,          // QNUpdateRequestMsg; screen update in the other direction
    ApplicationRecordFirst = 0x21,
    ApplicationRecordLast = 0x24,
    MultiDisplay = 0x25, // QNMultiDisplayMsg
    ApplicationRecord = 0x26,
    ApplicationInfoBracket = 0x27, // QNApplicationInfoBracketMsg
    SystemInformation = 0x31,      // QNSystemInformationMsg
};

std::string NSStringFromMessageType(uint8_t type);

// Server hello (QNServerHelloMsg): the invitation datagram, and the first message of a
// read loop on roads that send it.
struct QNServerHelloMsg {
    static constexpr size_t kSize = 47;
    QNProtocolVersionInfo version = kServerProtocolVersion;
    uint16_t value7 = 3; // the two values at offsets 7 and 9 go out as they stand
    uint16_t value9 = 2;

    std::array<uint8_t, kSize> encode() const;
    static std::optional<QNServerHelloMsg> decode(std::span<const uint8_t> bytes);
    bool operator==(const QNServerHelloMsg&) const = default;
};
std::array<uint8_t, QNServerHelloMsg::kSize> serverHandShakeMessage();

// QNBusyMsg: the display is held by the session whose client id follows (0: none free).
struct QNBusyMsg {
    static constexpr size_t kSize = 9;
    uint64_t attachedClientId = 0;

    std::array<uint8_t, kSize> encode() const;
    static std::optional<QNBusyMsg> decode(std::span<const uint8_t> bytes);
};

// The client's answer to QNBusyMsg: its client id alone, no type byte.
struct QNBusyAnswer {
    static constexpr size_t kSize = 8;
    uint64_t clientId = 0;

    std::array<uint8_t, kSize> encode() const;
    static std::optional<QNBusyAnswer> decode(std::span<const uint8_t> bytes);
};

// QNClientHeartbeatMsg: the type byte and 8 bytes the server reads and ignores.
struct QNClientHeartbeatMsg {
    static constexpr size_t kSize = 9;
    static constexpr size_t kBodySize = 8;
    std::array<uint8_t, kSize> encode() const;
    static std::optional<QNClientHeartbeatMsg> decode(std::span<const uint8_t> bytes);
};

// QNResolutionMsg: {0x10, u32 0, u16 width, u16 height} and, for clients of 2.0.0 and
// later, a u16 request number.
struct QNResolutionMsg {
    static constexpr size_t kShortSize = 9;
    static constexpr size_t kLongSize = 11;
    uint16_t width = 0;
    uint16_t height = 0;
    std::optional<uint16_t> requestNumber; // present in the 11-byte form

    std::vector<uint8_t> encode() const;
    static std::optional<QNResolutionMsg> decode(std::span<const uint8_t> bytes);
    bool operator==(const QNResolutionMsg&) const = default;
};
// Whether a client of this version gets resolution messages at all, and in which form.
bool clientReceivesResolution(const QNProtocolVersionInfo& client);
bool clientReceivesRequestNumber(const QNProtocolVersionInfo& client);

// QNUpdateRequestMsg: the type byte alone.
constexpr std::array<uint8_t, 1> kUpdateRequestMsg{0x20};

// The answer to an update request when no pixels go out: {0x20, u16 0} for majors 3 and
// later; majors 2 and lower get {0x20, u16 1} and one empty JPEG rectangle (16 bytes).
std::vector<uint8_t> emptyUpdateMessage(uint8_t clientMajor);
// The server heartbeat, sent while the session is activated.
constexpr std::array<uint8_t, 3> kServerHeartbeatMsg{0x20, 0x00, 0x00};

// QNMultiDisplayMsg: {0x25, u16 display count}.
std::array<uint8_t, 3> multiDisplayMessage(uint16_t displayCount);
// QNApplicationInfoBracketMsg: {0x27, 0 start or 1 end}.
std::array<uint8_t, 2> applicationInfoBracketMessage(bool end);

// QNSystemInformationMsg: {0x31, u8 length, length bytes of the XML document}. The length
// byte cannot describe 256 bytes or more, so such a document gives nullopt.
std::optional<std::vector<uint8_t>> systemInformationMessage(const std::string& document);
std::optional<std::string> parseSystemInformationMessage(std::span<const uint8_t> bytes);

} // namespace net
