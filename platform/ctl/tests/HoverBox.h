// The test applications' hover box: green, red while the pointer is over it (a tracking area
// of its own); its accessibility value says which ("inside" or "outside").
#pragma once

#include "platform/appkit/NSTrackingArea.h"
#include "platform/appkit/NSView.h"

#include <memory>

namespace uitest {

class HoverBox : public appkit::NSView {
  public:
    using NSView::NSView;
    // Made with its tracking area: entered and exited, whatever is active.
    static std::shared_ptr<HoverBox> make(cg::CGRect frame) {
        auto box = std::make_shared<HoverBox>(frame);
        box->addTrackingArea(std::make_shared<appkit::NSTrackingArea>(
            box->bounds(), appkit::NSTrackingMouseEnteredAndExited | appkit::NSTrackingActiveAlways,
            std::static_pointer_cast<appkit::NSResponder>(box)));
        return box;
    }
    std::optional<cf::Value> accessibilityValue() const override {
        return cf::Value(m_inside ? "inside" : "outside");
    }
    void drawRect(cg::CGRect) override {
        auto context = currentContext();
        if (m_inside)
            cg::CGContextSetRGBFillColor(context, 1, 0, 0, 1);
        else
            cg::CGContextSetRGBFillColor(context, 0, 1, 0, 1);
        cg::CGContextFillRect(context, bounds());
    }
    void mouseEntered(const appkit::NSEvent&) override { change(true); }
    void mouseExited(const appkit::NSEvent&) override { change(false); }

  private:
    void change(bool inside) {
        m_inside = inside;
        setNeedsDisplay(true);
        displayIfNeeded(); // drawn before accessibility can see the new value
    }
    bool m_inside = false;
};

} // namespace uitest
