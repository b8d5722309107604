// The panel's picture: refresh marking, the update tick with its cursor, and the invitation.
#include "input/QNDesktopReflectorPanelWindow.h"

#include "display/QNBDisplaySet.h"
#include "display/QNBScreen.h"
#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/appkit/NSCursor.h"
#include "platform/appkit/NSEvent.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/dispatch/Dispatch.h"

#include <cmath>
#include <sys/socket.h>

namespace input {

namespace {

bool usableRect(const cg::CGRect& r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height) && !cg::CGRectIsEmpty(r);
}

} // namespace

std::shared_ptr<display::QNBDisplaySet> QNDesktopReflectorPanelWindow::reflectedDisplay() const {
    auto session = m_screenServer.lock();
    return session ? session->screen() : nullptr;
}

cg::CGRect QNDesktopReflectorPanelWindow::reflectingDesktopRect() const {
    auto set = reflectedDisplay();
    return set ? set->singleNormalizedDisplayBounds() : cg::CGRectZero;
}

std::shared_ptr<display::QNBDisplaySet> QNDesktopReflectorPanelWindow::standardScreenSet() {
    auto set = std::make_shared<display::QNBDisplaySet>();
    for (const auto& screen : display::QNBScreen::screens())
        set->addDisplay(std::make_shared<display::QNBDisplay>(screen->displayID()));
    set->finalizeSet();
    return set;
}

float QNDesktopReflectorPanelWindow::titleBarHeight(cg::CGRect frame) {
    const double content = std::max(0.0, frame.size.height - appkit::kNSTitleBarHeight);
    return static_cast<float>(frame.size.height - content);
}

// ---- Refresh marking.

void QNDesktopReflectorPanelWindow::setRefreshDisplaySet(std::shared_ptr<display::QNBDisplaySet> set) {
    std::lock_guard lock(m_refreshLock);
    m_refreshSet = std::move(set);
}

void QNDesktopReflectorPanelWindow::spawnLocalClientRefreshBlock() {
    setRefreshDisplaySet(reflectedDisplay());
    std::weak_ptr<QNDesktopReflectorPanelWindow> weak = self();
    dispatch::dispatch_async(
        dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT), [weak] {
            dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [weak] {
                auto panel = weak.lock();
                // A hide (one hop) may have overtaken this registration (two hops): it stays undone.
                if (!panel || !panel->updating()) return;
                const cg::CGRect whole = panel->reflectingDesktopRect();
                panel->screenRefreshed(1, &whole);
                display::QNBDisplayConfiguration::displayConfigurationManager()
                    ->registerScreenRefreshListener(
                        std::static_pointer_cast<display::QNBDisplayRefreshProtocol>(panel));
            });
        });
}

void QNDesktopReflectorPanelWindow::queueUnregister() {
    std::weak_ptr<QNDesktopReflectorPanelWindow> weak = self();
    dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [weak] {
        if (auto panel = weak.lock()) panel->unregisterNow();
    });
}

void QNDesktopReflectorPanelWindow::unregisterNow() {
    display::QNBDisplayConfiguration::displayConfigurationManager()->unregisterScreenRefreshListener(
        static_cast<const display::QNBDisplayRefreshProtocol*>(this));
}

void QNDesktopReflectorPanelWindow::screenRefreshed(uint32_t count, const cg::CGRect* rectArray) {
    if (count == 0 || !rectArray) return;
    std::shared_ptr<display::QNBDisplaySet> set;
    {
        std::lock_guard lock(m_refreshLock);
        set = m_refreshSet;
    }
    if (!set) return;
    const cg::CGRect bounds = cg::CGDisplayBounds(set->displayID());
    if (!usableRect(bounds)) return;
    for (uint32_t i = 0; i < count; ++i) {
        if (usableRect(rectArray[i]) && cg::CGRectIntersectsRect(rectArray[i], bounds))
            m_screenRedrawNeeded = true;
    }
}

// ---- The update tick.

void QNDesktopReflectorPanelWindow::updateDisplay() {
    auto set = reflectedDisplay();
    if (m_screenRedrawNeeded.exchange(false) && set) {
        const cg::CGRect bounds = set->singleNormalizedDisplayBounds();
        cg::CGImageRef shot = cg::CGDisplayCreateImageForRect(
            set->displayID(), cg::CGRectMake(0, 0, bounds.size.width, bounds.size.height));
        if (shot) {
            // The picture keeps the display's pixels; the view scales it to its own size.
            auto picture = std::make_shared<appkit::NSImage>(set->scaleCorrectedDisplayBounds().size);
            picture->addRepresentation(appkit::NSBitmapImageRep::initWithCGImage(shot));
            m_imageView->setImage(std::move(picture));
        }
    }

    auto screens = standardScreenSet();
    const cg::CGRect primary = screens->boundsOfPrimaryDisplay();
    const double scale = display::QNBScreen::scaleForDisplayID(screens->primaryDisplayID());
    const cg::CGRect mirrored = set ? cg::CGDisplayBounds(set->displayID()) : cg::CGRectZero;
    const cg::CGPoint mouse = appkit::NSEvent::mouseLocation();
    const cg::CGPoint point =
        cg::CGPointMake(mouse.x, primary.size.height / (scale > 0 ? scale : 1.0) - mouse.y);
    if (!usableRect(mirrored) || !cg::CGRectContainsPoint(mirrored, point)) {
        m_mouseView->setHidden(true);
        return;
    }
    const double k = contentView()->frame().size.width / mirrored.size.width;
    const cg::CGPoint local = cg::CGPointMake((point.x - mirrored.origin.x) * k,
                                              (mirrored.size.height - (point.y - mirrored.origin.y)) * k);
    const cg::CGPoint hotSpot =
        m_env.mouseHotspotOnDisplay ? m_env.mouseHotspotOnDisplay(set) : cg::CGPoint{};
    auto cursor = m_env.mouseCursorOnDisplay ? m_env.mouseCursorOnDisplay(set) : nullptr;
    if (!cursor || !cursor->image()) {
        m_mouseView->setHidden(true);
        return;
    }
    const cg::CGSize size = cursor->image()->size();
    m_mouseView->setImage(cursor->image());
    m_mouseView->setHidden(false);
    m_mouseView->setFrame(cg::CGRectMake(local.x - 2 * k * hotSpot.x, local.y - 4 * k * hotSpot.y,
                                         size.width * k, size.height * k));
}

// ---- The invitation.

void QNDesktopReflectorPanelWindow::sendInvite() {
    if (m_knownAddr.family() == AF_UNSPEC) {
        if (!m_loggedNoAddress)
            platform::log("QNDesktopReflectorPanel: the device has no known address; no invitation is sent");
        m_loggedNoAddress = true;
        return;
    }
    if (m_env.sendInvite) m_env.sendInvite(m_knownAddr);
}

} // namespace input
