// Digests and hexadecimal text of byte buffers: the MD5 of cursor and icon images and the
// texts they are keyed by.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

using Data = std::vector<uint8_t>;

// The 16-byte MD5 digest of the bytes.
Data dataWithMD5OfData(std::span<const uint8_t> data);

// One byte per pair of characters from the start, high digit first; a pair holding anything but
// hexadecimal digits (either case) gives 0; a trailing odd character is ignored. No text gives
// empty data.
Data dataWithHexString(std::optional<std::string_view> text);

// Two lower-case digits per byte, no separators.
std::string hexString(std::span<const uint8_t> data);

} // namespace foundation
