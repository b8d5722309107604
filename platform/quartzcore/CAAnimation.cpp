#include "platform/quartzcore/CAAnimation.h"

#include "platform/core/Log.h"

#include <cmath>

namespace quartzcore {

void CAAnimation::setDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) {
        platform::log("quartzcore: refusing an animation duration that is negative or not finite");
        return;
    }
    m_duration = seconds;
    m_durationSet = true;
}

std::shared_ptr<CABasicAnimation> CABasicAnimation::animationWithKeyPath(std::string keyPath) {
    auto animation = std::make_shared<CABasicAnimation>();
    animation->setKeyPath(std::move(keyPath));
    return animation;
}

} // namespace quartzcore
