// The drive program's RTP reader: packets made here by hand are put together into frames only
// when whole and in order, a BYE is found in a compound RTCP datagram, and a frame's block and
// JPEG records are read (the picture painted) or refused when malformed.
#include "tools/encoderdrive/RTPPicture.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

namespace encoderdrive {
namespace {

std::vector<uint8_t> packet(uint16_t sequence, uint32_t timestamp, bool marker, uint8_t index, uint8_t count,
                            const std::vector<uint8_t>& piece, uint32_t ssrc = 0x11223344) {
    std::vector<uint8_t> p{0x80,
                           uint8_t((marker ? 0x80 : 0) | 125),
                           uint8_t(sequence >> 8),
                           uint8_t(sequence),
                           uint8_t(timestamp >> 24),
                           uint8_t(timestamp >> 16),
                           uint8_t(timestamp >> 8),
                           uint8_t(timestamp),
                           uint8_t(ssrc >> 24),
                           uint8_t(ssrc >> 16),
                           uint8_t(ssrc >> 8),
                           uint8_t(ssrc),
                           index,
                           count};
    p.insert(p.end(), piece.begin(), piece.end());
    return p;
}

std::optional<std::vector<uint8_t>> take(RTPFrameAssembler& a, const std::vector<uint8_t>& p) {
    return a.take(p.data(), p.size());
}

TEST(RTPPicture, FramesArePutTogetherOnlyWhenWholeAndInOrder) {
    RTPFrameAssembler a;
    EXPECT_FALSE(take(a, packet(1, 100, true, 0, 2, {1, 2})));
    auto frame = take(a, packet(2, 100, false, 1, 2, {3}));
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, (std::vector<uint8_t>{1, 2, 3}));
    // A one-packet frame.
    EXPECT_EQ(take(a, packet(3, 200, true, 0, 1, {9})), (std::vector<uint8_t>{9}));
    // A frame whose second piece never came: the next marker starts anew.
    EXPECT_FALSE(take(a, packet(4, 300, true, 0, 2, {1})));
    EXPECT_FALSE(take(a, packet(5, 400, true, 0, 2, {5})));
    // A piece of another timestamp does not finish it.
    EXPECT_FALSE(take(a, packet(6, 401, false, 1, 2, {6})));
    EXPECT_EQ(a.frames(), 2u);
    EXPECT_EQ(a.broken(), 2u);
    EXPECT_EQ(a.packets(), 6u);
    EXPECT_TRUE(a.inSequence());
    EXPECT_FALSE(take(a, packet(8, 500, true, 0, 2, {1})));
    EXPECT_FALSE(a.inSequence()) << "sequence 7 is missing";
    // Too short for a header, or for the piece's two bytes: nothing.
    EXPECT_FALSE(a.take(nullptr, 0));
    EXPECT_FALSE(take(a, std::vector<uint8_t>(12, 0x80)));
}

TEST(RTPPicture, FindsTheByeReasonInACompoundPacket) {
    // An empty receiver report, then a BYE of one source with its reason.
    std::vector<uint8_t> rtcp{0x80, 201, 0, 1, 0, 0, 0, 1};
    const std::string reason = "End transmission";
    std::vector<uint8_t> bye{0x81, 203, 0, 0, 0, 0, 0, 1, uint8_t(reason.size())};
    bye.insert(bye.end(), reason.begin(), reason.end());
    while (bye.size() % 4)
        bye.push_back(0);
    bye[3] = uint8_t(bye.size() / 4 - 1);
    rtcp.insert(rtcp.end(), bye.begin(), bye.end());
    EXPECT_EQ(rtcpByeReason(rtcp.data(), rtcp.size()), reason);
    EXPECT_FALSE(rtcpByeReason(rtcp.data(), 8)) << "no BYE in the report alone";
    EXPECT_FALSE(rtcpByeReason(rtcp.data(), rtcp.size() - 4)) << "a BYE cut short";
}

std::vector<uint8_t> block(uint16_t width, uint16_t height) {
    std::vector<uint8_t> b{0x79, 61, 0, 1, 3, 0, 1, 1, 0, 0, 3, 0, 1, 0};
    b.resize(50, 0);
    b.insert(b.end(), {16, 0, 0, 0, 0, uint8_t(width), uint8_t(width >> 8), uint8_t(height),
                       uint8_t(height >> 8), 0, 0});
    return b;
}

std::vector<uint8_t> grey(int w, int h, uint8_t value) {
    std::vector<uint8_t> pixels(size_t(w) * size_t(h) * 4, value);
    tjhandle c = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompress2(c, pixels.data(), w, w * 4, h, TJPF_BGRX, &out, &size, TJSAMP_420, 99, 0), 0);
    std::vector<uint8_t> bytes(out, out + size);
    tjFree(out);
    tjDestroy(c);
    return bytes;
}

