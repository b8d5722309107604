// The panel's life: creation, showing, hiding, closing and the help sheet.
#include "input/QNDesktopReflectorPanelWindow.h"

#include "display/QNBDisplaySet.h"
#include "input/ScreenServerInput.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSButton.h"
#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Thread.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/PerformSelector.h"
#include "platform/quartzcore/CATransform3D.h"

#include <algorithm>
#include <cmath>

namespace input {

namespace {

// Present on every Space.
constexpr uint64_t kCanJoinAllSpaces = 1;
// How far each visible panel pushes the next one's top-left corner, both ways.
constexpr double kCascade = 50.0;

std::string localized(const std::string& english) {
    return ns::NSBundle::mainBundle()->localizedStringForKey(english, std::string_view(), std::nullopt);
}

bool finiteRect(cg::CGRect r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

} // namespace

// ---- Creation.

QNDesktopReflectorPanelWindow::QNDesktopReflectorPanelWindow(cg::CGRect contentRect,
                                                             QNDesktopReflectorEnvironment environment)
    : LumoAnimatableWindow(contentRect, kStyleMask), m_env(std::move(environment)) {}

QNDesktopReflectorPanelWindow::~QNDesktopReflectorPanelWindow() {
    stopTimers();
    unregisterNow();
}

std::shared_ptr<QNDesktopReflectorPanelWindow>
QNDesktopReflectorPanelWindow::initWithScreenServer(const std::shared_ptr<QNDesktopReflectorSession>& session,
                                                    QNDesktopReflectorEnvironment environment) {
    auto set = session ? session->screen() : nullptr;
    if (!set) return nullptr;
    const cg::CGRect bounds = set->singleNormalizedDisplayBounds();
    if (!finiteRect(bounds) || cg::CGRectIsEmpty(bounds)) {
        platform::log("QNDesktopReflectorPanel: no panel for a display without bounds");
        return nullptr;
    }
    const cg::CGRect content =
        cg::CGRectMake(bounds.origin.x, bounds.origin.y, bounds.size.width / 2, bounds.size.height / 2);
    auto panel = appkit::NSWindow::make<QNDesktopReflectorPanelWindow>(content, std::move(environment));
    panel->build(session, bounds);
    return panel;
}

QNDesktopReflectorPanel::Maker
QNDesktopReflectorPanelWindow::makerWithEnvironment(QNDesktopReflectorEnvironment environment) {
    return [environment](const std::shared_ptr<ScreenServerInput>& screenServer)
               -> std::shared_ptr<QNDesktopReflectorPanel> {
        auto session = std::dynamic_pointer_cast<QNDesktopReflectorSession>(screenServer);
        if (!session) return nullptr;
        return initWithScreenServer(session, environment);
    };
}

void QNDesktopReflectorPanelWindow::build(const std::shared_ptr<QNDesktopReflectorSession>& session,
                                          cg::CGRect bounds) {
    setCollectionBehavior(kCanJoinAllSpaces);
    m_screenServer = session;
    m_deviceHostName = session->connectedHostName();
    m_knownAddr = session->connectedAddress();

    m_imageView = std::make_shared<appkit::NSImageView>(
        cg::CGRectMake(0, 0, bounds.size.width / 2, bounds.size.height / 2));
    m_imageView->setAutoresizingMask(appkit::NSViewWidthSizable | appkit::NSViewHeightSizable);
    m_imageView->setImageScaling(appkit::NSImageScaleAxesIndependently);
    m_mouseView = std::make_shared<appkit::NSImageView>(cg::CGRectMake(0, 0, 16, 16));
    contentView()->setAutoresizesSubviews(true);
    contentView()->addSubview(m_imageView);
    contentView()->addSubview(m_mouseView);

    auto name = session->connectedDisplayName();
    const std::string title = name && !name->empty() ? *name : "Unknown";
    setTitle(title);
    const float width = static_cast<float>(minFrameWidthWithTitle(title, kStyleMask));
    setContentMinSize(cg::CGSizeMake(width, 0.5 * width));
    setContentAspectRatio(bounds.size);
    setContentMaxSize(bounds.size);

    orderOut();
    m_mouseView->setHidden(true);
    setCloseButtonTarget(std::weak_ptr<appkit::NSActionTarget>(self()), "closeAction:");
    setReleasedWhenClosed(false);
    const double least = std::min(bounds.size.width * 0.25, 2 * minFrameWidthWithTitle(title, styleMask()));
    setMinSize(cg::CGSizeMake(least, least * bounds.size.height / bounds.size.width));
    m_suppressHelpSheet = false;
}

std::shared_ptr<QNDesktopReflectorPanelWindow> QNDesktopReflectorPanelWindow::self() {
    return std::static_pointer_cast<QNDesktopReflectorPanelWindow>(shared_from_this());
}

void QNDesktopReflectorPanelWindow::setDelegate(std::weak_ptr<QNDesktopReflectorDelegate> delegate) {
    m_delegate = std::move(delegate);
}

void QNDesktopReflectorPanelWindow::setReflectorDelegate(std::weak_ptr<QNDesktopReflectorDelegate> delegate) {
    m_reflectorDelegate = std::move(delegate);
}

const appkit::NSActionTable& QNDesktopReflectorPanelWindow::classActions() {
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSActionTarget::classActions())
            .action("closeAction:", &QNDesktopReflectorPanelWindow::closeActionFrom);
    return table;
}

// ---- Showing and hiding.

void QNDesktopReflectorPanelWindow::showWithAnimation() {
    if (!dispatch::isMainThread()) {
        ns::performSelectorOnMainThread([panel = self()] { panel->showWithAnimation(); }, false);
        return;
    }
    // One animated show at a time across all panels; the others appear at once.
    if (!LumoAnimationGuard::tryBegin()) return showWithAnimation(false);
    m_guardedShow = true;
    showWithAnimation(true);
}

void QNDesktopReflectorPanelWindow::showWithAnimation(bool animate) {
    const uint64_t visiblePanels = m_env.localWindowCount ? m_env.localWindowCount() : 0;
    appkit::NSApp()->activateIgnoringOtherApps(true);
    auto delegate = m_reflectorDelegate.lock();
    m_suppressHelpSheet = delegate && delegate->reflectorPanelShouldSuppressHelpSheet(*this);
    // A sheet still up stays the one sheet: a new one would orphan the old one's end.
    if (!m_suppressHelpSheet && !m_sheetShowing) createHelpSheetAlert();
    spawnLocalClientRefreshBlock();

    if (animate) {
        const cg::CGRect from = reflectingDesktopRect();
        const double step = kCascade * double(visiblePanels);
        setFrameTopLeftPoint(cg::CGPointMake(step, from.size.height - step));
        setContentSize(from.size);
        m_pendingCompletions.push_back(std::exchange(m_guardedShow, false));
        makeKeyAndOrderFrontWithDuration(
            kAnimationDuration, nullptr,
            [from](const std::shared_ptr<quartzcore::CALayer>& layer) {
                layer->setTransform(
                    quartzcore::CATransform3DMakeTranslation(from.origin.x, -from.origin.y, 0));
                layer->setOpacity(0);
            },
            [](const std::shared_ptr<quartzcore::CALayer>& layer) {
                layer->setTransform(quartzcore::CATransform3DIdentity);
                layer->setOpacity(1.0f);
            });
    } else {
        makeKeyAndOrderFront();
        if (!m_suppressHelpSheet)
            ns::performSelectorOnMainThread([panel = self()] { panel->showHelpSheetAlert(); }, false);
    }

    // A second show replaces the timers rather than doubling them.
    stopTimers();
    m_updating = true;
    std::weak_ptr<QNDesktopReflectorPanelWindow> weak = self();
    auto update =
        ns::NSTimer::scheduledTimerWithTimeInterval(kUpdateInterval, true, [weak](ns::NSTimer& timer) {
            if (auto panel = weak.lock())
                panel->updateDisplay();
            else
                timer.invalidate();
        });
    auto session = m_screenServer.lock();
    std::shared_ptr<ns::NSTimer> invite;
    if (!(session && session->isUSB())) {
        invite =
            ns::NSTimer::scheduledTimerWithTimeInterval(kInviteInterval, true, [weak](ns::NSTimer& timer) {
                if (auto panel = weak.lock())
                    panel->sendInvite();
                else
                    timer.invalidate();
            });
    }
    std::lock_guard lock(m_timerLock);
    m_updateTimer = std::move(update);
    m_inviteTimer = std::move(invite);
}

void QNDesktopReflectorPanelWindow::hideWithAnimation(bool animate) {
    if (!dispatch::isMainThread()) {
        ns::performSelectorOnMainThread([panel = self(), animate] { panel->hideWithAnimation(animate); },
                                        false);
        return;
    }
    queueUnregister();
    m_updating = false;
    stopTimers();
    if (!animate) return close();
    // A panel never shown has no picture to fly away: it stays as it is, out of sight.
    if (!isVisible() && !windowRepresentationLayer()) return;
    const cg::CGRect primary = standardScreenSet()->boundsOfPrimaryDisplay();
    const cg::CGRect from = reflectingDesktopRect();
    const cg::CGPoint centre = cg::CGPointMake(primary.size.width / 2 - from.size.width / 2,
                                               primary.size.height / 2 - from.size.height / 2);
    m_pendingCompletions.push_back(false);
    orderOutWithDuration(kAnimationDuration, nullptr,
                         [from, centre](const std::shared_ptr<quartzcore::CALayer>& layer) {
                             layer->setTransform(quartzcore::CATransform3DMakeTranslation(
                                 from.origin.x - centre.x, centre.y - from.origin.y, 0));
                             layer->setOpacity(0);
                         });
}

void QNDesktopReflectorPanelWindow::close() {
    if (!dispatch::isMainThread()) {
        ns::performSelectorOnMainThread([panel = self()] { panel->close(); }, false);
        return;
    }
    m_updating = false;
    stopTimers();
    unregisterNow();
    appkit::NSWindow::close();
}

void QNDesktopReflectorPanelWindow::closeAction() {
    if (auto delegate = m_reflectorDelegate.lock()) delegate->reflectorPanelClosed(*this);
    queueUnregister();
    close();
}

void QNDesktopReflectorPanelWindow::closeActionFrom(appkit::NSActionTarget*) {
    closeAction();
}

void QNDesktopReflectorPanelWindow::stopTimers() {
    std::shared_ptr<ns::NSTimer> update, invite;
    {
        std::lock_guard lock(m_timerLock);
        update = std::exchange(m_updateTimer, nullptr);
        invite = std::exchange(m_inviteTimer, nullptr);
    }
    if (update) update->invalidate();
    if (invite) invite->invalidate();
}

bool QNDesktopReflectorPanelWindow::hasUpdateTimer() const {
    std::lock_guard lock(m_timerLock);
    return m_updateTimer != nullptr;
}

bool QNDesktopReflectorPanelWindow::hasInviteTimer() const {
    std::lock_guard lock(m_timerLock);
    return m_inviteTimer != nullptr;
}

// ---- The help sheet.

void QNDesktopReflectorPanelWindow::createHelpSheetAlert() {
    const std::string informative =
        localized("To restore your display, reopen Tessel on your device.") + "\n" +
        localized("To stop using Tessel for now, click \"OK\", then close this window");
    auto alert =
        appkit::NSAlert::alertWithMessageText(localized("Your Tessel connection has paused"), localized("OK"),
                                              std::nullopt, std::nullopt, informative);
    alert->setShowsSuppressionButton(true);
    m_sheetAlert = std::move(alert);
}

void QNDesktopReflectorPanelWindow::showHelpSheetAlert() {
    if (!m_sheetAlert || m_sheetShowing) return;
    auto alert = m_sheetAlert;
    std::weak_ptr<QNDesktopReflectorPanelWindow> weak = self();
    m_sheetShowing = true;
    alert->beginSheetModalForWindow(shared_from_this(), [weak, alert](appkit::NSModalResponse code) {
        if (auto panel = weak.lock()) panel->alertDidEnd(alert, code, nullptr);
    });
    // A refused sheet never ends: it is not up.
    if (!alert->window() || !alert->window()->isVisible()) m_sheetShowing = false;
}

void QNDesktopReflectorPanelWindow::alertDidEnd(const std::shared_ptr<appkit::NSAlert>& alert, int64_t,
                                                void*) {
    if (!alert || alert != m_sheetAlert) return;
    m_sheetShowing = false;
    auto box = alert->suppressionButton();
    if (box && box->state() != 0) {
        if (auto delegate = m_reflectorDelegate.lock()) delegate->pleaseDoSuppressHelpSheet(true);
    }
}

void QNDesktopReflectorPanelWindow::performAnimationsComplete() {
    bool givesGuardBack = false;
    if (!m_pendingCompletions.empty()) {
        givesGuardBack = m_pendingCompletions.front();
        m_pendingCompletions.pop_front();
    }
    if (isVisible() && isKeyWindow() && !m_suppressHelpSheet)
        ns::performSelectorOnMainThread([panel = self()] { panel->showHelpSheetAlert(); }, false);
    if (givesGuardBack) ns::performSelectorOnMainThread([] { LumoAnimationGuard::end(); }, false);
}

} // namespace input
