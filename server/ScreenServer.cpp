// The session's life: creation, start, stop and reset, accepting a connection (with the busy
// answer and takeover), the read loop of the main stream with its handshake and update-request
// answers, the resolution message, the accepted-address list and the accessors.
#include "server/ScreenServer.h"

#include "net/QNMessages.h"
#include "net/QNNetSocketProtocol.h"
#include "net/QNSessionMessageWriter.h"
#include "server/BaseLimnerAppDelegate.h"

#include "foundation/Vocabulary.h"
#include "platform/core/Clock.h"
#include "platform/core/Format.h"
#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Thread.h"
#include "platform/foundation/PerformSelector.h"
#include "platform/services/NSDistributedNotificationCenter.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace server {

namespace {

constexpr const char* kStateNames[] = {
    "Init",      "Sleeping",   "Awaiting_Handshake", "Resolving_New_Size", "Activating_Screen",
    "Activated", "Deactivated"};

// A size as the 16-bit wire field holds it: truncated toward zero, low 16 bits kept; a value
// no integer holds is 0.
uint16_t wireSize(double value) {
    if (!std::isfinite(value) || std::fabs(value) >= 9.0e18) return 0;
    return static_cast<uint16_t>(static_cast<int64_t>(value));
}

} // namespace

// ---- Names and helpers ------------------------------------------------------------------------

std::optional<std::string> ScreenServer::serverStateString(int32_t state) {
    if (state < kServerStateInit || state > kServerStateDeactivated) return std::nullopt;
    return std::string(kStateNames[state]);
}

std::string NSStringFromServerState(int32_t state) {
    return ScreenServer::serverStateString(state).value_or("unknown/invalid");
}

DistributedPoster defaultDistributedPoster() {
    return [](const std::string& name, const std::optional<cf::Value>& userInfo, uint64_t options) {
        ns::NSDistributedNotificationCenter::defaultCenter().postNotificationName(name, std::nullopt,
                                                                                  userInfo, options);
    };
}

SockAddressHelper SockAddressHelper::initWithSockAddress(const net::SocketAddress& address) {
    return {address, platform::wallNow()};
}

// The handler the stream reader calls: it forwards to the session, naming the socket the loop
// serves, so a loop that no longer serves the client socket changes nothing.
class ScreenServer::ReadLoop final : public net::QNClientMessageHandler {
  public:
    ReadLoop(ScreenServer& session, Socket socket) : m_session(session), m_socket(std::move(socket)) {}
    void processClientHandshakeMsg(const net::QNClientHandshakeRecord& record) override {
        m_session.handshakeFromLoop(m_socket, record);
    }
    void processClientHeartBeatMsg() override { m_session.processClientHeartBeatMsg(); }
    bool processUpdateRequestMsg() override { return m_session.updateRequestFromLoop(m_socket); }

  private:
    ScreenServer& m_session;
    Socket m_socket;
};

// ---- Life -------------------------------------------------------------------------------------

ScreenServer::ScreenServer(uint16_t port) : m_poster(defaultDistributedPoster()), m_port(port) {
    setUpApplicationSharing();
}

std::shared_ptr<ScreenServer> ScreenServer::init() {
    return std::make_shared<ScreenServer>();
}

std::shared_ptr<ScreenServer> ScreenServer::initOnPort(uint16_t port) {
    return std::make_shared<ScreenServer>(port);
}

ScreenServer::~ScreenServer() {
    setState(kServerStateInit);
    for (const auto& token : m_observations)
        ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    stop();
    disconnectFromDevice();
    stopDisplayStream();
}

bool ScreenServer::start() {
    const Socket socket = clientSocket();
    auto served = [this, &socket] {
        return std::find(m_loopSockets.begin(), m_loopSockets.end(), socket.get()) != m_loopSockets.end();
    };
    if (socket) {
        std::lock_guard loops(m_loopMutex);
        if (served()) {
            platform::log("%@: start on a connection already served starts no second reader", description());
            return true;
        }
    }
    {
        std::lock_guard lock(m_sessionLock);
        if (m_observations.empty()) {
            auto& center = ns::NSNotificationCenter::defaultCenter();
            auto self = shared_from_this();
            m_observations.push_back(center.addObserver(self, &ScreenServer::serverConnectedToDevice,
                                                        std::string(foundation::kServerConnectedToDevice),
                                                        nullptr));
            m_observations.push_back(
                center.addObserver(self, &ScreenServer::serverDisconnectedFromDevice,
                                   std::string(foundation::kServerDisconnectedFromDevice), nullptr));
        }
        m_clientDisplayResolution = {};
        m_displayResolution = {};
        m_displayScale = 1.0;
    }
    setState(kServerStateInit);
    if (!socket) {
        platform::log("%@: started without a client connection", description());
        return true;
    }
    {
        std::lock_guard loops(m_loopMutex);
        if (served()) return true; // another start got there first
        m_loopSockets.push_back(socket.get());
    }
    if (!isUSB()) armHandshakeDeadline(socket);
    std::thread([self = shared_from_this(), socket] { self->clientListen(socket); }).detach();
    return true;
}

