#include "regions/ErrorF.h"
#include "regions/MovedRectangles.h"
#include "regions/PixmanRegion.h"
#include "regions/QNRect.h"
#include "regions/UpdatedRectangles.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

using namespace regions;
using namespace cg;

namespace {

std::vector<CGRect> rectsOf(UpdatedRectangles& region) {
    std::vector<CGRect> rects;
    for (const QNRect& r : region.newArrayOfRectangles()) rects.push_back(r.rect());
    return rects;
}

void expectRects(const std::vector<CGRect>& actual, std::initializer_list<CGRect> expected) {
    ASSERT_EQ(actual.size(), expected.size());
    size_t i = 0;
    for (const CGRect& e : expected) {
        EXPECT_TRUE(CGRectEqualToRect(actual[i], e)) << NSStringFromRect(actual[i]) << " expected " << NSStringFromRect(e);
        ++i;
    }
}

double area(const std::vector<CGRect>& rects) {
    double sum = 0;
    for (const CGRect& r : rects) sum += r.size.width * r.size.height;
    return sum;
}

} // namespace

TEST(RegionBoxes, CoordinatesTruncateTowardZeroAndWrapAt16Bits) {
    const auto box = boxFromRect(CGRectMake(-5.7, 5.9, 15.9, 4.3)); // maxX 10.2, maxY 10.2
    ASSERT_TRUE(box);
    EXPECT_EQ(box->x1, -5);
    EXPECT_EQ(box->x2, 10);
    EXPECT_EQ(box->y1, 5);
    EXPECT_EQ(box->y2, 10);

    // y is ordered after wrapping (40000 becomes -25536); x is not reordered.
    const auto wrapped = boxFromRect(CGRectMake(0, 30000, 10, 10000));
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(wrapped->y1, -25536);
    EXPECT_EQ(wrapped->y2, 30000);

    EXPECT_EQ(truncateToInt16(65536.0 + 7), 7);
    EXPECT_EQ(truncateToInt16(-32769.0), 32767);
    EXPECT_FALSE(truncateToInt16(std::nan("")));
    EXPECT_FALSE(truncateToInt16(3e9));

    const CGRect back = rectFromBox(pixman_box16_t{-3, 4, 7, 9});
    EXPECT_TRUE(CGRectEqualToRect(back, CGRectMake(-3, 4, 10, 5)));
}

TEST(RegionBoxes, ErrorFLogsTheFirstArgumentOnly) {
    platform::LogCapture capture(true);
    ErrorF("region %d: %d", 7, 8);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].find("region 7: (?)"), std::string::npos) << capture.lines()[0];
}

TEST(RegionBoxes, InvalidBoxesAreRefusedAndEmptyOnesAreNothing) {
    platform::LogCapture capture(true);
    EXPECT_FALSE(boxFromRect(CGRectMake(32000, 0, 1000, 10))); // x2 wraps below x1
    EXPECT_FALSE(boxFromRect(CGRectMake(-std::numeric_limits<double>::infinity(), 0, 1, 1)));
    EXPECT_FALSE(boxFromRect(CGRectMake(0, std::nan(""), 1, 1)));
    EXPECT_EQ(capture.count("Refused rectangle"), 3u);
    capture.clear();
    EXPECT_FALSE(boxFromRect(CGRectMake(0, 0, 0, 10)));
    EXPECT_FALSE(boxFromRect(CGRectMake(0, 0, 10, 0.5))); // truncates to no height
    EXPECT_FALSE(boxFromRect(CGRectNull));
    EXPECT_TRUE(capture.lines().empty());
}

