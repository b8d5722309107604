// The window server's display side in-process: the real kernel and kexts on the fake clock,
// a screen server standing in as one user task driving framebuffers through their user
// clients, and the displays the window server then shows.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/kernel/IODisplayConnect.h"
#include "platform/kernel/IOTimerEventSource.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/UserTask.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace windowserver {

using namespace kernel;

namespace {

const std::string kKextDir = TESSEL_KEXT_DIR;
constexpr uint32_t kFramebufferUserClient = 0x1000;

std::string framebufferPath(int index) {
    return "IOService:/IOResources/QNExGFX/Quenby Virtual Display@" + std::to_string(index) +
           "/QNExFramebuffer@" + std::to_string(index);
}

std::string nubPath(int index) {
    return "IOService:/IOResources/QNExGFX/Quenby Virtual Display@" + std::to_string(index);
}

} // namespace

class WindowServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        m_kernel = std::make_unique<Kernel>();
        m_kernel->loadKexts({kKextDir + "/QNVideoCard.kext", kKextDir + "/QNFramebuffer.kext"});
        m_kernel->waitQuiet();
    }

    void TearDown() override {
        m_screenServer.reset();
        if (m_server) m_server->stop();
        m_kernel->shutdown();
        m_server.reset();
        m_kernel.reset();
        EXPECT_FALSE(m_log.contains("still has")) << "a kext object outlived the kernel";
    }

    void boot(WindowServerConfig config = {}) {
        m_server = std::make_unique<WindowServer>(*m_kernel, config);
        m_server->setDisplayObserver([this](const DisplayInfo& d, bool added) {
            std::lock_guard lock(m_changesMutex);
            m_changes.emplace_back(d.displayID, added);
        });
        m_server->boot();
        m_screenServer = std::make_unique<UserTask>(*m_kernel, 4242, "com.quenby.TesselHelper");
    }

    io_handle_t open(int index, IOReturn* result = nullptr) {
        io_handle_t service = m_screenServer->entryFromPath(framebufferPath(index));
        io_handle_t connection = 0;
        IOReturn r = m_screenServer->serviceOpen(service, kFramebufferUserClient, &connection);
        m_screenServer->objectRelease(service);
        if (result) *result = r;
        return connection;
    }

    IOReturn call(io_handle_t connection, uint32_t selector, std::vector<uint64_t> inputs = {},
                  std::vector<uint64_t>* outputs = nullptr, uint32_t outputCount = 0) {
        std::vector<uint64_t> out(outputCount);
        IOReturn r =
            m_screenServer->callScalarMethod(connection, selector, inputs.data(),
                                             static_cast<uint32_t>(inputs.size()), out.data(), &outputCount);
        out.resize(outputCount);
        if (outputs) *outputs = out;
        return r;
    }

    // As the screen server enables a display: pacing first, then the mode list.
    io_handle_t enable(int index, std::vector<uint64_t> modes) {
        io_handle_t c = open(index);
        EXPECT_NE(c, 0u);
        EXPECT_EQ(call(c, 10, {16666}), kIOReturnSuccess);
        EXPECT_EQ(call(c, 11, {250000}), kIOReturnSuccess);
        EXPECT_EQ(call(c, 8, std::move(modes)), kIOReturnSuccess);
        m_server->sync();
        return c;
    }

    std::map<uint32_t, DisplayInfo> shown() {
        std::map<uint32_t, DisplayInfo> out;
        for (auto& d : m_server->displays())
            out[d.displayID] = d;
        return out;
    }

    OSPtr<IOFramebuffer> framebuffer(int index) {
        auto entry = IORegistryEntry::fromPath(framebufferPath(index));
        return makeRetained(OSDynamicCast(IOFramebuffer, entry.get()));
    }

    bool hasDisplayConnect(int index) {
        for (auto& child : framebuffer(index)->copyChildEntries())
            if (OSDynamicCast(IODisplayConnect, child.get())) return true;
        return false;
    }

    std::vector<std::pair<uint32_t, bool>> changes() {
        std::lock_guard lock(m_changesMutex);
        return m_changes;
    }

    platform::LogCapture m_log{true};
    std::unique_ptr<Kernel> m_kernel;
    std::unique_ptr<WindowServer> m_server;
    std::unique_ptr<UserTask> m_screenServer;
    std::mutex m_changesMutex;
    std::vector<std::pair<uint32_t, bool>> m_changes;
};

