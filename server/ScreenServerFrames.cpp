// The session's side of capture and frames: screen refreshes and the display stream handed to
// the encoder, the frame answer to each update request, the cursor loop and the heartbeat loop.
#include "display/NSCursorTSEPrivate.h"
#include "display/QNBScreen.h"
#include "net/QNNetSocketProtocol.h"
#include "net/QNSessionMessageWriter.h"
#include "server/BaseLimnerAppDelegate.h"
#include "server/ScreenServer.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/appkit/NSCursor.h"
#include "platform/appkit/NSImage.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "regions/ScreenUpdateWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <mutex>

namespace server {

namespace {

constexpr double kMouseInterval = 1.0 / 120.0;
constexpr double kHeartBeatInterval = 5.0;
constexpr size_t kMaxStreamRects = 4096;
constexpr double kAppKitStreamLimit = 1504.0;

bool finiteRect(const cg::CGRect& r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

} // namespace

void ScreenServer::setFrameAnswerSteps(std::shared_ptr<FrameAnswerSteps> steps) {
    std::lock_guard lock(m_sessionLock);
    m_frameAnswerSteps = std::move(steps);
}

// ---- Frame answers ------------------------------------------------------------------------------

bool ScreenServer::screenUpdate(bool* failed) {
    std::shared_ptr<capture::QNBVellEncoderProtocol> current;
    {
        std::lock_guard lock(m_sessionLock);
        current = m_encoder;
    }
    // Every request frees one frame slot, also one answered with the empty update.
    auto answerEmpty = [&](bool noted) {
        if (noted) m_clientNeedsCursorImageUpdate.store(true);
        if (current) current->updateRequestAnsweredEmpty();
        return false;
    };
    if (state() != kServerStateActivated) return answerEmpty(false);
    // Read and cleared in one step, so a change the cursor loop notes meanwhile is not lost.
    const bool cursorImage = m_clientNeedsCursorImageUpdate.exchange(false);
    m_clientNeedsCursorPosUpdate.store(false);

    auto set = screen();
    if (!set) return answerEmpty(cursorImage);
    std::unique_lock frameBuffer(m_frameBufferLock, std::try_to_lock);
    if (!frameBuffer.owns_lock()) return answerEmpty(cursorImage);
    if (state() != kServerStateActivated) return answerEmpty(cursorImage);

    Socket socket = clientSocket();
    std::shared_ptr<FrameAnswerSteps> steps;
    {
        std::lock_guard lock(m_sessionLock);
        steps = m_frameAnswerSteps;
    }
    auto delegate = BaseLimnerAppDelegate::appDelegate();
    const bool appInfo = delegate && delegate->supportsAppInfo();
    if (appInfo && steps) {
        dispatch::dispatch_async(
            dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_BACKGROUND),
            [steps] { steps->pollApplicationMonitor(); });
    }
    if (!current) current = encoder();
    const bool rtp = steps && socket && steps->isRTPOutputSocket(socket);
    // An RTP frame is whatever the socket is given between the packet's begin and its end: the
    // socket is held across both, so a heartbeat from its loop cannot land between the frame's
    // block and its update and cut the update's count off its records.
    std::unique_lock<net::QNNetSocketProtocol> rtpFrame;
    if (rtp) {
        const cg::CGSize resolution = displayResolution();
        rtpFrame = std::unique_lock<net::QNNetSocketProtocol>(*socket);
        steps->beginRTPPacket(resolution);
    }

    auto displays = set->displays();
    if (displays.size() != 1 && socket) {
        std::lock_guard socketLock(*socket);
        const bool sent = net::QNSessionMessageWriter(*socket).sendMultiDisplay(uint16_t(displays.size()));
        if (failed) *failed = !sent;
    }
    bool first = true;
    for (const auto& display : displays) {
        if (socket) {
            std::lock_guard socketLock(*socket);
            const uint32_t designation = appInfo ? 0x28 : 0x20;
            if (current && first)
                current->encodeFrame(0, false, display, designation);
            else if (current)
                current->encodeFrameOfSameRequest(0, false, display, designation);
            first = false;
            if (cursorImage) sendCursorImageUpdate();
        }
        updateFPS(1);
    }
    if (displays.empty() && current) current->updateRequestAnsweredEmpty();

