// The drive program's reader: streams made here by hand (TurboJPEG, zlib) are painted where
// their records say, counted by kind, read alike in any cut, and refused when malformed.
#include "tools/encoderdrive/VellPicture.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <cstring>

namespace encoderdrive {
namespace {

std::vector<uint8_t> solid(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> p(size_t(w) * size_t(h) * 4);
    for (size_t i = 0; i < p.size(); i += 4) {
        p[i] = b;
        p[i + 1] = g;
        p[i + 2] = r;
        p[i + 3] = 0xFF;
    }
    return p;
}

std::vector<uint8_t> jpeg(const std::vector<uint8_t>& pixels, int w, int h, int quality) {
    tjhandle c = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompress2(c, pixels.data(), w, w * 4, h, TJPF_BGRX, &out, &size, TJSAMP_420, quality, 0), 0);
    std::vector<uint8_t> bytes(out, out + size);
    tjFree(out);
    tjDestroy(c);
    return bytes;
}

struct Stream {
    std::vector<uint8_t> bytes;
    void header(uint16_t count) { bytes.insert(bytes.end(), {0x20, uint8_t(count), uint8_t(count >> 8)}); }
    void record(int16_t x, int16_t y, uint16_t w, uint16_t h, uint8_t encoding,
                const std::vector<uint8_t>& payload) {
        const uint32_t n = uint32_t(payload.size());
        bytes.insert(bytes.end(),
                     {uint8_t(x), uint8_t(uint16_t(x) >> 8), uint8_t(y), uint8_t(uint16_t(y) >> 8),
                      uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), encoding, uint8_t(n),
                      uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
        bytes.insert(bytes.end(), payload.begin(), payload.end());
    }
};

const uint8_t* pixelAt(const VellPicture& p, size_t x, size_t y) {
    return &p.pixels()[(y * p.width() + x) * 4];
}

// A stream of every record kind: a high-quality JPEG, a low-quality one, a squeezed one, two
// zlib records of one deflate stream, a copy and a dummy.
Stream everyKind() {
    Stream s;
    s.header(4);
    s.record(0, 0, 16, 16, 4, jpeg(solid(16, 16, 200, 100, 50), 16, 16, 98));
    s.record(16, 0, 16, 16, 4, jpeg(solid(16, 16, 10, 20, 30), 16, 16, 20));
    s.record(0, 16, 15, 9, 14, jpeg(solid(8, 5, 90, 90, 90), 8, 5, 30));
    s.record(0, 0, 0, 0, 2, {});
    z_stream z{};
    deflateInit(&z, Z_DEFAULT_COMPRESSION);
    auto zlibRecord = [&](const std::vector<uint8_t>& rows) {
        std::vector<uint8_t> out(rows.size() + 256);
        z.next_in = const_cast<Bytef*>(rows.data());
        z.avail_in = uInt(rows.size());
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
        return std::vector<uint8_t>(out.data(), z.next_out);
    };
    s.header(3);
    s.record(32, 0, 4, 4, 0, zlibRecord(solid(4, 4, 1, 2, 3)));
    s.record(36, 0, 4, 4, 0, zlibRecord(solid(4, 4, 4, 5, 6)));
    // The high-quality square moved 20 right and 20 down.
    s.record(20, 20, 8, 8, 1, {20, 0, 20, 0});
    deflateEnd(&z);
    return s;
}

void expectNear(const uint8_t* p, int b, int g, int r) {
    EXPECT_NEAR(p[0], b, 4);
    EXPECT_NEAR(p[1], g, 4);
    EXPECT_NEAR(p[2], r, 4);
}

TEST(EncoderDriveReader, PaintsAndCountsEveryRecordKind) {
    VellPicture picture(48, 32);
    const Stream s = everyKind();
    ASSERT_TRUE(picture.feed(s.bytes.data(), s.bytes.size())) << picture.error();
    EXPECT_TRUE(picture.atUpdateBoundary());
    const RecordCounts& c = picture.counts();
    EXPECT_EQ(c.updates, 2u);
    EXPECT_EQ(c.records, 7u);
    EXPECT_EQ(c.highQuality, 1u);
    EXPECT_EQ(c.lowQuality, 1u);
    EXPECT_EQ(c.squeezed, 1u);
    EXPECT_EQ(c.zlib, 2u);
    EXPECT_EQ(c.copies, 1u);
    EXPECT_EQ(c.dummies, 1u);
    expectNear(pixelAt(picture, 5, 5), 200, 100, 50);
    expectNear(pixelAt(picture, 20, 5), 10, 20, 30);
    expectNear(pixelAt(picture, 14, 24), 90, 90, 90); // the squeezed record's full size
    expectNear(pixelAt(picture, 33, 3), 1, 2, 3);
    expectNear(pixelAt(picture, 39, 3), 4, 5, 6);       // the second record's rows, one inflater
    expectNear(pixelAt(picture, 27, 27), 200, 100, 50); // the copy
    expectNear(pixelAt(picture, 47, 31), 0, 0, 0);
}

TEST(EncoderDriveReader, ReadsAlikeInAnyCut) {
    const Stream s = everyKind();
    VellPicture whole(48, 32), pieces(48, 32);
    ASSERT_TRUE(whole.feed(s.bytes.data(), s.bytes.size()));
    for (size_t i = 0; i < s.bytes.size(); ++i) {
        ASSERT_TRUE(pieces.feed(&s.bytes[i], 1)) << pieces.error();
        if (i == 1) {
            EXPECT_FALSE(pieces.atUpdateBoundary()); // inside the first header
        }
    }
    EXPECT_EQ(pieces.counts().records, whole.counts().records);
    EXPECT_EQ(pieces.pixels(), whole.pixels());
    EXPECT_TRUE(pieces.atUpdateBoundary());
}

TEST(EncoderDriveReader, RefusesMalformedRecords) {
    auto refused = [](const Stream& s) {
        VellPicture picture(16, 16);
        EXPECT_FALSE(picture.feed(s.bytes.data(), s.bytes.size()));
        EXPECT_FALSE(picture.error().empty());
        // Nothing after a refusal.
        EXPECT_FALSE(picture.feed(s.bytes.data(), 0));
    };
    Stream huge;
    huge.header(1);
    huge.bytes.insert(huge.bytes.end(), {0, 0, 0, 0, 8, 0, 8, 0, 4, 0xFF, 0xFF, 0xFF, 0xFF});
    refused(huge);
    Stream wrongSize; // a 16 × 16 JPEG in an 8 × 8 record
    wrongSize.header(1);
    wrongSize.record(0, 0, 8, 8, 4, jpeg(solid(16, 16, 1, 1, 1), 16, 16, 90));
    refused(wrongSize);
    Stream garbage;
    garbage.header(1);
    garbage.record(0, 0, 8, 8, 4, {0xFF, 0xD8, 1, 2, 3});
    refused(garbage);
    Stream unknown;
    unknown.header(1);
    unknown.record(0, 0, 8, 8, 99, {});
    refused(unknown);
    Stream badZlib;
    badZlib.header(1);
    badZlib.record(0, 0, 4, 4, 0, {1, 2, 3, 4});
    refused(badZlib);
    Stream shortCopy;
    shortCopy.header(1);
    shortCopy.record(0, 0, 4, 4, 1, {1, 0});
    refused(shortCopy);
}

// A zlib record whose payload cannot inflate to its rectangle is refused by its size, before
// its rectangle is made; one that can is still read.
TEST(EncoderDriveReader, RefusesZlibRecordsTooShortForTheirRectangle) {
    Stream huge;
    huge.header(1);
    huge.record(0, 0, 16384, 16384, 0, {0x78, 0x9C, 1, 2});
    VellPicture picture(16, 16);
    EXPECT_FALSE(picture.feed(huge.bytes.data(), huge.bytes.size()));
    EXPECT_EQ(picture.error(), "a zlib record of 4 bytes for 16384 x 16384");

    // A solid 512 x 512 rectangle, deflated as tightly as zlib can, is within the bound.
    const std::vector<uint8_t> rows = solid(512, 512, 9, 8, 7);
    z_stream z{};
    ASSERT_EQ(deflateInit(&z, 9), Z_OK);
    std::vector<uint8_t> packed(deflateBound(&z, uLong(rows.size())) + 16);
    z.next_in = const_cast<Bytef*>(rows.data());
    z.avail_in = uInt(rows.size());
    z.next_out = packed.data();
    z.avail_out = uInt(packed.size());
    ASSERT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
    packed.resize(size_t(z.next_out - packed.data()));
    deflateEnd(&z);
    Stream solidRecord;
    solidRecord.header(1);
    solidRecord.record(0, 0, 512, 512, 0, packed);
    VellPicture big(16, 16);
    ASSERT_TRUE(big.feed(solidRecord.bytes.data(), solidRecord.bytes.size())) << big.error();
    expectNear(pixelAt(big, 15, 15), 9, 8, 7);
}

TEST(EncoderDriveReader, OffPictureRecordsAreClipped) {
    VellPicture picture(8, 8);
    Stream s;
    s.header(2);
    s.record(-8, -8, 16, 16, 4, jpeg(solid(16, 16, 60, 60, 60), 16, 16, 98));
    s.record(30000, 30000, 16, 16, 1, {0, 0x80, 0, 0x80});
    ASSERT_TRUE(picture.feed(s.bytes.data(), s.bytes.size())) << picture.error();
    expectNear(pixelAt(picture, 7, 7), 60, 60, 60);
}

TEST(EncoderDriveReader, PsnrOfEqualAndDifferentPictures) {
    const auto a = solid(4, 4, 10, 10, 10);
    auto b = a;
    EXPECT_EQ(psnr(a.data(), 16, b.data(), 16, 4, 4), 99.0);
    b[3] = 0; // the fourth byte is not compared
    EXPECT_EQ(psnr(a.data(), 16, b.data(), 16, 4, 4), 99.0);
    for (size_t i = 0; i < b.size(); ++i)
        if (i % 4 != 3) b[i] = 11;
    EXPECT_NEAR(psnr(a.data(), 16, b.data(), 16, 4, 4), 48.13, 0.01);
}

} // namespace
} // namespace encoderdrive