TEST_F(WindowServerTest, BootOpensEveryFramebufferAndShowsOnlyTheMainDisplay) {
    boot();
    auto displays = m_server->displays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].displayID, 1u);
    EXPECT_TRUE(cg::CGRectEqualToRect(displays[0].bounds, cg::CGRectMake(0, 0, 1440, 900)));
    EXPECT_EQ(displays[0].name, "Built-in Display");
    EXPECT_EQ(displays[0].location, "IOService:/BuiltInFramebuffer@0");
    EXPECT_NE(displays[0].serialNumber >> 16, 0x9973u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(framebuffer(i)->isWindowServerOpen()) << i;
        EXPECT_FALSE(framebuffer(i)->vblStateBit()) << "no display is online on " << i;
        EXPECT_FALSE(hasDisplayConnect(i));
    }
    EXPECT_TRUE(changes().empty());
}

TEST_F(WindowServerTest, AnEnabledFramebufferBecomesADisplayWithItsEDIDIdentity) {
    boot();
    enable(2, {9, 1});
    auto displays = shown();
    ASSERT_EQ(displays.count(0x102), 1u);
    const DisplayInfo& d = displays[0x102];
    EXPECT_EQ(d.serialNumber, 0x99730002u);
    EXPECT_EQ(d.vendorNumber, 0x5A8Fu);
    EXPECT_EQ(d.modelNumber, 0xCAFEu);
    EXPECT_EQ(d.name, "Tessel");
    EXPECT_EQ(d.location, framebufferPath(2));
    EXPECT_EQ(d.location.rfind(nubPath(2) + "/", 0), 0u);
    EXPECT_EQ(d.ioModeID, 9);
    EXPECT_TRUE(cg::CGRectEqualToRect(d.bounds, cg::CGRectMake(1440, 0, 1280, 720)));
    EXPECT_EQ(d.bytesPerRow, 1280u * 4 + 32);
    EXPECT_FALSE(d.ownBuffer) << "the aperture holds the mode";
    EXPECT_TRUE(framebuffer(2)->vblStateBit());
    EXPECT_TRUE(hasDisplayConnect(2));
    EXPECT_EQ(changes(), (std::vector<std::pair<uint32_t, bool>>{{0x102, true}}));
}

TEST_F(WindowServerTest, DisplaysSitRightOfTheMainOneInIndexOrderAndCloseUpOnRemoval) {
    boot();
    io_handle_t second = enable(2, {1});
    io_handle_t first = enable(0, {9});
    auto displays = m_server->displays();
    ASSERT_EQ(displays.size(), 3u);
    EXPECT_EQ(displays[1].displayID, 0x100u);
    EXPECT_TRUE(cg::CGRectEqualToRect(displays[1].bounds, cg::CGRectMake(1440, 0, 1280, 720)));
    EXPECT_TRUE(cg::CGRectEqualToRect(displays[2].bounds, cg::CGRectMake(1440 + 1280, 0, 1024, 768)));

    EXPECT_EQ(call(first, 3), kIOReturnSuccess);
    m_server->sync();
    displays = m_server->displays();
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_TRUE(cg::CGRectEqualToRect(displays[1].bounds, cg::CGRectMake(1440, 0, 1024, 768)));
    // The cursor sits on the main display: the framebuffer hears where the image's top-left
    // (location less the arrow's hot spot) lies, off its screen.
    std::vector<uint64_t> mouse;
    ASSERT_EQ(call(second, 5, {}, &mouse, 3), kIOReturnSuccess);
    cg::CGPoint hot = cg::CGSSystemCursorImage(cg::CGSSystemCursor::arrow).hotSpot;
    EXPECT_EQ(static_cast<int32_t>(mouse[0]), 720 - int32_t(hot.x) - 1440);
    EXPECT_EQ(static_cast<int32_t>(mouse[1]), 450 - int32_t(hot.y));
    EXPECT_EQ(mouse[2], 0u);
}

TEST_F(WindowServerTest, DisablingOrTheScreenServersDeathRemovesTheDisplay) {
    boot();
    io_handle_t c = enable(1, {1});
    ASSERT_EQ(shown().count(0x101), 1u);
    EXPECT_EQ(call(c, 3), kIOReturnSuccess);
    m_server->sync();
    EXPECT_EQ(shown().count(0x101), 0u);
    EXPECT_FALSE(framebuffer(1)->vblStateBit());
    EXPECT_FALSE(hasDisplayConnect(1));

    EXPECT_EQ(call(c, 8, {1}), kIOReturnSuccess); // the user client stays open when disabled
    m_server->sync();
    ASSERT_EQ(shown().count(0x101), 1u);
    m_screenServer.reset(); // its connection dropped: clientDied closes the user client
    m_server->sync();
    EXPECT_EQ(shown().count(0x101), 0u);
    EXPECT_EQ(changes(), (std::vector<std::pair<uint32_t, bool>>{
                             {0x101, true}, {0x101, false}, {0x101, true}, {0x101, false}}));
}

