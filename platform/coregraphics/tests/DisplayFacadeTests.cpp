// The Core Graphics display facade against the in-process kernel, kexts and window server on
// the fake clock: lists, modes and twins, descriptions, transactions and their passes,
// removed displays, the cursor, refresh pushes and accessibility routing.
#include "platform/applicationservices/AXUIElement.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/coregraphics/CGRemoteOperation.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/coregraphics/WindowServerTransport.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/iokit/IOGraphicsLib.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/InProcessKernel.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

namespace cg {

namespace {

const std::string kKextDir = TESSEL_KEXT_DIR;

std::string framebufferPath(int index) {
    return "IOService:/IOResources/QNExGFX/Quenby Virtual Display@" + std::to_string(index) +
           "/QNExFramebuffer@" + std::to_string(index);
}

uint32_t u32At(const uint8_t* d, size_t offset) {
    return uint32_t(d[offset]) | uint32_t(d[offset + 1]) << 8 | uint32_t(d[offset + 2]) << 16 |
           uint32_t(d[offset + 3]) << 24;
}

struct Heard {
    std::vector<std::pair<CGDirectDisplayID, CGDisplayChangeSummaryFlags>> calls;
    // What the callback saw of the display at pass 2.
    std::vector<CGRect> boundsAtPass2;
};

void reconfigured(CGDirectDisplayID display, CGDisplayChangeSummaryFlags flags, void* info) {
    auto* heard = static_cast<Heard*>(info);
    heard->calls.emplace_back(display, flags);
    if (!(flags & kCGDisplayBeginConfigurationFlag)) heard->boundsAtPass2.push_back(CGDisplayBounds(display));
}

std::vector<std::vector<CGRect>> gRefreshes;
void refreshed(uint32_t count, const CGRect* rects, void*) {
    gRefreshes.emplace_back(rects, rects + count);
}

} // namespace

class DisplayFacade : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        gRefreshes.clear();
    }
    void boot(windowserver::WindowServerConfig config = {}) {
        iokit::InProcessKernelOptions options;
        options.kexts = {kKextDir + "/QNVideoCard.kext", kKextDir + "/QNFramebuffer.kext"};
        config.hiDPIEnabled = [this] { return m_hiDPI.load(); };
        options.windowServerConfig = config;
        m_kernel = std::make_shared<iokit::InProcessKernel>(options);
        m_kernel->install();
    }
    void TearDown() override {
        CGDisplayRemoveReconfigurationCallback(reconfigured, &m_heard);
        CGUnregisterScreenRefreshCallback(refreshed, nullptr);
        drain();
        for (auto c : m_connections)
            iokit::IOServiceClose(c);
        if (m_kernel) m_kernel->shutdown();
    }

    // As the screen server enables a display: pacing, then the mode list.
    void enable(int index, std::vector<uint64_t> modes) {
        iokit::io_service_t service =
            iokit::IORegistryEntryFromPath(iokit::kIOMasterPortDefault, framebufferPath(index).c_str());
        iokit::io_connect_t c = 0;
        ASSERT_EQ(iokit::IOServiceOpen(service, iokit::mach_task_self(), 0x1000, &c),
                  iokit::kIOReturnSuccess);
        iokit::IOObjectRelease(service);
        uint64_t clock = 16666, threshold = 250000;
        ASSERT_EQ(iokit::IOConnectCallScalarMethod(c, 10, &clock, 1, nullptr, nullptr),
                  iokit::kIOReturnSuccess);
        ASSERT_EQ(iokit::IOConnectCallScalarMethod(c, 11, &threshold, 1, nullptr, nullptr),
                  iokit::kIOReturnSuccess);
        ASSERT_EQ(
            iokit::IOConnectCallScalarMethod(c, 8, modes.data(), uint32_t(modes.size()), nullptr, nullptr),
            iokit::kIOReturnSuccess);
        m_connections.push_back(c);
        m_kernel->windowServer()->sync();
    }
    void disable(size_t which) {
        ASSERT_EQ(iokit::IOConnectCallScalarMethod(m_connections[which], 3, nullptr, 0, nullptr, nullptr),
                  iokit::kIOReturnSuccess);
        m_kernel->windowServer()->sync();
    }

    // Runs what the main run loop has been handed.
    void drain() {
        auto loop = dispatch::RunLoop::main();
        while (loop->runInMode(dispatch::kDefaultRunLoopMode, platform::now(), true) ==
               dispatch::RunLoop::RunResult::HandledSource) {
        }
    }

    std::vector<CGDirectDisplayID> list() {
        uint32_t n = 0;
        EXPECT_EQ(CGGetActiveDisplayList(0, nullptr, &n), kCGErrorSuccess);
        std::vector<CGDirectDisplayID> ids(n);
        EXPECT_EQ(CGGetActiveDisplayList(n, ids.data(), &n), kCGErrorSuccess);
        ids.resize(n);
        return ids;
    }

    CGDisplayModeRef modeWith(CGDirectDisplayID display, int32_t ioMode, double scale) {
        auto modes = CGDisplayCopyAllDisplayModes(display, nullptr);
        if (modes)
            for (auto& m : *modes)
                if (m->ioDisplayModeID == ioMode && m->resolution == scale) return m;
        return nullptr;
    }

    CGError configure(CGDirectDisplayID display, const CGDisplayModeRef& mode, CGConfigureOption option = 2) {
        CGDisplayConfigRef config = nullptr;
        EXPECT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
        CGError e = CGConfigureDisplayWithDisplayMode(config, display, mode, nullptr);
        if (e) {
            CGCancelDisplayConfiguration(config);
            return e;
        }
        return CGCompleteDisplayConfiguration(config, option);
    }

    platform::LogCapture m_log{true};
    std::atomic<bool> m_hiDPI{false};
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
    std::vector<iokit::io_connect_t> m_connections;
    Heard m_heard;
};

