// The reference client's readers of what arrives on its sideband port (sorted by length) and
// of the 13-byte rectangle record: a datagram is one of the known kinds or refused with a
// reason, and a record that reads encodes back to the same bytes.
#include "fuzz/FuzzSupport.h"
#include "tools/refclient/RectangleRecord.h"
#include "tools/refclient/SidebandDatagram.h"

#include <cstring>

using namespace refclient;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    const std::vector<uint8_t> bytes(data, data + size);
    const SidebandDatagram datagram = SidebandDatagram::classify(ByteView(bytes));
    if (datagram.kind == SidebandDatagram::Kind::Refused)
        FUZZ_CHECK(!datagram.refusal.empty(), "a silent refusal");
    if (auto record = RectangleRecord::decode(ByteView(bytes))) {
        FUZZ_CHECK(size >= 13, "a short record read");
        const Bytes encoded = record->encode();
        FUZZ_CHECK(encoded.size() == 13 && std::memcmp(encoded.data(), data, 13) == 0, "record re-encoding");
    } else {
        FUZZ_CHECK(size < 13, "a whole record refused");
    }
    return 0;
}