void ScreenServer::armHandshakeDeadline(const Socket& socket) {
    std::weak_ptr<ScreenServer> weakSelf = weak_from_this();
    std::weak_ptr<net::QNNetSocketProtocol> weakSocket = socket;
    dispatch::dispatch_after(
        dispatch::dispatch_time(dispatch::DISPATCH_TIME_NOW,
                                static_cast<int64_t>(kHandshakeDeadline * dispatch::NSEC_PER_SEC)),
        dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT),
        [weakSelf, weakSocket] {
            auto self = weakSelf.lock();
            auto socket = weakSocket.lock();
            if (!self || !socket) return;
            {
                std::lock_guard lock(self->m_sessionLock);
                if (self->m_clientSocket != socket || self->m_handshakenSocket.lock() == socket) return;
            }
            platform::log("%@: no handshake from %@ within 10 s of the accept; closing the connection",
                          self->description(), socket->knownClientAddr().description());
            // The read loop wakes, ends and resets the session, which closes the socket.
            socket->cancel();
        });
}

bool ScreenServer::stop() {
    std::shared_ptr<capture::QNBVellEncoderProtocol> encoder;
    {
        std::lock_guard lock(m_sessionLock);
        encoder = m_encoder;
    }
    if (encoder) encoder->stopSession();
    setState(kServerStateSleeping);
    setFrameBufferPort(0);
    std::lock_guard lock(m_sessionLock);
    // The disconnection notice, posted later, still names the device that went.
    if (m_connectedHostName)
        m_disconnectionCopy = DisconnectionCopy{m_connectedHostName, m_deviceIdentifier,
                                                m_connectedServiceKey, m_connectedAddressIdentifier};
    m_connectedAddressIdentifier.reset();
    m_connectedDisplayName.reset();
    m_connectedHostName.reset();
    m_connectedServiceKey.reset();
    m_deviceIdentifier.reset();
    return true;
}

ScreenServer::ResetTicket ScreenServer::beginReset() {
    std::lock_guard lock(m_sessionLock);
    for (Socket* slot : {&m_clientSocket, &m_sidebandSocket, &m_inSidebandSocket}) {
        if (*slot) (*slot)->close();
        slot->reset();
    }
    m_connectedAddress = net::SocketAddress();
    ++m_connectionGeneration;
    ResetTicket ticket{m_connectionGeneration, false};
    if (m_screen && !m_disconnecting) {
        m_disconnecting = true;
        ticket.disconnect = true;
    }
    return ticket;
}

void ScreenServer::finishReset(const ResetTicket& ticket) {
    // Outside the session's lock: the monitor's lock is never taken under it.
    if (m_applicationMonitor) m_applicationMonitor->fullReset();
    // Never wait for frameBufferLock while holding the session's lock (activation holds the
    // former and asks for the latter).
    if (ticket.disconnect) {
        disconnectFromDevice();
        std::lock_guard lock(m_sessionLock);
        m_disconnecting = false;
    }
    std::lock_guard lock(m_sessionLock);
    if (m_connectionGeneration != ticket.generation) return; // a new connection has the session now
    m_isUSB.store(false);
    stopMouseUpdates();
    m_attachedClientId = 0;
    setState(kServerStateAwaitingHandshake);
}

void ScreenServer::reset() {
    finishReset(beginReset());
}

bool ScreenServer::isActive() {
    const Socket socket = clientSocket();
    if (socket && socket->isOpen()) return true;
    return isInBackground();
}

bool ScreenServer::isInBackground() {
    std::shared_ptr<input::QNDesktopReflectorPanel> panel;
    {
        std::lock_guard lock(m_sessionLock);
        panel = m_displayReflector;
    }
    return panel && panel->updating();
}

