// UCKeyTranslate over Unicode keyboard-layout data ('uchr'). Every offset and count in the
// data is checked before it is followed: malformed data answers paramErr and no output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tis {

using OSStatus = int32_t;
using UniChar = char16_t;
using UniCharCount = size_t;

enum : uint16_t {
    kUCKeyActionDown = 0,
    kUCKeyActionUp = 1,
    kUCKeyActionAutoKey = 2,
    kUCKeyActionDisplay = 3
};
enum : uint32_t { kUCKeyTranslateNoDeadKeysBit = 0, kUCKeyTranslateNoDeadKeysMask = 1 };

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus paramErr = -50;
inline constexpr OSStatus kUCOutputBufferTooSmall = -25340;

// modifierKeyState is the event record's modifiers shifted right by 8 (layout bits Command 1,
// Shift 2, Caps 4, Option 8, Control 16); a state beyond the map's count uses the default table.
OSStatus UCKeyTranslate(const uint8_t* keyLayout, size_t layoutSize, uint16_t virtualKeyCode,
                        uint16_t keyAction, uint32_t modifierKeyState, uint32_t keyboardType,
                        uint32_t keyTranslateOptions, uint32_t* deadKeyState, UniCharCount maxStringLength,
                        UniCharCount* actualStringLength, UniChar* unicodeString);

} // namespace tis
