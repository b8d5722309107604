// Display activation: after a handshake (or a request of the Mac side) the session chooses its
// display mode, has the mediator's driver client switch its virtual display on, reports the
// connection, tells the client the display's size and hands the display to the encoder; and
// the session follows reconfigurations of its display while it is active.
#include "display/QNBDisplaySet.h"
#include "display/QNBScreen.h"
#include "net/QNNetSocketProtocol.h"
#include "server/BaseLimnerAppDelegate.h"
#include "server/ClientHandshakeWrapper.h"
#include "server/ScreenServer.h"

#include "foundation/QNBPreferences.h"
#include "foundation/QNBSystemInformation.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/services/NSWorkspace.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace server {

// At most one activation waits behind the one running; a newer request replaces it.
struct ActivationQueueState {
    std::mutex mutex;
    bool scheduled = false;
    std::shared_ptr<ClientHandshakeWrapper> waiting;
};

namespace {

// Whether the session still has the client socket the request was made for.
bool servesRequestedSocket(const ScreenServer& server, const ClientHandshakeWrapper& wrapper) {
    auto current = server.clientSocket();
    if (!wrapper.hadClientSocket) return current == nullptr;
    auto requested = wrapper.clientSocket.lock();
    return requested && requested == current;
}

// A reset that came before this activation moved the session on already; one that came while
// it chose its mode may have been overtaken by states 3 and 4, which belong to no connection now.
void settleAbandonedActivation(ScreenServer& server) {
    std::lock_guard session(server);
    const int32_t state = server.state();
    if (state == kServerStateResolvingNewSize || state == kServerStateActivatingScreen)
        server.setState(kServerStateAwaitingHandshake);
}

} // namespace

ActivationQueueState& ScreenServer::activationQueueState() {
    std::lock_guard session(*this);
    if (!m_activationQueue) m_activationQueue = std::make_shared<ActivationQueueState>();
    return *m_activationQueue;
}

void ScreenServer::activateOrChangeDisplayOnGlobalQueue(const net::QNClientHandshake& handshake,
                                                        bool isHostRequest) {
    auto self = shared_from_this();
    auto wrapper = std::make_shared<ClientHandshakeWrapper>(handshake, isHostRequest, clientSocket());
    activationQueueState();
    std::shared_ptr<ActivationQueueState> queue;
    {
        std::lock_guard session(*this);
        queue = m_activationQueue;
    }
    {
        std::lock_guard lock(queue->mutex);
        if (queue->waiting)
            platform::log("%@ replaces a waiting display activation with a newer request", description());
        queue->waiting = wrapper;
        if (queue->scheduled) return;
        queue->scheduled = true;
    }
    std::weak_ptr<ScreenServer> weak = self;
    dispatch::dispatch_async(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT),
                             [weak, queue] {
                                 for (;;) {
                                     std::shared_ptr<ClientHandshakeWrapper> next;
                                     {
                                         std::lock_guard lock(queue->mutex);
                                         next = std::move(queue->waiting);
                                         queue->waiting.reset();
                                         if (!next) {
                                             queue->scheduled = false;
                                             return;
                                         }
                                     }
                                     auto server = weak.lock();
                                     if (!server) {
                                         std::lock_guard lock(queue->mutex);
                                         queue->waiting.reset();
                                         queue->scheduled = false;
                                         return;
                                     }
                                     server->activateOrChangeDisplay(next);
                                 }
                             });
}

