// The listing's connect button and the popover's Disconnect All button: their title and enabled
// state follow the connection and the request in flight (connecting, disconnecting), and an
// outside enable is ignored while a request is in flight.
#pragma once

#include "platform/appkit/NSButton.h"

#include <cstdint>

namespace host {

enum QNBConnectingState : uint64_t {
    QNBConnectingStateNone = 0,
    QNBConnectingStateConnecting = 1,
    QNBConnectingStateDisconnecting = 2,
};

class QNBConnectButton : public appkit::NSButton {
  public:
    explicit QNBConnectButton(cg::CGRect frame = cg::CGRectZero);
    // A button made in code rather than by a nib: its cell shows a red background.
    static std::shared_ptr<QNBConnectButton> makeInCode(cg::CGRect frame);

    bool connected() const { return m_connected; }
    // Ends any request in flight, then shows the new connection.
    void setConnected(bool connected);
    uint64_t connectingState() const { return m_connectingState; }
    void setConnectingState(uint64_t state);
    // Seconds since 2001; the 1970 date until the first request.
    double lastRequestDate() const { return m_lastRequestDate; }
    void setLastRequestDate(double date) { m_lastRequestDate = date; }
    // Ignored while a request is in flight.
    void setEnabled(bool enabled) override;
    bool isOpaque() const { return false; }
    bool hasRedBackground() const { return m_redBackground; }

    virtual void updateState();

  protected:
    // Sets the control's flag past the in-flight guard.
    void forceEnabled(bool enabled) { appkit::NSButton::setEnabled(enabled); }

  private:
    bool m_connected = false;
    uint64_t m_connectingState = QNBConnectingStateNone;
    double m_lastRequestDate = -978307200.0;
    bool m_redBackground = false;
};

class QNBDisconnectAllButton final : public QNBConnectButton {
  public:
    using QNBConnectButton::QNBConnectButton;
    void updateState() override;
};

} // namespace host
