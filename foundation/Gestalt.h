// The system-version questions of Gestalt, answered from the stand-in Mac's
// System/Library/CoreServices/SystemVersion.plist, so they agree with every other version
// source of the stand-in.
#pragma once

#include <cstdint>

namespace foundation {

using OSErr = int16_t;
using OSType = uint32_t;
using SInt32 = int32_t;

constexpr OSType fourCharCode(const char (&code)[5]) {
    return static_cast<OSType>(static_cast<uint8_t>(code[0])) << 24 |
           static_cast<OSType>(static_cast<uint8_t>(code[1])) << 16 |
           static_cast<OSType>(static_cast<uint8_t>(code[2])) << 8 | static_cast<OSType>(static_cast<uint8_t>(code[3]));
}

inline constexpr OSType gestaltSystemVersion = fourCharCode("sysv");      // BCD 0x10mb
inline constexpr OSType gestaltSystemVersionMajor = fourCharCode("sys1");
inline constexpr OSType gestaltSystemVersionMinor = fourCharCode("sys2");
inline constexpr OSType gestaltSystemVersionBugFix = fourCharCode("sys3");

inline constexpr OSErr noErr = 0;
inline constexpr OSErr paramErr = -50;
inline constexpr OSErr gestaltUnknownErr = -5550;        // the version cannot be read
inline constexpr OSErr gestaltUndefSelectorErr = -5551;  // a question not answered here

// 'sysv' caps minor and bug-fix at 9, as one BCD digit each can hold; 'sys1' to 'sys3' give the
// numbers themselves.
OSErr Gestalt(OSType selector, SInt32* response);

} // namespace foundation
