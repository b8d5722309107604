// Layers in views: hosted layers drawn in place of drawRect:, layer-backed views drawing their
// sublayers over their own drawing (flipped or not), redraws on layer changes; animation groups
// whose completion runs once after their duration on the fake clock; animator proxies applying
// at once; a "subviews" transition starting at once and stopping after its duration.
#include "WindowTestSupport.h"

#include "platform/appkit/NSAnimationContext.h"
#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/dispatch/Testing.h"
#include "platform/quartzcore/CALayer.h"
#include "platform/quartzcore/testing/SolidImage.h"

#include <string>
#include <vector>

namespace appkit {

using quartzcore::testing::solidImage;
using testing::kBlue;
using testing::kRed;
using testing::kWindowGrey;
using testing::SolidView;

namespace {

constexpr uint32_t kGreen = 0xFF00FF00;

std::shared_ptr<quartzcore::CALayer> imageLayer(uint32_t argb, cg::CGRect frame) {
    auto layer = quartzcore::CALayer::layer();
    layer->setContents(solidImage(argb));
    layer->setFrame(frame);
    return layer;
}

struct Recorder : quartzcore::CAAnimationDelegate {
    void animationDidStart(const std::shared_ptr<quartzcore::CAAnimation>&) override {
        events.push_back("start");
    }
    void animationDidStop(const std::shared_ptr<quartzcore::CAAnimation>&, bool finished) override {
        events.push_back(finished ? "stop YES" : "stop NO");
    }
    std::vector<std::string> events;
};

} // namespace

class NSViewLayerHosting : public testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        window = NSWindow::make(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskBorderless);
    }
    std::shared_ptr<NSWindow> window;
};

TEST_F(NSViewLayerHosting, HostedLayersDrawContentsFrameOpacityAndTransformInsteadOfDrawRect) {
    auto host = std::make_shared<SolidView>(cg::CGRectMake(0, 0, 50, 50), 0, 1, 0);
    auto layer = quartzcore::CALayer::layer();
    layer->setContents(solidImage(kRed));
    host->setLayer(layer); // before wantsLayer: hosted
    host->setWantsLayer(true);
    EXPECT_TRUE(host->isHostingLayer());
    EXPECT_EQ(layer->frame().size.width, 50);
    auto moved = imageLayer(kBlue, cg::CGRectMake(0, 0, 10, 10));
    moved->setTransform(quartzcore::CATransform3DMakeTranslation(20, 0, 0));
    layer->addSublayer(moved);
    window->contentView()->addSubview(host);
    window->orderFront();

    auto image = picture(*window); // the host fills the bottom-left quarter
    EXPECT_EQ(pixel(image, 5, 55), kRed);
    EXPECT_EQ(pixel(image, 25, 95), kBlue);
    EXPECT_EQ(pixel(image, 5, 95), kRed); // the blue layer moved off its frame
    EXPECT_EQ(pixel(image, 75, 25), kWindowGrey);
    EXPECT_EQ(host->draws, 0);

    layer->setContents(solidImage(kBlue)); // a change redraws on the next turn
    turn();
    EXPECT_EQ(pixel(picture(*window), 5, 55), kBlue);
    layer->setOpacity(0);
    turn();
    image = picture(*window);
    EXPECT_EQ(pixel(image, 5, 55), kWindowGrey);
    EXPECT_EQ(pixel(image, 25, 95), kWindowGrey); // sublayers share the opacity
}

