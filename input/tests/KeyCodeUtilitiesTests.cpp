#include "input/NSPasteboardSaveAndRestore.h"
#include "input/QNBEventTapManager.h"
#include "input/QNBKeyCodeFunctions.h"
#include "input/QNBKeyCodeUtilities.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/dispatch/Testing.h"
#include "platform/textinputsources/KeyLayouts.h"
#include "platform/windowserver/EventProtocol.h"
#include "platform/windowserver/InProcessEvents.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <unistd.h>

using namespace input;
using windowserver::eventKind::cgKeyboard;

namespace {

const bool kFakeClock = (platform::installFakeClock(), true);

class QNBKeyCodeUtilitiesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_events = std::make_shared<windowserver::InProcessEvents>();
        m_events->install();
        m_dir = "/tmp/kcu-" + std::to_string(::getpid());
        cf::createDirectories(m_dir, 0755);
        m_tappers = m_dir + "/IncompatibleEventTappers.plist";
        cf::writePropertyListFile(cf::Value(cf::Array{"com.example.tapper"}), m_tappers,
                                  cf::PropertyListFormat::XML);
        m_utilities = std::make_unique<QNBKeyCodeUtilities>(
            QNBKeyCodeUtilities::Collaborators{[this]() -> std::optional<std::string> { return m_tappers; },
                                               dispatch::dispatch_get_main_queue()});
    }
    void TearDown() override {
        dispatch::advanceAndRun(1.0); // no restore outlives its utilities
        m_utilities.reset();
        m_events->uninstall();
        std::system(("rm -rf " + m_dir).c_str());
    }

    // The posted keys as "55d 9d 9u 55u".
    std::string postedKeys() {
        std::string out;
        for (const auto& e : m_events->entries(cgKeyboard)) {
            if (!out.empty()) out += ' ';
            out += std::to_string(e.fields.at("key").integerValue()) +
                   (*e.fields.at("down").asBool() ? "d" : "u");
        }
        return out;
    }
    std::optional<std::string> pasteboardText() {
        return appkit::NSPasteboard::generalPasteboard()->stringForType(appkit::NSPasteboardTypeString);
    }
    void installTapper(bool enabled = true) {
        m_events->addProcess(4242, "COM.Example.Tapper.agent", "Tapper");
        ASSERT_TRUE(m_events->request(windowserver::eventop::tapAdd,
                                      cf::Dictionary{{"pid", 4242}, {"enabled", enabled}}));
    }

    std::shared_ptr<windowserver::InProcessEvents> m_events;
    std::unique_ptr<QNBKeyCodeUtilities> m_utilities;
    std::string m_dir;
    std::string m_tappers;
};

} // namespace

TEST_F(QNBKeyCodeUtilitiesTest, KeyListsForCharacters) {
    using L = std::vector<QNBKeyListEntry>;
    EXPECT_EQ(m_utilities->keyCodesForUniChar(u'a', true), (L{{56, 1}, {0, 1}, {0, 0}, {56, 0}}));
    EXPECT_EQ(m_utilities->keyCodesForUniChar(u'a', false), (L{{0, 1}, {0, 0}}));
    EXPECT_EQ(m_utilities->keyCodesForUniChar(u'A', false), (L{{56, 1}, {0, 1}, {0, 0}, {56, 0}}));
    EXPECT_FALSE(m_utilities->keyCodesForUniChar(u'✓', false));
    EXPECT_FALSE(m_utilities->keyCodesForUniChar(0, false));

    uint16_t key = 0;
    EXPECT_EQ(QNBGetKeyCodeForCharacter(nullptr, u'z', nullptr), kQNBParamErr);
    EXPECT_EQ(QNBGetKeyCodeForCharacter(tis::TISInputSourceForID("com.apple.keylayout.French"), u'z', &key),
              0);
    EXPECT_EQ(key, 13);
    // The input method has no layout data: no key, no text.
    auto method = tis::TISInputSourceForID("com.example.inputmethod.Test");
    EXPECT_EQ(QNBGetKeyCodeForCharacter(method, u'a', &key), kQNBNoKeyForCharacter);
    tis::TISSelectInputSource(method);
    EXPECT_EQ(QNBCreateStringFromKeyCode(0, true), u"");
    EXPECT_EQ(QNBKeyCodeToUniChar(0, true), 0);
    tis::TISSelectInputSource(tis::TISInputSourceForID(tis::kUSKeyboardLayoutID));
    EXPECT_EQ(QNBCreateStringFromKeyCode(0, true), u"a");
    EXPECT_EQ(QNBCreateStringFromKeyCode(56, false), u""); // a modifier types nothing
}

