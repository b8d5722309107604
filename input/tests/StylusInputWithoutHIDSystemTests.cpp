// Pen input on a Mac whose HID system cannot be reached: each failed post is logged, the
// stroke still advances, and hover's own Quartz moves still go.
#include "input/ScreenServerInput.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"

#include "input/tests/InProcessInputTest.h"
#include "input/tests/PointerInputTestSupport.h"

#include <gtest/gtest.h>

using namespace input;
using namespace input::testing;
using ::testing::ElementsAre;

TEST(StylusInputWithoutHIDSystemTest, PostsFailLoggedAndTheStrokeStillEnds) {
    platform::installFakeClock();
    struct Fixture : InProcessInputTest {
        void TestBody() override {}
        using InProcessInputTest::m_events;
        using InProcessInputTest::SetUp;
        using InProcessInputTest::TearDown;
    } fixture;
    fixture.SetUp();
    platform::LogCapture log(true);
    GeometryInput input(displayAt(0, 0, 1440, 900));
    input.receive(stylus(9, 100, 200, 0.5f, 1));
    input.receive(stylus(10, 110, 205, 0.5f, 1));
    input.receive(stylus(11, 110, 205, 0.5f, 1));
    input.receive(stylus(14, 30, 40, 0, 0, 3.0f));
    input.receive(stylus(16, 30, 41, 0, 0, 3.0f));
    EXPECT_TRUE(fixture.m_events->entries(windowserver::eventKind::hidEvent).empty());
    EXPECT_EQ(log.count("Failed to post a mouseEvent, but silently ignoring the error for now"), 4u);
    EXPECT_EQ(log.count("Failed to post a NX_TABLETPOINTER event, but silently ignoring the error for now"),
              2u);
    EXPECT_EQ(log.count("Failed to post a proximity event"), 4u);
    EXPECT_TRUE(
        log.contains("io_connect_t get_event_driver(void):Could not get service from IOIteratorNext"));
    auto state = input.inputState();
    EXPECT_EQ(state.beginEventType, 0u);
    EXPECT_EQ(state.lastMouseUpPoint.x, 110);
    EXPECT_EQ(state.eventButtons, 1u);
    EXPECT_THAT(lines(*fixture.m_events), ElementsAre("cg 5 30,40", "cg 5 30,41"));
    fixture.TearDown();
}
