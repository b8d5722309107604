#include "regions/DirtyRectangleManager.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using namespace regions;
using namespace cg;

namespace {

double area(const std::vector<QNRect>& rects) {
    double sum = 0;
    for (const QNRect& r : rects) sum += r.rect().size.width * r.rect().size.height;
    return sum;
}

void queueMove(DirtyRectangleManager& manager, std::initializer_list<CGRect> rects, CGPoint delta) {
    const std::vector<CGRect> list(rects);
    manager.addMovedRectangle(list.data(), list.size(), delta);
}

} // namespace

TEST(DirtyRectangleManager, ChangedAreaGathersInOneUpdatedBlock) {
    DirtyRectangleManager manager;
    EXPECT_EQ(manager.classOfNextDirtyBlock(), DirtyBlockClass::None);
    manager.addDirtyRectangle(CGRectMake(0, 0, 10, 10));
    ASSERT_EQ(manager.rectangleQueue().size(), 1u);
    EXPECT_EQ(manager.classOfNextDirtyBlock(), DirtyBlockClass::Updated);
    manager.addDirtyRectangle(CGRectMake(5, 0, 10, 10));
    ASSERT_EQ(manager.rectangleQueue().size(), 1u);
    const auto rects = manager.newArrayOfDirtyRectangles();
    ASSERT_EQ(rects.size(), 1u);
    EXPECT_TRUE(CGRectEqualToRect(rects[0].rect(), CGRectMake(0, 0, 15, 10)));
}

TEST(DirtyRectangleManager, AreaAlreadyCoveredByAMoveIsNotMarkedAgain) {
    DirtyRectangleManager manager;
    queueMove(manager, {CGRectMake(0, 0, 10, 10)}, CGPointMake(100, 0));
    manager.addDirtyRectangle(CGRectMake(102, 2, 5, 5)); // wholly inside the destination
    ASSERT_EQ(manager.rectangleQueue().size(), 1u);
    EXPECT_EQ(manager.classOfNextDirtyBlock(), DirtyBlockClass::Moved);

    manager.addDirtyRectangle(CGRectMake(105, 0, 10, 10)); // half inside
    ASSERT_EQ(manager.rectangleQueue().size(), 2u);
    manager.addDirtyRectangle(CGRectMake(100, 0, 10, 20)); // the updated block still sees the move
    const auto rects = manager.newArrayOfDirtyRectangles();
    ASSERT_EQ(rects.size(), 3u);
    EXPECT_TRUE(rects[0].moved());
    // The destination (100,0)-(110,10) stays out of the changed area.
    EXPECT_EQ(area({rects[1], rects[2]}), 5 * 10 + 10 * 10);
}

TEST(DirtyRectangleManager, ListsUpdatedBoxesThenMovedRectanglesInQueueOrder) {
    DirtyRectangleManager manager;
    manager.addDirtyRectangle(CGRectMake(0, 0, 10, 10));
    queueMove(manager, {CGRectMake(20, 20, 5, 5), CGRectMake(40, 40, 5, 5)}, CGPointMake(3, -4));
    const auto rects = manager.newArrayOfDirtyRectangles();
    ASSERT_EQ(rects.size(), 3u);
    EXPECT_TRUE(CGRectEqualToRect(rects[0].rect(), CGRectMake(0, 0, 10, 10)));
    EXPECT_FALSE(rects[0].moved());
    EXPECT_TRUE(CGRectEqualToRect(rects[1].rect(), CGRectMake(20, 20, 5, 5)));
    EXPECT_TRUE(CGRectEqualToRect(rects[2].rect(), CGRectMake(40, 40, 5, 5)));
    for (int i = 1; i < 3; ++i) {
        EXPECT_TRUE(rects[i].moved());
        EXPECT_TRUE(CGPointEqualToPoint(rects[i].delta(), CGPointMake(3, -4)));
    }
    EXPECT_EQ(manager.rectangleQueue().size(), 2u); // reading leaves the queue as it is
}

TEST(DirtyRectangleManager, AMoveAfterAMoveTakesOverTheEarlierRegion) {
    DirtyRectangleManager manager;
    queueMove(manager, {CGRectMake(0, 0, 10, 10)}, CGPointMake(100, 0));
    queueMove(manager, {CGRectMake(0, 0, 10, 10)}, CGPointMake(200, 0));
    const auto queue = manager.rectangleQueue();
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_FALSE(std::get<std::shared_ptr<MovedRectangles>>(queue[0])->regionData());

    manager.addDirtyRectangle(CGRectMake(100, 0, 10, 10)); // the first move's destination
    EXPECT_EQ(manager.rectangleQueue().size(), 2u);
    manager.addDirtyRectangle(CGRectMake(200, 0, 10, 10)); // the second's own is not held
    EXPECT_EQ(manager.rectangleQueue().size(), 3u);
}