double ScreenServer::refreshRate() {
    auto current = encoder();
    if (current && current->drivesFrameClock()) return current->drivenFramerate();
    std::lock_guard lock(m_sessionLock);
    return m_activeFrameRate;
}

// ---- Accepting --------------------------------------------------------------------------------

void ScreenServer::acceptedNewClientSocket(const Socket& socket) {
    if (!socket) return;
    if (!dispatch::isMainThread()) {
        ns::performSelectorOnMainThread(
            [self = shared_from_this(), socket] { self->acceptedNewClientSocket(socket); }, false);
        return;
    }
    if (isUSB()) {
        if (state() == kServerStateSleeping) start();
        return;
    }
    const Socket current = clientSocket();
    if (!current || !current->isConnected() || current == socket) {
        setClientSocket(socket);
        start();
        dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [self = shared_from_this()] {
            self->postDistributed(foundation::kServerRespondedToConnectRequest, std::nullopt,
                                  ns::NSNotificationPostToAllSessions);
        });
        return;
    }
    // The display is held: tell the newcomer who holds it. A client that holds it itself
    // answers with that id and takes the session over.
    const uint64_t holder = attachedClientId();
    net::QNSessionMessageWriter(*socket).sendBusy(holder);
    if (holder == 0) {
        socket->close();
        return;
    }
    // The echo may take up to the read time-out: read it on a global queue so the main thread
    // never waits, and decide back on the main thread.
    std::weak_ptr<ScreenServer> weak = weak_from_this();
    dispatch::dispatch_async(
        dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT), [weak, socket] {
            std::array<uint8_t, net::QNBusyAnswer::kSize> bytes{};
            std::optional<uint64_t> echoed;
            if (socket->getClientBytes(bytes.data(), bytes.size()))
                echoed = net::QNBusyAnswer::decode(bytes)->clientId;
            dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [weak, socket, echoed] {
                if (auto self = weak.lock())
                    self->busyAnswerArrived(socket, echoed);
                else
                    socket->close();
            });
        });
}

void ScreenServer::busyAnswerArrived(const Socket& socket, std::optional<uint64_t> echoedId) {
    const uint64_t holder = attachedClientId();
    if (!echoedId || holder == 0 || *echoedId != holder) {
        if (!echoedId)
            platform::log("%@: no busy answer from the new connection; closing it", description());
        else
            platform::log("%@: busy answer 0x%llx does not name the session's client; closing it",
                          description(), *echoedId);
        socket->close();
        return;
    }
    stop();
    reset();
    ns::performSelectorOnMainThread(
        [self = shared_from_this(), socket] { self->acceptedNewClientSocket(socket); }, false);
}

void ScreenServer::vellConnectReceivedConnectionRequest(const std::string& request) {
    platform::log("vellConnectReceivedConnectionRequest:%@", request);
}

void ScreenServer::socketIsExperiencingLatency(double) {}

// ---- The read loop ----------------------------------------------------------------------------

void ScreenServer::clientListen(const Socket& socket) {
    socket->setDelegate(std::weak_ptr<net::QNNetSocketDelegate>(weak_from_this()));
    auto app = BaseLimnerAppDelegate::appDelegate();
    const int32_t protocol = app->activeProtocol();
    if (protocol == 1 || protocol == 3) {
        net::QNSessionMessageWriter(*socket).sendServerHello();
        app->wakeScreen();
    }
    ReadLoop handler(*this, socket);
    net::QNClientStreamReader reader(*socket);
    while (reader.readMessage(handler) == net::QNClientStreamReader::Outcome::Continue) {
    }
    endReadLoop(socket);
    std::lock_guard loops(m_loopMutex);
    std::erase(m_loopSockets, socket.get());
    m_loopsChanged.notify_all();
}

