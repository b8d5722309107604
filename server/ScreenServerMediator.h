// The process-wide owner of the four screen-server sessions, one per client device and virtual
// display. It listens for the devices' TCP connections, receives every network sideband
// datagram on one UDP socket and hands each to the session whose device sent it, runs the
// host's connect requests (resolve, invite by a datagram, wait for the device to call back),
// answers the host's disconnect requests, and holds the framebuffer driver client.
//
// Everything it reaches outside itself is a collaborator given at construction (sockets,
// host-name resolution, the driver client, the clock, queues, sessions), so tests build it
// over fake sockets on a fake clock; sharedInstance wraps one made with the real ones.
//
// Locks: the mediator's own recursive lock guards the walks that pick a session and the
// driver's cursor queries; the pending connect requests have a mutex of their own, never held
// while resolving, sleeping or sending.
#pragma once

#include "display/QNBDisplayConfiguration.h"
#include "net/QNNetSocketDelegate.h"
#include "net/SocketAddress.h"
#include "server/FramebufferDriverClient.h"
#include "server/ScreenServerMediatorInterface.h"

#include "usblink/QNBPeerTalkDeviceManager.h"

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace net {
class QNNetSocketProtocol;
} // namespace net

namespace appkit {
class NSScreen;
}
namespace foundation {
class QNBPreferences;
}

namespace server {

class ScreenServer;

// One connect request from the host, kept until its device calls back or, at the next
// request, until it is older than kConnectRequestLifetime.
struct PendingConnectRequest {
    static constexpr size_t kMaxHostNameBytes = 255;

    std::string connectToHostName; // a host name or a typed address
    std::optional<std::string> serviceKey;
    std::optional<std::string> displayName;
    std::optional<double> connectionInviteDate; // wall seconds since 2001
    std::optional<net::SocketAddress> ipv4Address;
    std::optional<net::SocketAddress> ipv6Address;

