// Layers: a property bag in a tree. The model values apply at once (nothing is interpolated);
// animations are kept by key with their completions (CAAnimation.h). A layer tree draws its
// contents, frame, opacity and transform into a Core Graphics context (renderInContext); its
// shadow is recorded only. A root layer may carry a change handler, which the view hosting it
// uses to redraw. Main thread only.
#pragma once

#include "platform/core/Clock.h"
#include "platform/coregraphics/CGColor.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/CGPath.h"
#include "platform/quartzcore/CAAnimation.h"
#include "platform/quartzcore/CATransform3D.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quartzcore {

namespace detail {
class Completion;
}

inline constexpr std::string_view kCAGravityResize = "resize";

class CALayer : public std::enable_shared_from_this<CALayer> {
  public:
    static std::shared_ptr<CALayer> layer() { return std::make_shared<CALayer>(); }
    CALayer() = default;
    virtual ~CALayer();
    CALayer(const CALayer&) = delete;
    CALayer& operator=(const CALayer&) = delete;

    // ---- Content and geometry. The frame is in the superlayer's space (y up); the transform
    // turns the layer about its centre.
    const cg::CGImageRef& contents() const { return m_contents; }
    void setContents(cg::CGImageRef contents);
    double contentsScale() const { return m_contentsScale; }
    void setContentsScale(double scale); // positive and finite, else refused (logged)
    // Recorded; contents always fill the bounds.
    const std::string& contentsGravity() const { return m_contentsGravity; }
    void setContentsGravity(std::string gravity) { m_contentsGravity = std::move(gravity); }
    cg::CGRect frame() const { return m_frame; }
    void setFrame(cg::CGRect frame); // finite, else refused (logged); negative sizes become 0
    cg::CGRect bounds() const { return cg::CGRectMake(0, 0, m_frame.size.width, m_frame.size.height); }
    const CATransform3D& transform() const { return m_transform; }
    void setTransform(const CATransform3D& transform);
    float opacity() const { return m_opacity; }
    void setOpacity(float opacity); // held to 0...1; NaN refused (logged)
    bool isHidden() const { return m_hidden; }
    void setHidden(bool hidden);
    bool isOpaque() const { return m_opaque; }
    void setOpaque(bool opaque) { m_opaque = opaque; }

    // ---- Shadow: recorded, not drawn.
    const cg::CGColorRef& shadowColor() const { return m_shadowColor; }
    void setShadowColor(cg::CGColorRef color) { m_shadowColor = std::move(color); }
    cg::CGSize shadowOffset() const { return m_shadowOffset; }
    void setShadowOffset(cg::CGSize offset) { m_shadowOffset = offset; }
    double shadowRadius() const { return m_shadowRadius; }
    void setShadowRadius(double radius) { m_shadowRadius = radius; }
    float shadowOpacity() const { return m_shadowOpacity; }
    void setShadowOpacity(float opacity) { m_shadowOpacity = opacity; }
    const cg::CGPathRef& shadowPath() const { return m_shadowPath; }
    void setShadowPath(cg::CGPathRef path) { m_shadowPath = std::move(path); }

    // ---- The tree: superlayers own their sublayers, which hold them back weakly.
    std::shared_ptr<CALayer> superlayer() const { return m_superlayer.lock(); }
    const std::vector<std::shared_ptr<CALayer>>& sublayers() const { return m_sublayers; }
    // Takes the layer from its previous superlayer first; the new sublayer is frontmost.
    void addSublayer(const std::shared_ptr<CALayer>& layer);
    void removeFromSuperlayer();

    // ---- Animations by key. Adding one under a key in use replaces the old one, which
    // stops unfinished. An empty key is a key of its own for each animation added.
    void addAnimation(const std::shared_ptr<CAAnimation>& animation, const std::string& key);
    std::shared_ptr<CAAnimation> animationForKey(const std::string& key) const;
    void removeAnimationForKey(const std::string& key);
    void removeAllAnimations();
    std::vector<std::string> animationKeys() const; // non-empty keys, in the order added
    // How much of the unfinished animation under key has run, 0...1 on the process clock; none
    // when none runs under it. Drawing follows it where the stand-in draws an animation (a view's
    // "subviews" push).
    std::optional<double> progressForKey(const std::string& key) const;

    // ---- Drawing: the layer's contents in its bounds, then its sublayers, in the context's
    // current space taken as the layer's own.
    void renderInContext(const cg::CGContextRef& context) const;
    // The layer in its frame in the context's space taken as the superlayer's, with its
    // transform and opacity (times alpha).
    void renderInSuperlayerSpace(const cg::CGContextRef& context, double alpha) const;
    // The same with frame in place of the layer's own (a view's layer follows its bounds).
    void renderInFrame(const cg::CGContextRef& context, cg::CGRect frame, double alpha) const;

    // Called after each change of what the tree draws, of this layer or any below it.
    void setChangeHandler(std::function<void()> handler) { m_changeHandler = std::move(handler); }

  private:
    struct Running {
        std::string key;
        std::shared_ptr<CAAnimation> animation;
        std::shared_ptr<detail::Completion> completion;
        uint64_t serial = 0;
        bool finished = false;
        platform::TimePoint began;
        double duration = 0;
    };
    void changed() const;
    void drawContents(const cg::CGContextRef& context, cg::CGSize size, double alpha) const;
    void finish(uint64_t serial);
    static void stopUnfinished(Running& running);

    cg::CGImageRef m_contents;
    double m_contentsScale = 1.0;
    std::string m_contentsGravity{kCAGravityResize};
    cg::CGRect m_frame = cg::CGRectZero;
    CATransform3D m_transform;
    float m_opacity = 1.0f;
    bool m_hidden = false;
    bool m_opaque = false;
    cg::CGColorRef m_shadowColor;
    cg::CGSize m_shadowOffset = cg::CGSizeMake(0, -3);
    double m_shadowRadius = 3;
    float m_shadowOpacity = 0;
    cg::CGPathRef m_shadowPath;
    std::weak_ptr<CALayer> m_superlayer;
    std::vector<std::shared_ptr<CALayer>> m_sublayers;
    std::vector<Running> m_animations;
    uint64_t m_nextSerial = 1;
    std::function<void()> m_changeHandler;
};

namespace detail {
// An animation that belongs to no layer (a view's subviews changing without one): its delegate
// hears animationDidStart: now and animationDidStop:finished: YES after its duration.
void runAnimationDetached(const std::shared_ptr<CAAnimation>& animation);
} // namespace detail

} // namespace quartzcore