TEST(UpdatedRectangles, ContainsAnswersInPartOrOut) {
    UpdatedRectangles region;
    EXPECT_EQ(region.containsRect(CGRectMake(0, 0, 5, 5)), 0.0);
    region.addRectangle(CGRectMake(0, 0, 10, 10));
    EXPECT_EQ(region.containsRect(CGRectMake(2, 2, 5, 5)), 1.0);
    EXPECT_EQ(region.containsRect(CGRectMake(8, 8, 5, 5)), 0.8);
    EXPECT_EQ(region.containsRect(CGRectMake(20, 20, 5, 5)), 0.0);
    EXPECT_EQ(region.containsRect(CGRectMake(std::nan(""), 0, 5, 5)), 0.0);
}

TEST(UpdatedRectangles, AddedBoxesWaitForValidationAndCountAsTheyAre) {
    UpdatedRectangles region;
    EXPECT_EQ(region.count(), 0u);
    EXPECT_FALSE(region.needsValidation());
    region.addRectangle(CGRectMake(0, 0, 10, 10));
    EXPECT_TRUE(region.needsValidation());
    region.addRectangle(CGRectMake(2, 2, 3, 3)); // inside the first, but not merged yet
    EXPECT_EQ(region.count(), 2u);
    region.validateRect();
    EXPECT_FALSE(region.needsValidation());
    EXPECT_EQ(region.count(), 1u);

    // Clearing the flag from outside never drops the area waiting for validation.
    region.addRectangle(CGRectMake(20, 0, 10, 10));
    region.setNeedsValidation(false);
    EXPECT_EQ(region.containsRect(CGRectMake(22, 2, 2, 2)), 1.0);
}

TEST(UpdatedRectangles, ListsBoxesInBandOrder) {
    UpdatedRectangles region;
    EXPECT_TRUE(region.newArrayOfRectangles().empty());
    region.addRectangle(CGRectMake(0, 0, 10, 10));
    region.addRectangle(CGRectMake(5, 5, 10, 10));
    const auto rects = region.newArrayOfRectangles();
    expectRects(rectsOf(region), {CGRectMake(0, 0, 10, 5), CGRectMake(0, 5, 15, 5), CGRectMake(5, 10, 10, 5)});
    for (const QNRect& r : rects) {
        EXPECT_FALSE(r.moved());
        EXPECT_TRUE(CGPointEqualToPoint(r.delta(), CGPointZero));
    }
}

TEST(UpdatedRectangles, MergeSubtractCleanAndCopy) {
    auto a = std::make_shared<UpdatedRectangles>();
    UpdatedRectangles b;
    a->addRectangle(CGRectMake(0, 0, 10, 10));
    b.addRectangle(CGRectMake(10, 0, 10, 10));
    a->mergeWithRectangles(nullptr);
    a->mergeWithRectangles(&b);
    EXPECT_TRUE(a->needsValidation());
    expectRects(rectsOf(*a), {CGRectMake(0, 0, 20, 10)});
    a->mergeWithRectangles(a.get()); // merging into itself changes nothing
    expectRects(rectsOf(*a), {CGRectMake(0, 0, 20, 10)});

    auto copy = a->copy();
    EXPECT_TRUE(copy->needsValidation());
    a->subtractFromRectangles(&b);
    expectRects(rectsOf(*a), {CGRectMake(0, 0, 10, 10)});
    expectRects(rectsOf(*copy), {CGRectMake(0, 0, 20, 10)}); // the copy is its own region

    a->cleanRectangle(CGRectMake(0, 0, 10, 5));
    expectRects(rectsOf(*a), {CGRectMake(0, 5, 10, 5)});
    a->cleanRectangle(CGRectMake(0, 0, 100, 100));
    EXPECT_EQ(a->count(), 0u);
    EXPECT_TRUE(a->isEmpty());
}

TEST(UpdatedRectangles, RegionsMergedIntoEachOtherFromTwoThreadsDoNotDeadlock) {
    UpdatedRectangles a, b;
    a.addRectangle(CGRectMake(0, 0, 10, 10));
    b.addRectangle(CGRectMake(20, 0, 10, 10));
    std::thread one([&] {
        for (int i = 0; i < 2000; ++i) a.mergeWithRectangles(&b);
    });
    std::thread two([&] {
        for (int i = 0; i < 2000; ++i) b.mergeWithRectangles(&a);
    });
    one.join();
    two.join();
    EXPECT_EQ(area(rectsOf(a)), 200.0);
    EXPECT_EQ(area(rectsOf(b)), 200.0);
}

