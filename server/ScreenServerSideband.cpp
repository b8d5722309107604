// The session's sideband: dispatch of the device's datagrams by type byte, and the
// negotiation of touch and keyboard input between the device, the session and the
// application delegate.
#include "server/ScreenServer.h"

#include "net/ByteOrder.h"
#include "net/QNNetSocketProtocol.h"
#include "server/BaseLimnerAppDelegate.h"

#include "foundation/QNBPreferences.h"
#include "platform/core/Log.h"
#include "regions/ScreenUpdateRecords.h"

#include <string>

namespace server {

namespace {

// The negotiation datagram: u8 9, u16 operation at offset 1, u16 feature at offset 3.
constexpr size_t kFeatureNegotiationSize = 5;

std::string featureKey(uint16_t feature) {
    return std::to_string(feature);
}

int64_t valueOr0(const cf::Value& features, const std::string& key) {
    const cf::Value* found = features.find(key);
    return found ? found->integerValue() : 0;
}

void store(cf::Value& features, const std::string& key, int64_t state) {
    features = features.setting(key, cf::Value(state));
}

bool isRequest(uint16_t operation) {
    return operation == kFeatureOperationRequestOn || operation == kFeatureOperationRequestOff;
}

} // namespace

bool ScreenServer::enableTouchDisplay() {
    return foundation::QNBPreferences::sharedAppPrefs().enableTouchDisplay();
}

bool ScreenServer::enableKeyboardInput() {
    return foundation::QNBPreferences::sharedAppPrefs().enableKeyboardInput();
}

void ScreenServer::setEnableTouchDisplay(bool enable) {
    std::lock_guard lock(m_sessionLock);
    m_enableTouchDisplayFlag = enable;
}

void ScreenServer::setEnableKeyboardInput(bool enable) {
    std::lock_guard lock(m_sessionLock);
    m_enableKeyboardInputFlag = enable;
}

void ScreenServer::datagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data) {
    if (!isActive()) return;
    if (data.empty()) {
        platform::log("%@: dropped an empty datagram from the client", description());
        return;
    }
    const uint8_t type = data[0];
    switch (static_cast<QNDatagramType>(type)) {
    case QNDatagramType::Tap:
        if (enableTouchDisplay()) tapDatagramReceivedForSocket(socket, data);
        break;
    case QNDatagramType::Keyboard:
        if (enableKeyboardInput()) keyboardEventDatagramReceivedForSocket(socket, data);
        break;
    case QNDatagramType::WindowRequest:
        windowRequestDatagramReceivedForSocket(socket, data);
        break;
    case QNDatagramType::Mouse:
        mouseDatagramReceivedForSocket(socket, data);
        break;
    case QNDatagramType::Scroll:
        scrollDatagramReceivedForSocket(socket, data);
        break;
    case QNDatagramType::MenuRequest:
        menuRequestDatagramReceivedForSocket(socket, data);
        break;
    case QNDatagramType::FeatureNegotiation:
        featureNegotiationReceivedForSocket(socket, data);
        break;
    case QNDatagramType::Button:
        buttonDatagramReceivedForSocket(socket, data);
        break;
    default:
        platform::log("Received unhandled message from the client.  Type = %d", static_cast<int>(type));
        break;
    }
}

void ScreenServer::featureNegotiationReceivedForSocket(const Socket&, std::span<const uint8_t> data) {
    if (data.empty()) return;
    if (data.size() < kFeatureNegotiationSize) {
        platform::log("%@: dropped a feature negotiation of %zu bytes (%zu needed)", description(),
                      data.size(), kFeatureNegotiationSize);
        return;
    }
    net::LittleEndianReader reader(data);
    reader.skip(1);
    const uint16_t operation = reader.u16();
    const uint16_t feature = reader.u16();
    const std::string key = featureKey(feature);
    auto app = BaseLimnerAppDelegate::appDelegate();
    // The delegate is asked before the lock is taken: no foreign code runs under it.
    std::optional<int64_t> hostWish;
    if (isRequest(operation)) hostWish = app->negotiatingFeatureState(*this, operation, feature);

    int64_t resolved = 0, host = 0;
    bool changed = false;
    {
        std::lock_guard lock(m_sessionLock);
        const int64_t before = valueOr0(m_resolvedFeatures, key);
        const int64_t client = operation == kFeatureOperationOn || operation == kFeatureOperationRequestOn
                                   ? kFeatureStateOn
                                   : kFeatureStateOff;
        store(m_clientFeatures, key, client);
        if (hostWish) store(m_hostFeatures, key, *hostWish);
        host = valueOr0(m_hostFeatures, key);
        resolved = host == kFeatureStateOn && client == kFeatureStateOn ? kFeatureStateOn : kFeatureStateOff;
        store(m_resolvedFeatures, key, resolved);
        changed = resolved != before;
    }
    if (changed) app->didReceiveFeatureChange(*this, feature, resolved);
    if (isRequest(operation) && host != 0)
        sendNegotiationOf(resolved == kFeatureStateOn ? kFeatureOperationOn : kFeatureOperationOff, feature);
}

void ScreenServer::sendNegotiationOf(uint16_t operation, uint16_t feature) {
    sendNegotiationOf(operation, feature, false);
}

void ScreenServer::sendNegotiationOf(uint16_t operation, uint16_t feature, bool) {
    const std::string key = featureKey(feature);
    int64_t resolved = 0;
    bool changed = false;
    {
        std::lock_guard lock(m_sessionLock);
        const int64_t before = valueOr0(m_resolvedFeatures, key);
        if (isRequest(operation))
            store(m_hostFeatures, key,
                  operation == kFeatureOperationRequestOn ? kFeatureStateOn : kFeatureStateOff);
        // The device's side is not consulted here.
        resolved = valueOr0(m_hostFeatures, key) == kFeatureStateOn ? kFeatureStateOn : kFeatureStateOff;
        store(m_resolvedFeatures, key, resolved);
        changed = resolved != before;
    }
    auto app = BaseLimnerAppDelegate::appDelegate();
    if (changed) app->didReceiveFeatureChange(*this, feature, resolved);

    const Socket client = clientSocket();
    if (!client || !client->isConnected()) return;
    const uint16_t port = app->clientSidebandPort();
    regions::QNRectangleMsg state;
    state.width = feature;
    state.height = operation;
    state.encoding = kFeatureStateEncoding;
    const auto bytes = state.encode();
    std::lock_guard lock(m_sessionLock);
    if (m_sidebandSocket)
        m_sidebandSocket->sendDatagram(bytes.data(), bytes.size(), m_sidebandSocket.get(), port);
}

cf::Value ScreenServer::clientFeatures() const {
    std::lock_guard lock(m_sessionLock);
    return m_clientFeatures;
}

cf::Value ScreenServer::hostFeatures() const {
    std::lock_guard lock(m_sessionLock);
    return m_hostFeatures;
}

cf::Value ScreenServer::resolvedFeatures() const {
    std::lock_guard lock(m_sessionLock);
    return m_resolvedFeatures;
}

} // namespace server
