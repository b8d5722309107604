// One screen-server session: one client device showing one virtual display. The session owns
// the device's sockets, reads the main stream on a thread of its own, answers handshakes,
// update requests and heartbeats, dispatches the device's sideband datagrams, negotiates
// features, keeps the session state, and reports the device's connection and disconnection.
// Display activation, capture and frames, and input are other pieces; the session reaches
// them through the seams declared here, each with the behaviour it has until its piece lands.
//
// Locks, always taken in this order: frameBufferLock, then the session's own lock (the
// session is BasicLockable: std::lock_guard lock(session)), then the client socket's lock.
// Sockets, names, features and the screen change under the session's lock; state is atomic.
#pragma once

#include "capture/QNBVellEncoderProtocol.h"
#include "display/QNBDisplayConfiguration.h"
#include "display/QNBDisplaySet.h"
#include "input/ApplicationInfoMessages.h"
#include "input/QNDesktopReflectorPanel.h"
#include "input/QNDesktopReflectorSession.h"
#include "input/ScreenServerInput.h"
#include "net/QNCapabilities.h"
#include "net/QNClientHandshake.h"
#include "net/QNClientStreamReader.h"
#include "net/QNNetSocketDelegate.h"
#include "net/QNProtocolVersionInfo.h"
#include "net/SocketAddress.h"
#include "server/ScreenServerMediatorInterface.h"

#include "platform/core/Clock.h"
#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace net {
class QNNetSocketProtocol;
} // namespace net

namespace appkit {
class NSImage;
}

