// Keyboard functions over the current text input source: the key that types a character,
// what a key types, a character posted as a Unicode key event, and the texts of modifier
// glyphs and special keys.
#pragma once

#include "platform/textinputsources/TextInputSources.h"

#include <cstdint>
#include <optional>
#include <string>

namespace input {

using OSStatus = int32_t;
inline constexpr OSStatus kQNBNoKeyForCharacter = -8761;
inline constexpr OSStatus kQNBParamErr = -50;

// 0 with the key code; -50 without a place for it; -8761 when no key types the character,
// the source has no (or malformed) key-layout data or lists no keyboard types.
OSStatus QNBGetKeyCodeForCharacter(const tis::TISInputSourceRef& source, char16_t character,
                                   uint16_t* keyCode);
// The first UTF-16 unit the key types on the current keyboard input source (Shift-less
// modifier state 512 when flag is set), as a one-unit string; empty when the source has no
// layout data or the key types nothing (a dead key, a modifier).
std::u16string QNBCreateStringFromKeyCode(uint16_t keyCode, bool flag);
// That unit, 0 when there is none.
char16_t QNBKeyCodeToUniChar(uint16_t keyCode, bool flag);
// A key-down and a key-up of virtual key 0, each carrying the character, at the session tap.
void QNBPostUniCharWithoutModifiers(char16_t character);
// Menu modifier bits 0x01 Shift, 0x02 Option, 0x04 Control, 0x08 no Command: the glyphs in the
// order Shift, Control, Option, Command; none for 0x08 alone.
std::optional<std::string> QNBCopyModifierString(uint32_t menuModifiers);
// The special-key table's text for a glyph number. The table alone answers: the keyboard-glyph
// text encoding has no converter here.
std::optional<std::string> QNBCopyStringForGlyph(uint32_t glyph);
std::optional<std::string> QNBCopyStringForKeyCode(uint16_t keyCode);

} // namespace input
