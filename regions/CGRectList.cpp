#include "regions/CGRectList.h"

#include "platform/core/Log.h"

#include <cmath>

namespace regions {

using namespace cg;

CGRectListRef CGRectListCreate(uint64_t capacity) {
    auto list = std::make_unique<CGRectList>();
    list->capacity = capacity;
    list->rects.resize(capacity);
    return list;
}

CGRectListRef CGRectListCreateWithRects(const CGRect* rects, uint64_t n, bool disjoint) {
    auto list = CGRectListCreate(n);
    for (uint64_t i = 0; rects && i < n; ++i) {
        if (disjoint) CGRectListAdd(*list, rects[i]);
        else CGRectListAppend(*list, rects[i]);
    }
    list->capacity = list->count;
    list->rects.resize(list->count);
    list->rects.shrink_to_fit();
    return list;
}

CGRectListRef CGRectListCopy(const CGRectList& source) {
    auto list = CGRectListCreate(source.count);
    std::copy(source.rects.begin(), source.rects.begin() + static_cast<std::ptrdiff_t>(source.count),
              list->rects.begin());
    list->count = source.count;
    return list;
}

void CGRectListDestroy(CGRectListRef list) { list.reset(); }

void CGRectListInsert(CGRectList& list, uint64_t index, CGRect r) {
    if (index > list.count) {
        platform::log("CGRectListInsert: index %llu beyond count %llu refused", index, list.count);
        return;
    }
    // Grows by one slot at a time by design (the list holds one frame's damage); the
    // vector's own allocation keeps that cheap.
    if (list.count == list.capacity) {
        list.capacity += 1;
        list.rects.resize(list.capacity);
    }
    auto at = list.rects.begin() + static_cast<std::ptrdiff_t>(index);
    std::move_backward(at, list.rects.begin() + static_cast<std::ptrdiff_t>(list.count),
                       list.rects.begin() + static_cast<std::ptrdiff_t>(list.count + 1));
    *at = r;
    list.count += 1;
}

void CGRectListAppend(CGRectList& list, CGRect r) { CGRectListInsert(list, list.count, r); }

void CGRectListDelete(CGRectList& list, uint64_t index) {
    if (index >= list.count) {
        platform::log("CGRectListDelete: index %llu beyond count %llu refused", index, list.count);
        return;
    }
    auto at = list.rects.begin() + static_cast<std::ptrdiff_t>(index);
    std::move(at + 1, list.rects.begin() + static_cast<std::ptrdiff_t>(list.count), at);
    list.count -= 1;
}

void CGRectListClear(CGRectList& list) { list.count = 0; }

uint64_t CGRectListGetLength(const CGRectList& list) { return list.count; }

CGRect CGRectListGetRect(const CGRectList& list, uint64_t index) {
    if (index >= list.count) return CGRectNull;
    return list.rects[index];
}

double CGRectListArea(const CGRectList& list) {
    double area = 0.0;
    for (uint64_t i = 0; i < list.count; ++i) area += list.rects[i].size.width * list.rects[i].size.height;
    return area;
}

double CGRectListCalculateOverlaps(const CGRectList& list) {
    double overlap = 0.0;
    for (uint64_t i = 0; i < list.count; ++i) {
        for (uint64_t j = i + 1; j < list.count; ++j) {
            const CGRect both = CGRectIntersection(CGRectStandardize(list.rects[i]), CGRectStandardize(list.rects[j]));
            if (!CGRectIsNull(both)) overlap += both.size.width * both.size.height;
        }
    }
    return overlap;
}

CGPoint CGRectGetCorner(uint64_t corner, CGRect r) {
    switch (corner) {
    case 0: return CGPointMake(CGRectGetMinX(r), CGRectGetMaxY(r));
    case 1: return CGPointMake(CGRectGetMaxX(r), CGRectGetMaxY(r));
    case 2: return CGPointMake(CGRectGetMinX(r), CGRectGetMinY(r));
    case 3: return CGPointMake(CGRectGetMaxX(r), CGRectGetMinY(r));
    default: return CGPointZero;
    }
}

std::string NSStringFromCGRectList(const CGRectList& list) {
    std::string text = "{\n";
    for (uint64_t i = 0; i < list.count; ++i) text += "\n\t" + NSStringFromRect(list.rects[i]);
    text += "\n}";
    return text;
}

} // namespace regions