namespace server {

class ClientHandshakeWrapper; // activation's
struct ActivationQueueState;  // activation's

// Session states.
enum ServerState : int32_t {
    kServerStateInit = 0,
    kServerStateSleeping = 1,
    kServerStateAwaitingHandshake = 2,
    kServerStateResolvingNewSize = 3,
    kServerStateActivatingScreen = 4,
    kServerStateActivated = 5,
    kServerStateDeactivated = 6, // nothing sets it
};

// "Init" ... "Deactivated"; "unknown/invalid" for any other value.
std::string NSStringFromServerState(int32_t state);

// Feature negotiation: operations, features and the states kept per feature.
enum : uint16_t {
    kFeatureOperationOn = 1,
    kFeatureOperationOff = 2,
    kFeatureOperationRequestOn = 3,
    kFeatureOperationRequestOff = 4,
};
enum : uint16_t { kFeatureTouchInput = 1, kFeatureKeyboardInput = 2 };
enum : int64_t { kFeatureStateUnknown = 0, kFeatureStateOff = 1, kFeatureStateOn = 2 };

// Sideband datagram types from the device (byte 0).
enum class QNDatagramType : uint8_t {
    Tap = 2,
    Keyboard = 3,
    WindowRequest = 5,
    Mouse = 6,
    Scroll = 7,
    MenuRequest = 8,
    FeatureNegotiation = 9,
    Button = 16,
};

// An accepted address with the time it was accepted (wall clock, seconds since 2001).
struct SockAddressHelper {
    net::SocketAddress sockAddress;
    double creationDate = 0.0;
    static SockAddressHelper initWithSockAddress(const net::SocketAddress& address);
};

// Posts one distributed notification (object null). Sessions post through platformd's
// centre unless a test gives them another poster.
using DistributedPoster =
    std::function<void(const std::string& name, const std::optional<cf::Value>& userInfo, uint64_t options)>;
DistributedPoster defaultDistributedPoster();

class ScreenServer : public input::ScreenServerInput,
                     public input::QNDesktopReflectorDelegate,
                     public input::QNDesktopReflectorSession,
                     public capture::QNBVellEncoderDelegateProtocol,
                     public net::QNNetSocketDelegate,
                     public display::QNBDisplayRefreshProtocol,
                     public std::enable_shared_from_this<ScreenServer> {
  public:
    using Socket = std::shared_ptr<net::QNNetSocketProtocol>;

    static constexpr double kActiveFrameRate = 10.0;
    static constexpr double kWakeScreenRetryInterval = 1.0; // seconds between wakeScreen tries
    static constexpr uint16_t kFeatureStateEncoding = 0x13; // a feature state, no image encoding

    // init: state 1 (Sleeping). initOnPort: the same, made for a port.
    static std::shared_ptr<ScreenServer> init();
    static std::shared_ptr<ScreenServer> initOnPort(uint16_t port);
    explicit ScreenServer(uint16_t port = 0);
    // dealloc: state 0, stops observing, stop, disconnectFromDevice, stopDisplayStream.
    ~ScreenServer() override;

    ScreenServer(const ScreenServer&) = delete;
    ScreenServer& operator=(const ScreenServer&) = delete;

    // The session's own recursive lock.
    void lock() { m_sessionLock.lock(); }
    void unlock() { m_sessionLock.unlock(); }
    bool try_lock() { return m_sessionLock.try_lock(); }

    // ---- Life -----------------------------------------------------------------------------
    // Observes ServerConnectedToDevice and ServerDisconnectedFromDevice locally, state 0,
    // resolutions zero, scale 1, and starts the read loop for the client socket (none when a
    // loop already serves it). YES.
    bool start();
    // The encoder's stopSession, state 1, and the connection's names cleared (a copy of the
    // host name, device identifier, service key and address identifier is kept for the
    // disconnection notice). YES.
    bool stop();
    // Closes and drops the sockets under the session's lock, then (lock released) disconnects
    // from the device when there is a screen; isUSB NO, stopMouseUpdates, attachedClientId 0,
    // connectedAddress cleared, the application monitor reset, state 2. Safe twice, or from
    // two threads at once.
    void reset();
    // YES when the client socket is open, or the reflector panel is showing the display.
    bool isActive();
    bool isInBackground();
    double refreshRate();

    // ---- Accepting ------------------------------------------------------------------------
    // A new client connection for this session (main thread; from any other thread it is
    // performed there). When the display is held, the busy answer decides a takeover.
    void acceptedNewClientSocket(const Socket& socket) override;
    void vellConnectReceivedConnectionRequest(const std::string& request);
    void socketIsExperiencingLatency(double latency) override;

    // ---- Main stream ----------------------------------------------------------------------
    // The handlers of the read loop, for the current client socket.
    void processClientHandshakeMsg(const net::QNClientHandshakeRecord& record);
    void processClientHeartBeatMsg();
    bool processUpdateRequestMsg();
    // notifyClientOfResolutionChange:forceReply:
    void notifyClientOfResolutionChange(cg::CGSize size, bool forceReply);
    // Live read loops (tests wait for a replaced loop to end).
    size_t readLoopCount() const;
    bool waitForReadLoopCount(size_t count, platform::TimePoint deadline) const;

    // ---- Sideband -------------------------------------------------------------------------
    DatagramForm datagramForm() const override { return DatagramForm::Data; }
    void datagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data) override;
    void featureNegotiationReceivedForSocket(const Socket& socket, std::span<const uint8_t> data);
    void sendNegotiationOf(uint16_t operation, uint16_t feature);
    void sendNegotiationOf(uint16_t operation, uint16_t feature, bool forced);
    // The gates: the shared preferences' values.
    bool enableTouchDisplay();
    bool enableKeyboardInput();
    // Flags of the session that the gates do not read.
    void setEnableTouchDisplay(bool enable);
    void setEnableKeyboardInput(bool enable);
    // The feature dictionaries (property-list dictionaries of numbers, keyed by the feature in
    // decimal: "1", "2"). Each change replaces the dictionary, so a copy handed out stays valid.
    cf::Value clientFeatures() const;
    cf::Value hostFeatures() const;
    cf::Value resolvedFeatures() const;

    // ---- Device connection reporting ------------------------------------------------------
    // Called by activation once the virtual display has appeared.
    void didConnectToDevice(const std::shared_ptr<display::QNBDisplaySet>& screen);
    void disconnectFromDevice();
    void willDisconnectFromDevice();
    void didDisconnectFromDevice();
    void sendDisconnectionNotificationForCurrentDevice();
    void sendSystemInformationMessage();
    // Marks the whole display dirty once the session is activated; until then it tries again
    // each second, for as long as the session serves the client socket it was asked for.
    void wakeScreen();
    void addWholeScreenToDirtyRectangles();
    void serverConnectedToDevice(const ns::NSNotification& notification);
    void serverDisconnectedFromDevice(const ns::NSNotification& notification);
    // The reflector panel, made on first use (none while the local windows are missing).
    std::shared_ptr<input::QNDesktopReflectorPanel> displayReflector();
    void reflectorPanelClosed(input::QNDesktopReflectorPanel& panel) override;
    bool reflectorPanelShouldSuppressHelpSheet(input::QNDesktopReflectorPanel& panel) override;
    void pleaseDoSuppressHelpSheet(bool suppress) override;
    // The driver's vertical-blank signal.
    void encoderReadyToEncode() override;
    void dumpDisplayInfo();