    // From the host's dictionary. The host name must be a text of 1 to 255 bytes without a
    // NUL (else nullopt, why saying what is wrong); a service key or display name that is no
    // text counts as absent; the invite date is a date or a number.
    static std::optional<PendingConnectRequest> fromDictionary(const cf::Value& dictionary, std::string& why);
};

class ScreenServerMediator final : public ScreenServerMediatorInterface,
                                   public net::QNNetSocketDelegate,
                                   public display::QNBDisplayConfigurationDelegate,
                                   public usblink::QNBPeerTalkDeviceManagerDelegate,
                                   public std::enable_shared_from_this<ScreenServerMediator> {
  public:
    static constexpr uint16_t kMainDataTrafficPort = 6001;
    static constexpr uint16_t kClientSidebandPort = 6000;
    static constexpr uint16_t kServerSidebandPort = 6002;
    static constexpr size_t kTotalAvailableScreens = 4;
    static constexpr double kIPv6TimeoutInterval = 3.5;
    static constexpr int kIPv6Polls = 1000;
    static constexpr double kConnectRequestLifetime = 30.0;
    // The USB road: the supervision loop's pass and the wake-up's connect poll.
    static constexpr double kUSBWakeupInterval = 2.0;
    static constexpr double kUSBConnectPoll = 0.1;

    using Socket = std::shared_ptr<net::QNNetSocketProtocol>;
    using Block = std::function<void()>;

    struct Collaborators {
        // A socket without a descriptor yet: the TCP listener of the main stream, and the one
        // inbound sideband socket (its receive loop binds UDP 6002).
        std::function<Socket()> makeSocket;
        // A UDP socket of a native family (AF_INET, AF_INET6) bound at a free port: invitations
        // and a session's outbound sideband.
        std::function<Socket(int family)> makeDatagramSocket;
        // Resolves a host name or typed address for a native family (datagram sockets).
        std::function<bool(const std::string& host, int family, net::SocketAddress& address)> resolveHost;
        // The driver client, given the mediator's lock.
        std::function<std::shared_ptr<FramebufferDriverClient>(std::recursive_mutex& lock)> makeDriverClient;
        // A session for a port.
        std::function<std::shared_ptr<ScreenServer>(uint16_t port)> makeServer;
        // Wall time (seconds since 2001) and the invite wait's sleep.
        std::function<double()> wallNow;
        std::function<void(double seconds)> sleepFor;
        // Work on a global concurrent queue; work on the main thread without waiting; whether
        // the caller is the main thread.
        std::function<void(Block)> runOnGlobalQueue;
        std::function<void(Block)> runOnMainThread;
        std::function<bool()> isMainThread;
        // Runs the inbound sideband socket's receive loop on the serial queue "sidebandsocket".
        std::function<void(Block)> runOnSidebandQueue;
        // The display configuration's delegate is this mediator (none in most unit tests).
        std::function<void(std::weak_ptr<display::QNBDisplayConfigurationDelegate>)>
            setDisplayConfigurationDelegate;
        // The USB device manager (the process's peerTalkManager by default): its delegate is
        // this mediator and its deviceIDs say which devices are attached.
        std::function<std::shared_ptr<usblink::QNBPeerTalkDeviceManager>()> usbDeviceManager;
        // A USB socket to a device port, tagged, not connected yet: a stream socket, or a
        // datagram one when `datagram`.
        std::function<Socket(bool datagram, uint16_t port, int64_t deviceID, const std::string& tag)>
            makeUSBSocket;
        // The device a USB socket was made for; none for any other socket.
        std::function<std::optional<int64_t>(const Socket&)> usbDeviceIDOf;
        // Work on the high-priority global queue (the supervision loops); work on a new serial
        // queue (a wake-up socket's connect).
        std::function<void(Block)> runOnHighPriorityQueue;
        std::function<void(Block)> runOnNewSerialQueue;
        // The shared preferences (the process's by default).
        foundation::QNBPreferences* preferences = nullptr;

        // The real sockets, resolver, driver client, clock, queues and sessions.
        static Collaborators standard();
    };

    // Made once (thread-safe) on port 6001 with the standard collaborators, then started;
    // a start error is logged as "Error starting screen server mediator: %@".
    static std::shared_ptr<ScreenServerMediator> sharedInstance();
    // initOnPort: the four sessions, each told the local-window and retina preferences.
    static std::shared_ptr<ScreenServerMediator> initOnPort(uint16_t port, Collaborators collaborators);
    ~ScreenServerMediator() override;

    ScreenServerMediator(const ScreenServerMediator&) = delete;
    ScreenServerMediator& operator=(const ScreenServerMediator&) = delete;

    // Becomes the display configuration's and the USB device manager's delegate and listens on
    // the port; the listen error.
    std::optional<platform::Error> start();
    // Switches every session's display off, then closes every driver connection. Safe twice:
    // a closed connection leaves 0 in its slot, and 0 slots are skipped.
    void stop();

    // ---- The invite road -----------------------------------------------------------------
    // A host's connect request (called on a global queue): cleaned, resolved, kept, and the
    // device invited, IPv6 first with a 3.5 s wait for its call back, then IPv4.
    void connectToScreenServerWithDictionary(const cf::Value& request);
    void connectServerToHostName(const net::SocketAddress& address, const std::string& deviceName);
    // Sends the 47-byte server hello to the address's port 6000 from a new UDP socket.
    void sendInvite(const net::SocketAddress& address);
    // Drops requests without an invite date or older than 30 s.
    void cleanConnectionDictionaries();
    // YES when an active session's client socket has this IPv6 address.
    bool successfulConnectionForAddress(const net::SocketAddress& address);
    // A copy of the pending requests, oldest first.
    std::vector<PendingConnectRequest> connectionDataArray() const;

    // ---- Accepting -------------------------------------------------------------------------
    // Socket delegate: carried out on the main thread (posted there from any other).
    void acceptedNewClientSocket(const Socket& socket) override;
    // The first active session whose connected address is the peer's (ports not compared).
    std::shared_ptr<ScreenServer> attemptToReconnectServerFromAddress(const net::SocketAddress& address);
    // The first inactive session, marked taken until a socket is wired into it.
    std::shared_ptr<ScreenServer> nextAvailableServer();
    void connectIPScreenServer(const std::shared_ptr<ScreenServer>& server, const Socket& socket);

    // ---- Sideband (UDP 6002) ---------------------------------------------------------------
    DatagramForm datagramForm() const override { return DatagramForm::DataAndAddress; }
    void datagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data,
                                   const net::SocketAddress& fromAddress) override;
    // The inbound sideband socket (none before the first network connection or after its
    // receive loop ended).
    Socket inSidebandSocket() const;

    // ---- The USB road ----------------------------------------------------------------------
    // Device-manager delegate: an attach starts the device's supervision loop unless one runs
    // for it already; a detach does nothing (the loop sees it by itself).
    void peerTalkDeviceConnected(int64_t deviceID, const cf::Value& properties) override;
    void peerTalkDeviceDisconnected(int64_t deviceID) override;
    // YES when an active session's client socket is a USB socket made for the device.
    bool deviceIsConnected(int64_t deviceID);
    // Ties the session to three new USB sockets of the device (6004, 6005, 6006) and starts it.
    void connectUSBScreenServer(const std::shared_ptr<ScreenServer>& server, int64_t deviceID);
    // While the device stays attached: wakes it when no session serves it, every 2.0 s.
    void superviseUSBDevice(int64_t deviceID);
    // Wakes the device with the server hello on 6005 once its wake-up socket connects, then
    // gives it the next free session. NO when the device left, the socket ended or the send failed.
    bool wakeAndConnectUSBDevice(int64_t deviceID);
    // The devices whose supervision loop runs now.
    std::set<int64_t> supervisedUSBDevices();
    // The attached devices whose session was ended on purpose (the person's Disconnect): they
    // are not woken again until they are attached anew.
    std::set<int64_t> releasedUSBDevices();

