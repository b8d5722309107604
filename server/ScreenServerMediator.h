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

#include "server/FramebufferDriverClient.h"
#include "server/ScreenServerMediatorInterface.h"
#include "server/display/QNBDisplayConfiguration.h"
#include "server/net/QNNetSocketDelegate.h"
#include "server/net/SocketAddress.h"

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
#include <string>
#include <vector>

namespace appkit {
class NSScreen;
}
namespace foundation {
class QNBPreferences;
}

namespace server {

class QNNetSocketProtocol;
class ScreenServer;

// One connect request from the host, kept until its device calls back or, at the next
// request, until it is older than kConnectRequestLifetime.
struct PendingConnectRequest {
    static constexpr size_t kMaxHostNameBytes = 255;

    std::string connectToHostName; // a host name or a typed address
    std::optional<std::string> serviceKey;
    std::optional<std::string> displayName;
    std::optional<double> connectionInviteDate; // wall seconds since 2001
    std::optional<SocketAddress> ipv4Address;
    std::optional<SocketAddress> ipv6Address;

    // From the host's dictionary. The host name must be a text of 1 to 255 bytes without a
    // NUL (else nullopt, why saying what is wrong); a service key or display name that is no
    // text counts as absent; the invite date is a date or a number.
    static std::optional<PendingConnectRequest> fromDictionary(const cf::Value& dictionary, std::string& why);
};

class ScreenServerMediator final : public ScreenServerMediatorInterface,
                                   public QNNetSocketDelegate,
                                   public QNBDisplayConfigurationDelegate,
                                   public std::enable_shared_from_this<ScreenServerMediator> {
  public:
    static constexpr uint16_t kMainDataTrafficPort = 6001;
    static constexpr uint16_t kClientSidebandPort = 6000;
    static constexpr uint16_t kServerSidebandPort = 6002;
    static constexpr size_t kTotalAvailableScreens = 4;
    static constexpr double kIPv6TimeoutInterval = 3.5;
    static constexpr int kIPv6Polls = 1000;
    static constexpr double kConnectRequestLifetime = 30.0;

    using Socket = std::shared_ptr<QNNetSocketProtocol>;
    using Block = std::function<void()>;

    struct Collaborators {
        // A socket without a descriptor yet: the TCP listener of the main stream, and the one
        // inbound sideband socket (its receive loop binds UDP 6002).
        std::function<Socket()> makeSocket;
        // A UDP socket of a native family (AF_INET, AF_INET6) bound at a free port: invitations
        // and a session's outbound sideband.
        std::function<Socket(int family)> makeDatagramSocket;
        // Resolves a host name or typed address for a native family (datagram sockets).
        std::function<bool(const std::string& host, int family, SocketAddress& address)> resolveHost;
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
        std::function<void(std::weak_ptr<QNBDisplayConfigurationDelegate>)> setDisplayConfigurationDelegate;
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

    // Becomes the display configuration's delegate and listens on the port; the listen error.
    std::optional<platform::Error> start();
    // Switches every session's display off, then closes every driver connection. Safe twice:
    // a closed connection leaves 0 in its slot, and 0 slots are skipped.
    void stop();

    // ---- The invite road -----------------------------------------------------------------
    // A host's connect request (called on a global queue): cleaned, resolved, kept, and the
    // device invited, IPv6 first with a 3.5 s wait for its call back, then IPv4.
    void connectToScreenServerWithDictionary(const cf::Value& request);
    void connectServerToHostName(const SocketAddress& address, const std::string& deviceName);
    // Sends the 47-byte server hello to the address's port 6000 from a new UDP socket.
    void sendInvite(const SocketAddress& address);
    // Drops requests without an invite date or older than 30 s.
    void cleanConnectionDictionaries();
    // YES when an active session's client socket has this IPv6 address.
    bool successfulConnectionForAddress(const SocketAddress& address);
    // A copy of the pending requests, oldest first.
    std::vector<PendingConnectRequest> connectionDataArray() const;

    // ---- Accepting -------------------------------------------------------------------------
    // Socket delegate: carried out on the main thread (posted there from any other).
    void acceptedNewClientSocket(const Socket& socket) override;
    // The first active session whose connected address is the peer's (ports not compared).
    std::shared_ptr<ScreenServer> attemptToReconnectServerFromAddress(const SocketAddress& address);
    // The first inactive session, marked taken until a socket is wired into it.
    std::shared_ptr<ScreenServer> nextAvailableServer();
    void connectIPScreenServer(const std::shared_ptr<ScreenServer>& server, const Socket& socket);

    // ---- Sideband (UDP 6002) ---------------------------------------------------------------
    DatagramForm datagramForm() const override { return DatagramForm::DataAndAddress; }
    void datagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data,
                                   const SocketAddress& fromAddress) override;
    // The inbound sideband socket (none before the first network connection or after its
    // receive loop ended).
    Socket inSidebandSocket() const;

    // ---- Disconnect requests ---------------------------------------------------------------
    void shutdownWithDictionary(const std::optional<cf::Value>& request);
    void shutdownForDeviceIdentifier(const std::string& deviceIdentifier);
    void shutdownHost(const std::string& hostName);
    void shutdownServer(const std::shared_ptr<ScreenServer>& server);

    // ---- Lookups ---------------------------------------------------------------------------
    std::shared_ptr<ScreenServer> serverForHostName(const std::string& hostName);
    std::shared_ptr<ScreenServer> serverForDeviceIdentifier(const std::string& deviceIdentifier);
    std::shared_ptr<ScreenServer> serverForServiceKey(const std::string& serviceKey);
    // A session's position (its framebuffer index); 4 when it is not one of the four.
    int indexOfSubScreen(const ScreenServer* server) const;
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
    void screenReconfigured(uint32_t flags, CGDirectDisplayID display) override;
    // Nothing assigns it: nil.
    std::shared_ptr<std::recursive_mutex> frameBufferLockObject() override { return nullptr; }

    // ---- The driver client, reached by its own names ---------------------------------------
    std::shared_ptr<FramebufferDriverClient> driverClient() const { return m_driver; }
    bool setupUserClientWithError(platform::Error* error);
    void closeService(iokit::io_connect_t connection);
    std::array<iokit::io_connect_t, kFramebufferCount> dataPorts() const;
    void disableDisplay(ScreenServer& server) override;
    std::shared_ptr<QNBDisplaySet> enableDisplayWithDisplayModes(ScreenServer& server, const int* modes,
                                                                 size_t modeCount,
                                                                 platform::Error* error) override;
    bool shouldQueryMouseOnDisplay(const std::shared_ptr<QNBDisplaySet>& set);
    bool mouseCursorChangedOnDisplay(const std::shared_ptr<QNBDisplaySet>& set);
    bool mouseCursorVisibleOnDisplay(const std::shared_ptr<QNBDisplaySet>& set);
    cg::CGPoint getMouseLocationOnDisplay(const std::shared_ptr<QNBDisplaySet>& set);
    cg::CGPoint mouseHotspotOnDisplay(const std::shared_ptr<QNBDisplaySet>& set);

    uint16_t port() const { return m_port; }
    uint64_t attachedClientId() const { return 0; }
    Socket asyncSocket() const;
    // The mediator's own recursive lock.
    std::recursive_mutex& mediatorLock() { return m_lock; }

    ScreenServerMediator(uint16_t port, Collaborators collaborators);

  private:
    void setUp();
    void acceptOnMainThread(const Socket& socket);
    void inviteRoad(const std::string& hostName, std::optional<SocketAddress> ipv4,
                    std::optional<SocketAddress> ipv6);
    void startSidebandListener();
    std::optional<PendingConnectRequest> takeMatchingRequest(const SocketAddress& peer);
    void releaseReservation(const ScreenServer* server);
    std::shared_ptr<ScreenServer> firstActive(const std::function<bool(ScreenServer&)>& matches);

    const uint16_t m_port;
    Collaborators m_env;
    std::vector<std::shared_ptr<ScreenServer>> m_servers;  // never changes after set-up
    std::recursive_mutex m_lock;                           // the mediator's own lock
    std::array<bool, kTotalAvailableScreens> m_reserved{}; // under m_lock
    std::shared_ptr<FramebufferDriverClient> m_driver;

    mutable std::mutex m_requestsMutex;
    std::vector<PendingConnectRequest> m_connectionDataArray;

    mutable std::mutex m_socketsMutex;
    Socket m_asyncSocket;
    Socket m_inSidebandSocket;

    std::vector<ns::NSNotificationCenter::ObserverToken> m_observations;
};

} // namespace server