TEST_F(WindowServerTest, VerticalBlanksAreCountedPerDisplay) {
    boot();
    io_handle_t c = enable(3, {1});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(call(c, 9), kIOReturnSuccess);
    m_server->sync();
    EXPECT_EQ(shown()[0x103].vblankCount, 3u);
    // After a signal the screen server paces: its silence brings no timer blanks.
    kernel::testing::advanceClock(platform::installFakeClock(), platform::seconds(0.3));
    m_server->sync();
    EXPECT_EQ(shown()[0x103].vblankCount, 3u);
    // Enabled again with the last blank past the threshold, the framebuffer's timer paces them.
    EXPECT_EQ(call(c, 3), kIOReturnSuccess);
    EXPECT_EQ(call(c, 8, {1}), kIOReturnSuccess);
    // Blanks reach the window server only once it has shown the display again (its probe sets
    // the state bit), so the clock moves on after that, not while the probe may still be queued.
    m_server->sync();
    ASSERT_TRUE(shown()[0x103].online);
    kernel::testing::advanceClock(platform::installFakeClock(), platform::seconds(0.1));
    m_server->sync();
    EXPECT_GT(shown()[0x103].vblankCount, 3u);
}

TEST_F(WindowServerTest, UndamagedBlanksAreCountedAndComposeNothing) {
    boot();
    io_handle_t c = enable(3, {1});
    m_server->sync();
    ASSERT_EQ(call(c, 9), kIOReturnSuccess); // the new display is composed whole once
    m_server->sync();
    // Past the tick that finds nothing pending, blanks have no work.
    kernel::testing::advanceClock(platform::installFakeClock(), platform::seconds(0.05));
    m_server->sync();
    auto before = m_server->pixelCounters(0x103);
    ASSERT_TRUE(before);
    EXPECT_EQ(before->compositions, 1u);
    uint64_t blanks = shown()[0x103].vblankCount;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(call(c, 9), kIOReturnSuccess);
    m_server->sync();
    EXPECT_EQ(shown()[0x103].vblankCount, blanks + 3);
    EXPECT_EQ(m_server->pixelCounters(0x103)->compositions, 1u);
}

TEST_F(WindowServerTest, ModesBeyondTheVRAMComposeIntoAnOwnBufferAndTheLastHasNoEDID) {
    boot();
    enable(0, {441});
    enable(1, {442});
    auto displays = shown();
    ASSERT_EQ(displays.count(0x100), 1u);
    EXPECT_TRUE(displays[0x100].ownBuffer);
    EXPECT_EQ(displays[0x100].serialNumber, 0x99730000u);
    ASSERT_EQ(displays.count(0x101), 1u);
    EXPECT_TRUE(displays[0x101].ownBuffer);
    EXPECT_EQ(displays[0x101].name, "Unknown Display");
    EXPECT_EQ(displays[0x101].serialNumber, 0u);
    EXPECT_EQ(displays[0x101].vendorNumber, 0u);
    EXPECT_EQ(m_log.count("composing into a buffer of its own"), 2u);
}

TEST_F(WindowServerTest, AClientModeChangeRereadsTheModeAndMovesNeighbours) {
    boot();
    enable(0, {1, 9});
    enable(1, {1});
    EXPECT_EQ(m_server->setDisplayMode(0x100, 9), kIOReturnSuccess);
    auto displays = shown();
    EXPECT_EQ(displays[0x100].ioModeID, 9);
    EXPECT_EQ(displays[0x100].bytesPerRow, 1280u * 4 + 32);
    EXPECT_TRUE(cg::CGRectEqualToRect(displays[0x101].bounds, cg::CGRectMake(1440 + 1280, 0, 1024, 768)));
    EXPECT_EQ(m_server->setDisplayMode(0x100, 2), kIOReturnBadArgument) << "not one of its modes";
    EXPECT_EQ(m_server->setDisplayMode(0x102, 1), kIOReturnNotAttached) << "not online";
}

