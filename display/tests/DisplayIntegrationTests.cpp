// The display side against a private platformd with both kexts: a screen-server stand-in
// process enables framebuffer 2, and this process sees it through QNBScreen and hears it
// through QNBDisplayConfiguration; app-only changes of a process that exits are reverted;
// mirroring made by platformctl is turned off; a fake application's window is put back on the
// virtual display.
#include "display/QNBDisplayConfiguration.h"
#include "display/QNBScreen.h"
#include "foundation/TSEDisplay.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace display {

namespace {

using platformd::testing::ChildProcess;
using platformd::testing::PlatformdTest;
using platformd::testing::runProgram;

const std::string kHelper = IOKIT_HELPER_PATH;
const std::string kPeer = DISPLAY_PEER_PATH;

// The first event of kind whose fields match, waited for in platformd.
std::optional<cf::Value> waitEvent(const std::string& kind, cf::Dictionary match, double timeout = 20) {
    return platformd::testing::waitForEvent(kind, std::move(match), timeout);
}

// Serves the main run loop until the condition holds; waits on work, never on a timer.
bool runUntil(const std::function<bool()>& condition, double seconds = 20) {
    const platform::TimePoint deadline = platform::MonoClock::now() + platform::seconds(seconds);
    while (!condition()) {
        if (platform::MonoClock::now() >= deadline) return false;
        dispatch::RunLoop::main()->runInMode("kCFRunLoopDefaultMode", deadline, true);
    }
    return true;
}

// A process steered through a fifo (the screen-server stand-in, the fake application).
class FifoProcess {
  public:
    FifoProcess(const std::string& root, const std::string& name, std::vector<std::string> argv)
        : m_fifo(root + "/" + name + ".fifo") {
        ::mkfifo(m_fifo.c_str(), 0600);
        m_commands = ::open(m_fifo.c_str(), O_RDWR | O_CLOEXEC);
        for (auto& word : argv)
            if (word == "FIFO") word = m_fifo;
        started = m_process.start(argv, root + "/" + name + ".out");
    }
    ~FifoProcess() {
        send("exit");
        m_process.wait(10);
        if (m_commands >= 0) ::close(m_commands);
    }
    void send(const std::string& command) {
        const std::string line = command + "\n";
        EXPECT_EQ(::write(m_commands, line.data(), line.size()), ssize_t(line.size()));
    }
    bool started = false;

  private:
    std::string m_fifo;
    int m_commands = -1;
    ChildProcess m_process;
};

class Delegate : public QNBDisplayConfigurationDelegate {
  public:
    void screenReconfigured(uint32_t flags, CGDirectDisplayID display) override {
        if (flags != kCGDisplayBeginConfigurationFlag) heard.emplace_back(display, flags);
    }
    // Whether a pass carrying at least these flags came for the display.
    bool heardWith(CGDirectDisplayID display, uint32_t flags) const {
        for (auto [id, f] : heard)
            if (id == display && (f & flags) == flags) return true;
        return false;
    }
    bool heardFlags(CGDirectDisplayID display, uint32_t flags, size_t times = 1) const {
        size_t count = 0;
        for (auto [id, f] : heard)
            count += id == display && f == flags;
        return count >= times;
    }
    std::vector<std::pair<CGDirectDisplayID, uint32_t>> heard;
};

class DisplayIntegration : public PlatformdTest {
  protected:
    void SetUp() override {
        PlatformdTest::SetUp();
        configuration->setDelegate(delegate);
        ASSERT_TRUE(configuration->startListeningForDevice("Tessel"));
    }
    void TearDown() override {
        configuration->stopListening();
        helper.reset();
        PlatformdTest::TearDown();
    }
    // The screen-server stand-in enables framebuffer 2 with modes 1 and 34.
    void enableFramebuffer2() {
        helper = std::make_unique<FifoProcess>(m_platformd->root(), "helper",
                                               std::vector<std::string>{kHelper, "FIFO", "2", "1", "34"});
        ASSERT_TRUE(helper->started);
        ASSERT_TRUE(runUntil([&] { return delegate->heardFlags(0x102, 0x10 | 0x100 | 0x1000); }));
    }

