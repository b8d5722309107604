// Pictures of windows: a window's pixels as its owner last flushed them, from the window server,
// on screen or not (no frames or shadows are drawn, so ignoring framing changes nothing).
#pragma once

#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/CGWindow.h"

#include <vector>

namespace cg {

using CGWindowImageOption = uint32_t;
inline constexpr CGWindowImageOption kCGWindowImageDefault = 0;
inline constexpr CGWindowImageOption kCGWindowImageBoundsIgnoreFraming = 1 << 0;
inline constexpr CGWindowImageOption kCGWindowImageShouldBeOpaque = 1 << 1;
inline constexpr CGWindowImageOption kCGWindowImageOnlyShadows = 1 << 2;
inline constexpr CGWindowImageOption kCGWindowImageBestResolution = 1 << 3;
inline constexpr CGWindowImageOption kCGWindowImageNominalResolution = 1 << 4;

// One window (kCGWindowListOptionIncludingWindow): CGRectNull is its bounds, another rectangle
// (CG global) the part of the window inside it. BGRA premultiplied (alpha first, 32-bit
// little-endian), padded rows; NominalResolution gives one pixel per point. Null for an unknown
// window, one never drawn or of zero size, an empty part, or another list option.
CGImageRef CGWindowListCreateImage(CGRect screenBounds, CGWindowListOption listOption, CGWindowID window,
                                   CGWindowImageOption imageOption);
// The same for an array of exactly one window.
CGImageRef CGWindowListCreateImageFromArray(CGRect screenBounds, const std::vector<CGWindowID>& windows,
                                            CGWindowImageOption imageOption);

} // namespace cg