    // ---- Disconnect requests ---------------------------------------------------------------
    void shutdownWithDictionary(const std::optional<cf::Value>& request);
    void shutdownForDeviceIdentifier(const std::string& deviceIdentifier);
    void shutdownHost(const std::string& hostName);
    void shutdownServer(const std::shared_ptr<ScreenServer>& server) override;

    // ---- Lookups ---------------------------------------------------------------------------
    std::shared_ptr<ScreenServer> serverForHostName(const std::string& hostName);
    std::shared_ptr<ScreenServer> serverForDeviceIdentifier(const std::string& deviceIdentifier);
    std::shared_ptr<ScreenServer> serverForServiceKey(const std::string& serviceKey);
    // A session's position (its framebuffer index); 4 when it is not one of the four.
    int indexOfSubScreen(const ScreenServer* server) const override;
    const std::vector<std::shared_ptr<ScreenServer>>& allServers() const { return m_servers; }
    size_t totalAvailableScreens() const { return kTotalAvailableScreens; }
    uint64_t activeServerCount() override;
    uint64_t backgroundServerCount();
    bool roomForOneMore();
    uint64_t availableScreens();
    bool isActive();
    // The first session with that display name: its screen's normalized bounds (zero without
    // a screen); the null rectangle when none has the name.
    cg::CGRect boundsForDisplayName(const std::string& displayName);
    // A screen by its description: 1 the virtual display, 3 an unknown display, 2 without a
    // description, 0 any other.
    int isVirtualScreen(const std::shared_ptr<appkit::NSScreen>& screen);

    // ---- Fan-outs --------------------------------------------------------------------------
    void enableRetinaResolutions(bool enable, bool changeResolutionNow);
    void sendClientsNegotiationOf(uint16_t operation, uint16_t feature);
    void enableVBLClientCallbacks();
    // Display configuration delegate: screenReconfigured: to each session showing the display.
    void screenReconfigured(uint32_t flags, display::CGDirectDisplayID display) override;
    // Nothing assigns it: nil.
    std::shared_ptr<std::recursive_mutex> frameBufferLockObject() override { return nullptr; }

    // ---- The driver client, reached by its own names ---------------------------------------
    std::shared_ptr<FramebufferDriverClient> driverClient() const { return m_driver; }
    bool setupUserClientWithError(platform::Error* error);
    void closeService(iokit::io_connect_t connection);
    std::array<iokit::io_connect_t, kFramebufferCount> dataPorts() const;
    void disableDisplay(ScreenServer& server) override;
    std::shared_ptr<display::QNBDisplaySet> enableDisplayWithDisplayModes(ScreenServer& server,
                                                                          const int* modes, size_t modeCount,
                                                                          platform::Error* error) override;
    // The cursor loop's queries, answered by the driver client (which takes this mediator's lock).
    bool shouldQueryMouseOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) override;
    bool mouseCursorChangedOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) override;
    bool mouseCursorVisibleOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) override;
    cg::CGPoint getMouseLocationOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) override;
    std::shared_ptr<appkit::NSCursor>
    mouseCursorOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) override;
    cg::CGPoint mouseHotspotOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set);
    cg::CGPoint mouseHotspot() override;

    uint16_t port() const { return m_port; }
    uint64_t attachedClientId() const { return 0; }
    Socket asyncSocket() const;
    // The mediator's own recursive lock.
    std::recursive_mutex& mediatorLock() { return m_lock; }

    ScreenServerMediator(uint16_t port, Collaborators collaborators);

  private:
    void setUp();
    void acceptOnMainThread(const Socket& socket);
    void inviteRoad(const std::string& hostName, std::optional<net::SocketAddress> ipv4,
                    std::optional<net::SocketAddress> ipv6);
    void startSidebandListener();
    std::optional<PendingConnectRequest> takeMatchingRequest(const net::SocketAddress& peer);
    void releaseReservation(const ScreenServer* server);
    bool usbDeviceAttached(int64_t deviceID) const;
    std::shared_ptr<ScreenServer> firstActive(const std::function<bool(ScreenServer&)>& matches);

    const uint16_t m_port;
    Collaborators m_env;
    std::vector<std::shared_ptr<ScreenServer>> m_servers;  // never changes after set-up
    std::recursive_mutex m_lock;                           // the mediator's own lock
    std::array<bool, kTotalAvailableScreens> m_reserved{}; // under m_lock
    std::set<int64_t> m_supervisedUSBDevices;              // under m_lock
    std::set<int64_t> m_releasedUSBDevices;                // under m_lock
    std::shared_ptr<FramebufferDriverClient> m_driver;

    mutable std::mutex m_requestsMutex;
    std::vector<PendingConnectRequest> m_connectionDataArray;

    mutable std::mutex m_socketsMutex;
    Socket m_asyncSocket;
    Socket m_inSidebandSocket;

    std::vector<ns::NSNotificationCenter::ObserverToken> m_observations;
};

} // namespace server
