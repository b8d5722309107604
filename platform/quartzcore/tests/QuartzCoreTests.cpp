// Quartz Core on the fake clock: transaction completions at the later of their duration and
// their longest animation (1.0 s of fake time), nesting, disabled actions, animation delegates
// (YES after the duration; NO on the next turn when replaced or removed), completions in every
// run-loop mode, and a layer tree drawing its contents, frame, opacity and transform.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Testing.h"
#include "platform/quartzcore/CALayer.h"
#include "platform/quartzcore/CATransaction.h"
#include "platform/quartzcore/testing/SolidImage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace quartzcore {
namespace {

using testing::solidImage;

struct Recorder : CAAnimationDelegate {
    void animationDidStart(const std::shared_ptr<CAAnimation>& animation) override {
        events.push_back("start " + name(animation));
    }
    void animationDidStop(const std::shared_ptr<CAAnimation>& animation, bool finished) override {
        events.push_back("stop " + name(animation) + (finished ? " YES" : " NO"));
    }
    std::string name(const std::shared_ptr<CAAnimation>& animation) const {
        return animation == first ? "first" : animation == second ? "second" : "other";
    }
    std::shared_ptr<CAAnimation> first, second;
    std::vector<std::string> events;
};

class QuartzCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        dispatch::runUntilIdle(); // leftovers of earlier tests
        recorder = std::make_shared<Recorder>();
    }
    std::shared_ptr<CABasicAnimation> animation(const std::string& keyPath, double duration = -1) {
        auto a = CABasicAnimation::animationWithKeyPath(keyPath);
        if (duration >= 0) a->setDuration(duration);
        a->setDelegate(recorder);
        return a;
    }
    std::shared_ptr<Recorder> recorder;
    platform::LogCapture log{true};
};

using QuartzCoreTransaction = QuartzCoreTest;
using QuartzCoreAnimation = QuartzCoreTest;
using QuartzCoreLayer = QuartzCoreTest;

TEST_F(QuartzCoreTransaction, CompletionsAtOneSecondOfFakeTime) {
    auto layer = CALayer::layer();
    int completions = 0;
    CATransaction::begin();
    CATransaction::setAnimationDuration(1.0);
    CATransaction::setCompletionBlock([&] { ++completions; });
    recorder->first = animation("opacity"); // no duration of its own: the transaction's
    layer->addAnimation(recorder->first, "fade");
    layer->setOpacity(0.0f); // the model value applies at once
    CATransaction::commit();
    EXPECT_EQ(layer->opacity(), 0.0f);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"start first"}));
    dispatch::advanceAndRun(0.999);
    EXPECT_EQ(completions, 0);
    EXPECT_EQ(recorder->events.size(), 1u);
    dispatch::advanceAndRun(0.001);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"start first", "stop first YES"}));
    EXPECT_FALSE(layer->animationForKey("fade")); // removed on completion
    dispatch::advanceAndRun(5.0);
    EXPECT_EQ(completions, 1); // once
}

TEST_F(QuartzCoreTransaction, CompletionWaitsForTheLongestAnimationAddedNestedOnesIncluded) {
    auto layer = CALayer::layer();
    int outerDone = 0, innerDone = 0;
    CATransaction::begin();
    CATransaction::setAnimationDuration(0.5);
    CATransaction::setCompletionBlock([&] { ++outerDone; });
    CATransaction::begin();
    EXPECT_EQ(CATransaction::animationDuration(), 0.5); // inherited
    CATransaction::setCompletionBlock([&] { ++innerDone; });
    layer->addAnimation(animation("transform", 2.0), "move");
    CATransaction::commit();
    CATransaction::commit();
    dispatch::advanceAndRun(1.0);
    EXPECT_EQ(innerDone + outerDone, 0);
    dispatch::advanceAndRun(1.0);
    EXPECT_EQ(innerDone, 1);
    EXPECT_EQ(outerDone, 1);
}

TEST_F(QuartzCoreTransaction, DisabledActionsWithNothingAddedCompleteOnTheNextTurnOthersAfterTheDuration) {
    int quiet = 0, plain = 0;
    CATransaction::begin();
    CATransaction::setDisableActions(true);
    CATransaction::setCompletionBlock([&] { ++quiet; });
    CALayer::layer()->setOpacity(0.5f);
    CATransaction::commit();
    CATransaction::begin();
    EXPECT_FALSE(CATransaction::disableActions());
    EXPECT_EQ(CATransaction::animationDuration(), 0.25);
    CATransaction::setCompletionBlock([&] { ++plain; });
    CATransaction::commit();
    EXPECT_EQ(quiet, 0); // not inside commit
    dispatch::runUntilIdle();
    EXPECT_EQ(quiet, 1);
    EXPECT_EQ(plain, 0);
    dispatch::advanceAndRun(0.25);
    EXPECT_EQ(plain, 1);
}

