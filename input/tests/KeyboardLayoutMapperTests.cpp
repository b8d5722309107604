#include "input/QNBKeyboardLayoutMapper.h"
#include "input/UchrLayoutData.h"
#include "platform/coregraphics/CGEvent.h"
#include "platform/foundation/CFStringUnicode.h"
#include "platform/textinputsources/KeyLayouts.h"
#include "platform/textinputsources/TextInputSources.h"
#include "platform/textinputsources/UchrBuilder.h"
#include "platform/windowserver/EventProtocol.h"
#include "platform/windowserver/InProcessEvents.h"

#include <gtest/gtest.h>

#include <random>

using namespace input;

namespace {

std::shared_ptr<QNBKeyboardLayoutMapper> mapperFor(const std::string& id, uint8_t type = 40) {
    auto layout = tis::builtInKeyboardLayout(id);
    return QNBKeyboardLayoutMapper::initWithLayoutRef(cf::Value(cf::Bytes(layout->uchr)), type);
}

std::shared_ptr<QNBKeyboardLayoutMapper> mapperFor(const tis::UchrDescription& d, uint8_t type = 40) {
    return QNBKeyboardLayoutMapper::initWithLayoutRef(cf::Value(cf::Bytes(tis::buildUchr(d))), type);
}

std::vector<QNBKeyEvent> keys(std::initializer_list<std::pair<uint16_t, int>> list) {
    std::vector<QNBKeyEvent> out;
    for (auto [k, p] : list)
        out.push_back({k, static_cast<int8_t>(p)});
    return out;
}

} // namespace

TEST(QNBKeyboardLayoutMapperTest, ReturnIsCachedAndCapitalsHoldShiftAcrossKeys) {
    auto m = mapperFor(tis::kUSKeyboardLayoutID);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->keycodesFromString("\n"), keys({{36, 1}, {36, 0}}));
    EXPECT_EQ(m->keycodesFromString("A"), keys({{56, 1}, {0, 1}, {0, 0}, {56, 0}}));
    EXPECT_EQ(m->keycodesFromString("AB"), keys({{56, 1}, {0, 1}, {0, 0}, {11, 1}, {11, 0}, {56, 0}}));
    EXPECT_EQ(m->keycodesFromString("aA"), keys({{0, 1}, {0, 0}, {56, 1}, {0, 1}, {0, 0}, {56, 0}}));
}

TEST(QNBKeyboardLayoutMapperTest, DeadKeysAndUntypeableCharacters) {
    auto m = mapperFor(tis::kUSKeyboardLayoutID);
    EXPECT_EQ(m->keycodesFromString("é"), keys({{58, 1}, {14, 1}, {14, 0}, {58, 0}, {14, 1}, {14, 0}}));
    // Decomposed input is composed first.
    EXPECT_EQ(m->keycodesFromString("e\u0301"), m->keycodesFromString("é"));
    EXPECT_TRUE(m->keycodesFromString("ab✓c").empty());
    EXPECT_TRUE(m->keycodesFromString("").empty());
}

TEST(QNBKeyboardLayoutMapperTest, OptionIsPreferredOverShiftOptionAndPersistentModifiersStayHeld) {
    tis::UchrDescription d;
    d.layers[tis::kLayerOption] = {{u"x"}, {u"Ω"}};
    d.layers[tis::kLayerShiftOption] = {{u"Ω"}};
    auto m = mapperFor(d);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->keycodesFromString("Ω"), keys({{58, 1}, {1, 1}, {1, 0}, {58, 0}}));
    m->clearVirtualKeysToType();
    m->appendVirtualKeysToPressReleasePersistentModifiers(kLayoutOption, true);
    m->appendVirtualKeysToTypeString(u"x", kKeypadAny);
    EXPECT_EQ(m->virtualKeysToType(), keys({{58, 1}, {0, 1}, {0, 0}}));
    EXPECT_EQ(m->persistentModifiers(), kLayoutOption);
}

TEST(QNBKeyboardLayoutMapperTest, KeypadOnlyLookupFallsBackForTheRestOfTheString) {
    auto m = mapperFor(tis::kUSKeyboardLayoutID);
    int mode = kKeypadOnly;
    auto records = m->modifiersAndVirtualKeysForString(u"5a5", mode);
    ASSERT_TRUE(records);
    EXPECT_EQ(mode, kKeypadAny);
    ASSERT_EQ(records->size(), 3u);
    EXPECT_EQ((*records)[0].virtualKey, 87); // the keypad 5
    EXPECT_EQ((*records)[1].virtualKey, 0);
    EXPECT_EQ((*records)[2].virtualKey, 23); // then the main row's 5
    mode = kKeypadNever;
    EXPECT_EQ((*m->modifiersAndVirtualKeysForString(u"5", mode))[0].virtualKey, 23);
}

