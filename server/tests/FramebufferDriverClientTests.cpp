// The framebuffer driver client against the in-process kernel with both kexts and the window
// server, on the fake clock: set-up, enabling with its waits, switching off, closing and the
// cursor queries, with every user-client call recorded on its way.
#include "DriverClientTestSupport.h"

#include "display/QNBDisplaySet.h"
#include "server/ScreenServer.h"

#include "foundation/QNBPreferences.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/Profile.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/kernel/IOService.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

namespace server {
namespace {

using testing::RecordedCall;
using testing::RecordingTransport;

const std::string kKextDir = TESSEL_KEXT_DIR;
constexpr uint32_t kGeneralError = 0xE00002BC;

class FramebufferDriverClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_clock = &platform::installFakeClock();
        m_root = testing::makeTestRoot("fdc");
        ASSERT_FALSE(m_root.empty());
    }
    void TearDown() override {
        m_client.reset();
        m_servers.clear();
        if (m_kernel) m_kernel->shutdown();
        iokit::IOKitSetTransport(nullptr);
        m_transport.reset();
        m_kernel.reset();
        kernel::testing::clearAttachFailures();
        platformd::testing::removeTree(m_root);
    }

    // Boots the kernel (after any attach failure a test asked for) and makes the client.
    void boot() {
        iokit::InProcessKernelOptions options;
        options.kexts = {kKextDir + "/QNVideoCard.kext", kKextDir + "/QNFramebuffer.kext"};
        m_kernel = std::make_shared<iokit::InProcessKernel>(options);
        m_kernel->install();
        m_transport = std::make_shared<RecordingTransport>(m_kernel);
        iokit::IOKitSetTransport(m_transport);
        m_client = std::make_unique<FramebufferDriverClient>(m_mediatorLock);
        for (int i = 0; i < 4; ++i)
            m_servers.push_back(ScreenServer::init());
        m_client->setServers(m_servers);
        m_client->setScreenList(testing::windowServerScreens(*m_kernel));
        m_client->setHiDPIQuery([this](uint32_t) { return m_hiDPI; });
        // Every cursor query reaches the driver unless a test gives a cursor-state seed.
        m_client->setCursorSeedReader([] { return uint64_t(0); });
        m_client->setPassSleeper([this](double seconds) {
            ++m_passes;
            m_clock->advance(platform::seconds(seconds));
        });
    }

    std::vector<uint32_t> selectorsOn(uint32_t connection) const {
        std::vector<uint32_t> out;
        for (const auto& call : m_transport->calls())
            if (call.connection == connection) out.push_back(call.selector);
        return out;
    }

    std::shared_ptr<display::QNBDisplaySet> enable(int index, std::vector<int> modes,
                                          platform::Error* error = nullptr) {
        return m_client->enableDisplayWithDisplayModes(*m_servers[size_t(index)], modes.data(), modes.size(),
                                                       error);
    }

    platform::LogCapture m_log{true};
    platform::FakeClock* m_clock = nullptr;
    std::string m_root;
    std::recursive_mutex m_mediatorLock;
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
    std::shared_ptr<RecordingTransport> m_transport;
    std::unique_ptr<FramebufferDriverClient> m_client;
    std::vector<std::shared_ptr<ScreenServer>> m_servers;
    bool m_hiDPI = false;
    int m_passes = 0;
};

// ---- Set-up -----------------------------------------------------------------------------------

TEST_F(FramebufferDriverClientTest, SetUpOpensFourConnectionsInIndexOrderEachOpenedThenSwitchedOff) {
    boot();
    platform::Error error;
    EXPECT_TRUE(m_client->setupUserClientWithError(&error));
    auto ports = m_client->dataPorts();
    std::vector<uint32_t> order;
    for (const auto& call : m_transport->calls())
        if (order.empty() || order.back() != call.connection) order.push_back(call.connection);
    ASSERT_GE(order.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(ports[size_t(i)], 0u) << i;
        EXPECT_EQ(order[size_t(i)], ports[size_t(i)]) << "index order";
        EXPECT_EQ(selectorsOn(ports[size_t(i)]), (std::vector<uint32_t>{0, 3})) << i;
    }
}