TEST(UpdatedRectangles, ConcurrentAdditionsAllLand) {
    UpdatedRectangles region;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&region, t] {
            for (int i = 0; i < 100; ++i) region.addRectangle(CGRectMake(i * 10, t * 10, 10, 10));
        });
    for (auto& thread : threads) thread.join();
    expectRects(rectsOf(region), {CGRectMake(0, 0, 1000, 40)});
}

TEST(MovedRectangles, RegionIsTheUnionOfTheDestinations) {
    const CGRect rects[] = {CGRectMake(0, 0, 10, 10), CGRectMake(5, 0, 10, 10)};
    MovedRectangles moved(rects, 2, CGPointMake(100, 0.5));
    EXPECT_EQ(moved.rectangles().size(), 2u);
    const auto region = moved.regionData();
    ASSERT_TRUE(region);
    const auto boxes = region->boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].x1, 100);
    EXPECT_EQ(boxes[0].x2, 115);
    EXPECT_EQ(boxes[0].y1, 0); // 0.5 truncates
    EXPECT_EQ(boxes[0].y2, 10);

    EXPECT_FALSE(moved.removeRectangle(CGRectMake(10, 10, -10, -10))); // equal only when stored alike
    EXPECT_TRUE(moved.removeRectangle(CGRectMake(0, 0, 10, 10)));
    EXPECT_TRUE(moved.hasRectangles());
    EXPECT_TRUE(moved.takeRegion());
    EXPECT_FALSE(moved.regionData());
    EXPECT_EQ(moved.region(), nullptr);
}

// The region pointers: a moved block gives its region up by setting none, and takes a copy of
// another's; an updated region reads validated and is replaced whole.
TEST(MovedRectangles, RegionIsHeldUntilSetToNone) {
    const CGRect rect = CGRectMake(0, 0, 10, 10);
    MovedRectangles first(&rect, 1, CGPointMake(5, 0)), second(&rect, 1, CGPointMake(50, 0));
    ASSERT_NE(first.region(), nullptr);
    second.setRegion(first.region());
    first.setRegion(nullptr);
    EXPECT_EQ(first.region(), nullptr);
    ASSERT_NE(second.region(), nullptr);
    EXPECT_EQ(second.region()->boxes()[0].x1, 5);

    UpdatedRectangles updated;
    updated.addRectangle(CGRectMake(0, 0, 4, 4));
    EXPECT_EQ(updated.region()->boxCount(), 1u); // validated on the way
    EXPECT_FALSE(updated.needsValidation());
    updated.setRegion(second.region());
    expectRects(rectsOf(updated), {CGRectMake(5, 0, 10, 10)});
    updated.setRegion(nullptr);
    EXPECT_TRUE(updated.isEmpty());
}

TEST(QNRect, DefaultsAndDescription) {
    const QNRect plain;
    EXPECT_FALSE(plain.moved());
    EXPECT_TRUE(CGRectEqualToRect(plain.rect(), CGRectZero));
    EXPECT_FALSE(QNRect(CGRectMake(1, 2, 3, 4)).moved());

    const QNRect moved = QNRect::qnRectWith(CGRectMake(1, 2, 3, 4), true, CGPointMake(5, -6));
    const std::string text = moved.description();
    EXPECT_EQ(text.rfind("QNRect 0x", 0), 0u) << text;
    EXPECT_NE(text.find(": rect: { { 1, 2 }, { 3, 4 } }, moved: YES, delta: { 5, -6 }"), std::string::npos) << text;
    EXPECT_NE(plain.description().find("moved: NO"), std::string::npos);
}