TEST_F(QNBKeyCodeUtilitiesTest, ModifiersForceQuitAndUnicodeCharacters) {
    QNBKeyCodeUtilities::postModifiers(0x2E, true);
    QNBKeyCodeUtilities::postModifiers(0x01, true);
    EXPECT_EQ(postedKeys(), "59d 58d 55d 56d");
    EXPECT_TRUE(m_utilities->postForceQuitHotKeyIfAvailable());
    auto quit = m_events->entries(windowserver::eventKind::cgEvent);
    ASSERT_EQ(quit.size(), 6u);
    std::string order;
    for (const auto& e : quit)
        order += std::to_string(e.fields.at("key").integerValue()) + " ";
    EXPECT_EQ(order, "55 58 53 53 58 55 ");
    EXPECT_EQ(quit[0].fields.at("tap").integerValue(), 0);
    QNBPostUniCharWithoutModifiers(u'✓');
    auto uni = m_events->entries(windowserver::eventKind::cgEvent);
    ASSERT_EQ(uni.size(), 8u);
    EXPECT_EQ(*uni[7].fields.at("unicode").asString(), "✓");
    EXPECT_EQ(uni[7].fields.at("tap").integerValue(), 1);
}

TEST_F(QNBKeyCodeUtilitiesTest, GlyphAndKeyTexts) {
    EXPECT_FALSE(QNBCopyModifierString(0x08));
    EXPECT_EQ(QNBCopyModifierString(0), "\u2318");
    EXPECT_EQ(QNBCopyModifierString(0x07), "\u21E7\u2303\u2325\u2318");
    EXPECT_EQ(QNBCopyStringForKeyCode(36), "\u21A9");
    EXPECT_EQ(QNBCopyStringForKeyCode(107), "F14");
    EXPECT_FALSE(QNBCopyStringForKeyCode(0));
    EXPECT_EQ(QNBCopyStringForGlyph(110), "\u233D");
    EXPECT_EQ(QNBCopyStringForGlyph(103), "<<Help Key>>");
    EXPECT_FALSE(QNBCopyStringForGlyph(999));
}

TEST_F(QNBKeyCodeUtilitiesTest, KeyEventMethodTypesThroughTheLayoutElseAsOneUnicodeEvent) {
    m_utilities->setUseCompatibleModeForPostString(true);
    m_utilities->postString(u"abc");
    EXPECT_EQ(postedKeys(), "0d 0u 11d 11u 8d 8u");
    auto brackets = m_events->entries(windowserver::eventKind::eventBracket);
    ASSERT_EQ(brackets.size(), 4u);
    EXPECT_EQ(*brackets[0].fields.at("call").asString(), "CGEnableEventStateCombining");
    EXPECT_EQ(*brackets[1].fields.at("call").asString(), "CGSetLocalEventsFilterDuringSuppressionState");
    EXPECT_EQ(*brackets[3].fields.at("arguments").at(0)->asBool(), true);
    m_events->clearEntries();
    m_utilities->postString(u"");
    m_utilities->postString(u"a✓");
    auto unicode = m_events->entries(windowserver::eventKind::cgEvent);
    ASSERT_EQ(unicode.size(), 2u); // key-downs only
    EXPECT_EQ(*unicode[0].fields.at("unicode").asString(), "");
    EXPECT_EQ(*unicode[1].fields.at("unicode").asString(), "a✓");
    EXPECT_EQ(*unicode[1].fields.at("down").asBool(), true);
    EXPECT_EQ(m_events->sinkText(), "abca✓");
}

