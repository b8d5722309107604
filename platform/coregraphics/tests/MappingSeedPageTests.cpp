#include "platform/coregraphics/MappingSeedPage.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

using namespace cg;

namespace {

// A memory file of length bytes beginning with a page layout (when there is room for one),
// sealed as asked.
ipc::UniqueFd memoryFile(size_t length, int seals, uint32_t magic = kMappingSeedPageMagic,
                         uint32_t version = kMappingSeedPageVersion, uint64_t seed = 5) {
    ipc::UniqueFd fd(::memfd_create("test-seed-page", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    EXPECT_TRUE(fd);
    EXPECT_EQ(::ftruncate(fd.get(), off_t(length)), 0);
    unsigned char header[16] = {};
    std::memcpy(header, &magic, 4);
    std::memcpy(header + 4, &version, 4);
    std::memcpy(header + 8, &seed, 8);
    EXPECT_EQ(::pwrite(fd.get(), header, std::min(length, sizeof header), 0),
              ssize_t(std::min(length, sizeof header)));
    if (seals) {
        EXPECT_EQ(::fcntl(fd.get(), F_ADD_SEALS, seals), 0);
    }
    return fd;
}

constexpr int kAllSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

} // namespace

TEST(MappingSeedPage, AProcessSeesEveryPublishedSeedAndCannotWriteThePage) {
    MappingSeedPublisher publisher(1);
    ipc::UniqueFd fd = publisher.openReadOnly();
    ASSERT_TRUE(fd);
    auto page = MappingSeedPage::adopt(fd.get());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->seed(), 1u);
    publisher.publish(0xFFFFFFFF);
    EXPECT_EQ(page->seed(), 0xFFFFFFFFu);
    EXPECT_EQ(publisher.seed(), 0xFFFFFFFFu);
    publisher.publish(2);
    EXPECT_EQ(page->seed(), 2u);

    // The process's descriptor is read-only, and no writable mapping, write or new length can
    // be had of the page by any descriptor.
    EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(::mmap(nullptr, kMappingSeedPageLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0),
              MAP_FAILED);
    ipc::UniqueFd other = publisher.openReadOnly();
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", other.get());
    ipc::UniqueFd writable(::open(path, O_RDWR | O_CLOEXEC));
    if (writable) {
        const uint64_t forged = 99;
        EXPECT_EQ(::pwrite(writable.get(), &forged, sizeof forged, 8), -1);
        EXPECT_EQ(::mmap(nullptr, kMappingSeedPageLength, PROT_WRITE, MAP_SHARED, writable.get(), 0),
                  MAP_FAILED);
        EXPECT_NE(::ftruncate(writable.get(), 1), 0);
        EXPECT_NE(::ftruncate(writable.get(), off_t(2 * kMappingSeedPageLength)), 0);
    }
    EXPECT_EQ(page->seed(), 2u);
    // A second process's page shows the same seed.
    ipc::UniqueFd second = publisher.openReadOnly();
    auto secondPage = MappingSeedPage::adopt(second.get());
    ASSERT_TRUE(secondPage);
    EXPECT_EQ(secondPage->seed(), 2u);
}

TEST(MappingSeedPage, ShortLongUnsealedWritableAndForeignPagesAreRefused) {
    platform::LogCapture log(true);
    EXPECT_FALSE(MappingSeedPage::adopt(-1));
    // A page that could shrink under the mapping would fault the reader.
    EXPECT_FALSE(MappingSeedPage::adopt(memoryFile(16, kAllSeals).get()));
    EXPECT_FALSE(MappingSeedPage::adopt(memoryFile(0, kAllSeals).get()));
    EXPECT_FALSE(MappingSeedPage::adopt(memoryFile(2 * kMappingSeedPageLength, kAllSeals).get()));
    EXPECT_EQ(log.count("not one page of memory"), 4u);
    EXPECT_FALSE(MappingSeedPage::adopt(memoryFile(kMappingSeedPageLength, 0).get()));
    EXPECT_FALSE(
        MappingSeedPage::adopt(memoryFile(kMappingSeedPageLength, F_SEAL_SHRINK | F_SEAL_GROW).get()));
    EXPECT_FALSE(
        MappingSeedPage::adopt(memoryFile(kMappingSeedPageLength, F_SEAL_GROW | F_SEAL_WRITE).get()));
    EXPECT_EQ(log.count("not sealed"), 3u);
    EXPECT_FALSE(MappingSeedPage::adopt(memoryFile(kMappingSeedPageLength, kAllSeals, 0x12345678).get()));
    EXPECT_FALSE(MappingSeedPage::adopt(
        memoryFile(kMappingSeedPageLength, kAllSeals, kMappingSeedPageMagic, 2).get()));
    EXPECT_EQ(log.count("of another kind"), 2u);
    // Not a memory file at all.
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    ipc::UniqueFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    EXPECT_FALSE(MappingSeedPage::adopt(readEnd.get()));

    // A well-formed page is taken, whoever froze it.
    auto frozen = MappingSeedPage::adopt(memoryFile(kMappingSeedPageLength, kAllSeals).get());
    ASSERT_TRUE(frozen);
    EXPECT_EQ(frozen->seed(), 5u);
}
