// Animation groups and animator proxies. Nothing is interpolated: what the proxies change
// applies at once, and a group's completion handler runs once on the main loop after the
// group's duration (0.25 s unless set; 0: the next turn). A grouping also opens a Core
// Animation transaction with the group's duration, so layer animations added inside take it.
// Main thread only.
#pragma once

#include "platform/appkit/NSView.h"
#include "platform/quartzcore/CAMediaTimingFunction.h"

#include <functional>
#include <memory>

namespace appkit {

class NSWindow;

class NSAnimationContext {
  public:
    using Changes = std::function<void(NSAnimationContext&)>;

    // beginGrouping, changes with the new context, the handler, endGrouping.
    static void runAnimationGroup(const Changes& changes, std::function<void()> completionHandler);
    static void beginGrouping();
    // Unbalanced: logged, nothing else.
    static void endGrouping();
    // The innermost group's context; outside any, the process's own (0.25 s).
    static NSAnimationContext& currentContext();

    double duration() const { return m_duration; }
    void setDuration(double seconds); // negative or non-finite: refused (logged)
    const std::shared_ptr<quartzcore::CAMediaTimingFunction>& timingFunction() const { return m_timing; }
    void setTimingFunction(std::shared_ptr<quartzcore::CAMediaTimingFunction> function);
    const std::function<void()>& completionHandler() const { return m_completion; }
    void setCompletionHandler(std::function<void()> handler) { m_completion = std::move(handler); }

  private:
    bool m_grouping = false; // a group's context, not the process's own
    double m_duration = 0.25;
    std::shared_ptr<quartzcore::CAMediaTimingFunction> m_timing;
    std::function<void()> m_completion;
};

// view->animator(): the view's changes at once; subview changes run the changed view's
// "subviews" animation (NSView::animationForKey).
class NSViewAnimator {
  public:
    explicit NSViewAnimator(std::shared_ptr<NSView> view) : m_view(std::move(view)) {}
    void setAlphaValue(double alpha);
    void setFrame(cg::CGRect frame);
    void setFrameOrigin(cg::CGPoint origin);
    void setFrameSize(cg::CGSize size);
    void setHidden(bool hidden);
    void addSubview(const std::shared_ptr<NSView>& view);
    // Runs the superview's "subviews" animation.
    void removeFromSuperview();
    void replaceSubview(const std::shared_ptr<NSView>& oldView, const std::shared_ptr<NSView>& newView);

  private:
    std::shared_ptr<NSView> m_view;
};

// window->animator(): the window's changes at once.
class NSWindowAnimator {
  public:
    explicit NSWindowAnimator(std::shared_ptr<NSWindow> window) : m_window(std::move(window)) {}
    void setAlphaValue(double alpha);
    void setFrame(cg::CGRect frame, bool display);
    void setFrameOrigin(cg::CGPoint origin);

  private:
    std::shared_ptr<NSWindow> m_window;
};

} // namespace appkit