TEST_F(FramebufferDriverClientTest, SetUpHoldsOnlyItsConnectionsAndStopReleasesThemAllOnce) {
    boot();
    auto before = iokit::IOKitLiveHandleCount();
    ASSERT_TRUE(before);
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr)) << "YES without an error place too";
    EXPECT_EQ(*iokit::IOKitLiveHandleCount(), *before + 4) << "no service or iterator handle leaked";
    auto ports = m_client->dataPorts();
    m_transport->clear();
    m_client->stop();
    for (uint32_t port : ports)
        EXPECT_EQ(selectorsOn(port), (std::vector<uint32_t>{3, 1})) << port;
    EXPECT_EQ(m_transport->closed().size(), 4u);
    EXPECT_EQ(*iokit::IOKitLiveHandleCount(), *before);
    for (uint32_t port : m_client->dataPorts())
        EXPECT_EQ(port, 0u) << "closeService leaves 0 in the slot";
    m_transport->clear();
    m_client->stop();
    EXPECT_TRUE(m_transport->calls().empty()) << "a second stop calls nothing";
    EXPECT_TRUE(m_transport->closed().empty());
}

TEST_F(FramebufferDriverClientTest, AMissingNubShiftsNothingAndItsSessionCallsNothing) {
    kernel::testing::failNthAttach("QNExDisplay", 2); // nub 1
    boot();
    platform::Error error;
    EXPECT_FALSE(m_client->setupUserClientWithError(&error));
    EXPECT_EQ(error.localizedDescription(), "Limner: Unable to find specific QNExFramebuffer class");
    EXPECT_EQ(error.domain, platform::NSPOSIXErrorDomain);
    EXPECT_EQ(error.code, 1);
    auto ports = m_client->dataPorts();
    EXPECT_NE(ports[0], 0u);
    EXPECT_EQ(ports[1], 0u);
    EXPECT_NE(ports[2], 0u);
    EXPECT_NE(ports[3], 0u);

    m_transport->clear();
    EXPECT_EQ(enable(1, {1}), nullptr);
    EXPECT_TRUE(m_transport->calls().empty()) << "session 1 has no framebuffer";
    m_client->disableDisplay(*m_servers[1]);
    EXPECT_FALSE(m_client->shouldQueryMouseOnFramebuffer(1, {}));
    EXPECT_TRUE(m_transport->calls().empty());

    auto set = enable(2, {19});
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->displayID(), 0x102u);
    auto shown = m_kernel->windowServer()->display(0x102);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->serialNumber, 0x99730002u) << "session 2 drives framebuffer 2";
    EXPECT_EQ(m_servers[2]->frameBufferPort(), ports[2]);
}

TEST_F(FramebufferDriverClientTest, AFramebufferAlreadyOpenStopsTheSetUpWithTheError) {
    boot();
    std::string path = "IOService:/IOResources/QNExGFX/Quenby Virtual Display@2/QNExFramebuffer@2";
    iokit::io_service_t service = iokit::IORegistryEntryFromPath(0, path.c_str());
    iokit::io_connect_t other = 0;
    ASSERT_EQ(iokit::IOServiceOpen(service, iokit::mach_task_self(), kQNExFramebufferUserClientType, &other),
              iokit::kIOReturnSuccess);
    iokit::IOObjectRelease(service);
    platform::Error error;
    EXPECT_FALSE(m_client->setupUserClientWithError(&error));
    EXPECT_EQ(error.localizedDescription(), "Limner: Unable to open QNExFramebuffer user client");
    auto ports = m_client->dataPorts();
    EXPECT_NE(ports[1], 0u);
    EXPECT_EQ(ports[2], 0u);
    EXPECT_EQ(ports[3], 0u) << "the set-up stopped";
    iokit::IOServiceClose(other);
}