void ScreenServer::endReadLoop(const Socket& socket) {
    std::optional<ResetTicket> ticket;
    uint64_t generation = 0;
    {
        std::lock_guard lock(m_sessionLock);
        if (m_clientSocket != socket) {
            // Replaced: the session serves another connection (or none) and is left alone.
            socket->close();
            return;
        }
        const bool keepDisplay =
            isActive() && state() != kServerStateSleeping && displayLocalClientWindow() && !isUSB();
        if (keepDisplay) {
            // The panel is a main-thread object: it is made (on first use) and shown there.
            ns::performSelectorOnMainThread(
                [self = shared_from_this()] {
                    if (auto panel = self->displayReflector()) panel->showWithAnimation();
                },
                false);
            stop();
            generation = m_connectionGeneration;
        } else {
            stop();
            ticket = beginReset();
            generation = ticket->generation;
        }
    }
    if (ticket) finishReset(*ticket);
    std::lock_guard lock(m_sessionLock);
    if (m_connectionGeneration != generation) return;
    {
        // Beyond the open pen stroke, every button and modifier key this connection still holds
        // is let go: a device gone mid-drag would otherwise leave the Mac's button or Command key
        // down under whatever the user does next on it.
        std::lock_guard input(inputLock());
        stylusEventEnded(lastMouseDownPoint(), eventPressure(), eventButtons());
        releaseHeldInput();
    }
    stopMouseUpdates();
}

size_t ScreenServer::readLoopCount() const {
    std::lock_guard loops(m_loopMutex);
    return m_loopSockets.size();
}

bool ScreenServer::waitForReadLoopCount(size_t count, platform::TimePoint deadline) const {
    std::unique_lock loops(m_loopMutex);
    return platform::waitUntil(m_loopsChanged, loops, deadline,
                               [&] { return m_loopSockets.size() == count; });
}

void ScreenServer::processClientHandshakeMsg(const net::QNClientHandshakeRecord& record) {
    handshakeFromLoop(clientSocket(), record);
}

void ScreenServer::handshakeFromLoop(const Socket& socket, const net::QNClientHandshakeRecord& record) {
    const net::QNClientHandshake& handshake = record.handshake;
    net::QNProtocolVersionInfo version;
    {
        std::lock_guard lock(m_sessionLock);
        if (!socket || m_clientSocket != socket) {
            platform::log("%@: handshake from a replaced connection ignored", description());
            return;
        }
        m_handshakenSocket = socket;
        m_protocolVersionInfo.majorversion = handshake.majorversion;
        m_protocolVersionInfo.minorversion = handshake.minorversion;
        m_protocolVersionInfo.subversion = handshake.subversion;
        version = m_protocolVersionInfo;
        m_attachedClientId = handshake.capabilities.gateletClientId;
        m_capabilities = handshake.capabilities;
        m_requestedDisplaySize = static_cast<uint32_t>(handshake.nominalWidth) |
                                 (static_cast<uint32_t>(handshake.nominalHeight) << 16);
        if (theySpeakProtocolVersion(version, 3, 0, 0)) {
            m_connectedDisplayName = handshake.deviceNameText();
            m_deviceIdentifier = handshake.deviceIdentifierText();
            m_devicePlatform = handshake.devicePlatformText();
        }
    }
    cacheIconHashes(record.iconHashes);
    net::QNClientHandshake copy = handshake;
    copy.displayMode = 0;
    activateOrChangeDisplayOnGlobalQueue(copy, false);
    startMouseUpdates();
    const bool jpeg = encoderClass() == capture::QNBJPEGVellEncoderClass();
    if (auto current = encoder()) current->setLousyClient(version.majorversion <= 2 && jpeg);
}

void ScreenServer::processClientHeartBeatMsg() {
    // The reader has consumed the heartbeat's 8 bytes; nothing else to do.
}

bool ScreenServer::processUpdateRequestMsg() {
    return updateRequestFromLoop(clientSocket());
}

bool ScreenServer::updateRequestFromLoop(const Socket& socket) {
    if (auto current = encoder(); current && current->drivesFrameClock()) current->waitForNextFrame();
    BaseLimnerAppDelegate::appDelegate()->removeScreenSaver();
    bool stopFlag = false;
    if (state() == kServerStateActivated) {
        if (screenUpdate(&stopFlag)) return stopFlag;
    } else {
        std::shared_ptr<capture::QNBVellEncoderProtocol> current;
        {
            std::lock_guard lock(m_sessionLock);
            current = m_encoder;
        }
        if (current) current->updateRequestAnsweredEmpty(); // the request frees its slot all the same
    }
    if (socket) net::QNSessionMessageWriter(*socket).sendEmptyUpdate(protocolVersionInfo().majorversion);
    return stopFlag;
}

