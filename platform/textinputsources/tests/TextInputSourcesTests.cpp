#include "platform/foundation/CFStringUnicode.h"
#include "platform/textinputsources/KeyLayouts.h"
#include "platform/textinputsources/TextInputSources.h"
#include "platform/textinputsources/UchrBuilder.h"
#include "platform/textinputsources/UnicodeUtilities.h"
#include "platform/windowserver/InProcessEvents.h"

#include <gtest/gtest.h>

using namespace tis;

namespace {

constexpr uint32_t kShift = 0x02, kCaps = 0x04, kOption = 0x08, kControl = 0x10, kCommand = 0x01;

struct Typed {
    OSStatus status;
    std::u16string text;
};

Typed translate(const std::vector<uint8_t>& layout, uint16_t key, uint32_t modifiers, uint32_t& dead,
                uint16_t action = kUCKeyActionDown, size_t max = 8, uint32_t options = 0,
                uint32_t kbdType = 40) {
    char16_t buf[16] = {};
    size_t n = 99;
    OSStatus s = UCKeyTranslate(layout.data(), layout.size(), key, action, modifiers, kbdType, options, &dead,
                                max, &n, buf);
    return {s, std::u16string(buf, n)};
}

std::u16string type(const std::vector<uint8_t>& layout, uint16_t key, uint32_t modifiers = 0) {
    uint32_t dead = 0;
    return translate(layout, key, modifiers, dead).text;
}

const std::vector<uint8_t>& us() {
    return builtInKeyboardLayout(kUSKeyboardLayoutID)->uchr;
}

} // namespace

TEST(TextInputSourcesTest, USLayersFollowTheModifierMap) {
    EXPECT_EQ(type(us(), 0), u"a");
    EXPECT_EQ(type(us(), 0, kShift), u"A");
    EXPECT_EQ(type(us(), 0, kCaps), u"A");
    EXPECT_EQ(type(us(), 18, kCaps), u"1"); // Caps changes letters only
    EXPECT_EQ(type(us(), 18, kShift), u"!");
    EXPECT_EQ(type(us(), 0, kOption), u"å");
    EXPECT_EQ(type(us(), 1, kOption), u"ß");
    EXPECT_EQ(type(us(), 8, kOption), u"ç");
    EXPECT_EQ(type(us(), 31, kOption), u"ø");
    EXPECT_EQ(type(us(), 0, kOption | kCaps), u"Å"); // Option with Caps: Shift+Option
    EXPECT_EQ(type(us(), 0, kControl | kOption), u"\x01");
    EXPECT_EQ(type(us(), 0, kCommand), u"a"); // Command selects nothing
    EXPECT_EQ(type(us(), 36), u"\r");
    EXPECT_EQ(type(us(), 126), u"\x1e");
    EXPECT_EQ(type(us(), 92), u"9");
    EXPECT_EQ(type(us(), 56), u""); // a modifier key types nothing
    // The product's 512 unshifted: past the map's 32 states, the default table.
    EXPECT_EQ(type(us(), 0, 512), u"a");
}

TEST(TextInputSourcesTest, DeadKeysComposeTerminateAndDisplay) {
    uint32_t dead = 0;
    EXPECT_EQ(translate(us(), 14, kOption, dead).text, u"");
    EXPECT_NE(dead, 0u);
    EXPECT_EQ(translate(us(), 14, 0, dead).text, u"é");
    EXPECT_EQ(dead, 0u);
    // Dead key then a key it does not combine with: the terminator, then the key.
    translate(us(), 45, kOption, dead);
    EXPECT_EQ(translate(us(), 7, 0, dead).text, u"˜x");
    translate(us(), 32, kOption, dead);
    EXPECT_EQ(translate(us(), 49, 0, dead).text, u"¨"); // then Space: the spacing accent
    translate(us(), 34, kOption, dead);
    EXPECT_EQ(translate(us(), 2, 0, dead).text, u"ˆd");
    // Display and no-dead-keys give the state-zero output and leave the state alone.
    dead = 0;
    EXPECT_EQ(translate(us(), 14, kOption, dead, kUCKeyActionDisplay).text, u"");
    EXPECT_EQ(dead, 0u);
    EXPECT_EQ(translate(us(), 14, 0, dead, kUCKeyActionDown, 8, kUCKeyTranslateNoDeadKeysMask).text, u"e");
    // Key up outputs nothing.
    EXPECT_EQ(translate(us(), 0, 0, dead, kUCKeyActionUp).text, u"");
}