// With useCGEventPost, keys go as Quartz keyboard events at the HID tap, modifiers still as bare
// key posts.
TEST_F(QNBKeyCodeUtilitiesTest, UseCGEventPostTypesKeysAsQuartzEventsAndModifiersAsKeyPosts) {
    m_utilities->setUseCGEventPost(true);
    m_utilities->postString(u"Ab");
    EXPECT_EQ(postedKeys(), "56d 56u");
    std::string events;
    for (const auto& e : m_events->entries(windowserver::eventKind::cgEvent))
        events +=
            std::to_string(e.fields.at("key").integerValue()) + (*e.fields.at("down").asBool() ? "d " : "u ");
    EXPECT_EQ(events, "0d 0u 11d 11u ");
    EXPECT_EQ(m_events->sinkText(), "Ab");
    // Compatible mode chooses the method before each string, and switches it back off.
    m_utilities->setUseCompatibleModeForPostString(true);
    m_utilities->postString(u"a");
    EXPECT_FALSE(m_utilities->useCGEventPost());
}

TEST_F(QNBKeyCodeUtilitiesTest, NoMapperIsKeptOverMissingData) {
    m_events->uninstall(); // the window server cannot be reached: no layout data
    platform::LogCapture quiet(true);
    m_utilities->postString(u"a");
    EXPECT_FALSE(m_utilities->mapper());
    m_events->install();
    m_utilities->postString(u"a");
    EXPECT_TRUE(m_utilities->mapper());
    EXPECT_EQ(postedKeys(), "0d 0u");
}

TEST_F(QNBKeyCodeUtilitiesTest, PasteboardMethodWhenAListedProgramTapsTheKeyboard) {
    installTapper();
    appkit::NSPasteboard::generalPasteboard()->clearContents();
    appkit::NSPasteboard::generalPasteboard()->setString("orig", appkit::NSPasteboardTypeString);
    m_events->clearEntries();
    m_utilities->setUseCompatibleModeForPostString(true);
    m_utilities->postString(u"abc");
    EXPECT_TRUE(m_utilities->usePasteboardForPostString());
    auto pasteboard = m_events->entries(windowserver::eventKind::pasteboard);
    ASSERT_EQ(pasteboard.size(), 2u);
    EXPECT_EQ(*pasteboard[0].fields.at("action").asString(), "clear");
    EXPECT_EQ(*pasteboard[1].fields.at("text").asString(), "abc");
    EXPECT_EQ(postedKeys(), "55d 9d 9u 55u");
    EXPECT_EQ(m_events->sinkText(), "abc"); // the sink pastes on Command-V
    dispatch::advanceAndRun(0.099);
    EXPECT_EQ(pasteboardText(), "abc");
    dispatch::advanceAndRun(0.002);
    EXPECT_EQ(pasteboardText(), "orig");
}

// Each half of a pair is pasted as its units: written as UTF-8, either would become U+FFFD.
TEST_F(QNBKeyCodeUtilitiesTest, TheHalvesOfAPairPasteAsOneCharacter) {
    installTapper();
    m_utilities->setUseCompatibleModeForPostString(true);
    m_events->clearEntries();
    m_utilities->postString(u"\xD83D");
    m_utilities->postString(u"\xDE00");
    auto writes = m_events->entries(windowserver::eventKind::pasteboard);
    ASSERT_EQ(writes.size(), 4u); // a clear and a write each
    EXPECT_EQ(*writes[1].fields.at("type").asString(), appkit::NSPasteboardTypeUTF16String);
    EXPECT_EQ(*writes[3].fields.at("data").asData(), (cf::Bytes{0x00, 0xDE}));
    EXPECT_EQ(m_events->sinkText(), "\U0001F600");
}

TEST_F(QNBKeyCodeUtilitiesTest, TwoPastesFiftyMillisecondsApartStillEndOnTheOriginal) {
    installTapper();
    appkit::NSPasteboard::generalPasteboard()->clearContents();
    appkit::NSPasteboard::generalPasteboard()->setString("orig", appkit::NSPasteboardTypeString);
    m_utilities->setUseCompatibleModeForPostString(true);
    m_utilities->postString(u"one");
    dispatch::advanceAndRun(0.05);
    m_utilities->postString(u"two");
    dispatch::advanceAndRun(0.07); // the first paste's restore time has passed
    EXPECT_EQ(pasteboardText(), "two");
    dispatch::advanceAndRun(0.04);
    EXPECT_EQ(pasteboardText(), "orig");
}

