// A PNG file read through an image source: a corrupt file gives no image; an image that reads
// draws into a context and writes back to a PNG of its own size.
#include "fuzz/FuzzSupport.h"
#include "platform/imageio/ImageIO.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    auto source = imageio::CGImageSourceCreateWithData(std::vector<uint8_t>(data, data + size), nullptr);
    if (!source) return 0;
    cg::CGImageRef image = imageio::CGImageSourceCreateImageAtIndex(source, 0, nullptr);
    if (!image) return 0;
    FUZZ_CHECK(imageio::CGImageSourceGetCount(source) == 1, "an image from a source of no images");
    FUZZ_CHECK(image->width >= 1 && image->width <= 16384 && image->height >= 1 && image->height <= 16384,
               "an image of impossible size");
    auto context = cg::CGBitmapContextCreate(nullptr, 8, 8, 8, 0, cg::CGColorSpaceCreateDeviceRGB(),
                                             cg::kCGImageAlphaPremultipliedLast);
    cg::CGContextDrawImage(context, cg::CGRectMake(0, 0, 8, 8), image);
    auto out = std::make_shared<std::vector<uint8_t>>();
    auto destination = imageio::CGImageDestinationCreateWithData(out, imageio::kUTTypePNG, 1, nullptr);
    imageio::CGImageDestinationAddImage(destination, image, nullptr);
    FUZZ_CHECK(imageio::CGImageDestinationFinalize(destination), "a read image that does not write");
    auto again = imageio::CGImageSourceCreateImageAtIndex(imageio::CGImageSourceCreateWithData(*out, nullptr),
                                                          0, nullptr);
    FUZZ_CHECK(again && again->width == image->width && again->height == image->height,
               "a written image that does not read");
    return 0;
}
