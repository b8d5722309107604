// The reflector panel's life: creation, the animated and plain shows with their placement, the
// one-at-a-time animation guard, timers, refresh registration, hides, closes and the sheet.
#include "input/tests/ReflectorPanelTestSupport.h"

#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSScreen.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <algorithm>
#include <thread>

namespace {

using input::LumoAnimationGuard;
using input::QNDesktopReflectorPanelWindow;

class QNDesktopReflectorPanelTest : public input::testing::ReflectorPanelTest {};

TEST_F(QNDesktopReflectorPanelTest, CreationBuildsAHiddenHalfSizePanelOfTheSession) {
    auto panel = makePanel();
    ASSERT_TRUE(panel);
    const cg::CGRect content = panel->contentRectForFrameRect(panel->frame());
    EXPECT_TRUE(cg::CGRectEqualToRect(content, cg::CGRectMake(1440, 0, 512, 384)));
    EXPECT_EQ(panel->styleMask(), 15u);
    EXPECT_EQ(panel->collectionBehavior(), 1u);
    EXPECT_EQ(panel->level(), appkit::NSNormalWindowLevel);
    EXPECT_EQ(panel->title(), "Ref");
    const double w = appkit::NSWindow::minFrameWidthWithTitle("Ref", 15);
    EXPECT_EQ(panel->contentMinSize().width, w);
    EXPECT_EQ(panel->contentMinSize().height, 0.5 * w);
    EXPECT_EQ(panel->contentAspectRatio().width, 1024);
    EXPECT_EQ(panel->contentAspectRatio().height, 768);
    EXPECT_EQ(panel->contentMaxSize().width, 1024);
    const double least = std::min(1024 * 0.25, 2 * w);
    EXPECT_EQ(panel->minSize().width, least);
    EXPECT_EQ(panel->minSize().height, least * 768 / 1024);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(panel->isReleasedWhenClosed());
    EXPECT_TRUE(panel->mouseView()->isHidden());
    EXPECT_EQ(panel->imageView()->autoresizingMask(), 18u);
    EXPECT_EQ(panel->imageView()->imageScaling(), appkit::NSImageScaleAxesIndependently);
    ASSERT_EQ(panel->contentView()->subviews().size(), 2u);
    EXPECT_EQ(panel->contentView()->subviews()[0], panel->imageView()) << "the picture under the cursor";
    EXPECT_EQ(panel->deviceHostName(), "Ref");
    EXPECT_EQ(panel->knownAddr().description(), session->address.description());
    EXPECT_FALSE(panel->updating());
    EXPECT_FALSE(panel->suppressHelpSheet());
    EXPECT_EQ(QNDesktopReflectorPanelWindow::titleBarHeight(panel->frame()), 22.0f);
}

TEST_F(QNDesktopReflectorPanelTest, SessionsWithoutDisplayOrNameOrReadableFace) {
    session->displayName.reset();
    auto unnamed = makePanel();
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->title(), "Unknown");

    session->set.reset();
    EXPECT_FALSE(makePanel()) << "no display set, no panel";

    // The maker answers sessions it can read; anything else gets no panel.
    auto maker = QNDesktopReflectorPanelWindow::makerWithEnvironment(environment);
    EXPECT_FALSE(maker(nullptr));
}

TEST_F(QNDesktopReflectorPanelTest, AnimatedShowsCascadeByTheVisiblePanels) {
    for (uint64_t visible : {0u, 1u, 2u}) {
        visiblePanels = visible;
        auto panel = makePanel();
        ASSERT_TRUE(panel);
        panel->showWithAnimation();
        ASSERT_TRUE(panel->fullScreenWindow()) << visible << " visible: animated";
        const cg::CGRect placed = topLeftAndSize(*panel);
        const double step = 50.0 * double(visible);
        EXPECT_EQ(placed.origin.x, step) << visible;
        // Put with its top-left at (50 n, 768 − 50 n), the 790-point panel would reach below the
        // screen: the window is kept within the visible frame, its bottom on the screen's bottom.
        EXPECT_EQ(placed.origin.y, std::max(768 - step, 790.0)) << visible;
        EXPECT_EQ(panel->frame().origin.y, 0) << visible;
        const cg::CGRect content = panel->contentRectForFrameRect(panel->frame());
        EXPECT_EQ(content.size.width, 1024);
        EXPECT_EQ(content.size.height, 768);
        settle(1.1);
        EXPECT_FALSE(LumoAnimationGuard::isBusy());
        EXPECT_TRUE(panel->updating());
    }
}