TEST(TextInputSourcesTest, ShortBuffersAndBadArgumentsAreReported) {
    uint32_t dead = 0;
    translate(us(), 45, kOption, dead);
    Typed t = translate(us(), 7, 0, dead, kUCKeyActionDown, 1);
    EXPECT_EQ(t.status, kUCOutputBufferTooSmall);
    EXPECT_EQ(t.text, u"˜");
    dead = 0;
    EXPECT_EQ(translate(us(), 200, 0, dead).status, paramErr); // past the table
    size_t n = 0;
    char16_t buf[4];
    EXPECT_EQ(UCKeyTranslate(us().data(), us().size(), 0, 0, 0, 40, 0, nullptr, 4, &n, buf), paramErr);
}

TEST(TextInputSourcesTest, MalformedLayoutsAnswerParamErrNeverReadOutside) {
    UchrDescription d;
    d.layers[kLayerNone] = {{u"a"}, {u"ab"}};
    UchrParts parts;
    auto good = buildUchr(d, &parts);
    EXPECT_EQ(type(good, 1), u"ab"); // a two-unit output goes through the sequence index
    for (size_t cut = 0; cut < good.size(); cut += 3) {
        std::vector<uint8_t> shorter(good.begin(), good.begin() + static_cast<long>(cut));
        uint32_t dead = 0;
        EXPECT_EQ(translate(shorter, 1, 0, dead).status, paramErr) << cut;
    }
    auto broken = good;
    broken[parts.charTableIndex + 8] = 0xF0; // the first table's offset points far away
    broken[parts.charTableIndex + 11] = 0x7F;
    uint32_t dead = 0;
    EXPECT_EQ(translate(broken, 0, 0, dead).status, paramErr);
    auto noTypes = good;
    noTypes[8] = 0;
    EXPECT_EQ(translate(noTypes, 0, 0, dead).status, paramErr);
    EXPECT_EQ(translate({}, 0, 0, dead).status, paramErr);
}

TEST(TextInputSourcesTest, TheHeaderCoveringTheKeyboardTypeIsChosenElseTheFirst) {
    UchrDescription a;
    a.keyboardTypes = {{0, 10}, {204, 206}};
    a.layers[kLayerNone] = {{u"x"}};
    auto layout = buildUchr(a);
    uint32_t dead = 0;
    EXPECT_EQ(translate(layout, 0, 0, dead, 0, 8, 0, 205).text, u"x");
    EXPECT_EQ(translate(layout, 0, 0, dead, 0, 8, 0, 100).text, u"x");
}

TEST(TextInputSourcesTest, FrenchAndGermanCarryTheirDeadKeys) {
    auto fr = builtInKeyboardLayout("com.apple.keylayout.French");
    auto de = builtInKeyboardLayout("com.apple.keylayout.German");
    ASSERT_TRUE(fr && de);
    EXPECT_EQ(fr->localizedName, "French");
    EXPECT_EQ(type(fr->uchr, 12), u"a");
    EXPECT_EQ(type(fr->uchr, 13), u"z");
    uint32_t dead = 0;
    translate(fr->uchr, 33, 0, dead); // ^
    EXPECT_EQ(translate(fr->uchr, 14, 0, dead).text, u"ê");
    translate(fr->uchr, 33, kShift, dead); // ¨
    EXPECT_EQ(translate(fr->uchr, 14, 0, dead).text, u"ë");
    translate(de->uchr, 24, 0, dead); // ´
    EXPECT_EQ(translate(de->uchr, 14, 0, dead).text, u"é");
    translate(de->uchr, 24, kShift, dead); // `
    EXPECT_EQ(translate(de->uchr, 14, 0, dead).text, u"è");
    translate(de->uchr, 50, 0, dead); // ^
    EXPECT_EQ(translate(de->uchr, 32, 0, dead).text, u"û");
    EXPECT_EQ(builtInKeyboardLayout("com.apple.keylayout.Klingon"), nullptr);
}