TEST_F(DisplayFacade, ListsPutTheMainDisplayFirstOrLastAndTheSeedFollowsChanges) {
    windowserver::WindowServerConfig config;
    config.mainDisplayLast = true;
    boot(config);
    uint32_t seed = CGSDisplayMappingChangedSeed();
    EXPECT_EQ(list(), (std::vector<CGDirectDisplayID>{1}));
    enable(2, {1});
    enable(0, {9});
    EXPECT_EQ(list(), (std::vector<CGDirectDisplayID>{0x100, 0x102, 1}));
    EXPECT_NE(CGSDisplayMappingChangedSeed(), seed);
    EXPECT_EQ(CGSGetNumberOfDisplays(), 3u);
    // A short array gets the first ids only; a null count is refused.
    CGDirectDisplayID two[2] = {};
    uint32_t n = 0;
    EXPECT_EQ(CGGetOnlineDisplayList(2, two, &n), kCGErrorSuccess);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(two[1], 0x102u);
    EXPECT_EQ(CGGetActiveDisplayList(2, two, nullptr), kCGErrorIllegalArgument);
    // Geometry: packed right of the main display in index order; pixels as points at 1x.
    EXPECT_TRUE(CGRectEqualToRect(CGDisplayBounds(0x100), CGRectMake(1440, 0, 1280, 720)));
    EXPECT_TRUE(CGRectEqualToRect(CGDisplayBounds(0x102), CGRectMake(1440 + 1280, 0, 1024, 768)));
    EXPECT_EQ(CGDisplaySerialNumber(0x102), 0x99730002u);
    EXPECT_EQ(CGDisplayUnitNumber(0x102), 3u);
    EXPECT_TRUE(CGDisplayIsMain(1));
    EXPECT_FALSE(CGDisplayIsMain(0x102));
    // Touching is not meeting.
    CGDirectDisplayID hit[4] = {};
    EXPECT_EQ(CGGetDisplaysWithRect(CGRectMake(1440, 10, 1, 1), 4, hit, &n), kCGErrorSuccess);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(hit[0], 0x100u);
    EXPECT_EQ(CGGetDisplaysWithRect(CGRectMake(1430, 0, 10, 10), 4, hit, &n), kCGErrorSuccess);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(hit[0], 1u);
    EXPECT_EQ(CGGetDisplaysWithRect(CGRectMake(NAN, 0, 10, 10), 4, hit, &n), kCGErrorIllegalArgument);
}

TEST_F(DisplayFacade, TwinsFollowTheSettingAndACurrentTwinStaysListed) {
    boot();
    enable(1, {1, 34});
    int32_t count = 0;
    EXPECT_EQ(CGSGetNumberOfDisplayModes(0x101, &count), kCGErrorSuccess);
    EXPECT_EQ(count, 2);
    m_hiDPI = true;
    EXPECT_EQ(CGSGetNumberOfDisplayModes(0x101, &count), kCGErrorSuccess);
    EXPECT_EQ(count, 4);
    auto all = CGDisplayCopyAllDisplayModes(0x101, nullptr);
    ASSERT_TRUE(all);
    // The 1x 1024 x 768 has a twin of that point size (2048 x 1536 at 2.0): hidden without the option.
    EXPECT_EQ(all->size(), 3u);
    cf::Value duplicates = cf::Dictionary{{kCGDisplayShowDuplicateLowResolutionModes, true}};
    all = CGDisplayCopyAllDisplayModes(0x101, &duplicates);
    ASSERT_EQ(all->size(), 4u);
    EXPECT_EQ((*all)[1]->width, 512u);
    EXPECT_EQ((*all)[1]->pixelWidth, 1024u);
    EXPECT_EQ((*all)[1]->resolution, 2.0);
    EXPECT_EQ((*all)[1]->ioDisplayModeID, 1);
    EXPECT_EQ(configure(0x101, modeWith(0x101, 34, 2.0)), kCGErrorSuccess);
    EXPECT_TRUE(CGRectEqualToRect(CGDisplayBounds(0x101), CGRectMake(1440, 0, 1024, 768)));
    EXPECT_EQ(CGDisplayPixelsWide(0x101), 2048u);
    m_hiDPI = false;
    EXPECT_EQ(CGSGetNumberOfDisplayModes(0x101, &count), kCGErrorSuccess);
    EXPECT_EQ(count, 3);
    int32_t current = -1;
    EXPECT_EQ(CGSGetCurrentDisplayMode(0x101, &current), kCGErrorSuccess);
    EXPECT_EQ(current, 2);
    EXPECT_EQ(CGDisplayCopyDisplayMode(0x101)->resolution, 2.0);
}

