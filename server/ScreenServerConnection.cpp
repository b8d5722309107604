// Device connection reporting: announcing a connected device once its display exists and its
// disconnection when it goes, the system information message, the reflector panel's glue, the
// session's encoder, waking a display by marking it wholly dirty, the driver's vertical-blank
// signal and the display dump.
#include "server/ScreenServer.h"

#include "net/QNNetSocketProtocol.h"
#include "net/QNSessionMessageWriter.h"
#include "server/BaseLimnerAppDelegate.h"
#include "server/ScreenServerDiagnostics.h"

#include "foundation/QNBPreferences.h"
#include "foundation/QNBSystemInformation.h"
#include "foundation/StringAdditions.h"
#include "foundation/TSEDisplay.h"
#include "foundation/Vocabulary.h"
#include "platform/appkit/NSApplication.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/PerformSelector.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/services/NSDistributedNotificationCenter.h"

#include <cmath>
#include <unistd.h>

namespace server {

namespace {

// The system-information message's length is one byte.
constexpr size_t kMaxSystemInformationLength = 255;
// The driver's selector that signals the framebuffer's vertical-blank interrupt.
constexpr uint32_t kQNExVBLNotifyInterruptClient = 9;
// The last AppKit version whose display streams serve several virtual displays poorly.
constexpr double kLastDisplayStreamAppKitVersion = 1504.0;

std::string textOrEmpty(const std::optional<std::string>& text) {
    return text.value_or("");
}

} // namespace

// ---- Posting ----------------------------------------------------------------------------------

void ScreenServer::postDistributed(const std::string& name, const std::optional<cf::Value>& userInfo,
                                   uint64_t options) {
    DistributedPoster poster;
    {
        std::lock_guard lock(m_sessionLock);
        poster = m_poster;
    }
    poster(name, userInfo, options);
}

cf::Value ScreenServer::connectedPayload() {
    std::lock_guard lock(m_sessionLock);
    cf::Dictionary payload;
    payload.insert_or_assign(foundation::kDeviceNameKey, m_connectedHostName.value_or("Unknown"));
    const auto& storage = m_connectedAddress.storage();
    payload.insert_or_assign(foundation::kDeviceAddressKey,
                             m_connectedAddress.isPresent()
                                 ? foundation::stringIPAddresWithSockAddr(&storage).value_or("localhost")
                                 : std::string("localhost"));
    payload.insert_or_assign(foundation::kDisplayNameKey, textOrEmpty(m_connectedDisplayName));
    payload.insert_or_assign(foundation::kDeviceIdentifier, textOrEmpty(m_deviceIdentifier));
    payload.insert_or_assign(foundation::kServiceKey, textOrEmpty(m_connectedServiceKey));
    payload.insert_or_assign(foundation::kLimnerPlatformNameKey, textOrEmpty(m_devicePlatform));
    payload.insert_or_assign(foundation::kConnectionMechanism, std::to_string(m_connectionMechanism));
    payload.insert_or_assign(foundation::kAddressIdentifier, textOrEmpty(m_connectedAddressIdentifier));
    return cf::Value(std::move(payload));
}

// ---- Connection -------------------------------------------------------------------------------

void ScreenServer::didConnectToDevice(const std::shared_ptr<display::QNBDisplaySet>& screen) {
    {
        std::lock_guard lock(m_sessionLock);
        m_connectionMechanism = m_isUSB.load() ? 4 : 3;
        m_disconnectionCopy.reset(); // a new device: the last one's notice is history
    }
    // One post per connection: a device that reconnects from the same address, with no
    // disconnection between (its old connection replaced), is announced again each time.
    const cf::Value payload = connectedPayload();
    postDistributed(foundation::kServerConnectedToDevice, payload, ns::NSNotificationDeliverImmediately);
    ns::NSNotificationCenter::defaultCenter().postNotificationName(foundation::kServerConnectedToDevice,
                                                                   nullptr, payload);

    setScreen(screen);
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    if (screen && prefs.firstRun()) {
        // Permanent, as the install tool's is: mirroring stays off past this login session.
        foundation::turnOffDisplayMirroringForSession(cg::kCGConfigurePermanently);
        prefs.setFirstRun(false);
    }
    display::QNBDisplayConfiguration::displayConfigurationManager()->registerScreenRefreshListener(
        shared_from_this());
    dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [self = shared_from_this()] {
        BaseLimnerAppDelegate::appDelegate()->registerNotificationsForWindow(self->displayReflector());
    });
    sendSystemInformationMessage();
    startDisplayStream();
}

