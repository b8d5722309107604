// The video card kext on its own: "QNExGFX" under the resources node with four display
// nubs, and what the rest of the system reads of it.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/OSNumber.h"
#include "platform/kernel/OSString.h"
#include "platform/kernel/OSSymbol.h"
#include "platform/kernel/UserTask.h"

#include <gtest/gtest.h>

namespace drivers {
namespace {

using namespace kernel;

const std::string kVideoCardKext = std::string(TESSEL_KEXT_DIR) + "/QNVideoCard.kext";
const std::string kFramebufferKext = std::string(TESSEL_KEXT_DIR) + "/QNFramebuffer.kext";
const std::string kNubPath = "IOService:/IOResources/QNExGFX/Quenby Virtual Display@";

class VideoCardTest : public ::testing::Test {
protected:
    void boot(KernelConfig config = {}) {
        platform::installFakeClock();
        kernel = std::make_unique<Kernel>(std::move(config));
    }
    void TearDown() override {
        kernel.reset();
        kernel::testing::clearAttachFailures();
    }

    OSPtr<IOService> video() {
        auto gfx = IORegistryEntry::fromPath("IOService:/IOResources/QNExGFX");
        if (!gfx || !gfx->metaCast("QNExVideo")) return {};
        return makeRetained(OSDynamicCast(IOService, gfx.get()));
    }

    platform::LogCapture log{true};
    std::unique_ptr<Kernel> kernel;
};

TEST_F(VideoCardTest, WithoutTheKextsThereIsNoQNExGFX) {
    boot();
    kernel->waitQuiet();
    EXPECT_FALSE(IORegistryEntry::fromPath("IOService:/IOResources/QNExGFX"));
    EXPECT_TRUE(kernel->matchingServices("QNExVideo").empty());
    EXPECT_TRUE(kernel->copyLoadedKextInfo(nullptr).asDictionary()->empty());
}

TEST_F(VideoCardTest, PublishesQNExGFXWithFourRegisteredNubs) {
    boot();
    ASSERT_EQ(kernel->loadKexts({kVideoCardKext}), std::vector<std::string>{"com.quenby.QNExVideo"});
    kernel->waitQuiet();
    OSPtr<IOService> gfx = video();
    ASSERT_TRUE(gfx);
    EXPECT_EQ(gfx->getPowerState(), 2u);
    EXPECT_TRUE(gfx->isPMInitialized());
    EXPECT_TRUE(gfx->isRegistered());
    for (int i = 0; i < 4; ++i) {
        auto nub = IORegistryEntry::fromPath(kNubPath + std::to_string(i));
        ASSERT_TRUE(nub) << i;
        EXPECT_EQ(nub->getLocation(), std::to_string(i));
        auto* compatible = OSDynamicCast(OSString, nub->getProperty("compatible"));
        ASSERT_TRUE(compatible);
        EXPECT_EQ(compatible->string(), "QNVirtualDisplay");
        auto* displayNum = OSDynamicCast(OSNumber, nub->getProperty("displayNum"));
        ASSERT_TRUE(displayNum);
        EXPECT_EQ(displayNum->numberOfBits(), 16u);
        EXPECT_EQ(displayNum->unsigned16BitValue(), i);
        EXPECT_TRUE(nub->copyChildEntries().empty()) << "no framebuffer kext loaded";
    }
    EXPECT_EQ(kernel->matchingServices("QNExDisplay").size(), 4u);
}

TEST_F(VideoCardTest, ANubThatCannotAttachIsLeftOutAndTheOthersStay) {
    boot();
    kernel::testing::failNthAttach("QNExDisplay", 2);
    kernel->loadKexts({kVideoCardKext, kFramebufferKext});
    kernel->waitQuiet();
    EXPECT_TRUE(IORegistryEntry::fromPath(kNubPath + "0"));
    EXPECT_FALSE(IORegistryEntry::fromPath(kNubPath + "1"));
    EXPECT_TRUE(IORegistryEntry::fromPath(kNubPath + "2/QNExFramebuffer@2"));
    EXPECT_TRUE(IORegistryEntry::fromPath(kNubPath + "3"));
    EXPECT_EQ(kernel->matchingServices("QNExFramebuffer").size(), 3u);
    EXPECT_TRUE(log.contains("com.quenby.QNExVideo: QNExVideo: display 1 left out"));
}

TEST_F(VideoCardTest, TheFramebufferKextNeedsTheVideoCardKext) {
    boot();
    EXPECT_TRUE(kernel->loadKexts({kFramebufferKext}).empty());
    EXPECT_TRUE(log.contains(
        "kernel: kext com.quenby.QNExFramebuffer refused: library com.quenby.QNExVideo is missing"));
    auto loaded = kernel->loadKexts({kFramebufferKext, kVideoCardKext});
    EXPECT_EQ(loaded, (std::vector<std::string>{"com.quenby.QNExVideo", "com.quenby.QNExFramebuffer"}));
}

TEST_F(VideoCardTest, LoadedKextInfoAnswersOnlyLoadedIdentifiers) {
    boot();
    kernel->loadKexts({kVideoCardKext});
    std::vector<std::string> asked{"com.quenby.QNExVideo", "com.quenby.QNExFramebuffer"};
    cf::Value info = kernel->copyLoadedKextInfo(&asked);
    ASSERT_EQ(info.count(), 1u);
    const cf::Value* video = info.find("com.quenby.QNExVideo");
    ASSERT_TRUE(video);
    EXPECT_EQ(*video->find("CFBundleIdentifier")->asString(), "com.quenby.QNExVideo");
    EXPECT_EQ(*video->find("CFBundleVersion")->asString(), "1.3.0");
    EXPECT_EQ(*video->find("OSBundlePath")->asString(), kVideoCardKext);
    auto kexts = kernel->loadedKexts();
    ASSERT_EQ(kexts.size(), 1u);
    EXPECT_EQ(kexts[0].moduleName, "com.quenby.driver.QNVideoCard");
    EXPECT_EQ(kexts[0].moduleVersion, "1.3.0");
}

TEST_F(VideoCardTest, NoUserClientAndTheGlobalSymbolLivesFromLoadToUnload) {
    boot();
    kernel->loadKexts({kVideoCardKext});
    kernel->waitQuiet();
    UserTask task(*kernel, 7);
    io_handle_t gfx = task.entryFromPath("IOService:/IOResources/QNExGFX");
    io_handle_t connection = 0;
    EXPECT_EQ(task.serviceOpen(gfx, 0, &connection), kIOReturnUnsupported);
    task.objectRelease(gfx);
    auto symbol = adoptRetained(const_cast<OSSymbol*>(OSSymbol::withCString("ProxyVideoHead")));
    EXPECT_EQ(symbol->getRetainCount(), 2) << "the kext holds it too";
    EXPECT_EQ(kernel->unloadKext("com.quenby.QNExVideo"), kIOReturnSuccess);
    EXPECT_EQ(symbol->getRetainCount(), 1);
    EXPECT_FALSE(IORegistryEntry::fromPath("IOService:/IOResources/QNExGFX"));
}

} // namespace
} // namespace drivers