TEST_F(FramebufferDriverClientTest, ARefusedOpenSelectorClosesThatConnection) {
    boot();
    m_transport->refuse(kQNExUCOpen, kGeneralError, 1);
    auto before = iokit::IOKitLiveHandleCount();
    platform::Error error;
    EXPECT_FALSE(m_client->setupUserClientWithError(&error));
    EXPECT_EQ(error.localizedDescription(), "Limner: Unable to open QNExFramebuffer user client");
    ASSERT_EQ(m_transport->calls().size(), 1u);
    EXPECT_EQ(m_transport->closed(), (std::vector<uint32_t>{m_transport->calls()[0].connection}));
    for (uint32_t port : m_client->dataPorts())
        EXPECT_EQ(port, 0u);
    EXPECT_EQ(*iokit::IOKitLiveHandleCount(), *before);
}

// ---- Enabling ---------------------------------------------------------------------------------

TEST_F(FramebufferDriverClientTest, OneModePacesThenUsesSelectorTwoAndEndsOnTheFirstPassAtIt) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    m_transport->clear();
    const auto start = platform::now();
    platform::Error error;
    auto set = enable(2, {19}, &error);
    ASSERT_NE(set, nullptr);
    auto calls = m_transport->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].selector, 10u);
    EXPECT_EQ(calls[0].inputs, (std::vector<uint64_t>{16666}));
    EXPECT_EQ(calls[1].selector, 11u);
    EXPECT_EQ(calls[1].inputs, (std::vector<uint64_t>{250000}));
    EXPECT_EQ(calls[2].selector, 2u);
    EXPECT_EQ(calls[2].inputs, (std::vector<uint64_t>{19}));
    EXPECT_EQ(m_passes, 1) << "the display was at the mode on the first pass";
    EXPECT_EQ(platform::now() - start, platform::seconds(0.25));
    EXPECT_EQ(m_servers[2]->frameBufferPort(), m_client->dataPorts()[2]);
    EXPECT_EQ(m_servers[2]->displayID(), 0x102u);
    EXPECT_TRUE(m_servers[2]->displayIsEnabled());
    EXPECT_TRUE(m_servers[2]->signalUserClientforVBL()) << "both clock settings took";
}

TEST_F(FramebufferDriverClientTest, SeveralModesGoInOrderThroughSelectorEight) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    m_transport->clear();
    ASSERT_NE(enable(0, {34, 1}), nullptr);
    auto calls = m_transport->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].selector, 8u);
    EXPECT_EQ(calls[2].inputs, (std::vector<uint64_t>{34, 1}));
}

TEST_F(FramebufferDriverClientTest, InvalidOrEmptyModeListsReachNoDriver) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    m_transport->clear();
    for (auto modes : std::vector<std::vector<int>>{{0}, {443}, {1, 443}, {-1}, {}}) {
        platform::Error error;
        EXPECT_EQ(enable(1, modes, &error), nullptr);
        EXPECT_EQ(error.localizedDescription(), "Unable to find virtual display.");
    }
    EXPECT_TRUE(m_transport->calls().empty());
    EXPECT_TRUE(m_log.contains("Blocking attempt to send invalid display mode [0] to driver"));
    EXPECT_EQ(m_log.count("Blocking attempt to send invalid display mode [443] to driver"), 2u);
    EXPECT_EQ(m_passes, 0);
    EXPECT_FALSE(m_servers[1]->displayIsEnabled());
}

TEST_F(FramebufferDriverClientTest, ARefusedClockSettingIsLoggedAndTheDisplayStillGoesOn) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    m_transport->clear();
    m_transport->refuse(kQNExVBLSetSecondaryClock, kGeneralError);
    ASSERT_NE(enable(3, {1}), nullptr);
    EXPECT_EQ(m_transport->selectors(), (std::vector<uint32_t>{10, 11, 2}));
    EXPECT_TRUE(m_log.contains("kQNExVBLSetSecondaryClock failed"));
    EXPECT_TRUE(m_log.contains("User client configuration failed"));
    EXPECT_FALSE(m_servers[3]->signalUserClientforVBL()) << "no vertical-blank callbacks without the clock";
}

TEST_F(FramebufferDriverClientTest, ARefusedEnableGivesNothing) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    m_transport->refuse(kQNExUCEnableWithResolution, kGeneralError);
    EXPECT_EQ(enable(3, {1}), nullptr);
    EXPECT_TRUE(m_log.contains("kQNExUCEnableWithResolutions failed"));
    EXPECT_EQ(m_passes, 0);
}

