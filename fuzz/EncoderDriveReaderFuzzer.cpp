// The drive program's readers of encoder output: any bytes, whole or in two cuts, are read or
// refused with a reason, and both cuts read alike.
#include "fuzz/FuzzSupport.h"
#include "tools/encoderdrive/H264Picture.h"
#include "tools/encoderdrive/VellPicture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    encoderdrive::VellPicture whole(64, 48), cut(64, 48);
    const bool read = whole.feed(data, size);
    FUZZ_CHECK(read || !whole.error().empty(), "a refusal without a reason");
    const size_t half = size / 2;
    const bool first = cut.feed(data, half);
    const bool readCut = first && cut.feed(data + half, size - half);
    FUZZ_CHECK(read == readCut, "the cut stream reads differently");
    if (read) FUZZ_CHECK(whole.pixels() == cut.pixels(), "the cut stream paints differently");

    encoderdrive::H264Picture h264;
    if (!h264.feed(data, size)) FUZZ_CHECK(!h264.error().empty(), "an H.264 refusal without a reason");
    return 0;
}
