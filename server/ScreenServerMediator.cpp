#include "server/ScreenServerMediator.h"

#include "display/QNBScreen.h"
#include "net/QNMessages.h"
#include "net/QNNetSocket.h"
#include "net/QNProtocolVersionInfo.h"
#include "net/SockAddrStorage.h"
#include "server/ScreenServer.h"

#include "usblink/QNBPeerTalkNetSocket.h"

#include "foundation/QNBBonjourServiceHelper.h"
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Thread.h"
#include "platform/foundation/PerformSelector.h"

#include <algorithm>
#include <cstring>

namespace server {

namespace {

constexpr char kDisplayWasAddedNotification[] = "TSEDisplayWasAddedNotification";
constexpr char kDesktopShapeChangedNotification[] = "TSEDesktopShapeChangedNotification";

std::optional<std::string> textFor(const cf::Value& dictionary, std::string_view key) {
    const cf::Value* value = dictionary.find(key);
    if (!value || !value->asString()) return std::nullopt;
    return *value->asString();
}

// A sender matches a session's address when the record length, family and address agree;
// families other than IPv4 and IPv6 never match.
bool sameRoutingAddress(const net::SocketAddress& a, const net::SocketAddress& b) {
    if (!a.isPresent() || a.recordLengthByte() != b.recordLengthByte() || a.family() != b.family())
        return false;
    return a.isIPv4() ? a.ipv4Bytes() == b.ipv4Bytes() : a.ipv6Bytes() == b.ipv6Bytes();
}

// Same family and address; ports, lengths and scopes not compared.
bool sameFamilyAndAddress(const net::SocketAddress& a, const net::SocketAddress& b) {
    if (!a.isPresent() || a.family() != b.family()) return false;
    return a.isIPv4() ? a.ipv4Bytes() == b.ipv4Bytes() : a.ipv6Bytes() == b.ipv6Bytes();
}

} // namespace

// ---- PendingConnectRequest --------------------------------------------------------------------

std::optional<PendingConnectRequest> PendingConnectRequest::fromDictionary(const cf::Value& dictionary,
                                                                           std::string& why) {
    if (!dictionary.isDictionary()) {
        why = "the request is not a dictionary";
        return std::nullopt;
    }
    const cf::Value* host = dictionary.find(foundation::kConnectToHostName);
    if (!host) {
        why = "it has no connectToHostName";
        return std::nullopt;
    }
    if (!host->asString()) {
        why = "its connectToHostName is not a text";
        return std::nullopt;
    }
    const std::string& name = *host->asString();
    if (name.empty()) {
        why = "its connectToHostName is empty";
        return std::nullopt;
    }
    if (name.size() > kMaxHostNameBytes) {
        why = "its connectToHostName is longer than 255 bytes";
        return std::nullopt;
    }
    if (name.find('\0') != std::string::npos) {
        why = "its connectToHostName holds a NUL";
        return std::nullopt;
    }
    PendingConnectRequest request;
    request.connectToHostName = name;
    request.serviceKey = textFor(dictionary, foundation::kServiceKey);
    request.displayName = textFor(dictionary, foundation::kDisplayNameKey);
    if (const cf::Value* date = dictionary.find(foundation::kConnectionInviteDate)) {
        if (auto d = date->asDate())
            request.connectionInviteDate = *d;
        else if (date->isNumber())
            request.connectionInviteDate = date->doubleValue();
    }
    return request;
}

// ---- Making -----------------------------------------------------------------------------------

ScreenServerMediator::Collaborators ScreenServerMediator::Collaborators::standard() {
    Collaborators c;
    c.makeSocket = [] { return Socket(net::QNNetSocket::init()); };
    c.makeDatagramSocket = [](int family) {
        return Socket(net::QNNetSocket::initUDPClientWithFamily(family));
    };
    c.resolveHost = [](const std::string& host, int family, net::SocketAddress& address) {
        return net::QNNetSocket::getAddressForHost(host, family, SOCK_DGRAM, address);
    };
    c.makeDriverClient = [](std::recursive_mutex& lock) {
        return std::make_shared<FramebufferDriverClient>(lock);
    };
    c.makeServer = [](uint16_t port) { return ScreenServer::initOnPort(port); };
    c.wallNow = [] { return platform::wallNow(); };
    c.sleepFor = [](double seconds) { platform::sleepFor(seconds); };
    c.runOnGlobalQueue = [](Block block) {
        dispatch::dispatch_async(dispatch::dispatch_get_global_queue(0), std::move(block));
    };
    c.runOnMainThread = [](Block block) { ns::performSelectorOnMainThread(std::move(block), false); };
    c.isMainThread = [] { return dispatch::isMainThread(); };
    c.runOnSidebandQueue = [](Block block) {
        static auto queue = dispatch::dispatch_queue_create("sidebandsocket", nullptr);
        dispatch::dispatch_async(queue, std::move(block));
    };
    c.setDisplayConfigurationDelegate = [](std::weak_ptr<display::QNBDisplayConfigurationDelegate> delegate) {
        display::QNBDisplayConfiguration::displayConfigurationManager()->setDelegate(std::move(delegate));
    };
    c.usbDeviceManager = [] { return usblink::QNBPeerTalkDeviceManager::peerTalkManager(); };
    c.makeUSBSocket = [](bool datagram, uint16_t port, int64_t deviceID, const std::string& tag) {
        auto socket = datagram ? usblink::QNBPeerTalkNetSocket::initUDPWithPort(port, deviceID)
                               : usblink::QNBPeerTalkNetSocket::initWithPort(port, deviceID);
        if (socket) socket->setTag(tag);
        return Socket(socket);
    };
    c.usbDeviceIDOf = [](const Socket& socket) -> std::optional<int64_t> {
        auto usb = std::dynamic_pointer_cast<usblink::QNBPeerTalkNetSocket>(socket);
        return usb ? usb->deviceID() : std::nullopt;
    };
    c.runOnHighPriorityQueue = [](Block block) {
        dispatch::dispatch_async(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_HIGH),
                                 std::move(block));
    };
    c.runOnNewSerialQueue = [](Block block) {
        dispatch::dispatch_async(dispatch::dispatch_queue_create("", nullptr), std::move(block));
    };
    c.preferences = &foundation::QNBPreferences::sharedAppPrefs();
    return c;
}