TEST_F(NSViewLayerHosting, LayerBackedViewsDrawTheirSublayersOverTheirOwnDrawingFlippedOrNot) {
    auto plain = std::make_shared<SolidView>(cg::CGRectMake(0, 0, 50, 50), 0, 1, 0);
    auto flipped = std::make_shared<SolidView>(cg::CGRectMake(50, 0, 50, 50), 0, 1, 0, true);
    for (auto& view : {plain, flipped}) {
        view->setWantsLayer(true); // makes a layer of its own
        ASSERT_TRUE(view->layer());
        EXPECT_FALSE(view->isHostingLayer());
        view->layer()->addSublayer(imageLayer(kRed, cg::CGRectMake(0, 0, 10, 10)));
        window->contentView()->addSubview(view);
    }
    window->orderFront();
    auto image = picture(*window);
    EXPECT_GT(plain->draws, 0);
    EXPECT_EQ(pixel(image, 25, 75), kGreen);
    EXPECT_EQ(pixel(image, 5, 95), kRed); // layers count y up in both
    EXPECT_EQ(pixel(image, 55, 95), kRed);
    EXPECT_EQ(pixel(image, 55, 55), kGreen);

    plain->setWantsLayer(false); // the layer is kept but no longer drawn
    window->display();
    EXPECT_EQ(pixel(picture(*window), 5, 95), kGreen);
}

class NSViewAnimation : public testing::WindowTest {
  protected:
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

TEST_F(NSViewAnimation, GroupCompletionRunsOnceAfterItsDurationAndAnimatorsApplyAtOnce) {
    auto window = NSWindow::make(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskTitled);
    auto view = std::make_shared<NSView>(cg::CGRectMake(0, 0, 10, 10));
    window->contentView()->addSubview(view);
    EXPECT_EQ(NSAnimationContext::currentContext().duration(), 0.25);
    int done = 0;
    auto layer = quartzcore::CALayer::layer();
    auto basic = quartzcore::CABasicAnimation::animationWithKeyPath("opacity");
    basic->setDelegate(recorder);
    NSAnimationContext::runAnimationGroup(
        [&](NSAnimationContext& context) {
            context.setDuration(1.0);
            view->animator().setAlphaValue(0.5);
            view->animator().setFrame(cg::CGRectMake(5, 5, 20, 30));
            window->animator().setAlphaValue(0.25);
            window->animator().setFrame(cg::CGRectMake(10, 10, 200, 100), false);
            layer->addAnimation(basic, "fade"); // takes the group's duration
        },
        [&] { ++done; });
    EXPECT_EQ(view->alphaValue(), 0.5);
    EXPECT_EQ(view->frame().size.height, 30);
    EXPECT_EQ(window->alphaValue(), 0.25);
    EXPECT_EQ(window->frame().size.width, 200);
    EXPECT_EQ(NSAnimationContext::currentContext().duration(), 0.25); // the group ended
    dispatch::advanceAndRun(0.999);
    EXPECT_EQ(done, 0);
    EXPECT_EQ(recorder->events, std::vector<std::string>{"start"});
    dispatch::advanceAndRun(0.001);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(recorder->events.back(), "stop YES");
    dispatch::advanceAndRun(5.0);
    EXPECT_EQ(done, 1);

    NSAnimationContext::beginGrouping();
    NSAnimationContext::currentContext().setCompletionHandler([&] { ++done; });
    NSAnimationContext::endGrouping();
    dispatch::advanceAndRun(0.2);
    EXPECT_EQ(done, 1);
    dispatch::advanceAndRun(0.05);
    EXPECT_EQ(done, 2);
    NSAnimationContext::endGrouping(); // unbalanced
    EXPECT_TRUE(m_log.contains("endGrouping without a matching beginGrouping"));
    NSAnimationContext::runAnimationGroup([](NSAnimationContext& context) { context.setDuration(0); },
                                          [&] { ++done; });
    dispatch::runUntilIdle(); // duration 0: the next turn
    EXPECT_EQ(done, 3);
}

TEST_F(NSViewAnimation, SubviewsTransitionStartsAtOnceAndStopsFinishedAfterItsDuration) {
    auto container = std::make_shared<NSView>(cg::CGRectMake(0, 0, 100, 100));
    auto transition = quartzcore::CATransition::animation();
    transition->setDelegate(recorder);
    container->setAnimations({{"subviews", transition}});
    auto a = std::make_shared<NSView>(), b = std::make_shared<NSView>(), c = std::make_shared<NSView>();
    container->animator().addSubview(a);
    EXPECT_EQ(container->subviews().size(), 1u); // at once
    EXPECT_EQ(recorder->events, std::vector<std::string>{"start"});
    dispatch::advanceAndRun(0.249);
    EXPECT_EQ(recorder->events.size(), 1u);
    dispatch::advanceAndRun(0.001);
    EXPECT_EQ(recorder->events.back(), "stop YES");

    container->addSubview(b); // not through the animator: no transition
    container->addSubview(c);
    EXPECT_EQ(recorder->events.size(), 2u);
    auto d = std::make_shared<NSView>();
    container->animator().replaceSubview(b, d);
    EXPECT_EQ(container->subviews(), (std::vector<std::shared_ptr<NSView>>{a, d, c}));
    EXPECT_FALSE(b->superview());
    dispatch::advanceAndRun(0.25);
    recorder->events.clear();

    // On a layer, a second change replaces the running transition, which stops unfinished.
    container->setWantsLayer(true);
    c->animator().removeFromSuperview();
    d->animator().removeFromSuperview();
    EXPECT_EQ(container->subviews(), std::vector<std::shared_ptr<NSView>>{a});
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"start", "start"}));
    dispatch::runUntilIdle();
    EXPECT_EQ(recorder->events.back(), "stop NO");
    dispatch::advanceAndRun(0.25);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"start", "start", "stop NO", "stop YES"}));

    container->animator().replaceSubview(b, c); // b is not a subview: refused, no transition
    EXPECT_TRUE(m_log.contains("refusing to replace a view"));
    EXPECT_EQ(recorder->events.size(), 4u);
}

} // namespace appkit

