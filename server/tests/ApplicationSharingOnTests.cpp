// A real session with application sharing switched on: its screen updates poll the shared
// monitor over fake applications of an in-process window server (the main run loop answers
// their accessibility while the monitor's threads ask) and carry the application messages
// between their brackets.
#include "SessionTestSupport.h"

#include "input/tests/MainLoopServing.h"

#include "platform/applicationservices/AXUIElement.h"
#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Testing.h"
#include "platform/iokit/InProcessKernel.h"
#include "regions/tests/RecordingSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

namespace server {
namespace {

class AppInfoDelegate final : public BaseLimnerAppDelegate {
  public:
    bool supportsAppInfo() override { return true; }
    uint16_t clientSidebandPort() override { return 6000; }
    void registerNotificationsForWindow(const std::shared_ptr<input::QNDesktopReflectorPanel>&) override {}
};

class FakeApplications final : public input::RunningApplicationSource {
  public:
    std::vector<input::RunningApplicationInfo> runningApplications() override {
        std::lock_guard lock(m);
        return applications;
    }
    std::mutex m;
    std::vector<input::RunningApplicationInfo> applications;
};

// Keeps the designation of each frame it is asked to encode.
class DesignationEncoder final : public capture::QNBVellEncoderProtocol {
  public:
    void clearRectangles() override {}
    void setEncoderInformation(const std::shared_ptr<display::QNBDisplaySet>&,
                               const std::shared_ptr<net::QNNetSocketProtocol>&,
                               const net::QNCapabilities&) override {}
    void addDirtyRectangle(cg::CGRect) override {}
    void encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>&) override {}
    void encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>&,
                     uint32_t designation) override {
        designations.push_back(designation);
    }
    std::shared_ptr<capture::QNBVellEncoderDelegateProtocol> delegate() const override { return nullptr; }
    void setDelegate(std::weak_ptr<capture::QNBVellEncoderDelegateProtocol>) override {}
    void enqueueFrame() override {}
    void enqueueFrameWithSurface(const iosurface::IOSurfaceRef&) override {}
    void updateRequestAnsweredEmpty() override {}
    std::vector<uint32_t> designations;
};