std::shared_ptr<ScreenServerMediator> ScreenServerMediator::sharedInstance() {
    static std::once_flag once;
    static std::shared_ptr<ScreenServerMediator> instance;
    std::call_once(once, [] {
        instance = initOnPort(kMainDataTrafficPort, Collaborators::standard());
        if (auto error = instance->start())
            platform::log("Error starting screen server mediator: %@", *error);
    });
    return instance;
}

ScreenServerMediator::ScreenServerMediator(uint16_t port, Collaborators collaborators)
    : m_port(port), m_env(std::move(collaborators)) {}

std::shared_ptr<ScreenServerMediator> ScreenServerMediator::initOnPort(uint16_t port,
                                                                       Collaborators collaborators) {
    auto mediator = std::make_shared<ScreenServerMediator>(port, std::move(collaborators));
    mediator->setUp();
    return mediator;
}

void ScreenServerMediator::setUp() {
    bool localWindow = m_env.preferences && m_env.preferences->displayLocalClientWindow();
    bool retina = m_env.preferences && m_env.preferences->retinaResolutionsEnabled();
    std::weak_ptr<ScreenServerMediatorInterface> self = shared_from_this();
    for (size_t i = 0; i < kTotalAvailableScreens; ++i) {
        auto server = m_env.makeServer(m_port);
        server->setMediator(self);
        server->setDisplayLocalClientWindow(localWindow);
        server->enableRetinaResolutions(retina, false);
        m_servers.push_back(server);
    }
    m_driver = m_env.makeDriverClient(m_lock);
    if (m_driver) m_driver->setServers(m_servers);
    // Observed for nothing more than their arrival.
    auto& center = ns::NSNotificationCenter::defaultCenter();
    for (const char* name : {kDisplayWasAddedNotification, kDesktopShapeChangedNotification})
        m_observations.push_back(center.addObserverForName(name, nullptr, [](const ns::NSNotification&) {}));
}

