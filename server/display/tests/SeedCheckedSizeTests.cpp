#include "server/display/SeedCheckedSize.h"

#include <gtest/gtest.h>

namespace server {
namespace {

// A seed the test moves and a size it changes, counting the reads.
struct Geometry {
    uint32_t seed = 7;
    cg::CGSize size = cg::CGSizeMake(2048, 1536);
    int reads = 0;
    SeedCheckedSize::Reader reader() {
        return [this] {
            ++reads;
            return size;
        };
    }
};

TEST(SeedCheckedSize, ReadsOnlyWhenTheSeedOrTheKeyMoves) {
    Geometry g;
    SeedCheckedSize cache([&g] { return g.seed; });
    EXPECT_EQ(cache.size(1, g.reader()).width, 2048);
    EXPECT_EQ(cache.size(1, g.reader()).height, 1536);
    EXPECT_EQ(g.reads, 1);

    g.size = cg::CGSizeMake(1024, 768); // reconfigured: the window server moves the seed
    ++g.seed;
    EXPECT_EQ(cache.size(1, g.reader()).width, 1024);
    EXPECT_EQ(g.reads, 2);

    EXPECT_EQ(cache.size(2, g.reader()).width, 1024); // another display
    EXPECT_EQ(g.reads, 3);
    cache.size(2, g.reader());
    EXPECT_EQ(g.reads, 3);
}

TEST(SeedCheckedSize, AnUnknownSeedAndForgetAlwaysRead) {
    Geometry g;
    g.seed = 0; // the window server did not answer
    SeedCheckedSize cache([&g] { return g.seed; });
    cache.size(1, g.reader());
    cache.size(1, g.reader());
    EXPECT_EQ(g.reads, 2);

    g.seed = 3;
    cache.size(1, g.reader());
    cache.forget();
    g.size = cg::CGSizeMake(640, 480);
    EXPECT_EQ(cache.size(1, g.reader()).width, 640);
    EXPECT_EQ(g.reads, 4);
}

TEST(SeedCheckedSize, AReadOverlappingForgetIsNotKept) {
    Geometry g;
    SeedCheckedSize cache([&g] { return g.seed; });
    // The display changes while the old one's size is being read: that size must not be
    // served for the new display under the unchanged seed.
    const cg::CGSize old = cache.size(1, [&] {
        cache.forget();
        return cg::CGSizeMake(800, 600);
    });
    EXPECT_EQ(old.width, 800);
    EXPECT_EQ(cache.size(1, g.reader()).width, 2048);
    EXPECT_EQ(g.reads, 1);
}

} // namespace
} // namespace server
