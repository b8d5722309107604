// The animatable window: snapshots taken off screen or in place, the overlay and its layer,
// the open-animation count, and the animation guard.
#include "input/LumoAnimatableWindow.h"

#include "platform/appkit/NSScreen.h"
#include "platform/appkit/tests/WindowTestSupport.h"
#include "platform/dispatch/Testing.h"
#include "platform/foundation/NSNotificationCenter.h"

namespace {

using input::LumoAnimatableWindow;
using Layer = std::shared_ptr<quartzcore::CALayer>;

class CountingWindow : public LumoAnimatableWindow {
  public:
    using LumoAnimatableWindow::LumoAnimatableWindow;
    void performAnimationsComplete() override { ++completions; }
    int completions = 0;
};

class LumoAnimatableWindowTest : public appkit::testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        window = appkit::NSWindow::make<CountingWindow>(cg::CGRectMake(100, 200, 400, 300),
                                                        appkit::NSWindowStyleMaskTitled);
        window->setContentView(std::make_shared<appkit::testing::SolidView>(cg::CGRectZero, 1, 0, 0));
        moves = ns::NSNotificationCenter::defaultCenter().addObserverForName(
            appkit::NSWindowDidMoveNotification, static_cast<appkit::NSWindow*>(window.get()),
            [this](const ns::NSNotification&) {
                frames.push_back({window->frame(), window->alphaValue()});
            });
    }
    void TearDown() override {
        ns::NSNotificationCenter::defaultCenter().removeObserver(moves);
        WindowTest::TearDown();
    }
    static void settle(double seconds) { dispatch::advanceAndRun(platform::seconds(seconds)); }
    // The width of the union of every screen frame.
    static double allScreensWidth() {
        cg::CGRect all = cg::CGRectZero;
        for (const auto& screen : appkit::NSScreen::screens())
            all = cg::CGRectUnion(all, screen->frame());
        return all.size.width;
    }
    std::shared_ptr<CountingWindow> window;
    ns::NSNotificationCenter::ObserverToken moves;
    std::vector<std::pair<cg::CGRect, double>> frames; // each move with the alpha at that time
};

TEST_F(LumoAnimatableWindowTest, ShowingAHiddenWindowSnapshotsItOffScreenWhileTransparent) {
    const cg::CGRect original = window->frame();
    window->makeKeyAndOrderFrontWithDuration(1.0, nullptr, nullptr,
                                             [](const Layer& layer) { layer->setOpacity(1); });
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(
        cg::CGRectEqualToRect(frames[0].first, cg::CGRectMake(allScreensWidth() + 38, 0, original.size.width,
                                                              original.size.height)));
    EXPECT_EQ(frames[0].second, 0.0) << "never seen beyond the screens";
    EXPECT_TRUE(cg::CGRectEqualToRect(frames[1].first, original));
    EXPECT_EQ(frames[1].second, 0.0) << "back in place, still transparent";

    // The snapshot is the window's own picture: its red content below the title bar.
    auto layer = window->windowRepresentationLayer();
    ASSERT_TRUE(layer);
    ASSERT_TRUE(layer->contents());
    EXPECT_EQ(cg::CGImageGetWidth(layer->contents()), 400u);
    EXPECT_EQ(pixel(layer->contents(), 200, 150), appkit::testing::kRed);
    EXPECT_TRUE(cg::CGRectEqualToRect(layer->frame(), original));

    // The overlay: borderless, click-through, at the window's level; the window stays key.
    auto overlay = window->fullScreenWindow();
    ASSERT_TRUE(overlay);
    EXPECT_EQ(overlay->styleMask(), appkit::NSWindowStyleMaskBorderless);
    EXPECT_TRUE(overlay->ignoresMouseEvents());
    EXPECT_EQ(overlay->level(), window->level());
    EXPECT_FALSE(overlay->isOpaque());
    EXPECT_FALSE(overlay->hasShadow());
    EXPECT_TRUE(overlay->isVisible());
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->alphaValue(), 0.0);
    auto content = std::dynamic_pointer_cast<input::LumoAnimatableWindowContentView>(overlay->contentView());
    ASSERT_TRUE(content);
    EXPECT_TRUE(content->isHostingLayer());
    EXPECT_EQ(content->layer()->sublayers().size(), 1u);

    settle(0.999);
    EXPECT_TRUE(window->fullScreenWindow()) << "the overlay stays while the animation runs";
    settle(0.001);
    EXPECT_FALSE(window->fullScreenWindow());
    EXPECT_FALSE(window->windowRepresentationLayer());
    EXPECT_EQ(window->alphaValue(), 1.0);
    EXPECT_FALSE(overlay->isVisible());
    EXPECT_EQ(window->completions, 1);
}