ScreenServerMediator::~ScreenServerMediator() {
    for (const auto& token : m_observations)
        ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    for (const auto& socket : {asyncSocket(), inSidebandSocket()})
        if (socket) socket->cancel();
}

std::optional<platform::Error> ScreenServerMediator::start() {
    if (m_env.setDisplayConfigurationDelegate) m_env.setDisplayConfigurationDelegate(weak_from_this());
    if (m_env.usbDeviceManager) {
        if (auto manager = m_env.usbDeviceManager()) manager->setDelegate(weak_from_this());
    }
    Socket socket = m_env.makeSocket();
    {
        std::lock_guard lock(m_socketsMutex);
        m_asyncSocket = socket;
    }
    if (!socket) return platform::Error::posix(ENOMEM);
    platform::Error error;
    if (!socket->listenOnPort(m_port, weak_from_this(), &error)) return error;
    return std::nullopt;
}

void ScreenServerMediator::stop() {
    for (const auto& server : m_servers)
        disableDisplay(*server);
    for (iokit::io_connect_t connection : dataPorts())
        if (connection != 0) closeService(connection);
}

// ---- The invite road --------------------------------------------------------------------------

void ScreenServerMediator::connectToScreenServerWithDictionary(const cf::Value& dictionary) {
    std::string why;
    auto request = PendingConnectRequest::fromDictionary(dictionary, why);
    if (!request) {
        platform::log("Refusing connect request: %s; nothing stored or sent", why);
        return;
    }
    cleanConnectionDictionaries();
    // Resolving may take long: no lock is held meanwhile.
    const std::string& host = request->connectToHostName;
    net::SocketAddress resolved;
    if (m_env.resolveHost(host, AF_INET, resolved) && resolved.isIPv4()) request->ipv4Address = resolved;
    resolved = net::SocketAddress();
    if (m_env.resolveHost(host, AF_INET6, resolved) && resolved.isIPv6()) request->ipv6Address = resolved;
    auto ipv4 = request->ipv4Address;
    auto ipv6 = request->ipv6Address;
    {
        std::lock_guard lock(m_requestsMutex);
        m_connectionDataArray.push_back(*request);
    }
    if (ipv4) {
        auto mapped = net::CreateIPv4MappedIPv6Address(*ipv4);
        platform::log("Resolved IPv4 address: %s   (%@)", ipv4->numericHost(),
                      mapped ? net::AddressStringFromSockAddrStorage(*mapped).value_or("") : std::string());
    } else {
        platform::log("Could not resolve IPv4 address");
    }
    if (ipv6)
        platform::log("Resolved IPv6 address:%s", ipv6->numericHost());
    else
        platform::log("Could not resolve IPv6 address");

    std::weak_ptr<ScreenServerMediator> weak = weak_from_this();
    m_env.runOnGlobalQueue([weak, host, ipv4, ipv6] {
        if (auto self = weak.lock()) self->inviteRoad(host, ipv4, ipv6);
    });
}

void ScreenServerMediator::inviteRoad(const std::string& hostName, std::optional<net::SocketAddress> ipv4,
                                      std::optional<net::SocketAddress> ipv6) {
    platform::log("waiting...");
    bool answered = false;
    if (ipv6) {
        connectServerToHostName(*ipv6, hostName);
        for (int i = 0; i < kIPv6Polls && !answered; ++i) {
            m_env.sleepFor(kIPv6TimeoutInterval / kIPv6Polls);
            answered = successfulConnectionForAddress(*ipv6);
        }
    }
    platform::log("Done waiting...");
    if (!answered && ipv6) answered = successfulConnectionForAddress(*ipv6);
    if (!answered && ipv4) connectServerToHostName(*ipv4, hostName);
}

