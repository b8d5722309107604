// Turns a string into the key presses and releases that type it on a keyboard layout,
// modifier keys included: key tables searched under a fixed order of modifier combinations,
// one level of dead keys, the layout's sequences for multi-unit outputs, and a cache per
// composed character sequence. Not thread-safe: the key-code utilities serialise its use.
#pragma once

#include "input/UchrLayoutData.h"
#include "platform/corefoundation/Value.h"
#include "platform/foundation/CFStringUnicode.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace input {

// Layout modifier-state bits.
enum : uint16_t {
    kLayoutCommand = 0x01,
    kLayoutShift = 0x02,
    kLayoutCapsLock = 0x04,
    kLayoutOption = 0x08,
    kLayoutControl = 0x10,
};

struct QNBModifiersAndKey {
    uint16_t modifiers = 0;
    uint16_t virtualKey = 0;
    bool operator==(const QNBModifiersAndKey&) const = default;
};

struct QNBKeyEvent {
    uint16_t virtualKey = 0;
    int8_t press = 0; // 1 press, 0 release
    bool operator==(const QNBKeyEvent&) const = default;
};

// Keypad modes of a lookup.
enum QNBKeypadMode : int { kKeypadAny = 0, kKeypadOnly = 1, kKeypadNever = 2 };

class QNBKeyboardLayoutMapper {
  public:
    // Longer composed sequences cannot match a layout sequence (the comparison buffer's size).
    static constexpr size_t kMaxSequenceUnits = 16;
    static constexpr size_t kCacheCapacity = 256;

    // Null when there is no layout data or it is malformed: no mapper stands over missing data.
    static std::shared_ptr<QNBKeyboardLayoutMapper>
    initWithLayoutRef(const std::optional<cf::Value>& layoutData, uint8_t keyboardType);

    // The key events that type the string (keypad mode 0); empty when it cannot be typed.
    std::vector<QNBKeyEvent> keycodesFromString(std::u16string_view string);
    std::vector<QNBKeyEvent> keycodesFromString(std::string_view string);

    void clearVirtualKeysToType();
    bool appendVirtualKeysToTypeString(std::u16string_view string, int useKeypad);
    void appendVirtualKeysToAdjustModifiers(uint16_t mask);
    void appendVirtualKeysToPressReleaseModifiers(uint16_t mask, bool press);
    // Inline: typing calls it two to four times a character.
    void appendPressReleaseVirtualkey(uint16_t key, bool press) {
        mVirtualKeysToType.push_back(QNBKeyEvent{key, static_cast<int8_t>(press ? 1 : 0)});
    }
    void appendVirtualKeysToPressReleasePersistentModifiers(uint16_t mask, bool press);
    uint16_t persistentModifiers() const { return mPersistentModifiersMask; }
    const std::vector<QNBKeyEvent>& virtualKeysToType() const { return mVirtualKeysToType; }

    // The records of a string; useKeypad may fall back to 0 for the rest of it. Nullopt when
    // a sequence cannot be typed.
    std::optional<std::vector<QNBModifiersAndKey>>
    modifiersAndVirtualKeysForString(std::u16string_view string, int& useKeypad);
    std::optional<std::vector<QNBModifiersAndKey>>
    modifiersAndVirtualKeysForComposedSequence(std::u16string_view s, int useKeypad);
    const std::vector<QNBModifiersAndKey>*
    cachedModifiersAndVirtualKeysForComposedSequence(std::u16string_view s, int useKeypad) const;
    void cacheModifiersAndVirtualKeys(std::vector<QNBModifiersAndKey> records, std::u16string_view s,
                                      int useKeypad);

    bool getModifiersAndVirtualKeyForUCKeyCharSeq(QNBModifiersAndKey& out, uint16_t output,
                                                  int useKeypad) const;
    bool getModifiersAndVirtualKeyForUCKeyOutput(QNBModifiersAndKey& out, uint16_t output,
                                                 int useKeypad) const;
    bool getNewState(uint32_t& recordIndex, uint32_t& state, uint16_t output) const;
    bool getKeyStateIndex(uint32_t& recordIndex, uint32_t stateZeroNextState) const;
    bool getKeySequenceIndex(uint32_t& sequenceIndex, std::u16string_view sequence) const;
    bool looksLikeAnIndex(char16_t c) const;
    static bool isKeypadKey(uint16_t virtualKey);

  private:
    QNBKeyboardLayoutMapper(cf::Value data, UchrKeyboardTypeHeader header);
    bool searchKey(QNBModifiersAndKey& out, uint16_t output, int useKeypad, bool throughStateRecords) const;
    // Hands each composed sequence's records of text, normalised in place first, to
    // sink(std::span<const QNBModifiersAndKey>); false when a sequence cannot be typed (the sink
    // has then seen those before it) or there is nothing to type.
    template <class Sink> bool forEachRecordOfText(std::u16string& text, int& useKeypad, Sink&& sink);
    void typeText(int useKeypad);

    cf::Value mInputSourceRef;              // the layout data, kept for the mapper's life
    UchrKeyboardTypeHeader mKeyboardLayout; // the chosen keyboard type's tables, checked
    // Looked up by a view of the sequence, so a hit costs no copy of it.
    struct SequenceHash {
        using is_transparent = void;
        size_t operator()(std::u16string_view s) const { return std::hash<std::u16string_view>{}(s); }
    };
    using SequenceCache =
        std::unordered_map<std::u16string, std::vector<QNBModifiersAndKey>, SequenceHash, std::equal_to<>>;
    // One per keypad mode; entries are never removed.
    std::array<SequenceCache, 3> mKeyCache;
    // Single units' records (a key, or a dead key and a key) are copied into pages of 256 made
    // as entries arrive: typing is mostly such units, and a hit then costs neither hashing nor
    // following pointers into the map.
    struct DirectEntry {
        uint8_t count = 0; // 0: not cached
        std::array<QNBModifiersAndKey, 2> records{};
    };
    using DirectPage = std::array<DirectEntry, 256>;
    std::array<std::array<std::unique_ptr<DirectPage>, 256>, 3> mDirectCache{};
    static size_t cacheOf(int useKeypad) {
        return useKeypad >= kKeypadAny && useKeypad <= kKeypadNever ? static_cast<size_t>(useKeypad)
                                                                    : size_t{0};
    }
    // Inline: typing looks up every character.
    const DirectEntry* directlyCached(char16_t unit, int useKeypad) const {
        const auto& page = mDirectCache[cacheOf(useKeypad)][unit >> 8];
        const DirectEntry* entry = page ? &(*page)[unit & 0xFF] : nullptr;
        return entry && entry->count ? entry : nullptr;
    }
    // Kept across calls so warm typing allocates nothing but its result.
    std::u16string mText;
    std::vector<cf::CFRange> mRanges;
    std::vector<QNBKeyEvent> mVirtualKeysToType;
    uint16_t mLastImplicitModifiersMask = 0;
    uint16_t mPersistentModifiersMask = 0;
};

} // namespace input
