// The screen server's own warnings: the graphics-switching warning at launch on the Macs that
// freeze with it, and the "Performance Tip" when Retina sessions connect.
#include "server/LimnerAppDelegate.h"

#include "server/tests/MediatorTestSupport.h"

#include "foundation/QNBPreferences.h"
#include "foundation/TSEDisplay.h"

#include "platform/appkit/NSAlert.h"
#include "platform/appkit/tests/WindowTestSupport.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/corefoundation/Profile.h"
#include "platform/dispatch/Dispatch.h"

#include <cstdlib>
#include <filesystem>
#include <functional>

namespace {

constexpr char kRunCount[] = "RunCount";
constexpr char kSuppress[] = "ShouldSupressRetinaPerformanceAlert";

void onMainQueue(std::function<void()> block) {
    dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), std::move(block));
}

// The texts and buttons of the modal window on screen.
struct ShownAlert {
    std::vector<std::string> texts;
    std::vector<std::string> buttons;
    bool has(const std::string& text) const {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
};

ShownAlert shownAlert() {
    ShownAlert shown;
    auto window = appkit::NSApp()->modalWindow();
    if (!window) return shown;
    for (auto& view : window->contentView()->subviews()) {
        if (auto field = std::dynamic_pointer_cast<appkit::NSTextField>(view))
            shown.texts.push_back(field->stringValue());
        if (auto button = std::dynamic_pointer_cast<appkit::NSButton>(view))
            shown.buttons.push_back(button->title());
    }
    return shown;
}

class LimnerAppDelegateLocalWindowsAlertsTest : public appkit::testing::WindowTest {
  protected:
    // A Mac of that model, system version and alias count of its main display.
    void boot(const std::string& model = "MacBookPro6,2", const std::string& version = "10.6.4",
              uint32_t aliases = 2) {
        platform::installFakeClock();
        char pattern[] = "/tmp/ladalerts.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_root = pattern;
        std::filesystem::create_directories(m_root + "/home");
        ::setenv("HOME", (m_root + "/home").c_str(), 1);
        ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
        platform::Profile profile;
        profile.productVersion = version;
        ASSERT_TRUE(platform::testing::makeRoot(m_root, profile));
        iokit::InProcessKernelOptions options;
        options.kernel.model = model;
        options.windowServerConfig.displayAliases = aliases;
        m_kernel = std::make_shared<iokit::InProcessKernel>(options);
        m_kernel->install();
        foundation::resetXMuxGPUCapabilityCache();
        defaults()->removeObjectForKey(kRunCount);
        defaults()->removeObjectForKey(kSuppress);
        server::LimnerAppDelegate::Environment e;
        e.graphicsSwitchingFreezes = [] {
            return server::LimnerAppDelegate::computerFreezesWithGraphicsSwitching();
        };
        delegate = server::LimnerAppDelegate::make(std::move(e));
    }
    void SetUp() override {}
    void TearDown() override {
        delegate.reset();
        fixture.reset();
        WindowTest::TearDown();
        foundation::resetXMuxGPUCapabilityCache();
        if (!m_root.empty()) std::filesystem::remove_all(m_root);
    }
    static std::shared_ptr<ns::NSUserDefaults> defaults() {
        return ns::NSUserDefaults::standardUserDefaults();
    }

    // Launches, answering a warning (if one shows) by pressing the button of that title, or
    // ending it otherwise when empty. Answers what showed, if anything.
    std::optional<ShownAlert> launch(const std::string& press = "OK") {
        std::optional<ShownAlert> shown;
        onMainQueue([&shown, press] {
            auto window = appkit::NSApp()->modalWindow();
            if (!window) return;
            shown = shownAlert();
            if (press.empty()) return appkit::NSApp()->abortModal();
            for (auto& view : window->contentView()->subviews())
                if (auto button = std::dynamic_pointer_cast<appkit::NSButton>(view);
                    button && button->title() == press)
                    return button->performClick();
        });
        delegate->applicationDidFinishLaunching({});
        turn(); // the answer queued for a warning that never showed
        return shown;
    }