TEST_F(QuartzCoreTransaction, UnbalancedCommitsAndBadDurationsAreRefused) {
    CATransaction::commit();
    EXPECT_TRUE(log.contains("without a matching begin"));
    CATransaction::begin();
    CATransaction::setAnimationDuration(-1);
    CATransaction::setAnimationDuration(std::nan(""));
    EXPECT_EQ(CATransaction::animationDuration(), 0.25);
    CATransaction::commit();
    EXPECT_EQ(log.count("refusing a transaction duration"), 2u);
}

TEST_F(QuartzCoreTransaction, CompletionsRunInEveryRunLoopMode) {
    int done = 0;
    CATransaction::begin();
    CATransaction::setCompletionBlock([&] { ++done; });
    auto layer = CALayer::layer();
    layer->addAnimation(animation("opacity", 0.5), "");
    CATransaction::commit();
    platform::installFakeClock().advance(platform::seconds(0.5));
    dispatch::RunLoop::main()->serveReady(dispatch::kModalPanelRunLoopMode);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(recorder->events.back(), "stop other YES");
}

TEST_F(QuartzCoreAnimation, ReplacedOrRemovedAnimationsStopUnfinishedOnTheNextTurn) {
    auto layer = CALayer::layer();
    recorder->first = animation("opacity", 1.0);
    recorder->second = animation("opacity", 1.0);
    layer->addAnimation(recorder->first, "fade");
    layer->addAnimation(recorder->second, "fade"); // replaces the first
    EXPECT_EQ(layer->animationForKey("fade"), recorder->second);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"start first", "start second"}));
    dispatch::runUntilIdle();
    EXPECT_EQ(recorder->events.back(), "stop first NO");
    layer->removeAnimationForKey("fade");
    EXPECT_FALSE(layer->animationForKey("fade"));
    EXPECT_EQ(recorder->events.size(), 3u); // not synchronously
    dispatch::runUntilIdle();
    EXPECT_EQ(recorder->events.back(), "stop second NO");
    dispatch::advanceAndRun(2.0);
    EXPECT_EQ(recorder->events.size(), 4u); // neither finishes later
}

TEST_F(QuartzCoreAnimation, KeptOnCompletionWhenAskedAndDelegatesAreWeak) {
    auto layer = CALayer::layer();
    recorder->first = animation("shadowPath");
    EXPECT_EQ(recorder->first->duration(), 0.25);
    recorder->first->setRemovedOnCompletion(false);
    layer->addAnimation(recorder->first, "shadowPath");
    dispatch::advanceAndRun(0.25);
    EXPECT_EQ(recorder->events.back(), "stop first YES");
    EXPECT_EQ(layer->animationForKey("shadowPath"), recorder->first);
    EXPECT_EQ(layer->animationKeys(), std::vector<std::string>{"shadowPath"});
    layer->removeAnimationForKey("shadowPath"); // finished already: no second stop
    dispatch::runUntilIdle();
    EXPECT_EQ(recorder->events.size(), 2u);

    auto orphan = animation("opacity", 0.1);
    std::weak_ptr<Recorder> weak = recorder;
    layer->addAnimation(orphan, "x");
    recorder.reset(); // the animation does not keep its delegate
    EXPECT_TRUE(weak.expired());
    dispatch::advanceAndRun(0.1);
    EXPECT_FALSE(layer->animationForKey("x"));
}

TEST_F(QuartzCoreAnimation, TransitionsAndTimingFunctionsAreRecords) {
    auto transition = CATransition::animation();
    EXPECT_EQ(transition->type(), kCATransitionFade);
    transition->setSubtype(std::string(kCATransitionFromLeft));
    auto ease = CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut);
    ASSERT_TRUE(ease);
    EXPECT_EQ(ease->getControlPointAtIndex(1).x, 0.42);
    EXPECT_EQ(ease->getControlPointAtIndex(2).x, 0.58);
    EXPECT_EQ(ease->getControlPointAtIndex(3).y, 1.0);
    EXPECT_FALSE(CAMediaTimingFunction::functionWithName("wobbly"));
    EXPECT_FALSE(CAMediaTimingFunction::functionWithControlPoints(1.5, 0, 0.5, 1));
    EXPECT_EQ(log.count("quartzcore:"), 2u);
    transition->setDuration(-3);
    EXPECT_EQ(transition->duration(), 0.25);
    EXPECT_FALSE(transition->hasExplicitDuration());
}

