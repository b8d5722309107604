// Reading EDID blocks: the identity fields, the name descriptor's endings, and refusals.
#include "platform/windowserver/EDID.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace windowserver {

namespace {

using Block = std::array<uint8_t, kEDIDLength>;

void seal(Block& b) {
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < b.size(); ++i)
        sum = static_cast<uint8_t>(sum + b[i]);
    b[127] = static_cast<uint8_t>(0x100 - sum);
}

Block block(const char* name, size_t descriptor = 54, uint8_t end = 0x0A) {
    Block b{};
    const uint8_t header[8] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    std::memcpy(b.data(), header, 8);
    b[8] = 0x5A, b[9] = 0x8F, b[10] = 0xFE, b[11] = 0xCA;
    b[12] = 0x02, b[13] = 0x00, b[14] = 0x73, b[15] = 0x99;
    if (name) {
        b[descriptor + 3] = 0xFC;
        size_t n = std::strlen(name);
        std::memcpy(&b[descriptor + 5], name, n);
        if (n < 13) b[descriptor + 5 + n] = end;
    }
    seal(b);
    return b;
}

} // namespace

TEST(EDID, ReadsVendorProductSerialAndName) {
    Block b = block("Tessel");
    auto info = parseEDID(b.data(), b.size());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->vendor, 0x5A8Fu);
    EXPECT_EQ(info->product, 0xCAFEu);
    EXPECT_EQ(info->serial, 0x99730002u);
    EXPECT_EQ(info->name, "Tessel");
}

TEST(EDID, TheNameEndsAtALineFeedOrAZeroAndKeepsToThirteenPrintableBytes) {
    Block zero = block("Tessel", 72, 0x00);
    EXPECT_EQ(parseEDID(zero.data(), zero.size())->name, "Tessel");
    Block full = block("ABCDEFGHIJKLM", 108);
    EXPECT_EQ(parseEDID(full.data(), full.size())->name, "ABCDEFGHIJKLM");
    Block odd = block("A\x01\xC3Z", 90);
    EXPECT_EQ(parseEDID(odd.data(), odd.size())->name, "A??Z");
    Block none = block(nullptr);
    EXPECT_EQ(parseEDID(none.data(), none.size())->name, kUnknownDisplayName);
}

TEST(EDID, RefusesShortBlocksBadHeadersAndBadChecksums) {
    Block b = block("Tessel");
    EXPECT_FALSE(parseEDID(b.data(), 127));
    EXPECT_FALSE(parseEDID(nullptr, 128));
    Block header = b;
    header[1] = 0xFE;
    seal(header);
    EXPECT_FALSE(parseEDID(header.data(), header.size()));
    Block sum = b;
    sum[20] ^= 1;
    EXPECT_FALSE(parseEDID(sum.data(), sum.size()));
}

} // namespace windowserver