void ScreenServer::notifyClientOfResolutionChange(cg::CGSize size, bool forceReply) {
    Socket socket;
    net::QNProtocolVersionInfo version;
    uint16_t requestNumber = 0;
    {
        std::lock_guard lock(m_sessionLock);
        const bool same =
            size.width == m_clientDisplayResolution.width && size.height == m_clientDisplayResolution.height;
        m_clientDisplayResolution = size;
        if (!forceReply && same) return;
        version = m_protocolVersionInfo;
        if (!clientReceivesResolution(version)) return;
        if (!m_clientDisplayRequests.empty()) {
            const uint32_t first = m_clientDisplayRequests.front();
            requestNumber = static_cast<uint16_t>(first);
            std::erase(m_clientDisplayRequests, first); // a number queued twice is answered once
        }
        socket = m_clientSocket;
    }
    if (socket)
        net::QNSessionMessageWriter(*socket).sendResolution(wireSize(size.width), wireSize(size.height),
                                                       requestNumber, version);
}

// ---- Accepted addresses -----------------------------------------------------------------------

void ScreenServer::cleanAcceptedAddresses() {
    const double now = platform::wallNow();
    std::lock_guard lock(m_sessionLock);
    std::erase_if(m_acceptedAddresses, [now](const SockAddressHelper& entry) {
        return now - entry.creationDate >= foundation::kIPv6TimeoutInterval;
    });
}

bool ScreenServer::successfulConnectionForAddress(const net::SocketAddress& address) {
    cleanAcceptedAddresses();
    // The 16 bytes at offset 8 of the address record: an IPv6 socket address's address.
    constexpr size_t kOffset = 8, kLength = 16;
    const auto wanted = address.recordBytes();
    std::lock_guard lock(m_sessionLock);
    for (const auto& entry : m_acceptedAddresses) {
        const auto bytes = entry.sockAddress.recordBytes();
        if (std::equal(bytes.begin() + kOffset, bytes.begin() + kOffset + kLength,
                       wanted.begin() + kOffset)) {
            platform::log("found previous IPv6 connection");
            return true;
        }
    }
    return false;
}

void ScreenServer::addAcceptedAddress(const net::SocketAddress& address) {
    std::lock_guard lock(m_sessionLock);
    m_acceptedAddresses.push_back(SockAddressHelper::initWithSockAddress(address));
}

std::vector<SockAddressHelper> ScreenServer::acceptedAddresses() const {
    std::lock_guard lock(m_sessionLock);
    return m_acceptedAddresses;
}

std::shared_ptr<ScreenServer> ScreenServer::serverForDeviceName(const std::string& name) {
    const auto host = connectedHostName();
    return host && *host == name ? shared_from_this() : nullptr;
}

std::string ScreenServer::description() {
    const int32_t current = state();
    std::string text = platform::format("<%@: %p; state=%@", "ScreenServer", static_cast<const void*>(this),
                                        NSStringFromServerState(current));
    if (current != kServerStateSleeping)
        text += platform::format("; host = %@", connectedHostName().value_or("Unknown"));
    if (current == kServerStateActivated) text += platform::format("; displayID = %i", displayID());
    return text + ">";
}

// ---- Accessors --------------------------------------------------------------------------------

void ScreenServer::setState(int32_t state) {
    m_state.store(state);
    if (auto observer = std::atomic_load(&m_stateObserver)) (*observer)(state);
}

void ScreenServer::setStateObserver(StateObserver observer) {
    std::atomic_store(&m_stateObserver,
                      observer ? std::make_shared<const StateObserver>(std::move(observer)) : nullptr);
}

std::shared_ptr<ScreenServerMediatorInterface> ScreenServer::mediator() const {
    std::lock_guard lock(m_sessionLock);
    return m_mediator.lock();
}

void ScreenServer::setMediator(std::weak_ptr<ScreenServerMediatorInterface> mediator) {
    std::lock_guard lock(m_sessionLock);
    m_mediator = std::move(mediator);
}

void ScreenServer::setDistributedPoster(DistributedPoster poster) {
    std::lock_guard lock(m_sessionLock);
    m_poster = poster ? std::move(poster) : defaultDistributedPoster();
}

ScreenServer::Socket ScreenServer::clientSocket() const {
    std::lock_guard lock(m_sessionLock);
    return m_clientSocket;
}

void ScreenServer::setClientSocket(Socket socket) {
    Socket old;
    {
        std::lock_guard lock(m_sessionLock);
        if (m_clientSocket == socket) return;
        old = std::exchange(m_clientSocket, std::move(socket));
        ++m_connectionGeneration;
    }
    // Its reader wakes, finds itself replaced, closes it and leaves the session alone.
    if (old) old->cancel();
}