TEST(DirtyRectangleManager, CleanSubtractsFromTheOldestUpdatedBlockOnly) {
    DirtyRectangleManager manager;
    manager.cleanRectangle(CGRectMake(0, 0, 10, 10)); // empty queue: nothing
    manager.addDirtyRectangle(CGRectMake(0, 0, 10, 10));
    manager.cleanRectangle(CGRectMake(0, 0, 5, 10));
    EXPECT_EQ(area(manager.newArrayOfDirtyRectangles()), 50.0);
    manager.cleanRectangle(CGRectMake(0, 0, 10, 10));
    EXPECT_EQ(manager.classOfNextDirtyBlock(), DirtyBlockClass::None);

    queueMove(manager, {CGRectMake(0, 0, 10, 10)}, CGPointMake(1, 1));
    manager.addDirtyRectangle(CGRectMake(50, 50, 10, 10));
    manager.cleanRectangle(CGRectMake(50, 50, 10, 10)); // the oldest block is a move
    EXPECT_EQ(manager.rectangleQueue().size(), 2u);
}

TEST(DirtyRectangleManager, MergedExtentsUniteEveryUpdatedBlock) {
    DirtyRectangleManager manager;
    EXPECT_EQ(manager.newMergedRectExtents(), nullptr);
    queueMove(manager, {CGRectMake(0, 0, 1, 1)}, CGPointMake(500, 500));
    EXPECT_EQ(manager.newMergedRectExtents(), nullptr);
    manager.addDirtyRectangle(CGRectMake(0, 0, 10, 10));
    queueMove(manager, {CGRectMake(0, 0, 1, 1)}, CGPointMake(600, 600));
    manager.addDirtyRectangle(CGRectMake(10, 0, 10, 10));
    const auto merged = manager.newMergedRectExtents();
    ASSERT_NE(merged, nullptr);
    EXPECT_FALSE(merged->needsValidation());
    const auto rects = merged->newArrayOfRectangles();
    ASSERT_EQ(rects.size(), 1u);
    EXPECT_TRUE(CGRectEqualToRect(rects[0].rect(), CGRectMake(0, 0, 20, 10)));
    // The blocks themselves are untouched.
    const auto queue = manager.rectangleQueue();
    ASSERT_EQ(queue.size(), 4u);
    EXPECT_EQ(std::get<std::shared_ptr<UpdatedRectangles>>(queue[1])->newArrayOfRectangles().size(), 1u);
}

TEST(DirtyRectangleManager, AcknowledgingMovesRemovesEntriesThenTheBlock) {
    platform::LogCapture capture(true);
    DirtyRectangleManager manager;
    manager.ackMovedRectangle(CGRectMake(0, 0, 1, 1)); // empty queue: nothing
    queueMove(manager, {CGRectMake(0, 0, 5, 5), CGRectMake(10, 0, 5, 5)}, CGPointMake(1, 0));
    manager.ackMovedRectangle(CGRectMake(99, 0, 5, 5)); // not there: unchanged
    EXPECT_EQ(manager.newArrayOfDirtyRectangles().size(), 2u);
    manager.ackMovedRectangle(CGRectMake(0, 0, 5, 5));
    EXPECT_EQ(manager.newArrayOfDirtyRectangles().size(), 1u);
    manager.ackMovedRectangle(CGRectMake(10, 0, 5, 5));
    EXPECT_EQ(manager.classOfNextDirtyBlock(), DirtyBlockClass::None);

    // A caller that did not ask first gets a log line, not a damaged queue.
    manager.addDirtyRectangle(CGRectMake(0, 0, 5, 5));
    manager.ackMovedRectangle(CGRectMake(0, 0, 5, 5));
    EXPECT_EQ(manager.classOfNextDirtyBlock(), DirtyBlockClass::Updated);
    EXPECT_TRUE(capture.contains("not a moved block"));
}

TEST(DirtyRectangleManager, RefusedRectanglesLeaveTheQueueAlone) {
    platform::LogCapture capture(true);
    DirtyRectangleManager manager;
    manager.addDirtyRectangle(CGRectMake(std::nan(""), 0, 10, 10));
    manager.addDirtyRectangle(CGRectMake(32000, 0, 1000, 10));
    manager.addDirtyRectangle(CGRectMake(0, 0, 0, 10));
    EXPECT_EQ(manager.classOfNextDirtyBlock(), DirtyBlockClass::None);
    EXPECT_EQ(capture.count("Refused rectangle"), 2u);
}

TEST(DirtyRectangleManager, ConcurrentWritersAndReaders) {
    DirtyRectangleManager manager;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&manager, t] {
            for (int i = 0; i < 100; ++i) manager.addDirtyRectangle(CGRectMake(i * 4, t * 4, 4, 4));
        });
    threads.emplace_back([&manager] {
        for (int i = 0; i < 100; ++i) {
            manager.newArrayOfDirtyRectangles();
            manager.newMergedRectExtents();
        }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(area(manager.newArrayOfDirtyRectangles()), 400.0 * 12);
}