TEST_F(DisplayFacade, DescriptionsHoldTheDocumentedBytes) {
    m_hiDPI = true;
    boot();
    enable(2, {1, 34});
    uint8_t d[212];
    std::memset(d, 0xAA, sizeof d);
    ASSERT_EQ(CGSGetDisplayModeDescriptionOfLength(0x102, 3, d, 212), kCGErrorSuccess);
    EXPECT_EQ(u32At(d, 0), 3u);
    EXPECT_EQ(u32At(d, 8), 1024u);
    EXPECT_EQ(u32At(d, 12), 768u);
    EXPECT_EQ(u32At(d, 20), 4u * 2048 + 32);
    EXPECT_EQ(u32At(d, 24), 32u);
    EXPECT_EQ(u32At(d, 28), 8u);
    EXPECT_EQ(u32At(d, 32), 3u);
    EXPECT_EQ(u32At(d, 40), 144u);
    EXPECT_EQ(u32At(d, 188), 0x003C0000u);
    EXPECT_EQ(u32At(d, 196), 34u);
    EXPECT_EQ(u32At(d, 200), 2048u);
    EXPECT_EQ(u32At(d, 204), 1536u);
    float resolution;
    std::memcpy(&resolution, d + 208, 4);
    EXPECT_EQ(resolution, 2.0f);
    EXPECT_EQ(u32At(d, 4) & 0x1, 1u);
    EXPECT_EQ(u32At(d, 4) & 0x60000000, 0u);
    EXPECT_EQ(u32At(d, 192), u32At(d, 4));
    for (size_t i : {16, 36, 48, 100, 184})
        EXPECT_EQ(d[i], 0) << i;
    // A shorter length writes just that much; bad lengths, numbers and displays write nothing.
    uint8_t shortCopy[8];
    std::memset(shortCopy, 0xAA, sizeof shortCopy);
    EXPECT_EQ(CGSGetDisplayModeDescriptionOfLength(0x102, 3, shortCopy, 4), kCGErrorSuccess);
    EXPECT_EQ(u32At(shortCopy, 0), 3u);
    EXPECT_EQ(shortCopy[4], 0xAA);
    uint8_t untouched[216];
    std::memset(untouched, 0xAA, sizeof untouched);
    EXPECT_EQ(CGSGetDisplayModeDescriptionOfLength(0x102, 3, untouched, 213), kCGErrorIllegalArgument);
    EXPECT_EQ(CGSGetDisplayModeDescriptionOfLength(0x102, 3, untouched, -1), kCGErrorIllegalArgument);
    EXPECT_EQ(CGSGetDisplayModeDescriptionOfLength(0x102, 4, untouched, 212), kCGErrorIllegalArgument);
    EXPECT_EQ(CGSGetDisplayModeDescriptionOfLength(0x777, 0, untouched, 212), kCGErrorIllegalArgument);
    EXPECT_EQ(untouched[0], 0xAA);
    // The main display's modes: I/O Kit id 0, flags 0x800007.
    ASSERT_EQ(CGSGetDisplayModeDescriptionOfLength(1, 0, d, 212), kCGErrorSuccess);
    EXPECT_EQ(u32At(d, 196), 0u);
    EXPECT_EQ(u32At(d, 4), 0x800007u);
}

TEST_F(DisplayFacade, DisplayInformationOutlivesTheDisplay) {
    boot();
    enable(2, {1});
    uint32_t port = CGDisplayIOServicePort(0x102);
    ASSERT_NE(port, 0u);
    iokit::io_name_t name = {};
    ASSERT_EQ(iokit::IOObjectGetClass(port, name), iokit::kIOReturnSuccess);
    EXPECT_STREQ(name, "IODisplayConnect");
    auto info = iokit::IODisplayCreateInfoDictionary(port, iokit::kIODisplayOnlyPreferredName);
    ASSERT_TRUE(info);
    const cf::Value* serial = info->find(iokit::kDisplaySerialNumber);
    ASSERT_TRUE(serial);
    EXPECT_EQ(serial->numberType(), cf::kCFNumberSInt32Type);
    EXPECT_EQ(uint32_t(serial->intValue()), 0x99730002u);
    EXPECT_EQ(info->find(iokit::kDisplayVendorID)->intValue(), 0x5A8F);
    const std::string* location = info->find(iokit::kIODisplayLocationKey)->asString();
    ASSERT_TRUE(location);
    EXPECT_EQ(location->rfind("IOService:/IOResources/QNExGFX/Quenby Virtual Display@2/", 0), 0u);
    std::string productName = *info->find(iokit::kDisplayProductName)->find("en_US")->asString();
    disable(0);
    // Detached now, the handle still answers, as does the framebuffer.
    auto after = iokit::IODisplayCreateInfoDictionary(port, 0);
    ASSERT_TRUE(after);
    EXPECT_EQ(*after->find(iokit::kDisplayProductName)->find("en_US")->asString(), productName);
    iokit::io_service_t fb = iokit::IORegistryEntryFromPath(0, framebufferPath(2).c_str());
    EXPECT_TRUE(iokit::IODisplayCreateInfoDictionary(fb, 0));
    iokit::IOObjectRelease(fb);
    iokit::IOObjectRelease(port);
    // The removed display's service is now its framebuffer, which still names it.
    port = CGDisplayIOServicePort(0x102);
    ASSERT_NE(port, 0u);
    ASSERT_EQ(iokit::IOObjectGetClass(port, name), iokit::kIOReturnSuccess);
    EXPECT_STREQ(name, "QNExFramebuffer");
    EXPECT_TRUE(iokit::IODisplayCreateInfoDictionary(port, 0));
    iokit::IOObjectRelease(port);
    EXPECT_EQ(CGDisplayIOServicePort(0x105), 0u);
    // The built-in display has one from boot; no serial key when it is 0.
    port = CGDisplayIOServicePort(1);
    ASSERT_NE(port, 0u);
    EXPECT_TRUE(iokit::IODisplayCreateInfoDictionary(port, 0));
    iokit::IOObjectRelease(port);
    EXPECT_FALSE(iokit::IODisplayCreateInfoDictionary(0, 0));
}

