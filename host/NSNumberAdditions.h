// Numbers as binary text, for reading bit fields (modifier masks, flags) in logs.
#pragma once

#include "platform/corefoundation/Value.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace host {

// The bits of a value held in count bytes in memory order (little-endian), most significant
// first, as "0" and "1" with a blank between bytes: the one-byte 5 is "00000101", the two-byte
// 0x0102 "00000001 00000010". Nothing for more than 8 bytes.
std::optional<std::string> QNBBinaryStringForData(const void* bytes, size_t count);

// The number by its stored type: a boolean and 8-bit numbers as 1 byte, 16-bit as 2, 32-bit as
// 4, 64-bit as 8; a float as 4 and a double as 8 bytes of the value truncated to an integer.
// Nothing for a value that is no number.
std::optional<std::string> binaryRepresentation(const cf::Value& number);

} // namespace host