TEST_F(LumoAnimatableWindowTest, OrderingOutAVisibleWindowSnapshotsInPlace) {
    window->makeKeyAndOrderFront();
    window->orderOutWithDuration(0.5, nullptr, [](const Layer& layer) { layer->setOpacity(0); });
    EXPECT_TRUE(frames.empty()) << "no move for a snapshot in place";
    EXPECT_FALSE(window->isVisible());
    ASSERT_TRUE(window->windowRepresentationLayer());
    EXPECT_EQ(pixel(window->windowRepresentationLayer()->contents(), 10, 100), appkit::testing::kRed);
    settle(0.5);
    EXPECT_FALSE(window->fullScreenWindow());
    EXPECT_EQ(window->alphaValue(), 1.0);
    EXPECT_EQ(window->completions, 1);
}

TEST_F(LumoAnimatableWindowTest, HidingAWindowNeverShownTakesNoPictureAndShowsNothing) {
    auto other = appkit::NSWindow::make(cg::CGRectMake(0, 0, 100, 100), appkit::NSWindowStyleMaskTitled);
    other->makeKeyAndOrderFront();
    window->orderOutWithDuration(1.0, nullptr, [](const Layer& layer) { layer->setOpacity(0); });
    EXPECT_TRUE(frames.empty());
    EXPECT_FALSE(window->fullScreenWindow());
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(other->isKeyWindow()) << "the hide made nothing key";
    EXPECT_EQ(window->completions, 1) << "whoever waits for the end still hears it";

    window->orderOutWithAnimation(quartzcore::CABasicAnimation::animationWithKeyPath("opacity"));
    EXPECT_FALSE(window->fullScreenWindow());
    EXPECT_TRUE(other->isKeyWindow());
}

TEST_F(LumoAnimatableWindowTest, TheOverlayGoesOnlyAfterTheLastOfTwoAnimations) {
    window->makeKeyAndOrderFront();
    window->performAnimations([](const Layer& layer) { layer->setOpacity(0.5f); }, 1.0, nullptr);
    const auto snapshotMoves = frames.size();
    window->performAnimations([](const Layer& layer) { layer->setOpacity(1); }, 2.0, nullptr);
    EXPECT_EQ(frames.size(), snapshotMoves) << "the second reuses the overlay without a snapshot";
    EXPECT_EQ(window->openAnimations(), 2);
    settle(1.0);
    EXPECT_TRUE(window->fullScreenWindow());
    EXPECT_EQ(window->completions, 1);
    settle(1.0);
    EXPECT_FALSE(window->fullScreenWindow());
    EXPECT_EQ(window->completions, 2);
}

TEST_F(LumoAnimatableWindowTest, TwoWindowsTearTheirOverlaysDownIndependently) {
    auto second = appkit::NSWindow::make<CountingWindow>(cg::CGRectMake(600, 200, 200, 200),
                                                         appkit::NSWindowStyleMaskTitled);
    window->makeKeyAndOrderFront();
    second->makeKeyAndOrderFront();
    window->performAnimations(nullptr, 1.0, nullptr);
    second->performAnimations(nullptr, 3.0, nullptr);
    settle(1.0);
    EXPECT_FALSE(window->fullScreenWindow());
    EXPECT_TRUE(second->fullScreenWindow());
    settle(2.0);
    EXPECT_FALSE(second->fullScreenWindow());
}