namespace {

// The in-process connection, counting seed requests, with or without its shared page.
class SeedCountingTransport : public WindowServerTransport {
  public:
    SeedCountingTransport(std::shared_ptr<WindowServerTransport> inner, bool page)
        : m_inner(std::move(inner)), m_page(page) {}
    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        if (op == windowserver::op::seed) ++seedRequests;
        return m_inner->request(op, args);
    }
    void setPushHandler(PushHandler handler) override { m_inner->setPushHandler(std::move(handler)); }
    std::optional<uint32_t> publishedMappingSeed() override {
        return m_page ? m_inner->publishedMappingSeed() : std::nullopt;
    }
    std::atomic<int> seedRequests{0};

  private:
    std::shared_ptr<WindowServerTransport> m_inner;
    bool m_page;
};

} // namespace

TEST_F(DisplayFacade, TheSeedIsReadOffTheSharedPageAndAskedForWithoutOne) {
    boot();
    enable(2, {1, 9});
    auto viaPage = std::make_shared<SeedCountingTransport>(m_kernel->windowServerConnection(), true);
    auto asking = std::make_shared<SeedCountingTransport>(m_kernel->windowServerConnection(), false);
    CGSSetWindowServerTransport(viaPage);
    const uint32_t before = CGSDisplayMappingChangedSeed();
    EXPECT_NE(before, 0u);
    // A mode change is on the page by the time the configuration completes.
    ASSERT_EQ(configure(0x102, modeWith(0x102, 9, 1.0)), kCGErrorSuccess);
    const uint32_t after = CGSDisplayMappingChangedSeed();
    EXPECT_NE(after, before);
    EXPECT_EQ(viaPage->seedRequests.load(), 0);
    // Without the page the request answers, and answers the same seed.
    CGSSetWindowServerTransport(asking);
    EXPECT_EQ(CGSDisplayMappingChangedSeed(), after);
    EXPECT_EQ(asking->seedRequests.load(), 1);
    disable(0);
    EXPECT_NE(CGSDisplayMappingChangedSeed(), after);
    CGSSetWindowServerTransport(viaPage);
    EXPECT_EQ(CGSDisplayMappingChangedSeed(), m_kernel->windowServer()->mappingSeed());
    EXPECT_EQ(viaPage->seedRequests.load(), 0);
    // A process whose connection ended reads nothing off the page and asks (in vain).
    m_kernel->windowServerConnection()->disconnect();
    EXPECT_EQ(CGSDisplayMappingChangedSeed(), 0u);
    EXPECT_EQ(viaPage->seedRequests.load(), 1);
}

TEST_F(DisplayFacade, AForeignModeIsRefusedAndChangesNothing) {
    boot();
    enable(1, {1, 9});
    enable(2, {1, 9});
    ASSERT_EQ(CGDisplayRegisterReconfigurationCallback(reconfigured, &m_heard), kCGErrorSuccess);
    uint32_t seed = CGSDisplayMappingChangedSeed();
    CGDisplayModeRef other = modeWith(0x102, 9, 1.0);
    ASSERT_TRUE(other);
    EXPECT_EQ(configure(0x101, other), kCGErrorIllegalArgument);
    // A transaction with one bad step changes none of its good ones either.
    CGDisplayConfigRef config = nullptr;
    ASSERT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
    EXPECT_EQ(CGConfigureDisplayWithDisplayMode(config, 0x102, other, nullptr), kCGErrorSuccess);
    EXPECT_EQ(CGConfigureDisplayMirrorOfDisplay(config, 0x101, 0x999), kCGErrorSuccess);
    EXPECT_EQ(CGCompleteDisplayConfiguration(config, 2), kCGErrorIllegalArgument);
    // Spent: completing or cancelling again is refused.
    EXPECT_EQ(CGCompleteDisplayConfiguration(config, 2), kCGErrorIllegalArgument);
    EXPECT_EQ(CGCancelDisplayConfiguration(config), kCGErrorIllegalArgument);
    EXPECT_EQ(CGConfigureDisplayMirrorOfDisplay(config, 0x101, 0x102), kCGErrorIllegalArgument);
    drain();
    EXPECT_TRUE(m_heard.calls.empty());
    EXPECT_EQ(CGSDisplayMappingChangedSeed(), seed);
    EXPECT_EQ(CGDisplayCopyDisplayMode(0x102)->ioDisplayModeID, 1);
}

