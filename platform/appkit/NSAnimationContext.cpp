#include "platform/appkit/NSAnimationContext.h"

#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSTimer.h"
#include "platform/quartzcore/CALayer.h"
#include "platform/quartzcore/CATransaction.h"
#include "platform/quartzcore/Completion.h"

#include <cmath>
#include <deque>

namespace appkit {

namespace {

// The process's own context at the bottom, one more per open group (a deque: references stay).
std::deque<NSAnimationContext>& contexts() {
    static std::deque<NSAnimationContext> stack(1);
    return stack;
}

// A push on a layer-backed view is drawn as it runs: the view redraws thirty times a second
// until it ends; then the look frozen on its layer is let go (the view's own drawing is its
// look again) unless another animation took the key meanwhile.
void paceSubviewsPush(NSView& view, const std::shared_ptr<quartzcore::CAAnimation>& animation) {
    auto transition = std::dynamic_pointer_cast<quartzcore::CATransition>(animation);
    if (!transition || transition->type() != quartzcore::kCATransitionPush || view.isHostingLayer()) return;
    std::weak_ptr<NSView> weak = view.weak_from_this();
    std::weak_ptr<quartzcore::CAAnimation> running = animation;
    auto timer = ns::NSTimer::timerWithTimeInterval(1.0 / 30, true, [weak, running](ns::NSTimer& self) {
        auto view = weak.lock();
        auto layer = view ? view->layer() : nullptr;
        if (!layer) return self.invalidate();
        view->setNeedsDisplay(true);
        if (layer->progressForKey("subviews")) return;
        self.invalidate();
        auto current = layer->animationForKey("subviews");
        if (!current || current == running.lock()) layer->setContents(nullptr);
    });
    ns::NSRunLoop::mainRunLoop()->addTimer(timer, ns::NSRunLoopCommonModes);
}

// A view's subviews changed through its animator: its "subviews" animation runs, on its layer
// when it has one (so a later change replaces it there).
void runSubviewsAnimation(NSView* view) {
    if (!view) return;
    auto animation = view->animationForKey("subviews");
    if (!animation) return;
    if (view->wantsLayer() && view->layer()) {
        view->layer()->addAnimation(animation, "subviews");
        paceSubviewsPush(*view, animation);
    } else {
        quartzcore::detail::runAnimationDetached(animation);
    }
}

} // namespace

void NSAnimationContext::runAnimationGroup(const Changes& changes, std::function<void()> completionHandler) {
    beginGrouping();
    NSAnimationContext& context = currentContext();
    if (changes) changes(context);
    // A handler given here wins over one the changes set.
    if (completionHandler) context.setCompletionHandler(std::move(completionHandler));
    endGrouping();
}

void NSAnimationContext::beginGrouping() {
    const NSAnimationContext& outer = contexts().back();
    NSAnimationContext context;
    context.m_grouping = true;
    context.m_duration = outer.m_duration;
    context.m_timing = outer.m_timing;
    contexts().push_back(std::move(context));
    quartzcore::CATransaction::begin();
    quartzcore::CATransaction::setAnimationDuration(contexts().back().m_duration);
}

void NSAnimationContext::endGrouping() {
    if (contexts().size() <= 1) {
        platform::log("appkit: endGrouping without a matching beginGrouping");
        return;
    }
    NSAnimationContext context = std::move(contexts().back());
    contexts().pop_back();
    quartzcore::CATransaction::commit();
    if (context.m_completion)
        quartzcore::detail::Completion::after(context.m_duration, std::move(context.m_completion));
}

NSAnimationContext& NSAnimationContext::currentContext() {
    return contexts().back();
}

void NSAnimationContext::setDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) {
        platform::log("appkit: refusing an animation duration that is negative or not finite");
        return;
    }
    m_duration = seconds;
    if (m_grouping && this == &contexts().back()) quartzcore::CATransaction::setAnimationDuration(seconds);
}

void NSAnimationContext::setTimingFunction(std::shared_ptr<quartzcore::CAMediaTimingFunction> function) {
    m_timing = std::move(function);
    if (m_grouping && this == &contexts().back())
        quartzcore::CATransaction::setAnimationTimingFunction(m_timing);
}

// ---- Animator proxies.

void NSViewAnimator::setAlphaValue(double alpha) {
    m_view->setAlphaValue(alpha);
}

void NSViewAnimator::setFrame(cg::CGRect frame) {
    m_view->setFrame(frame);
}

void NSViewAnimator::setFrameOrigin(cg::CGPoint origin) {
    m_view->setFrameOrigin(origin);
}

void NSViewAnimator::setFrameSize(cg::CGSize size) {
    m_view->setFrameSize(size);
}

void NSViewAnimator::setHidden(bool hidden) {
    m_view->setHidden(hidden);
}

void NSViewAnimator::addSubview(const std::shared_ptr<NSView>& view) {
    m_view->addSubview(view);
    if (view && view->superview() == m_view) runSubviewsAnimation(m_view.get());
}

void NSViewAnimator::removeFromSuperview() {
    auto superview = m_view->superview();
    m_view->removeFromSuperview();
    runSubviewsAnimation(superview.get());
}

void NSViewAnimator::replaceSubview(const std::shared_ptr<NSView>& oldView,
                                    const std::shared_ptr<NSView>& newView) {
    const bool wasSubview = oldView && oldView->superview() == m_view;
    m_view->replaceSubview(oldView, newView);
    // A refused replacement leaves the old view where it was.
    if (wasSubview && oldView->superview() != m_view) runSubviewsAnimation(m_view.get());
}

NSWindowAnimator NSWindow::animator() {
    return NSWindowAnimator(shared_from_this());
}

void NSWindowAnimator::setAlphaValue(double alpha) {
    m_window->setAlphaValue(alpha);
}

void NSWindowAnimator::setFrame(cg::CGRect frame, bool display) {
    m_window->setFrame(frame, display);
}

void NSWindowAnimator::setFrameOrigin(cg::CGPoint origin) {
    m_window->setFrameOrigin(origin);
}

} // namespace appkit
