#include "foundation/QNBPreferences.h"
#include "input/PointerActions.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/windowserver/EventProtocol.h"
#include "platform/windowserver/InProcessEvents.h"

#include "input/tests/InProcessInputTest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

using namespace input;

namespace {

class PointerInputActionsTest : public input::testing::InProcessInputTest {
  protected:
    // Posted keys: Quartz key events as "6d+0x100000", bare keyboard posts as "55d".
    std::string keys() {
        std::string out;
        for (const auto& e : m_events->entries()) {
            if (e.kind != windowserver::eventKind::cgEvent && e.kind != windowserver::eventKind::cgKeyboard)
                continue;
            if (!e.fields.count("key")) continue;
            out += (out.empty() ? "" : " ") + std::to_string(e.fields.at("key").integerValue()) +
                   (*e.fields.at("down").asBool() ? "d" : "u");
            if (e.kind == windowserver::eventKind::cgEvent) {
                char flags[32];
                std::snprintf(flags, sizeof flags, "+0x%llx",
                              static_cast<unsigned long long>(e.fields.at("flags").integerValue()));
                out += flags;
            }
        }
        return out;
    }
};

} // namespace

TEST_F(PointerInputActionsTest, ButtonActionsSevenToTen) {
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    uint64_t modifiers = 0;
    prefs.baseSetAction(7, 4);
    handleButtonEventWithMsg({0, 1}, modifiers);
    EXPECT_EQ(keys(), ""); // undo only when the button comes up
    handleButtonEventWithMsg({0, 0}, modifiers);
    EXPECT_EQ(keys(), "6d+0x100000 6u+0x100000");
    m_events->clearEntries();
    prefs.baseSetAction(8, 8);
    handleButtonEventWithMsg({1, 0}, modifiers);
    EXPECT_EQ(keys(), "6d+0x120000 6u+0x120000");
    m_events->clearEntries();

    prefs.baseSetAction(9, 4);
    prefs.baseSetModifiers(0x100000 | 0x40000, 4);
    handleButtonEventWithMsg({0, 1}, modifiers);
    EXPECT_EQ(modifiers, 0x140000u);
    EXPECT_EQ(m_events->entries().back().fields.at("modifiers").integerValue(), 0x140000);
    handleButtonEventWithMsg({0, 0}, modifiers);
    EXPECT_EQ(modifiers, 0u);
    EXPECT_EQ(keys(), "59d 55d 59u 55u");
    m_events->clearEntries();

    prefs.baseSetAction(10, 8);
    prefs.baseSetShortcutKeyCode(0x10008, 8); // the low 16 bits are the key
    prefs.baseSetShortcutModifiers(0x100000, 8);
    prefs.baseSetShortcutCharacter(0x80, 8); // the signed low byte is negative: nothing recorded
    handleButtonEventWithMsg({1, 0}, modifiers);
    EXPECT_EQ(keys(), "");
    prefs.baseSetShortcutCharacter(u'c', 8);
    handleButtonEventWithMsg({1, 1}, modifiers);
    EXPECT_EQ(keys(), "");
    handleButtonEventWithMsg({1, 0}, modifiers);
    EXPECT_EQ(keys(), "8d+0x100000 8u+0x100000");
}

TEST_F(PointerInputActionsTest, ButtonNumbersPastTheMaskAreDropped) {
    platform::LogCapture log(true);
    uint64_t modifiers = 7;
    handleButtonEventWithMsg({62, 1}, modifiers);
    handleButtonEventWithMsg({255, 0}, modifiers);
    EXPECT_EQ(log.count("Dropping the action of button"), 2u);
    EXPECT_EQ(modifiers, 7u);
    EXPECT_TRUE(m_events->entries().empty());
}

TEST_F(PointerInputActionsTest, ScrollDatagramsActAtThePointer) {
    std::vector<uint8_t> d(13, 0);
    d[0] = 7;
    float h = -1.5f, v = 3.7f;
    std::memcpy(&d[5], &h, 4);
    std::memcpy(&d[9], &v, 4);
    ns::NSUserDefaults::standardUserDefaults()->setBool(true, "ReverseScrollwheelEventDirection");
    scrollDatagramReceived(d);
    scrollDatagramReceived(std::vector<uint8_t>(d.begin(), d.end() - 1));
    auto posted = m_events->entries(windowserver::eventKind::cgEvent);
    ASSERT_EQ(posted.size(), 1u);
    const cf::Value& fields = posted[0].fields.at("fields");
    // Natural direction: the amounts pass unchanged, truncated and doubled.
    EXPECT_EQ(fields.find("11")->find("integer")->integerValue(), 6);
    EXPECT_EQ(fields.find("12")->find("integer")->integerValue(), -2);
    EXPECT_EQ(posted[0].fields.at("x").doubleValue(), 720);
}
