// Views: a retained tree (superviews own their subviews, which hold them back weakly), frames in
// the superview's space and bounds in the view's own, y up unless isFlipped. A view marked as
// needing display is redrawn by its window once per main-loop turn (NSWindow.h), its drawRect:
// drawing through the Core Graphics context current meanwhile. Main thread only.
#pragma once

#include "platform/appkit/NSResponder.h"
#include "platform/appkit/NSTrackingArea.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/corefoundation/Value.h"
#include "platform/foundation/NSObject.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quartzcore {
class CAAnimation;
class CALayer;
} // namespace quartzcore

namespace appkit {

class NSMenu;
class NSWindow;
class NSScrollView;
class NSViewAnimator; // NSAnimationContext.h
class NSBitmapImageRep;

enum NSViewLayerContentsRedrawPolicy : int32_t {
    NSViewLayerContentsRedrawNever = 0,
    NSViewLayerContentsRedrawOnSetNeedsDisplay = 1,
    NSViewLayerContentsRedrawDuringViewResize = 2,
    NSViewLayerContentsRedrawBeforeViewResize = 3,
    NSViewLayerContentsRedrawCrossfade = 4,
};

using NSAutoresizingMaskOptions = uint32_t;
inline constexpr NSAutoresizingMaskOptions NSViewNotSizable = 0;
inline constexpr NSAutoresizingMaskOptions NSViewMinXMargin = 1;
inline constexpr NSAutoresizingMaskOptions NSViewWidthSizable = 2;
inline constexpr NSAutoresizingMaskOptions NSViewMaxXMargin = 4;
inline constexpr NSAutoresizingMaskOptions NSViewMinYMargin = 8;
inline constexpr NSAutoresizingMaskOptions NSViewHeightSizable = 16;
inline constexpr NSAutoresizingMaskOptions NSViewMaxYMargin = 32;

class NSView : public NSResponder, public std::enable_shared_from_this<NSView> {
  public:
    explicit NSView(cg::CGRect frame = cg::CGRectZero);
    virtual ~NSView();
    NSView(const NSView&) = delete;
    NSView& operator=(const NSView&) = delete;

    // ---- The tree.
    std::shared_ptr<NSView> superview() const { return m_superview.lock(); }
    const std::vector<std::shared_ptr<NSView>>& subviews() const { return m_subviews; }
    // Takes the view from its previous superview first; the new subview is frontmost.
    void addSubview(const std::shared_ptr<NSView>& view);
    void removeFromSuperview();
    bool isDescendantOf(const NSView& view) const;
    std::shared_ptr<NSWindow> window() const { return m_window.lock(); }

    // ---- Geometry. Setting the frame's size resizes the subviews by their autoresizing masks.
    cg::CGRect frame() const { return m_frame; }
    void setFrame(cg::CGRect frame);
    void setFrameOrigin(cg::CGPoint origin);
    void setFrameSize(cg::CGSize size);
    // The bounds' size follows the frame's until set; a differing size scales the content.
    cg::CGRect bounds() const { return m_bounds; }
    void setBounds(cg::CGRect bounds);
    void setBoundsOrigin(cg::CGPoint origin);
    virtual bool isFlipped() const { return false; }
    bool isHidden() const { return m_hidden; }
    void setHidden(bool hidden);
    double alphaValue() const { return m_alpha; }
    void setAlphaValue(double alpha);
    const std::string& identifier() const { return m_identifier; }
    void setIdentifier(std::string identifier) { m_identifier = std::move(identifier); }
    // The contextual menu: a view with one answers AXShowMenu, which pops it up at the view's
    // top-left corner.
    std::shared_ptr<NSMenu> menu() const { return m_menu; }
    void setMenu(std::shared_ptr<NSMenu> menu) { m_menu = std::move(menu); }

    // ---- Autoresizing: width 2 and height 16 follow the superview's size; 1, 4, 8, 32 let
    // that margin change. Changes are shared by the flexible parts in proportion to their sizes.
    NSAutoresizingMaskOptions autoresizingMask() const { return m_autoresizingMask; }
    void setAutoresizingMask(NSAutoresizingMaskOptions mask) { m_autoresizingMask = mask; }
    bool autoresizesSubviews() const { return m_autoresizesSubviews; }
    void setAutoresizesSubviews(bool on) { m_autoresizesSubviews = on; }
    virtual void resizeSubviewsWithOldSize(cg::CGSize oldSize);
    virtual void resizeWithOldSuperviewSize(cg::CGSize oldSize);

