#include "platform/windowserver/StreamCopy.h"

#include <algorithm>
#include <vector>

namespace windowserver {

namespace {

constexpr int32_t kBands = 4; // the compose threads and the caller

// One pixman copy of the part of region inside rows [top, bottom) of the target. Each band
// makes its own images: pixman images are not shared between threads.
void copyBand(const PixelPlane& source, const PixelPlane& target, pixman_region32_t* region, int32_t top,
              int32_t bottom, pixman_format_code_t sourceFormat) {
    pixman_region32_t band;
    pixman_region32_init_rect(&band, 0, top, target.width, uint32_t(bottom - top));
    pixman_region32_intersect(&band, &band, region);
    if (pixman_region32_not_empty(&band)) {
        pixman_image_t* src =
            pixman_image_create_bits(sourceFormat, int(source.width), int(source.height),
                                     reinterpret_cast<uint32_t*>(source.bytes), int(source.bytesPerRow));
        pixman_image_t* dst =
            pixman_image_create_bits(PIXMAN_a8r8g8b8, int(target.width), int(target.height),
                                     reinterpret_cast<uint32_t*>(target.bytes), int(target.bytesPerRow));
        if (source.width != target.width || source.height != target.height) {
            pixman_transform_t t;
            pixman_transform_init_scale(&t, pixman_double_to_fixed(double(source.width) / target.width),
                                        pixman_double_to_fixed(double(source.height) / target.height));
            pixman_image_set_transform(src, &t);
            pixman_image_set_filter(src, PIXMAN_FILTER_NEAREST, nullptr, 0);
            pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
        }
        pixman_image_set_clip_region32(dst, &band);
        pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, top, 0, 0, 0, top,
                                 int32_t(target.width), bottom - top);
        pixman_image_unref(dst);
        pixman_image_unref(src);
    }
    pixman_region32_fini(&band);
}

} // namespace

void copyStaleRegion(ComposePool& pool, const PixelPlane& source, const PixelPlane& target,
                     pixman_region32_t* region, pixman_format_code_t sourceFormat) {
    if (!pixman_region32_not_empty(region) || target.width == 0 || target.height == 0) return;
    const pixman_box32_t* extent = pixman_region32_extents(region);
    const int32_t top = std::max(extent->y1, 0), bottom = std::min(extent->y2, int32_t(target.height));
    if (bottom <= top) return;
    const int64_t area = int64_t(extent->x2 - extent->x1) * (bottom - top);
    const int32_t bands = area >= kBandedCopyPixels ? std::min(kBands, bottom - top) : 1;
    if (bands == 1) {
        copyBand(source, target, region, top, bottom, sourceFormat);
        return;
    }
    std::vector<ComposePool::Task> tasks;
    for (int32_t b = 0; b < bands; ++b) {
        const int32_t from = top + int32_t(int64_t(bottom - top) * b / bands);
        const int32_t to = top + int32_t(int64_t(bottom - top) * (b + 1) / bands);
        tasks.push_back([&source, &target, region, from, to, sourceFormat] {
            copyBand(source, target, region, from, to, sourceFormat);
        });
    }
    pool.run(tasks);
}

} // namespace windowserver