    if (appInfo && socket) {
        bool ok = net::QNSessionMessageWriter(*socket).sendApplicationInfoBracket(false);
        if (steps) ok = steps->sendApplicationRecords(socket) && ok;
        ok = net::QNSessionMessageWriter(*socket).sendApplicationInfoBracket(true) && ok;
        if (failed) *failed = !ok;
    }
    if (rtp) steps->endRTPPacket();
    return true;
}

// ---- Cursor and heartbeat loops ---------------------------------------------------------------

void ScreenServer::startMouseUpdates() {
    if (m_mouseRunning.exchange(true)) return;
    // Each start has its own generation: loops of an earlier start end at their next turn, so a
    // quick stop and start leaves one cursor loop and one heartbeat loop.
    const uint64_t generation = ++m_mouseGeneration;
    {
        std::lock_guard lock(m_cursorImageLock);
        if (!m_currentCursor) {
            if (auto cursor = display::NSCursorTSEPrivate::tseCurrentSystemCursor())
                m_currentCursor = cursor->image();
        }
    }
    std::weak_ptr<ScreenServer> weak = weak_from_this();
    auto running = [weak, generation]() -> std::shared_ptr<ScreenServer> {
        auto self = weak.lock();
        if (!self || !self->m_mouseRunning.load() || self->m_mouseGeneration.load() != generation)
            return nullptr;
        return self;
    };
    auto mouseQueue =
        dispatch::dispatch_queue_create("com.quenby.mouserunloop", dispatch::DISPATCH_QUEUE_SERIAL);
    dispatch::dispatch_set_target_queue(
        mouseQueue, dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_HIGH));
    ++m_liveMouseLoops;
    dispatch::dispatch_async(mouseQueue, [running, weak] {
        // Ticks keep a schedule of their own instead of counting from each tick's end: the
        // sessions' loops would otherwise drift into step and queue behind one another on the
        // driver connection at every tick. A late tick starts the schedule afresh, never a burst.
        const platform::Duration interval = platform::seconds(kMouseInterval);
        platform::TimePoint next = platform::now();
        while (auto self = running()) {
            self->mouseTick();
            self.reset();
            next += interval;
            if (const platform::TimePoint now = platform::now(); next <= now) next = now + interval;
            platform::sleepUntil(next);
        }
        if (auto self = weak.lock()) --self->m_liveMouseLoops;
    });
    const uint8_t major = protocolVersionInfo().majorversion;
    if (major == 1 || major == 2) return;
    auto heartQueue =
        dispatch::dispatch_queue_create("com.quenby.heartbeatloop", dispatch::DISPATCH_QUEUE_SERIAL);
    ++m_liveMouseLoops;
    dispatch::dispatch_async(heartQueue, [running, weak] {
        while (auto self = running()) {
            self->sendHeartBeat();
            self.reset();
            platform::sleepFor(kHeartBeatInterval);
        }
        if (auto self = weak.lock()) --self->m_liveMouseLoops;
    });
}

void ScreenServer::stopMouseUpdates() {
    m_mouseRunning.store(false);
}

void ScreenServer::sendHeartBeat() {
    if (state() != kServerStateActivated) return;
    if (Socket socket = clientSocket()) net::QNSessionMessageWriter(*socket).sendHeartbeat();
}

cg::CGPoint ScreenServer::mouseLocation() const {
    std::lock_guard lock(m_mouseStateLock);
    return m_mouseLocation;
}

bool ScreenServer::mouseVisible() const {
    std::lock_guard lock(m_mouseStateLock);
    return m_mouseVisible;
}

void ScreenServer::mouseTick() {
    Socket socket = clientSocket();
    if (!socket || !socket->isConnected()) return;
    auto mediatorNow = mediator();
    if (!mediatorNow) return;
    auto set = screen();
    if (!mediatorNow->shouldQueryMouseOnDisplay(set)) return;
    m_clientNeedsCursorPosUpdate.store(false);
    const bool visible = mediatorNow->mouseCursorVisibleOnDisplay(set);
    const cg::CGPoint location = mediatorNow->getMouseLocationOnDisplay(set);
    bool changed = false;
    {
        std::lock_guard lock(m_mouseStateLock);
        if (visible != m_mouseVisible || location.x != m_mouseLocation.x || location.y != m_mouseLocation.y) {
            m_mouseVisible = visible;
            m_mouseLocation = location;
            changed = true;
        }
    }
    if (changed) {
        const cg::CGRect bounds = set ? set->scaleCorrectedDisplayBounds() : cg::CGRectZero;
        Socket sideband = sidebandSocket();
        Socket chosen = isUSB() ? socket : sideband;
        auto delegate = BaseLimnerAppDelegate::appDelegate();
        const uint16_t port = delegate ? delegate->clientSidebandPort() : 0;
        if (chosen) {
            std::lock_guard chosenLock(*chosen);
            regions::sendCursorPositionDatagram(*chosen, sideband.get(), port, location, visible,
                                                bounds.origin);
        }
    }
    if (mediatorNow->mouseCursorChangedOnDisplay(set)) {
        auto cursor = mediatorNow->mouseCursorOnDisplay(set);
        if (!cursor) return; // a failed read keeps the image the client has
        if (display::NSCursorTSEPrivate::isInvisible(*cursor)) cursor = appkit::NSCursor::IBeamCursor();
        std::lock_guard lock(m_cursorImageLock);
        m_clientNeedsCursorImageUpdate.store(true);
        if (cursor) m_currentCursor = cursor->image();
    }
}