void record(std::vector<uint8_t>& frame, uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint8_t encoding,
            const std::vector<uint8_t>& image, size_t lossy = 0) {
    const uint32_t n = uint32_t(image.size());
    frame.insert(frame.end(), {uint8_t(x), uint8_t(x >> 8), uint8_t(y), uint8_t(y >> 8), uint8_t(w),
                               uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), encoding, uint8_t(n),
                               uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
    frame.insert(frame.end(), lossy, 7);
    frame.insert(frame.end(), image.begin(), image.end());
}

TEST(RTPPicture, PaintsTheFramesJPEGRecordsAndReadsTheBlocksSize) {
    RTPPicture picture(32, 16);
    std::vector<uint8_t> frame = block(32, 16);
    frame.insert(frame.end(), {3, 0});
    record(frame, 0, 0, 16, 16, 4, grey(16, 16, 200));
    record(frame, 16, 0, 16, 16, 15, grey(16, 16, 50), 9); // a lossy point, then JPEG: skipped
    record(frame, 16, 8, 16, 8, 4, grey(16, 8, 90));
    frame.insert(frame.end(), {0x55, 0x66}); // what follows the update (a cursor image)
    ASSERT_TRUE(picture.feedFrame(frame)) << picture.error();
    EXPECT_EQ(picture.width(), 32);
    EXPECT_EQ(picture.height(), 16);
    EXPECT_EQ(picture.frames(), 1u);
    EXPECT_EQ(picture.counts().records, 2u);
    EXPECT_EQ(picture.stripsSinceChange(), 0u);
    auto at = [&](size_t x, size_t y) { return picture.pixels()[(y * 32 + x) * 4 + 1]; };
    EXPECT_NEAR(at(4, 4), 200, 2);
    EXPECT_EQ(at(20, 2), 0) << "the lossy record is not painted";
    EXPECT_NEAR(at(20, 12), 90, 2);
    // An empty update is a frame too, after a heartbeat the session wrote between updates.
    std::vector<uint8_t> empty{0x20, 0, 0};
    const auto opening = block(32, 16);
    empty.insert(empty.end(), opening.begin(), opening.end());
    empty.insert(empty.end(), {0, 0});
    EXPECT_TRUE(picture.feedFrame(empty)) << picture.error();
    EXPECT_EQ(picture.frames(), 2u);
    // Two raster strips (whole rows, four high) count until another record comes.
    std::vector<uint8_t> strips = block(32, 16);
    strips.insert(strips.end(), {2, 0});
    record(strips, 0, 0, 32, 4, 4, grey(32, 4, 10));
    record(strips, 0, 4, 32, 4, 4, grey(32, 4, 10));
    ASSERT_TRUE(picture.feedFrame(strips)) << picture.error();
    EXPECT_EQ(picture.stripsSinceChange(), 2u);
    ASSERT_TRUE(picture.feedFrame(frame));
    EXPECT_EQ(picture.stripsSinceChange(), 0u);
}

TEST(RTPPicture, RefusesMalformedFrames) {
    std::vector<uint8_t> good = block(8, 8);
    good.insert(good.end(), {1, 0});
    record(good, 0, 0, 8, 8, 4, grey(8, 8, 10));
    auto refused = [](std::vector<uint8_t> frame) {
        RTPPicture picture(8, 8);
        const bool ok = picture.feedFrame(frame);
        EXPECT_FALSE(picture.error().empty() && !ok);
        return !ok;
    };
    EXPECT_FALSE(refused(good));
    EXPECT_TRUE(refused({0x79, 61}));
    auto wrongType = good;
    wrongType[0] = 0x78;
    EXPECT_TRUE(refused(wrongType));
    auto wrongRecord = good;
    wrongRecord[4] = 2;
    EXPECT_TRUE(refused(wrongRecord));
    auto noResolution = good;
    noResolution[50] = 0;
    EXPECT_TRUE(refused(noResolution));
    auto cut = good;
    cut.pop_back();
    EXPECT_TRUE(refused(cut));
    auto tooMany = good;
    tooMany[61] = 2;
    EXPECT_TRUE(refused(tooMany));
    auto huge = good;
    huge[61 + 2 + 12] = 0xFF; // a length of about 4 GiB
    EXPECT_TRUE(refused(huge));
    auto unknown = good;
    unknown[61 + 2 + 8] = 6;
    EXPECT_TRUE(refused(unknown));
}

} // namespace
} // namespace encoderdrive
