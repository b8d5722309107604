// Image I/O: PNG files written from, and read into, Core Graphics images (through libpng, with
// the deterministic writer of platform/foundation/PNG.h). Other types are refused.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGImage.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace imageio {

inline constexpr char kUTTypePNG[] = "public.png";

// The growing buffer a destination appends its file to (CFMutableData's role).
using CFMutableDataRef = std::shared_ptr<std::vector<uint8_t>>;

struct CGImageDestination;
using CGImageDestinationRef = std::shared_ptr<CGImageDestination>;

// Null (logged) for a null buffer, a type other than PNG, or a count of 0.
CGImageDestinationRef CGImageDestinationCreateWithData(const CFMutableDataRef& data, const std::string& type,
                                                       size_t count, const cf::Dictionary* options);
// The file is written at path when the destination is finalized.
CGImageDestinationRef CGImageDestinationCreateWithURL(const std::string& path, const std::string& type,
                                                      size_t count, const cf::Dictionary* options);
// A PNG holds one image: a second, or a null image, is logged and ignored.
void CGImageDestinationAddImage(const CGImageDestinationRef& destination, const cg::CGImageRef& image,
                                const cf::Dictionary* properties);
// Writes the file: RGBA (un-premultiplied) for images with alpha, else RGB. False (logged)
// without an image, when the image cannot be encoded or written, or when already finalized.
bool CGImageDestinationFinalize(const CGImageDestinationRef& destination);

struct CGImageSource;
using CGImageSourceRef = std::shared_ptr<CGImageSource>;

// Null for empty data. The data is read when an image is asked for.
CGImageSourceRef CGImageSourceCreateWithData(std::vector<uint8_t> data, const cf::Dictionary* options);
// "public.png" when the data starts as a PNG does; empty otherwise.
std::string CGImageSourceGetType(const CGImageSourceRef& source);
size_t CGImageSourceGetCount(const CGImageSourceRef& source);
// An 8-bit RGBA premultiplied image; null (logged) for an index past the count or data that
// is not a whole, well-formed PNG.
cg::CGImageRef CGImageSourceCreateImageAtIndex(const CGImageSourceRef& source, size_t index,
                                               const cf::Dictionary* options);

} // namespace imageio