void ScreenServer::activateOrChangeDisplay(const std::shared_ptr<ClientHandshakeWrapper>& wrapper) {
    if (!wrapper) return;
    updateEncoderClass();
    std::lock_guard frameBuffer(frameBufferLock());

    // Work queued for a connection that has gone does nothing.
    if (!servesRequestedSocket(*this, *wrapper)) return;

    if (!wrapper->isHostInitiated) setCapabilities(wrapper->handshakeUnion.capabilities);
    const net::QNCapabilities caps = capabilities();
    const uint16_t flags = caps.retinaFlags;

    net::QNClientHandshake handshake = wrapper->handshakeUnion;
    // The driver gets the mode chosen here; the handshake's field is written too, but an 8-bit
    // field of an old client could not carry every mode number.
    int32_t mode = resolveDisplayMode(handshake);
    net::QNBScreenProtocolHelper::setDisplayMode(mode, handshake, protocolVersionInfo());
    setState(kServerStateActivatingScreen);

    std::optional<std::vector<int32_t>> list;
    if (flags != 0) {
        uint32_t size = static_cast<uint32_t>(handshake.nominalWidth) |
                        (static_cast<uint32_t>(handshake.nominalHeight) << 16);
        list = modeArrayWithCapabilities(caps, size);
    }
    std::shared_ptr<display::QNBDisplaySet> set;
    auto mediatorInterface = mediator();
    if (!list || list->empty()) {
        int32_t modes[1] = {mode};
        if (mediatorInterface)
            set = mediatorInterface->enableDisplayWithDisplayModes(*this, modes, 1, nullptr);
    } else {
        setDisplayResolution(display::QNBScreen::sizeOfMode(list->front()));
        if (mediatorInterface)
            set =
                mediatorInterface->enableDisplayWithDisplayModes(*this, list->data(), list->size(), nullptr);
    }

    if (set) {
        // Stored only for the connection it was made for: reset drops the sockets under the
        // session's lock, so it either comes first (the display goes off again here) or finds
        // the stored display and disconnects it itself. The posts happen outside that lock.
        bool serves;
        {
            std::lock_guard session(*this);
            serves = servesRequestedSocket(*this, *wrapper);
            if (serves) setScreen(set);
        }
        if (!serves) {
            platform::log("%@ lost its client during display activation; the display is switched off",
                          description());
            if (mediatorInterface) mediatorInterface->disableDisplay(*this);
            setDisplayIsEnabled(false);
            settleAbandonedActivation(*this);
            return;
        }
        didConnectToDevice(set);
    }

    if (!clientReconfiguringScreen()) {
        // The device may have dropped during the display wait and come back to this same
        // session: the failure belongs to the connection that went, and the new one keeps its
        // names, its display and its socket.
        bool serves;
        {
            std::lock_guard session(*this);
            serves = servesRequestedSocket(*this, *wrapper);
        }
        if (!serves) {
            platform::log("%@ lost its client before its display came up; the new connection is left alone",
                          description());
            return;
        }
        disconnectFromDevice();
        // Without a display the device has nothing to show: end its connection too.
        std::shared_ptr<net::QNNetSocketProtocol> socket;
        {
            std::lock_guard session(*this);
            if (servesRequestedSocket(*this, *wrapper)) socket = clientSocket();
        }
        if (socket) {
            platform::log("%@ could not activate its display; closing the client connection", description());
            socket->cancel();
        }
        return;
    }

    auto activeApplication = ns::NSWorkspace::sharedWorkspace().activeApplication();
    const cf::Value* pid = activeApplication.find("NSApplicationProcessIdentifier");
    BaseLimnerAppDelegate::appDelegate()->applicationSwitched(pid ? pid->intValue() : 0);
    {
        std::lock_guard session(*this);
        if (!servesRequestedSocket(*this, *wrapper)) {
            settleAbandonedActivation(*this);
            return;
        }
        setState(kServerStateActivated);
    }
    if (foundation::QNBSystemInformation::systemAtLeastMajorVersion(10, 9, 0)) setHiDPIDisplayMode();
    std::weak_ptr<ScreenServer> weak = weak_from_this();
    dispatch::dispatch_after(dispatch::dispatch_time(dispatch::DISPATCH_TIME_NOW, dispatch::NSEC_PER_SEC),
                             dispatch::dispatch_get_main_queue(), [weak] {
                                 if (auto server = weak.lock()) server->wakeScreen();
                             });
}