TEST_F(QNDesktopReflectorPanelTest, AHiddenPanelIsSnapshottedOffScreenThenFliesInWhileItStaysKey) {
    auto panel = makePanel();
    std::vector<std::pair<cg::CGRect, double>> moves;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        appkit::NSWindowDidMoveNotification, static_cast<appkit::NSWindow*>(panel.get()),
        [&](const ns::NSNotification&) {
            moves.push_back({panel->frame(), panel->alphaValue()});
        });
    cg::CGRect screens = cg::CGRectZero;
    for (const auto& each : appkit::NSScreen::screens())
        screens = cg::CGRectUnion(screens, each->frame());

    panel->showWithAnimation();
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    const auto offScreen = std::find_if(moves.begin(), moves.end(), [&](const auto& move) {
        return move.first.origin.x == screens.size.width + 38 && move.first.origin.y == 0;
    });
    ASSERT_NE(offScreen, moves.end()) << "snapshotted beyond every screen";
    EXPECT_EQ(offScreen->second, 0.0) << "transparent there";
    ASSERT_FALSE(moves.empty());
    EXPECT_EQ(moves.back().second, 0.0) << "back in place, still transparent";

    auto overlay = panel->fullScreenWindow();
    ASSERT_TRUE(overlay);
    EXPECT_EQ(overlay->styleMask(), appkit::NSWindowStyleMaskBorderless);
    EXPECT_TRUE(overlay->ignoresMouseEvents());
    EXPECT_EQ(overlay->level(), panel->level());
    EXPECT_TRUE(panel->isKeyWindow());
    auto layer = panel->windowRepresentationLayer();
    ASSERT_TRUE(layer);
    EXPECT_EQ(layer->opacity(), 1.0f);
    EXPECT_TRUE(quartzcore::CATransform3DIsIdentity(layer->transform()));

    settle(0.5);
    EXPECT_FALSE(panel->helpSheetShowing()) << "the sheet waits for the animation";
    settle(0.6);
    EXPECT_FALSE(panel->fullScreenWindow());
    EXPECT_EQ(panel->alphaValue(), 1.0);
    EXPECT_TRUE(panel->helpSheetShowing()) << "the panel was still visible and key";
}

// The overlay covers the panel's screen; on a display away from the origin the snapshot still
// lies where the panel is, inside the overlay.
TEST_F(QNDesktopReflectorPanelTest, AnAnimationOnADisplayAwayFromTheOriginIsDrawnInPlace) {
    auto panel = makePanel();
    panel->showWithoutAnimation();
    pump();
    panel->setFrameOrigin(cg::CGPointMake(1500, 150)); // on the virtual display at x 1440
    panel->orderOutWithDuration(1.0, nullptr, nullptr);
    auto overlay = panel->fullScreenWindow();
    ASSERT_TRUE(overlay);
    ASSERT_EQ(overlay->frame().origin.x, 1440);
    auto layer = panel->windowRepresentationLayer();
    ASSERT_TRUE(layer);
    const cg::CGRect frame = panel->frame();
    EXPECT_EQ(layer->frame().origin.x, 60);
    EXPECT_EQ(layer->frame().origin.y, 150 - overlay->frame().origin.y);
    EXPECT_EQ(layer->frame().size.width, frame.size.width);
    const cg::CGRect inOverlay =
        cg::CGRectMake(0, 0, overlay->frame().size.width, overlay->frame().size.height);
    EXPECT_TRUE(cg::CGRectContainsRect(inOverlay, layer->frame()));
    settle(1.0);
    EXPECT_FALSE(panel->fullScreenWindow());
}

TEST_F(QNDesktopReflectorPanelTest, OnlyOneAnimatedShowAtATime) {
    auto first = makePanel();
    auto second = makePanel();
    first->showWithAnimation();
    ASSERT_TRUE(first->fullScreenWindow());
    const cg::CGRect before = second->frame();
    second->showWithAnimation();
    EXPECT_FALSE(second->fullScreenWindow()) << "shown at once";
    EXPECT_TRUE(second->isVisible());
    // Shown at once, it is only kept within the screen's visible frame, as every shown titled
    // window is: no animation resizes it.
    EXPECT_TRUE(cg::CGSizeEqualToSize(second->frame().size, before.size)) << "not resized";

    // The same panel shown again while its own show runs does not take the guard twice.
    first->showWithAnimation();
    settle(1.1);
    EXPECT_FALSE(LumoAnimationGuard::isBusy());
    auto third = makePanel();
    third->showWithAnimation();
    EXPECT_TRUE(third->fullScreenWindow()) << "the guard is free again";
}

