// The usbmuxd packet as the double speaks it: a 16-byte little-endian header (size, protocol,
// type, tag) and a property list. Written over libplist alone, apart from the USB link's
// own codec, so a layout fault on either side shows on the other.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace usbmuxd_double {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kHeaderSize = 16;
inline constexpr uint32_t kPlistProtocol = 1;
inline constexpr uint32_t kPlistMessageType = 8;
// Larger requests are refused: no client message comes near it.
inline constexpr uint32_t kMaxPacketSize = 1024 * 1024;

struct Header {
    uint32_t size = 0;
    uint32_t protocol = 0;
    uint32_t type = 0;
    uint32_t tag = 0;
};

Header decodeHeader(const uint8_t* bytes);
Bytes encodeHeader(const Header& header);

// A flat message: strings, unsigned integers and one nested dictionary level for "Properties".
struct Field;
using Message = std::map<std::string, Field>;
struct Field {
    std::variant<std::string, uint64_t, Message> value;
    Field(const char* s) : value(std::string(s)) {}
    Field(std::string s) : value(std::move(s)) {}
    Field(uint64_t n) : value(n) {}
    Field(int n) : value(static_cast<uint64_t>(n)) {}
    Field(Message m) : value(std::move(m)) {}
};

// XML with unsigned integers.
std::string xmlFromMessage(const Message& message);
// A packet: header (size = 16 + payload unless sizeOverride) and payload bytes.
Bytes encodePacket(uint32_t tag, const std::string& payload, uint32_t protocol = kPlistProtocol,
                   uint32_t type = kPlistMessageType, std::optional<uint32_t> sizeOverride = std::nullopt);
Bytes encodeMessage(uint32_t tag, const Message& message);

// What the double records of each request it read.
struct Request {
    uint32_t tag = 0;
    std::string messageType;
    std::string progName;
    std::string clientVersionString;
    std::optional<int64_t> deviceId;
    std::optional<int64_t> portNumber; // raw, as sent (byte-swapped port)
    bool parsed = false;               // the payload was a property-list dictionary
};

// Parses a request payload (XML or binary); parsed false when it is not a dictionary.
Request parseRequest(uint32_t tag, const uint8_t* payload, size_t length);

uint16_t swapPort(uint16_t port);

} // namespace usbmuxd_double
