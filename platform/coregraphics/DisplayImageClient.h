// Display images from a window server in another process: the pixels come as a sealed memfd
// beside the reply on platformd's socket and are mapped read-only.
#pragma once

#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/windowserver/CompositionSequence.h"

#include <cstdint>
#include <memory>

namespace cg {

// A picture of a display copied from its framebuffer mapping (mapping: length bytes, the
// target's first row at the memfd's offset mappingOffset), checked against the display's
// composition entry: the copy counts only when no composition ran during it. The rows come with
// the padding of every display image. Null when the entry shows no whole composition, the entry's
// geometry does not lie inside the mapping, or compositions kept tearing the copy; stale (when
// given) says the display's target is no longer the one mapped.
CGImageRef CGImageCreateFromComposedPixels(const windowserver::CompositionEntry& entry, uint64_t generation,
                                           const uint8_t* mapping, uint64_t mappingOffset,
                                           size_t mappingLength, bool* stale = nullptr);

// Maps a sealed memfd of height rows of bytesPerRow bytes (B, G, R, X) read-only as an image.
// Null (logged) when the geometry is not an image's or the memory is shorter than it says, or
// the memory could still be written. The descriptor stays the caller's.
CGImageRef CGImageCreateWithSealedMemory(int fd, size_t width, size_t height, size_t bytesPerRow);

// The provider answering over platformd's socket; the process's default when the window
// server installed none of its own.
std::shared_ptr<DisplayPixelProvider> socketDisplayPixelProvider();

} // namespace cg
