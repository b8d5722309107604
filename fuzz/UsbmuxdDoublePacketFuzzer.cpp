// The usbmuxd double's own packet codec, as it reads a client's connection: a stream of
// 16-byte little-endian headers, each followed by a property list (XML or binary). A header
// with a wrong size, protocol or type ends the connection; a whole packet yields a request.
#include "fuzz/FuzzSupport.h"
#include "tools/usbmuxd-double/MuxPacket.h"

#include <cstring>

using namespace usbmuxd_double;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    size_t at = 0;
    while (size - at >= kHeaderSize) {
        // A copy of exactly the header, then of exactly the payload, so reads past either are caught.
        const std::vector<uint8_t> headerBytes(data + at, data + at + kHeaderSize);
        const Header header = decodeHeader(headerBytes.data());
        FUZZ_CHECK(encodeHeader(header) == headerBytes, "header re-encoding");
        if (header.size < kHeaderSize || header.size > kMaxPacketSize || header.protocol != kPlistProtocol ||
            header.type != kPlistMessageType)
            return 0;
        if (header.size > size - at) return 0; // the connection waits for the rest
        const std::vector<uint8_t> payload(data + at + kHeaderSize, data + at + header.size);
        const Request request = parseRequest(header.tag, payload.data(), payload.size());
        FUZZ_CHECK(request.tag == header.tag, "the tag lost");
        if (!request.parsed)
            FUZZ_CHECK(request.messageType.empty() && !request.deviceId && !request.portNumber,
                       "fields read from a payload that is no dictionary");
        at += header.size;
    }
    return 0;
}