TEST_F(DisplayFacade, TransactionsSendPassOneThenPassTwoAndQueriesAlreadyAnswerTheNewState) {
    boot();
    enable(1, {1, 9});
    enable(2, {1});
    ASSERT_EQ(CGDisplayRegisterReconfigurationCallback(reconfigured, &m_heard), kCGErrorSuccess);
    ASSERT_EQ(CGDisplayRegisterReconfigurationCallback(reconfigured, &m_heard), kCGErrorSuccess); // held once
    EXPECT_EQ(configure(0x101, modeWith(0x101, 9, 1.0)), kCGErrorSuccess);
    // Completion returned with the new state before any callback ran.
    EXPECT_TRUE(m_heard.calls.empty());
    EXPECT_TRUE(CGRectEqualToRect(CGDisplayBounds(0x101), CGRectMake(1440, 0, 1280, 720)));
    EXPECT_TRUE(CGRectEqualToRect(CGDisplayBounds(0x102), CGRectMake(1440 + 1280, 0, 1024, 768)));
    drain();
    using P = std::pair<CGDirectDisplayID, CGDisplayChangeSummaryFlags>;
    EXPECT_EQ(m_heard.calls,
              (std::vector<P>{{0x101, 0x1}, {0x102, 0x1}, {0x101, 0x8 | 0x1000}, {0x102, 0x2 | 0x1000}}));
    // A removal: pass 2 names the display, whose identity still answers.
    m_heard.calls.clear();
    disable(1);
    drain();
    EXPECT_EQ(m_heard.calls, (std::vector<P>{{0x102, 0x1}, {0x102, 0x20 | 0x200 | 0x1000}}));
    EXPECT_EQ(CGDisplaySerialNumber(0x102), 0x99730002u);
    EXPECT_EQ(CGDisplayVendorNumber(0x102), 0x5A8Fu);
    EXPECT_TRUE(CGRectEqualToRect(CGDisplayBounds(0x102), CGRectZero));
    EXPECT_FALSE(CGDisplayCopyDisplayMode(0x102));
    EXPECT_FALSE(CGDisplayCopyAllDisplayModes(0x102, nullptr));
    EXPECT_EQ(list(), (std::vector<CGDirectDisplayID>{1, 0x101}));
    // Removed inside a callback: no further call.
    CGDisplayRemoveReconfigurationCallback(reconfigured, &m_heard);
    m_heard.calls.clear();
    enable(3, {1});
    drain();
    EXPECT_TRUE(m_heard.calls.empty());
}

TEST_F(DisplayFacade, MirrorsTakeTheirMastersOriginAndDissolveAsASet) {
    boot();
    enable(1, {1});
    enable(2, {9});
    ASSERT_EQ(CGDisplayRegisterReconfigurationCallback(reconfigured, &m_heard), kCGErrorSuccess);
    CGDisplayConfigRef config = nullptr;
    ASSERT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
    EXPECT_EQ(CGConfigureDisplayMirrorOfDisplay(config, 0x102, 0x102), kCGErrorIllegalArgument);
    ASSERT_EQ(CGConfigureDisplayMirrorOfDisplay(config, 0x102, 0x101), kCGErrorSuccess);
    ASSERT_EQ(CGCompleteDisplayConfiguration(config, 1), kCGErrorSuccess);
    EXPECT_EQ(CGDisplayMirrorsDisplay(0x102), 0x101u);
    EXPECT_EQ(CGDisplayPrimaryDisplay(0x102), 0x101u);
    EXPECT_TRUE(CGDisplayIsInMirrorSet(0x101));
    EXPECT_EQ(CGDisplayBounds(0x102).origin.x, 1440);
    EXPECT_EQ(CGDisplayBounds(0x102).size.width, 1280); // its own mode
    EXPECT_EQ(list().size(), 3u);
    // No chains: the master cannot become a mirror, nor can anything mirror the mirror.
    ASSERT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
    ASSERT_EQ(CGConfigureDisplayMirrorOfDisplay(config, 0x101, 1), kCGErrorSuccess);
    EXPECT_EQ(CGCompleteDisplayConfiguration(config, 1), kCGErrorIllegalArgument);
    ASSERT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
    ASSERT_EQ(CGConfigureDisplayMirrorOfDisplay(config, 1, 0x102), kCGErrorSuccess);
    EXPECT_EQ(CGCompleteDisplayConfiguration(config, 1), kCGErrorIllegalArgument);
    drain();
    using P = std::pair<CGDirectDisplayID, CGDisplayChangeSummaryFlags>;
    EXPECT_EQ(m_heard.calls.back(), (P{0x102, 0x400 | 0x1000 | 0x2})); // it moved onto its master
    // Mirroring off, asked of the master: the whole set dissolves.
    m_heard.calls.clear();
    ASSERT_EQ(CGBeginDisplayConfiguration(&config), kCGErrorSuccess);
    ASSERT_EQ(CGConfigureDisplayMirrorOfDisplay(config, 0x101, kCGNullDirectDisplay), kCGErrorSuccess);
    ASSERT_EQ(CGCompleteDisplayConfiguration(config, 1), kCGErrorSuccess);
    EXPECT_EQ(CGDisplayMirrorsDisplay(0x102), kCGNullDirectDisplay);
    EXPECT_FALSE(CGDisplayIsInMirrorSet(0x101));
    drain();
    EXPECT_EQ(
        m_heard.calls,
        (std::vector<P>{{0x101, 0x1}, {0x102, 0x1}, {0x101, 0x800 | 0x1000}, {0x102, 0x800 | 0x1000 | 0x2}}));
}

