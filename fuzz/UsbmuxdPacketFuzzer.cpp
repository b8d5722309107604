// What the usbmuxd client reads from usbmuxd: a stream of packets, each a little-endian size
// field (header included), then protocol, type and tag, then a property list. A size that
// cannot be a packet, a wrong protocol or type, or a payload that is no dictionary ends the
// connection; an empty payload is a packet without a dictionary. A whole packet's dictionary
// goes to the reply reader.
#include "fuzz/FuzzSupport.h"
#include "usblink/PTUSBHub.h"

using namespace usblink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    fuzz::Reader reader(data, size);
    while (reader.remaining() >= sizeof(uint32_t)) {
        const std::vector<uint8_t> sizeField = reader.bytes(sizeof(uint32_t));
        const uint32_t packetSize = uint32_t(sizeField[0]) | uint32_t(sizeField[1]) << 8 |
                                    uint32_t(sizeField[2]) << 16 | uint32_t(sizeField[3]) << 24;
        if (!usbmuxdPacketSizeAcceptable(packetSize)) {
            FUZZ_CHECK(packetSize < kUsbmuxdPacketHeaderSize || packetSize > kUsbmuxdMaxPacketSize,
                       std::to_string(packetSize));
            return 0; // the connection ends
        }
        // Exactly the body, so a read past it is caught.
        const std::vector<uint8_t> body = reader.bytes(packetSize - sizeof(uint32_t));
        if (body.size() != packetSize - sizeof(uint32_t)) return 0; // the stream ended inside it
        const UsbmuxdPacket packet = decodeUsbmuxdPacketBody(body.data(), body.size());
        if (packet.error) {
            FUZZ_CHECK(!packet.dictionary, "a refused packet with a dictionary");
            FUZZ_CHECK(!packet.error->domain.empty(), "an error without a domain");
            return 0;
        }
        FUZZ_CHECK(packet.dictionary.has_value() == (body.size() > 12), "a payload lost or made up");
        if (packet.dictionary)
            FUZZ_CHECK(packet.dictionary->isDictionary(), "a payload that is no dictionary");
        OptionalError error;
        if (!PTUSBChannel::errorFromPlistResponse(packet.dictionary, error))
            FUZZ_CHECK(error && !error->domain.empty(), "a refused reply without an error");
    }
    return 0;
}