void ScreenServerMediator::connectServerToHostName(const net::SocketAddress& address,
                                                   const std::string& deviceName) {
    (void)deviceName; // the device answers to its address alone
    sendInvite(address);
}

void ScreenServerMediator::sendInvite(const net::SocketAddress& address) {
    if (!address.isPresent()) return;
    Socket socket = m_env.makeDatagramSocket(address.family());
    if (!socket) {
        platform::log("Could not create a socket to invite %@", address.description());
        return;
    }
    socket->setKnownClientAddr(address);
    auto hello = net::serverHandShakeMessage();
    if (!socket->sendDatagram(hello.data(), hello.size(), socket.get(), kClientSidebandPort))
        platform::log("Could not send the invitation to %@", address.description());
    socket->close();
}

void ScreenServerMediator::cleanConnectionDictionaries() {
    double now = m_env.wallNow();
    std::lock_guard lock(m_requestsMutex);
    std::erase_if(m_connectionDataArray, [&](const PendingConnectRequest& request) {
        return !request.connectionInviteDate || now - *request.connectionInviteDate > kConnectRequestLifetime;
    });
}

bool ScreenServerMediator::successfulConnectionForAddress(const net::SocketAddress& address) {
    for (const auto& server : m_servers) {
        Socket client = server->clientSocket();
        if (!client || !server->isActive()) continue;
        net::SocketAddress known = client->knownClientAddr();
        if (net::CompareIPv6SockAddrStorage(&known, &address)) return true;
    }
    return false;
}

std::vector<PendingConnectRequest> ScreenServerMediator::connectionDataArray() const {
    std::lock_guard lock(m_requestsMutex);
    return m_connectionDataArray;
}

// ---- Accepting --------------------------------------------------------------------------------

void ScreenServerMediator::acceptedNewClientSocket(const Socket& socket) {
    if (!socket) return;
    if (m_env.isMainThread()) return acceptOnMainThread(socket);
    std::weak_ptr<ScreenServerMediator> weak = weak_from_this();
    m_env.runOnMainThread([weak, socket] {
        if (auto self = weak.lock()) self->acceptOnMainThread(socket);
    });
}

void ScreenServerMediator::acceptOnMainThread(const Socket& socket) {
    net::SocketAddress peer = socket->knownClientAddr();
    std::shared_ptr<ScreenServer> server = attemptToReconnectServerFromAddress(peer);
    if (server) {
        if (auto reflector = server->displayReflector()) {
            m_env.runOnMainThread([reflector] { reflector->hideWithAnimation(); });
        }
    } else if ((server = nextAvailableServer())) {
        // Outside the mediator's lock: reset may wait for an activation's frameBufferLock.
        server->reset();
    }
    if (!server) {
        platform::log("All screens are busy; refusing the connection from %@", peer.description());
        auto busy = net::QNBusyMsg{attachedClientId()}.encode();
        {
            std::lock_guard lock(*socket);
            socket->sendBytes(busy.data(), busy.size());
        }
        socket->close();
        return;
    }
    connectIPScreenServer(server, socket);
}

std::shared_ptr<ScreenServer>
ScreenServerMediator::attemptToReconnectServerFromAddress(const net::SocketAddress& address) {
    std::lock_guard lock(m_lock);
    for (const auto& server : m_servers)
        if (server->isActive() && sameFamilyAndAddress(server->connectedAddress(), address)) return server;
    return nullptr;
}

std::shared_ptr<ScreenServer> ScreenServerMediator::nextAvailableServer() {
    std::lock_guard lock(m_lock);
    for (size_t i = 0; i < m_servers.size(); ++i) {
        if (m_reserved[i] || m_servers[i]->isActive()) continue;
        m_reserved[i] = true;
        return m_servers[i];
    }
    return nullptr;
}

void ScreenServerMediator::releaseReservation(const ScreenServer* server) {
    std::lock_guard lock(m_lock);
    int index = indexOfSubScreen(server);
    if (index >= 0 && static_cast<size_t>(index) < m_reserved.size())
        m_reserved[static_cast<size_t>(index)] = false;
}

