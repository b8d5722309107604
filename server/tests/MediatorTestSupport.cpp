#include "server/tests/MediatorTestSupport.h"

#include "foundation/Vocabulary.h"

#include <arpa/inet.h>

namespace server::testing {

net::SocketAddress v4(const std::string& text, uint16_t port) {
    in_addr address{};
    ::inet_pton(AF_INET, text.c_str(), &address);
    return net::SocketAddress::ipv4(address, port);
}

net::SocketAddress v6(const std::string& text, uint16_t port) {
    in6_addr address{};
    ::inet_pton(AF_INET6, text.c_str(), &address);
    return net::SocketAddress::ipv6(address, port);
}

MediatorFixture::MediatorFixture() {
    ScreenServerMediator::Collaborators c;
    c.makeSocket = [this] {
        auto socket = std::make_shared<MemorySocket>();
        (listener ? inSideband : listener) = socket;
        return socket;
    };
    c.makeDatagramSocket = [this](int family) {
        auto socket = std::make_shared<MemorySocket>(net::SocketAddress(), family);
        datagramSockets.push_back(socket);
        datagramSocketTimes.push_back(virtualTime);
        return socket;
    };
    c.resolveHost = [this](const std::string& host, int family, net::SocketAddress& address) {
        auto& names = family == AF_INET ? ipv4Names : ipv6Names;
        auto found = names.find(host);
        if (found == names.end()) return false;
        address = found->second;
        return true;
    };
    c.makeDriverClient = [](std::recursive_mutex&) { return std::shared_ptr<FramebufferDriverClient>(); };
    c.makeServer = [this](uint16_t port) {
        auto server = std::make_shared<RecordingServer>(port);
        server->setDistributedPoster(
            [posts = m_posts](const std::string& name, const std::optional<cf::Value>&, uint64_t) {
                std::lock_guard lock(posts->mutex);
                posts->names.push_back(name);
            });
        servers.push_back(server);
        return server;
    };
    c.wallNow = [this] { return wall; };
    c.sleepFor = [this](double seconds) {
        virtualTime += seconds;
        for (auto& [when, hook] : hooks)
            if (hook && virtualTime >= when) std::exchange(hook, nullptr)();
    };
    c.runOnGlobalQueue = [](ScreenServerMediator::Block block) { block(); };
    c.runOnMainThread = [](ScreenServerMediator::Block block) { block(); };
    c.isMainThread = [] { return true; };
    c.runOnSidebandQueue = [this](ScreenServerMediator::Block block) {
        sidebandLoops.push_back(std::move(block));
    };
    usbManager = usblink::QNBPeerTalkDeviceManager::create(nullptr);
    c.usbDeviceManager = [this] { return usbManager; };
    c.makeUSBSocket = [this](bool datagram, uint16_t port, int64_t deviceID, const std::string& tag) {
        UsbSocket made{std::make_shared<MemorySocket>(), datagram, port, deviceID, tag, virtualTime};
        if (onUsbSocket) onUsbSocket(made);
        std::lock_guard lock(m_usbMutex);
        m_usbSockets.push_back(made);
        return made.socket;
    };
    c.usbDeviceIDOf = [this](const ScreenServerMediator::Socket& socket) -> std::optional<int64_t> {
        std::lock_guard lock(m_usbMutex);
        for (const auto& made : m_usbSockets)
            if (made.socket == socket) return made.deviceID;
        return std::nullopt;
    };
    c.runOnHighPriorityQueue = [this](ScreenServerMediator::Block block) {
        usbLoops.push_back(std::move(block));
    };
    c.runOnNewSerialQueue = [](ScreenServerMediator::Block block) { block(); };
    mediator = ScreenServerMediator::initOnPort(ScreenServerMediator::kMainDataTrafficPort, std::move(c));
    mediator->start();
}

MediatorFixture::~MediatorFixture() {
    closeAll();
}

std::vector<MemorySocket::Datagram> MediatorFixture::invitations() const {
    std::vector<MemorySocket::Datagram> sent;
    for (const auto& socket : datagramSockets)
        for (const auto& datagram : socket->datagrams())
            sent.push_back(datagram);
    return sent;
}

std::shared_ptr<MemorySocket> MediatorFixture::connect(const net::SocketAddress& peer) {
    auto socket = std::make_shared<MemorySocket>(peer);
    m_clients.push_back(socket);
    mediator->acceptedNewClientSocket(socket);
    return socket;
}

cf::Value MediatorFixture::request(const std::string& host, const std::string& serviceKey,
                                   const std::string& displayName) const {
    return cf::Dictionary{{foundation::kConnectToHostName, host},
                          {foundation::kServiceKey, serviceKey},
                          {foundation::kDisplayNameKey, displayName},
                          {foundation::kConnectionInviteDate, cf::Value::date(wall)}};
}

void MediatorFixture::closeAll() {
    for (const auto& socket : m_clients)
        socket->close();
    for (const auto& made : usbSockets())
        made.socket->close();
    for (const auto& server : servers)
        server->waitForReadLoopCount(0, soon());
}

} // namespace server::testing