TEST_F(DisplayFacade, AppOnlyChangesRevertWhenTheProcessGoes) {
    m_hiDPI = true;
    boot();
    enable(1, {1, 34});
    ASSERT_EQ(configure(0x101, modeWith(0x101, 34, 2.0), kCGConfigureForAppOnly), kCGErrorSuccess);
    EXPECT_EQ(CGDisplayCopyDisplayMode(0x101)->resolution, 2.0);
    // A second app-only change keeps the first snapshot.
    ASSERT_EQ(configure(0x101, modeWith(0x101, 34, 1.0), kCGConfigureForAppOnly), kCGErrorSuccess);
    m_kernel->windowServerConnection()->processDied();
    auto mode = CGDisplayCopyDisplayMode(0x101);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->ioDisplayModeID, 1);
    EXPECT_EQ(mode->resolution, 1.0);
    // A permanent change after the app-only one supersedes it.
    ASSERT_EQ(configure(0x101, modeWith(0x101, 34, 2.0), kCGConfigureForAppOnly), kCGErrorSuccess);
    ASSERT_EQ(configure(0x101, modeWith(0x101, 34, 1.0), kCGConfigurePermanently), kCGErrorSuccess);
    m_kernel->windowServerConnection()->processDied();
    EXPECT_EQ(CGDisplayCopyDisplayMode(0x101)->ioDisplayModeID, 34);
}

TEST_F(DisplayFacade, CursorDataIsPaddedAndRefusesShortBuffersAndUnknownConnections) {
    boot();
    CGSConnectionID cid = CGSMainConnectionID();
    ASSERT_GT(cid, 0);
    const CGSCursorImage& arrow = CGSSystemCursorImage(CGSSystemCursor::arrow);
    int32_t size = 0;
    ASSERT_EQ(CGSGetGlobalCursorDataSize(cid, &size), kCGErrorSuccess);
    int32_t rowBytes = int32_t((arrow.width * 4 + 15) / 16 * 16);
    EXPECT_EQ(size, rowBytes * int32_t(arrow.height));
    EXPECT_EQ(CGSGetGlobalCursorDataSize(cid + 1000, &size), kCGErrorIllegalArgument);
    std::vector<uint8_t> buffer(size_t(size) - 1);
    int32_t capacity = size - 1, rb = 0, depth = 0, components = 0, bits = 0;
    CGRect rect;
    CGPoint hot;
    EXPECT_EQ(
        CGSGetGlobalCursorData(cid, buffer.data(), &capacity, &rb, &rect, &hot, &depth, &components, &bits),
        kCGErrorRangeCheck);
    EXPECT_EQ(capacity, size);
    buffer.resize(size_t(size));
    ASSERT_EQ(
        CGSGetGlobalCursorData(cid, buffer.data(), &capacity, &rb, &rect, &hot, &depth, &components, &bits),
        kCGErrorSuccess);
    EXPECT_EQ(rb, rowBytes);
    EXPECT_EQ(depth, 32);
    EXPECT_EQ(components, 4);
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(hot.x, arrow.hotSpot.x);
    EXPECT_TRUE(CGRectEqualToRect(rect, CGRectMake(720 - hot.x, 450 - hot.y, arrow.width, arrow.height)));
    EXPECT_EQ(std::memcmp(buffer.data(), arrow.pixels.data(), arrow.width * 4), 0);
    // Each image change moves the seed; moves clamp onto a display.
    uint32_t seed = CGSCurrentCursorSeed();
    ASSERT_EQ(CGSSetSystemCursor(cid, CGSSystemCursor::iBeam), kCGErrorSuccess);
    EXPECT_NE(CGSCurrentCursorSeed(), seed);
    ASSERT_EQ(CGSMoveCursor(CGPointMake(5000, -20)), kCGErrorSuccess);
    CGPoint at = CGSCurrentInputPointerPosition();
    EXPECT_LT(at.x, 1440);
    EXPECT_GE(at.x, 1439);
    EXPECT_EQ(at.y, 0);
    EXPECT_EQ(CGSMoveCursor(CGPointMake(NAN, 0)), kCGErrorIllegalArgument);
}