void ScreenServerMediator::connectIPScreenServer(const std::shared_ptr<ScreenServer>& server,
                                                 const Socket& socket) {
    server->setIsUSB(false);
    server->setClientSocket(socket);
    releaseReservation(server.get());
    startSidebandListener();

    net::SocketAddress peer = socket->knownClientAddr();
    if (Socket sideband = m_env.makeDatagramSocket(peer.isPresent() ? peer.family() : AF_INET6)) {
        sideband->setKnownClientAddr(peer);
        sideband->setHasClientAddr(true);
        server->setSidebandSocket(sideband);
    } else {
        platform::log("Could not create the sideband socket to %@", peer.description());
    }
    server->setConnectedAddress(peer);

    if (auto request = takeMatchingRequest(peer)) {
        // Whatever the previous client spoke: a 3.0.0 or later handshake names the display
        // itself and overwrites this anyway.
        server->setConnectedDisplayName(request->displayName);
        server->setConnectedServiceKey(request->serviceKey);
        server->setConnectedHostName(request->connectToHostName);
        if (request->ipv4Address) {
            auto text = net::AddressStringFromSockAddrStorage(*request->ipv4Address);
            server->setConnectedAddressIdentifier(
                foundation::QNBBonjourServiceHelper::serviceKeyForAddressString(text.value_or("")));
        }
    } else {
        platform::log("Could not index connection data with socket address");
    }
    server->start();
}

std::optional<PendingConnectRequest>
ScreenServerMediator::takeMatchingRequest(const net::SocketAddress& peer) {
    std::lock_guard lock(m_requestsMutex);
    auto take = [&](auto field) -> std::optional<PendingConnectRequest> {
        for (auto it = m_connectionDataArray.begin(); it != m_connectionDataArray.end(); ++it) {
            const std::optional<net::SocketAddress>& address = (*it).*field;
            if (!address || !net::CompareSockAddrStorage(&*address, &peer)) continue;
            PendingConnectRequest request = std::move(*it);
            m_connectionDataArray.erase(it);
            return request;
        }
        return std::nullopt;
    };
    if (auto request = take(&PendingConnectRequest::ipv6Address)) return request;
    return take(&PendingConnectRequest::ipv4Address);
}

void ScreenServerMediator::startSidebandListener() {
    Socket socket;
    {
        std::lock_guard lock(m_socketsMutex);
        if (m_inSidebandSocket) return;
        socket = m_env.makeSocket();
        if (!socket) {
            platform::log("Could not create the sideband socket on port %d", kServerSidebandPort);
            return;
        }
        m_inSidebandSocket = socket;
    }
    std::weak_ptr<ScreenServerMediator> weak = weak_from_this();
    m_env.runOnSidebandQueue([weak, socket] {
        socket->listenForDatagramsOnPort(kServerSidebandPort, weak);
        // The loop ended (its port refused, say): the next network connection starts another.
        platform::log("The sideband datagram loop on port %d ended; the next connection starts it again",
                      kServerSidebandPort);
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->m_socketsMutex);
            if (self->m_inSidebandSocket == socket) self->m_inSidebandSocket.reset();
        }
    });
}

ScreenServerMediator::Socket ScreenServerMediator::inSidebandSocket() const {
    std::lock_guard lock(m_socketsMutex);
    return m_inSidebandSocket;
}

ScreenServerMediator::Socket ScreenServerMediator::asyncSocket() const {
    std::lock_guard lock(m_socketsMutex);
    return m_asyncSocket;
}

void ScreenServerMediator::datagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data,
                                                     const net::SocketAddress& fromAddress) {
    for (const auto& server : m_servers) {
        if (!server->isActive() || !sameRoutingAddress(server->connectedAddress(), fromAddress)) continue;
        server->datagramReceivedForSocket(socket, data);
        return;
    }
    // An unknown sender's datagram is dropped unread.
}

// ---- Disconnect requests ----------------------------------------------------------------------