bool ScreenServer::clientReconfiguringScreen() {
    auto set = screen();
    if (state() != kServerStateActivatingScreen || !set) return false;
    setClientNeedsCursorPosUpdate(true);
    setClientNeedsCursorImageUpdate(true);
    const cg::CGRect bounds = set->scaleCorrectedDisplayBounds();
    const cg::CGSize pixels = set->displaySizeInPixels();
    if (static_cast<uint64_t>(bounds.size.width) != static_cast<uint64_t>(pixels.width) ||
        static_cast<uint64_t>(bounds.size.height) != static_cast<uint64_t>(pixels.height))
        platform::log("%@ display bounds don't match display size", description());
    setDisplayResolution(bounds.size);
    setDisplayScale(set->scale());
    if (bounds.size.width == 0 && bounds.size.height == 0) return false;
    notifyClientOfResolutionChange(bounds.size, true);
    if (!BaseLimnerAppDelegate::appDelegate()->isDisplayActive()) return false;
    if (auto currentEncoder = encoder())
        currentEncoder->setEncoderInformation(set, clientSocket(), capabilities());
    addWholeScreenToDirtyRectangles();
    return true;
}

std::vector<std::shared_ptr<ScreenServer>> ScreenServer::allServers() {
    return {shared_from_this()};
}

int ScreenServer::indexOfSubScreen(const ScreenServer* server) const {
    auto m = mediator();
    return m ? m->indexOfSubScreen(server) : 4;
}

void ScreenServer::activateDisplay() {
    updateEncoderClass();
    if (!isActive() || state() != kServerStateActivated) return;
    const net::QNCapabilities caps = capabilities();
    if (caps.retinaFlags == 0) return;
    auto list = modeArrayWithCapabilities(caps, requestedDisplaySize());
    if (!list || list->empty()) return;
    net::QNClientHandshake handshake;
    handshake.type = 0;
    net::QNBScreenProtocolHelper::setDisplayMode(list->front(), handshake, protocolVersionInfo());
    const cg::CGSize size = display::QNBScreen::sizeOfMode(list->front());
    handshake.nominalWidth = static_cast<uint16_t>(size.width);
    handshake.nominalHeight = static_cast<uint16_t>(size.height);
    handshake.capabilities = caps;
    activateOrChangeDisplayOnGlobalQueue(handshake, true);
}

void ScreenServer::screenReconfigured(uint32_t flags) {
    setDisplayIsEnabled(false);
    if (state() == kServerStateActivated) hostInitiatedScreenSizeChange(flags);
}

void ScreenServer::hostInitiatedScreenSizeChange(uint32_t) {
    // The reconfiguration callback never waits: the change is taken on a global queue under
    // frameBufferLock, so it cannot interleave with an activation or a frame.
    std::weak_ptr<ScreenServer> weak = weak_from_this();
    dispatch::dispatch_async(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT),
                             [weak] {
                                 auto server = weak.lock();
                                 if (!server) return;
                                 std::lock_guard frameBuffer(server->frameBufferLock());
                                 if (server->state() != kServerStateActivated) return;
                                 auto set = server->screen();
                                 if (!set) return;
                                 set->finalizeSet();
                                 const cg::CGRect bounds = set->scaleCorrectedDisplayBounds();
                                 const double scale = set->scale();
                                 const cg::CGSize current = server->displayResolution();
                                 if (bounds.size.width == current.width &&
                                     bounds.size.height == current.height && scale == server->displayScale())
                                     return;
                                 server->setState(kServerStateActivatingScreen);
                                 server->clientReconfiguringScreen();
                                 server->setState(kServerStateActivated);
                             });
}

