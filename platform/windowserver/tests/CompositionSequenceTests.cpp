// The composition sequence page and pictures copied from a framebuffer with it: the window
// server's entry follows its compositions, clients can only read the page, and a copy is made
// only from a whole composition that fits the mapping, never while a composition runs.
#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/DisplayImageClient.h"
#include "platform/windowserver/CompositionSequence.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include "SmallDesktop.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace windowserver {

namespace {

// A read-only mapping, as a client makes it.
struct ClientMapping {
    ClientMapping(int fd, size_t length, off_t offset = 0) {
        const off_t aligned = offset / 4096 * 4096;
        m_length = length + size_t(offset - aligned);
        m_base = ::mmap(nullptr, m_length, PROT_READ, MAP_SHARED, fd, aligned);
        bytes = m_base == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(m_base) + (offset - aligned);
    }
    ~ClientMapping() {
        if (m_base != MAP_FAILED) ::munmap(m_base, m_length);
    }
    const uint8_t* bytes = nullptr;

  private:
    void* m_base = MAP_FAILED;
    size_t m_length = 0;
};

constexpr uint32_t kWidth = 6, kHeight = 4;
constexpr uint64_t kPitch = 32, kOffset = 4096;
constexpr size_t kLength = kPitch * kHeight;

void fillEntry(CompositionEntry& e, uint32_t sequence, uint32_t width, uint32_t height, uint64_t pitch,
               uint64_t offset) {
    e.sequence = sequence;
    e.composed = 1;
    e.width = width;
    e.height = height;
    e.bytesPerRow = pitch;
    e.offset = offset;
    e.generation = 3;
}

} // namespace

class CompositionSequencePixels : public testing::SmallDesktopTest {};

TEST_F(CompositionSequencePixels, TheEntryFollowsCompositionsAndCopiesMatchTheWindowServersImages) {
    blank();
    auto view = m_server->framebufferView(WindowServer::kMainDisplayID);
    ASSERT_TRUE(view && view->memfd && view->compositions);
    ClientMapping page(view->compositions.get(), kCompositionPageBytes);
    ASSERT_TRUE(page.bytes);
    const auto& entry = reinterpret_cast<const CompositionEntry*>(page.bytes)[*compositionIndex(1)];
    EXPECT_EQ(entry.composed.load(), 1u);
    EXPECT_EQ(entry.width.load(), 64u);
    EXPECT_EQ(entry.height.load(), 48u);
    EXPECT_EQ(entry.bytesPerRow.load(), view->bytesPerRow);
    EXPECT_EQ(entry.offset.load(), view->offset);
    EXPECT_EQ(entry.generation.load(), view->generation);
    const uint32_t first = entry.sequence.load();
    EXPECT_TRUE(first > 0 && first % 2 == 0);

    ClientMapping pixels(view->memfd.get(), view->length, off_t(view->offset));
    auto copy = [&] {
        return cg::CGImageCreateFromComposedPixels(entry, view->generation, pixels.bytes, view->offset,
                                                   view->length);
    };
    auto sameImages = [](const cg::CGImageRef& a, const cg::CGImageRef& b) {
        if (!a || !b || cg::CGImageGetWidth(a) != cg::CGImageGetWidth(b) ||
            cg::CGImageGetHeight(a) != cg::CGImageGetHeight(b) ||
            cg::CGImageGetBytesPerRow(a) != cg::CGImageGetBytesPerRow(b))
            return false;
        return std::memcmp(cg::CGImageGetBytePtr(a), cg::CGImageGetBytePtr(b),
                           cg::CGImageGetBytesPerRow(a) * cg::CGImageGetHeight(a)) == 0;
    };
    EXPECT_TRUE(sameImages(copy(), m_server->displayImage(WindowServer::kMainDisplayID, nullptr)));

    // A composition moves the sequence by two; the copy shows what it drew.
    ASSERT_TRUE(m_server->serveAndWait(m_cid, op::draw,
                                       cf::Dictionary{{"name", "w"},
                                                      {"layer", 0},
                                                      {"x", 8.0},
                                                      {"y", 8.0},
                                                      {"width", 16.0},
                                                      {"height", 16.0},
                                                      {"pattern", "solid"},
                                                      {"value", 0xFF0000}}));
    blank();
    EXPECT_EQ(entry.sequence.load(), first + 2);
    auto after = copy();
    ASSERT_TRUE(after);
    uint32_t red;
    std::memcpy(&red, cg::CGImageGetBytePtr(after) + 10 * cg::CGImageGetBytesPerRow(after) + 10 * 4, 4);
    EXPECT_EQ(red, 0xFFFF0000u);
    EXPECT_TRUE(sameImages(after, m_server->displayImage(WindowServer::kMainDisplayID, nullptr)));
}

