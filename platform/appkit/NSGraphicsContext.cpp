#include "platform/appkit/NSGraphicsContext.h"

#include "platform/appkit/NSColor.h"
#include "platform/core/Log.h"

#include <vector>

namespace appkit {

namespace {

struct ThreadContexts {
    std::shared_ptr<NSGraphicsContext> current;
    std::vector<std::shared_ptr<NSGraphicsContext>> saved;
};

ThreadContexts& contexts() {
    thread_local ThreadContexts state;
    return state;
}

std::shared_ptr<NSGraphicsContext> currentOrLog(const char* function) {
    auto context = NSGraphicsContext::currentContext();
    if (!context) platform::log("%s: no current graphics context", function);
    return context;
}

// Three points of ring outside the shape: a stroke twice as wide, clipped to the outside.
void drawFocusRing(const cg::CGContextRef& c, const cg::CGPathRef& path) {
    cg::CGContextSaveGState(c);
    cg::CGContextAddRect(c, cg::CGRectInset(cg::CGContextGetClipBoundingBox(c), -8, -8));
    cg::CGContextAddPath(c, path);
    cg::CGContextEOClip(c);
    cg::CGContextSetStrokeColorWithColor(c, NSColor::keyboardFocusIndicatorColor()->CGColor());
    cg::CGContextSetLineWidth(c, 2 * kNSFocusRingOutset);
    cg::CGContextSetLineJoin(c, cg::kCGLineJoinRound);
    cg::CGContextSetBlendMode(c, cg::kCGBlendModeNormal);
    cg::CGContextAddPath(c, path);
    cg::CGContextStrokePath(c);
    cg::CGContextRestoreGState(c);
}

} // namespace

cg::CGBlendMode blendModeForOperation(NSCompositingOperation op) {
    switch (op) {
    case NSCompositingOperationClear:
        return cg::kCGBlendModeClear;
    case NSCompositingOperationCopy:
        return cg::kCGBlendModeCopy;
    case NSCompositingOperationSourceOver:
        return cg::kCGBlendModeNormal;
    case NSCompositingOperationXOR:
        return cg::kCGBlendModeXOR;
    }
    platform::log("NSGraphicsContext: compositing operation %u is not drawn; source-over used", unsigned(op));
    return cg::kCGBlendModeNormal;
}

std::shared_ptr<NSGraphicsContext> NSGraphicsContext::graphicsContextWithCGContext(cg::CGContextRef context,
                                                                                   bool flipped) {
    if (!context) return nullptr;
    return std::make_shared<NSGraphicsContext>(std::move(context), flipped);
}

std::shared_ptr<NSGraphicsContext> NSGraphicsContext::currentContext() {
    return contexts().current;
}

void NSGraphicsContext::setCurrentContext(std::shared_ptr<NSGraphicsContext> context) {
    contexts().current = std::move(context);
}

void NSGraphicsContext::saveGraphicsState() {
    auto& state = contexts();
    state.saved.push_back(state.current);
    if (state.current) state.current->saveGraphicsStateOfContext();
}

void NSGraphicsContext::restoreGraphicsState() {
    auto& state = contexts();
    if (state.saved.empty()) {
        platform::log("NSGraphicsContext restoreGraphicsState: no saved graphics state");
        return;
    }
    state.current = std::move(state.saved.back());
    state.saved.pop_back();
    if (state.current) state.current->restoreGraphicsStateOfContext();
}

void NSGraphicsContext::saveGraphicsStateOfContext() {
    m_saved.push_back({m_operation, m_interpolation, m_antialias, m_focusRing});
    cg::CGContextSaveGState(m_context);
}

void NSGraphicsContext::restoreGraphicsStateOfContext() {
    if (m_saved.empty()) {
        platform::log("NSGraphicsContext restoreGraphicsState: no saved graphics state");
        return;
    }
    const Saved& s = m_saved.back();
    m_operation = s.operation, m_interpolation = s.interpolation, m_antialias = s.antialias;
    m_focusRing = s.focusRing;
    m_saved.pop_back();
    cg::CGContextRestoreGState(m_context);
}

void NSGraphicsContext::setCompositingOperation(NSCompositingOperation op) {
    m_operation = op;
    cg::CGContextSetBlendMode(m_context, blendModeForOperation(op));
}

void NSGraphicsContext::setImageInterpolation(NSImageInterpolation interpolation) {
    m_interpolation = interpolation;
    cg::CGContextSetInterpolationQuality(m_context, cg::CGInterpolationQuality(interpolation));
}

void NSGraphicsContext::setShouldAntialias(bool antialias) {
    m_antialias = antialias;
    cg::CGContextSetShouldAntialias(m_context, antialias);
}

namespace detail {

bool fillPath(const cg::CGPathRef& path, bool evenOdd, NSCompositingOperation op, const char* function) {
    auto context = currentOrLog(function);
    if (!context) return false;
    const cg::CGContextRef& c = context->CGContext();
    auto fill = [&] {
        cg::CGContextSaveGState(c);
        cg::CGContextSetBlendMode(c, blendModeForOperation(op));
        cg::CGContextAddPath(c, path);
        evenOdd ? cg::CGContextEOFillPath(c) : cg::CGContextFillPath(c);
        cg::CGContextRestoreGState(c);
    };
    const auto ring = context->focusRingPlacement();
    if (ring == NSFocusRingBelow) drawFocusRing(c, path);
    if (ring != NSFocusRingOnly) fill();
    if (ring == NSFocusRingAbove || ring == NSFocusRingOnly) drawFocusRing(c, path);
    return true;
}

} // namespace detail

void NSRectFill(cg::CGRect rect) {
    NSRectFillUsingOperation(rect, NSCompositingOperationSourceOver);
}

void NSRectFillUsingOperation(cg::CGRect rect, NSCompositingOperation op) {
    detail::fillPath(cg::CGPathCreateWithRect(rect, nullptr), false, op, "NSRectFill");
}

void NSFrameRect(cg::CGRect rect) {
    NSFrameRectWithWidth(rect, 1);
}

void NSFrameRectWithWidth(cg::CGRect rect, double width) {
    // The frame lies inside the rectangle: four bands of the width.
    rect = cg::CGRectStandardize(rect);
    if (!(width > 0) || cg::CGRectIsEmpty(rect)) return;
    auto path = cg::CGPathCreateMutable();
    cg::CGPathAddRect(path, nullptr, rect);
    cg::CGRect inner = cg::CGRectInset(rect, width, width);
    if (!cg::CGRectIsNull(inner)) cg::CGPathAddRect(path, nullptr, inner);
    detail::fillPath(path, true, NSCompositingOperationSourceOver, "NSFrameRect");
}

void NSRectClip(cg::CGRect rect) {
    if (auto context = currentOrLog("NSRectClip")) cg::CGContextClipToRect(context->CGContext(), rect);
}

void NSSetFocusRingStyle(NSFocusRingPlacement placement) {
    if (auto context = currentOrLog("NSSetFocusRingStyle")) context->setFocusRingPlacement(placement);
}

} // namespace appkit