    // ---- Encoder --------------------------------------------------------------------------
    // The one point of choice: the configured class, else the JPEG encoder's.
    void updateEncoderClass();
    // A session built for another output road (the RTP one) keeps that road's encoder class
    // through every choice that follows.
    void configureEncoderClass(const capture::QNBVellEncoderClass& encoderClass);
    std::shared_ptr<capture::QNBVellEncoderProtocol> encoder();
    void setEncoder(std::shared_ptr<capture::QNBVellEncoderProtocol> encoder);
    std::optional<capture::QNBVellEncoderClass> encoderClass() const;
    void setEncoderClass(const capture::QNBVellEncoderClass& encoderClass);
    bool clientSpeaksVersionTwo() const;

    // ---- Accepted addresses ---------------------------------------------------------------
    void cleanAcceptedAddresses();
    bool successfulConnectionForAddress(const net::SocketAddress& address);
    void addAcceptedAddress(const net::SocketAddress& address);
    std::shared_ptr<ScreenServer> serverForDeviceName(const std::string& name);
    std::string description();
    static std::optional<std::string> serverStateString(int32_t state);

    // ---- Application sharing (ScreenServerApplicationInfo.cpp) ------------------------------
    // The operations of the application messages, each forwarded to the session's one
    // instance (over the shared monitor). Window and menu requests are handled whatever
    // supportsAppInfo answers.
    input::ApplicationInfoMessages& applicationInfo() { return *m_applicationInfo; }
    // The monitor the session keeps: the shared one when the delegate supported application
    // information at the session's creation; none otherwise.
    std::shared_ptr<input::QNBApplicationMonitor> applicationMonitor() const { return m_applicationMonitor; }
    bool serializeAndSendAppInfoForApp(const input::QNBApplicationState& state);
    bool serializeAndSendWindow(const input::QNBApplicationWindow& window);
    input::Bytes newDataFromSerializedMenu(const input::QNBApplicationMenu& menu);
    void produceSetOfFlatMenus(std::map<uint64_t, input::QNBApplicationMenuRef>& set,
                               const input::QNBApplicationMenuRef& top);
    bool sendNewApplicationInfoUsingAppIDList(const std::vector<uint64_t>& pids);
    bool sendWindowStateSnapshot(const std::vector<input::QNBApplicationWindowRef>& windows);
    bool sendWindowUpdates();
    bool sendMenus();
    bool sendApplicationUpdate();
    void transmitLowerMenu(const input::QNBApplicationMenuRef& menu);
    void sendTopMenuForApplication(uint64_t pid);
    void sendActiveApplication(int32_t pid);
    void windowRequestDatagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data) override;
    void menuRequestDatagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data) override;

    // ---- Seams ----------------------------------------------------------------------------
    // Display activation (its own files): the handshake, display-mode field cleared, goes to
    // a global queue. Does nothing until activation lands.
    virtual void activateOrChangeDisplayOnGlobalQueue(const net::QNClientHandshake& handshake,
                                                      bool isHostRequest);
    // Frames, cursor loop and capture (their own files). Until they land: no frame answer
    // (NO), the cursor loop only marks mouseRunning, no display stream, refreshes ignored.
    virtual bool screenUpdate(bool* failed);
    virtual void startMouseUpdates();
    virtual void stopMouseUpdates();
    virtual void startDisplayStream();
    virtual void stopDisplayStream();
    void screenRefreshed(uint32_t count, const cg::CGRect* rects) override;

    // ---- Frames, capture and the cursor (ScreenServerFrames.cpp) --------------------------
    // Frame-answer steps other pieces fill: the application monitor and the RTP output.
    class FrameAnswerSteps {
      public:
        virtual ~FrameAnswerSteps() = default;
        // Step 5: the application monitor's poll (only when the delegate supports app info).
        virtual void pollApplicationMonitor() {}
        // Steps 6 and 10: whether the socket is the RTP output socket, and its packet.
        virtual bool isRTPOutputSocket(const Socket& socket) {
            (void)socket;
            return false;
        }
        virtual void beginRTPPacket(cg::CGSize displayResolution) { (void)displayResolution; }
        virtual void endRTPPacket() {}
        // Step 9 between the brackets: answers whether the sends succeeded.
        virtual bool sendApplicationRecords(const Socket& socket) {
            (void)socket;
            return true;
        }
    };
    void setFrameAnswerSteps(std::shared_ptr<FrameAnswerSteps> steps);
    // The frame-answer steps in place (the application steps, or steps composed over them).
    std::shared_ptr<FrameAnswerSteps> frameAnswerSteps() const;
    void updateFPS(uint64_t count) { (void)count; }
    void mouseTick();
    void sendHeartBeat();
    void sendCursorImageUpdate();
    void sendCursorImage();
    void sendCursorPositionUpdate();
    void sendCursorPosition();
    // The cursor's last sent state.
    cg::CGPoint mouseLocation() const;
    bool mouseVisible() const;
    // The refresh queue of the refresh protocol.
    bool respondsToFeedQueuedRefreshes() const override { return true; }
    void feedQueuedRefreshes() override;
    bool respondsToEnqueueRefreshes() const override { return true; }
    void enqueueRefreshes(uint32_t count, const cg::CGRect* rects) override;
    void flushRectangleUpdates();
    void displayStreamCompleted(int32_t status, uint64_t displayTime, const iosurface::IOSurfaceRef& frameSurface,
                                const cg::CGDisplayStreamUpdateRef& update);
    bool displayStreamRunning() const;
    // Opens the raw frame dump; nothing writes to it.
    void initiateVideoCapture();

    // The mediator (held weakly) and the distributed-notification poster.
    std::shared_ptr<ScreenServerMediatorInterface> mediator() const;
    void setMediator(std::weak_ptr<ScreenServerMediatorInterface> mediator);
    void setDistributedPoster(DistributedPoster poster);

    // ---- Accessors ------------------------------------------------------------------------
    int32_t state() const { return m_state.load(); }
    // Stores the state and tells the state observer (a program printing the session's road).
    void setState(int32_t state);
    using StateObserver = std::function<void(int32_t state)>;
    void setStateObserver(StateObserver observer);
    uint16_t port() const { return m_port; }
    bool isUSB() const override { return m_isUSB.load(); }
    void setIsUSB(bool isUSB) { m_isUSB.store(isUSB); }
    bool isRunning() const { return m_isRunning.load(); }
    void setIsRunning(bool running) { m_isRunning.store(running); }

    // Replacing the client socket cancels the old one (its read loop then ends quietly).
    Socket clientSocket() const;
    void setClientSocket(Socket socket);
    Socket sidebandSocket() const;
    void setSidebandSocket(Socket socket);
    Socket inSidebandSocket() const;
    void setInSidebandSocket(Socket socket);
    Socket asyncSocket() const;
    void setAsyncSocket(Socket socket);
    // Whether socket is (still) the client socket.
    bool servesClientSocket(const Socket& socket) const;

    net::QNProtocolVersionInfo protocolVersionInfo() const;
    void setProtocolVersionInfo(const net::QNProtocolVersionInfo& version);
    net::QNCapabilities capabilities() const;
    void setCapabilities(const net::QNCapabilities& capabilities);
    // nominalWidth in the low 16 bits, nominalHeight in the high 16 bits.
    uint32_t requestedDisplaySize() const;
    void setRequestedDisplaySize(uint32_t size);
    uint64_t attachedClientId() const;
    void setAttachedClientId(uint64_t clientId);
    std::deque<uint32_t> clientDisplayRequests() const;
    void setClientDisplayRequests(std::deque<uint32_t> requests);
    uint32_t numberOfClientDisplayRequests() const;
    void setNumberOfClientDisplayRequests(uint32_t count);

    std::optional<std::string> deviceIdentifier() const;
    void setDeviceIdentifier(std::optional<std::string> identifier);
    std::optional<std::string> devicePlatform() const;
    void setDevicePlatform(std::optional<std::string> platform);
    std::optional<std::string> connectedDisplayName() const override;
    void setConnectedDisplayName(std::optional<std::string> name);
    std::optional<std::string> connectedHostName() const override;
    void setConnectedHostName(std::optional<std::string> name);
    std::optional<std::string> connectedServiceKey() const;
    void setConnectedServiceKey(std::optional<std::string> key);
    net::SocketAddress connectedAddress() const override;
    void setConnectedAddress(const net::SocketAddress& address);
    std::optional<std::string> connectedAddressIdentifier() const;
    void setConnectedAddressIdentifier(std::optional<std::string> identifier);
    uint64_t connectionMechanism() const;
    void setConnectionMechanism(uint64_t mechanism);

    cg::CGSize clientDisplayResolution() const;
    void setClientDisplayResolution(cg::CGSize size);
    cg::CGSize displayResolution() const; // mDisplayResolution
    void setDisplayResolution(cg::CGSize size);
    double displayScale() const; // mDisplayScale
    void setDisplayScale(double scale);

    std::shared_ptr<display::QNBDisplaySet> screen() const override;
    // The input handlers' view of the display set: cursor scale, scale-corrected bounds, frame.
    std::optional<input::InputGeometry> inputGeometry() const override;
    void setScreen(std::shared_ptr<display::QNBDisplaySet> screen);
    cg::CGDirectDisplayID displayID() const { return m_displayID.load(); }
    void setDisplayID(cg::CGDirectDisplayID displayID) { m_displayID.store(displayID); }
    bool displayIsEnabled() const { return m_displayIsEnabled.load(); }
    void setDisplayIsEnabled(bool enabled) { m_displayIsEnabled.store(enabled); }
    // The framebuffer user-client connection of the session's display (0: none).
    uint32_t frameBufferPort() const { return m_frameBufferPort.load(); }
    void setFrameBufferPort(uint32_t port) { m_frameBufferPort.store(port); }
    bool signalUserClientforVBL() const { return m_signalUserClientforVBL.load(); }
    void setSignalUserClientforVBL(bool signal) { m_signalUserClientforVBL.store(signal); }
    int videoCaptureFileFd() const { return m_videoCaptureFileFd.load(); }

    bool clientNeedsCursorPosUpdate() const { return m_clientNeedsCursorPosUpdate.load(); }
    void setClientNeedsCursorPosUpdate(bool needs) { m_clientNeedsCursorPosUpdate.store(needs); }
    bool clientNeedsCursorImageUpdate() const { return m_clientNeedsCursorImageUpdate.load(); }
    void setClientNeedsCursorImageUpdate(bool needs) { m_clientNeedsCursorImageUpdate.store(needs); }
    bool mouseRunning() const { return m_mouseRunning.load(); }
    // Cursor and heartbeat loops still running (each ends at its next turn once stopped).
    int liveMouseLoops() const { return m_liveMouseLoops.load(); }

    bool displayLocalClientWindow() const { return m_displayLocalClientWindow.load(); }
    void setDisplayLocalClientWindow(bool display) { m_displayLocalClientWindow.store(display); }
    bool hostInitiatedShutdown() const { return m_hostInitiatedShutdown.load(); }
    void setHostInitiatedShutdown(bool shutdown) { m_hostInitiatedShutdown.store(shutdown); }
    std::vector<SockAddressHelper> acceptedAddresses() const;
    uint64_t framesEncoded() const { return m_framesEncoded.load(); }
    double encodingTime() const;

    // Held by activation and disconnection for their whole run; only tried by frame answers.
    std::recursive_mutex& frameBufferLock() { return m_frameBufferLock; }
    // Guards the cursor image.
    std::mutex& cursorImageLock() { return m_cursorImageLock; }
    std::mutex& transmissionLock() { return m_transmissionLock; }

    // ---- Display mode choice and activation (defined in the activation's files) -----------
    // Declared here so activation can fill them in; adjust freely.
    int32_t resolveDisplayMode(const net::QNClientHandshake& handshake);
    cf::Value findBestResolutionForScreenSize(cg::CGSize size);
    void activateOrChangeDisplay(const std::shared_ptr<ClientHandshakeWrapper>& wrapper);
    std::vector<std::shared_ptr<ScreenServer>> allServers();
    // The mediator's answer for the given session (4 without a mediator or for a stranger).
    int indexOfSubScreen(const ScreenServer* server) const;
    // Made on first use under the session's lock (activation's).
    ActivationQueueState& activationQueueState();
    std::optional<std::vector<int32_t>> modeArrayWithCapabilities(const net::QNCapabilities& capabilities,
                                                                  uint32_t displaySize);
    bool retinaResolutionsEnabled() const { return m_retinaResolutionsEnabled.load(); }
    void setRetinaResolutionsEnabled(bool enabled);
    void enableRetinaResolutions(bool enable, bool changeResolutionNow);
    bool needToEnableRetinaResolutions();
    bool needToEnableHiDPI();
    bool clientReconfiguringScreen();
    void activateDisplay();
    void screenReconfigured(uint32_t flags);
    void hostInitiatedScreenSizeChange(uint32_t flags);
    void setHiDPIDisplayMode();
    void setDisplayMode();
    void setDisplayID(cg::CGDirectDisplayID display, cg::CGDisplayConfigRef configuration,
                      const cg::CGDisplayModeRef& mode);

  protected:
    // The mouse loop's running mark, for the frames piece and tests.
    void setMouseRunning(bool running) { m_mouseRunning.store(running); }

  private:
    class ReadLoop;
    struct DisconnectionCopy {
        std::optional<std::string> hostName;
        std::optional<std::string> deviceIdentifier;
        std::optional<std::string> serviceKey;
        std::optional<std::string> addressIdentifier;
    };

    void clientListen(const Socket& socket);
    // A TCP client must have sent its whole handshake this long after the accept (a real device
    // needs milliseconds), or its connection is closed and the session freed: silent or trickling
    // connections would otherwise hold every session until the 45 s silence rule.
    static constexpr double kHandshakeDeadline = 10.0;
    void armHandshakeDeadline(const Socket& socket);
    void endReadLoop(const Socket& socket);
    void handshakeFromLoop(const Socket& socket, const net::QNClientHandshakeRecord& record);
    bool updateRequestFromLoop(const Socket& socket);
    void busyAnswerArrived(const Socket& socket, std::optional<uint64_t> echoedId);
    void wakeScreenFor(std::weak_ptr<net::QNNetSocketProtocol> socket);
    void postDistributed(const std::string& name, const std::optional<cf::Value>& userInfo, uint64_t options);
    cf::Value connectedPayload();
    // reset in two halves: the sockets go under the session's lock; the display goes after
    // the lock is released; the rest only while no new connection has taken the session.
    struct ResetTicket {
        uint64_t generation = 0;
        bool disconnect = false;
    };
    ResetTicket beginReset();
    void finishReset(const ResetTicket& ticket);
    // Every icon hash of a handshake to the shared monitor's table.
    void cacheIconHashes(const std::vector<std::array<uint8_t, 16>>& hashes);
    // Made in the constructor: the application steps when application information is on.
    void setUpApplicationSharing();
    std::unique_ptr<input::ApplicationInfoSessionLink> m_applicationLink;
    std::unique_ptr<input::ApplicationInfoMessages> m_applicationInfo;
    std::shared_ptr<input::QNBApplicationMonitor> m_applicationMonitor;

    // Fields under m_sessionLock.
    mutable std::recursive_mutex m_sessionLock;
    Socket m_clientSocket;
    Socket m_sidebandSocket;
    Socket m_inSidebandSocket;
    Socket m_asyncSocket;
    net::QNProtocolVersionInfo m_protocolVersionInfo;
    net::QNCapabilities m_capabilities;
    uint32_t m_requestedDisplaySize = 0;
    uint64_t m_attachedClientId = 0;
    std::deque<uint32_t> m_clientDisplayRequests;
    uint32_t m_numberOfClientDisplayRequests = 0;
    std::optional<std::string> m_deviceIdentifier;
    std::optional<std::string> m_devicePlatform;
    std::optional<std::string> m_connectedDisplayName;
    std::optional<std::string> m_connectedHostName;
    std::optional<std::string> m_connectedServiceKey;
    net::SocketAddress m_connectedAddress;
    std::optional<std::string> m_connectedAddressIdentifier;
    uint64_t m_connectionMechanism = 0;
    std::optional<DisconnectionCopy> m_disconnectionCopy;
    cg::CGSize m_clientDisplayResolution{};
    cg::CGSize m_displayResolution{};
    double m_displayScale = 1.0;
    cf::Value m_clientFeatures = cf::Value::emptyDictionary();
    cf::Value m_hostFeatures = cf::Value::emptyDictionary();
    cf::Value m_resolvedFeatures = cf::Value::emptyDictionary();
    bool m_enableTouchDisplayFlag = false;
    bool m_enableKeyboardInputFlag = false;
    std::shared_ptr<capture::QNBVellEncoderProtocol> m_encoder;
    std::optional<capture::QNBVellEncoderClass> m_encoderClass;
    std::optional<capture::QNBVellEncoderClass> m_configuredEncoderClass;
    double m_encodingTime = 0.0;
    double m_activeFrameRate = kActiveFrameRate;
    std::shared_ptr<display::QNBDisplaySet> m_screen;
    bool m_disconnecting = false;
    uint64_t m_connectionGeneration = 0; // counts client-socket changes
    // The last connection whose handshake was read, held weakly: a later connection made at the
    // freed one's address is never taken for it.
    std::weak_ptr<net::QNNetSocketProtocol> m_handshakenSocket;
    std::shared_ptr<input::QNDesktopReflectorPanel> m_displayReflector;
    std::vector<SockAddressHelper> m_acceptedAddresses;
    std::weak_ptr<ScreenServerMediatorInterface> m_mediator;
    DistributedPoster m_poster;
    std::shared_ptr<const StateObserver> m_stateObserver; // read with atomic_load
    std::vector<ns::NSNotificationCenter::ObserverToken> m_observations;

    // Read loops: the sockets they serve.
    mutable std::mutex m_loopMutex;
    mutable std::condition_variable m_loopsChanged;
    std::vector<net::QNNetSocketProtocol*> m_loopSockets;

    const uint16_t m_port;
    std::atomic<int32_t> m_state{kServerStateSleeping};
    std::atomic<bool> m_isUSB{false};
    std::atomic<bool> m_isRunning{false};
    std::atomic<cg::CGDirectDisplayID> m_displayID{0};
    std::atomic<bool> m_displayIsEnabled{false};
    std::atomic<uint32_t> m_frameBufferPort{0};
    std::atomic<bool> m_signalUserClientforVBL{false};
    std::atomic<int> m_videoCaptureFileFd{-1};
    std::atomic<bool> m_clientNeedsCursorPosUpdate{false};
    std::atomic<bool> m_clientNeedsCursorImageUpdate{false};
    std::atomic<bool> m_mouseRunning{false};
    std::atomic<bool> m_displayLocalClientWindow{false};
    std::atomic<bool> m_hostInitiatedShutdown{false};
    std::atomic<uint64_t> m_framesEncoded{0};
    std::atomic<bool> m_retinaResolutionsEnabled{false};
    std::shared_ptr<ActivationQueueState> m_activationQueue; // activation's, under the session's lock

    // Frames (under the session's lock unless marked).
    std::shared_ptr<FrameAnswerSteps> m_frameAnswerSteps;
    cg::CGDisplayStreamRef m_displayStream;
    cg::CGSize m_displayStreamSize{};
    std::vector<cg::CGRect> m_queuedRefreshRects;
    std::atomic<uint64_t> m_mouseGeneration{0};
    std::atomic<int> m_liveMouseLoops{0};
    mutable std::mutex m_mouseStateLock;
    cg::CGPoint m_mouseLocation{};                     // under m_mouseStateLock
    bool m_mouseVisible = false;                       // under m_mouseStateLock
    std::shared_ptr<appkit::NSImage> m_currentCursor;  // under m_cursorImageLock

    std::recursive_mutex m_frameBufferLock;
    std::mutex m_cursorImageLock;
    std::mutex m_transmissionLock;
};

} // namespace server