bool ScreenServer::servesClientSocket(const Socket& socket) const {
    std::lock_guard lock(m_sessionLock);
    return socket && m_clientSocket == socket;
}

#define SESSION_FIELD(Type, getter, setter, member)                                                          \
    Type ScreenServer::getter() const {                                                                      \
        std::lock_guard lock(m_sessionLock);                                                                 \
        return member;                                                                                       \
    }                                                                                                        \
    void ScreenServer::setter(Type value) {                                                                  \
        std::lock_guard lock(m_sessionLock);                                                                 \
        member = std::move(value);                                                                           \
    }

SESSION_FIELD(ScreenServer::Socket, sidebandSocket, setSidebandSocket, m_sidebandSocket)
SESSION_FIELD(ScreenServer::Socket, inSidebandSocket, setInSidebandSocket, m_inSidebandSocket)
SESSION_FIELD(ScreenServer::Socket, asyncSocket, setAsyncSocket, m_asyncSocket)
SESSION_FIELD(uint32_t, requestedDisplaySize, setRequestedDisplaySize, m_requestedDisplaySize)
SESSION_FIELD(uint64_t, attachedClientId, setAttachedClientId, m_attachedClientId)
SESSION_FIELD(std::deque<uint32_t>, clientDisplayRequests, setClientDisplayRequests, m_clientDisplayRequests)
SESSION_FIELD(uint32_t, numberOfClientDisplayRequests, setNumberOfClientDisplayRequests,
              m_numberOfClientDisplayRequests)
SESSION_FIELD(std::optional<std::string>, deviceIdentifier, setDeviceIdentifier, m_deviceIdentifier)
SESSION_FIELD(std::optional<std::string>, devicePlatform, setDevicePlatform, m_devicePlatform)
SESSION_FIELD(std::optional<std::string>, connectedDisplayName, setConnectedDisplayName,
              m_connectedDisplayName)
SESSION_FIELD(std::optional<std::string>, connectedHostName, setConnectedHostName, m_connectedHostName)
SESSION_FIELD(std::optional<std::string>, connectedServiceKey, setConnectedServiceKey, m_connectedServiceKey)
SESSION_FIELD(std::optional<std::string>, connectedAddressIdentifier, setConnectedAddressIdentifier,
              m_connectedAddressIdentifier)
SESSION_FIELD(uint64_t, connectionMechanism, setConnectionMechanism, m_connectionMechanism)
SESSION_FIELD(cg::CGSize, clientDisplayResolution, setClientDisplayResolution, m_clientDisplayResolution)
SESSION_FIELD(cg::CGSize, displayResolution, setDisplayResolution, m_displayResolution)
SESSION_FIELD(double, displayScale, setDisplayScale, m_displayScale)
SESSION_FIELD(std::shared_ptr<display::QNBDisplaySet>, screen, setScreen, m_screen)

#undef SESSION_FIELD

std::optional<input::InputGeometry> ScreenServer::inputGeometry() const {
    const auto set = screen();
    if (!set) return std::nullopt;
    return input::InputGeometry{set->cursorScale(), set->scaleCorrectedDisplayBounds(), set->frame()};
}

net::QNProtocolVersionInfo ScreenServer::protocolVersionInfo() const {
    std::lock_guard lock(m_sessionLock);
    return m_protocolVersionInfo;
}

void ScreenServer::setProtocolVersionInfo(const net::QNProtocolVersionInfo& version) {
    std::lock_guard lock(m_sessionLock);
    m_protocolVersionInfo = version;
}

net::QNCapabilities ScreenServer::capabilities() const {
    std::lock_guard lock(m_sessionLock);
    return m_capabilities;
}

void ScreenServer::setCapabilities(const net::QNCapabilities& capabilities) {
    std::lock_guard lock(m_sessionLock);
    m_capabilities = capabilities;
}

net::SocketAddress ScreenServer::connectedAddress() const {
    std::lock_guard lock(m_sessionLock);
    return m_connectedAddress;
}

void ScreenServer::setConnectedAddress(const net::SocketAddress& address) {
    std::lock_guard lock(m_sessionLock);
    m_connectedAddress = address;
}

double ScreenServer::encodingTime() const {
    std::lock_guard lock(m_sessionLock);
    return m_encodingTime;
}

} // namespace server