TEST_F(FramebufferDriverClientTest, ADisplayAtAnotherModeIsReturnedAfterSixtyPasses) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    auto real = testing::windowServerScreens(*m_kernel);
    m_client->setScreenList([real] {
        auto list = real();
        for (auto& screen : list)
            if (screen.framebufferIndex == 2) screen.frame.size = {1024, 768}; // mode 1, not 19
        return list;
    });
    const auto start = platform::now();
    auto set = enable(2, {19});
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->displayID(), 0x102u);
    EXPECT_EQ(m_passes, 60);
    EXPECT_EQ(platform::now() - start, platform::seconds(15));
}

TEST_F(FramebufferDriverClientTest, ADisplayThatNeverAppearsGivesNilAfterFifteenSeconds) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    m_client->setScreenList([] { return std::vector<FramebufferScreen>{}; });
    const auto start = platform::now();
    platform::Error error;
    EXPECT_EQ(enable(2, {19}, &error), nullptr);
    EXPECT_EQ(error.localizedDescription(), "Unable to find virtual display.");
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(m_passes, 60);
    EXPECT_EQ(platform::now() - start, platform::seconds(15));
    EXPECT_FALSE(m_servers[2]->displayIsEnabled());
}

TEST_F(FramebufferDriverClientTest,
       AnAlreadyRightDisplayIsReusedWithoutTheDriverUnlessHiDPIIsNoLongerAllowed) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    ASSERT_NE(enable(2, {19}), nullptr);
    m_transport->clear();
    m_servers[2]->setDisplayResolution({1280, 800});
    auto set = enable(2, {19});
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->displayID(), 0x102u);
    EXPECT_TRUE(m_transport->calls().empty()) << "reused";

    m_hiDPI = true;
    foundation::QNBPreferences::sharedAppPrefs().baseSetEnableHiDPIResolutions(true);
    ASSERT_NE(enable(2, {19}), nullptr);
    EXPECT_TRUE(m_transport->calls().empty()) << "a HiDPI display is fine while HiDPI is allowed";

    foundation::QNBPreferences::sharedAppPrefs().baseSetEnableHiDPIResolutions(false);
    ASSERT_NE(enable(2, {19}), nullptr);
    EXPECT_EQ(m_transport->selectors(), (std::vector<uint32_t>{10, 11, 2}));

    m_transport->clear();
    m_servers[2]->setDisplayResolution({1024, 768});
    ASSERT_NE(enable(2, {1}), nullptr);
    EXPECT_EQ(m_transport->selectors(), (std::vector<uint32_t>{10, 11, 2}))
        << "another size needs the driver";
}

TEST_F(FramebufferDriverClientTest, DisablingUsesTheSessionsOwnConnectionOnly) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    m_transport->clear();
    m_client->disableDisplay(*m_servers[3]);
    auto calls = m_transport->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].selector, 3u);
    EXPECT_EQ(calls[0].connection, m_client->dataPorts()[3]);
    auto stranger = ScreenServer::init();
    EXPECT_EQ(m_client->indexOfSubScreen(stranger.get()), 4);
    m_client->disableDisplay(*stranger);
    EXPECT_EQ(m_transport->calls().size(), 1u);
    EXPECT_EQ(m_client->enableDisplayWithDisplayModes(*stranger, nullptr, 0, nullptr), nullptr);
}

// ---- Cursor -----------------------------------------------------------------------------------

