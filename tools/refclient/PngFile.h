// PNG output of the picture (RGB, 8 bits) and of the cursor, each written atomically
// so a reader never sees half a file.
#pragma once

#include "tools/refclient/Bytes.h"

#include <optional>
#include <string>
#include <utility>

namespace refclient {

class Picture;

// Encodes the picture as an 8-bit RGB PNG.
std::optional<Bytes> encodePng(const Picture& picture, std::string& error);
// Writes bytes to a temporary file beside path, then renames it over path.
bool writeFileAtomically(const std::string& path, ByteView bytes, std::string& error);
// Width and height from a PNG's header; none when the bytes do not start like a PNG.
std::optional<std::pair<uint32_t, uint32_t>> pngSize(ByteView png);

} // namespace refclient