void ScreenServer::sendCursorImageUpdate() {
    // The record carries the header itself; see sendCursorImage.
    sendCursorImage();
}

void ScreenServer::sendCursorImage() {
    Socket socket = clientSocket();
    if (!socket) return;
    std::vector<uint8_t> png;
    cg::CGSize size{};
    {
        std::lock_guard lock(m_cursorImageLock);
        if (m_currentCursor) {
            size = m_currentCursor->size();
            auto representations = m_currentCursor->representations();
            auto bitmap = representations.empty()
                              ? nullptr
                              : std::dynamic_pointer_cast<appkit::NSBitmapImageRep>(representations.front());
            if (bitmap) {
                if (auto data = bitmap->representationUsingType(appkit::NSBitmapImageFileTypePNG, {}))
                    png = std::move(*data);
            }
        }
    }
    auto mediatorNow = mediator();
    const cg::CGPoint hotSpot = mediatorNow ? mediatorNow->mouseHotspot() : cg::CGPoint{};
    regions::sendCursorImageUpdate(*socket, hotSpot, size, png);
}

void ScreenServer::sendCursorPositionUpdate() {
    sendCursorPosition();
}

void ScreenServer::sendCursorPosition() {
    if (Socket socket = clientSocket())
        regions::sendCursorPositionUpdate(*socket, mouseLocation(), mouseVisible());
}

// ---- Refresh road -------------------------------------------------------------------------------

void ScreenServer::screenRefreshed(uint32_t count, const cg::CGRect* rects) {
    std::shared_ptr<capture::QNBVellEncoderProtocol> current;
    {
        std::lock_guard lock(m_sessionLock);
        if (m_displayStream) return;
        current = m_encoder;
    }
    auto set = screen();
    Socket socket = clientSocket();
    if (!socket || !socket->isConnected() || !set || state() != kServerStateActivated) return;
    if (count == 0 || !rects || !current) return;
    // Clipped in points, then made display pixels.
    const cg::CGRect bounds = set->normalizedDisplayBounds();
    const double scale = display::QNBScreen::scaleForDisplayID(displayID());
    bool handed = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (!finiteRect(rects[i])) {
            platform::log("ScreenServer: refused a refresh rectangle that is not finite");
            continue;
        }
        const cg::CGRect r = cg::CGRectIntersection(rects[i], bounds);
        if (cg::CGRectIsEmpty(r)) continue;
        const cg::CGRect pixels =
            cg::CGRectMake((r.origin.x - bounds.origin.x) * scale, (r.origin.y - bounds.origin.y) * scale,
                           r.size.width * scale, r.size.height * scale);
        if (cg::CGRectIsEmpty(pixels)) continue;
        current->addDirtyRectangle(pixels);
        handed = true;
    }
    if (handed) current->enqueueFrame();
}

void ScreenServer::enqueueRefreshes(uint32_t count, const cg::CGRect* rects) {
    if (count == 0 || !rects) return;
    std::lock_guard lock(m_sessionLock);
    m_queuedRefreshRects.insert(m_queuedRefreshRects.end(), rects, rects + count);
}

void ScreenServer::feedQueuedRefreshes() {
    std::vector<cg::CGRect> queued;
    {
        std::lock_guard lock(m_sessionLock);
        if (m_queuedRefreshRects.empty() || !m_screen) return;
        queued.swap(m_queuedRefreshRects);
    }
    screenRefreshed(uint32_t(queued.size()), queued.data());
}

void ScreenServer::flushRectangleUpdates() {
    feedQueuedRefreshes();
    if (auto current = encoder()) current->clearRectangles();
}

// ---- Stream road --------------------------------------------------------------------------------

bool ScreenServer::displayStreamRunning() const {
    std::lock_guard lock(m_sessionLock);
    return bool(m_displayStream);
}

