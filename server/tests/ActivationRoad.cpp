// activation_road: a test host standing in for the mediator of one session. It listens on
// TCP 6001, wires each accepted connection into the session of the framebuffer index given,
// as the mediator does for a connect request naming 127.0.0.2, routes UDP 6002 datagrams from
// that session's device to it, runs the main run loop, and prints "state <name>" (one flushed
// line) at each state change of that session. It ends, exiting 0, at the end of its standard
// input or on SIGTERM.
//
//   activation_road [--test-activation] [--rtp] [<framebuffer-index>]
//
// --rtp: the RTP output road. The session listens with an RTP broadcast socket instead of TCP
// 6001, encodes with the RTP encoder and brackets each update for the outbound RTP socket,
// whose frames go to the receivers 127.0.0.20 and 127.0.0.21; the end closes it (its BYE).
//
// --test-activation replaces display activation by a stand-in: states 3, 4, 5, the session's
// connection reported with the main display's set, and one resolution message. Without it the
// session activates for real: the framebuffer driver client, opened at start, switches the
// displays on and off as the mediator's does, and the window server's reconfigurations of a
// session's display reach that session; at the end every display goes off.
#include "ActivationRoadDriver.h"

#include "display/QNBDisplaySet.h"
#include "net/QNNetSocket.h"
#include "net/QNSessionMessageWriter.h"
#include "net/SockAddrStorage.h"
#include "capture/QNBVellRTPEncoder.h"
#include "capture/QNNetOutboundRTPSocket.h"
#include "server/BaseLimnerAppDelegate.h"
#include "server/RTPFrameAnswerSteps.h"
#include "server/ScreenServer.h"

#include "foundation/QNBBonjourServiceHelper.h"
#include "foundation/Vocabulary.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PerformSelector.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace server;

namespace {

// ---- The connect request the host would have made ------------------------------------------

// The request this road answers: the reference client on 127.0.0.2, announced as "Ref".
struct ConnectRequest {
    std::string hostName = "127.0.0.2";
    std::string serviceKey = "local.~_qnexvscreen._udp~Ref";
    std::string displayName = "Ref";
};

// ---- The application delegate: the program's answers ---------------------------------------

class RoadAppDelegate final : public BaseLimnerAppDelegate {
  public:
    uint16_t mainDataTrafficPort() override { return foundation::kMainDataTrafficPort; }
    uint16_t clientSidebandPort() override { return foundation::kClientSidebandPort; }
    uint16_t serverSidebandPort() override { return foundation::kServerSidebandPort; }
};

// ---- The test activation -------------------------------------------------------------------

// Stands in for display activation: the main display plays the session's virtual display.
class TestActivationSession final : public ScreenServer {
  public:
    using ScreenServer::ScreenServer;

    void activateOrChangeDisplayOnGlobalQueue(const net::QNClientHandshake&, bool) override {
        const Socket socket = clientSocket();
        std::weak_ptr<ScreenServer> weak = weak_from_this();
        dispatch::dispatch_async(
            dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT), [weak, socket] {
                auto self = std::static_pointer_cast<TestActivationSession>(weak.lock());
                if (self) self->activate(socket);
            });
    }

  private:
    void activate(const Socket& socket) {
        std::lock_guard frameBuffer(frameBufferLock());
        setState(kServerStateResolvingNewSize);
        setState(kServerStateActivatingScreen);
        auto set = std::make_shared<display::QNBDisplaySet>();
        set->addDisplay(std::make_shared<display::QNBDisplay>(cg::CGMainDisplayID()));
        set->finalizeSet();
        {
            std::lock_guard session(*this);
            if (!servesClientSocket(socket)) return; // the connection went meanwhile
            setDisplayID(set->displayID());
        }
        didConnectToDevice(set);
        notifyClientOfResolutionChange(set->scaleCorrectedDisplayBounds().size, true);
        setState(kServerStateActivated);
        std::weak_ptr<ScreenServer> weak = weak_from_this();
        dispatch::dispatch_after(
            dispatch::dispatch_time(dispatch::DISPATCH_TIME_NOW, int64_t(dispatch::NSEC_PER_SEC)),
            dispatch::dispatch_get_main_queue(), [weak] {
                if (auto self = weak.lock()) self->wakeScreen();
            });
    }
};