TEST_F(WindowServerTest, AFramebufferWithoutVerticalBlanksNeverGetsTheVBLStateBit) {
    auto nub = IORegistryEntry::fromPath(nubPath(1));
    ASSERT_TRUE(nub);
    nub->setProperty("Ignore VBL", true);
    boot();
    enable(1, {1});
    EXPECT_EQ(shown().count(0x101), 1u);
    EXPECT_FALSE(framebuffer(1)->vblStateBit());
    EXPECT_TRUE(m_log.contains("gives no vertical-blank interrupt"));
}

TEST_F(WindowServerTest, AnUnloadingFramebufferKextTakesItsDisplaysWithIt) {
    boot();
    enable(2, {1});
    ASSERT_EQ(m_kernel->unloadKext("com.quenby.QNExFramebuffer"), kIOReturnSuccess);
    auto displays = m_server->displays();
    EXPECT_EQ(displays.size(), 1u);
    EXPECT_EQ(changes().back(), (std::pair<uint32_t, bool>{0x102, false}));
    EXPECT_TRUE(m_log.contains("unloaded com.quenby.QNExFramebuffer")) << "no framebuffer was kept alive";
}

TEST_F(WindowServerTest, TheMainDisplayComesFromTheProfile) {
    platform::Profile profile;
    profile.dictionary.insert_or_assign("MainDisplay", cf::Dictionary{{"Width", 1280},
                                                                      {"Height", 800},
                                                                      {"Name", "Panel"},
                                                                      {"SerialNumber", "not a number"}});
    WindowServerConfig config = WindowServerConfig::fromProfile(profile);
    EXPECT_EQ(config.mainDisplay.width, 1280u);
    EXPECT_EQ(config.mainDisplay.name, "Panel");
    EXPECT_EQ(config.mainDisplay.serial, MainDisplayConfig{}.serial);
    EXPECT_TRUE(m_log.contains("SerialNumber is not a number"));
    boot(config);
    enable(0, {1});
    auto displays = m_server->displays();
    EXPECT_TRUE(cg::CGRectEqualToRect(displays[0].bounds, cg::CGRectMake(0, 0, 1280, 800)));
    EXPECT_EQ(displays[1].bounds.origin.x, 1280);
}

// A virtual display is composed into its framebuffer's aperture at the driver's pitch: whole
// on its first vertical blank, the row padding and everything past the image left alone.
class WindowServerPixelsAperture : public WindowServerTest {};

TEST_F(WindowServerPixelsAperture, AVirtualDisplayIsComposedIntoTheApertureUpToItsEnd) {
    boot();
    io_handle_t c = enable(2, {1});
    auto d = shown()[0x102];
    ASSERT_FALSE(d.ownBuffer);
    ASSERT_GT(d.bytesPerRow, uint64_t(d.pixelsWide) * 4) << "the driver pads its rows";
    auto vram = adoptRetained(framebuffer(2)->getVRAMRange());
    auto aperture = adoptRetained(framebuffer(2)->getApertureRange(0));
    ASSERT_TRUE(vram && aperture);
    auto* bytes = static_cast<uint8_t*>(aperture->getBytesNoCopy());
    uint64_t imageBytes = d.bytesPerRow * d.pixelsHigh;
    // Marks in the padding of the first row and past the image's end.
    uint64_t padding = uint64_t(d.pixelsWide) * 4;
    bytes[padding] = 0x5A;
    bool pastEnd = aperture->getLength() > imageBytes;
    if (pastEnd) bytes[imageBytes] = 0x5A;

    EXPECT_EQ(call(c, 9), kIOReturnSuccess); // the vertical blank
    m_server->sync();
    uint32_t first, last;
    std::memcpy(&first, bytes, 4);
    std::memcpy(&last, bytes + (d.pixelsHigh - 1) * d.bytesPerRow + (d.pixelsWide - 1) * 4, 4);
    EXPECT_EQ(first, 0xFF3A6EA5u);
    EXPECT_EQ(last, 0xFF3A6EA5u);
    EXPECT_EQ(bytes[padding], 0x5A);
    if (pastEnd) {
        EXPECT_EQ(bytes[imageBytes], 0x5A);
    }
    // The display's image is the composed pixels, its own rows padded anew.
    auto image = m_server->displayImage(0x102, nullptr);
    ASSERT_TRUE(image);
    EXPECT_EQ(cg::CGImageGetWidth(image), d.pixelsWide);
    EXPECT_EQ(cg::CGImageGetBytesPerRow(image) % 64, 0u);
    std::memcpy(&last, cg::CGImageGetBytePtr(image) + (d.pixelsHigh - 1) * cg::CGImageGetBytesPerRow(image),
                4);
    EXPECT_EQ(last, 0xFF3A6EA5u);
}

