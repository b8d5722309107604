#include "input/QNBKeyboardLayoutMapper.h"

#include "platform/foundation/CFStringUnicode.h"

#include <algorithm>
#include <bit>

namespace input {

namespace {

constexpr uint16_t kPreferredModifiers[] = {0,    kLayoutShift, kLayoutOption, kLayoutControl, 0x0A,
                                            0x12, 0x18,         0x1A,          kLayoutCapsLock};
// The modifier keys by bit, lowest first: Command, Shift, Caps Lock, Option, Control.
constexpr uint16_t kModifierKeys[] = {55, 56, 57, 58, 59};
constexpr uint16_t kModifierBits =
    kLayoutCommand | kLayoutShift | kLayoutCapsLock | kLayoutOption | kLayoutControl;
constexpr uint16_t kReturnKey = 36;

bool isStateRecordValue(uint16_t v) {
    return (v & 0xC000) == 0x4000;
}

} // namespace

std::shared_ptr<QNBKeyboardLayoutMapper>
QNBKeyboardLayoutMapper::initWithLayoutRef(const std::optional<cf::Value>& layoutData, uint8_t keyboardType) {
    const cf::Bytes* bytes = layoutData ? layoutData->asData() : nullptr;
    if (!bytes) return nullptr;
    auto layout = UchrLayoutData::parse(bytes->data(), bytes->size());
    if (!layout) return nullptr;
    uint32_t t = keyboardType;
    if (t >= 31 && t <= 193) t = 204 + (t - 1) % 3;
    const UchrKeyboardTypeHeader* chosen = &layout->headers.front();
    for (const auto& h : layout->headers) {
        if (h.firstType <= t && t <= h.lastType) {
            chosen = &h;
            break;
        }
    }
    return std::shared_ptr<QNBKeyboardLayoutMapper>(new QNBKeyboardLayoutMapper(*layoutData, *chosen));
}

QNBKeyboardLayoutMapper::QNBKeyboardLayoutMapper(cf::Value data, UchrKeyboardTypeHeader header)
    : mInputSourceRef(std::move(data)), mKeyboardLayout(std::move(header)) {
    for (auto& cache : mKeyCache)
        cache.reserve(kCacheCapacity);
    cacheModifiersAndVirtualKeys({QNBModifiersAndKey{0, kReturnKey}}, u"\n", kKeypadAny);
}

bool QNBKeyboardLayoutMapper::isKeypadKey(uint16_t k) {
    switch (k) {
    case 65:
    case 67:
    case 69:
    case 71:
    case 75:
    case 76:
    case 78:
    case 81:
    case 91:
    case 92:
        return true;
    default:
        return k >= 82 && k <= 89;
    }
}

bool QNBKeyboardLayoutMapper::looksLikeAnIndex(char16_t c) const {
    if ((c & 0xC000) == 0x4000) return true;
    return (c & 0xC000) == 0x8000 && mKeyboardLayout.hasSequences &&
           (c & 0x3FFF) < mKeyboardLayout.sequences.size();
}

// Lists.

std::vector<QNBKeyEvent> QNBKeyboardLayoutMapper::keycodesFromString(std::u16string_view string) {
    clearVirtualKeysToType();
    mText.assign(string);
    typeText(kKeypadAny);
    return mVirtualKeysToType;
}

std::vector<QNBKeyEvent> QNBKeyboardLayoutMapper::keycodesFromString(std::string_view string) {
    clearVirtualKeysToType();
    cf::utf16FromUTF8(string, mText);
    typeText(kKeypadAny);
    return mVirtualKeysToType;
}

void QNBKeyboardLayoutMapper::clearVirtualKeysToType() {
    mVirtualKeysToType.clear();
    mLastImplicitModifiersMask = 0;
}

bool QNBKeyboardLayoutMapper::appendVirtualKeysToTypeString(std::u16string_view string, int useKeypad) {
    mText.assign(string);
    typeText(useKeypad);
    return true;
}

// Types mText straight from the cache's records; text that cannot be typed adds nothing.
void QNBKeyboardLayoutMapper::typeText(int useKeypad) {
    const size_t start = mVirtualKeysToType.size();
    const uint16_t startModifiers = mLastImplicitModifiersMask;
    bool typed = forEachRecordOfText(mText, useKeypad, [this](std::span<const QNBModifiersAndKey> records) {
        for (const QNBModifiersAndKey& r : records) {
            if (r.modifiers != mLastImplicitModifiersMask) appendVirtualKeysToAdjustModifiers(r.modifiers);
            appendPressReleaseVirtualkey(r.virtualKey, true);
            appendPressReleaseVirtualkey(r.virtualKey, false);
        }
    });
    if (!typed) {
        mVirtualKeysToType.resize(start);
        mLastImplicitModifiersMask = startModifiers;
        return;
    }
    appendVirtualKeysToAdjustModifiers(0);
}

void QNBKeyboardLayoutMapper::appendVirtualKeysToAdjustModifiers(uint16_t mask) {
    // Most characters keep the previous one's modifiers: nothing to press or release.
    if (mask == mLastImplicitModifiersMask) return;
    uint16_t changed = mLastImplicitModifiersMask ^ mask;
    auto release = static_cast<uint16_t>(changed & ~mask & ~mPersistentModifiersMask & 0xFF);
    auto press = static_cast<uint16_t>(changed & mask & ~mPersistentModifiersMask & 0xFF);
    if (release) appendVirtualKeysToPressReleaseModifiers(release, false);
    if (press) appendVirtualKeysToPressReleaseModifiers(press, true);
    mLastImplicitModifiersMask = mask;
}

void QNBKeyboardLayoutMapper::appendVirtualKeysToPressReleaseModifiers(uint16_t mask, bool press) {
    for (unsigned rest = mask & kModifierBits; rest; rest &= rest - 1)
        appendPressReleaseVirtualkey(kModifierKeys[std::countr_zero(rest)], press);
}

void QNBKeyboardLayoutMapper::appendVirtualKeysToPressReleasePersistentModifiers(uint16_t mask, bool press) {
    appendVirtualKeysToPressReleaseModifiers(mask, press);
    if (press)
        mPersistentModifiersMask |= mask;
    else
        mPersistentModifiersMask &= static_cast<uint16_t>(~mask);
}

// Records.

template <class Sink>
bool QNBKeyboardLayoutMapper::forEachRecordOfText(std::u16string& s, int& useKeypad, Sink&& sink) {
    cf::CFStringNormalize(s, cf::kCFStringNormalizationFormC);
    if (s.empty()) return false;
    auto typeSequence = [&](std::u16string_view sequence) {
        if (const DirectEntry* entry =
                sequence.size() == 1 ? directlyCached(sequence[0], useKeypad) : nullptr) {
            sink(std::span<const QNBModifiersAndKey>(entry->records.data(), entry->count));
            return true;
        }
        if (const auto* cached = cachedModifiersAndVirtualKeysForComposedSequence(sequence, useKeypad)) {
            sink(std::span<const QNBModifiersAndKey>(*cached));
            return true;
        }
        auto records = modifiersAndVirtualKeysForComposedSequence(sequence, useKeypad);
        if (!records && useKeypad != kKeypadAny) {
            useKeypad = kKeypadAny;
            records = modifiersAndVirtualKeysForComposedSequence(sequence, useKeypad);
        }
        if (!records) return false;
        sink(std::span<const QNBModifiersAndKey>(*records));
        cacheModifiersAndVirtualKeys(std::move(*records), sequence, useKeypad);
        return true;
    };
    if (cf::CFStringComposedCharactersAreCodePoints(s)) {
        // Most text: each unit, or surrogate pair, is a sequence of its own.
        for (size_t i = 0; i < s.size();) {
            size_t units =
                (s[i] & 0xFC00) == 0xD800 && i + 1 < s.size() && (s[i + 1] & 0xFC00) == 0xDC00 ? 2 : 1;
            if (!typeSequence(std::u16string_view(s.data() + i, units))) return false;
            i += units;
        }
        return true;
    }
    cf::CFStringGetComposedCharacterRanges(s, mRanges);
    for (const cf::CFRange& range : mRanges) {
        if (range.length <= 0) return false;
        if (!typeSequence(std::u16string_view(s.data() + range.location, static_cast<size_t>(range.length))))
            return false;
    }
    return true;
}

std::optional<std::vector<QNBModifiersAndKey>>
QNBKeyboardLayoutMapper::modifiersAndVirtualKeysForString(std::u16string_view string, int& useKeypad) {
    std::u16string s(string);
    std::vector<QNBModifiersAndKey> out;
    out.reserve(s.size());
    if (!forEachRecordOfText(s, useKeypad, [&out](std::span<const QNBModifiersAndKey> records) {
            out.insert(out.end(), records.begin(), records.end());
        }))
        return std::nullopt;
    return out;
}

const std::vector<QNBModifiersAndKey>*
QNBKeyboardLayoutMapper::cachedModifiersAndVirtualKeysForComposedSequence(std::u16string_view s,
                                                                          int useKeypad) const {
    const SequenceCache& cache = mKeyCache[cacheOf(useKeypad)];
    auto it = cache.find(s);
    return it == cache.end() ? nullptr : &it->second;
}

void QNBKeyboardLayoutMapper::cacheModifiersAndVirtualKeys(std::vector<QNBModifiersAndKey> records,
                                                           std::u16string_view s, int useKeypad) {
    size_t mode = cacheOf(useKeypad);
    auto [entry, added] = mKeyCache[mode].insert_or_assign(std::u16string(s), std::move(records));
    if (s.size() != 1) return;
    auto& page = mDirectCache[mode][s[0] >> 8];
    if (!page) page = std::make_unique<DirectPage>();
    DirectEntry& direct = (*page)[s[0] & 0xFF];
    const std::vector<QNBModifiersAndKey>& cached = entry->second;
    // Longer or empty lists (not made by typing) stay in the map alone.
    direct.count = cached.size() <= direct.records.size() ? static_cast<uint8_t>(cached.size()) : 0;
    std::copy_n(cached.begin(), direct.count, direct.records.begin());
}

std::optional<std::vector<QNBModifiersAndKey>>
QNBKeyboardLayoutMapper::modifiersAndVirtualKeysForComposedSequence(std::u16string_view s, int useKeypad) {
    if (s.empty()) return std::nullopt;
    uint16_t v;
    if (s.size() == 1 && !looksLikeAnIndex(s[0])) {
        v = s[0];
    } else {
        uint32_t index;
        if (!getKeySequenceIndex(index, s)) return std::nullopt;
        v = static_cast<uint16_t>(0x8000 | index);
    }
    QNBModifiersAndKey direct;
    if (getModifiersAndVirtualKeyForUCKeyCharSeq(direct, v, useKeypad)) return std::vector{direct};

    uint32_t record, state, deadRecord;
    QNBModifiersAndKey finalKey, deadKey;
    if (!getNewState(record, state, v)) return std::nullopt;
    if (!getModifiersAndVirtualKeyForUCKeyOutput(finalKey, static_cast<uint16_t>(0x4000 | record), useKeypad))
        return std::nullopt;
    if (!getKeyStateIndex(deadRecord, state)) return std::nullopt;
    if (!getModifiersAndVirtualKeyForUCKeyOutput(deadKey, static_cast<uint16_t>(0x4000 | deadRecord),
                                                 useKeypad))
        return std::nullopt;
    return std::vector{deadKey, finalKey};
}

// Searches.

bool QNBKeyboardLayoutMapper::searchKey(QNBModifiersAndKey& out, uint16_t output, int useKeypad,
                                        bool throughStateRecords) const {
    const UchrKeyboardTypeHeader& h = mKeyboardLayout;
    std::vector<bool> searched(h.tables.size(), false);
    for (uint16_t modifiers : kPreferredModifiers) {
        uint32_t table =
            modifiers < h.tableForModifierState.size() ? h.tableForModifierState[modifiers] : h.defaultTable;
        if (table >= h.tables.size() || searched[table]) continue;
        searched[table] = true;
        const std::vector<uint16_t>& keys = h.tables[table];
        for (uint16_t key = 0; key < keys.size(); ++key) {
            uint16_t e = keys[key];
            bool match = e == output;
            if (!match && throughStateRecords && h.hasStateRecords && isStateRecordValue(e) &&
                (e & 0x3FFF) < h.stateRecords.size()) {
                const UchrStateRecord& r = h.stateRecords[e & 0x3FFF];
                match = r.stateZeroOutput == output && r.stateZeroNextState == 0;
            }
            if (!match) continue;
            if (useKeypad == kKeypadOnly && !isKeypadKey(key)) continue;
            if (useKeypad == kKeypadNever && isKeypadKey(key)) continue;
            out = QNBModifiersAndKey{modifiers, key};
            return true;
        }
    }
    return false;
}

bool QNBKeyboardLayoutMapper::getModifiersAndVirtualKeyForUCKeyCharSeq(QNBModifiersAndKey& out,
                                                                       uint16_t output, int useKeypad) const {
    return searchKey(out, output, useKeypad, true);
}

bool QNBKeyboardLayoutMapper::getModifiersAndVirtualKeyForUCKeyOutput(QNBModifiersAndKey& out,
                                                                      uint16_t output, int useKeypad) const {
    return searchKey(out, output, useKeypad, false);
}

bool QNBKeyboardLayoutMapper::getNewState(uint32_t& recordIndex, uint32_t& state, uint16_t output) const {
    const auto& records = mKeyboardLayout.stateRecords;
    for (uint32_t r = 0; r < records.size(); ++r) {
        if (records[r].entryFormat != 1) continue;
        for (const auto& [current, entryOutput] : records[r].entries) {
            if (entryOutput == output) {
                recordIndex = r;
                state = current;
                return true;
            }
        }
    }
    return false;
}

bool QNBKeyboardLayoutMapper::getKeyStateIndex(uint32_t& recordIndex, uint32_t stateZeroNextState) const {
    const auto& records = mKeyboardLayout.stateRecords;
    for (uint32_t r = 0; r < records.size(); ++r) {
        if (records[r].stateZeroNextState == stateZeroNextState && records[r].stateZeroOutput >= 0xFFFE) {
            recordIndex = r;
            return true;
        }
    }
    return false;
}

bool QNBKeyboardLayoutMapper::getKeySequenceIndex(uint32_t& sequenceIndex,
                                                  std::u16string_view sequence) const {
    if (sequence.size() > kMaxSequenceUnits) return false;
    const auto& sequences = mKeyboardLayout.sequences;
    for (uint32_t i = 0; i < sequences.size(); ++i) {
        if (sequences[i] == sequence) {
            sequenceIndex = i;
            return true;
        }
    }
    return false;
}

} // namespace input