// ---- The mediator's part: sessions, the listener, wiring and routing -----------------------

class RoadMediator final : public ScreenServerMediatorInterface,
                           public net::QNNetSocketDelegate,
                           public std::enable_shared_from_this<RoadMediator> {
  public:
    RoadMediator(size_t index, bool testActivation, bool rtp) : m_index(index), m_rtp(rtp) {
        for (int i = 0; i < foundation::kTotalAvailableScreens; ++i) {
            auto session = testActivation
                               ? std::make_shared<TestActivationSession>(foundation::kMainDataTrafficPort)
                               : std::make_shared<ScreenServer>(foundation::kMainDataTrafficPort);
            m_sessions.push_back(session);
        }
        if (!testActivation) m_driver = std::make_shared<testing::ActivationRoadDriver>(m_sessions);
    }

    bool start() {
        for (auto& session : m_sessions)
            session->setMediator(weak_from_this());
        if (m_driver) m_driver->start();
        m_sessions[m_index]->setStateObserver([](int32_t state) {
            std::printf("state %s\n", NSStringFromServerState(state).c_str());
            std::fflush(stdout);
        });
        if (m_rtp) {
            m_sessions[m_index]->configureEncoderClass(capture::QNBVellRTPEncoderClass());
            m_sessions[m_index]->setFrameAnswerSteps(
                std::make_shared<RTPFrameAnswerSteps>(m_sessions[m_index]->frameAnswerSteps()));
            m_listener = std::make_shared<capture::QNNetRTPBroadcastSocket>();
        } else {
            m_listener = net::QNNetSocket::init();
        }
        platform::Error error;
        if (!m_listener->listenOnPort(foundation::kMainDataTrafficPort, weak_from_this(), &error)) {
            platform::log("activation_road: cannot listen on %d: %@", foundation::kMainDataTrafficPort,
                          error.description());
            return false;
        }
        return true;
    }

    void stop() {
        if (m_listener) m_listener->close();
        if (auto socket = m_rtp ? m_sessions[m_index]->clientSocket() : nullptr) socket->close(); // its BYE
        if (m_sideband) m_sideband->close();
        if (m_driver) m_driver->stop();
    }

    // ScreenServerMediatorInterface
    uint64_t activeServerCount() override {
        uint64_t count = 0;
        for (auto& session : m_sessions)
            count += session->isActive() ? 1 : 0;
        return count;
    }
    void disableDisplay(ScreenServer& server) override {
        if (m_driver) m_driver->disableDisplay(server);
    }
    std::shared_ptr<display::QNBDisplaySet> enableDisplayWithDisplayModes(ScreenServer& server,
                                                                          const int* modes, size_t modeCount,
                                                                          platform::Error* error) override {
        return m_driver ? m_driver->enableDisplayWithDisplayModes(server, modes, modeCount, error) : nullptr;
    }

    // QNNetSocketDelegate: connections on 6001 (accept thread), datagrams on 6002.
    DatagramForm datagramForm() const override { return DatagramForm::DataAndAddress; }
    void acceptedNewClientSocket(const std::shared_ptr<net::QNNetSocketProtocol>& socket) override {
        auto self = shared_from_this();
        ns::performSelectorOnMainThread([self, socket] { self->wire(socket); }, false);
    }
    void datagramReceivedForSocket(const std::shared_ptr<net::QNNetSocketProtocol>& socket,
                                   std::span<const uint8_t> data, const net::SocketAddress& from) override {
        for (auto& session : m_sessions) {
            const net::SocketAddress address = session->connectedAddress();
            if (address.isPresent() && address.family() == from.family() &&
                address.ipv6Bytes() == from.ipv6Bytes() && address.ipv4Bytes() == from.ipv4Bytes()) {
                session->datagramReceivedForSocket(socket, data);
                return;
            }
        }
    }

  private:
    // On the main thread, as the mediator wires a network connection.
    void wire(const std::shared_ptr<net::QNNetSocketProtocol>& socket) {
        const net::SocketAddress peer = socket->knownClientAddr();
        auto session = m_sessions[m_index];
        const net::SocketAddress held = session->connectedAddress();
        const bool reconnect = session->isActive() && held.isPresent() && held.family() == peer.family() &&
                               held.ipv6Bytes() == peer.ipv6Bytes() && held.ipv4Bytes() == peer.ipv4Bytes();
        if (!reconnect) {
            if (session->isActive()) {
                net::QNSessionMessageWriter(*socket).sendBusy(0);
                socket->close();
                return;
            }
            session->reset();
        }
        session->setIsUSB(false);
        session->setClientSocket(socket);
        // The RTP road has no device: no sideband to listen on or to send to.
        if (!m_rtp) {
            startSidebandListener();
            auto sideband = net::QNNetSocket::initUDPClientWithFamily(peer.family());
            if (sideband) {
                sideband->setKnownClientAddr(peer);
                sideband->setHasClientAddr(true);
            }
            session->setSidebandSocket(sideband);
        }
        session->setConnectedAddress(peer);
        applyRequest(*session, peer);
        session->start();
    }

    void applyRequest(ScreenServer& session, const net::SocketAddress& peer) {
        const auto wanted = net::SocketAddress::fromNumericHost(m_request.hostName, 0);
        if (!wanted || !net::CompareSockAddrStorage(&*wanted, &peer)) {
            platform::log("Could not index connection data with socket address");
            return;
        }
        if (!theySpeakProtocolVersion(session.protocolVersionInfo(), 3, 0, 0))
            session.setConnectedDisplayName(m_request.displayName);
        session.setConnectedServiceKey(m_request.serviceKey);
        session.setConnectedHostName(m_request.hostName);
        session.setConnectedAddressIdentifier(
            foundation::QNBBonjourServiceHelper::serviceKeyForAddressString(m_request.hostName));
    }

    void startSidebandListener() {
        if (m_sideband) return;
        m_sideband = net::QNNetSocket::init();
        auto queue = dispatch::dispatch_queue_create("sidebandsocket", dispatch::DISPATCH_QUEUE_SERIAL);
        std::weak_ptr<net::QNNetSocketDelegate> delegate = weak_from_this();
        dispatch::dispatch_async(queue, [socket = m_sideband, delegate] {
            socket->listenForDatagramsOnPort(foundation::kServerSidebandPort, delegate);
        });
    }

    const size_t m_index;
    const bool m_rtp;
    ConnectRequest m_request;
    std::vector<std::shared_ptr<ScreenServer>> m_sessions;
    std::shared_ptr<net::QNNetSocketProtocol> m_listener;
    std::shared_ptr<net::QNNetSocket> m_sideband;
    std::shared_ptr<testing::ActivationRoadDriver> m_driver;
};