    // ---- Conversions between this view's bounds space and another view's (null: the window's
    // base space, bottom-left origin, y up).
    cg::CGPoint convertPointFromView(cg::CGPoint point, const NSView* view) const;
    cg::CGPoint convertPointToView(cg::CGPoint point, const NSView* view) const;
    cg::CGRect convertRectFromView(cg::CGRect rect, const NSView* view) const;
    cg::CGRect convertRectToView(cg::CGRect rect, const NSView* view) const;

    // The deepest visible view holding the point, given in the superview's space (for a view
    // without one, the window's base space); null when outside.
    virtual std::shared_ptr<NSView> hitTest(cg::CGPoint point);

    // ---- Drawing.
    bool needsDisplay() const { return m_needsDisplay; }
    void setNeedsDisplay(bool needs);
    void setNeedsDisplayInRect(cg::CGRect rect); // bounds space
    // Draws within dirtyRect (bounds space) through currentContext(); the default draws nothing.
    virtual void drawRect(cg::CGRect dirtyRect);
    // The context drawRect: draws through while a window draws its views, in the view's bounds
    // space; null otherwise. A minimal notion of the current context, until graphics contexts
    // of their own exist.
    static cg::CGContextRef currentContext();
    // Redraws the view's window now if anything in it needs display.
    void displayIfNeeded();

    // ---- Events: the next responder is the superview, or the window for its content view.
    NSResponder* nextResponder() const override;
    // Tracking areas, in the order added. updateTrackingAreas runs on every frame or bounds
    // change and on entering a window.
    void addTrackingArea(const std::shared_ptr<NSTrackingArea>& area);
    void removeTrackingArea(const std::shared_ptr<NSTrackingArea>& area);
    const std::vector<std::shared_ptr<NSTrackingArea>>& trackingAreas() const { return m_trackingAreas; }
    virtual void updateTrackingAreas() {}

    // ---- What the view tells the accessibility exporter. A view answering an empty role is a
    // plain container: its children stand in its place (a plain view with an identifier is a
    // group). Controls override these with their own role, title, value and actions.
    virtual std::string accessibilityRole() const;
    virtual std::string accessibilitySubrole() const { return {}; }
    virtual std::string accessibilityTitle() const { return {}; }
    virtual std::string accessibilityDescription() const { return {}; }
    // Absent when the element has no value.
    virtual std::optional<cf::Value> accessibilityValue() const { return std::nullopt; }
    virtual bool accessibilityEnabled() const { return true; }
    // Actions the element supports ("AXPress", "AXShowMenu", ...).
    virtual std::vector<std::string> accessibilityActionNames() const;
    // Performs a supported action as a user would; false when the action is not supported.
    virtual bool accessibilityPerformAction(const std::string& action);
    virtual bool accessibilityIsValueSettable() const { return false; }
    // Sets the value as a user would (typing, moving); false when the value has the wrong type.
    virtual bool accessibilitySetValue(const cf::Value& value) {
        (void)value;
        return false;
    }
    // The views standing below this one in the exported tree: its subviews by default.
    virtual std::vector<std::shared_ptr<NSView>> accessibilityChildViews() const { return m_subviews; }

    // ---- Bindings (NSViewBindings.cpp). A view is not a key-value object itself: a bound view
    // keeps a small one whose keys are bindingKeys(), read and written through the view, so the
    // foundation's bindings (push on change, write-back, busy guard) serve views too.
    static const ns::KeyTable& classBindingKeys(); // "hidden"
    virtual const ns::KeyTable& bindingKeys() const { return classBindingKeys(); }
    void bind(std::string_view binding, const std::shared_ptr<ns::NSObject>& observable,
              std::string_view keyPath, const cf::Dictionary& options = {});
    void unbind(std::string_view binding);
    std::optional<ns::NSBindingInfo> infoForBinding(std::string_view binding) const;
    // A user act changed the bound value: written back unless unbound or busy.
    bool writeBackBinding(std::string_view binding, const ns::Id& value);
    void unbindAll() { m_bindings.reset(); }

