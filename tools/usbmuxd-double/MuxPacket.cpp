#include "tools/usbmuxd-double/MuxPacket.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>

namespace usbmuxd_double {

namespace {

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void putLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

plist_t nodeFrom(const Message& message) {
    plist_t dict = plist_new_dict();
    for (const auto& [key, field] : message) {
        plist_t item = nullptr;
        if (auto* s = std::get_if<std::string>(&field.value)) {
            item = plist_new_string(s->c_str());
        } else if (auto* n = std::get_if<uint64_t>(&field.value)) {
            item = plist_new_uint(*n);
        } else {
            item = nodeFrom(std::get<Message>(field.value));
        }
        plist_dict_set_item(dict, key.c_str(), item);
    }
    return dict;
}

std::string stringItem(plist_t dict, const char* key) {
    plist_t item = plist_dict_get_item(dict, key);
    if (!item || plist_get_node_type(item) != PLIST_STRING) return {};
    // A string read from the wire may hold NUL bytes: taken by its length, never as a C string
    // (libplist's copying getter aborts on one).
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(item, &length);
    return value ? std::string(value, static_cast<size_t>(length)) : std::string();
}

std::optional<int64_t> integerItem(plist_t dict, const char* key) {
    plist_t item = plist_dict_get_item(dict, key);
    if (!item || plist_get_node_type(item) != PLIST_UINT) return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(item, &value);
    return static_cast<int64_t>(value);
}

} // namespace

Header decodeHeader(const uint8_t* b) {
    return Header{le32(b), le32(b + 4), le32(b + 8), le32(b + 12)};
}

Bytes encodeHeader(const Header& h) {
    Bytes out;
    putLe32(out, h.size);
    putLe32(out, h.protocol);
    putLe32(out, h.type);
    putLe32(out, h.tag);
    return out;
}

std::string xmlFromMessage(const Message& message) {
    plist_t node = nodeFrom(message);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    std::string out(xml ? xml : "", length);
    std::free(xml);
    plist_free(node);
    return out;
}

Bytes encodePacket(uint32_t tag, const std::string& payload, uint32_t protocol, uint32_t type,
                   std::optional<uint32_t> sizeOverride) {
    uint32_t size = sizeOverride ? *sizeOverride : static_cast<uint32_t>(kHeaderSize + payload.size());
    Bytes out = encodeHeader(Header{size, protocol, type, tag});
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes encodeMessage(uint32_t tag, const Message& message) {
    return encodePacket(tag, xmlFromMessage(message));
}

Request parseRequest(uint32_t tag, const uint8_t* payload, size_t length) {
    Request r;
    r.tag = tag;
    if (length == 0 || length > kMaxPacketSize) return r;
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(payload), static_cast<uint32_t>(length), &root);
    if (!root) return r;
    if (plist_get_node_type(root) == PLIST_DICT) {
        r.parsed = true;
        r.messageType = stringItem(root, "MessageType");
        r.progName = stringItem(root, "ProgName");
        r.clientVersionString = stringItem(root, "ClientVersionString");
        r.deviceId = integerItem(root, "DeviceID");
        r.portNumber = integerItem(root, "PortNumber");
    }
    plist_free(root);
    return r;
}

uint16_t swapPort(uint16_t port) {
    return static_cast<uint16_t>((port >> 8) | (port << 8));
}

} // namespace usbmuxd_double