void ScreenServerMediator::shutdownWithDictionary(const std::optional<cf::Value>& request) {
    if (!request || !request->isDictionary()) return;
    auto deviceIdentifier = textFor(*request, foundation::kDeviceIdentifier).value_or("");
    if (!deviceIdentifier.empty()) return shutdownForDeviceIdentifier(deviceIdentifier);
    auto serviceKey = textFor(*request, foundation::kServiceKey).value_or("");
    if (!serviceKey.empty()) {
        if (auto server = serverForServiceKey(serviceKey)) return shutdownServer(server);
    }
    auto hostName = textFor(*request, foundation::kDisconnectedHostName).value_or("");
    if (!hostName.empty()) shutdownHost(hostName);
}

void ScreenServerMediator::shutdownForDeviceIdentifier(const std::string& deviceIdentifier) {
    if (auto server = serverForDeviceIdentifier(deviceIdentifier)) shutdownServer(server);
}

void ScreenServerMediator::shutdownHost(const std::string& hostName) {
    if (auto server = serverForHostName(hostName)) shutdownServer(server);
}

void ScreenServerMediator::shutdownServer(const std::shared_ptr<ScreenServer>& server) {
    if (!server) return;
    // A session ended on purpose stays ended: the supervision loop would otherwise wake the
    // device on the cable again two seconds later.
    if (m_env.usbDeviceIDOf && server->isUSB())
        if (auto deviceID = m_env.usbDeviceIDOf(server->clientSocket())) {
            std::lock_guard lock(m_lock);
            m_releasedUSBDevices.insert(*deviceID);
        }
    server->stop();
    server->reset();
    if (auto reflector = server->displayReflector()) reflector->close();
}

// ---- Lookups ----------------------------------------------------------------------------------

std::shared_ptr<ScreenServer>
ScreenServerMediator::firstActive(const std::function<bool(ScreenServer&)>& matches) {
    for (const auto& server : m_servers)
        if (server->isActive() && matches(*server)) return server;
    return nullptr;
}

std::shared_ptr<ScreenServer> ScreenServerMediator::serverForHostName(const std::string& hostName) {
    return firstActive([&](ScreenServer& s) { return s.connectedHostName() == hostName; });
}

std::shared_ptr<ScreenServer>
ScreenServerMediator::serverForDeviceIdentifier(const std::string& deviceIdentifier) {
    return firstActive([&](ScreenServer& s) { return s.deviceIdentifier() == deviceIdentifier; });
}

std::shared_ptr<ScreenServer> ScreenServerMediator::serverForServiceKey(const std::string& serviceKey) {
    return firstActive([&](ScreenServer& s) { return s.connectedServiceKey() == serviceKey; });
}

int ScreenServerMediator::indexOfSubScreen(const ScreenServer* server) const {
    for (size_t i = 0; i < m_servers.size(); ++i)
        if (m_servers[i].get() == server) return static_cast<int>(i);
    return static_cast<int>(m_servers.size());
}

uint64_t ScreenServerMediator::activeServerCount() {
    return static_cast<uint64_t>(
        std::count_if(m_servers.begin(), m_servers.end(), [](auto& s) { return s->isActive(); }));
}

uint64_t ScreenServerMediator::backgroundServerCount() {
    return static_cast<uint64_t>(
        std::count_if(m_servers.begin(), m_servers.end(), [](auto& s) { return s->isInBackground(); }));
}

bool ScreenServerMediator::roomForOneMore() {
    return activeServerCount() < kTotalAvailableScreens;
}

uint64_t ScreenServerMediator::availableScreens() {
    std::lock_guard lock(m_lock);
    return static_cast<uint64_t>(
        std::count_if(m_servers.begin(), m_servers.end(), [](auto& s) { return !s->isActive(); }));
}

bool ScreenServerMediator::isActive() {
    std::lock_guard lock(m_lock);
    return std::any_of(m_servers.begin(), m_servers.end(), [](auto& s) { return s->isActive(); });
}