TEST_F(WindowServerPixelsAperture, AnOwnBufferServesModesBeyondTheAperture) {
    boot();
    io_handle_t c = enable(0, {441});
    auto d = shown()[0x100];
    ASSERT_TRUE(d.ownBuffer);
    EXPECT_EQ(call(c, 9), kIOReturnSuccess);
    m_server->sync();
    auto image = m_server->displayImage(0x100, nullptr);
    ASSERT_TRUE(image);
    EXPECT_EQ(cg::CGImageGetHeight(image), d.pixelsHigh);
    uint32_t last;
    std::memcpy(&last,
                cg::CGImageGetBytePtr(image) + (d.pixelsHigh - 1) * cg::CGImageGetBytesPerRow(image) +
                    (d.pixelsWide - 1) * 4,
                4);
    EXPECT_EQ(last, 0xFF3A6EA5u);
}

TEST_F(WindowServerPixelsAperture, BlocksFollowTheDisplaysOwnPixelGrid) {
    WindowServerConfig config;
    config.mainDisplay.width = 1000; // the display right of it starts off the 16-pixel grid
    boot(config);
    io_handle_t c = enable(2, {1});
    uint32_t cid = m_server->connect({4242, "Test", ""}, [](const cf::Value&) {});
    ASSERT_TRUE(m_server->serveAndWait(
        cid, op::draw, cf::Value(cf::Dictionary{{"display", 0x102}, {"pattern", "blocks"}, {"value", 16}})));
    EXPECT_EQ(call(c, 9), kIOReturnSuccess);
    m_server->sync();
    auto image = m_server->displayImage(0x102, nullptr);
    ASSERT_TRUE(image);
    auto at = [&](size_t x, size_t y) {
        uint32_t p;
        std::memcpy(&p, cg::CGImageGetBytePtr(image) + y * cg::CGImageGetBytesPerRow(image) + x * 4, 4);
        return p;
    };
    EXPECT_EQ(at(0, 0), at(15, 15));
    EXPECT_NE(at(15, 0), at(16, 0));
    EXPECT_NE(at(0, 15), at(0, 16));
}

// A stream of a display that goes hears Blank once and nothing after; the display's composed
// pixels are offered where they lie (the aperture), for a read-only mapping.
TEST_F(WindowServerPixelsAperture, AStreamHearsBlankOnceWhenItsDisplayGoes) {
    boot();
    io_handle_t c = enable(2, {1});
    auto d = shown()[0x102];
    auto view = m_server->framebufferView(0x102);
    ASSERT_TRUE(view);
    auto aperture = adoptRetained(framebuffer(2)->getApertureRange(0));
    EXPECT_EQ(view->bytes, static_cast<const uint8_t*>(aperture->getBytesNoCopy()));
    EXPECT_EQ(view->bytesPerRow, d.bytesPerRow);
    EXPECT_TRUE(view->memfd.valid());
    EXPECT_FALSE(m_server->framebufferView(0x4242));

    uint32_t cid = m_server->connect({4242, "Test", ""}, [](const cf::Value&) {});
    std::vector<int32_t> statuses;
    auto pool = m_server->createStream(
        cid,
        cf::Dictionary{{"display", 0x102},
                       {"width", int64_t(d.pixelsWide)},
                       {"height", int64_t(d.pixelsHigh)},
                       {"format", 0x42475241}},
        [&](const WindowServer::StreamEvent& e) { statuses.push_back(e.status); }, nullptr);
    ASSERT_TRUE(pool);
    ASSERT_TRUE(m_server->startStream(cid, pool->stream));
    EXPECT_EQ(call(c, 9), kIOReturnSuccess); // the vertical blank
    m_server->sync();
    EXPECT_EQ(call(c, 3), kIOReturnSuccess); // disabled: the display goes
    m_server->sync();
    EXPECT_EQ(call(c, 8, {1}), kIOReturnSuccess); // and comes back: the stream stays ended
    m_server->sync();
    EXPECT_EQ(call(c, 9), kIOReturnSuccess);
    m_server->sync();
    EXPECT_EQ(statuses, (std::vector<int32_t>{0, 2}));
    EXPECT_FALSE(m_server->startStream(cid, pool->stream));
    EXPECT_TRUE(m_server->stopStream(cid, pool->stream));
}

} // namespace windowserver
