// PNG and TIFF bytes read as a bitmap representation (named images and the listing's image
// views take files this way): bad bytes give no representation; a representation that reads
// has a possible size and writes back as a PNG of that size.
#include "fuzz/FuzzSupport.h"
#include "platform/appkit/NSImage.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    auto rep = appkit::NSBitmapImageRep::imageRepWithData(std::vector<uint8_t>(data, data + size));
    if (!rep) return 0;
    FUZZ_CHECK(rep->pixelsWide() >= 1 && rep->pixelsHigh() >= 1 &&
                   uint64_t(rep->pixelsWide()) * uint64_t(rep->pixelsHigh()) <= uint64_t(8192) * 8192,
               "a representation of impossible size");
    auto png = rep->representationUsingType(appkit::NSBitmapImageFileTypePNG, {});
    FUZZ_CHECK(png.has_value(), "a read representation that does not write");
    auto again = appkit::NSBitmapImageRep::imageRepWithData(*png);
    FUZZ_CHECK(again && again->pixelsWide() == rep->pixelsWide() && again->pixelsHigh() == rep->pixelsHigh(),
               "a written representation that does not read");
    return 0;
}