TEST(TextInputSourcesTest, MalformedDescriptionsAreRefused) {
    std::string why;
    EXPECT_FALSE(parseLayoutDescription(cf::Value("text"), &why));
    cf::Dictionary base{{"InputSourceID", "x"}, {"LocalizedName", "X"}};
    auto with = [&](cf::Dictionary keys, cf::Dictionary dead = {}) {
        cf::Dictionary d = base;
        d.insert_or_assign("Keys", cf::Value(std::move(keys)));
        if (!dead.empty()) d.insert_or_assign("DeadKeys", cf::Value(std::move(dead)));
        return parseLayoutDescription(cf::Value(d), &why);
    };
    EXPECT_TRUE(with({{"0", cf::Dictionary{{"none", "a"}}}}));
    EXPECT_FALSE(with({{"128", cf::Dictionary{{"none", "a"}}}}));
    EXPECT_FALSE(with({{"-1", cf::Dictionary{{"none", "a"}}}}));
    EXPECT_FALSE(with({{"0", cf::Dictionary{{"hyper", "a"}}}}));
    EXPECT_FALSE(with({{"0", cf::Dictionary{{"none", 1.5}}}}));
    EXPECT_FALSE(with({{"0", cf::Dictionary{{"none", std::string(40, 'a')}}}}));
    EXPECT_FALSE(with({{"0", cf::Dictionary{{"option", cf::Dictionary{{"dead", "nope"}}}}}}));
    EXPECT_FALSE(
        with({{"0", cf::Dictionary{{"none", "a"}}}}, {{"acute", cf::Dictionary{{"Terminator", "´"}}}}));
}

TEST(TextInputSourcesTest, CurrentSourceIsWindowServerState) {
    auto events = std::make_shared<windowserver::InProcessEvents>();
    events->install();
    auto current = TISCopyCurrentKeyboardInputSource();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->inputSourceID, kUSKeyboardLayoutID);
    EXPECT_EQ(TISGetInputSourceProperty(current, kTISPropertyLocalizedName)->asString()[0], "U.S.");
    EXPECT_TRUE(TISGetInputSourceProperty(current, kTISPropertyUnicodeKeyLayoutData)->isData());
    EXPECT_EQ(LMGetKbdType(), 40);
    LMSetKbdType(7);
    EXPECT_EQ(LMGetKbdType(), 7);

    EXPECT_EQ(TISSelectInputSource(TISInputSourceForID("com.example.inputmethod.Test")), 0);
    current = TISCopyCurrentKeyboardInputSource();
    EXPECT_EQ(current->type, kTISTypeKeyboardInputMode);
    EXPECT_FALSE(TISGetInputSourceProperty(current, kTISPropertyUnicodeKeyLayoutData));
    EXPECT_EQ(TISCopyCurrentKeyboardLayoutInputSource()->inputSourceID, kUSKeyboardLayoutID);
    EXPECT_EQ(TISSelectInputSource(nullptr), -50);
    events->uninstall();
}

TEST(TextInputSourcesTest, NormalisationAndComposedSequencesGoThroughICU) {
    std::u16string s = u"e\u0301x";
    cf::CFStringNormalize(s, cf::kCFStringNormalizationFormC);
    EXPECT_EQ(s, u"éx");
    std::u16string flags = u"a\U0001F1EB\U0001F1F7b"; // a, a flag of two regional indicators, b
    auto r = cf::CFStringGetRangeOfComposedCharactersAtIndex(flags, 2);
    EXPECT_EQ(r.location, 1);
    EXPECT_EQ(r.length, 4);
    EXPECT_EQ(cf::CFStringGetRangeOfComposedCharactersAtIndex(flags, 99).length, 0);
}