TEST_F(CompositionSequencePixels, ClientsCannotWriteThePage) {
    blank();
    auto view = m_server->framebufferView(WindowServer::kMainDisplayID);
    ASSERT_TRUE(view && view->compositions);
    const int fd = view->compositions.get();
    EXPECT_EQ(::mmap(nullptr, kCompositionPageBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
    const uint8_t zero = 0;
    EXPECT_LT(::pwrite(fd, &zero, 1, 0), 0);
    EXPECT_NE(::ftruncate(fd, 0), 0);
}

TEST(CompositionSequences, ATargetChangeLeavesNoPictureUntilComposedWhole) {
    CompositionSequences sequences;
    ASSERT_GE(sequences.memfd(), 0);
    ClientMapping page(sequences.memfd(), kCompositionPageBytes);
    const auto& entry = reinterpret_cast<const CompositionEntry*>(page.bytes)[*compositionIndex(0x101)];
    sequences.begin(0x101);
    EXPECT_EQ(entry.sequence.load() % 2, 1u); // odd while composing
    sequences.end(0x101, true, 10, 10, 64, 0);
    EXPECT_EQ(entry.composed.load(), 1u);
    const uint64_t generation = sequences.generation(0x101);
    sequences.invalidate(0x101);
    EXPECT_EQ(entry.composed.load(), 0u);
    EXPECT_NE(sequences.generation(0x101), generation);
    EXPECT_EQ(entry.sequence.load() % 2, 0u);
    sequences.begin(0x101);
    sequences.end(0x101, false, 10, 10, 64, 0); // part of it: still no picture
    EXPECT_EQ(entry.composed.load(), 0u);
    EXPECT_FALSE(compositionIndex(0x42));
    sequences.begin(0x42); // no entry: nothing happens
}

TEST(ComposedPixels, OnlyAWholeUntornCompositionInsideTheMappingIsCopied) {
    platform::LogCapture log{true};
    std::vector<uint8_t> framebuffer(kPitch * kHeight);
    for (size_t i = 0; i < framebuffer.size(); ++i)
        framebuffer[i] = uint8_t(i);
    CompositionEntry entry{};
    fillEntry(entry, 8, kWidth, kHeight, kPitch, kOffset);
    auto copy = [&](size_t length = kLength, bool* stale = nullptr, uint64_t generation = 3) {
        return cg::CGImageCreateFromComposedPixels(entry, generation, framebuffer.data(), kOffset, length,
                                                   stale);
    };

    auto image = copy();
    ASSERT_TRUE(image);
    EXPECT_EQ(cg::CGImageGetBytesPerRow(image), 64u + 64u); // padded as every display image
    for (uint32_t y = 0; y < kHeight; ++y) {
        EXPECT_EQ(
            std::memcmp(cg::CGImageGetBytePtr(image) + y * 128, framebuffer.data() + y * kPitch, kWidth * 4),
            0);
        EXPECT_EQ(cg::CGImageGetBytePtr(image)[y * 128 + kWidth * 4], 0); // padding zero
    }

    bool stale = false;
    EXPECT_FALSE(copy(kLength, &stale, 4)); // the display's target changed
    EXPECT_TRUE(stale);

    EXPECT_FALSE(copy(kLength - 1)); // the picture ends past the mapping
    fillEntry(entry, 8, kWidth, kHeight, kPitch, kOffset + 4096);
    EXPECT_FALSE(copy()); // another place than the one mapped
    fillEntry(entry, 8, kWidth, kHeight, kWidth * 4 - 4, kOffset);
    EXPECT_FALSE(copy()); // rows shorter than the width
    fillEntry(entry, 8, 0, kHeight, kPitch, kOffset);
    EXPECT_FALSE(copy());

    fillEntry(entry, 8, kWidth, kHeight, kPitch, kOffset);
    entry.composed = 0;
    EXPECT_FALSE(copy()); // never composed whole
    entry.composed = 1;
    entry.sequence = 9;
    EXPECT_FALSE(copy()); // a composition that never ends is waited out, then given up
    entry.sequence = 10;
    EXPECT_TRUE(copy());
}

} // namespace windowserver