TEST_F(QNBKeyCodeUtilitiesTest, TapperMatchingNeedsAnEnabledTapAListAndAPrefix) {
    m_utilities->setupPostStringMethodForBestCompatibility();
    EXPECT_FALSE(m_utilities->usePasteboardForPostString());
    installTapper(false);
    m_utilities->setupPostStringMethodForBestCompatibility();
    EXPECT_FALSE(m_utilities->usePasteboardForPostString());
    // An unreadable list leaves typing on keys.
    std::string bad = m_dir + "/bad.plist";
    FILE* f = std::fopen(bad.c_str(), "w");
    std::fputs("not a plist", f);
    std::fclose(f);
    QNBKeyCodeUtilities unreadable({[bad]() -> std::optional<std::string> { return bad; }, nullptr});
    ASSERT_TRUE(m_events->request(windowserver::eventop::tapAdd, cf::Dictionary{{"pid", 4242}}));
    unreadable.setupPostStringMethodForBestCompatibility();
    EXPECT_FALSE(unreadable.usePasteboardForPostString());
    m_utilities->setupPostStringMethodForBestCompatibility();
    EXPECT_TRUE(m_utilities->usePasteboardForPostString());
}

TEST_F(QNBKeyCodeUtilitiesTest, EventTapCensus) {
    auto& manager = QNBEventTapManager::sharedManager();
    EXPECT_FALSE(manager.processInfoForEventTaps());
    EXPECT_FALSE(manager.processInfoForEnabledKeyboardEventTaps());
    installTapper(false);
    auto all = manager.processInfoForEventTaps();
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 1u);
    const cf::Value& r = (*all)[0];
    EXPECT_EQ(r.find(kEventTapProcessInfoTappingProcessKey)->integerValue(), 4242);
    EXPECT_EQ(r.find(kEventTapProcessInfoEnabledKey)->asBool(), false);
    EXPECT_EQ(
        *r.find(kEventTapProcessInfoTappingProcessExtendedInfoKey)->find("CFBundleIdentifier")->asString(),
        "COM.Example.Tapper.agent");
    EXPECT_TRUE(r.find("NSApplicationProcessSerialNumberLow"));
    auto enabled = manager.processInfoForEnabledKeyboardEventTaps();
    ASSERT_TRUE(enabled);
    EXPECT_TRUE(enabled->empty());
}

TEST_F(QNBKeyCodeUtilitiesTest, SaveAndRestoreKeepEveryTypeWithData) {
    auto pb = appkit::NSPasteboard::generalPasteboard();
    pb->clearContents();
    pb->setString("text", appkit::NSPasteboardTypeString);
    pb->setData({1, 2, 3}, "public.png");
    cf::Dictionary saved = save(*pb);
    EXPECT_EQ(saved.size(), 2u);
    pb->clearContents();
    restore(*pb, saved);
    EXPECT_EQ(pb->dataForType("public.png"), (cf::Bytes{1, 2, 3}));
    EXPECT_EQ(pb->stringForType(appkit::NSPasteboardTypeString), "text");
}

// Sessions type from their own queues into the one shared object: its lock keeps the mapper's
// list and cache whole, so every string's keys come out as a whole.
TEST_F(QNBKeyCodeUtilitiesTest, StringsTypedFromTwoThreadsKeepTheirKeysTogether) {
    auto type = [this](const char16_t* text) {
        for (int i = 0; i < 100; ++i)
            m_utilities->postString(text);
    };
    std::thread first(type, u"Ab"), second(type, u"\u00e9z");
    first.join();
    second.join();
    std::string keys = postedKeys();
    size_t ab = 0, ez = 0;
    for (size_t at = 0; (at = keys.find("56d 0d 0u 56u 11d 11u", at)) != std::string::npos; ++at)
        ++ab;
    for (size_t at = 0; (at = keys.find("58d 14d 14u 58u 14d 14u 6d 6u", at)) != std::string::npos; ++at)
        ++ez;
    EXPECT_EQ(ab, 100u);
    EXPECT_EQ(ez, 100u);
}