TEST_F(QNDesktopReflectorPanelTest, ASecondShowReplacesTheTimers) {
    auto panel = makePanel();
    panel->showWithoutAnimation();
    panel->showWithoutAnimation();
    settle(2.0);
    ASSERT_EQ(invitations.size(), 1u) << "one invitation each 2.0 s, not two";
    EXPECT_EQ(invitations[0].description(), session->address.description());
    settle(2.0);
    EXPECT_EQ(invitations.size(), 2u);
}

TEST_F(QNDesktopReflectorPanelTest, RegistrationFollowsTheShowAndAQuickHideWins) {
    auto panel = makePanel();
    panel->showWithoutAnimation();
    EXPECT_FALSE(isListening(*panel)) << "registered through two hops";
    pump();
    EXPECT_TRUE(isListening(*panel));
    EXPECT_TRUE(panel->screenRedrawNeeded()) << "the first tick draws a picture";

    panel->hideWithAnimation();
    pump();
    EXPECT_FALSE(isListening(*panel));

    // A hide right after the show, whichever of its hop and the show's two hops lands first.
    panel->showWithoutAnimation();
    panel->hideWithAnimation();
    pump();
    EXPECT_FALSE(isListening(*panel));
    settle(1.1);
    EXPECT_FALSE(isListening(*panel));

    // The registration arriving after the hide's removal finds the panel no longer standing in.
    panel->spawnLocalClientRefreshBlock();
    pump();
    EXPECT_FALSE(isListening(*panel));
}

TEST_F(QNDesktopReflectorPanelTest, HidingAPanelNeverShownShowsNothing) {
    auto panel = makePanel();
    panel->hideWithAnimation();
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(panel->isKeyWindow());
    EXPECT_FALSE(panel->fullScreenWindow()) << "no picture to fly";
    settle(1.1);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(panel->helpSheetShowing());
    EXPECT_FALSE(LumoAnimationGuard::isBusy());
}

TEST_F(QNDesktopReflectorPanelTest, HidesStopStandingIn) {
    auto panel = makePanel();
    panel->showWithoutAnimation();
    pump();
    ASSERT_TRUE(panel->hasUpdateTimer());
    ASSERT_TRUE(panel->hasInviteTimer());
    panel->hideWithAnimation();
    EXPECT_FALSE(panel->updating());
    EXPECT_FALSE(panel->hasUpdateTimer());
    EXPECT_FALSE(panel->hasInviteTimer());
    settle(1.1);
    EXPECT_FALSE(panel->isVisible()) << "ordered out, kept for the next absence";
    EXPECT_FALSE(panel->fullScreenWindow());

    panel->showWithoutAnimation();
    panel->hideWithoutAnimation();
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(panel->updating());
    settle(2.0);
    EXPECT_TRUE(invitations.empty());
}

TEST_F(QNDesktopReflectorPanelTest, AReconnectionIntoTheShowEndsHiddenWithTheGuardFree) {
    auto panel = makePanel();
    panel->showWithAnimation();
    settle(0.3);
    panel->hideWithAnimation();
    settle(1.5);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(panel->fullScreenWindow());
    EXPECT_FALSE(LumoAnimationGuard::isBusy());
    EXPECT_FALSE(panel->helpSheetShowing());
}

TEST_F(QNDesktopReflectorPanelTest, ADropDuringTheHideEndsShownWithTheGuardFree) {
    auto panel = makePanel();
    panel->showWithAnimation();
    settle(1.1);
    panel->hideWithAnimation();
    settle(0.5);
    panel->showWithAnimation();
    EXPECT_TRUE(LumoAnimationGuard::isBusy());
    settle(0.6);
    // The hide's end came first: the show still holds the guard until its own end.
    EXPECT_TRUE(LumoAnimationGuard::isBusy());
    settle(0.6);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_FALSE(panel->fullScreenWindow());
    EXPECT_EQ(panel->alphaValue(), 1.0);
    EXPECT_FALSE(LumoAnimationGuard::isBusy());
    EXPECT_TRUE(panel->updating());
}

TEST_F(QNDesktopReflectorPanelTest, ACloseFromAnotherThreadIsPerformedOnTheMainThread) {
    auto panel = makePanel();
    panel->showWithoutAnimation();
    pump();
    ASSERT_TRUE(isListening(*panel));
    std::thread([panel] { panel->close(); }).join();
    EXPECT_TRUE(panel->isVisible()) << "queued, not done on the calling thread";
    dispatch::runUntilIdle();
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(panel->updating());
    EXPECT_FALSE(panel->hasUpdateTimer());
    EXPECT_FALSE(isListening(*panel)) << "every close ends the registration";
}

