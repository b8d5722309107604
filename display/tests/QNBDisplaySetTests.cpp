// Display sets without the window server: the empty set, membership, the per-display update
// state, and origins written in one step under the display's lock.
#include "display/QNBDisplaySet.h"

#include "platform/core/Log.h"
#include "platform/coregraphics/testing/FakeWindowServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace display {

TEST(QNBDisplaySetEmpty, AnswersNeutralValues) {
    cg::testing::ScopedFakeWindowServer fake;
    QNBDisplaySet set;
    EXPECT_EQ(set.displayID(), 0u);
    // No framebuffer: not index 0, which a real display owns.
    EXPECT_EQ(set.framebufferIndex(), -1);
    EXPECT_TRUE(cg::CGRectEqualToRect(set.frame(), cg::CGRectZero));
    EXPECT_TRUE(cg::CGRectEqualToRect(set.scaleCorrectedDisplayBounds(), cg::CGRectZero));
    EXPECT_TRUE(cg::CGRectEqualToRect(set.singleNormalizedDisplayBounds(), cg::CGRectZero));
    EXPECT_TRUE(cg::CGRectEqualToRect(set.boundsOfPrimaryDisplay(), cg::CGRectZero));
    EXPECT_EQ(set.primaryDisplayID(), 0u);
    EXPECT_EQ(set.cursorScale(), 1.0);
    EXPECT_EQ(set.almostAuthenticScale(), 1.0);
    EXPECT_EQ(set.scale(), 1.0);
    EXPECT_TRUE(set.arrayOfScreenBounds().empty());
    EXPECT_EQ(set.userDescription(), "MultiScreen");
    set.finalizeSet(); // nothing to do
}

TEST(QNBDisplaySetMembers, IdentityNotDisplayID) {
    QNBDisplaySet set;
    auto a = std::make_shared<QNBDisplay>(0x100);
    auto b = std::make_shared<QNBDisplay>(0x100);
    set.addDisplay(a);
    set.addDisplay(a);
    set.addDisplay(b);
    set.addDisplay(nullptr);
    EXPECT_EQ(set.displays().size(), 2u);
    EXPECT_EQ(a->hash(), b->hash());
    set.setDisplays({b, b, a});
    EXPECT_EQ(set.displays(), (std::vector<std::shared_ptr<QNBDisplay>>{b, a}));
    EXPECT_EQ(set.displayID(), 0x100u);
}

TEST(QNBDisplaySetDisplay, InitialStateAndClearRectangles) {
    QNBDisplay unset;
    EXPECT_EQ(unset.displayID(), 0xFFFFFFFFu);
    EXPECT_FALSE(unset.userDescription());

    QNBDisplay display(0x102);
    auto manager = display.rectManager();
    ASSERT_TRUE(manager);
    display.addDirtyRectangle(cg::CGRectMake(0, 0, 10, 10));
    EXPECT_EQ(manager->rectangleQueue().size(), 1u);
    auto lossy = display.lossyRects();
    lossy->addRectangle(cg::CGRectMake(0, 0, 5, 5));
    display.setUpdateHeatMap({std::make_shared<regions::UpdatedRectangles>()});

    display.clearRectangles();
    EXPECT_EQ(display.rectManager(), manager); // the same manager, emptied
    EXPECT_TRUE(manager->rectangleQueue().empty());
    EXPECT_TRUE(display.updateHeatMap().empty());
    EXPECT_NE(display.lossyRects(), lossy);
    EXPECT_TRUE(display.lossyRects()->isEmpty());
}

// finalizeSet writes a member's origin and offset in one step under the display's lock: while
// another holder keeps the lock, neither changes.
TEST(QNBDisplaySetFinalize, WritesUnderTheDisplaysLock) {
    cg::testing::ScopedFakeWindowServer fake;
    auto display = std::make_shared<QNBDisplay>(0x100);
    display->setOurOrigin({-1, -1});
    display->setOffsetFromOrigin({-1, -1});
    QNBDisplaySet set;
    set.addDisplay(display);

    std::unique_lock held(display->lock());
    std::promise<void> started;
    std::thread finalizer([&] {
        started.set_value();
        set.finalizeSet();
    });
    started.get_future().wait();
    // A tenth of a second is ample for an unguarded write to land.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(display->ourOrigin().x, -1);
    EXPECT_EQ(display->offsetFromOrigin().x, -1);
    held.unlock();
    finalizer.join();
    // No window server answered: bounds are zero, so origin and offset are too.
    EXPECT_EQ(display->ourOrigin().x, 0);
    EXPECT_EQ(display->offsetFromOrigin().x, 0);
}

} // namespace display
