// Rectangle lists under add, append, subdivide, simplify and decimate. On arbitrary doubles
// (NaN, infinities, huge and tiny values) every operation must end and nothing may crash. On
// whole- or half-pixel rectangles an oracle checks each step against a grid of cells sampled
// at their centres: adding keeps the list disjoint and covering exactly the union with the
// area of the union, subdivide covers exactly the same cells, simplify never uncovers a cell,
// and decimating (the last step; its strips leave the grid) on whole pixels loses none.
#include "fuzz/FuzzSupport.h"
#include "regions/CGRectList.h"
#include "regions/tests/CoverageGrid.h"

#include <bit>
#include <fuzzer/FuzzedDataProvider.h>
#include <random>

using namespace regions;
using namespace cg;

namespace {

constexpr int kCells = 48;    // cells per side of the oracle's grid
constexpr int kMaxSteps = 40; // operations per input

using Grid = regions::testing::CoverageGrid<kCells>;

bool disjoint(const regions::CGRectList& list) {
    for (uint64_t i = 0; i < list.count; ++i)
        for (uint64_t j = i + 1; j < list.count; ++j)
            if (CGRectIntersectsRect(list.rects[i], list.rects[j])) return false;
    return true;
}

// Any 64 bits, so NaN, infinities and subnormals come up as often as ordinary values.
double anyDouble(FuzzedDataProvider& input) {
    return input.ConsumeBool() ? std::bit_cast<double>(input.ConsumeIntegral<uint64_t>())
                               : static_cast<double>(input.ConsumeIntegralInRange<int32_t>(-64, 64)) / 2;
}

CGRect gridRect(FuzzedDataProvider& input, double cell) {
    const int x = input.ConsumeIntegralInRange(0, kCells - 1),
              y = input.ConsumeIntegralInRange(0, kCells - 1);
    const int w = input.ConsumeIntegralInRange(1, kCells - x),
              h = input.ConsumeIntegralInRange(1, kCells - y);
    CGRect r = CGRectMake(x * cell, y * cell, w * cell, h * cell);
    if (input.ConsumeBool())
        r = CGRectMake(r.origin.x + r.size.width, r.origin.y + r.size.height, -r.size.width, -r.size.height);
    return r;
}

constexpr uint64_t kOverlapsEachStep = 64;

void inspect(const regions::CGRectList& list) {
    (void)regions::CGRectListArea(list);
    (void)regions::CGRectListCalculateOverlaps(list);
}

enum Step : uint8_t { kAdd, kAppend, kSubdivide, kSimplify, kDecimate, kStepCount };

void runArbitrary(FuzzedDataProvider& input) {
    auto list = regions::CGRectListCreate(0);
    std::minstd_rand merges(input.ConsumeIntegral<uint32_t>());
    for (int i = 0; i < kMaxSteps && input.remaining_bytes() > 0; ++i) {
        const auto step = static_cast<Step>(input.ConsumeIntegralInRange<int>(0, kStepCount - 1));
        const CGRect r = CGRectMake(anyDouble(input), anyDouble(input), anyDouble(input), anyDouble(input));
        switch (step) {
        case kAdd:
            regions::CGRectListAdd(*list, r);
            break;
        case kAppend:
            regions::CGRectListAppend(*list, r);
            break;
        case kSubdivide:
            regions::CGRectListSubdivide(*list);
            break;
        case kSimplify:
            regions::CGRectListSimplify(
                *list, [&](uint64_t, uint64_t, CGRect, CGRect) { return merges() % 3 == 0; });
            break;
        case kDecimate:
            // Each decimate may multiply the list by its strip count: up to a few hundred
            // rectangles take every path; thousands only made each later step slower.
            if (list->count < 32)
                regions::CGRectListDecimate(*list, input.ConsumeIntegralInRange<uint64_t>(1, 8),
                                            anyDouble(input));
            break;
        default:
            break;
        }
        // The overlap count compares every pair: after each step of a short list, and once
        // at the end, but not after each step of a list a decimate made thousands long (that
        // cost most of an input and tried nothing new).
        if (list->count <= kOverlapsEachStep) inspect(*list);
    }
    if (list->count > kOverlapsEachStep) inspect(*list);
}

void runOnGrid(FuzzedDataProvider& input) {
    const double cell = input.ConsumeBool() ? 1.0 : 0.5;
    auto list = regions::CGRectListCreate(0);
    Grid expected(cell);
    bool mustBeDisjoint = true; // only adds so far
    std::minstd_rand merges(input.ConsumeIntegral<uint32_t>());
    for (int i = 0; i < kMaxSteps && input.remaining_bytes() > 0; ++i) {
        const auto step = static_cast<Step>(input.ConsumeIntegralInRange<int>(0, kStepCount - 1));
        switch (step) {
        case kAdd: {
            const CGRect r = gridRect(input, cell);
            regions::CGRectListAdd(*list, r);
            expected.paint(r);
            const Grid now = Grid::of(*list, cell);
            FUZZ_CHECK(now == expected, "add changed the coverage: " + NSStringFromRect(r));
            if (mustBeDisjoint) {
                FUZZ_CHECK(disjoint(*list), "add left overlaps: " + regions::NSStringFromCGRectList(*list));
                FUZZ_CHECK(regions::CGRectListArea(*list) == expected.area(), "area of a disjoint list");
            }
            break;
        }
        case kAppend: {
            const CGRect r = gridRect(input, cell);
            regions::CGRectListAppend(*list, r);
            expected.paint(r);
            mustBeDisjoint = false;
            break;
        }
        case kSubdivide:
            regions::CGRectListSubdivide(*list);
            FUZZ_CHECK(Grid::of(*list, cell) == expected, "subdivide changed the coverage");
            if (mustBeDisjoint) FUZZ_CHECK(disjoint(*list), "subdivide made a disjoint list overlap");
            break;
        case kSimplify: {
            regions::CGRectListSimplify(
                *list, [&](uint64_t, uint64_t, CGRect, CGRect) { return merges() % 3 == 0; });
            const Grid now = Grid::of(*list, cell);
            FUZZ_CHECK(now.covers(expected), "simplify uncovered a cell");
            expected = now; // unions cover more
            mustBeDisjoint = false;
            break;
        }
        case kDecimate: {
            if (cell != 1.0) break; // a dropped quarter-pixel remainder may hold a half cell's centre
            const uint64_t strips = input.ConsumeIntegralInRange<uint64_t>(1, 8);
            regions::CGRectListDecimate(*list, strips, input.ConsumeIntegralInRange<int>(0, 64));
            FUZZ_CHECK(Grid::of(*list, cell) == expected, "decimate changed the coverage");
            return;
        }
        default:
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool())
        runOnGrid(input);
    else
        runArbitrary(input);
    return 0;
}
