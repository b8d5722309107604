#include "platform/foundation/MD5.h"
#include "platform/foundation/NSXMLDocument.h"
#include "platform/foundation/PNG.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string hex(const platform::MD5Digest& d) {
    std::string out;
    char buf[3];
    for (uint8_t b : d) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

// A 3 x 2 BGRA image with varied alpha, rows padded to 16 bytes.
std::vector<uint8_t> sampleBGRA() {
    std::vector<uint8_t> px(16 * 2, 0xEE);
    const uint8_t rows[2][12] = {{10, 20, 30, 255, 0, 0, 255, 128, 1, 2, 3, 0},
                                 {200, 100, 50, 255, 255, 255, 255, 255, 9, 8, 7, 64}};
    std::memcpy(px.data(), rows[0], 12);
    std::memcpy(px.data() + 16, rows[1], 12);
    return px;
}

} // namespace

TEST(MD5, KnownVectorsAndCC_MD5) {
    EXPECT_EQ(hex(platform::md5(std::string_view(""))), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hex(platform::md5(std::string_view("abc"))), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hex(platform::md5(nullptr, 0)), "d41d8cd98f00b204e9800998ecf8427e");
    unsigned char out[platform::CC_MD5_DIGEST_LENGTH];
    EXPECT_EQ(platform::CC_MD5("abc", 3, out), out);
    EXPECT_EQ(std::memcmp(out, platform::md5(std::string_view("abc")).data(), 16), 0);
}

TEST(PNG, RoundTripIsExactAndDeterministic) {
    auto px = sampleBGRA();
    auto encoded = png::encode(px.data(), 3, 2, 16, png::PixelFormat::BGRA);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded, png::encode(px.data(), 3, 2, 16, png::PixelFormat::BGRA));
    auto image = png::decode(*encoded);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 3u);
    EXPECT_EQ(image->height, 2u);
    const std::vector<uint8_t> rgba = {30, 20,  10,  255, 255, 0,   0,   128, 3, 2, 1, 0,
                                       50, 100, 200, 255, 255, 255, 255, 255, 7, 8, 9, 64};
    EXPECT_EQ(image->rgba, rgba);
    // Only IHDR, IDAT and IEND: the first chunk after the signature is IHDR and the file ends in IEND.
    EXPECT_EQ(std::string(encoded->begin() + 12, encoded->begin() + 16), "IHDR");
    EXPECT_EQ(std::string(encoded->end() - 8, encoded->end() - 4), "IEND");
    EXPECT_EQ(std::string(encoded->begin() + 37, encoded->begin() + 41), "IDAT");
}

TEST(PNG, PremultipliedAndOpaqueFormats) {
    const uint8_t premultiplied[4] = {64, 32, 16, 128}; // RGBA, half alpha
    auto image = png::decode(*png::encode(premultiplied, 1, 1, 4, png::PixelFormat::PremultipliedRGBA));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->rgba, (std::vector<uint8_t>{128, 64, 32, 128}));
    const uint8_t argb[4] = {255, 1, 2, 3};
    EXPECT_EQ(png::decode(*png::encode(argb, 1, 1, 4, png::PixelFormat::ARGB))->rgba,
              (std::vector<uint8_t>{1, 2, 3, 255}));
    const uint8_t bgrx[4] = {3, 2, 1, 0}; // X ignored: the file is RGB, read back opaque
    auto opaque = png::encode(bgrx, 1, 1, 4, png::PixelFormat::BGRX);
    ASSERT_TRUE(opaque);
    EXPECT_EQ((*opaque)[25], 2) << "colour type RGB";
    EXPECT_EQ(png::decode(*opaque)->rgba, (std::vector<uint8_t>{1, 2, 3, 255}));
    platform::Error error;
    EXPECT_FALSE(png::encode(bgrx, 2, 1, 4, png::PixelFormat::BGRX, &error))
        << "row too short for two pixels";
    EXPECT_FALSE(png::encode(bgrx, 0, 1, 4, png::PixelFormat::BGRX));
}

TEST(PNG, MalformedTruncatedAndOversizedInputIsRefused) {
    auto px = sampleBGRA();
    auto good = *png::encode(px.data(), 3, 2, 16, png::PixelFormat::BGRA);
    platform::Error error;
    EXPECT_FALSE(png::decode(nullptr, 0, &error));
    EXPECT_EQ(error.domain, platform::NSCocoaErrorDomain);
    EXPECT_FALSE(png::decode(std::vector<uint8_t>{'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'}, &error));
    for (size_t cut : {size_t(8), size_t(20), size_t(33), good.size() / 2, good.size() - 1}) {
        std::vector<uint8_t> truncated(good.begin(), good.begin() + cut);
        EXPECT_FALSE(png::decode(truncated, &error)) << "cut at " << cut;
    }
    auto corrupt = good;
    corrupt[40] ^= 0xFF; // inside IDAT: the checksum no longer matches
    EXPECT_FALSE(png::decode(corrupt, &error));

    // An IHDR claiming 16385 x 1 (with a valid CRC) is refused before any pixel is read.
    auto huge = good;
    huge[16] = 0, huge[17] = 0, huge[18] = 0x40, huge[19] = 0x01;
    huge[20] = 0, huge[21] = 0, huge[22] = 0, huge[23] = 1;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 12; i < 29; ++i) {
        crc ^= huge[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    crc ^= 0xFFFFFFFFu;
    huge[29] = crc >> 24, huge[30] = crc >> 16, huge[31] = crc >> 8, huge[32] = crc;
    EXPECT_FALSE(png::decode(huge, &error));
    EXPECT_NE(error.localizedDescription().find("16385 x 1"), std::string::npos) << error.description();
}

TEST(XML, SystemInformationDocument) {
    auto root = ns::NSXMLElement::elementWithName("si");
    root->addChild(ns::NSXMLElement::elementWithName("os", "10.12.6"));
    root->addChild(ns::NSXMLElement::elementWithName("cpus", "4"));
    root->addChild(ns::NSXMLElement::elementWithName("chipset", "Intel <Iris> & \"Pro\""));
    root->addChild(ns::NSXMLElement::elementWithName("os", ""));
    ns::NSXMLDocument doc(root);
    doc.setVersion("1.0");
    doc.setCharacterEncoding("UTF-8");
    doc.setStandalone(false);
    auto data = doc.XMLDataWithOptions(ns::NSXMLDocumentTidyXML);
    EXPECT_EQ(std::string(data.begin(), data.end()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>"
              "<si><os>10.12.6</os><cpus>4</cpus><chipset>Intel &lt;Iris&gt; &amp; "
              "\"Pro\"</chipset><os></os></si>");
}