TEST_F(LumoAnimatableWindowTest, ALayerAnimationCancelledStillCountsAsEnded) {
    window->makeKeyAndOrderFront();
    auto fade = quartzcore::CABasicAnimation::animationWithKeyPath("opacity");
    fade->setDuration(5.0);
    window->makeKeyAndOrderFrontWithAnimation(fade, 0.25);
    ASSERT_TRUE(window->windowRepresentationLayer());
    EXPECT_FLOAT_EQ(window->windowRepresentationLayer()->opacity(), 0.25f);
    EXPECT_FALSE(fade->isRemovedOnCompletion());
    EXPECT_EQ(window->windowRepresentationLayer()->animationForKey("LumoMakeKeyAndOrderFront"), fade);
    window->windowRepresentationLayer()->removeAnimationForKey("LumoMakeKeyAndOrderFront");
    settle(0);
    EXPECT_FALSE(window->fullScreenWindow()) << "the cancelled animation ended the transformation";
    EXPECT_EQ(window->completions, 0) << "single animations do not run the block hook";
}

TEST_F(LumoAnimatableWindowTest, AnAnimatedResizeMovesTheWindowAtOnceAndAnimatesTheShadowAndPicture) {
    window->makeKeyAndOrderFront();
    const cg::CGRect target = cg::CGRectMake(150, 150, 600, 400);
    window->setFrameWithDuration(target, 0.5, nullptr);
    EXPECT_TRUE(cg::CGRectEqualToRect(window->frame(), target));
    auto layer = window->windowRepresentationLayer();
    ASSERT_TRUE(layer);
    EXPECT_TRUE(layer->animationForKey("shadowPath"));
    EXPECT_TRUE(cg::CGRectEqualToRect(layer->frame(), target));
    ASSERT_TRUE(layer->contents());
    EXPECT_EQ(cg::CGImageGetWidth(layer->contents()), 600u) << "the picture at the new size";
    EXPECT_TRUE(cg::CGRectEqualToRect(window->shadowRect(), cg::CGRectMake(-7, 0, 614, 414)));
    EXPECT_EQ(window->alphaValue(), 0.0);
    settle(0.5);
    EXPECT_FALSE(window->fullScreenWindow());
    EXPECT_EQ(window->alphaValue(), 1.0);
}

TEST_F(LumoAnimatableWindowTest, AFrameOffEveryScreenIsKeptOnlyWhileConstraintIsOff) {
    auto screen = appkit::NSScreen::mainScreen();
    ASSERT_TRUE(screen);
    const cg::CGRect high = cg::CGRectMake(100, 2000, 400, 300);
    const cg::CGRect constrained = window->constrainFrameRect(high, screen);
    EXPECT_EQ(constrained.origin.y + constrained.size.height,
              screen->visibleFrame().origin.y + screen->visibleFrame().size.height);
    // Showing off screen passes through a constraint that must leave it alone.
    window->makeKeyAndOrderFrontWithDuration(0.25, nullptr, nullptr, nullptr);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].first.origin.x, allScreensWidth() + 38);
    EXPECT_FALSE(window->disableConstrainedWindow());
}

TEST_F(LumoAnimatableWindowTest, AWindowWithoutAPictureStillAnimatesAndEnds) {
    auto empty = appkit::NSWindow::make<CountingWindow>(cg::CGRectMake(100, 100, 0, 0),
                                                        appkit::NSWindowStyleMaskBorderless);
    empty->makeKeyAndOrderFrontWithDuration(0.25, nullptr, nullptr, nullptr);
    ASSERT_TRUE(empty->windowRepresentationLayer());
    EXPECT_FALSE(empty->windowRepresentationLayer()->contents());
    settle(0.25);
    EXPECT_FALSE(empty->fullScreenWindow());
    EXPECT_EQ(empty->completions, 1);
}

TEST(LumoAnimatableWindowGuard, OnlyTheShowThatFoundItClearHoldsIt) {
    ASSERT_FALSE(input::LumoAnimationGuard::isBusy());
    EXPECT_TRUE(input::LumoAnimationGuard::tryBegin());
    EXPECT_FALSE(input::LumoAnimationGuard::tryBegin()) << "a second show on the same thread is refused";
    EXPECT_TRUE(input::LumoAnimationGuard::isBusy());
    input::LumoAnimationGuard::end();
    EXPECT_TRUE(input::LumoAnimationGuard::tryBegin());
    input::LumoAnimationGuard::end();
}

} // namespace