cg::CGRect ScreenServerMediator::boundsForDisplayName(const std::string& displayName) {
    for (const auto& server : m_servers) {
        if (server->connectedDisplayName() != displayName) continue;
        auto screen = server->screen();
        return screen ? screen->singleNormalizedDisplayBounds() : cg::CGRectZero;
    }
    return cg::CGRectNull;
}

int ScreenServerMediator::isVirtualScreen(const std::shared_ptr<appkit::NSScreen>& screen) {
    auto description = display::QNBScreen::userDescriptionForScreen(screen);
    if (!description) return 2;
    if (*description == display::QNBScreen::virtualDisplayNameString()) return 1;
    if (*description == display::QNBScreen::unknownDisplayString()) return 3;
    return 0;
}

// ---- Fan-outs ---------------------------------------------------------------------------------

void ScreenServerMediator::enableRetinaResolutions(bool enable, bool changeResolutionNow) {
    for (const auto& server : m_servers)
        server->enableRetinaResolutions(enable, changeResolutionNow);
}

void ScreenServerMediator::sendClientsNegotiationOf(uint16_t operation, uint16_t feature) {
    for (const auto& server : m_servers)
        server->sendNegotiationOf(operation, feature);
}

void ScreenServerMediator::enableVBLClientCallbacks() {
    for (const auto& server : m_servers)
        server->setSignalUserClientforVBL(true);
}

void ScreenServerMediator::screenReconfigured(uint32_t flags, display::CGDirectDisplayID display) {
    if (display == 0) return;
    for (const auto& server : m_servers)
        if (server->displayID() == display) server->screenReconfigured(flags);
}

// ---- The driver client ------------------------------------------------------------------------

bool ScreenServerMediator::setupUserClientWithError(platform::Error* error) {
    return m_driver && m_driver->setupUserClientWithError(error);
}

void ScreenServerMediator::closeService(iokit::io_connect_t connection) {
    if (m_driver) m_driver->closeService(connection);
}

std::array<iokit::io_connect_t, kFramebufferCount> ScreenServerMediator::dataPorts() const {
    return m_driver ? m_driver->dataPorts() : std::array<iokit::io_connect_t, kFramebufferCount>{};
}

void ScreenServerMediator::disableDisplay(ScreenServer& server) {
    if (m_driver) m_driver->disableDisplay(server);
}

std::shared_ptr<display::QNBDisplaySet>
ScreenServerMediator::enableDisplayWithDisplayModes(ScreenServer& server, const int* modes, size_t modeCount,
                                                    platform::Error* error) {
    return m_driver ? m_driver->enableDisplayWithDisplayModes(server, modes, modeCount, error) : nullptr;
}

// The cursor queries go to the driver client without the mediator's lock: each session's cursor
// loop asks several times a tick, and the driver client guards its own state, so holding the
// mediator's lock here would only make the sessions' loops wait on one another.
bool ScreenServerMediator::shouldQueryMouseOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
    return m_driver && m_driver->shouldQueryMouseOnDisplay(set);
}

bool ScreenServerMediator::mouseCursorChangedOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
    return m_driver && m_driver->mouseCursorChangedOnDisplay(set);
}

bool ScreenServerMediator::mouseCursorVisibleOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
    return m_driver && m_driver->mouseCursorVisibleOnDisplay(set);
}

cg::CGPoint
ScreenServerMediator::getMouseLocationOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
    return m_driver ? m_driver->getMouseLocationOnDisplay(set) : cg::CGPoint{};
}

std::shared_ptr<appkit::NSCursor>
ScreenServerMediator::mouseCursorOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
    return m_driver ? m_driver->mouseCursorOnDisplay(set) : nullptr;
}

cg::CGPoint ScreenServerMediator::mouseHotspot() { return m_driver ? m_driver->mouseHotspot() : cg::CGPoint{}; }

cg::CGPoint ScreenServerMediator::mouseHotspotOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
    return m_driver ? m_driver->mouseHotspotOnDisplay(set) : cg::CGPoint{};
}

} // namespace server