TEST_F(DisplayFacade, TheFramebufferHearsTheCursorInItsOwnPixels) {
    m_hiDPI = true;
    boot();
    enable(1, {1, 34});
    ASSERT_EQ(configure(0x101, modeWith(0x101, 34, 2.0)), kCGErrorSuccess);
    CGPoint hot = CGSSystemCursorImage(CGSSystemCursor::arrow).hotSpot;
    ASSERT_EQ(CGSMoveCursor(CGPointMake(1440 + 100.25, 50)), kCGErrorSuccess);
    uint64_t mouse[3] = {};
    uint32_t count = 3;
    ASSERT_EQ(iokit::IOConnectCallScalarMethod(m_connections[0], 5, nullptr, 0, mouse, &count),
              iokit::kIOReturnSuccess);
    EXPECT_EQ(int32_t(mouse[0]), int32_t(std::floor((100.25 - hot.x) * 2)));
    EXPECT_EQ(int32_t(mouse[1]), int32_t(std::floor((50 - hot.y) * 2)));
    EXPECT_EQ(mouse[2], 1u);
    // Hidden by this process: not visible, until shown again.
    ASSERT_EQ(CGDisplayHideCursor(0x101), kCGErrorSuccess);
    count = 3;
    ASSERT_EQ(iokit::IOConnectCallScalarMethod(m_connections[0], 5, nullptr, 0, mouse, &count),
              iokit::kIOReturnSuccess);
    EXPECT_EQ(mouse[2], 0u);
    ASSERT_EQ(CGDisplayShowCursor(0x101), kCGErrorSuccess);
    count = 3;
    ASSERT_EQ(iokit::IOConnectCallScalarMethod(m_connections[0], 5, nullptr, 0, mouse, &count),
              iokit::kIOReturnSuccess);
    EXPECT_EQ(mouse[2], 1u);
}

TEST_F(DisplayFacade, TheCursorStateSeedMovesOnlyAfterTheFramebufferHasTheNewState) {
    boot();
    enable(1, {1, 9});
    ASSERT_EQ(CGSMoveCursor(CGPointMake(1440 + 100, 50)), kCGErrorSuccess);
    const uint64_t still = CGSCursorStateSeed();
    ASSERT_NE(still, 0u);
    uint64_t mouse[4] = {};
    uint32_t count = 4;
    // Asking the driver leaves the seed where it is: only a new state moves it.
    ASSERT_EQ(iokit::IOConnectCallScalarMethod(m_connections[0], 5, nullptr, 0, mouse, &count),
              iokit::kIOReturnSuccess);
    const uint64_t x = mouse[0];
    EXPECT_EQ(CGSCursorStateSeed(), still);
    EXPECT_EQ(CGSCursorStateSeed(), m_kernel->windowServer()->cursorStateSeed());

    // Each kind of change moves it, and by then the driver answers the change.
    ASSERT_EQ(CGSMoveCursor(CGPointMake(1440 + 130, 50)), kCGErrorSuccess);
    const uint64_t moved = CGSCursorStateSeed();
    EXPECT_NE(moved, still);
    count = 4;
    ASSERT_EQ(iokit::IOConnectCallScalarMethod(m_connections[0], 5, nullptr, 0, mouse, &count),
              iokit::kIOReturnSuccess);
    EXPECT_EQ(int32_t(mouse[0]), int32_t(x) + 30);
    ASSERT_EQ(CGDisplayHideCursor(0x101), kCGErrorSuccess);
    const uint64_t hidden = CGSCursorStateSeed();
    EXPECT_NE(hidden, moved);
    count = 4;
    ASSERT_EQ(iokit::IOConnectCallScalarMethod(m_connections[0], 5, nullptr, 0, mouse, &count),
              iokit::kIOReturnSuccess);
    EXPECT_EQ(mouse[2], 0u);
    ASSERT_EQ(CGSSetSystemCursor(CGSMainConnectionID(), CGSSystemCursor::iBeam), kCGErrorSuccess);
    EXPECT_NE(CGSCursorStateSeed(), hidden);
    count = 4;
    ASSERT_EQ(iokit::IOConnectCallScalarMethod(m_connections[0], 5, nullptr, 0, mouse, &count),
              iokit::kIOReturnSuccess);
    EXPECT_EQ(mouse[3], 1u) << "the image change";

    // Without a page nothing is known.
    CGSSetWindowServerTransport(
        std::make_shared<SeedCountingTransport>(m_kernel->windowServerConnection(), false));
    EXPECT_EQ(CGSCursorStateSeed(), 0u);
}

TEST_F(DisplayFacade, RefreshPushesAccumulateWhileOneAwaitsAcknowledgement) {
    boot();
    ASSERT_EQ(CGRegisterScreenRefreshCallback(refreshed, nullptr), kCGErrorSuccess);
    ASSERT_EQ(CGSDamageRect(CGRectMake(0, 0, 10, 10)), kCGErrorSuccess);
    platform::installFakeClock().advance(platform::seconds(0.02));
    m_kernel->windowServer()->sync();
    // The first push is out, not yet handled: later damage waits and accumulates.
    ASSERT_EQ(CGSDamageRect(CGRectMake(100, 100, 10, 10)), kCGErrorSuccess);
    platform::installFakeClock().advance(platform::seconds(0.02));
    ASSERT_EQ(CGSDamageRect(CGRectMake(105, 100, 10, 10)), kCGErrorSuccess);
    platform::installFakeClock().advance(platform::seconds(0.02));
    m_kernel->windowServer()->sync();
    drain();
    ASSERT_EQ(gRefreshes.size(), 1u);
    EXPECT_TRUE(CGRectEqualToRect(gRefreshes[0][0], CGRectMake(0, 0, 10, 10)));
    platform::installFakeClock().advance(platform::seconds(0.02));
    m_kernel->windowServer()->sync();
    drain();
    ASSERT_EQ(gRefreshes.size(), 2u);
    double area = 0;
    for (auto& r : gRefreshes[1])
        area += r.size.width * r.size.height;
    EXPECT_EQ(area, 150); // the two overlapping rectangles, without overlap
    // Damage off every display is nobody's refresh.
    ASSERT_EQ(CGSDamageRect(CGRectMake(-500, -500, 10, 10)), kCGErrorSuccess);
    platform::installFakeClock().advance(platform::seconds(0.02));
    m_kernel->windowServer()->sync();
    drain();
    EXPECT_EQ(gRefreshes.size(), 2u);
}

