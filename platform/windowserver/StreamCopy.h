// The copy of composed pixels into a stream's surface: what is stale of the surface, scaled
// (nearest) when the output size differs from the display's. It lies between a composition and
// the stream's client, so a large copy (a display-sized change) is split into bands of rows
// copied side by side on the compose threads; a small one stays on the calling thread.
#pragma once

#include "platform/windowserver/ComposePool.h"

#include <pixman.h>

#include <cstdint>

namespace windowserver {

struct PixelPlane {
    uint8_t* bytes = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t bytesPerRow = 0;
};

// Regions whose extent covers at least this many output pixels are copied in bands.
inline constexpr int64_t kBandedCopyPixels = 256 * 1024;

// Copies region (output pixels) of source into target, in bands on pool when the region is large.
// A display's pixels carry no alpha (the copy makes them opaque); a surface's keep theirs.
void copyStaleRegion(ComposePool& pool, const PixelPlane& source, const PixelPlane& target,
                     pixman_region32_t* region, pixman_format_code_t sourceFormat = PIXMAN_x8r8g8b8);

} // namespace windowserver
