// Unicode services of Core Foundation strings that the keyboard code needs: UTF-16 views of
// our UTF-8 strings, normalisation and composed character sequences (grapheme clusters),
// all through ICU.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cf {

enum CFStringNormalizationForm : int {
    kCFStringNormalizationFormD = 0,
    kCFStringNormalizationFormKD = 1,
    kCFStringNormalizationFormC = 2,
    kCFStringNormalizationFormKC = 3,
};

// Invalid UTF-8 sequences become U+FFFD; unpaired surrogates likewise on the way back.
std::u16string utf16FromUTF8(std::string_view utf8);
std::string utf8FromUTF16(std::u16string_view utf16);
// The same into a caller's buffer: typing converts every string it is given, and a buffer kept
// across calls spares an allocation each time.
void utf16FromUTF8(std::string_view utf8, std::u16string& out);

// UTF-16 units as little-endian bytes and back (a last odd byte is dropped): the form that
// carries half of a surrogate pair, which no UTF-8 string can, across the window server's
// socket. Whether a string holds such a half is what hasUnpairedSurrogate answers.
std::vector<uint8_t> utf16LEBytes(std::u16string_view utf16);
std::u16string utf16FromLEBytes(const std::vector<uint8_t>& bytes);
bool hasUnpairedSurrogate(std::u16string_view utf16);

// Normalises the string in place; an unknown form leaves it unchanged, and so does text that is
// already in the form (checked first: typed text nearly always is).
void CFStringNormalize(std::u16string& string, CFStringNormalizationForm form);
void CFStringNormalize(std::string& utf8, CFStringNormalizationForm form);

struct CFRange {
    int64_t location = 0;
    int64_t length = 0;
};

// The grapheme cluster holding the unit at index; {index, 0} past the end (or before it).
CFRange CFStringGetRangeOfComposedCharactersAtIndex(std::u16string_view string, int64_t index);

// The ranges CFStringGetRangeOfComposedCharactersAtIndex gives, walked from the start in one
// pass (typing walks whole strings; one iterator over the text keeps that linear).
std::vector<CFRange> CFStringGetComposedCharacterRanges(std::u16string_view string);
// The same into a caller's vector (replacing its contents), kept across calls.
void CFStringGetComposedCharacterRanges(std::u16string_view string, std::vector<CFRange>& ranges);

// Whether every code point (a surrogate pair, or any other single unit) is a composed character
// of its own, as in most typed text: callers can then walk the units without ranges.
bool CFStringComposedCharactersAreCodePoints(std::u16string_view string);

} // namespace cf