// Reads pixel (x, y) of a premultiplied BGRA buffer, y counted from the top row.
uint32_t pixelAt(const std::vector<uint8_t>& bytes, size_t width, size_t x, size_t y) {
    uint32_t p;
    std::memcpy(&p, bytes.data() + (y * width + x) * 4, 4);
    return p;
}

TEST_F(QuartzCoreLayer, TreesDrawContentsFrameOpacityAndTransformButOnlyRecordShadows) {
    const size_t side = 40;
    std::vector<uint8_t> pixels(side * side * 4);
    auto context =
        cg::CGBitmapContextCreate(pixels.data(), side, side, 8, side * 4, cg::CGColorSpaceCreateDeviceRGB(),
                                  cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little);
    ASSERT_TRUE(context);
    auto root = CALayer::layer();
    root->setFrame(cg::CGRectMake(0, 0, side, side));
    auto red = CALayer::layer();
    red->setContents(solidImage(0xFFFF0000));
    red->setFrame(cg::CGRectMake(0, 10, 10, 10)); // y up: rows 20-29 from the top
    red->setShadowOpacity(1.0f);
    red->setShadowOffset(cg::CGSizeMake(10, -10));
    red->setShadowPath(cg::CGPathCreateWithRect(red->bounds(), nullptr));
    root->addSublayer(red);
    auto blue = CALayer::layer();
    blue->setContents(solidImage(0xFF0000FF));
    blue->setFrame(cg::CGRectMake(0, 20, 10, 10));
    blue->setTransform(CATransform3DMakeTranslation(20, 0, 0));
    blue->setOpacity(0.5f);
    root->addSublayer(blue);
    auto hidden = CALayer::layer();
    hidden->setContents(solidImage(0xFF00FF00));
    hidden->setFrame(cg::CGRectMake(30, 0, 10, 10));
    hidden->setHidden(true);
    root->addSublayer(hidden);
    root->renderInContext(context);

    EXPECT_EQ(pixelAt(pixels, side, 5, 25), 0xFFFF0000u);
    EXPECT_EQ(pixelAt(pixels, side, 15, 35), 0u); // where its shadow would fall
    EXPECT_EQ(pixelAt(pixels, side, 5, 15), 0u);  // blue moved away from its frame
    const uint32_t halfBlue = pixelAt(pixels, side, 25, 15);
    EXPECT_NEAR(static_cast<int>(halfBlue >> 24), 128, 1);
    EXPECT_NEAR(static_cast<int>(halfBlue & 0xFF), 128, 1);
    EXPECT_EQ(pixelAt(pixels, side, 35, 35), 0u); // hidden
    EXPECT_TRUE(red->shadowPath());
    EXPECT_EQ(red->shadowOffset().width, 10);
}

TEST_F(QuartzCoreLayer, PropertyBagDefaultsTreeRulesAndChangeHandler) {
    auto layer = CALayer::layer();
    EXPECT_EQ(layer->contentsScale(), 1.0);
    EXPECT_EQ(layer->opacity(), 1.0f);
    EXPECT_EQ(layer->shadowOpacity(), 0.0f);
    EXPECT_EQ(layer->shadowOffset().height, -3);
    EXPECT_EQ(layer->shadowRadius(), 3);
    EXPECT_TRUE(CATransform3DIsIdentity(layer->transform()));
    EXPECT_EQ(layer->contentsGravity(), kCAGravityResize);

    int changes = 0;
    layer->setChangeHandler([&] { ++changes; });
    auto child = CALayer::layer();
    auto grandchild = CALayer::layer();
    layer->addSublayer(child);
    child->addSublayer(grandchild);
    EXPECT_EQ(changes, 2);
    grandchild->setOpacity(2.0f); // held to 1
    EXPECT_EQ(grandchild->opacity(), 1.0f);
    EXPECT_EQ(changes, 3);
    grandchild->addSublayer(layer); // a cycle: refused
    EXPECT_TRUE(log.contains("refusing to add a layer"));
    grandchild->setFrame(cg::CGRectMake(0, std::nan(""), 1, 1));
    EXPECT_TRUE(log.contains("not finite"));
    layer->setContentsScale(0);
    EXPECT_EQ(layer->contentsScale(), 1.0);
    std::weak_ptr<CALayer> weakChild = child;
    child->removeFromSuperlayer();
    EXPECT_EQ(changes, 4);
    child.reset();
    EXPECT_TRUE(weakChild.expired());
    EXPECT_TRUE(layer->sublayers().empty());
}

} // namespace
} // namespace quartzcore