// A layout whose keyboard-type headers each have tables of their own: header i types chars[i]
// on key 0. The builder shares one set of tables; each further header's char-table index is
// pointed at an appended copy built with its own character.
std::vector<uint8_t> layoutWithOwnHeaders(const std::vector<tis::UchrKeyboardType>& types,
                                          const std::u16string& chars) {
    tis::UchrDescription d;
    d.keyboardTypes = types;
    d.layers[tis::kLayerNone] = {{chars.substr(0, 1)}};
    auto bytes = tis::buildUchr(d);
    for (size_t h = 1; h < types.size(); ++h) {
        tis::UchrDescription other = d;
        other.layers[tis::kLayerNone] = {{chars.substr(h, 1)}};
        auto otherBytes = tis::buildUchr(other);
        const uint32_t header = 12 + 28 * static_cast<uint32_t>(h);
        const uint32_t tableIndex = bytes[header + 12] | bytes[header + 13] << 8;
        const uint32_t base = static_cast<uint32_t>(bytes.size());
        bytes.insert(bytes.end(), otherBytes.begin(), otherBytes.end());
        const uint32_t moved = base + tableIndex;
        for (int i = 0; i < 4; ++i)
            bytes[header + 12 + i] = static_cast<uint8_t>(moved >> (8 * i));
        // The copied index's table offsets are relative to the copy's start.
        const uint32_t count = bytes[moved + 4];
        for (uint32_t t = 0; t < count; ++t) {
            const uint32_t at = moved + 8 + 4 * t;
            uint32_t offset =
                bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24;
            offset += base;
            for (int i = 0; i < 4; ++i)
                bytes[at + i] = static_cast<uint8_t>(offset >> (8 * i));
        }
    }
    return bytes;
}

// Types 31 to 193 fold onto 204, 205 and 206 by (type - 1) mod 3: 40 is 204, 41 is 205, 42 is
// 206; each of the three has a header of its own here, so a fold one off is seen.
TEST(QNBKeyboardLayoutMapperTest, KeyboardType40PicksThe204Header) {
    const auto bytes = layoutWithOwnHeaders({{0, 203}, {204, 204}, {205, 205}, {206, 206}}, u"wxyz");
    const std::pair<uint8_t, const char*> expected[] = {{40, "x"}, {41, "y"}, {42, "z"}, {2, "w"}};
    for (const auto& [type, typed] : expected) {
        SCOPED_TRACE(int(type));
        auto mapper = QNBKeyboardLayoutMapper::initWithLayoutRef(cf::Value(bytes), type);
        ASSERT_TRUE(mapper);
        EXPECT_EQ(mapper->keycodesFromString(typed), keys({{0, 1}, {0, 0}}));
        for (const char* other : {"w", "x", "y", "z"}) {
            if (std::string(other) == typed) continue;
            EXPECT_TRUE(mapper->keycodesFromString(other).empty()) << other;
        }
    }
}

TEST(QNBKeyboardLayoutMapperTest, SequencesAndTheirLengthLimit) {
    tis::UchrDescription d;
    std::u16string longest(16, u'q'), tooLong(17, u'q');
    d.layers[tis::kLayerNone] = {{u"ffi"}, {longest}};
    d.extraSequences = {tooLong};
    auto m = mapperFor(d);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->keycodesFromString("ffi").size(), 0u); // three composed characters, not one sequence
    int mode = 0;
    EXPECT_TRUE(m->modifiersAndVirtualKeysForComposedSequence(u"ffi", mode));
    EXPECT_TRUE(m->modifiersAndVirtualKeysForComposedSequence(longest, mode));
    uint32_t index = 0;
    EXPECT_FALSE(m->getKeySequenceIndex(index, tooLong));
}

TEST(QNBKeyboardLayoutMapperTest, MissingOrMalformedDataGivesNoMapperAndNoReadOutside) {
    EXPECT_FALSE(QNBKeyboardLayoutMapper::initWithLayoutRef(std::nullopt, 40));
    EXPECT_FALSE(QNBKeyboardLayoutMapper::initWithLayoutRef(cf::Value("text"), 40));
    auto good = tis::builtInKeyboardLayout(tis::kUSKeyboardLayoutID)->uchr;
    for (size_t cut = 0; cut < good.size(); cut += 97)
        EXPECT_FALSE(QNBKeyboardLayoutMapper::initWithLayoutRef(
            cf::Value(cf::Bytes(good.begin(), good.begin() + static_cast<long>(cut))), 40));
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        cf::Bytes bytes = good;
        for (int flips = 0; flips < 8; ++flips)
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        if (auto m = QNBKeyboardLayoutMapper::initWithLayoutRef(cf::Value(bytes), 40))
            m->keycodesFromString("Hé\n~`ñ");
    }
}