uint32_t u32At(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// The application messages of a stream, by type ({0x27, n} as 0x2700 + n); empty when the
// stream does not parse whole.
std::vector<uint32_t> messageTypes(const std::vector<uint8_t>& s) {
    std::vector<uint32_t> types;
    size_t at = 0;
    while (at < s.size()) {
        const uint8_t type = s[at];
        size_t length = 0;
        if (type == 0x27 && at + 2 <= s.size()) {
            types.push_back(0x2700 + s[at + 1]);
            at += 2;
            continue;
        }
        if ((type == 0x23 || type == 0x24 || type == 0x26) && at + 9 <= s.size()) {
            const uint32_t count = u32At(s, at + 1), value = u32At(s, at + 5);
            length = 9 + (type == 0x23 ? size_t(count) * 30 : type == 0x26 ? value : 0);
        } else if (type == 0x21 && at + 33 <= s.size()) {
            length = 33 + size_t(u32At(s, at + 9)) + u32At(s, at + 29);
        } else if (type == 0x22 && at + 35 <= s.size()) {
            length = 35 + size_t(u32At(s, at + 31));
        } else {
            return {};
        }
        if (at + length > s.size()) return {};
        types.push_back(type);
        at += length;
    }
    return types;
}

class ApplicationSharingOn : public testing::SessionTest {
  protected:
    void SetUp() override {
        testing::SessionTest::SetUp();
        BaseLimnerAppDelegate::setAppDelegate(m_delegate);
        m_kernel = std::make_shared<iokit::InProcessKernel>(iokit::InProcessKernelOptions{});
        m_kernel->install();
        m_monitor = input::QNBApplicationMonitor::sharedMonitor();
        m_monitor->fullReset();
        m_monitor->setRunningApplicationSource(m_source);

        m_session = std::make_shared<ScreenServer>(6001);
        m_socket = std::make_shared<regions::testing::RecordingSocket>();
        m_socket->probeLock = false;
        m_sideband = std::make_shared<regions::testing::RecordingSocket>();
        m_sideband->probeLock = false;
        m_session->setClientSocket(m_socket);
        m_session->setSidebandSocket(m_sideband);
        m_session->setEncoder(m_encoder);
        auto set = std::make_shared<display::QNBDisplaySet>();
        set->addDisplay(std::make_shared<display::QNBDisplay>(0x100));
        m_session->setScreen(set);
        m_session->setState(kServerStateActivated);
    }
    void TearDown() override {
        settle(0.1);
        m_session->stopMouseUpdates();
        m_session.reset();
        m_apps.clear();
        drain();
        m_monitor->fullReset();
        m_monitor->setRunningApplicationSource(input::workspaceApplicationSource());
        m_kernel->shutdown();
        testing::SessionTest::TearDown();
    }
    // Until the polls the screen updates handed to the background queue have run.
    // With clockStep, the fake clock moves on meanwhile, for a poll that pauses between thumbnails.
    void settle(double clockStep = 0) {
        offMain(
            [] {
                dispatch::drain(
                    dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_BACKGROUND));
            },
            clockStep);
    }
    void drain() { input::testing::serveMainLoop(); }
    // Runs work on another thread (as the session's read thread would) while this one serves
    // the main run loop, which answers the fake applications.
    void offMain(const std::function<void()>& work, double clockStep = 0) {
        input::testing::runOffMain(work, clockStep);
    }
    // Until the monitor has completed a poll that began after since.
    void waitForPoll(double since, double clockStep = 0) {
        offMain(
            [&] {
                while (!(m_monitor->pollComplete() && m_monitor->lastRun() > since))
                    std::this_thread::yield();
            },
            clockStep);
    }
    std::vector<uint32_t> update(double clockStep = 0) {
        const size_t before = m_socket->writeCount();
        offMain([&] {
            bool failed = false;
            EXPECT_TRUE(m_session->screenUpdate(&failed));
            EXPECT_FALSE(failed);
        });
        settle(clockStep); // the poll it handed to the background queue
        const auto stream = m_socket->streamNow();
        size_t offset = 0;
        for (size_t i = 0; i < before; ++i)
            offset += m_socket->writes[i].bytes.size();
        return messageTypes(std::vector<uint8_t>(stream.begin() + ptrdiff_t(offset), stream.end()));
    }
    std::shared_ptr<ax::AXFakeApplication> addApplication(const std::string& name) {
        auto app = ax::AXFakeApplication::create(name, "com.example." + std::to_string(m_apps.size()));
        EXPECT_TRUE(app);
        m_apps.push_back(app);
        std::lock_guard lock(m_source->m);
        m_source->applications.push_back({app->pid(), name, nullptr});
        return app;
    }

    std::shared_ptr<AppInfoDelegate> m_delegate = std::make_shared<AppInfoDelegate>();
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
    std::shared_ptr<FakeApplications> m_source = std::make_shared<FakeApplications>();
    std::shared_ptr<input::QNBApplicationMonitor> m_monitor;
    std::shared_ptr<ScreenServer> m_session;
    std::shared_ptr<regions::testing::RecordingSocket> m_socket;
    std::shared_ptr<regions::testing::RecordingSocket> m_sideband;
    std::shared_ptr<DesignationEncoder> m_encoder = std::make_shared<DesignationEncoder>();
    std::vector<std::shared_ptr<ax::AXFakeApplication>> m_apps;
};

