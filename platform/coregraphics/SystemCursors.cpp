#include "platform/coregraphics/SystemCursors.h"

#include <array>
#include <string_view>

namespace cg {

namespace {

// '#' black, 'o' white, '.' transparent.
CGSCursorImage fromArt(const std::string_view* rows, uint32_t height, CGPoint hotSpot) {
    CGSCursorImage image;
    image.width = uint32_t(rows[0].size());
    image.height = height;
    image.hotSpot = hotSpot;
    image.pixels.assign(size_t(image.width) * height * 4, 0);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < image.width && x < rows[y].size(); ++x) {
            uint8_t* p = &image.pixels[(size_t(y) * image.width + x) * 4];
            if (rows[y][x] == '#') p[3] = 0xFF;
            if (rows[y][x] == 'o') p[0] = p[1] = p[2] = p[3] = 0xFF;
        }
    }
    return image;
}

constexpr std::array<std::string_view, 18> kArrow = {
    "#..........", "##.........", "#o#........", "#oo#.......", "#ooo#......", "#oooo#.....",
    "#ooooo#....", "#oooooo#...", "#ooooooo#..", "#oooooooo#.", "#ooooo#####", "#oo#oo#....",
    "#o#.#oo#...", "##..#oo#...", "#....#oo#..", ".....#oo#..", "......#oo#.", "......###..",
};

constexpr std::array<std::string_view, 18> kIBeam = {
    "##.##", "..#..", "..#..", "..#..", "..#..", "..#..", "..#..", "..#..", "..#..",
    "..#..", "..#..", "..#..", "..#..", "..#..", "..#..", "..#..", "..#..", "##.##",
};

} // namespace

bool CGSCursorImage::isValid() const {
    return width >= 1 && height >= 1 && width <= 1024 && height <= 1024 &&
           pixels.size() == size_t(width) * height * 4 && hotSpot.x >= 0 && hotSpot.y >= 0 &&
           hotSpot.x < width && hotSpot.y < height;
}

const CGSCursorImage& CGSSystemCursorImage(CGSSystemCursor cursor) {
    static const CGSCursorImage arrow = fromArt(kArrow.data(), kArrow.size(), CGPointMake(1, 1));
    static const CGSCursorImage iBeam = fromArt(kIBeam.data(), kIBeam.size(), CGPointMake(2, 9));
    static const CGSCursorImage invisible = [] {
        CGSCursorImage image;
        image.width = image.height = 16;
        image.pixels.assign(16 * 16 * 4, 0);
        return image;
    }();
    switch (cursor) {
    case CGSSystemCursor::iBeam:
        return iBeam;
    case CGSSystemCursor::invisible:
        return invisible;
    case CGSSystemCursor::arrow:
        break;
    }
    return arrow;
}

} // namespace cg