void ScreenServer::willDisconnectFromDevice() {
    setDisplayIsEnabled(false);
}

void ScreenServer::disconnectFromDevice() {
    willDisconnectFromDevice();
    {
        std::lock_guard frameBuffer(m_frameBufferLock);
        if (auto current = mediator()) current->disableDisplay(*this);
    }
    didDisconnectFromDevice();
}

void ScreenServer::didDisconnectFromDevice() {
    std::shared_ptr<input::QNDesktopReflectorPanel> panel;
    {
        std::lock_guard lock(m_sessionLock);
        panel = std::exchange(m_displayReflector, nullptr);
    }
    if (panel) panel->close();
    stopDisplayStream();
    sendDisconnectionNotificationForCurrentDevice();
    display::QNBDisplayConfiguration::displayConfigurationManager()->unregisterScreenRefreshListener(this);
    {
        std::lock_guard lock(m_sessionLock);
        m_screen.reset();
        m_connectedHostName.reset();
        m_connectedDisplayName.reset();
        m_deviceIdentifier.reset();
        m_devicePlatform.reset();
        m_connectionMechanism = 0;
    }
    setDisplayID(0);
    // The dump file, when one was opened, is closed rather than forgotten.
    if (const int fd = m_videoCaptureFileFd.exchange(-1); fd >= 0) ::close(fd);
}

void ScreenServer::sendDisconnectionNotificationForCurrentDevice() {
    cf::Dictionary payload;
    DistributedPoster poster;
    {
        std::lock_guard lock(m_sessionLock);
        poster = m_poster;
        // A session that has stopped has cleared its names: the copy stop kept names the device.
        DisconnectionCopy names{m_connectedHostName, m_deviceIdentifier, m_connectedServiceKey,
                                m_connectedAddressIdentifier};
        if (!names.hostName && m_disconnectionCopy) names = *m_disconnectionCopy;
        m_disconnectionCopy.reset();
        if (!names.hostName) return;
        payload.insert_or_assign(foundation::kDeviceNameKey, *names.hostName);
        payload.insert_or_assign(foundation::kDeviceIdentifier, textOrEmpty(names.deviceIdentifier));
        payload.insert_or_assign(foundation::kServiceKey, textOrEmpty(names.serviceKey));
        payload.insert_or_assign(foundation::kAddressIdentifier, textOrEmpty(names.addressIdentifier));
    }
    // Also to the process's own centre, where the other sessions listen: one of them left alone
    // takes its display stream again (without this a session that had stopped streaming for a
    // second device never streamed again).
    dispatch::dispatch_async(
        dispatch::dispatch_get_main_queue(), [poster, payload = cf::Value(std::move(payload))] {
            poster(foundation::kServerDisconnectedFromDevice, payload, ns::NSNotificationDeliverImmediately);
            ns::NSNotificationCenter::defaultCenter().postNotificationName(
                foundation::kServerDisconnectedFromDevice, nullptr, payload);
        });
}