namespace {

// Configures the display, for this application's lifetime, with its first mode whose point
// and pixel sizes both equal the given mode dictionary's.
void configureDisplayWithModeLike(cg::CGDirectDisplayID display, const cf::Value& wanted,
                                  const cf::Value* options) {
    auto number = [&](const char* key) {
        const cf::Value* value = wanted.find(key);
        return value ? value->integerValue() : int64_t{-1};
    };
    const int64_t width = number(display::kModeWidthKey);
    const int64_t height = number(display::kModeHeightKey);
    const int64_t pixelsWide = number(display::kModePixelsWideKey);
    const int64_t pixelsHigh = number(display::kModePixelsHighKey);
    auto modes = cg::CGDisplayCopyAllDisplayModes(display, options);
    if (!modes) return;
    cg::CGDisplayModeRef chosen;
    for (const auto& mode : *modes) {
        if (static_cast<int64_t>(cg::CGDisplayModeGetWidth(mode)) == width &&
            static_cast<int64_t>(cg::CGDisplayModeGetHeight(mode)) == height &&
            static_cast<int64_t>(cg::CGDisplayModeGetPixelWidth(mode)) == pixelsWide &&
            static_cast<int64_t>(cg::CGDisplayModeGetPixelHeight(mode)) == pixelsHigh) {
            chosen = mode;
            break;
        }
    }
    if (!chosen) return;
    cg::CGDisplayConfigRef config = nullptr;
    if (cg::CGBeginDisplayConfiguration(&config) != cg::kCGErrorSuccess) return;
    if (cg::CGConfigureDisplayWithDisplayMode(config, display, chosen, nullptr) != cg::kCGErrorSuccess)
        platform::log("Error configuring display with display mode");
    if (cg::CGCompleteDisplayConfiguration(config, cg::kCGConfigureForAppOnly) != cg::kCGErrorSuccess)
        platform::log("Error completing display configuration");
}

double resolutionOf(const cf::Value& mode) {
    const cf::Value* value = mode.find(display::kModeResolutionKey);
    return value ? value->doubleValue() : 1.0;
}

} // namespace

void ScreenServer::setHiDPIDisplayMode() {
    if (!foundation::QNBPreferences::sharedAppPrefs().enableHiDPIResolutions()) return;
    const cg::CGDirectDisplayID display = displayID();
    auto best = display::QNBScreen::findBestHiDPIModeForDisplayID(display);
    if (!best || !(resolutionOf(*best) > 1.0)) return;
    const cf::Value options = cf::Dictionary{{cg::kCGDisplayShowDuplicateLowResolutionModes, cf::Value(1)}};
    configureDisplayWithModeLike(display, *best, &options);
}

void ScreenServer::setDisplayMode() {
    const cg::CGDirectDisplayID display = displayID();
    if (foundation::QNBPreferences::sharedAppPrefs().enableHiDPIResolutions()) {
        auto best = display::QNBScreen::findBestHiDPIModeForDisplayID(display);
        if (!best || !(resolutionOf(*best) > 1.0)) return;
        const cf::Value options =
            cf::Dictionary{{cg::kCGDisplayShowDuplicateLowResolutionModes, cf::Value(1)}};
        configureDisplayWithModeLike(display, *best, &options);
    } else {
        auto best = display::QNBScreen::findBestModeForDisplayID(display);
        if (!best) return;
        configureDisplayWithModeLike(display, *best, nullptr);
    }
}

void ScreenServer::setDisplayID(cg::CGDirectDisplayID display, cg::CGDisplayConfigRef configuration,
                                const cg::CGDisplayModeRef& mode) {
    platform::log("%@ called", std::string("setDisplayID:configuration:mode:"));
    constexpr uint32_t kMaxDisplays = 64;
    cg::CGDirectDisplayID active[kMaxDisplays] = {};
    uint32_t count = 0;
    if (cg::CGGetActiveDisplayList(kMaxDisplays, active, &count) != cg::kCGErrorSuccess) {
        platform::log("Error getting active display list");
        count = 0;
    }
    std::vector<std::pair<cg::CGDirectDisplayID, cg::CGDisplayModeRef>> current;
    for (uint32_t i = 0; i < std::min(count, kMaxDisplays); ++i)
        current.emplace_back(active[i], cg::CGDisplayCopyDisplayMode(active[i]));
    platform::log("    configuring displayId:%u    modeID:%d", display,
                  cg::CGDisplayModeGetIODisplayModeID(mode));
    if (cg::CGConfigureDisplayWithDisplayMode(configuration, display, mode, nullptr) != cg::kCGErrorSuccess)
        platform::log("Error configuring display with display mode");
    // The transaction leaves the other displays as they were.
    for (const auto& [other, otherMode] : current) {
        if (other == display || !otherMode) continue;
        platform::log("    displayId:%u   modeID:%d", other, cg::CGDisplayModeGetIODisplayModeID(otherMode));
        if (cg::CGConfigureDisplayWithDisplayMode(configuration, other, otherMode, nullptr) !=
            cg::kCGErrorSuccess)
            platform::log("Error configuring display with display mode");
    }
}

} // namespace server
