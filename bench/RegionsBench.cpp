// The rectangle-list operations of one frame's preparation on a realistic damage list: a
// few hundred changed areas of a 1440 by 900 display, clustered as typing, scrolling and
// redrawn controls leave them, many overlapping or sharing edges.
#include "regions/CGRectList.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

using namespace regions;
using namespace cg;

namespace {

constexpr double kDisplayWidth = 1440, kDisplayHeight = 900;
constexpr uint64_t kStrips = 4;
constexpr double kMaximumStripArea = 131072.0;

std::vector<CGRect> damage(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<CGRect> centres;
    for (int i = 0; i < 12; ++i) centres.push_back(CGRectMake(unit(random) * kDisplayWidth, unit(random) * kDisplayHeight, 0, 0));
    std::vector<CGRect> rects;
    for (size_t i = 0; i < count; ++i) {
        const CGRect& c = centres[i % centres.size()];
        // Whole pixels, as the window server reports them; mostly small, a few large.
        const double w = std::floor(8 + unit(random) * (i % 17 == 0 ? 600 : 120));
        const double h = std::floor(8 + unit(random) * (i % 13 == 0 ? 400 : 40));
        const double x = std::floor(std::clamp(c.origin.x + (unit(random) - 0.5) * 240, 0.0, kDisplayWidth - w));
        const double y = std::floor(std::clamp(c.origin.y + (unit(random) - 0.5) * 160, 0.0, kDisplayHeight - h));
        rects.push_back(CGRectMake(x, y, w, h));
    }
    return rects;
}

regions::CGRectListRef appended(const std::vector<CGRect>& rects) {
    return regions::CGRectListCreateWithRects(rects.data(), rects.size(), false);
}

bool worthMerging(uint64_t, uint64_t, CGRect a, CGRect b) {
    const CGRect u = CGRectUnion(a, b);
    return a.size.width * a.size.height + b.size.width * b.size.height > 0.8 * u.size.width * u.size.height;
}

void reportShape(benchmark::State& state, size_t in, const regions::CGRectList& out) {
    state.counters["rects_in"] = static_cast<double>(in);
    state.counters["rects_out"] = static_cast<double>(out.count);
    state.counters["out_per_in"] = static_cast<double>(out.count) / static_cast<double>(in);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in));
}

void BM_CGRectListAdd(benchmark::State& state) {
    const auto rects = damage(static_cast<size_t>(state.range(0)), 1);
    regions::CGRectListRef list;
    for (auto _ : state) {
        list = regions::CGRectListCreate(0);
        for (const CGRect& r : rects) regions::CGRectListAdd(*list, r);
        benchmark::DoNotOptimize(list->count);
    }
    reportShape(state, rects.size(), *list);
}

void BM_CGRectListSimplify(benchmark::State& state) {
    const auto rects = damage(static_cast<size_t>(state.range(0)), 2);
    regions::CGRectListRef list;
    for (auto _ : state) {
        list = appended(rects);
        benchmark::DoNotOptimize(regions::CGRectListSimplify(*list, worthMerging));
    }
    reportShape(state, rects.size(), *list);
}

void BM_CGRectListSubdivide(benchmark::State& state) {
    const auto rects = damage(static_cast<size_t>(state.range(0)), 3);
    regions::CGRectListRef list;
    for (auto _ : state) {
        list = appended(rects);
        regions::CGRectListSubdivide(*list);
        benchmark::DoNotOptimize(list->count);
    }
    reportShape(state, rects.size(), *list);
    state.counters["overlap_left"] = regions::CGRectListCalculateOverlaps(*list);
}

// The whole preparation of a frame: merge, make disjoint, cut into strips.
void BM_FramePreparation(benchmark::State& state) {
    const auto rects = damage(static_cast<size_t>(state.range(0)), 4);
    regions::CGRectListRef list;
    for (auto _ : state) {
        list = regions::CGRectListCreate(0);
        for (const CGRect& r : rects) regions::CGRectListAdd(*list, r);
        regions::CGRectListSimplify(*list, worthMerging);
        regions::CGRectListSubdivide(*list);
        regions::CGRectListDecimate(*list, kStrips, kMaximumStripArea);
        benchmark::DoNotOptimize(list->count);
    }
    reportShape(state, rects.size(), *list);
}

} // namespace

BENCHMARK(BM_CGRectListAdd)->Arg(100)->Arg(300);
BENCHMARK(BM_CGRectListSimplify)->Arg(100)->Arg(300);
BENCHMARK(BM_CGRectListSubdivide)->Arg(100)->Arg(300);
BENCHMARK(BM_FramePreparation)->Arg(300);

BENCHMARK_MAIN();
