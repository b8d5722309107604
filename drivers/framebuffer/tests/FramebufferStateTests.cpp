// What the window server reads from a framebuffer in each of its states, and the records
// it is described by: modes, pixels, aperture, EDID, attributes and interrupt registration.
#include "FramebufferFixture.h"
#include "IndependentModeTable.h"

#include "platform/kernel/IOBufferMemoryDescriptor.h"
#include "platform/kernel/IODeviceMemory.h"
#include "platform/kernel/OSBoolean.h"

#include <cstring>
#include <numeric>

namespace drivers::testing {
namespace {

struct Snapshot {
    IOItemCount modeCount;
    std::vector<IODisplayModeID> modes;
    IODisplayModeID current;
    uintptr_t enable;
    IOItemCount connections;
    UInt32 timing;
};

Snapshot snapshot(IOFramebuffer* fb) {
    IOGateLock gate(fb);
    Snapshot s{};
    s.modeCount = fb->getDisplayModeCount();
    s.modes.resize(s.modeCount);
    fb->getDisplayModes(s.modes.data());
    IOIndex depth = 0;
    fb->getCurrentDisplayMode(&s.current, &depth);
    fb->getAttributeForConnection(0, kConnectionEnable, &s.enable);
    s.connections = fb->getConnectionCount();
    IOTimingInformation timing{};
    fb->getTimingInfoForDisplayMode(s.current, &timing);
    s.timing = timing.appleTimingID;
    return s;
}

TEST_F(FramebufferTest, StateTableUncapturedThenDisabledThenEnabled) {
    auto display = windowServer->display("1");
    ASSERT_TRUE(display);
    IOFramebuffer* fb = display->framebuffer.get();
    {
        IOGateLock gate(fb);
        ASSERT_EQ(fb->open(), kIOReturnSuccess);
        fb->registerForInterruptType(kIOFBConnectInterruptType, &FakeWindowServer::onConnect, nullptr,
                                     display.get(), &display->dciRef);
    }
    Snapshot fresh = snapshot(fb);
    EXPECT_EQ(fresh.modes, (std::vector<IODisplayModeID>{441}));
    EXPECT_EQ(fresh.current, 7);
    EXPECT_EQ(fresh.enable, 1u);
    EXPECT_EQ(fresh.connections, 0u);
    EXPECT_EQ(fresh.timing, 550u);
    {
        IOGateLock gate(fb);
        EXPECT_TRUE(fb->hasDDCConnect(0)) << "the stored start-up mode 7 reports a DDC connection";
        EXPECT_EQ(fb->setAttribute(kIOCapturedAttribute, 1), kIOReturnSuccess);
        EXPECT_EQ(display->dciCount, 1);
        fb->setAttribute(kIOCapturedAttribute, 1);
        EXPECT_EQ(display->dciCount, 1) << "only the first capture fires";
    }
    Snapshot disabled = snapshot(fb);
    EXPECT_EQ(disabled.modes, (std::vector<IODisplayModeID>{441}));
    EXPECT_EQ(disabled.current, 7) << "stored current mode";
    EXPECT_EQ(disabled.enable, 0u);
    EXPECT_EQ(disabled.connections, 0u);
    io_handle_t connection = openUserClient(1);
    ASSERT_EQ(enable(connection, {9}), kIOReturnSuccess);
    Snapshot enabled = snapshot(fb);
    EXPECT_EQ(enabled.modes, (std::vector<IODisplayModeID>{9}));
    EXPECT_EQ(enabled.current, 9);
    EXPECT_EQ(enabled.enable, 1u);
    EXPECT_EQ(enabled.connections, 1u);
    EXPECT_EQ(enabled.timing, 190u);
}

TEST_F(FramebufferTest, ModeChangesNotifyOnlyWhenTheModeChanges) {
    FakeDisplay& display = booted(0);
    IOFramebuffer* fb = display.framebuffer.get();
    IOGateLock gate(fb);
    size_t before = fb->deliveredNotifications().size();
    EXPECT_EQ(fb->setDisplayMode(7, 2), kIOReturnSuccess);
    EXPECT_EQ(fb->deliveredNotifications().size(), before);
    EXPECT_EQ(fb->setDisplayMode(1, 2), kIOReturnSuccess);
    auto events = fb->deliveredNotifications();
    ASSERT_EQ(events.size(), before + 2);
    EXPECT_EQ(events[before].first, kIOFBNotifyDisplayModeWillChange);
    EXPECT_EQ(events[before + 1].first, kIOFBNotifyDisplayModeDidChange);
    EXPECT_EQ(fb->setDisplayMode(443, 2), kIOReturnBadArgument);
    EXPECT_EQ(fb->setAttribute(kIOPowerAttribute, 0), kIOReturnSuccess);
    EXPECT_EQ(fb->setAttribute(kIOPowerAttribute, 1), kIOReturnSuccess);
    events = fb->deliveredNotifications();
    std::vector<IOIndex> power;
    for (size_t i = before + 2; i < events.size(); ++i) {
        power.push_back(events[i].first);
        EXPECT_EQ(events[i].second, reinterpret_cast<void*>(uintptr_t(1)));
    }
    EXPECT_EQ(power, (std::vector<IOIndex>{7, 5, 6, 8}));
}

TEST_F(FramebufferTest, EndlessModeChangesKeepABoundedNotificationRecord) {
    FakeDisplay& display = booted(0);
    IOFramebuffer* fb = display.framebuffer.get();
    io_handle_t connection = openUserClient(0);
    ASSERT_EQ(enable(connection, {1, 2}), kIOReturnSuccess);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(call(connection, 2, {uint64_t(1 + i % 2)}), kIOReturnSuccess);
    IOGateLock gate(fb);
    auto events = fb->deliveredNotifications();
    EXPECT_EQ(events.size(), IOFramebuffer::kMaxRecordedNotifications);
    EXPECT_EQ(events.back().first, kIOFBNotifyDisplayModeDidChange) << "the latest are the ones kept";
}

TEST_F(FramebufferTest, ModeTableRowsAndPixelDescription) {
    FakeDisplay& display = booted(0);
    IOFramebuffer* fb = display.framebuffer.get();
    IOGateLock gate(fb);
    IODisplayModeInformation info{};
    ASSERT_EQ(fb->getInformationForDisplayMode(1, &info), kIOReturnSuccess);
    EXPECT_EQ(info.nominalWidth, 1024u);
    EXPECT_EQ(info.nominalHeight, 768u);
    EXPECT_EQ(info.refreshRate, 0x3C0000u);
    EXPECT_EQ(info.flags, 0x800007u);
    EXPECT_EQ(info.maxDepthIndex, 2);
    ASSERT_EQ(fb->getInformationForDisplayMode(7, &info), kIOReturnSuccess);
    EXPECT_EQ(info.flags, 0x87u);
    EXPECT_EQ(info.maxDepthIndex, 2) << "reported depth, not the row's";
    ASSERT_EQ(fb->getInformationForDisplayMode(432, &info), kIOReturnSuccess);
    EXPECT_EQ(info.flags, 0x800003u);
    // Every offered row against the table typed out apart from the driver.
    auto expected = independentModeTable();
    ASSERT_EQ(expected.size(), 443u);
    int mismatches = 0;
    for (IODisplayModeID id = 1; id <= 442; ++id) {
        ASSERT_EQ(fb->getInformationForDisplayMode(id, &info), kIOReturnSuccess) << "mode " << id;
        if (info.nominalWidth != expected[id].first || info.nominalHeight != expected[id].second) {
            ++mismatches;
            ADD_FAILURE() << "mode " << id << " is " << info.nominalWidth << "x" << info.nominalHeight
                          << ", not " << expected[id].first << "x" << expected[id].second;
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(fb->getInformationForDisplayMode(443, &info), kIOReturnBadArgument);
    EXPECT_EQ(fb->getInformationForDisplayMode(-1, &info), kIOReturnBadArgument);
    EXPECT_EQ(fb->getInformationForDisplayMode(1, nullptr), kIOReturnBadArgument);

    IOPixelInformation pixels{};
    ASSERT_EQ(fb->getPixelInformation(1, 2, 0, &pixels), kIOReturnSuccess);
    EXPECT_EQ(pixels.bytesPerRow, 4128u);
    EXPECT_EQ(pixels.bitsPerPixel, 32u);
    EXPECT_EQ(pixels.pixelType, 2u);
    EXPECT_EQ(pixels.componentMasks[0], 0xFF0000u);
    EXPECT_STREQ(pixels.pixelFormat, "--------RRRRRRRRGGGGGGGGBBBBBBBB");
    EXPECT_EQ(pixels.activeWidth, 1024u);
    ASSERT_EQ(fb->getPixelInformation(1, 3, 0, &pixels), kIOReturnSuccess);
    EXPECT_EQ(pixels.bytesPerRow, 32u);
    EXPECT_EQ(pixels.bitsPerPixel, 0u);
    EXPECT_EQ(fb->getPixelInformation(500, 2, 0, &pixels), kIOReturnBadArgument);
    const char* formats = fb->getPixelFormats();
    EXPECT_STREQ(formats, "PPPPPPPP");
    formats += std::strlen(formats) + 1;
    EXPECT_STREQ(formats, "-RRRRRGGGGGBBBBB");
    formats += std::strlen(formats) + 1;
    EXPECT_STREQ(formats, "--------RRRRRRRRGGGGGGGGBBBBBBBB");
    EXPECT_STREQ(formats + std::strlen(formats) + 1, "");
}

TEST_F(FramebufferTest, ApertureCoversTheCurrentModeOnlyWhenTheVRAMHoldsIt) {
    FakeDisplay& display = booted(0);
    IOFramebuffer* fb = display.framebuffer.get();
    io_handle_t connection = openUserClient(0);
    ASSERT_EQ(enable(connection, {1}), kIOReturnSuccess);
    IOGateLock gate(fb);
    auto range = adoptRetained(fb->getApertureRange(0));
    ASSERT_TRUE(range);
    EXPECT_EQ(range->getLength(), 3170432u);
    EXPECT_FALSE(adoptRetained(fb->getApertureRange(1)));
    auto vram = adoptRetained(fb->getVRAMRange());
    ASSERT_TRUE(vram);
    EXPECT_EQ(vram->getLength(), 36336848u);
    EXPECT_GE(vram->memfd(), 0);
    for (IODisplayModeID big : {441, 442}) {
        ASSERT_EQ(fb->setDisplayMode(big, 2), kIOReturnSuccess);
        EXPECT_FALSE(adoptRetained(fb->getApertureRange(0))) << big;
    }
    ASSERT_EQ(fb->setDisplayMode(432, 2), kIOReturnSuccess);
    range = adoptRetained(fb->getApertureRange(0));
    ASSERT_TRUE(range);
    EXPECT_EQ(range->getLength(), vram->getLength()) << "the largest mode fills the VRAM exactly";
}

TEST_F(FramebufferTest, NoApertureBeforeTheControllerHasItsVRAM) {
    auto display = windowServer->display("3");
    IOGateLock gate(display->framebuffer.get());
    EXPECT_FALSE(adoptRetained(display->framebuffer->getApertureRange(0)));
    EXPECT_FALSE(adoptRetained(display->framebuffer->getVRAMRange()));
}

TEST_F(FramebufferTest, EnableControllerReportsNoMemoryAndLeavesTheFramebufferClosed) {
    auto display = windowServer->display("2");
    IOFramebuffer* fb = display->framebuffer.get();
    IOGateLock gate(fb);
    kernel::testing::failBufferAllocations([](IOByteCount capacity) { return capacity > 1'000'000; });
    EXPECT_EQ(fb->open(), kIOReturnNoMemory);
    EXPECT_FALSE(fb->isWindowServerOpen());
    kernel::testing::failBufferAllocations([](IOByteCount capacity) { return capacity == 65536; });
    EXPECT_EQ(fb->open(), kIOReturnNoMemory);
    kernel::testing::failBufferAllocations({});
    EXPECT_EQ(fb->open(), kIOReturnSuccess);
    EXPECT_TRUE(adoptRetained(fb->getVRAMRange()));
    EXPECT_EQ(fb->getPowerState(), 2u);
    auto nub = fb->getProvider();
    EXPECT_EQ(nub->getProperty("IOPMIsPowerManaged"), static_cast<OSObject*>(kOSBooleanTrue));
}

TEST_F(FramebufferTest, SyntheticEDIDCarriesTheSerialPrefixIndexAndName) {
    FakeDisplay& display = booted(2);
    IOFramebuffer* fb = display.framebuffer.get();
    IOGateLock gate(fb);
    UInt8 edid[128] = {};
    IOByteCount length = sizeof edid;
    ASSERT_EQ(fb->getDDCBlock(0, 1, 0, 0, edid, &length), kIOReturnSuccess);
    EXPECT_EQ(length, 128u);
    const UInt8 header[8] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_EQ(std::memcmp(edid, header, 8), 0);
    EXPECT_EQ((edid[8] << 8) | edid[9], 0x5A8F);
    EXPECT_EQ(edid[10] | (edid[11] << 8), 0xCAFE);
    EXPECT_EQ((std::vector<UInt8>(edid + 12, edid + 16)), (std::vector<UInt8>{0x02, 0x00, 0x73, 0x99}));
    // What a window server parses after the serial: week 1-54 of manufacture, a year after
    // 1990, structure version 1.3, a digital input, a non-zero size in cm, gamma 2.2.
    EXPECT_EQ((std::vector<UInt8>(edid + 16, edid + 24)),
              (std::vector<UInt8>{5, 25, 1, 3, 0x80, 12, 5, 0x78}));
    EXPECT_TRUE(edid[16] >= 1 && edid[16] <= 54) << "week of manufacture";
    EXPECT_EQ(edid[18], 1) << "EDID version";
    EXPECT_EQ(edid[19], 3) << "EDID revision";
    EXPECT_NE(edid[20] & 0x80, 0) << "digital input";
    EXPECT_TRUE(edid[21] > 0 && edid[22] > 0) << "screen size in cm";
    EXPECT_DOUBLE_EQ((edid[23] + 100) / 100.0, 2.2) << "gamma";
    EXPECT_EQ(std::accumulate(edid, edid + 128, 0u) % 256, 0u);
    EXPECT_EQ(edid[54 + 3], 0xFC);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(edid + 59)), "Tessel");
    IOByteCount shortLength = 64;
    EXPECT_EQ(fb->getDDCBlock(0, 1, 0, 0, edid, &shortLength), kIOReturnBadArgument);
    EXPECT_EQ(fb->getDDCBlock(0, 1, 0, 0, nullptr, &length), kIOReturnBadArgument);
}

TEST_F(FramebufferTest, DDCConnectFollowsTheCurrentMode) {
    FakeDisplay& display = booted(0);
    IOFramebuffer* fb = display.framebuffer.get();
    IOGateLock gate(fb);
    for (auto [mode, expected] : {std::pair{1, true}, {441, true}, {442, false}, {0, false}}) {
        ASSERT_EQ(fb->setDisplayMode(mode, 2), kIOReturnSuccess);
        EXPECT_EQ(fb->hasDDCConnect(0), expected) << mode;
    }
}

TEST_F(FramebufferTest, InterruptRegistrationRules) {
    auto display = windowServer->display("0");
    IOFramebuffer* fb = display->framebuffer.get();
    IOGateLock gate(fb);
    void* ref = reinterpret_cast<void*>(1);
    EXPECT_EQ(fb->registerForInterruptType(fourCharCode("abcd"), &FakeWindowServer::onVBL, nullptr,
                                           display.get(), &ref),
              kIOReturnUnsupported);
    EXPECT_EQ(ref, nullptr);
    void* first = nullptr;
    ASSERT_EQ(fb->registerForInterruptType(kIOFBVBLInterruptType, &FakeWindowServer::onVBL, nullptr,
                                           display.get(), &first),
              kIOReturnSuccess);
    EXPECT_NE(first, nullptr);
    void* second = reinterpret_cast<void*>(1);
    EXPECT_EQ(fb->registerForInterruptType(kIOFBVBLInterruptType, &FakeWindowServer::onConnect, nullptr,
                                           display.get(), &second),
              kIOReturnSuccess);
    EXPECT_EQ(second, nullptr) << "nothing to unregister for the second registration";
    EXPECT_EQ(fb->unregisterInterrupt(second), kIOReturnSuccess);
    EXPECT_EQ(fb->unregisterInterrupt(&second), kIOReturnBadArgument) << "not a record of this framebuffer";
    EXPECT_EQ(fb->unregisterInterrupt(first), kIOReturnSuccess);
    EXPECT_EQ(fb->registerForInterruptType(kIOFBVBLInterruptType, &FakeWindowServer::onVBL, nullptr,
                                           display.get(), &second),
              kIOReturnSuccess);
    EXPECT_EQ(second, first);
}

TEST_F(FramebufferTest, IgnoreVBLOnTheNubRefusesTheVerticalBlankRegistration) {
    auto display = windowServer->display("3");
    IOFramebuffer* fb = display->framebuffer.get();
    fb->getProvider()->setProperty("Ignore VBL", true);
    IOGateLock gate(fb);
    void* ref = nullptr;
    EXPECT_EQ(fb->registerForInterruptType(kIOFBVBLInterruptType, &FakeWindowServer::onVBL, nullptr,
                                           display.get(), &ref),
              kIOReturnUnsupported);
    EXPECT_EQ(fb->registerForInterruptType(kIOFBConnectInterruptType, &FakeWindowServer::onConnect, nullptr,
                                           display.get(), &ref),
              kIOReturnSuccess);
}

TEST_F(FramebufferTest, ProbeFiresConnectChangeAndConnectionQueriesAnswer) {
    FakeDisplay& display = booted(1);
    IOFramebuffer* fb = display.framebuffer.get();
    IOGateLock gate(fb);
    int dci = display.dciCount;
    EXPECT_EQ(fb->setAttributeForConnection(0, kConnectionProbe, 0), kIOReturnSuccess);
    EXPECT_EQ(display.dciCount, dci + 1);
    uintptr_t untouched = 77;
    EXPECT_EQ(fb->getAttributeForConnection(0, kConnectionSupportsHLDDCSense, &untouched), kIOReturnSuccess);
    EXPECT_EQ(untouched, 77u);
    uintptr_t cursor = 0;
    EXPECT_EQ(fb->getAttribute(kIOHardwareCursorAttribute, &cursor), kIOReturnSuccess);
    EXPECT_EQ(cursor, 1u);
    EXPECT_EQ(fb->getAttribute(kIOHardwareCursorAttribute, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(fb->setAttributeForConnection(0, fourCharCode("wxyz"), 0), kIOReturnUnsupported);
    IOTimingInformation timing{};
    EXPECT_EQ(fb->getTimingInfoForDisplayMode(1, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(fb->getTimingInfoForDisplayMode(1, &timing), kIOReturnSuccess);
}

} // namespace
} // namespace drivers::testing
