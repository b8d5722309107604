// The screen server's road through the user client: open, pace, enable, disable, close.
#include "FramebufferFixture.h"

#include "platform/kernel/IODeviceMemory.h"
#include "platform/kernel/IOMemoryDescriptor.h"
#include "platform/kernel/OSNumber.h"

namespace drivers::testing {
namespace {

TEST_F(FramebufferTest, BothKextsPublishFourDisplaysEachWithAFramebuffer) {
    auto gfx = IORegistryEntry::fromPath("IOService:/IOResources/QNExGFX");
    ASSERT_TRUE(gfx);
    EXPECT_STREQ(gfx->getClassName(), "QNExVideo");
    auto children = gfx->copyChildEntries();
    ASSERT_EQ(children.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        auto nub = children[i];
        EXPECT_EQ(nub->getName(), "Quenby Virtual Display");
        auto* displayNum = OSDynamicCast(OSNumber, nub->getProperty("displayNum"));
        ASSERT_TRUE(displayNum);
        EXPECT_EQ(displayNum->numberOfBits(), 16u);
        EXPECT_EQ(displayNum->unsigned32BitValue(), static_cast<uint32_t>(i));
        auto fb = IORegistryEntry::fromPath(framebufferPath(i));
        ASSERT_TRUE(fb) << framebufferPath(i);
        EXPECT_EQ(fb->getParentEntry(), nub.get());
        EXPECT_EQ(fb->getPath(), framebufferPath(i));
        auto* accel = OSDynamicCast(OSNumber, fb->getProperty("IOAccelIndex"));
        ASSERT_TRUE(accel);
        EXPECT_EQ(accel->unsigned32BitValue(), static_cast<uint32_t>(i));
        // The screen server reads the index from the third piece of the path split at "@".
        std::string path = *fb->getPath();
        auto third = path.substr(path.find('@', path.find('@') + 1) + 1);
        EXPECT_EQ(third.front(), static_cast<char>('0' + i));
    }
    EXPECT_EQ(kernel->matchingServices("QNExFramebuffer").size(), 4u);
    EXPECT_EQ(windowServer->publishedCount(), 4u);
}

TEST_F(FramebufferTest, EnablingFramebufferTwoShowsTheRequestedModeAndFiresConnectChange) {
    FakeDisplay& display = booted(2);
    IOFramebuffer* fb = display.framebuffer.get();
    int dciBefore = display.dciCount;
    io_handle_t connection = openUserClient(2);
    ASSERT_NE(connection, 0u);
    EXPECT_EQ(call(connection, 0), kIOReturnSuccess);
    EXPECT_EQ(enable(connection, {30, 9, 1}), kIOReturnSuccess);
    EXPECT_EQ(display.dciCount, dciBefore + 1);
    IOGateLock gate(fb);
    EXPECT_EQ(fb->getConnectionCount(), 1u);
    uintptr_t enabled = 0;
    EXPECT_EQ(fb->getAttributeForConnection(0, kConnectionEnable, &enabled), kIOReturnSuccess);
    EXPECT_EQ(enabled, 1u);
    ASSERT_EQ(fb->getDisplayModeCount(), 3u);
    IODisplayModeID modes[3] = {};
    fb->getDisplayModes(modes);
    EXPECT_EQ(std::vector<IODisplayModeID>(modes, modes + 3), (std::vector<IODisplayModeID>{30, 9, 1}));
    IODisplayModeID mode = 0;
    IOIndex depth = 0;
    fb->getCurrentDisplayMode(&mode, &depth);
    EXPECT_EQ(mode, 30);
    EXPECT_EQ(depth, 2);
    fb->getStartupDisplayMode(&mode, &depth);
    EXPECT_EQ(mode, 30);
    IOTimingInformation timing{};
    fb->getTimingInfoForDisplayMode(mode, &timing);
    EXPECT_EQ(timing.appleTimingID, 190u);
}

TEST_F(FramebufferTest, DisableOrDeathOfTheScreenServerTurnsTheDisplayOffWithOneConnectChange) {
    FakeDisplay& display = booted(2);
    IOFramebuffer* fb = display.framebuffer.get();
    io_handle_t connection = openUserClient(2);
    ASSERT_EQ(enable(connection, {1}), kIOReturnSuccess);
    int dci = display.dciCount;
    EXPECT_EQ(call(connection, 3), kIOReturnSuccess);
    EXPECT_EQ(display.dciCount, dci + 1);
    {
        IOGateLock gate(fb);
        EXPECT_EQ(fb->getConnectionCount(), 0u);
        IODisplayModeID modes[1] = {};
        EXPECT_EQ(fb->getDisplayModeCount(), 1u);
        fb->getDisplayModes(modes);
        EXPECT_EQ(modes[0], 441);
    }
    ASSERT_EQ(enable(connection, {1}), kIOReturnSuccess);
    dci = display.dciCount;
    task->processDied();
    EXPECT_EQ(display.dciCount, dci + 1);
    IOGateLock gate(fb);
    EXPECT_EQ(fb->getConnectionCount(), 0u);
    EXPECT_EQ(task->liveHandleCount(), 0u);
}

TEST_F(FramebufferTest, OneUserClientAtATimePerFramebuffer) {
    booted(1);
    io_handle_t first = openUserClient(1);
    ASSERT_NE(first, 0u);
    IOReturn result = kIOReturnSuccess;
    EXPECT_EQ(openUserClient(1, &result), 0u);
    EXPECT_EQ(result, kIOReturnExclusiveAccess);
    UserTask other(*kernel, 99);
    io_handle_t service = other.entryFromPath(framebufferPath(1));
    io_handle_t second = 0;
    EXPECT_EQ(other.serviceOpen(service, 0x1000, &second), kIOReturnExclusiveAccess);
    EXPECT_NE(openUserClient(0), 0u) << "another framebuffer is free";
    EXPECT_EQ(call(first, 1), kIOReturnSuccess);
    EXPECT_EQ(task->serviceClose(first), kIOReturnSuccess);
    EXPECT_EQ(task->serviceClose(first), kIOReturnBadArgument);
    kernel->waitQuiet();
    EXPECT_EQ(other.serviceOpen(service, 0x1000, &second), kIOReturnSuccess);
    EXPECT_NE(second, 0u);
}

TEST_F(FramebufferTest, OtherConnectionTypesGoToTheBaseClass) {
    booted(0);
    IOReturn result = kIOReturnSuccess;
    io_handle_t service = task->entryFromPath(framebufferPath(0));
    io_handle_t connection = 0;
    result = task->serviceOpen(service, 0, &connection);
    EXPECT_EQ(result, kIOReturnUnsupported);
    EXPECT_EQ(connection, 0u);
}

TEST_F(FramebufferTest, ScalarCountsAreCheckedBeforeAnyHandlerRuns) {
    FakeDisplay& display = booted(3);
    io_handle_t connection = openUserClient(3);
    int dci = display.dciCount;
    EXPECT_EQ(call(connection, 2), kIOReturnBadArgument);      // needs one input
    EXPECT_EQ(call(connection, 3, {1}), kIOReturnBadArgument); // takes none
    EXPECT_EQ(call(connection, 5, {}, nullptr, 5), kIOReturnBadArgument);
    EXPECT_EQ(call(connection, 12), kIOReturnUnsupported);
    EXPECT_EQ(call(connection, 4, {}, nullptr, 1), kIOReturnUnsupported);
    EXPECT_EQ(call(connection, 6, {0, 0}, nullptr, 4), kIOReturnUnsupported);
    EXPECT_EQ(display.dciCount, dci);
    std::vector<uint64_t> tooMany(1025, 1);
    EXPECT_EQ(call(connection, 8, tooMany), kIOReturnBadArgument);
}

TEST_F(FramebufferTest, ModeIdsOutsideTheTableAndEmptyListsAreRefusedAndChangeNothing) {
    FakeDisplay& display = booted(0);
    IOFramebuffer* fb = display.framebuffer.get();
    io_handle_t connection = openUserClient(0);
    ASSERT_EQ(enable(connection, {5}), kIOReturnSuccess);
    int dci = display.dciCount;
    EXPECT_EQ(call(connection, 8, {}), kIOReturnBadArgument);
    EXPECT_EQ(call(connection, 2, {0}), kIOReturnBadArgument);
    EXPECT_EQ(call(connection, 2, {443}), kIOReturnBadArgument);
    EXPECT_EQ(call(connection, 2, {0xFFFFFFFF}), kIOReturnBadArgument);
    EXPECT_EQ(call(connection, 8, {1, 2, 443}), kIOReturnBadArgument);
    EXPECT_EQ(display.dciCount, dci);
    EXPECT_TRUE(log.contains("enable with an empty mode list refused"));
    EXPECT_TRUE(log.contains("enable with mode id 443 refused"));
    EXPECT_TRUE(log.contains("enable with mode id -1 refused")) << "0xFFFFFFFF read as a signed id";
    IOGateLock gate(fb);
    IODisplayModeID mode = 0;
    IOIndex depth = 0;
    fb->getCurrentDisplayMode(&mode, &depth);
    EXPECT_EQ(mode, 5);
    EXPECT_EQ(fb->getDisplayModeCount(), 1u);
}

TEST_F(FramebufferTest, ListsUseTheLowHalfOfEachScalarAndKeepAtMost442Ids) {
    FakeDisplay& display = booted(0);
    IOFramebuffer* fb = display.framebuffer.get();
    io_handle_t connection = openUserClient(0);
    EXPECT_EQ(call(connection, 8, {0xFFFFFFFF00000003ull, 0x1234567800000009ull, 0x100000001ull}),
              kIOReturnSuccess);
    {
        IOGateLock gate(fb);
        IODisplayModeID modes[3] = {};
        ASSERT_EQ(fb->getDisplayModeCount(), 3u);
        fb->getDisplayModes(modes);
        EXPECT_EQ(std::vector<IODisplayModeID>(modes, modes + 3), (std::vector<IODisplayModeID>{3, 9, 1}));
    }
    std::vector<uint64_t> all;
    for (int i = 0; i < 500; ++i)
        all.push_back(442 - (i % 442));
    EXPECT_EQ(call(connection, 8, all), kIOReturnSuccess);
    IOGateLock gate(fb);
    ASSERT_EQ(fb->getDisplayModeCount(), 442u);
    std::vector<IODisplayModeID> modes(442);
    fb->getDisplayModes(modes.data());
    EXPECT_EQ(modes.front(), 442);
    EXPECT_EQ(modes.back(), 1);
}

TEST_F(FramebufferTest, CursorStateReachesTheScreenServerAndChangedClearsOnRead) {
    FakeDisplay& display = booted(1);
    IOFramebuffer* fb = display.framebuffer.get();
    io_handle_t connection = openUserClient(1);
    std::vector<uint64_t> out;
    ASSERT_EQ(call(connection, 5, {}, &out, 4), kIOReturnSuccess);
    EXPECT_EQ(out, (std::vector<uint64_t>{0, 0, 0, 1})) << "changed is set from start";
    {
        IOGateLock gate(fb);
        fb->setCursorState(-5, 40, true);
        int record = 0;
        fb->setCursorImage(&record);
    }
    ASSERT_EQ(call(connection, 5, {}, &out, 4), kIOReturnSuccess);
    EXPECT_EQ(out, (std::vector<uint64_t>{0xFFFFFFFBull, 40, 1, 1}));
    ASSERT_EQ(call(connection, 5, {}, &out, 2), kIOReturnSuccess);
    EXPECT_EQ(out, (std::vector<uint64_t>{0xFFFFFFFBull, 40}));
    ASSERT_EQ(call(connection, 5, {}, &out, 4), kIOReturnSuccess);
    EXPECT_EQ(out[3], 0u);
}

TEST_F(FramebufferTest, AClosedClientKeepsItsConnectionButReachesNoFramebuffer) {
    FakeDisplay& display = booted(2);
    io_handle_t connection = openUserClient(2);
    ASSERT_EQ(enable(connection, {1}), kIOReturnSuccess);
    int dci = display.dciCount;
    EXPECT_EQ(call(connection, 1), kIOReturnSuccess);
    EXPECT_EQ(display.dciCount, dci + 1) << "exactly one connect change for the close";
    EXPECT_EQ(call(connection, 1), kIOReturnNotAttached);
    EXPECT_EQ(call(connection, 0), kIOReturnNotAttached);
    std::vector<uint64_t> out;
    EXPECT_EQ(call(connection, 5, {}, &out, 4), kIOReturnSuccess);
    EXPECT_EQ(out, (std::vector<uint64_t>{0, 0, 0, 0}));
    EXPECT_EQ(call(connection, 9), kIOReturnError);
    EXPECT_EQ(call(connection, 10, {16666}), kIOReturnError);
    EXPECT_EQ(call(connection, 11, {250000}), kIOReturnError);
    EXPECT_EQ(call(connection, 2, {1}), kIOReturnNotAttached);
    EXPECT_EQ(display.dciCount, dci + 1);
}

TEST_F(FramebufferTest, TheUserClientHandsOutTheVRAMAsMemoryTypeZeroOnly) {
    FakeDisplay& display = booted(1);
    io_handle_t connection = openUserClient(1);
    ASSERT_NE(connection, 0u);
    OSPtr<OSObject> object = task->objectForHandle(connection);
    auto* client = OSDynamicCast(IOUserClient, object.get());
    ASSERT_NE(client, nullptr);
    IOByteCount vramLength = 0;
    {
        IOGateLock gate(display.framebuffer.get());
        auto vram = adoptRetained(display.framebuffer->getVRAMRange());
        ASSERT_TRUE(vram);
        vramLength = vram->getLength();
    }
    IOOptionBits options = 7;
    IOMemoryDescriptor* memory = nullptr;
    ASSERT_EQ(client->clientMemoryForType(0, &options, &memory), kIOReturnSuccess);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(options, 0u);
    EXPECT_EQ(memory->getLength(), vramLength);
    memory->release(); // the caller's reference

    // Any other type, or no place for the answer, hands out nothing.
    options = 7;
    EXPECT_EQ(client->clientMemoryForType(1, &options, &memory), kIOReturnNoMemory);
    EXPECT_EQ(memory, nullptr);
    EXPECT_EQ(options, 0u);
    EXPECT_EQ(client->clientMemoryForType(0, &options, nullptr), kIOReturnNoMemory);

    // Once closed, the client reaches no framebuffer: the base's refusal.
    EXPECT_EQ(call(connection, 1), kIOReturnSuccess);
    EXPECT_EQ(client->clientMemoryForType(0, &options, &memory), kIOReturnUnsupported);
    EXPECT_EQ(memory, nullptr);
}

TEST_F(FramebufferTest, ATerminatingFramebufferTellsItsClientAndRefusesNewOnes) {
    FakeDisplay& display = booted(2);
    OSPtr<IOFramebuffer> fb = display.framebuffer;
    io_handle_t service = task->entryFromPath(framebufferPath(2));
    io_handle_t connection = 0;
    io_handle_t late = 0;
    {
        // Held as an open in flight holds it: the termination waits for the gate.
        IOGateLock gate(fb.get());
        ASSERT_EQ(task->serviceOpen(service, 0x1000, &connection), kIOReturnSuccess);
        fb->terminate();
        EXPECT_EQ(task->serviceOpen(service, 0x1000, &late), kIOReturnNotAttached);
        EXPECT_EQ(late, 0u);
    }
    kernel->waitQuiet();
    EXPECT_EQ(windowServer->stopped(), (std::vector<std::string>{"2"}));
    EXPECT_EQ(call(connection, 0), kIOReturnNotAttached) << "the client opened first was told";
    EXPECT_TRUE(fb->copyChildEntries().empty());
    EXPECT_EQ(task->serviceOpen(service, 0x1000, &late), kIOReturnNotAttached)
        << "a stopped framebuffer gets no new client";
    EXPECT_EQ(late, 0u);
    EXPECT_TRUE(fb->copyChildEntries().empty());
}

TEST_F(FramebufferTest, BytesPerRowFollowsTheCurrentMode) {
    booted(0);
    io_handle_t connection = openUserClient(0);
    ASSERT_EQ(enable(connection, {1}), kIOReturnSuccess);
    std::vector<uint64_t> out;
    ASSERT_EQ(call(connection, 7, {}, &out, 1), kIOReturnSuccess);
    EXPECT_EQ(out, (std::vector<uint64_t>{4128}));
}

TEST_F(FramebufferTest, UnloadingTheFramebufferKextDropsTheScreenServersConnection) {
    FakeDisplay& display = booted(2);
    io_handle_t connection = openUserClient(2);
    ASSERT_EQ(enable(connection, {1}), kIOReturnSuccess);
    int dci = display.dciCount;
    EXPECT_EQ(kernel->unloadKext("com.quenby.QNExVideo"), kIOReturnExclusiveAccess);
    EXPECT_EQ(kernel->unloadKext("com.quenby.QNExFramebuffer"), kIOReturnSuccess);
    EXPECT_EQ(display.dciCount, dci + 1) << "the user client's end turned the display off once";
    EXPECT_EQ(call(connection, 3), kIOReturnBadArgument);
    EXPECT_EQ(task->liveHandleCount(), 0u);
    EXPECT_EQ(windowServer->stopped().size(), 4u);
    EXPECT_FALSE(IORegistryEntry::fromPath(framebufferPath(2)));
    EXPECT_TRUE(IORegistryEntry::fromPath("IOService:/IOResources/QNExGFX/Quenby Virtual Display@2"));
    EXPECT_FALSE(OSMetaClass::getMetaClassWithName("QNExFramebuffer"));
}

} // namespace
} // namespace drivers::testing
