#include "platform/windowserver/StreamCopy.h"

#include <gtest/gtest.h>

#include <vector>

namespace windowserver {
namespace {

struct Plane {
    Plane(uint32_t w, uint32_t h, uint32_t fill) : bytesPerRow((uint64_t(w) * 4 + 63) / 64 * 64 + 64) {
        words.assign(size_t(bytesPerRow / 4) * h, fill);
        plane = PixelPlane{reinterpret_cast<uint8_t*>(words.data()), w, h, bytesPerRow};
    }
    uint32_t at(uint32_t x, uint32_t y) const { return words[size_t(y) * (bytesPerRow / 4) + x]; }
    uint64_t bytesPerRow;
    std::vector<uint32_t> words;
    PixelPlane plane;
};

Plane pattern(uint32_t w, uint32_t h) {
    Plane p(w, h, 0);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            p.words[size_t(y) * (p.bytesPerRow / 4) + x] = 0xFF000000u | (x * 2654435761u ^ y * 40503u);
    return p;
}

// The copy as one pixman call over the whole target, clipped to the region: what the bands
// must add up to.
void referenceCopy(const PixelPlane& source, const PixelPlane& target, pixman_region32_t* region) {
    pixman_image_t* src =
        pixman_image_create_bits(PIXMAN_x8r8g8b8, int(source.width), int(source.height),
                                 reinterpret_cast<uint32_t*>(source.bytes), int(source.bytesPerRow));
    pixman_image_t* dst =
        pixman_image_create_bits(PIXMAN_a8r8g8b8, int(target.width), int(target.height),
                                 reinterpret_cast<uint32_t*>(target.bytes), int(target.bytesPerRow));
    pixman_transform_t t;
    pixman_transform_init_scale(&t, pixman_double_to_fixed(double(source.width) / target.width),
                                pixman_double_to_fixed(double(source.height) / target.height));
    pixman_image_set_transform(src, &t);
    pixman_image_set_filter(src, PIXMAN_FILTER_NEAREST, nullptr, 0);
    pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
    pixman_image_set_clip_region32(dst, region);
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, int32_t(target.width),
                             int32_t(target.height));
    pixman_image_unref(dst);
    pixman_image_unref(src);
}

void expectBandsMatchReference(uint32_t sw, uint32_t sh, uint32_t tw, uint32_t th,
                               const std::vector<pixman_box32_t>& boxes) {
    Plane source = pattern(sw, sh);
    Plane banded(tw, th, 0x12345678), reference(tw, th, 0x12345678);
    pixman_region32_t region;
    pixman_region32_init_rects(&region, boxes.data(), int(boxes.size()));
    ASSERT_GE(int64_t(tw) * th, kBandedCopyPixels);
    ComposePool pool(3);
    copyStaleRegion(pool, source.plane, banded.plane, &region);
    referenceCopy(source.plane, reference.plane, &region);
    pixman_region32_fini(&region);
    size_t differing = 0, untouched = 0;
    for (uint32_t y = 0; y < th; ++y)
        for (uint32_t x = 0; x < tw; ++x) {
            differing += banded.at(x, y) != reference.at(x, y);
            untouched += banded.at(x, y) == 0x12345678u;
        }
    EXPECT_EQ(differing, 0u);
    EXPECT_GT(untouched, 0u) << "pixels outside the region keep what they had";
    EXPECT_GT(pool.threads(), 0u) << "a display-sized copy is shared out";
}

TEST(StreamCopy, BandsOfALargeRegionWithHolesAddUpToTheWholeCopy) {
    expectBandsMatchReference(1024, 768, 1024, 768,
                              {{0, 0, 1024, 300}, {0, 300, 500, 301}, {600, 301, 1000, 767}});
}

TEST(StreamCopy, BandsOfAScaledCopyPickTheSameNearestPixels) {
    expectBandsMatchReference(1440, 900, 1000, 700, {{0, 0, 1000, 699}});
}

} // namespace
} // namespace windowserver
