// Views and layers: the layer a view wants or hosts, drawn over the view's own drawing, and the
// view's animations by key.
#include "platform/appkit/NSAnimationContext.h"
#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/appkit/NSView.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"
#include "platform/quartzcore/CALayer.h"

#include <algorithm>
#include <cmath>

namespace appkit {

void NSView::watchLayer() {
    if (!m_layer) return;
    std::weak_ptr<NSView> weak = weak_from_this();
    m_layer->setChangeHandler([weak] {
        if (auto view = weak.lock()) view->setNeedsDisplay(true);
    });
}

void NSView::setLayer(const std::shared_ptr<quartzcore::CALayer>& layer) {
    if (layer == m_layer) return;
    if (m_layer) m_layer->setChangeHandler(nullptr);
    m_layer = layer;
    // A layer given before the view wants one is hosted; one given later backs the view.
    m_hostsLayer = layer && !m_wantsLayer;
    if (m_layer) {
        m_layer->setFrame(m_bounds);
        watchLayer();
    }
    setNeedsDisplay(true);
}

void NSView::setWantsLayer(bool wants) {
    if (wants == m_wantsLayer) return;
    m_wantsLayer = wants;
    if (wants && !m_layer) {
        m_layer = quartzcore::CALayer::layer();
        m_layer->setFrame(m_bounds);
        m_hostsLayer = false;
        watchLayer();
    }
    setNeedsDisplay(true);
}

void NSView::drawLayerTree(const cg::CGContextRef& context) const {
    if (!m_wantsLayer || !m_layer) return;
    // Layers count y upwards from the bounds' bottom-left corner, whichever way the view runs.
    cg::CGContextSaveGState(context);
    if (isFlipped()) {
        cg::CGContextTranslateCTM(context, m_bounds.origin.x, m_bounds.origin.y + m_bounds.size.height);
        cg::CGContextScaleCTM(context, 1, -1);
    } else {
        cg::CGContextTranslateCTM(context, m_bounds.origin.x, m_bounds.origin.y);
    }
    m_layer->renderInFrame(context, cg::CGRectMake(0, 0, m_bounds.size.width, m_bounds.size.height), m_alpha);
    cg::CGContextRestoreGState(context);
}

std::shared_ptr<NSBitmapImageRep> NSView::bitmapImageRepForCachingDisplayInRect(cg::CGRect rect) const {
    rect = cg::CGRectStandardize(rect);
    if (cg::CGRectIsEmpty(rect) || cg::CGRectIsNull(rect)) return nullptr;
    const auto w = window();
    const double scale = w ? w->backingScaleFactor() : 1.0;
    return NSBitmapImageRep::initWithBitmapDataPlanes(
        nullptr, int64_t(std::ceil(rect.size.width * scale)), int64_t(std::ceil(rect.size.height * scale)), 8,
        4, true, false, NSDeviceRGBColorSpace,
        NSBitmapFormatAlphaFirst | NSBitmapFormatThirtyTwoBitLittleEndian, 0, 32);
}

void NSView::cacheDisplayInRect(cg::CGRect rect, NSBitmapImageRep& rep) {
    rect = cg::CGRectStandardize(rect);
    const auto info = rep.premultipliedBitmapInfo();
    if (cg::CGRectIsEmpty(rect) || !info) {
        platform::log(
            "appkit: refusing to cache a view's look in an empty rect or a rep it cannot draw into");
        return;
    }
    std::fill(rep.bitmapData(), rep.bitmapData() + rep.bytesPerRow() * rep.pixelsHigh(), uint8_t(0));
    auto context = cg::CGBitmapContextCreate(rep.bitmapData(), size_t(rep.pixelsWide()),
                                             size_t(rep.pixelsHigh()), 8, size_t(rep.bytesPerRow()), *info);
    if (!context) return;
    // The context's space becomes the window's base space with rect's corner at the origin.
    const cg::CGRect inWindow = mapRect(rect, true);
    cg::CGContextScaleCTM(context, double(rep.pixelsWide()) / inWindow.size.width,
                          double(rep.pixelsHigh()) / inWindow.size.height);
    cg::CGContextTranslateCTM(context, -inWindow.origin.x, -inWindow.origin.y);
    drawTree(context, inWindow);
}

std::optional<std::pair<cg::CGPoint, cg::CGPoint>> NSView::pushOffsets() const {
    if (!m_wantsLayer || !m_layer || m_hostsLayer) return std::nullopt;
    auto transition =
        std::dynamic_pointer_cast<quartzcore::CATransition>(m_layer->animationForKey("subviews"));
    if (!transition || transition->type() != quartzcore::kCATransitionPush) return std::nullopt;
    const auto progress = m_layer->progressForKey("subviews");
    if (!progress) return std::nullopt;
    // The way the content moves, in window space (y up): from the left means rightwards.
    const cg::CGRect area = mapRect(m_bounds, true);
    cg::CGPoint way = cg::CGPointMake(-area.size.width, 0); // fromRight
    const std::string& from = transition->subtype();
    if (from == quartzcore::kCATransitionFromLeft) way = cg::CGPointMake(area.size.width, 0);
    if (from == quartzcore::kCATransitionFromTop) way = cg::CGPointMake(0, -area.size.height);
    if (from == quartzcore::kCATransitionFromBottom) way = cg::CGPointMake(0, area.size.height);
    const double p = *progress;
    return std::make_pair(cg::CGPointMake(way.x * p, way.y * p),
                          cg::CGPointMake(-way.x * (1 - p), -way.y * (1 - p)));
}

std::shared_ptr<quartzcore::CAAnimation> NSView::animationForKey(const std::string& key) const {
    auto found = m_animations.find(key);
    return found == m_animations.end() ? nullptr : found->second;
}

void NSView::setAnimations(std::map<std::string, std::shared_ptr<quartzcore::CAAnimation>> animations) {
    m_animations = std::move(animations);
}

NSViewAnimator NSView::animator() {
    return NSViewAnimator(shared_from_this());
}

void NSView::replaceSubview(const std::shared_ptr<NSView>& oldView, const std::shared_ptr<NSView>& newView) {
    const bool isSubview = std::find(m_subviews.begin(), m_subviews.end(), oldView) != m_subviews.end();
    if (!isSubview || !newView || newView.get() == this || isDescendantOf(*newView)) {
        platform::log("appkit: refusing to replace a view that is not a subview, or with an unfit one");
        return;
    }
    if (newView == oldView) return;
    auto keep = newView;
    addSubview(newView); // frontmost for now, with its window and display set up
    const auto index = std::find(m_subviews.begin(), m_subviews.end(), oldView) - m_subviews.begin();
    oldView->removeFromSuperview();
    m_subviews.pop_back(); // newView
    m_subviews.insert(m_subviews.begin() + index, keep);
}

} // namespace appkit