TEST_F(ApplicationSharingOn, UpdatesCarryTheApplicationMessagesBetweenTheirBrackets) {
    auto editor = addApplication("Fake Editor");
    const uint32_t notes = editor->addWindow("Notes", cg::CGRectMake(100, 80, 400, 300));
    editor->addWindow("Letters", cg::CGRectMake(300, 200, 500, 250));
    editor->setMenuBar({ax::AXFakeMenuItem{"File", true, "", "", {40, 0}, {36, 22}, {}},
                        ax::AXFakeMenuItem{"Edit", true, "", "", {80, 0}, {36, 22}, {}}});
    addApplication("Dock")->addWindow("Dock", cg::CGRectMake(0, 850, 1440, 50));
    addApplication("iOS Simulator")->addWindow("", cg::CGRectMake(600, 100, 300, 400));
    ASSERT_EQ(m_session->applicationMonitor(), m_monitor);

    // The first update starts the poll; the poll completes while this thread serves.
    update();
    EXPECT_EQ(m_encoder->designations.front(), 0x28u);
    waitForPoll(0);

    const auto first = update();
    ASSERT_GE(first.size(), 8u);
    EXPECT_EQ(first.front(), 0x2700u);
    EXPECT_EQ(first[1], 0x24u);
    EXPECT_EQ(std::count(first.begin(), first.end(), 0x21u), 3);
    EXPECT_EQ(first[5], 0x23u);
    const auto thumbnails = std::count(first.begin(), first.end(), 0x22u);
    EXPECT_LE(thumbnails, 3);
    EXPECT_EQ(first[size_t(6 + thumbnails)], 0x26u);
    EXPECT_EQ(first.back(), 0x2701u);
    EXPECT_FALSE(m_monitor->hasApplicationInfoToSend());

    // The next carries the window snapshot only.
    EXPECT_EQ(update(), (std::vector<uint32_t>{0x2700, 0x23, 0x2701}));

    // A window that changes its picture: after the next poll (30 s on) and 1.0 s, one thumbnail.
    ASSERT_TRUE(editor->fillWindow(notes, 0xFF10A040));
    m_clock->advance(platform::seconds(30));
    const double before = m_monitor->lastRun();
    offMain([&] { m_monitor->poll(); }, 0.1);
    EXPECT_GT(m_monitor->lastRun(), before);
    m_clock->advance(platform::seconds(1.0));
    const auto later = update(0.1);
    EXPECT_EQ(later, (std::vector<uint32_t>{0x2700, 0x23, 0x22, 0x2701}));

    // The session's reset empties the monitor.
    settle(0.1);
    offMain([&] { m_session->reset(); });
    EXPECT_TRUE(m_monitor->applicationStates().empty());
    EXPECT_TRUE(m_monitor->applicationWindows().empty());
}

TEST_F(ApplicationSharingOn, HandshakeIconHashesReachTheTableWhateverSharingSays) {
    BaseLimnerAppDelegate::setAppDelegate(m_app); // sharing off
    auto session = makeSession();
    EXPECT_FALSE(session->applicationMonitor());
    // Three handshakes of 65,535 new hashes each: the table stays at 65,535 entries.
    platform::LogCapture log(true);
    for (uint32_t round = 0; round < 3; ++round) {
        net::QNClientHandshakeRecord record;
        for (uint32_t i = 0; i < input::QNBApplicationMonitor::kMaxKnownIcons; ++i) {
            std::array<uint8_t, 16> hash{};
            std::memcpy(hash.data(), &i, 4);
            std::memcpy(hash.data() + 4, &round, 4);
            record.iconHashes.push_back(hash);
        }
        auto socket = std::make_shared<regions::testing::RecordingSocket>();
        socket->probeLock = false;
        session->setClientSocket(socket);
        session->processClientHandshakeMsg(record);
    }
    EXPECT_EQ(m_monitor->knownIconCount(), input::QNBApplicationMonitor::kMaxKnownIcons);
    EXPECT_EQ(log.count("icon hashes of the handshake were not recorded"), 2u);
    session->stopMouseUpdates();
    session->setClientSocket(nullptr);
}

} // namespace
} // namespace server