TEST_F(QNDesktopReflectorPanelTest, TheCloseButtonIsTheUsersClose) {
    auto panel = makePanel();
    panel->showWithoutAnimation();
    pump();
    panel->pressCloseButton();
    EXPECT_EQ(delegate->closes, 1);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(panel->updating());
    EXPECT_FALSE(panel->hasInviteTimer());
    pump();
    EXPECT_FALSE(isListening(*panel));
    settle(2.0);
    EXPECT_TRUE(invitations.empty());
}

// A close by the window's own roads (the standard close, or code holding it as any window) winds
// the panel down as its own close does: nothing keeps inviting a device whose panel is gone.
TEST_F(QNDesktopReflectorPanelTest, EveryRoadOfClosingStopsThePanel) {
    auto performed = makePanel();
    performed->showWithoutAnimation();
    pump();
    ASSERT_TRUE(performed->hasInviteTimer());
    performed->performClose(nullptr);
    auto plain = makePanel();
    plain->showWithoutAnimation();
    pump();
    static_cast<appkit::NSWindow&>(*plain).close();
    for (const auto& panel : {performed, plain}) {
        EXPECT_FALSE(panel->isVisible());
        EXPECT_FALSE(panel->updating());
        EXPECT_FALSE(panel->hasUpdateTimer());
        EXPECT_FALSE(panel->hasInviteTimer());
    }
    pump();
    EXPECT_FALSE(isListening(*performed));
    EXPECT_FALSE(isListening(*plain));
    EXPECT_EQ(delegate->closes, 0) << "not the user's close: the session is not told to disconnect";
    settle(2.0);
    EXPECT_TRUE(invitations.empty());
}

TEST_F(QNDesktopReflectorPanelTest, NoInvitationsOverUSBOrWithoutAnAddress) {
    session->usb = true;
    auto overUSB = makePanel();
    overUSB->showWithoutAnimation();
    EXPECT_TRUE(overUSB->hasUpdateTimer());
    EXPECT_FALSE(overUSB->hasInviteTimer());
    overUSB->close();

    session->usb = false;
    session->address = net::SocketAddress();
    auto unknown = makePanel();
    unknown->showWithoutAnimation();
    settle(6.0);
    EXPECT_TRUE(invitations.empty());
    EXPECT_EQ(m_log.count("no invitation is sent"), 1u) << "logged once";
}

TEST_F(QNDesktopReflectorPanelTest, TheSheetComesAtEachShowUnlessSuppressed) {
    auto panel = makePanel();
    panel->showWithoutAnimation();
    dispatch::runUntilIdle();
    ASSERT_TRUE(panel->helpSheetShowing());
    auto alert = panel->sheetAlert();
    EXPECT_EQ(alert->messageText(), "Your Tessel connection has paused");
    EXPECT_EQ(alert->informativeText(), "To restore your display, reopen Tessel on your device.\n"
                                        "To stop using Tessel for now, click \"OK\", then close this window");
    ASSERT_EQ(alert->buttons().size(), 1u);
    EXPECT_EQ(alert->buttons()[0]->title(), "OK");
    EXPECT_TRUE(alert->showsSuppressionButton());

    alert->buttons()[0]->performClick();
    dispatch::runUntilIdle();
    EXPECT_FALSE(panel->helpSheetShowing());
    EXPECT_TRUE(delegate->suppressRequests.empty()) << "box off: nothing to store";

    panel->showWithoutAnimation();
    dispatch::runUntilIdle();
    ASSERT_TRUE(panel->helpSheetShowing()) << "again at the next show";
    panel->sheetAlert()->suppressionButton()->setState(1);
    panel->sheetAlert()->buttons()[0]->performClick();
    dispatch::runUntilIdle();
    EXPECT_EQ(delegate->suppressRequests, std::vector<bool>{true});

    panel->showWithoutAnimation();
    dispatch::runUntilIdle();
    EXPECT_TRUE(panel->suppressHelpSheet());
    EXPECT_FALSE(panel->helpSheetShowing());
}

TEST_F(QNDesktopReflectorPanelTest, AShowWhileTheSheetIsUpBeginsNoOther) {
    auto panel = makePanel();
    panel->showWithoutAnimation();
    dispatch::runUntilIdle();
    auto first = panel->sheetAlert();
    ASSERT_TRUE(panel->helpSheetShowing());
    panel->showWithoutAnimation();
    dispatch::runUntilIdle();
    EXPECT_EQ(panel->sheetAlert(), first) << "the sheet up stays the panel's sheet";
    EXPECT_EQ(m_log.count("Refused"), 0u);

    // Its end still counts.
    first->suppressionButton()->setState(1);
    first->buttons()[0]->performClick();
    dispatch::runUntilIdle();
    EXPECT_EQ(delegate->suppressRequests, std::vector<bool>{true});
}

} // namespace