TEST_F(FramebufferDriverClientTest, CursorQueriesStayWithinTheFourSlotsAndAddTheDisplayOrigin) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    m_transport->clear();
    EXPECT_FALSE(m_client->shouldQueryMouseOnDisplay(nullptr));
    EXPECT_FALSE(m_client->mouseCursorChangedOnDisplay(nullptr));
    EXPECT_FALSE(m_client->mouseCursorVisibleOnDisplay(nullptr));
    for (int64_t index : {-1, 4, 7, 15, 16})
        EXPECT_FALSE(m_client->shouldQueryMouseOnFramebuffer(index, {})) << index;
    EXPECT_TRUE(m_transport->calls().empty()) << "no query of another framebuffer";

    m_transport->answer(kQNExQueryMouseStatus, {uint64_t(int64_t(-5)), 10, 1, 1});
    ASSERT_TRUE(m_client->shouldQueryMouseOnFramebuffer(1, {1440, 0}));
    auto calls = m_transport->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].selector, 5u);
    EXPECT_EQ(calls[0].connection, m_client->dataPorts()[1]);
    EXPECT_TRUE(m_client->mouseCursorChangedOnFramebuffer(1));
    EXPECT_TRUE(m_client->mouseCursorVisibleOnFramebuffer(1));
    EXPECT_TRUE(m_client->mouseVisible());
    cg::CGPoint location = m_client->mouseLocationOnFramebuffer(1, false, 0);
    EXPECT_EQ(location.x, 1435);
    EXPECT_EQ(location.y, 10);

    m_transport->answer(kQNExQueryMouseStatus, {0x00000000FFFFFFF0ull, 3, 0, 0}); // -16 in 32 bits
    ASSERT_TRUE(m_client->shouldQueryMouseOnFramebuffer(1, {2720, 0}));
    EXPECT_FALSE(m_client->mouseCursorChangedOnFramebuffer(1));
    EXPECT_FALSE(m_client->mouseCursorVisibleOnFramebuffer(1));
    EXPECT_EQ(m_client->mouseLocationOnFramebuffer(1, false, 0).x, 2704);
    EXPECT_FALSE(m_client->mouseCursorVisibleOnFramebuffer(9));
}

TEST_F(FramebufferDriverClientTest, AFailedCursorQueryIsLoggedWithItsCode) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    m_transport->refuse(kQNExQueryMouseStatus, kGeneralError);
    EXPECT_FALSE(m_client->shouldQueryMouseOnFramebuffer(0, {}));
    EXPECT_TRUE(m_log.contains("kQNExQueryMouseStatus returned 0xe00002bc (-536870212) "));
}

TEST_F(FramebufferDriverClientTest, TheDriverRoundTripRunsOutsideTheOwnersLock) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    // Another session's loop may take the lock (and query its own framebuffer) meanwhile.
    bool freeDuringCall = false;
    m_transport->duringCall(kQNExQueryMouseStatus, [&] {
        freeDuringCall = std::async(std::launch::async, [&] {
                             if (!m_mediatorLock.try_lock()) return false;
                             m_mediatorLock.unlock();
                             return true;
                         }).get();
    });
    m_transport->answer(kQNExQueryMouseStatus, {7, 8, 1, 0});
    ASSERT_TRUE(m_client->shouldQueryMouseOnFramebuffer(2, {100, 0}));
    EXPECT_TRUE(freeDuringCall);
    EXPECT_EQ(m_client->mouseLocationOnFramebuffer(2, false, 0).x, 107);
    EXPECT_TRUE(m_client->mouseCursorVisibleOnFramebuffer(2));
    // A failure found after the call still clears what the last query left.
    m_transport->refuse(kQNExQueryMouseStatus, kGeneralError);
    EXPECT_FALSE(m_client->shouldQueryMouseOnFramebuffer(2, {100, 0}));
    EXPECT_FALSE(m_client->mouseCursorVisibleOnFramebuffer(2));
}

