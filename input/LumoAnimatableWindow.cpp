#include "input/LumoAnimatableWindow.h"

#include "platform/appkit/NSAnimationContext.h"
#include "platform/appkit/NSScreen.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGColor.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGPath.h"
#include "platform/coregraphics/CGWindowImage.h"
#include "platform/dispatch/Thread.h"
#include "platform/quartzcore/CATransaction.h"

namespace input {

namespace {

// How far beyond every screen's right edge an off-screen snapshot is taken.
constexpr double kOffscreenGap = 38.0;
// The shadow's extent around the window.
constexpr double kShadowSide = 7.0;
constexpr double kShadowTop = 14.0;
// The overlay window animates nothing of its own.
constexpr int64_t kAnimationBehaviorNone = 2;

LumoAnimatableWindow::Timing timingOrDefault(const LumoAnimatableWindow::Timing& timing) {
    if (timing) return timing;
    return quartzcore::CAMediaTimingFunction::functionWithName(
        quartzcore::kCAMediaTimingFunctionEaseInEaseOut);
}

bool g_animating = false; // main thread

} // namespace

// ---- The content view and the guard.

LumoAnimatableWindowContentView::LumoAnimatableWindowContentView(cg::CGRect frame) : appkit::NSView(frame) {
    // The layer first, then layer backing: the view hosts that layer and never draws into it.
    setLayer(quartzcore::CALayer::layer());
    setWantsLayer(true);
    setLayerContentsRedrawPolicy(appkit::NSViewLayerContentsRedrawNever);
}

bool LumoAnimationGuard::tryBegin() {
    if (!dispatch::isMainThread()) {
        platform::log("LumoAnimatableWindow: an animated show must start on the main thread");
        return false;
    }
    if (g_animating) return false;
    g_animating = true;
    return true;
}

void LumoAnimationGuard::end() {
    g_animating = false;
}

bool LumoAnimationGuard::isBusy() {
    return g_animating;
}

// ---- The window.

LumoAnimatableWindow::~LumoAnimatableWindow() {
    if (m_fullScreenWindow) m_fullScreenWindow->orderOut();
}

void LumoAnimatableWindow::makeKeyAndOrderFrontWithDuration(double duration, const Timing& timing,
                                                            const LayerBlock& setup,
                                                            const LayerBlock& animations) {
    setupIfNeededWithSetupBlock(setup);
    if (!isVisible()) makeKeyAndOrderFront();
    performAnimations(animations, duration, timing);
}

void LumoAnimatableWindow::orderOutWithDuration(double duration, const Timing& timing,
                                                const LayerBlock& animations) {
    if (!isVisible() && !m_windowRepresentationLayer) {
        // Nothing on screen to fly away: a snapshot now would show (and make key) a window
        // never meant to be seen.
        orderOut();
        performAnimationsComplete();
        return;
    }
    setupIfNeeded();
    orderOut();
    performAnimations(animations, duration, timing);
}

void LumoAnimatableWindow::makeKeyAndOrderFrontWithAnimation(
    const std::shared_ptr<quartzcore::CAAnimation>& animation, double initialOpacity) {
    const float opacity = static_cast<float>(initialOpacity);
    setupIfNeededWithSetupBlock(
        [opacity](const std::shared_ptr<quartzcore::CALayer>& layer) { layer->setOpacity(opacity); });
    if (!isVisible()) makeKeyAndOrderFront();
    performAnimation(animation, "LumoMakeKeyAndOrderFront");
}

void LumoAnimatableWindow::orderOutWithAnimation(const std::shared_ptr<quartzcore::CAAnimation>& animation) {
    if (!isVisible() && !m_windowRepresentationLayer) {
        orderOut();
        return;
    }
    setupIfNeeded();
    orderOut();
    performAnimation(animation, "LumoOrderOut");
}

void LumoAnimatableWindow::setFrameWithDuration(cg::CGRect newFrame, double duration, const Timing& timing) {
    setupIfNeeded();
    setFrame(newFrame, true);
    auto layer = m_windowRepresentationLayer;
    cg::CGPathRef shadowPath = cg::CGPathCreateWithRect(shadowRect(), nullptr);
    auto shadow = quartzcore::CABasicAnimation::animationWithKeyPath("shadowPath");
    shadow->setFromValue(layer->shadowPath());
    shadow->setToValue(shadowPath);
    shadow->setDuration(duration);
    shadow->setTimingFunction(timingOrDefault(timing));
    layer->addAnimation(shadow, "shadowPath");
    layer->setShadowPath(shadowPath);
    cg::CGImageRef image = imageRepresentationOffscreen(true);
    performAnimations(
        [layerFrame = frameInOverlay(newFrame), image](const std::shared_ptr<quartzcore::CALayer>& animated) {
            animated->setFrame(layerFrame);
            animated->setContents(image);
        },
        duration, timing);
}

void LumoAnimatableWindow::performAnimations(const LayerBlock& animations, double duration,
                                             const Timing& timing) {
    auto self = std::static_pointer_cast<LumoAnimatableWindow>(shared_from_this());
    appkit::NSAnimationContext::beginGrouping();
    quartzcore::CATransaction::begin();
    quartzcore::CATransaction::setAnimationDuration(duration);
    quartzcore::CATransaction::setAnimationTimingFunction(timingOrDefault(timing));
    quartzcore::CATransaction::setCompletionBlock([self] {
        self->destroyTransformingWindowIfNeeded();
        self->performAnimationsComplete();
    });
    auto animated = layer();
    if (animations) animations(animated);
    ++m_openTransactions;
    quartzcore::CATransaction::commit();
    appkit::NSAnimationContext::endGrouping();
}

void LumoAnimatableWindow::performAnimation(const std::shared_ptr<quartzcore::CAAnimation>& animation,
                                            const std::string& key) {
    if (!animation) {
        platform::log("LumoAnimatableWindow: no animation to add under %s", key);
        return;
    }
    animation->setDelegate(std::dynamic_pointer_cast<quartzcore::CAAnimationDelegate>(shared_from_this()));
    animation->setRemovedOnCompletion(false);
    layer()->addAnimation(animation, key);
    ++m_openTransactions;
}

std::shared_ptr<quartzcore::CALayer> LumoAnimatableWindow::layer() {
    setupIfNeeded();
    return m_windowRepresentationLayer;
}

void LumoAnimatableWindow::setupIfNeededWithSetupBlock(const LayerBlock& setup) {
    if (m_windowRepresentationLayer) return;
    initializeFullScreenWindow();
    initializeWindowRepresentationLayer();
    m_fullScreenWindow->contentView()->layer()->addSublayer(m_windowRepresentationLayer);
    m_windowRepresentationLayer->setFrame(frameInOverlay(frame()));
    cg::CGImageRef image = imageRepresentationOffscreen(false);
    quartzcore::CATransaction::begin();
    quartzcore::CATransaction::setDisableActions(true);
    m_windowRepresentationLayer->setContents(image);
    if (setup) setup(m_windowRepresentationLayer);
    quartzcore::CATransaction::commit();
    m_fullScreenWindow->makeKeyAndOrderFront();
    setAlphaValue(0.0);
}

void LumoAnimatableWindow::initializeFullScreenWindow() {
    auto on = screen();
    const cg::CGRect content = on ? on->frame() : cg::CGRectZero;
    m_fullScreenWindow = appkit::NSWindow::make(content, appkit::NSWindowStyleMaskBorderless);
    m_fullScreenWindow->setAnimationBehavior(kAnimationBehaviorNone);
    m_fullScreenWindow->setIgnoresMouseEvents(true);
    m_fullScreenWindow->setLevel(level());
    m_fullScreenWindow->setHasShadow(false);
    m_fullScreenWindow->setOpaque(false);
    auto bounds = m_fullScreenWindow->contentView()->bounds();
    m_fullScreenWindow->setContentView(std::make_shared<LumoAnimatableWindowContentView>(bounds));
}

cg::CGRect LumoAnimatableWindow::frameInOverlay(cg::CGRect globalFrame) const {
    if (!m_fullScreenWindow) return globalFrame;
    const cg::CGPoint origin = m_fullScreenWindow->frame().origin;
    return cg::CGRectOffset(globalFrame, -origin.x, -origin.y);
}

void LumoAnimatableWindow::initializeWindowRepresentationLayer() {
    auto layer = quartzcore::CALayer::layer();
    layer->setContentsScale(backingScaleFactor());
    layer->setShadowColor(cg::CGColorCreateGenericRGB(0, 0, 0, 0.58));
    layer->setShadowOffset(cg::CGSizeMake(0, -30));
    layer->setShadowRadius(19);
    layer->setShadowOpacity(1.0f);
    layer->setShadowPath(cg::CGPathCreateWithRect(shadowRect(), nullptr));
    layer->setContentsGravity(std::string(quartzcore::kCAGravityResize));
    layer->setOpaque(true);
    m_windowRepresentationLayer = std::move(layer);
}

cg::CGImageRef LumoAnimatableWindow::imageRepresentationOffscreen(bool force) {
    const cg::CGRect original = frame();
    const bool wasVisible = isVisible();
    const bool onScreen = wasVisible && !force;
    if (!onScreen) {
        cg::CGRect all = cg::CGRectZero;
        for (const auto& each : appkit::NSScreen::screens())
            all = cg::CGRectUnion(all, each->frame());
        m_disableConstrainedWindow = true;
        setAlphaValue(0.0);
        if (!wasVisible) makeKeyAndOrderFront();
        setFrame(cg::CGRectMake(all.size.width + kOffscreenGap, 0, original.size.width, original.size.height),
                 false);
        m_disableConstrainedWindow = false;
    }
    setAlphaValue(1.0);
    displayIfNeeded();
    cg::CGImageRef image;
    cg::CGImageRef shot = cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow,
                                                      windowNumber(), cg::kCGWindowImageBoundsIgnoreFraming);
    if (shot) {
        const size_t width = cg::CGImageGetWidth(shot), height = cg::CGImageGetHeight(shot);
        cg::CGContextRef context =
            cg::CGBitmapContextCreate(nullptr, width, height, 8, 0, cg::CGColorSpaceCreateDeviceRGB(),
                                      cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little);
        if (context) {
            cg::CGContextSetBlendMode(context, cg::kCGBlendModeCopy);
            cg::CGContextDrawImage(context, cg::CGRectMake(0, 0, double(width), double(height)), shot);
            image = cg::CGBitmapContextCreateImage(context);
        }
    } else {
        platform::log("LumoAnimatableWindow: the window server has no picture of window %u", windowNumber());
    }
    if (!onScreen) setAlphaValue(0.0);
    if (!cg::CGRectEqualToRect(frame(), original)) setFrame(original, false);
    return image;
}

