#include "foundation/QNBPreferences.h"
#include "input/QNBHostKeyboardEvent.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/textinputsources/TextInputSources.h"
#include "platform/windowserver/EventProtocol.h"
#include "platform/windowserver/InProcessEvents.h"

#include "input/tests/InProcessInputTest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

using namespace input;

namespace {

class QNBHostKeyboardEventTest : public input::testing::InProcessInputTest {
  protected:
    // What a message posts: "[" and "]" for the bracket's combining off and on, keys as "55d".
    std::string posted(std::vector<uint8_t> message) {
        m_events->clearEntries();
        keyboardEventDatagramReceived(message);
        std::string out;
        for (const auto& e : m_events->entries()) {
            std::string item;
            if (e.kind == windowserver::eventKind::eventBracket) {
                if (e.api != "CGEnableEventStateCombining") continue;
                item = *e.fields.at("arguments").at(0)->asBool() ? "]" : "[";
            } else if (e.kind == windowserver::eventKind::cgKeyboard) {
                item = std::to_string(e.fields.at("key").integerValue()) +
                       (*e.fields.at("down").asBool() ? "d" : "u");
            } else {
                continue;
            }
            out += (out.empty() ? "" : " ") + item;
        }
        return out;
    }
    static std::vector<uint8_t> msg(uint8_t kind, uint8_t shift, uint8_t flags, uint32_t value) {
        return {3,
                kind,
                shift,
                flags,
                0,
                uint8_t(value),
                uint8_t(value >> 8),
                uint8_t(value >> 16),
                uint8_t(value >> 24)};
    }
};

} // namespace

TEST_F(QNBHostKeyboardEventTest, EveryKindPostsItsBracketedKeys) {
    struct Case {
        std::vector<uint8_t> message;
        const char* keys;
    };
    const Case cases[] = {
        {msg(1, 0, 0x08, 0), "[ 55d 0d 0u 55u ]"},
        {msg(1, 0, 0x01, 0x10075), "[ 117d 117u ]"}, // 0x01 alone: no modifiers; the high half unread
        {msg(2, 0, 0, 5), ""},
        {msg(2, 0, 0x01, 4), "[ 124d 124u ]"},
        {msg(2, 0, 0x22, 1), "[ 59d 56d 126d 126u 59u 56u ]"},
        {msg(3, 0, 0x3E, 5), "[ 55d 0d 0u 55u ]"},
        {msg(3, 0, 0x08, 3), "[ 56d 123d 123u 56u ]"},
        {msg(3, 0, 0, 6), ""},
        {msg(4, 0, 0x02, 0xFFFF), "[ 59d 51d 51u 59u ]"},
        {msg(5, 0, 0x3E, 1), "[ 55d 7d 7u 55u ]"},
        {msg(5, 0, 0, 4), "[ 55d 6d 6u 55u ]"},
        {msg(5, 0, 0, 9), ""},
        {msg(6, 0, 0, 1), ""},
        {msg(0, 4, 0x20, u'1'), "[ 56d 56d 18d 18u 56u 56u ]"},
        {msg(0, 0, 0x04, u'✓'), ""},
        {msg(0, 0, 0, u'é'), "[ 58d 14d 14u 58u 14d 14u ]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(posted(c.message), c.keys) << int(c.message[1]) << "/" << c.message[5];
    EXPECT_EQ(m_events->sinkText(), "!é"); // Command and Control combinations type nothing
}

TEST_F(QNBHostKeyboardEventTest, SelectAllAndPasteboardCommandsFollowTheLayout) {
    ASSERT_EQ(tis::TISSelectInputSource(tis::TISInputSourceForID("com.apple.keylayout.French")), 0);
    EXPECT_EQ(posted(msg(3, 0, 0, 5)), "[ 55d 12d 12u 55u ]");
    EXPECT_EQ(posted(msg(5, 0, 0, 3)), "[ 55d 9d 9u 55u ]");
    EXPECT_EQ(posted(msg(5, 0, 0, 4)), "[ 55d 13d 13u 55u ]");
}

TEST_F(QNBHostKeyboardEventTest, ForcedRightArrowAndFlags) {
    auto message = msg(1, 0, 0x08, 0);
    m_events->clearEntries();
    QNBHostKeyboardEvent event(message.data());
    event.setForceCursorRightEvent(true);
    event.sendSynthesizedEvent();
    EXPECT_FALSE(event.forceCursorRightEvent());
    EXPECT_EQ(m_events->entries(windowserver::eventKind::cgKeyboard).size(), 6u); // 55, 124 d/u, 0 d/u, 55
    EXPECT_EQ(QNBEventFlagsFromMessageEventFlags(0x01), 0u);
    EXPECT_EQ(QNBEventFlagsFromMessageEventFlags(0x2F), 0x40000u | 0x80000u | 0x100000u | 0x20000u);
}

TEST_F(QNBHostKeyboardEventTest, ShortDatagramsAndTheDebuggingGateDropEverything) {
    platform::LogCapture log(true);
    EXPECT_EQ(posted({}), "");
    EXPECT_EQ(posted({3, 1, 0, 8, 0, 0, 0, 0}), "");
    EXPECT_TRUE(log.contains("Dropping a datagram of type 3 and length 8"));
    cf::CFPreferencesSetAppValue(foundation::kDebuggingDontSendKBEvents, cf::Value(true),
                                 foundation::kApplicationID);
    cf::CFPreferencesAppSynchronize(foundation::kApplicationID);
    EXPECT_EQ(posted(msg(1, 0, 0, 0)), "");
    EXPECT_EQ(posted(msg(0, 0, 0, u'a')), "");
    EXPECT_TRUE(
        log.contains("Debugging Flag prevented us from sending KB Events (QNBDebuggingDontSendKBEvents)."));
    cf::CFPreferencesSetAppValue(foundation::kDebuggingDontSendKBEvents, std::nullopt,
                                 foundation::kApplicationID);
    cf::CFPreferencesAppSynchronize(foundation::kApplicationID);
    EXPECT_EQ(posted(msg(1, 0, 0, 0)), "[ 0d 0u ]");
}

// A character beyond the basic plane comes as two messages, one half of its pair each: every
// half reaches the window server as its own unit, and the two make the one character there.
TEST_F(QNBHostKeyboardEventTest, ASurrogatePairTypesOneCharacter) {
    m_events->clearEntries();
    keyboardEventDatagramReceived(msg(0, 0, 0, 0xD83D));
    keyboardEventDatagramReceived(msg(0, 0, 0, 0xDE00));
    auto unicode = m_events->entries(windowserver::eventKind::cgEvent);
    ASSERT_EQ(unicode.size(), 2u);
    EXPECT_EQ(*unicode[0].fields.at("unicodeUnits").asData(), (cf::Bytes{0x3D, 0xD8}));
    EXPECT_EQ(*unicode[1].fields.at("unicodeUnits").asData(), (cf::Bytes{0x00, 0xDE}));
    EXPECT_EQ(m_events->sinkText(), "\U0001F600");
}
