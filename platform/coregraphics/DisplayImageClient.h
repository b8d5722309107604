// Display images from a window server in another process: the pixels come as a sealed memfd
// beside the reply on platformd's socket and are mapped read-only.
#pragma once

#include "platform/coregraphics/CGDisplayImage.h"

#include <memory>

namespace cg {

// Maps a sealed memfd of height rows of bytesPerRow bytes (B, G, R, X) read-only as an image.
// Null (logged) when the geometry is not an image's or the memory is shorter than it says, or
// the memory could still be written. The descriptor stays the caller's.
CGImageRef CGImageCreateWithSealedMemory(int fd, size_t width, size_t height, size_t bytesPerRow);

// The provider answering over platformd's socket; the process's default when the window
// server installed none of its own.
std::shared_ptr<DisplayPixelProvider> socketDisplayPixelProvider();

} // namespace cg
