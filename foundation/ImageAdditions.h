// Image helpers shared by the programs: scaling a Core Graphics image so that its longer side
// has a given pixel count (with the MD5 of the scaled bitmap, by which icons and cursors are
// compared), choosing and pruning an image's representations, page-aligned bitmap memory,
// PNG files, deep copies of images, and Core Graphics colours of AppKit colours.
#pragma once

#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSImage.h"
#include "platform/coregraphics/CGImage.h"

#include <cstddef>
#include <memory>
#include <string>

namespace foundation {

// The image scaled so that its longer side is maxPixels (up as well as down; the other side
// keeps the aspect ratio, truncated to whole pixels), drawn in the source's bits per component,
// colour space and alpha arrangement. With hashString, the lower-case hex MD5 of the whole
// scaled bitmap is stored there. Null, with nothing stored, for a null or empty source,
// maxPixels not finite and positive, a side truncated to 0 or over 16384, or a layout no
// context draws.
cg::CGImageRef newResizedCGImage(const cg::CGImageRef& image, double maxPixels, std::string* hashString);
cg::CGImageRef newResizedCGImage(const cg::CGImageRef& image, double maxPixels);
// The scaled bitmap's row: (alpha or skipped alpha ? 1 : 0) + the space's components, times
// the bits per component, times the width, in whole bytes.
size_t bytesPerRowForResizedImage(const cg::CGImageRef& image, size_t pixelWidth);

// The first representation whose size is exactly size; null when none.
std::shared_ptr<appkit::NSImageRep> representationOfSize(const appkit::NSImage& image, cg::CGSize size);
// An exact match; else the closest larger representation, else the closest smaller one (the
// earlier on ties); else the image's best representation for no particular device.
std::shared_ptr<appkit::NSImageRep> bestRepresentationForSize(const appkit::NSImage& image, cg::CGSize size);
// Removes every representation whose pixel area is above large's area or below small's.
void removeRepresentationsLargerThanSize(appkit::NSImage& image, cg::CGSize large, cg::CGSize small);
void removeRepresentationsLargerThanSize(appkit::NSImage& image, cg::CGSize large);

// Adds a bitmap representation of size (pixels: the size truncated), the best representation
// for it drawn fitted and centred, 8-bit device RGB premultiplied. NO, adding nothing, when a
// representation of that size exists or nothing can be drawn at that size.
bool createRepresentationOfSize(appkit::NSImage& image, cg::CGSize size);
// createRepresentationOfSize, the image's size set, larger representations removed; YES.
bool shrinkToSize(appkit::NSImage& image, cg::CGSize size);
// A copy shrunk to size and not flipped.
std::shared_ptr<appkit::NSImage> duplicateOfSize(const appkit::NSImage& image, cg::CGSize size);
// The best representation when it is a bitmap, else the first bitmap one; else the image drawn
// into a new 32-bit float RGBA bitmap of its size, added to it. Nil (logged) when that bitmap
// cannot be made, or would need more than 256 MiB.
std::shared_ptr<appkit::NSBitmapImageRep> bitmapImageRepresentation(appkit::NSImage& image);
// The image of bitmapImageRepresentation; null with it.
cg::CGImageRef CGImage(appkit::NSImage& image);

// A new image of the same size: the image's shape filled with a vertical gradient from the top
// to the bottom background colour, a highlight just past its edge (below for a positive width,
// above for a negative one) and an inner shadow of that width. Nothing outside the shape and
// its highlight is drawn.
std::shared_ptr<appkit::NSImage>
embossWithWidth(const appkit::NSImage& image, double width,
                const std::shared_ptr<appkit::NSColor>& shadowColor,
                const std::shared_ptr<appkit::NSColor>& highlightColor,
                const std::shared_ptr<appkit::NSColor>& topBackgroundColor,
                const std::shared_ptr<appkit::NSColor>& bottomBackgroundColor);
// Black shadow, white highlight: etched (width 1) or embossed (width -1), on white to 75% grey
// (light content) or 50% to 25% grey (dark content).
std::shared_ptr<appkit::NSImage> lightContentEtchedImage(const appkit::NSImage& image);
std::shared_ptr<appkit::NSImage> darkContentEtchedImage(const appkit::NSImage& image);
std::shared_ptr<appkit::NSImage> lightContentEmbossedImage(const appkit::NSImage& image);
std::shared_ptr<appkit::NSImage> darkContentEmbossedImage(const appkit::NSImage& image);

// Anonymous private memory of size rounded up to whole pages; the rounded length is stored
// in length. Null (length untouched) when the mapping fails.
void* AlignedMalloc(size_t size, size_t* length);
void AlignedFree(void* memory, size_t length);
// A data provider's release callback for AlignedMalloc's memory.
void AlignedCGDataProviderRelease(void* info, const void* memory, size_t length);

// Writes the image as a PNG file; on failure logs "Failed to write image to <path>".
bool CGImageWriteToFile(const cg::CGImageRef& image, const std::string& path);
// A new image over a copy of the source's bytes, with all its parameters.
cg::CGImageRef CGImageDeepCopy(const cg::CGImageRef& image);
// The colour in its own colour space, with its components.
cg::CGColorRef CGColorCreateWithNSColor(const std::shared_ptr<appkit::NSColor>& color);

} // namespace foundation