    // ---- Scrolling (NSScrollView.cpp): the nearest enclosing scroll view, and scrolling its clip
    // view the least distance that shows rect (bounds space); NO when nothing moved.
    std::shared_ptr<NSScrollView> enclosingScrollView() const;
    bool scrollRectToVisible(cg::CGRect rect);
    // ---- Layers (NSViewLayer.cpp). A view that wants a layer draws its layer tree (contents,
    // frame, opacity, transform) over what drawRect: drew, the root layer filling the bounds. A
    // layer set before the view wants one is hosted: the view draws the layer only, never
    // drawRect:. Setting wantsLayer without a layer makes one. Layer changes redraw the view.
    const std::shared_ptr<quartzcore::CALayer>& layer() const { return m_layer; }
    void setLayer(const std::shared_ptr<quartzcore::CALayer>& layer);
    bool wantsLayer() const { return m_wantsLayer; }
    void setWantsLayer(bool wants);
    bool isHostingLayer() const { return m_wantsLayer && m_layer && m_hostsLayer; }
    // Recorded.
    NSViewLayerContentsRedrawPolicy layerContentsRedrawPolicy() const { return m_redrawPolicy; }
    void setLayerContentsRedrawPolicy(NSViewLayerContentsRedrawPolicy policy) { m_redrawPolicy = policy; }

    // ---- Caching the view's look (NSViewLayer.cpp): a rep of rect (bounds space) in the
    // window's pixels, 8-bit samples, alpha first, premultiplied, 32-bit little-endian words
    // (null for an empty rect); and the view with its subviews, as they meet rect, drawn into it.
    std::shared_ptr<NSBitmapImageRep> bitmapImageRepForCachingDisplayInRect(cg::CGRect rect) const;
    void cacheDisplayInRect(cg::CGRect rect, NSBitmapImageRep& rep);

    // ---- Animations by key: "subviews" (a CATransition) runs when the animator changes the
    // subviews, on the view's layer when it has one. A push runs there as a push: while it runs,
    // the layer's contents (the old look, frozen by the caller) slide out and the subviews slide
    // in, redrawn thirty times a second; when it ends, the view draws itself again, so the
    // contents frozen from outside are let go, as a layer-backed view's next display replaces them.
    std::shared_ptr<quartzcore::CAAnimation> animationForKey(const std::string& key) const;
    void setAnimations(std::map<std::string, std::shared_ptr<quartzcore::CAAnimation>> animations);
    // The proxy whose changes apply at once and run the matching animations.
    NSViewAnimator animator();
    // oldView's place in the subviews goes to newView (taken from its previous superview).
    void replaceSubview(const std::shared_ptr<NSView>& oldView, const std::shared_ptr<NSView>& newView);

    // ---- Window membership: hooks after a change.
    virtual void viewDidMoveToWindow() {}
    virtual void viewDidMoveToSuperview() {}

  private:
    friend class NSWindow;
    // Between this view's bounds space and its superview's (or the window's) space.
    cg::CGPoint toSuperview(cg::CGPoint point) const;
    cg::CGPoint fromSuperview(cg::CGPoint point) const;
    cg::CGPoint toWindow(cg::CGPoint point) const;
    cg::CGPoint fromWindow(cg::CGPoint point) const;
    cg::CGRect mapRect(cg::CGRect rect, bool toWindowSpace) const;
    bool superviewIsFlipped() const;
    void setWindow(const std::shared_ptr<NSWindow>& window);
    void markClean();
    // Draws the view and its subviews meeting dirty (window base space).
    void drawTree(const cg::CGContextRef& context, cg::CGRect dirty);
    // The layer tree over the view's drawing, in its bounds space.
    void drawLayerTree(const cg::CGContextRef& context) const;
    // The running push of the view's "subviews": the old look's offset (window space) and the
    // subviews' offset; none when no push runs on the layer.
    std::optional<std::pair<cg::CGPoint, cg::CGPoint>> pushOffsets() const;
    void watchLayer();

    std::weak_ptr<NSView> m_superview;
    std::weak_ptr<NSWindow> m_window;
    std::vector<std::shared_ptr<NSView>> m_subviews;
    cg::CGRect m_frame;
    cg::CGRect m_bounds;
    bool m_boundsSet = false;
    bool m_hidden = false;
    double m_alpha = 1.0;
    std::string m_identifier;
    NSAutoresizingMaskOptions m_autoresizingMask = NSViewNotSizable;
    bool m_autoresizesSubviews = true;
    bool m_needsDisplay = false;
    std::vector<std::shared_ptr<NSTrackingArea>> m_trackingAreas;
    std::shared_ptr<ns::NSObject> m_bindings; // made on the first bind
    std::shared_ptr<quartzcore::CALayer> m_layer;
    bool m_wantsLayer = false;
    bool m_hostsLayer = false;
    NSViewLayerContentsRedrawPolicy m_redrawPolicy = NSViewLayerContentsRedrawDuringViewResize;
    std::map<std::string, std::shared_ptr<quartzcore::CAAnimation>> m_animations;
    std::shared_ptr<NSMenu> m_menu;
};

} // namespace appkit