    // Four sessions with Retina resolutions as the preference has them.
    void retinaSessions(bool retina) {
        fixture = std::make_unique<server::testing::MediatorFixture>();
        delegate->setScreenServerMediator(fixture->mediator);
        foundation::QNBPreferences::sharedAppPrefs().baseSetRetinaResolutionsEnabled(retina);
    }
    // A device connects; every "Performance Tip" is answered with Close, the check box ticked
    // on the ones whose turn is listed. Answers how many showed.
    int connect(std::set<int> tick = {}) {
        auto shown = std::make_shared<int>(0);
        auto answer = std::make_shared<std::function<void()>>();
        *answer = [this, shown, tick, answer] {
            auto alert = delegate->retinaPerformanceAlert();
            if (!alert) return; // none up: the connection has ended its alerts
            const int turn = (*shown)++;
            onMainQueue(*answer); // for the next tip, if one comes
            EXPECT_EQ(alert->messageText(), "Performance Tip");
            EXPECT_EQ(alert->informativeText(),
                      "For faster screen refresh, try switching to a non-Retina resolution "
                      "when connecting to more than one Tessel screen.");
            EXPECT_TRUE(alert->showsSuppressionButton());
            if (turn == 0) {
                // Another connection while the tip is up shows nothing more.
                const int before = *shown;
                delegate->serverDidConnectToDevice(std::nullopt);
                EXPECT_EQ(*shown, before);
            }
            if (tick.count(turn)) alert->suppressionButton()->performClick();
            alert->buttons().at(0)->performClick();
        };
        onMainQueue(*answer);
        delegate->serverDidConnectToDevice(std::nullopt);
        turn();
        *answer = nullptr; // breaks the cycle
        return *shown;
    }

    std::string m_root;
    std::unique_ptr<server::testing::MediatorFixture> fixture;
    std::shared_ptr<server::LimnerAppDelegate> delegate;
};

TEST_F(LimnerAppDelegateLocalWindowsAlertsTest, AFreezingMultiplexerMacIsWarnedUntilTheDefaultButton) {
    boot("MacBookPro6,2", "10.6.4", 2);
    auto shown = launch("OK");
    ASSERT_TRUE(shown);
    EXPECT_TRUE(shown->has("Graphics Accelerator Warning"));
    EXPECT_TRUE(
        shown->has("Automatic Graphics Switching is incompatible with Tessel. Do not re-enable it, as your "
                   "main display may become unusable. For help, visit https://www.quenby.com/support."));
    EXPECT_EQ(shown->buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(defaults()->integerForKey(kRunCount), 1);
    EXPECT_FALSE(launch("OK")) << "warned for good";
}

TEST_F(LimnerAppDelegateLocalWindowsAlertsTest, AWarningEndedOtherwiseComesBackAtTheNextLaunch) {
    boot();
    ASSERT_TRUE(launch(""));
    EXPECT_FALSE(defaults()->objectForKey(kRunCount));
    EXPECT_TRUE(launch("OK"));
}

TEST_F(LimnerAppDelegateLocalWindowsAlertsTest, AWrongTypedRunCountReadsAsAbsent) {
    boot();
    defaults()->setObject(cf::Value("1"), kRunCount);
    EXPECT_TRUE(launch("OK"));
    EXPECT_EQ(defaults()->integerForKey(kRunCount), 1);
}

TEST_F(LimnerAppDelegateLocalWindowsAlertsTest, OtherMacsAreNotWarned) {
    boot("MacBookPro6,2", "10.6.5", 2);
    EXPECT_FALSE(launch());
}

TEST_F(LimnerAppDelegateLocalWindowsAlertsTest, OneAliasMeansNoSwitchableGraphicsAndNoWarning) {
    boot("MacBookPro6,2", "10.6.4", 1);
    EXPECT_FALSE(launch());
}

TEST_F(LimnerAppDelegateLocalWindowsAlertsTest,
       FourRetinaSessionsShowFourTipsAndATickedBoxCountsFromTheNextConnection) {
    boot();
    retinaSessions(true);
    EXPECT_EQ(connect({0}), 4);
    EXPECT_FALSE(delegate->retinaPerformanceAlert());
    EXPECT_TRUE(defaults()->boolForKey(kSuppress));
    EXPECT_EQ(connect(), 0);
}

TEST_F(LimnerAppDelegateLocalWindowsAlertsTest, TipsWithoutTheBoxKeepComing) {
    boot();
    retinaSessions(true);
    EXPECT_EQ(connect(), 4);
    EXPECT_FALSE(defaults()->objectForKey(kSuppress));
    EXPECT_EQ(connect(), 4);
}

TEST_F(LimnerAppDelegateLocalWindowsAlertsTest, AWrongTypedSuppressionReadsAsAbsent) {
    boot();
    retinaSessions(true);
    defaults()->setObject(cf::Value("YES"), kSuppress);
    EXPECT_EQ(connect(), 4);
}

TEST_F(LimnerAppDelegateLocalWindowsAlertsTest, NoTipWithoutRetinaSessions) {
    boot();
    retinaSessions(false);
    EXPECT_EQ(connect(), 0);
}

} // namespace