    std::shared_ptr<QNBDisplayConfiguration> configuration = std::make_shared<QNBDisplayConfiguration>();
    std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
    std::unique_ptr<FifoProcess> helper;
};

class HiDPIDisplayIntegration : public DisplayIntegration {
  protected:
    // The window server reads the setting at every probe: set it before the display comes.
    void SetUp() override {
        DisplayIntegration::SetUp();
        cf::CFPreferencesSetValue("DisplayResolutionEnabled", cf::Value(true), "com.apple.windowserver",
                                  cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
        cf::CFPreferencesSynchronize("com.apple.windowserver", cf::kCFPreferencesAnyUser,
                                     cf::kCFPreferencesCurrentHost);
    }
};

} // namespace

TEST_F(DisplayIntegration, ScreensAndTheDelegateFollowTheVirtualDisplay) {
    enableFramebuffer2();
    std::shared_ptr<QNBScreen> virtualScreen;
    for (const auto& screen : QNBScreen::screens())
        if (screen->displayID() == 0x102) virtualScreen = screen;
    ASSERT_TRUE(virtualScreen);
    EXPECT_EQ(QNBScreen::screens().front()->displayID(), 1u);
    EXPECT_EQ(virtualScreen->framebufferIndex(), 2);
    EXPECT_TRUE(
        cg::CGRectEqualToRect(virtualScreen->normalizedDisplayBounds(), cg::CGRectMake(1440, 0, 1024, 768)));
    EXPECT_EQ(virtualScreen->userDescription(), "Tessel");
    EXPECT_EQ(configuration->displayIDOfInterest(), 0x102u);

    helper->send("disable");
    ASSERT_TRUE(runUntil([&] { return delegate->heardFlags(0x102, 0x20 | 0x200 | 0x1000); }));
    ASSERT_TRUE(runUntil([&] { return QNBScreen::screens().size() == 1; }));
}

TEST_F(HiDPIDisplayIntegration, AppOnlyTwinOfAnExitedProcessIsReverted) {
    enableFramebuffer2();
    // The peer asks for the twin of 1024 by 768 (mode 34's half size) for itself, then exits.
    auto result = runProgram({kPeer, "twin", "0x102", "1024", "768"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out, "configured 0\n");
    // This process hears the change, then the revert.
    ASSERT_TRUE(runUntil([&] { return delegate->heardFlags(0x102, 0x8 | 0x1000, 2); }));
    EXPECT_EQ(QNBScreen::scaleForDisplayID(0x102), 1.0);
    EXPECT_TRUE(cg::CGRectEqualToRect(cg::CGDisplayBounds(0x102), cg::CGRectMake(1440, 0, 1024, 768)));
}

TEST_F(DisplayIntegration, MirroringOffDissolvesAPairFromPlatformctl) {
    enableFramebuffer2();
    auto made = runProgram(
        {platformd::testing::PrivatePlatformd::platformctlPath(), "configure", "0x102", "mirror", "1"});
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    ASSERT_TRUE(runUntil([&] { return cg::CGDisplayIsInMirrorSet(0x102); }));
    EXPECT_EQ(foundation::turnOffDisplayMirroringForSession(2), 0);
    EXPECT_FALSE(cg::CGDisplayIsInMirrorSet(0x102));
    EXPECT_FALSE(cg::CGDisplayIsInMirrorSet(1));
    // Leaving the set moves it back beside the main display too.
    EXPECT_TRUE(runUntil([&] { return delegate->heardWith(0x102, 0x800 | 0x1000); }));
}

TEST_F(DisplayIntegration, AWindowMovedOffIsPutBack) {
    enableFramebuffer2();
    FifoProcess peer(m_platformd->root(), "peer",
                     {kPeer, "window", "FIFO", "Peer Notes Window", "1500", "50", "300", "200"});
    ASSERT_TRUE(peer.started);
    auto created = waitEvent("display-peer", cf::Dictionary{{"step", "window"}});
    ASSERT_TRUE(created);
    ASSERT_TRUE(created->find("window"));
    const uint32_t window = uint32_t(created->find("window")->intValue());

    configuration->getWindowsOfInterest();
    ASSERT_EQ(configuration->windowsOfInterestWindowIDs(), (std::set<uint32_t>{window}));

    // The owner moves it off the display; with no refresh listener the record stays.
    peer.send("move 100 100");
    ASSERT_TRUE(waitEvent("display-peer", cf::Dictionary{{"step", "moved"}}));
    configuration->getWindowsOfInterest();
    ASSERT_EQ(configuration->windowsOfInterest().size(), 1u);

    configuration->setWindowsOfInterestSupport(true);
    configuration->moveWindowsOfInterestBack();
    EXPECT_FALSE(configuration->movingWindowsOfInterest());
    auto now = QNBDisplayConfiguration::windowDescriptionForWindowID(window);
    ASSERT_TRUE(now);
    cg::CGRect bounds;
    ASSERT_TRUE(cg::CGRectMakeWithDictionaryRepresentation(now->find(cg::kCGWindowBounds), &bounds));
    EXPECT_TRUE(cg::CGRectEqualToRect(bounds, cg::CGRectMake(1500, 50, 300, 200)));
}

} // namespace display
