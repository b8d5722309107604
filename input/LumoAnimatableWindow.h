// A window that animates its own appearance, disappearance and resizing although the window
// server cannot transform a window: while animations run, the real window is transparent and a
// layer holding its snapshot is shown in a borderless, click-through overlay covering its
// screen. The caller animates that layer; when every animation started on the window has
// ended, the overlay goes and the window is opaque again. Main thread only.
#pragma once

#include "platform/appkit/NSView.h"
#include "platform/appkit/NSWindow.h"
#include "platform/quartzcore/CAAnimation.h"
#include "platform/quartzcore/CALayer.h"
#include "platform/quartzcore/CAMediaTimingFunction.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace input {

// The overlay's content view: it hosts a plain layer of its own and never draws into it.
class LumoAnimatableWindowContentView : public appkit::NSView {
  public:
    explicit LumoAnimatableWindowContentView(cg::CGRect frame);
};

// One animated show at a time across every panel (main thread): the show that finds the flag
// clear sets it, and only that show's own completion clears it.
class LumoAnimationGuard {
  public:
    static bool tryBegin();
    static void end();
    static bool isBusy();
};

class LumoAnimatableWindow : public appkit::NSWindow, public quartzcore::CAAnimationDelegate {
  public:
    using LayerBlock = std::function<void(const std::shared_ptr<quartzcore::CALayer>& layer)>;
    using Timing = std::shared_ptr<quartzcore::CAMediaTimingFunction>;

    using appkit::NSWindow::NSWindow;
    ~LumoAnimatableWindow() override;

    // Sets up (running setup on the fresh layer), makes the window key and front when it is
    // not visible, then runs animations on the layer in one transaction.
    void makeKeyAndOrderFrontWithDuration(double duration, const Timing& timing, const LayerBlock& setup,
                                          const LayerBlock& animations);
    // Sets up, orders the window out, then runs animations. A window that is not visible has
    // no picture to animate: it is only ordered out and the completion hook runs.
    void orderOutWithDuration(double duration, const Timing& timing, const LayerBlock& animations);
    // The same with one layer animation ("LumoMakeKeyAndOrderFront", "LumoOrderOut").
    void makeKeyAndOrderFrontWithAnimation(const std::shared_ptr<quartzcore::CAAnimation>& animation,
                                           double initialOpacity);
    void orderOutWithAnimation(const std::shared_ptr<quartzcore::CAAnimation>& animation);
    // Moves the transparent window at once and animates the snapshot to the new frame.
    void setFrameWithDuration(cg::CGRect frame, double duration, const Timing& timing);

    void performAnimations(const LayerBlock& animations, double duration, const Timing& timing);
    void performAnimation(const std::shared_ptr<quartzcore::CAAnimation>& animation, const std::string& key);

    // The snapshot layer, set up when needed.
    std::shared_ptr<quartzcore::CALayer> layer();
    void setupIfNeeded() { setupIfNeededWithSetupBlock(nullptr); }
    void setupIfNeededWithSetupBlock(const LayerBlock& setup);
    // The window's picture; off screen (beyond every screen's right edge, transparent) when it
    // is not visible or force is set. Null when the window server has none.
    cg::CGImageRef imageRepresentationOffscreen(bool force);

    cg::CGRect bounds() const;
    // The bounds widened by 7 points on both sides and 14 points higher.
    cg::CGRect shadowRect() const;
    cg::CGRect constrainFrameRect(cg::CGRect frameRect,
                                  const std::shared_ptr<appkit::NSScreen>& screen) const override;

    void animationDidStop(const std::shared_ptr<quartzcore::CAAnimation>& animation, bool finished) override;
    void destroyTransformingWindowIfNeeded();
    void destroyTransformingWindow();
    // Runs after each animation block completes.
    virtual void performAnimationsComplete() {}

    // What tests look at.
    bool disableConstrainedWindow() const { return m_disableConstrainedWindow; }
    const std::shared_ptr<appkit::NSWindow>& fullScreenWindow() const { return m_fullScreenWindow; }
    const std::shared_ptr<quartzcore::CALayer>& windowRepresentationLayer() const {
        return m_windowRepresentationLayer;
    }
    int64_t openAnimations() const { return m_openTransactions; }

  private:
    void initializeFullScreenWindow();
    // A global frame in the overlay's coordinates, where the snapshot layer lies: the overlay
    // covers the window's screen, so on a screen away from the global origin a global frame
    // would put the picture beside the window, or off the overlay altogether.
    cg::CGRect frameInOverlay(cg::CGRect globalFrame) const;
    void initializeWindowRepresentationLayer();

    bool m_disableConstrainedWindow = false;
    std::shared_ptr<appkit::NSWindow> m_fullScreenWindow;
    std::shared_ptr<quartzcore::CALayer> m_windowRepresentationLayer;
    int64_t m_openTransactions = 0;
};

} // namespace input
