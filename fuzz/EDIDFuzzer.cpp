// A display's EDID block as the window server reads it: only a whole block with the fixed
// header and a zero checksum reads, and then only its first 128 bytes count.
#include "fuzz/FuzzSupport.h"
#include "platform/windowserver/EDID.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    // A copy of exactly the input's size, so a read past its end is caught.
    const std::vector<uint8_t> block(data, data + size);
    auto info = windowserver::parseEDID(block.data(), block.size());
    if (!info) return 0;
    FUZZ_CHECK(size >= windowserver::kEDIDLength, "a short block read");
    uint8_t sum = 0;
    for (size_t i = 0; i < windowserver::kEDIDLength; ++i)
        sum = static_cast<uint8_t>(sum + data[i]);
    FUZZ_CHECK(sum == 0, "a block with a bad checksum read");
    FUZZ_CHECK(info->name.size() <= 13 || info->name == windowserver::kUnknownDisplayName, info->name);
    if (size > windowserver::kEDIDLength) {
        auto first = windowserver::parseEDID(block.data(), windowserver::kEDIDLength);
        FUZZ_CHECK(first && first->name == info->name && first->vendor == info->vendor,
                   "bytes past 128 counted");
    }
    return 0;
}
