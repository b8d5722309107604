#include "host/QNBConnectButton.h"

#include "host/QNBLocalized.h"

namespace host {

QNBConnectButton::QNBConnectButton(cg::CGRect frame) : appkit::NSButton(frame) {}

std::shared_ptr<QNBConnectButton> QNBConnectButton::makeInCode(cg::CGRect frame) {
    auto button = std::make_shared<QNBConnectButton>(frame);
    button->m_redBackground = true;
    return button;
}

void QNBConnectButton::setConnected(bool connected) {
    m_connectingState = QNBConnectingStateNone;
    m_connected = connected;
    updateState();
}

void QNBConnectButton::setConnectingState(uint64_t state) {
    m_connectingState = state;
    updateState();
}

void QNBConnectButton::setEnabled(bool enabled) {
    if (m_connectingState != QNBConnectingStateNone) return;
    appkit::NSButton::setEnabled(enabled);
}

void QNBConnectButton::updateState() {
    switch (m_connectingState) {
    case QNBConnectingStateConnecting:
        forceEnabled(false);
        setTitle(localizedText("Connecting..."));
        return;
    case QNBConnectingStateDisconnecting:
        forceEnabled(false);
        setTitle(localizedText("Disconnecting..."));
        return;
    default:
        if (alphaValue() > 0) forceEnabled(true);
        setTitle(localizedText(m_connected ? "Disconnect" : "Connect"));
        return;
    }
}

void QNBDisconnectAllButton::updateState() {
    if (connectingState() == QNBConnectingStateDisconnecting) {
        forceEnabled(false);
        setTitle(localizedText("Disconnecting..."));
        return;
    }
    if (alphaValue() > 0) forceEnabled(true);
    if (!connected()) setTitle(localizedText("Disconnect All"));
}

} // namespace host
