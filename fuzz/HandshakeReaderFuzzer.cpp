// The client handshake after its type byte, in the steps its version implies, then the icon
// hashes: every version's record must read without reading past what arrived, and a record
// that reads must encode back to the bytes it was read from.
#include "fuzz/FuzzSupport.h"
#include "net/QNHandshakeReader.h"

#include <cstring>

using namespace net;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    size_t offset = 0;
    net::QNHandshakeReader reader([&](uint8_t* buffer, size_t length) {
        if (length > size - offset) return false;
        std::memcpy(buffer, data + offset, length);
        offset += length;
        return true;
    });
    auto record = reader.read();
    if (!record) return 0;
    const net::QNClientHandshake& h = record->handshake;
    FUZZ_CHECK(record->handshakeLength ==
                   net::QNHandshakeReader::handshakeLength(h.majorversion, h.minorversion, h.subversion),
               std::to_string(record->handshakeLength));
    FUZZ_CHECK(record->iconHashes.size() == h.capabilities.iconHashCount, "icon hashes");
    FUZZ_CHECK(offset == record->handshakeLength - 1 + 16 * record->iconHashes.size(), "bytes read");
    // The bytes read are the record's prefix; the rest stays zero.
    const auto encoded = h.encode();
    FUZZ_CHECK(std::memcmp(encoded.data() + 1, data, record->handshakeLength - 1) == 0, "re-encoding");
    for (size_t i = record->handshakeLength; i < encoded.size(); ++i)
        FUZZ_CHECK(encoded[i] == 0, "unsent field");
    FUZZ_CHECK(net::QNClientHandshake::decode(encoded) == h, "decode of the encoding");
    (void)h.deviceIdentifierText();
    (void)h.deviceNameText();
    (void)h.devicePlatformText();
    (void)net::QNBScreenProtocolHelper::displayModeFromHandshakeUnion(h, h.version());
    return 0;
}