void ScreenServer::sendSystemInformationMessage() {
    const net::QNProtocolVersionInfo version = protocolVersionInfo();
    if (!theySpeakProtocolVersion(version, 3, 0, 1)) return;
    const Socket socket = clientSocket();
    if (!socket) return;
    // A document too long for the one-byte length loses chipsets until it fits; one that
    // never fits goes out as none.
    std::string document;
    if (auto bytes =
            foundation::QNBSystemInformation::systemInformationXMLOfAtMost(kMaxSystemInformationLength))
        document.assign(bytes->begin(), bytes->end());
    else
        platform::log("%@: the system information does not fit its message; sending none", description());
    // One write (type, length and document together), so no other record can cut into it.
    net::QNSessionMessageWriter(*socket).sendSystemInformation(document);
}

void ScreenServer::serverConnectedToDevice(const ns::NSNotification&) {
    const auto current = mediator();
    const uint64_t active = current ? current->activeServerCount() : 0;
    if (active >= 2 || std::floor(appkit::NSAppKitVersionNumber()) > kLastDisplayStreamAppKitVersion)
        stopDisplayStream();
}

void ScreenServer::serverDisconnectedFromDevice(const ns::NSNotification&) {
    if (isActive()) startDisplayStream();
}

// ---- Waking the display -----------------------------------------------------------------------

void ScreenServer::wakeScreen() {
    const Socket socket = clientSocket();
    if (!socket) return; // no connection to wake a display for
    wakeScreenFor(socket);
}

void ScreenServer::wakeScreenFor(std::weak_ptr<net::QNNetSocketProtocol> weakSocket) {
    const Socket socket = weakSocket.lock();
    if (!socket || !servesClientSocket(socket)) return; // the connection it was asked for is gone
    if (socket->isConnected() && screen() && state() == kServerStateActivated) {
        addWholeScreenToDirtyRectangles();
        return;
    }
    dispatch::dispatch_after(
        dispatch::dispatch_time(dispatch::DISPATCH_TIME_NOW,
                                static_cast<int64_t>(kWakeScreenRetryInterval * dispatch::NSEC_PER_SEC)),
        dispatch::dispatch_get_main_queue(), [self = weak_from_this(), weakSocket] {
            if (auto session = self.lock()) session->wakeScreenFor(weakSocket);
        });
}

void ScreenServer::addWholeScreenToDirtyRectangles() {
    const auto set = screen();
    const auto current = encoder();
    if (set && current) {
        for (const auto& bounds : set->arrayOfScreenBounds()) {
            current->addDirtyRectangle(cg::CGRect{{0, 0}, bounds.size});
            current->enqueueFrame();
        }
    }
    setClientNeedsCursorPosUpdate(true);
    setClientNeedsCursorImageUpdate(true);
}

// ---- The reflector panel ----------------------------------------------------------------------

std::shared_ptr<input::QNDesktopReflectorPanel> ScreenServer::displayReflector() {
    std::lock_guard lock(m_sessionLock);
    if (!m_displayReflector) {
        m_displayReflector = input::QNDesktopReflectorPanel::initWithScreenServer(shared_from_this());
        if (m_displayReflector) {
            std::weak_ptr<input::QNDesktopReflectorDelegate> self = weak_from_this();
            m_displayReflector->setDelegate(self);
            m_displayReflector->setReflectorDelegate(self);
        }
    }
    return m_displayReflector;
}

void ScreenServer::reflectorPanelClosed(input::QNDesktopReflectorPanel&) {
    std::optional<std::string> host;
    {
        std::lock_guard lock(m_sessionLock);
        host = m_connectedHostName;
        if (!host && m_disconnectionCopy) host = m_disconnectionCopy->hostName;
    }
    cf::Dictionary payload;
    payload.insert_or_assign(foundation::kDisconnectedHostName, host.value_or("Unknown"));
    payload.insert_or_assign(foundation::kDisableDisplay, true);
    const cf::Value userInfo(std::move(payload));
    postDistributed(foundation::kDisconnectCurrentServerFromHost, userInfo,
                    ns::NSNotificationDeliverImmediately | ns::NSNotificationPostToAllSessions);
    ns::NSNotificationCenter::defaultCenter().postNotificationName(
        foundation::kDisconnectCurrentServerFromHost, nullptr, userInfo);
    // The notification's handler looks the session up by a host name the absence cleared, so
    // the session gives its display up itself.
    std::weak_ptr<ScreenServer> weak = weak_from_this();
    ns::performSelectorOnMainThread(
        [weak] {
            auto self = weak.lock();
            if (!self) return;
            if (auto current = self->mediator()) current->shutdownServer(self);
        },
        false);
}