void ScreenServer::startDisplayStream() {
    stopDisplayStream();
    if (auto mediatorNow = mediator(); mediatorNow && mediatorNow->activeServerCount() > 1) return;
    if (std::floor(appkit::NSAppKitVersionNumber()) > kAppKitStreamLimit) return;
    std::lock_guard lock(m_sessionLock);
    if (!m_screen) return;
    for (const auto& display : m_screen->displays())
        setDisplayID(display->displayID());
    // The stream's frames have the display set's size in pixels (the session's resolution can
    // lag behind a mode change).
    const cg::CGSize size = m_screen->scaleCorrectedDisplayBounds().size;
    if (!(size.width >= 1) || !(size.height >= 1)) return;
    cg::CGDisplayStreamProperties properties;
    properties.showCursor = false;
    properties.minimumFrameTime = 1.0 / 60.0;
    properties.queueDepth = 1;
    auto queue = dispatch::dispatch_queue_create("display stream", dispatch::DISPATCH_QUEUE_SERIAL);
    std::weak_ptr<ScreenServer> weak = weak_from_this();
    auto stream = cg::CGDisplayStreamCreateWithDispatchQueue(
        displayID(), size_t(size.width), size_t(size.height), cg::kCGDisplayStreamPixelFormatBGRA, properties,
        queue,
        [weak](cg::CGDisplayStreamFrameStatus status, uint64_t time, const iosurface::IOSurfaceRef& surface,
               const cg::CGDisplayStreamUpdateRef& update) {
            if (auto self = weak.lock()) self->displayStreamCompleted(status, time, surface, update);
        });
    if (!stream || cg::CGDisplayStreamStart(stream) != cg::kCGErrorSuccess) {
        if (stream) cg::CGDisplayStreamStop(stream);
        return;
    }
    m_displayStream = stream;
    m_displayStreamSize = size;
}

void ScreenServer::stopDisplayStream() {
    cg::CGDisplayStreamRef stream;
    {
        std::lock_guard lock(m_sessionLock);
        stream.swap(m_displayStream);
        m_displayStreamSize = {};
    }
    if (stream) cg::CGDisplayStreamStop(stream);
}

void ScreenServer::displayStreamCompleted(int32_t status, uint64_t,
                                          const iosurface::IOSurfaceRef& frameSurface,
                                          const cg::CGDisplayStreamUpdateRef& update) {
    if (status != cg::kCGDisplayStreamFrameStatusFrameComplete) return;
    size_t count = 0;
    const cg::CGRect* rects =
        cg::CGDisplayStreamUpdateGetRects(update, cg::kCGDisplayStreamUpdateReducedDirtyRects, &count);
    // A list that cannot be taken as it is still says the display changed: the whole display
    // goes out with the surface instead, so no change is lost.
    bool wholeDisplay = false;
    if (count > kMaxStreamRects) {
        platform::log(
            "ScreenServer: refused a display stream frame of %zu rectangles; the whole display is sent",
            count);
        wholeDisplay = true;
    }
    for (size_t i = 0; i < count && !wholeDisplay; ++i) {
        if (!finiteRect(rects[i])) {
            platform::log(
                "ScreenServer: refused a display stream frame with a rectangle that is not finite; the "
                "whole display is sent");
            wholeDisplay = true;
        }
    }
    // As on the refresh road, frames reach the encoder in state 5 only: while the display is
    // being (re)activated they may already have its new size, which the client has not been
    // told yet. Going back to 5 marks the whole screen dirty, so nothing is lost.
    const bool activated = state() == kServerStateActivated;
    bool restart = false;
    {
        std::lock_guard lock(m_sessionLock);
        if (m_screen && m_displayStream) {
            const cg::CGSize size = m_screen->scaleCorrectedDisplayBounds().size;
            restart = size.width != m_displayStreamSize.width || size.height != m_displayStreamSize.height;
        }
        if (!restart && activated && m_encoder) {
            if (wholeDisplay && m_screen)
                m_encoder->addDirtyRectangle({{0, 0}, m_screen->scaleCorrectedDisplayBounds().size});
            for (size_t i = 0; i < count && !wholeDisplay; ++i)
                m_encoder->addDirtyRectangle(rects[i]);
            if (frameSurface) m_encoder->enqueueFrameWithSurface(frameSurface);
        }
    }
    if (restart) {
        // The display's size changed under the stream: a new stream at the new size.
        std::weak_ptr<ScreenServer> weak = weak_from_this();
        dispatch::dispatch_async(
            dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT), [weak] {
                if (auto self = weak.lock(); self && self->displayStreamRunning()) self->startDisplayStream();
            });
    }
}

// ---- Raw frame dump -----------------------------------------------------------------------------

void ScreenServer::initiateVideoCapture() {
    int fd =
        ::open("/tmp/LimnerFrameBufferGrab.rgb", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        platform::log(
            "Error opening video capture file for output. No raw frame buffers will be written to /tmp");
        return;
    }
    int old = m_videoCaptureFileFd.exchange(fd);
    if (old >= 0) ::close(old);
}

} // namespace server
