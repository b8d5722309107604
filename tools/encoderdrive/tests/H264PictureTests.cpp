// The drive program's H.264 reader on streams made by hand: updates are taken whole, zero
// records of failed frames are counted, and malformed records are refused.
#include "tools/encoderdrive/H264Picture.h"

#include <gtest/gtest.h>

#include <vector>

namespace encoderdrive {
namespace {

struct Stream {
    std::vector<uint8_t> bytes;
    void header(uint16_t count) { bytes.insert(bytes.end(), {0x20, uint8_t(count), uint8_t(count >> 8)}); }
    void record(uint8_t encoding, const std::vector<uint8_t>& payload) {
        const uint32_t n = uint32_t(payload.size());
        bytes.insert(bytes.end(), {0, 0, 0, 0, 0, 0, 0, 0, encoding, uint8_t(n), uint8_t(n >> 8),
                                   uint8_t(n >> 16), uint8_t(n >> 24)});
        bytes.insert(bytes.end(), payload.begin(), payload.end());
    }
};

TEST(EncoderDriveReader, H264ZeroRecordsOfFailedFramesAreCounted) {
    Stream s;
    s.header(3);
    for (int i = 0; i < 3; ++i)
        s.record(0, {});
    H264Picture picture;
    // Cut inside the last record: nothing is taken until the update is whole.
    ASSERT_TRUE(picture.feed(s.bytes.data(), s.bytes.size() - 1)) << picture.error();
    EXPECT_EQ(picture.emptyRecords(), 0u);
    EXPECT_FALSE(picture.atUpdateBoundary());
    ASSERT_TRUE(picture.feed(&s.bytes.back(), 1)) << picture.error();
    EXPECT_EQ(picture.emptyRecords(), 3u);
    EXPECT_EQ(picture.frames(), 0u);
    EXPECT_TRUE(picture.atUpdateBoundary());
}

TEST(EncoderDriveReader, H264RefusesMalformedRecords) {
    auto refused = [](const Stream& s) {
        H264Picture picture;
        EXPECT_FALSE(picture.feed(s.bytes.data(), s.bytes.size()));
        EXPECT_FALSE(picture.error().empty());
    };
    Stream nalPastEnd; // a NAL length beyond its record
    nalPastEnd.header(1);
    nalPastEnd.record(20, {0, 0, 0, 9, 0x65, 1});
    refused(nalPastEnd);
    Stream cutLength;
    cutLength.header(1);
    cutLength.record(20, {0, 0});
    refused(cutLength);
    Stream emptySet;
    emptySet.header(1);
    emptySet.record(21, {});
    refused(emptySet);
    Stream unknown;
    unknown.header(1);
    unknown.record(4, {1, 2, 3});
    refused(unknown);
    Stream huge;
    huge.header(1);
    huge.bytes.insert(huge.bytes.end(), {0, 0, 0, 0, 0, 0, 0, 0, 20, 0xFF, 0xFF, 0xFF, 0xFF});
    refused(huge);
}

TEST(EncoderDriveReader, LumaPsnrUsesLimitedRangeBT601) {
    // White is luma 235, black 16.
    const std::vector<uint8_t> bgrx = {255, 255, 255, 255, 0, 0, 0, 255};
    const std::vector<uint8_t> exact = {235, 16};
    EXPECT_EQ(lumaPsnr(exact.data(), 2, 1, bgrx.data(), 8), 99.0);
    const std::vector<uint8_t> fullRange = {255, 0};
    EXPECT_LT(lumaPsnr(fullRange.data(), 2, 1, bgrx.data(), 8), 25.0);
}

} // namespace
} // namespace encoderdrive
