// Where a window sits among the screens: its screen, centring, miniaturizing and zooming.
#include "platform/appkit/NSScreen.h"
#include "platform/appkit/NSWindow.h"

namespace appkit {

std::shared_ptr<NSScreen> NSWindow::screen() const {
    return NSScreen::screenHolding(m_frame);
}

cg::CGRect NSWindow::constrainFrameRect(cg::CGRect frameRect, const std::shared_ptr<NSScreen>& on) const {
    if (!on) return frameRect;
    frameRect.origin = NSPointKeepingRectInside(frameRect.origin, frameRect.size, on->visibleFrame());
    return frameRect;
}

double NSWindow::minFrameWidthWithTitle(const std::string& title, NSWindowStyleMask style) {
    if (!(style & NSWindowStyleMaskTitled)) return 0;
    // Characters, not bytes: UTF-8 continuation bytes do not count.
    size_t characters = 0;
    for (unsigned char c : title)
        if ((c & 0xC0) != 0x80) ++characters;
    return 70 + 7 * double(characters);
}

void NSWindow::postFrameChanges(cg::CGRect previous) {
    if (previous.origin.x != m_frame.origin.x || previous.origin.y != m_frame.origin.y)
        post(NSWindowDidMoveNotification);
    if (previous.size.width != m_frame.size.width || previous.size.height != m_frame.size.height)
        post(NSWindowDidResizeNotification);
    auto on = screen();
    const uint32_t id = on ? on->displayID() : 0;
    if (id == m_screenID) return;
    m_screenID = id;
    post(NSWindowDidChangeScreenNotification);
}

void NSWindow::center() {
    auto on = screen();
    if (!on) on = NSScreen::mainScreen();
    if (!on) return;
    const cg::CGRect visible = on->visibleFrame();
    setFrameOrigin(cg::CGPointMake(visible.origin.x + (visible.size.width - m_frame.size.width) / 2,
                                   visible.origin.y + (visible.size.height - m_frame.size.height) / 2));
}

void NSWindow::performMiniaturize(NSActionTarget* sender) {
    (void)sender;
    if (m_miniaturized) return;
    orderOut();
    m_miniaturized = true;
    post(NSWindowDidMiniaturizeNotification);
}

void NSWindow::performZoom(NSActionTarget* sender) {
    (void)sender;
    if (m_zoomed) {
        m_zoomed = false;
        setFrame(m_unzoomedFrame, true);
        return;
    }
    auto on = screen();
    if (!on) on = NSScreen::mainScreen();
    if (!on) return;
    m_unzoomedFrame = m_frame;
    m_zoomed = true;
    setFrame(on->visibleFrame(), true);
}

} // namespace appkit