// Tables may all point at the same bytes: 256 headers of 256 full tables over one 128 KiB blob
// would copy 8 GiB. The parse stops at its budget; every real layout stays far below it.
TEST(QNBKeyboardLayoutMapperTest, TablesSharingTheirBytesCannotMultiplyACopy) {
    constexpr uint32_t kHeaders = 256, kTables = 256, kKeys = 65535;
    const uint32_t modifierMap = 12 + 28 * kHeaders, tables = modifierMap + 8;
    cf::Bytes blob(std::max<size_t>(tables + 8 + 4 * kTables, 2 * kKeys), 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            blob[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(8, kHeaders);
    for (uint32_t i = 0; i < kHeaders; ++i) {
        put32(12 + 28 * i + 4, 255); // types 0 to 255
        put32(12 + 28 * i + 8, modifierMap);
        put32(12 + 28 * i + 12, tables);
    }
    put32(tables, uint32_t(kKeys) << 16); // format 0, 65535 keys a table
    put32(tables + 4, kTables);           // every table at offset 0
    EXPECT_FALSE(UchrLayoutData::parse(blob.data(), blob.size()));
    const auto good = tis::builtInKeyboardLayout(tis::kUSKeyboardLayoutID)->uchr;
    EXPECT_TRUE(UchrLayoutData::parse(good.data(), good.size()));
}

// Every layout types printable ASCII and its dead-key letters: the keys, posted into the text
// sink, give the text back.
TEST(QNBKeyboardLayoutMapperTest, EachLayoutTypesASCIIAndDeadKeyLettersIntoTheTextSink) {
    auto events = std::make_shared<windowserver::InProcessEvents>();
    events->install();
    for (const std::string& id : tis::builtInKeyboardLayoutIDs()) {
        ASSERT_EQ(tis::TISSelectInputSource(tis::TISInputSourceForID(id)), 0);
        std::string text;
        for (char c = 0x20; c < 0x7F; ++c)
            text += c;
        std::u16string dead = u"áéíóúàèìòùâêîôûäëïöüñÁÉÍÓÚÀÈÌÒÙÂÊÎÔÛÄËÏÖÜÑ";
        auto m = mapperFor(id);
        ASSERT_TRUE(m) << id;
        std::string typed;
        for (char16_t c : dead) {
            std::string one = cf::utf8FromUTF16(std::u16string(1, c));
            if (!m->keycodesFromString(one).empty()) typed += one;
        }
        std::string all = text + typed;
        auto list = m->keycodesFromString(all);
        ASSERT_FALSE(list.empty()) << id;
        events->request(windowserver::eventop::textSink, cf::Dictionary{{"action", "clear"}});
        for (const QNBKeyEvent& k : list)
            cg::CGPostKeyboardEvent(0, k.virtualKey, k.press != 0);
        EXPECT_EQ(events->sinkText(), all) << id;
        EXPECT_GE(typed.size(), 20u) << id << " types few dead-key letters: " << typed;
    }
    events->uninstall();
}

// The cache and the shortcuts of warm typing change no answer: each string typed by a mapper that
// has typed all of them before gives what a fresh mapper gives it.
TEST(QNBKeyboardLayoutMapperTest, WarmTypingMatchesAFreshMapper) {
    const std::string strings[] = {"Hello, World!\r\n",
                                   "e\u0301t\u00e9",
                                   "ab\u0301c",
                                   "\u00e5\u00df\u2202\u2122\ufb01",
                                   "\r\n\n",
                                   "\U0001F1EB\U0001F1F7",
                                   "\u1100\u1161",
                                   "\U0001F44D\U0001F3FD",
                                   "A\u0308o\u0302",
                                   "caf\xC3",
                                   "~`^\u00a8"};
    for (const std::string& layout :
         {std::string(tis::kUSKeyboardLayoutID), std::string("com.apple.keylayout.French")}) {
        auto warm = mapperFor(layout);
        ASSERT_TRUE(warm);
        for (int round = 0; round < 2; ++round) {
            for (const std::string& s : strings)
                EXPECT_EQ(warm->keycodesFromString(s), mapperFor(layout)->keycodesFromString(s))
                    << layout << " " << s;
        }
    }
}

TEST(QNBKeyboardLayoutMapperTest, AnUntypeableStringAddsNothingAndKeepsTheModifierState) {
    auto m = mapperFor(tis::kUSKeyboardLayoutID);
    m->clearVirtualKeysToType();
    m->appendVirtualKeysToTypeString(u"aB", kKeypadAny);
    const auto typed = m->virtualKeysToType();
    m->appendVirtualKeysToTypeString(u"CD\u2713", kKeypadAny); // fails after Shift went down for C
    EXPECT_EQ(m->virtualKeysToType(), typed);
    m->appendVirtualKeysToTypeString(u"C", kKeypadAny);
    auto expected = typed;
    for (QNBKeyEvent e : keys({{56, 1}, {8, 1}, {8, 0}, {56, 0}}))
        expected.push_back(e);
    EXPECT_EQ(m->virtualKeysToType(), expected);
}