bool ScreenServer::reflectorPanelShouldSuppressHelpSheet(input::QNDesktopReflectorPanel&) {
    return foundation::QNBPreferences::sharedAppPrefs().suppressLocalClientHelpSheet();
}

void ScreenServer::pleaseDoSuppressHelpSheet(bool suppress) {
    foundation::QNBPreferences::sharedAppPrefs().setSuppressLocalClientHelpSheet(suppress);
}

// ---- Encoder ----------------------------------------------------------------------------------

void ScreenServer::updateEncoderClass() {
    std::optional<capture::QNBVellEncoderClass> configured;
    {
        std::lock_guard lock(m_sessionLock);
        configured = m_configuredEncoderClass;
    }
    setEncoderClass(configured ? *configured : capture::QNBJPEGVellEncoderClass());
}

void ScreenServer::configureEncoderClass(const capture::QNBVellEncoderClass& encoderClass) {
    {
        std::lock_guard lock(m_sessionLock);
        m_configuredEncoderClass = encoderClass;
    }
    setEncoderClass(encoderClass);
}

std::shared_ptr<capture::QNBVellEncoderProtocol> ScreenServer::encoder() {
    std::lock_guard lock(m_sessionLock);
    if (!m_encoderClass) updateEncoderClass();
    if (!m_encoder) {
        m_encoder = m_encoderClass->make();
        if (m_encoder)
            m_encoder->setDelegate(std::weak_ptr<capture::QNBVellEncoderDelegateProtocol>(weak_from_this()));
    }
    return m_encoder;
}

void ScreenServer::setEncoder(std::shared_ptr<capture::QNBVellEncoderProtocol> newEncoder) {
    std::shared_ptr<capture::QNBVellEncoderProtocol> old;
    {
        std::lock_guard lock(m_sessionLock);
        old = std::exchange(m_encoder, std::move(newEncoder));
    }
    if (old) old->stopSession();
}

std::optional<capture::QNBVellEncoderClass> ScreenServer::encoderClass() const {
    std::lock_guard lock(m_sessionLock);
    return m_encoderClass;
}

void ScreenServer::setEncoderClass(const capture::QNBVellEncoderClass& encoderClass) {
    std::shared_ptr<capture::QNBVellEncoderProtocol> old;
    {
        std::lock_guard lock(m_sessionLock);
        if (m_encoderClass && *m_encoderClass == encoderClass) return; // the same class keeps its encoder
        old = std::exchange(m_encoder, nullptr);
        m_encoderClass = encoderClass;
    }
    if (old) old->stopSession();
}

bool ScreenServer::clientSpeaksVersionTwo() const {
    return theySpeakProtocolVersion(protocolVersionInfo(), 2, 0, 0);
}

// ---- The driver's vertical-blank signal -------------------------------------------------------

void ScreenServer::encoderReadyToEncode() {
    const uint32_t connection = frameBufferPort();
    if (connection == 0 || !signalUserClientforVBL()) return;
    const iokit::kern_return_t status = iokit::IOConnectCallScalarMethod(
        connection, kQNExVBLNotifyInterruptClient, nullptr, 0, nullptr, nullptr);
    if (status == iokit::KERN_SUCCESS) return;
    platform::log("kQNExVBLNotifyInterruptClient did not succeed...");
    platform::log("kQNExVBLNotifyInterruptClient: %@", vblNotifyStatusName(status));
}

} // namespace server