namespace appkit {

TEST_F(NSViewAnimation, APushSlidesTheCachedLookOutAndTheNewSubviewIn) {
    auto window = NSWindow::make(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskBorderless);
    auto row = std::make_shared<NSView>(cg::CGRectMake(0, 0, 100, 100));
    auto old = std::make_shared<SolidView>(cg::CGRectMake(0, 0, 100, 100), 1, 0, 0);
    auto fresh = std::make_shared<SolidView>(cg::CGRectMake(0, 0, 100, 100), 0, 0, 1);
    row->addSubview(old);
    window->contentView()->addSubview(row);
    window->orderFront();

    // The look, cached: the old side's pixels, alpha first in little-endian words (B, G, R, A).
    EXPECT_FALSE(row->bitmapImageRepForCachingDisplayInRect(cg::CGRectMake(0, 0, 0, 10)));
    auto look = row->bitmapImageRepForCachingDisplayInRect(row->bounds());
    ASSERT_TRUE(look);
    EXPECT_EQ(look->pixelsWide(), 100);
    row->cacheDisplayInRect(row->bounds(), *look);
    const uint8_t* first = look->bitmapData() + look->bytesPerRow() * 50 + 4 * 50;
    EXPECT_EQ(std::vector<uint8_t>(first, first + 4), (std::vector<uint8_t>{0, 0, 255, 255}));
    ASSERT_TRUE(look->CGImage());

    row->setWantsLayer(true);
    row->layer()->setContents(look->CGImage());
    auto push = quartzcore::CATransition::animation();
    push->setType(std::string(quartzcore::kCATransitionPush));
    push->setSubtype(std::string(quartzcore::kCATransitionFromLeft));
    row->setAnimations({{"subviews", push}});
    NSAnimationContext::runAnimationGroup(
        [&](NSAnimationContext& context) {
            context.setDuration(0.5);
            row->animator().replaceSubview(old, fresh);
        },
        nullptr);
    // Halfway, the new side has come in from the left as far as the old one has gone right.
    dispatch::advanceAndRun(0.25);
    auto image = picture(*window);
    EXPECT_EQ(pixel(image, 10, 50), kBlue);
    EXPECT_EQ(pixel(image, 45, 50), kBlue);
    EXPECT_EQ(pixel(image, 55, 50), kRed);
    EXPECT_EQ(pixel(image, 90, 50), kRed);
    // After it, the new side alone, and the frozen look let go.
    dispatch::advanceAndRun(0.3);
    image = picture(*window);
    EXPECT_EQ(pixel(image, 90, 50), kBlue);
    EXPECT_EQ(pixel(image, 10, 50), kBlue);
    EXPECT_FALSE(row->layer()->contents());
}

} // namespace appkit
