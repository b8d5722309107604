// Adding must end on any finite rectangles. Some pairs cannot be cut apart in double
// arithmetic: an edge computed as origin + size lands a sliver away from where a cut put it,
// or a huge size swallows an origin, and the same pieces come back from every cut. Each cut
// is counted here and an add that goes past a generous limit is abandoned with an
// exception, so such a case fails instead of hanging.
#include "regions/CGRectList.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

using namespace regions;
using namespace cg;

namespace {

constexpr uint64_t kCutLimit = 10000;

class CutLimit {
  public:
    CutLimit() {
        s_cuts = 0;
        CGRectListSetCutObserver(&count);
    }
    ~CutLimit() { CGRectListSetCutObserver(nullptr); }
    CutLimit(const CutLimit&) = delete;
    CutLimit& operator=(const CutLimit&) = delete;

  private:
    static void count(CGRect, CGRect) {
        if (++s_cuts > kCutLimit) throw std::runtime_error("adding went on past the cut limit");
    }
    static inline uint64_t s_cuts = 0;
};

bool inList(const CGRectList& list, CGPoint p) {
    for (uint64_t i = 0; i < list.count; ++i)
        if (CGRectContainsPoint(list.rects[i], p)) return true;
    return false;
}

// Every half-pixel point near the pair's meeting place that either rectangle holds is still
// held by the list.
void expectCovered(const CGRectList& list, CGRect first, CGRect second) {
    for (double y = -64; y <= 16; y += 0.5) {
        for (double x = -20; x <= 50; x += 0.5) {
            const CGPoint p = CGPointMake(x, y);
            if (CGRectContainsPoint(first, p) || CGRectContainsPoint(second, p)) {
                ASSERT_TRUE(inList(list, p))
                    << NSStringFromPoint(p) << " lost from " << NSStringFromCGRectList(list);
            }
        }
    }
}

} // namespace

class CGRectListTermination : public testing::TestWithParam<std::pair<CGRect, CGRect>> {};

TEST_P(CGRectListTermination, AddEndsOnAPairThatRoundingCannotCutApart) {
    platform::LogCapture quiet(true);
    const auto [first, second] = GetParam();
    CutLimit limit;
    auto list = CGRectListCreate(0);
    CGRectListAdd(*list, first);
    ASSERT_NO_THROW(CGRectListAdd(*list, second));
    EXPECT_LE(list->count, 3u) << NSStringFromCGRectList(*list);
    expectCovered(*list, first, second);
    // Adding either again still ends, and keeps the list as short.
    ASSERT_NO_THROW(CGRectListAdd(*list, first));
    ASSERT_NO_THROW(CGRectListAdd(*list, second));
    EXPECT_LE(list->count, 3u) << NSStringFromCGRectList(*list);
    expectCovered(*list, first, second);
}

TEST_P(CGRectListTermination, SubdivideAndCreateWithRectsEndOnTheSamePair) {
    platform::LogCapture quiet(true);
    const auto [first, second] = GetParam();
    CutLimit limit;
    const CGRect rects[] = {first, second, CGRectMake(-5, -5, 20, 20)};
    auto plain = CGRectListCreateWithRects(rects, 3, false);
    ASSERT_NO_THROW(CGRectListSubdivide(*plain));
    expectCovered(*plain, first, second);
    CGRectListRef created;
    ASSERT_NO_THROW(created = CGRectListCreateWithRects(rects, 3, true));
    expectCovered(*created, first, second);
    EXPECT_EQ(created->capacity, created->count);
}

// The pairs of the fault, each added in this order.
INSTANTIATE_TEST_SUITE_P(
    RoundingPairs, CGRectListTermination,
    testing::Values(std::pair{CGRectMake(5.5, 9, 28, -3e38), CGRectMake(44.5, -7, -52, -52)},
                    std::pair{CGRectMake(0.1, 0.1, 0.1, 0.1), CGRectMake(0.1, 0.1, -682943488, -52)},
                    std::pair{CGRectMake(-15, -6.4e-216, 21.5, 14),
                              CGRectMake(-1.2e-279, 1.4e-314, -52, -52)}));
