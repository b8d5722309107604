// The local client window: while a device is away, a panel on the Mac mirrors the device's
// virtual display at up to 30 pictures a second with the Mac's cursor drawn on it, invites the
// device back every 2.0 s, and explains with a sheet how to resume or end. It flies in from the
// virtual display's place and flies out towards the middle of the main display.
//
// Main thread only. Other threads' closes are queued onto the main thread; the refresh
// callback only marks the picture stale.
#pragma once

#include "display/QNBDisplayConfiguration.h"
#include "input/LumoAnimatableWindow.h"
#include "input/QNDesktopReflectorPanel.h"
#include "input/QNDesktopReflectorSession.h"
#include "platform/appkit/NSAlert.h"
#include "platform/appkit/NSImageView.h"
#include "platform/foundation/NSTimer.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace input {

class QNDesktopReflectorPanelWindow : public LumoAnimatableWindow,
                                      public QNDesktopReflectorPanel,
                                      public display::QNBDisplayRefreshProtocol {
  public:
    // Titled, closable, miniaturizable and resizable.
    static constexpr appkit::NSWindowStyleMask kStyleMask = 15;
    static constexpr double kUpdateInterval = 1.0 / 30;
    static constexpr double kInviteInterval = 2.0;
    static constexpr double kAnimationDuration = 1.0;

    // The hidden panel of the session, or null when the session has no display set.
    static std::shared_ptr<QNDesktopReflectorPanelWindow>
    initWithScreenServer(const std::shared_ptr<QNDesktopReflectorSession>& session,
                         QNDesktopReflectorEnvironment environment);
    // A maker for QNDesktopReflectorPanel::setMaker: real panels for sessions that can be read.
    static Maker makerWithEnvironment(QNDesktopReflectorEnvironment environment);

    QNDesktopReflectorPanelWindow(cg::CGRect contentRect, QNDesktopReflectorEnvironment environment);
    ~QNDesktopReflectorPanelWindow() override;

    // ---- What the session calls.
    void setDelegate(std::weak_ptr<QNDesktopReflectorDelegate> delegate) override;
    void setReflectorDelegate(std::weak_ptr<QNDesktopReflectorDelegate> delegate) override;
    // Animated when no other panel's animated show runs, else at once.
    void showWithAnimation() override;
    void showWithoutAnimation() { showWithAnimation(false); }
    void showWithAnimation(bool animate);
    void hideWithAnimation() override { hideWithAnimation(true); }
    void hideWithoutAnimation() { hideWithAnimation(false); }
    void hideWithAnimation(bool animate);
    // Stops standing in and closes the window; from another thread, queued onto the main one.
    void close() override;
    void closeAction() override;
    bool updating() const override { return m_updating.load(); }

    // ---- Refreshes, ticks and invitations.
    void screenRefreshed(uint32_t count, const cg::CGRect* rectArray) override;
    void updateDisplay();
    void sendInvite();
    void spawnLocalClientRefreshBlock();

    // ---- The help sheet.
    void createHelpSheetAlert();
    void showHelpSheetAlert();
    void alertDidEnd(const std::shared_ptr<appkit::NSAlert>& alert, int64_t returnCode, void* contextInfo);
    void performAnimationsComplete() override;

    // ---- Derived values.
    std::shared_ptr<display::QNBDisplaySet> reflectedDisplay() const;
    // The virtual display's bounds in Core Graphics global points; zero without a display set.
    cg::CGRect reflectingDesktopRect() const;
    // A display set of every active display, made afresh.
    static std::shared_ptr<display::QNBDisplaySet> standardScreenSet();
    static float titleBarHeight(cg::CGRect frame);

    bool canBecomeKeyWindow() const override { return true; }
    bool canBecomeMainWindow() const override { return true; }
    bool acceptsFirstResponder() const override { return true; }
    bool becomeFirstResponder() override { return true; }
    bool resignFirstResponder() override { return true; }

    static const appkit::NSActionTable& classActions();
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    // What tests look at.
    bool suppressHelpSheet() const { return m_suppressHelpSheet; }
    bool screenRedrawNeeded() const { return m_screenRedrawNeeded.load(); }
    const std::shared_ptr<appkit::NSImageView>& imageView() const { return m_imageView; }
    const std::shared_ptr<appkit::NSImageView>& mouseView() const { return m_mouseView; }
    const std::shared_ptr<appkit::NSAlert>& sheetAlert() const { return m_sheetAlert; }
    bool helpSheetShowing() const { return m_sheetShowing; }
    const std::optional<std::string>& deviceHostName() const { return m_deviceHostName; }
    const net::SocketAddress& knownAddr() const { return m_knownAddr; }
    bool hasUpdateTimer() const;
    bool hasInviteTimer() const;

  private:
    std::shared_ptr<QNDesktopReflectorPanelWindow> self();
    void build(const std::shared_ptr<QNDesktopReflectorSession>& session, cg::CGRect bounds);
    void stopTimers();
    void queueUnregister();
    void unregisterNow();
    void closeActionFrom(appkit::NSActionTarget* sender);
    // The display the refresh callback compares rectangles with.
    void setRefreshDisplaySet(std::shared_ptr<display::QNBDisplaySet> set);

    QNDesktopReflectorEnvironment m_env;
    std::atomic<bool> m_updating{false};
    bool m_suppressHelpSheet = false;
    std::atomic<bool> m_screenRedrawNeeded{false};
    std::shared_ptr<appkit::NSImageView> m_imageView;
    std::shared_ptr<appkit::NSImageView> m_mouseView;
    std::shared_ptr<appkit::NSAlert> m_sheetAlert;
    bool m_sheetShowing = false;
    std::weak_ptr<QNDesktopReflectorDelegate> m_reflectorDelegate;
    std::weak_ptr<QNDesktopReflectorDelegate> m_delegate;
    std::optional<std::string> m_deviceHostName;
    std::weak_ptr<QNDesktopReflectorSession> m_screenServer;
    mutable std::mutex m_timerLock; // the timers' atomic accessors
    std::shared_ptr<ns::NSTimer> m_updateTimer;
    std::shared_ptr<ns::NSTimer> m_inviteTimer;
    net::SocketAddress m_knownAddr;
    bool m_loggedNoAddress = false;
    // One entry per animation block started, in order (every block lasts as long): whether its
    // completion gives the animation guard back.
    std::deque<bool> m_pendingCompletions;
    bool m_guardedShow = false; // the show about to start took the guard
    mutable std::mutex m_refreshLock;
    std::shared_ptr<display::QNBDisplaySet> m_refreshSet;
};

} // namespace input
