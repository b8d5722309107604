// Debugging aids for the wire protocol's rectangle records: a process-wide switch that, once
// on, logs each rectangle and writes its payload to a file, and the text forms of the
// protocol's small records and encodings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace foundation {

// A rectangle record on the wire: x, y (i16), width, height (u16), encoding (u8) and payload
// length (u32), little-endian and packed.
constexpr size_t kScreenRectangleRecordLength = 13;

// Turns logging on for the rest of the process, into a new dated folder in the home folder.
void EnableLoggingScreenRectangleLogging();
uint8_t IsEnableLoggingScreenRectangleLogging();
// record points at kScreenRectangleRecordLength bytes, or is null. With logging on, logs the
// rectangle and, when a payload is given, writes it to a file of its own in the logging folder.
void NSLogScreenRectangle(const uint8_t* record, const void* payload, size_t payloadLength);

// The first 8 bytes of a rectangle record read as one little-endian 64-bit value.
std::string NSStringFromQNSimpleRect(uint64_t rect);
// x in the low 16 bits, y in the high 16 bits.
std::string NSStringFromQNSimplePoint(uint32_t point);
std::string NSStringFromEncoding(uint8_t encoding);
std::string NSStringExtensionFromEncoding(uint8_t encoding);

// The folder payloads go to; empty until logging is on.
std::string screenRectangleLoggingFolder();

namespace testing {
// Logging off and no folder, as at start: for tests that turn it on more than once a process.
void resetScreenRectangleLogging();
} // namespace testing

} // namespace foundation
