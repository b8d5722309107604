#include "platform/quartzcore/CALayer.h"

#include "platform/core/Log.h"
#include "platform/quartzcore/CATransaction.h"
#include "platform/quartzcore/Completion.h"

#include <algorithm>
#include <cmath>

namespace quartzcore {

namespace {

// An animation whose duration was never set takes the open transaction's.
double durationInTransaction(const CAAnimation& animation) {
    return animation.hasExplicitDuration() ? animation.duration() : CATransaction::animationDuration();
}

} // namespace

CALayer::~CALayer() {
    // Animations still running stop unfinished; their delegates hear of it on the next turn.
    for (auto& running : m_animations)
        stopUnfinished(running);
}

void CALayer::changed() const {
    for (const CALayer* layer = this; layer; layer = layer->m_superlayer.lock().get())
        if (layer->m_changeHandler) {
            layer->m_changeHandler();
            return;
        }
}

// ---- Content and geometry.

void CALayer::setContents(cg::CGImageRef contents) {
    m_contents = std::move(contents);
    changed();
}

void CALayer::setContentsScale(double scale) {
    if (!std::isfinite(scale) || scale <= 0) {
        platform::log("quartzcore: refusing a contents scale that is not positive and finite");
        return;
    }
    m_contentsScale = scale;
}

void CALayer::setFrame(cg::CGRect frame) {
    if (!std::isfinite(frame.origin.x) || !std::isfinite(frame.origin.y) ||
        !std::isfinite(frame.size.width) || !std::isfinite(frame.size.height)) {
        platform::log("quartzcore: refusing a layer frame that is not finite");
        return;
    }
    frame.size.width = std::max(frame.size.width, 0.0);
    frame.size.height = std::max(frame.size.height, 0.0);
    m_frame = frame;
    changed();
}

void CALayer::setTransform(const CATransform3D& transform) {
    m_transform = transform;
    changed();
}

void CALayer::setOpacity(float opacity) {
    if (std::isnan(opacity)) {
        platform::log("quartzcore: refusing a layer opacity that is not a number");
        return;
    }
    m_opacity = std::clamp(opacity, 0.0f, 1.0f);
    changed();
}

void CALayer::setHidden(bool hidden) {
    m_hidden = hidden;
    changed();
}

// ---- The tree.

void CALayer::addSublayer(const std::shared_ptr<CALayer>& layer) {
    for (const CALayer* up = this; up; up = up->m_superlayer.lock().get())
        if (!layer || up == layer.get()) {
            platform::log("quartzcore: refusing to add a layer to itself or to one of its own sublayers");
            return;
        }
    auto keep = layer;
    layer->removeFromSuperlayer();
    m_sublayers.push_back(layer);
    layer->m_superlayer = weak_from_this();
    changed();
}

void CALayer::removeFromSuperlayer() {
    auto parent = superlayer();
    if (!parent) return;
    auto keep = shared_from_this();
    std::erase(parent->m_sublayers, keep);
    m_superlayer.reset();
    parent->changed();
}

// ---- Animations.

void CALayer::stopUnfinished(Running& running) {
    if (running.finished) return;
    running.finished = true;
    if (running.completion) running.completion->cancel();
    detail::Completion::after(0, [animation = running.animation] {
        if (auto delegate = animation->delegate()) delegate->animationDidStop(animation, false);
    });
}

void CALayer::addAnimation(const std::shared_ptr<CAAnimation>& animation, const std::string& key) {
    if (!animation) {
        platform::log("quartzcore: refusing to add a null animation to a layer");
        return;
    }
    if (!key.empty()) removeAnimationForKey(key);
    const double duration = durationInTransaction(*animation);
    Running running;
    running.key = key;
    running.animation = animation;
    running.serial = m_nextSerial++;
    running.began = platform::now();
    running.duration = duration;
    std::weak_ptr<CALayer> weak = weak_from_this();
    const uint64_t serial = running.serial;
    running.completion = detail::Completion::after(duration, [weak, serial, animation] {
        if (auto layer = weak.lock()) {
            layer->finish(serial);
        } else if (auto delegate = animation->delegate()) {
            delegate->animationDidStop(animation, true);
        }
    });
    m_animations.push_back(std::move(running));
    detail::transactionAddedAnimation(platform::now() + platform::seconds(duration));
    if (auto delegate = animation->delegate()) delegate->animationDidStart(animation);
}

void CALayer::finish(uint64_t serial) {
    auto it = std::find_if(m_animations.begin(), m_animations.end(),
                           [serial](const Running& r) { return r.serial == serial; });
    if (it == m_animations.end() || it->finished) return;
    it->finished = true;
    auto animation = it->animation;
    if (animation->isRemovedOnCompletion()) m_animations.erase(it);
    if (auto delegate = animation->delegate()) delegate->animationDidStop(animation, true);
}

std::optional<double> CALayer::progressForKey(const std::string& key) const {
    if (key.empty()) return std::nullopt;
    for (const auto& running : m_animations) {
        if (running.key != key || running.finished) continue;
        if (running.duration <= 0) return 1.0;
        const double ran = platform::toSeconds(platform::now() - running.began) / running.duration;
        return std::clamp(ran, 0.0, 1.0);
    }
    return std::nullopt;
}

std::shared_ptr<CAAnimation> CALayer::animationForKey(const std::string& key) const {
    if (key.empty()) return nullptr;
    for (const auto& running : m_animations)
        if (running.key == key) return running.animation;
    return nullptr;
}

void CALayer::removeAnimationForKey(const std::string& key) {
    if (key.empty()) return;
    auto it = std::find_if(m_animations.begin(), m_animations.end(),
                           [&key](const Running& r) { return r.key == key; });
    if (it == m_animations.end()) return;
    Running running = std::move(*it);
    m_animations.erase(it);
    stopUnfinished(running);
}

void CALayer::removeAllAnimations() {
    auto all = std::move(m_animations);
    m_animations.clear();
    for (auto& running : all)
        stopUnfinished(running);
}

void detail::runAnimationDetached(const std::shared_ptr<CAAnimation>& animation) {
    if (!animation) return;
    const double duration = durationInTransaction(*animation);
    detail::Completion::after(duration, [animation] {
        if (auto delegate = animation->delegate()) delegate->animationDidStop(animation, true);
    });
    detail::transactionAddedAnimation(platform::now() + platform::seconds(duration));
    if (auto delegate = animation->delegate()) delegate->animationDidStart(animation);
}

std::vector<std::string> CALayer::animationKeys() const {
    std::vector<std::string> keys;
    for (const auto& running : m_animations)
        if (!running.key.empty()) keys.push_back(running.key);
    return keys;
}

// ---- Drawing.

void CALayer::drawContents(const cg::CGContextRef& context, cg::CGSize size, double alpha) const {
    const cg::CGRect rect = cg::CGRectMake(0, 0, size.width, size.height);
    if (m_contents && !cg::CGRectIsEmpty(rect)) {
        cg::CGContextSetAlpha(context, alpha);
        cg::CGContextDrawImage(context, rect, m_contents);
    }
    for (const auto& sublayer : m_sublayers)
        sublayer->renderInSuperlayerSpace(context, alpha);
}

void CALayer::renderInContext(const cg::CGContextRef& context) const {
    if (!context) return;
    cg::CGContextSaveGState(context);
    drawContents(context, m_frame.size, 1.0);
    cg::CGContextRestoreGState(context);
}

void CALayer::renderInSuperlayerSpace(const cg::CGContextRef& context, double alpha) const {
    renderInFrame(context, m_frame, alpha);
}

void CALayer::renderInFrame(const cg::CGContextRef& context, cg::CGRect frame, double alpha) const {
    alpha *= m_opacity;
    if (!context || m_hidden || alpha <= 0) return;
    const double halfWidth = frame.size.width / 2, halfHeight = frame.size.height / 2;
    cg::CGContextSaveGState(context);
    cg::CGContextTranslateCTM(context, frame.origin.x + halfWidth, frame.origin.y + halfHeight);
    cg::CGContextConcatCTM(context, CATransform3DGetAffineTransform(m_transform));
    cg::CGContextTranslateCTM(context, -halfWidth, -halfHeight);
    drawContents(context, frame.size, alpha);
    cg::CGContextRestoreGState(context);
}

} // namespace quartzcore