TEST_F(FramebufferDriverClientTest, ATickWithNoCursorChangeAsksTheDriverNothingAndAChangeIsSeenAtTheNext) {
    boot();
    ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
    uint64_t seed = 5;
    m_client->setCursorSeedReader([&] { return seed; });
    auto queries = [&] {
        size_t n = 0;
        for (const auto& call : m_transport->calls())
            n += call.selector == kQNExQueryMouseStatus;
        return n;
    };
    m_transport->clear();
    m_transport->answer(kQNExQueryMouseStatus, {7, 8, 1, 1});
    ASSERT_TRUE(m_client->shouldQueryMouseOnFramebuffer(2, {100, 0}));
    EXPECT_TRUE(m_client->mouseCursorChangedOnFramebuffer(2));
    for (int tick = 0; tick < 120; ++tick) {
        ASSERT_TRUE(m_client->shouldQueryMouseOnFramebuffer(2, {100, 0}));
        EXPECT_EQ(m_client->mouseLocationOnFramebuffer(2, false, 0).x, 107);
        EXPECT_TRUE(m_client->mouseCursorVisibleOnFramebuffer(2));
        EXPECT_FALSE(m_client->mouseCursorChangedOnFramebuffer(2)) << "one image change, told once";
    }
    EXPECT_EQ(queries(), 1u) << "a second of still ticks asks the driver once";

    // The window server gave a new state: the next tick asks and sees it.
    ++seed;
    m_transport->answer(kQNExQueryMouseStatus, {9, 8, 0, 0});
    ASSERT_TRUE(m_client->shouldQueryMouseOnFramebuffer(2, {100, 0}));
    EXPECT_EQ(queries(), 2u);
    EXPECT_EQ(m_client->mouseLocationOnFramebuffer(2, false, 0).x, 109);
    EXPECT_FALSE(m_client->mouseCursorVisibleOnFramebuffer(2));
    // The display moved (a mapping change): asked again, and placed by the new origin.
    ASSERT_TRUE(m_client->shouldQueryMouseOnFramebuffer(2, {300, 0}));
    EXPECT_EQ(queries(), 3u);
    EXPECT_EQ(m_client->mouseLocationOnFramebuffer(2, false, 0).x, 309);
    // Another framebuffer keeps an answer of its own.
    ASSERT_TRUE(m_client->shouldQueryMouseOnFramebuffer(1, {0, 0}));
    EXPECT_EQ(queries(), 4u);
    ASSERT_TRUE(m_client->shouldQueryMouseOnFramebuffer(2, {300, 0}));
    EXPECT_EQ(queries(), 4u);

    // A failed answer is never reused, and an unknown seed (0) trusts nothing.
    ++seed;
    m_transport->refuse(kQNExQueryMouseStatus, kGeneralError, 1);
    EXPECT_FALSE(m_client->shouldQueryMouseOnFramebuffer(2, {300, 0}));
    EXPECT_TRUE(m_client->shouldQueryMouseOnFramebuffer(2, {300, 0}));
    EXPECT_EQ(queries(), 6u);
    seed = 0;
    m_client->shouldQueryMouseOnFramebuffer(2, {300, 0});
    m_client->shouldQueryMouseOnFramebuffer(2, {300, 0});
    EXPECT_EQ(queries(), 8u);
}

TEST(CursorGeometryCacheTest, GeometryIsReadAgainOnlyWhenTheSeedMovesOrTheSetIsAnother) {
    uint32_t seed = 7;
    int reads = 0;
    double originX = 1440;
    CursorGeometryCache cache([&] { return seed; },
                              [&](const display::QNBDisplaySet&) {
                                  ++reads;
                                  CursorGeometryCache::Geometry geometry;
                                  geometry.origin = {originX, 0};
                                  return geometry;
                              });
    auto set = std::make_shared<display::QNBDisplaySet>();
    auto other = std::make_shared<display::QNBDisplaySet>();
    EXPECT_EQ(cache.refresh(set).origin.x, 1440);
    for (int tick = 0; tick < 120; ++tick)
        cache.refresh(set);
    cache.current(set);
    EXPECT_EQ(reads, 1) << "a second of ticks on still displays reads the geometry once";

    originX = 2720; // the display moved: the window server's seed moves with it
    ++seed;
    EXPECT_EQ(cache.refresh(set).origin.x, 2720);
    EXPECT_EQ(reads, 2);

    // Two sessions ticking in turn keep their own geometry.
    cache.refresh(other);
    cache.refresh(set);
    cache.refresh(other);
    EXPECT_EQ(reads, 3);

    seed = 0; // unreadable: never trusted
    cache.refresh(set);
    cache.refresh(set);
    EXPECT_EQ(reads, 5);
    cache.current(std::make_shared<display::QNBDisplaySet>()); // never refreshed: read at once
    EXPECT_EQ(reads, 6);
}

} // namespace
} // namespace server