// ---- Ending: standard input's end or SIGTERM -------------------------------------------------

void endOnMainThread(const std::shared_ptr<RoadMediator>& road) {
    ns::performSelectorOnMainThread(
        [road] {
            road->stop();
            std::fflush(stdout);
            std::_Exit(0);
        },
        false);
}

void watchForTheEnd(const std::shared_ptr<RoadMediator>& road, const sigset_t& terminate) {
    std::thread([road] {
        char buffer[256];
        while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
        }
        endOnMainThread(road);
    }).detach();
    std::thread([road, terminate] {
        int signal = 0;
        ::sigwait(&terminate, &signal);
        endOnMainThread(road);
    }).detach();
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // SIGTERM is taken by a waiting thread: block it before any thread starts.
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &terminate, nullptr);

    bool testActivation = false;
    bool rtp = false;
    size_t index = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--test-activation") {
            testActivation = true;
        } else if (argument == "--rtp") {
            rtp = true;
        } else if (argument.size() == 1 && argument[0] >= '0' && argument[0] <= '3') {
            index = static_cast<size_t>(argument[0] - '0');
        } else {
            std::fprintf(stderr, "usage: activation_road [--test-activation] [--rtp] [<framebuffer-index 0-3>]\n");
            return 2;
        }
    }

    BaseLimnerAppDelegate::setAppDelegate(std::make_shared<RoadAppDelegate>());
    auto road = std::make_shared<RoadMediator>(index, testActivation, rtp);
    if (!road->start()) return 1;
    std::printf("listening\n");
    std::fflush(stdout);
    watchForTheEnd(road, terminate);
    ns::NSRunLoop::mainRunLoop()->run();
    return 0;
}