cg::CGRect LumoAnimatableWindow::bounds() const {
    return cg::CGRectMake(0, 0, frame().size.width, frame().size.height);
}

cg::CGRect LumoAnimatableWindow::shadowRect() const {
    const cg::CGRect b = bounds();
    return cg::CGRectMake(b.origin.x - kShadowSide, b.origin.y, b.size.width + 2 * kShadowSide,
                          b.size.height + kShadowTop);
}

cg::CGRect LumoAnimatableWindow::constrainFrameRect(cg::CGRect frameRect,
                                                    const std::shared_ptr<appkit::NSScreen>& on) const {
    if (m_disableConstrainedWindow) return frameRect;
    return appkit::NSWindow::constrainFrameRect(frameRect, on);
}

void LumoAnimatableWindow::animationDidStop(const std::shared_ptr<quartzcore::CAAnimation>&, bool) {
    destroyTransformingWindowIfNeeded();
}

void LumoAnimatableWindow::destroyTransformingWindowIfNeeded() {
    if (m_openTransactions > 0) --m_openTransactions;
    if (m_openTransactions == 0) destroyTransformingWindow();
}

void LumoAnimatableWindow::destroyTransformingWindow() {
    setAlphaValue(1.0);
    if (m_windowRepresentationLayer) {
        m_windowRepresentationLayer->removeFromSuperlayer();
        m_windowRepresentationLayer->setContents(nullptr);
        m_windowRepresentationLayer.reset();
    }
    if (m_fullScreenWindow) {
        m_fullScreenWindow->orderOut();
        m_fullScreenWindow.reset();
    }
}

} // namespace input