TEST_F(DisplayFacade, AccessibilityTimesOutIsSwitchedOffAndKnowsItsPids) {
    boot();
    auto app = ax::AXFakeApplication::create("Fake", "com.example.fake");
    ASSERT_TRUE(app);
    EXPECT_GE(app->pid(), 0x40000000);
    uint32_t window = app->addWindow("Titled", CGRectMake(100, 100, 300, 200));
    ASSERT_NE(window, 0u);
    auto element = ax::AXUIElementCreateApplication(app->pid());
    // Answered on the main run loop: ask from another thread while this one serves it.
    auto ask = [&](std::string_view attribute, ax::AXAttributeValue* value) {
        std::atomic<bool> done{false};
        ax::AXError error = 0;
        std::thread asker([&] {
            error = ax::AXUIElementCopyAttributeValue(element, attribute, value);
            done = true;
        });
        while (!done) {
            drain();
            std::this_thread::yield();
        }
        asker.join();
        return error;
    };
    ax::AXAttributeValue value;
    ASSERT_EQ(ask(ax::kAXWindowsAttribute, &value), ax::kAXErrorSuccess);
    auto* windows = std::get_if<std::vector<ax::AXUIElementRef>>(&value);
    ASSERT_TRUE(windows) << value.index();
    ASSERT_EQ(windows->size(), 1u);
    auto info = CGWindowListCreateDescriptionFromArray({window});
    ASSERT_TRUE(info && info->count() == 1);
    EXPECT_EQ(*info->at(0)->find(kCGWindowOwnerPID), cf::Value(app->pid()));
    EXPECT_EQ(*info->at(0)->find(kCGWindowName), cf::Value("Titled"));
    // Setting a window's position moves it in the registry; its size and title read back.
    auto windowElement = (*windows)[0];
    CGPoint target = CGPointMake(1500, 40);
    std::atomic<bool> moved{false};
    ax::AXError moveError = -1;
    std::thread mover([&] {
        moveError = ax::AXUIElementSetAttributeValue(windowElement, ax::kAXPositionAttribute,
                                                     ax::AXValueCreate(ax::kAXValueCGPointType, &target));
        moved = true;
    });
    while (!moved) {
        drain();
        std::this_thread::yield();
    }
    mover.join();
    EXPECT_EQ(moveError, ax::kAXErrorSuccess);
    info = CGWindowListCreateDescriptionFromArray({window});
    CGRect frame;
    ASSERT_TRUE(CGRectMakeWithDictionaryRepresentation(info->at(0)->find(kCGWindowBounds), &frame));
    EXPECT_TRUE(CGRectEqualToRect(frame, CGRectMake(1500, 40, 300, 200)));
    element = windowElement;
    ASSERT_EQ(ask(ax::kAXSizeAttribute, &value), ax::kAXErrorSuccess);
    CGSize size;
    ASSERT_TRUE(ax::AXValueGetValue(std::get<ax::AXValueRef>(value), ax::kAXValueCGSizeType, &size));
    EXPECT_EQ(size.width, 300);
    ASSERT_EQ(ask(ax::kAXTitleAttribute, &value), ax::kAXErrorSuccess);
    EXPECT_EQ(std::get<cf::Value>(value), cf::Value("Titled"));
    element = ax::AXUIElementCreateApplication(app->pid());

    EXPECT_EQ(
        ax::AXUIElementCopyAttributeValue(ax::AXUIElementCreateApplication(0x4FFFFFFF), "AXWindows", &value),
        ax::kAXErrorInvalidUIElement);
    // Unanswered: the asker hears kAXErrorCannotComplete once 6 s have passed.
    app->setAnswering(false);
    std::atomic<bool> done{false};
    ax::AXError error = 0;
    std::thread asker([&] {
        error = ax::AXUIElementCopyAttributeValue(element, "AXTitle", &value);
        done = true;
    });
    while (m_log.count("accessibility request") == 0 && !done) {
        drain();
        platform::installFakeClock().advance(platform::seconds(1));
        m_kernel->windowServer()->sync();
    }
    asker.join();
    EXPECT_EQ(error, ax::kAXErrorCannotComplete);
    app->setAnswering(true);
    // Switched off: every call answers kAXErrorAPIDisabled.
    ASSERT_TRUE(m_kernel->windowServer()->serveAndWait(m_kernel->windowServerConnection()->cid(),
                                                       "ax.setEnabled", cf::Dictionary{{"enabled", false}}));
    EXPECT_FALSE(ax::AXAPIEnabled());
    EXPECT_EQ(ax::AXUIElementCopyAttributeValue(element, "AXWindows", &value), ax::kAXErrorAPIDisabled);
}

} // namespace cg
