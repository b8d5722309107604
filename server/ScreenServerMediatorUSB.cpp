// The mediator's USB road: each attached device is supervised by a loop of its own that wakes it
// over the sideband and connects a session's sockets to it while it is not served.
#include "server/ScreenServerMediator.h"

#include "net/QNMessages.h"
#include "server/ScreenServer.h"
#include "usblink/QNBPeerTalkNetSocket.h"

#include "platform/core/Log.h"

#include <atomic>
#include <string>
#include <vector>

namespace server {

void ScreenServerMediator::peerTalkDeviceConnected(int64_t deviceID, const cf::Value& properties) {
    (void)properties; // the device is reached by its identifier alone
    {
        std::lock_guard lock(m_lock);
        // Attached anew, a device the person disconnected is served again.
        m_releasedUSBDevices.erase(deviceID);
        // A repeated attach notice for a device still supervised starts no second loop.
        if (!m_supervisedUSBDevices.insert(deviceID).second) return;
    }
    std::weak_ptr<ScreenServerMediator> weak = weak_from_this();
    m_env.runOnHighPriorityQueue([weak, deviceID] {
        if (auto self = weak.lock()) self->superviseUSBDevice(deviceID);
    });
}

void ScreenServerMediator::peerTalkDeviceDisconnected(int64_t deviceID) {
    (void)deviceID; // the device's loop notices the detach by itself
}

bool ScreenServerMediator::usbDeviceAttached(int64_t deviceID) const {
    auto manager = m_env.usbDeviceManager ? m_env.usbDeviceManager() : nullptr;
    return manager && manager->hasDeviceID(deviceID);
}

std::set<int64_t> ScreenServerMediator::supervisedUSBDevices() {
    std::lock_guard lock(m_lock);
    return m_supervisedUSBDevices;
}

std::set<int64_t> ScreenServerMediator::releasedUSBDevices() {
    std::lock_guard lock(m_lock);
    return m_releasedUSBDevices;
}

bool ScreenServerMediator::deviceIsConnected(int64_t deviceID) {
    if (!m_env.usbDeviceIDOf) return false;
    for (const auto& server : m_servers) {
        Socket client = server->clientSocket();
        if (client && server->isActive() && m_env.usbDeviceIDOf(client) == deviceID) return true;
    }
    return false;
}

void ScreenServerMediator::superviseUSBDevice(int64_t deviceID) {
    for (;;) {
        {
            // Decided under the lock the attach notice takes: a device attached again just
            // as its loop ends either keeps this loop or starts a new one, never neither.
            std::lock_guard lock(m_lock);
            if (!usbDeviceAttached(deviceID)) {
                m_supervisedUSBDevices.erase(deviceID);
                m_releasedUSBDevices.erase(deviceID);
                return;
            }
        }
        if (!deviceIsConnected(deviceID) && !releasedUSBDevices().count(deviceID))
            wakeAndConnectUSBDevice(deviceID);
        m_env.sleepFor(kUSBWakeupInterval);
    }
}

bool ScreenServerMediator::wakeAndConnectUSBDevice(int64_t deviceID) {
    Socket wakeup = m_env.makeUSBSocket(true, usblink::kUSBClientSidebandPort, deviceID, "Wakeup Socket");
    if (!wakeup) {
        platform::log("Could not create the wake-up socket for USB device %lld",
                      static_cast<long long>(deviceID));
        return false;
    }
    // Set once the connect call has returned: before that a socket without its channel yet
    // is not open either.
    auto connectReturned = std::make_shared<std::atomic<bool>>(false);
    m_env.runOnNewSerialQueue([wakeup, connectReturned] {
        wakeup->connectToAddress(net::SocketAddress(), usblink::kUSBClientSidebandPort, nullptr);
        connectReturned->store(true);
    });
    while (!wakeup->isConnected()) {
        if (!usbDeviceAttached(deviceID)) {
            wakeup->close();
            return false;
        }
        if (connectReturned->load() && !wakeup->isOpen()) {
            // Its channel ended without connecting: the next pass tries a new socket.
            platform::log("The wake-up socket for USB device %lld ended unconnected",
                          static_cast<long long>(deviceID));
            wakeup->close();
            return false;
        }
        m_env.sleepFor(kUSBConnectPoll);
    }
    auto hello = net::serverHandShakeMessage();
    bool sent = wakeup->sendDatagram(hello.data(), hello.size(), net::SocketAddress());
    wakeup->close();
    if (!sent) {
        platform::log("Could not send the wake-up datagram to USB device %lld",
                      static_cast<long long>(deviceID));
        return false;
    }
    auto server = nextAvailableServer();
    if (!server) {
        // Checked before any of the session's sockets is made: none is left open.
        platform::log("All screens are busy; USB device %lld gets no session",
                      static_cast<long long>(deviceID));
        return false;
    }
    // Outside the mediator's lock: reset may wait for an activation's frameBufferLock.
    server->reset();
    connectUSBScreenServer(server, deviceID);
    return true;
}

void ScreenServerMediator::connectUSBScreenServer(const std::shared_ptr<ScreenServer>& server,
                                                  int64_t deviceID) {
    if (!server) return;
    server->setConnectedHostName("USB Device " + std::to_string(deviceID));
    server->setIsUSB(true);
    struct Wiring {
        bool datagram;
        uint16_t port;
        const char* tag;
    };
    const Wiring wirings[] = {
        {false, usblink::kUSBMainDataTrafficPort, "Client Socket"},
        {true, usblink::kUSBClientSidebandPort, "Sideband Socket"},
        {true, usblink::kUSBServerSidebandPort, "In-Sideband Socket"},
    };
    std::vector<Socket> sockets;
    for (const auto& wiring : wirings) {
        Socket socket = m_env.makeUSBSocket(wiring.datagram, wiring.port, deviceID, wiring.tag);
        if (!socket) {
            platform::log("Could not create the %s for USB device %lld", wiring.tag,
                          static_cast<long long>(deviceID));
            for (const auto& made : sockets)
                made->close();
            releaseReservation(server.get());
            return;
        }
        socket->setDelegate(server);
        sockets.push_back(socket);
    }
    server->setClientSocket(sockets[0]);
    server->setSidebandSocket(sockets[1]);
    server->setInSidebandSocket(sockets[2]);
    for (size_t i = 0; i < sockets.size(); ++i)
        sockets[i]->connectToAddress(net::SocketAddress(), wirings[i].port, nullptr);
    // Held until the connects have run: a USB socket is not open before its channel exists,
    // so the session would look free to another road meanwhile.
    releaseReservation(server.get());
    server->start();
}

} // namespace server
