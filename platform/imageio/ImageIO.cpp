#include "platform/imageio/ImageIO.h"

#include "platform/core/Log.h"
#include "platform/coregraphics/PixelLayout.h"
#include "platform/foundation/PNG.h"

#include <cstdio>
#include <cstring>

namespace imageio {

struct CGImageDestination {
    CFMutableDataRef data;
    std::string path;
    size_t count = 0;
    cg::CGImageRef image;
    bool finalized = false;
};

struct CGImageSource {
    std::vector<uint8_t> data;
};

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

CGImageDestinationRef create(const std::string& type, size_t count, const char* function) {
    if (type != kUTTypePNG || count == 0) {
        platform::log("%s: cannot write %zu image(s) of type \"%s\"", function, count, type.c_str());
        return nullptr;
    }
    auto destination = std::make_shared<CGImageDestination>();
    destination->count = count;
    return destination;
}

// The image's pixels as premultiplied 32-bit words (BGRA in memory), packed.
std::vector<uint8_t> premultipliedBGRA(const cg::CGImage& image) {
    auto layout = cg::detail::pixelLayout(image.bitsPerComponent, image.bitsPerPixel, image.bitmapInfo,
                                          cg::CGColorSpaceGetModel(image.space));
    if (!layout) return {};
    std::vector<uint8_t> out(image.width * 4 * image.height);
    cg::detail::loadARGB32(*layout, image.bytes.get(), image.bytesPerRow, out.data(), image.width * 4,
                           image.width, image.height);
    return out;
}

bool hasAlpha(const cg::CGImage& image) {
    switch (image.bitmapInfo & cg::kCGBitmapAlphaInfoMask) {
    case cg::kCGImageAlphaNone:
    case cg::kCGImageAlphaNoneSkipFirst:
    case cg::kCGImageAlphaNoneSkipLast:
        return false;
    default:
        return true;
    }
}

} // namespace

CGImageDestinationRef CGImageDestinationCreateWithData(const CFMutableDataRef& data, const std::string& type,
                                                       size_t count, const cf::Dictionary*) {
    if (!data) {
        platform::log("CGImageDestinationCreateWithData: no data to write into");
        return nullptr;
    }
    auto destination = create(type, count, "CGImageDestinationCreateWithData");
    if (destination) destination->data = data;
    return destination;
}

CGImageDestinationRef CGImageDestinationCreateWithURL(const std::string& path, const std::string& type,
                                                      size_t count, const cf::Dictionary*) {
    if (path.empty()) {
        platform::log("CGImageDestinationCreateWithURL: no path");
        return nullptr;
    }
    auto destination = create(type, count, "CGImageDestinationCreateWithURL");
    if (destination) destination->path = path;
    return destination;
}

void CGImageDestinationAddImage(const CGImageDestinationRef& destination, const cg::CGImageRef& image,
                                const cf::Dictionary*) {
    if (!destination || !image) {
        platform::log("CGImageDestinationAddImage: %s", destination ? "no image" : "no destination");
        return;
    }
    if (destination->image || destination->finalized) {
        platform::log("CGImageDestinationAddImage: a PNG holds one image; this one is ignored");
        return;
    }
    destination->image = image;
}

bool CGImageDestinationFinalize(const CGImageDestinationRef& destination) {
    if (!destination || destination->finalized || !destination->image) {
        platform::log("CGImageDestinationFinalize: %s", !destination             ? "no destination"
                                                        : destination->finalized ? "already finalized"
                                                                                 : "no image was added");
        return false;
    }
    destination->finalized = true;
    const cg::CGImage& image = *destination->image;
    std::vector<uint8_t> pixels = premultipliedBGRA(image);
    platform::Error error;
    std::optional<std::vector<uint8_t>> file;
    if (!pixels.empty())
        file = png::encode(pixels.data(), uint32_t(image.width), uint32_t(image.height), image.width * 4,
                           hasAlpha(image) ? png::PixelFormat::PremultipliedBGRA : png::PixelFormat::BGRX,
                           &error);
    if (!file) {
        platform::log("CGImageDestinationFinalize: cannot encode a %zux%zu image", image.width, image.height);
        return false;
    }
    if (destination->data) {
        destination->data->insert(destination->data->end(), file->begin(), file->end());
        return true;
    }
    FILE* out = std::fopen(destination->path.c_str(), "wbe");
    bool written = out && std::fwrite(file->data(), 1, file->size(), out) == file->size();
    if (out && std::fclose(out) != 0) written = false;
    if (!written) platform::log("CGImageDestinationFinalize: cannot write %s", destination->path.c_str());
    return written;
}

CGImageSourceRef CGImageSourceCreateWithData(std::vector<uint8_t> data, const cf::Dictionary*) {
    if (data.empty()) {
        platform::log("CGImageSourceCreateWithData: no data");
        return nullptr;
    }
    auto source = std::make_shared<CGImageSource>();
    source->data = std::move(data);
    return source;
}

std::string CGImageSourceGetType(const CGImageSourceRef& source) {
    if (!source || source->data.size() < sizeof kSignature ||
        std::memcmp(source->data.data(), kSignature, sizeof kSignature) != 0)
        return {};
    return kUTTypePNG;
}

size_t CGImageSourceGetCount(const CGImageSourceRef& source) {
    return CGImageSourceGetType(source).empty() ? 0 : 1;
}

cg::CGImageRef CGImageSourceCreateImageAtIndex(const CGImageSourceRef& source, size_t index,
                                               const cf::Dictionary*) {
    if (index >= CGImageSourceGetCount(source)) {
        platform::log("CGImageSourceCreateImageAtIndex: no image %zu in the source", index);
        return nullptr;
    }
    auto decoded = png::decode(source->data); // a corrupt file is logged there, once
    if (!decoded) return nullptr;
    std::vector<uint8_t>& rgba = decoded->rgba;
    for (size_t i = 0; i < rgba.size(); i += 4) {
        const unsigned a = rgba[i + 3];
        for (size_t k = 0; k < 3; ++k)
            rgba[i + k] = uint8_t((rgba[i + k] * a + 127) / 255);
    }
    return cg::CGImageCreate(decoded->width, decoded->height, 8, 32, size_t(decoded->width) * 4,
                             cg::CGColorSpaceCreateDeviceRGB(), cg::kCGImageAlphaPremultipliedLast,
                             cg::CGDataProviderCreateWithData(std::move(rgba)), nullptr, true,
                             cg::kCGRenderingIntentDefault);
}

} // namespace imageio
