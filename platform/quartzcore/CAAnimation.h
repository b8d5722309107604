// Layer animations as records: nothing is interpolated, the layer's model values apply at once.
// What an animation carries is its timing (duration, timing function, removal on completion)
// and a weak delegate: animationDidStart: when it is added, animationDidStop:finished: YES on
// the main loop after its duration, or NO on the next turn when it is replaced under its key
// or removed first.
#pragma once

#include "platform/coregraphics/CGColor.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/CGPath.h"
#include "platform/quartzcore/CAMediaTimingFunction.h"
#include "platform/quartzcore/CATransform3D.h"

#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace quartzcore {

class CAAnimation;

class CAAnimationDelegate {
  public:
    virtual ~CAAnimationDelegate() = default;
    virtual void animationDidStart(const std::shared_ptr<CAAnimation>& animation) { (void)animation; }
    virtual void animationDidStop(const std::shared_ptr<CAAnimation>& animation, bool finished) {
        (void)animation;
        (void)finished;
    }
};

// A value an animation runs from or to.
using CAValue = std::variant<std::monostate, double, cg::CGPoint, cg::CGSize, cg::CGRect, CATransform3D,
                             cg::CGPathRef, cg::CGColorRef, cg::CGImageRef>;

inline constexpr double kCADefaultAnimationDuration = 0.25;

class CAAnimation : public std::enable_shared_from_this<CAAnimation> {
  public:
    static std::shared_ptr<CAAnimation> animation() { return std::make_shared<CAAnimation>(); }
    CAAnimation() = default;
    virtual ~CAAnimation() = default;

    // 0.25 s until set; an animation whose duration was never set takes the duration of the
    // transaction it is added in. Negative or non-finite durations are refused (logged).
    double duration() const { return m_duration; }
    void setDuration(double seconds);
    bool hasExplicitDuration() const { return m_durationSet; }
    const std::shared_ptr<CAMediaTimingFunction>& timingFunction() const { return m_timing; }
    void setTimingFunction(std::shared_ptr<CAMediaTimingFunction> function) {
        m_timing = std::move(function);
    }
    // YES (the default): the layer lets go of it when it finishes.
    bool isRemovedOnCompletion() const { return m_removedOnCompletion; }
    void setRemovedOnCompletion(bool removed) { m_removedOnCompletion = removed; }
    std::shared_ptr<CAAnimationDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<CAAnimationDelegate>& delegate) { m_delegate = delegate; }

  private:
    double m_duration = kCADefaultAnimationDuration;
    bool m_durationSet = false;
    std::shared_ptr<CAMediaTimingFunction> m_timing;
    bool m_removedOnCompletion = true;
    std::weak_ptr<CAAnimationDelegate> m_delegate;
};

class CAPropertyAnimation : public CAAnimation {
  public:
    const std::string& keyPath() const { return m_keyPath; }
    void setKeyPath(std::string keyPath) { m_keyPath = std::move(keyPath); }

  private:
    std::string m_keyPath;
};

class CABasicAnimation : public CAPropertyAnimation {
  public:
    static std::shared_ptr<CABasicAnimation> animationWithKeyPath(std::string keyPath);
    const CAValue& fromValue() const { return m_from; }
    void setFromValue(CAValue value) { m_from = std::move(value); }
    const CAValue& toValue() const { return m_to; }
    void setToValue(CAValue value) { m_to = std::move(value); }

  private:
    CAValue m_from;
    CAValue m_to;
};

inline constexpr std::string_view kCATransitionFade = "fade";
inline constexpr std::string_view kCATransitionMoveIn = "moveIn";
inline constexpr std::string_view kCATransitionPush = "push";
inline constexpr std::string_view kCATransitionReveal = "reveal";
inline constexpr std::string_view kCATransitionFromRight = "fromRight";
inline constexpr std::string_view kCATransitionFromLeft = "fromLeft";
inline constexpr std::string_view kCATransitionFromTop = "fromTop";
inline constexpr std::string_view kCATransitionFromBottom = "fromBottom";

// A change of a layer's (or a view's subviews') content as a whole.
class CATransition : public CAAnimation {
  public:
    static std::shared_ptr<CATransition> animation() { return std::make_shared<CATransition>(); }
    const std::string& type() const { return m_type; }
    void setType(std::string type) { m_type = std::move(type); }
    const std::string& subtype() const { return m_subtype; }
    void setSubtype(std::string subtype) { m_subtype = std::move(subtype); }

  private:
    std::string m_type{kCATransitionFade};
    std::string m_subtype;
};

} // namespace quartzcore
