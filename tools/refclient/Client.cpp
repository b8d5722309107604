#include "tools/refclient/Client.h"

#include "platform/core/Log.h"
#include "tools/refclient/ClientMessages.h"
#include "tools/refclient/Datagrams.h"
#include "tools/refclient/PngFile.h"
#include "tools/refclient/SidebandDatagram.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace refclient {

namespace {

// The server drops a connection after 45 s without a byte; a heartbeat after 10 s
// of our silence keeps well inside that.
constexpr double kHeartbeatIdleSeconds = 10.0;
// A request after an empty update waits this long, so the exchange before
// activation does not spin.
constexpr double kEmptyAnswerDelaySeconds = 0.05;
// The picture file is rewritten at most this often while frames stream in.
constexpr double kPngIntervalSeconds = 1.0;
// Frames run to megabytes: the stream is read in large pieces into one kept buffer, so a frame
// costs a few reads and wake-ups rather than one per 64 kB, and no allocation per read.
constexpr size_t kStreamReadChunk = 1024 * 1024;

} // namespace

const char* NSStringFromClientState(ClientState state) {
    switch (state) {
    case ClientState::Idle: return "idle";
    case ClientState::Connecting: return "connecting";
    case ClientState::Handshaking: return "handshaking";
    case ClientState::Session: return "session";
    case ClientState::Ended: return "ended";
    }
    return "?";
}

Client::Client(Config config) : m_config(std::move(config)) {
    m_picture.resize(m_config.nominalWidth, m_config.nominalHeight);
    m_snapshot.pictureWidth = m_picture.width();
    m_snapshot.pictureHeight = m_picture.height();
}

Client::~Client() {
    stop();
    withdrawAnnouncement();
    dropWaitingRecords(); // decodings into the picture end before it goes
    m_decoders.reset();
    for (auto& [id, link] : m_usbLinks)
        ::close(link.fd);
    for (auto& [fd, port] : m_usbLoopbackListeners)
        ::close(fd);
    if (m_usbRegistrationFd >= 0) ::close(m_usbRegistrationFd);
    if (m_connection && m_connection->fd >= 0) ::close(m_connection->fd);
    for (int fd : m_keptFds) ::close(fd);
    if (m_udpFd >= 0) ::close(m_udpFd);
}

bool Client::start(std::string* error) {
    auto fail = [&](const std::string& why) {
        platform::log("refclient: %@", why);
        if (error) *error = why;
        update([](Snapshot& s) { s.exitCode = 2; s.state = ClientState::Ended; });
        return false;
    };
    if (m_config.usb) return startUsb(error);
    m_bindAddress = NetAddress::parse(m_config.bindAddress, m_config.sidebandPort);
    if (!m_bindAddress) return fail(platform::format("bind address \"%@\" is not an IP address", m_config.bindAddress));
    m_udpFd = openBoundUdp(*m_bindAddress);
    if (m_udpFd < 0)
        return fail(platform::format("cannot bind UDP %@ port %u: %@", m_config.bindAddress, m_config.sidebandPort,
                                     std::strerror(errno)));
    if (!m_config.logPath.empty() && !m_log.open(m_config.logPath))
        return fail(platform::format("cannot open the record log %@", m_config.logPath));
    m_startTime = platform::now();
    m_log.restart(m_startTime);
    uint16_t port = boundPort(m_udpFd);
    if (m_config.announce) {
        std::string why;
        if (!announce(port, &why)) return fail(why);
    }
    platform::log("refclient: listening for invitations on %@ port %u", m_config.bindAddress, unsigned(port));
    update([port](Snapshot& s) { s.sidebandPort = port; });
    m_thread = std::thread([this] { runLoop(); });
    return true;
}

void Client::runLoop() {
    if (m_udpFd >= 0) m_loop.watch(m_udpFd, POLLIN, [this](short) { onDatagramReadable(); });
    if (m_usbRegistrationFd >= 0)
        m_loop.watch(m_usbRegistrationFd, POLLIN, [this](short) { onUsbRegistrationReadable(); });
    for (auto [fd, port] : m_usbLoopbackListeners) {
        m_loop.watch(fd, POLLIN, [this, fd = fd, port = port](short) {
            int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) adoptUsbConnection(port, client);
        });
    }
    if (m_config.usb && m_config.usbListenDelay > 0) {
        m_loop.after(platform::seconds(m_config.usbListenDelay), [this] {
            static const char kPorts[] = "ports 6004,6005,6006\n";
            if (m_usbRegistrationFd >= 0)
                sendAll(m_usbRegistrationFd, ByteView(reinterpret_cast<const uint8_t*>(kPorts), sizeof kPorts - 1));
            m_log.add("ctl", "usb-ports-offered");
        });
    }
    if (m_config.timeout > 0)
        m_loop.at(m_startTime + platform::seconds(m_config.timeout), [this] { endRun(3, "timeout"); });
    if (!m_config.connectHost.empty()) connectTo(m_config.connectHost);
    m_loop.run();
}

void Client::stop() {
    if (!m_thread.joinable()) return;
    m_loop.post([this] { endRun(0, "stopped"); });
    m_thread.join();
}

void Client::detachUsb() {
    m_loop.post([this] {
        if (m_config.usb && !m_ended) usbDetach();
    });
}

int Client::waitForExit() {
    waitFor([](const Snapshot& s) { return s.exitCode.has_value(); }, platform::kDistantFuture.time_since_epoch());
    if (m_thread.joinable()) m_thread.join();
    return *snapshot().exitCode;
}

bool Client::waitFor(const std::function<bool(const Snapshot&)>& predicate, platform::Duration timeout) const {
    std::unique_lock lock(m_mutex);
    auto start = platform::now();
    auto deadline = timeout >= platform::kDistantFuture - start ? platform::kDistantFuture : start + timeout;
    return platform::waitUntil(m_changed, lock, deadline, [&] { return predicate(m_snapshot); });
}

Snapshot Client::snapshot() const {
    std::lock_guard lock(m_mutex);
    return m_snapshot;
}

Picture Client::picture() const {
    std::unique_lock pixels(m_pictureLock);
    std::lock_guard lock(m_mutex);
    return m_picture;
}

std::optional<CursorImage> Client::cursorImage() const {
    std::lock_guard lock(m_mutex);
    return m_cursorImage;
}

std::vector<std::string> Client::log() const { return m_log.lines(); }

void Client::setState(ClientState state) {
    update([state](Snapshot& s) {
        s.state = state;
        if (state == ClientState::Idle) s.activated = false;
    });
}

// ---- Connecting and the handshake ----

void Client::connectTo(const std::string& ip) {
    auto server = NetAddress::parse(ip, m_config.serverPort);
    if (!server) {
        connectFailed(platform::format("\"%@\" is not an IP address", ip));
        return;
    }
    std::optional<NetAddress> source;
    if (!m_bindAddress->isAnyAddress()) {
        source = m_bindAddress->asFamily(server->family());
        if (!source) {
            connectFailed(platform::format("cannot reach %@ from %@", ip, m_config.bindAddress));
            return;
        }
        source->setPort(0);
    }
    int fd = startTcpConnect(*server, source);
    if (fd < 0) {
        connectFailed(platform::format("connect to %@ failed: %@", ip, std::strerror(errno)));
        return;
    }
    if (m_connection && m_connection->fd >= 0) m_keptFds.push_back(m_connection->fd);
    m_connection = std::make_unique<Connection>();
    m_connection->fd = fd;
    m_connection->server = *server;
    m_connection->generation = m_nextGeneration++;
    update([ip](Snapshot& s) {
        s.state = ClientState::Connecting;
        s.silent = false;
        s.serverAddress = ip;
    });
    m_loop.watch(fd, POLLOUT, [this](short) { onConnectReady(); });
}

void Client::connectFailed(const std::string& reason) {
    platform::log("refclient: %@", reason);
    m_log.add(m_streamSource, "closed", {{"reason", reason}});
    if (m_connection && m_connection->fd >= 0) {
        m_loop.unwatch(m_connection->fd);
        ::close(m_connection->fd);
    }
    m_connection.reset();
    setState(ClientState::Idle);
    if (m_config.once) endRun(2, "connect failed");
}

void Client::onConnectReady() {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(m_connection->fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        connectFailed(platform::format("connect to %@ failed: %@", m_connection->server.ip(), std::strerror(error)));
        return;
    }
    m_loop.unwatch(m_connection->fd);
    m_log.add(m_streamSource, "connect", {{"to", m_connection->server.ip()}, {"from", m_config.bindAddress}});
    update([](Snapshot& s) {
        s.state = ClientState::Handshaking;
        ++s.sessions;
    });
    announceConnState(true);
    beginSession();
}

void Client::beginSession() {
    HandshakeFields fields = m_config.handshakeFields();
    Bytes handshake = m_config.handshakeOverride ? *m_config.handshakeOverride : encodeHandshake(fields);
    Bytes hashes = m_config.handshakeOverride ? Bytes() : encodeIconHashes(fields);
    if (m_config.handshakeCut >= 0) {
        handshake.resize(std::min(handshake.size(), static_cast<size_t>(m_config.handshakeCut)));
        sendOnStream(handshake);
        m_log.add(m_streamSource, "handshake-sent", {{"bytes", text(handshake.size())}, {"hashes", "0"}});
        endByLimit("handshake-cut");
        return;
    }
    bool sent = sendOnStream(handshake) && (hashes.empty() || sendOnStream(hashes));
    m_log.add(m_streamSource, "handshake-sent",
              {{"bytes", text(handshake.size())}, {"hashes", text(hashes.size() / kIconHashSize)}});
    if (!sent) {
        closeConnection("send-failed", EndMode::Fin);
        return;
    }
    if (m_config.closeAfterHandshake) {
        endByLimit("close-after-handshake");
        return;
    }
    m_connection->parser = std::make_unique<StreamParser>(m_config.protocol, static_cast<StreamHandler&>(*this));
    m_loop.watch(m_connection->fd, POLLIN, [this](short) { onStreamReadable(); });
    setState(ClientState::Session);
    // Armed before the first request goes out: a peer that has seen the request (a test moving the
    // clock on) must find the session's end already counting.
    if (m_config.endAfter > 0) {
        uint64_t generation = m_connection->generation;
        m_connection->endAfterTimer = m_loop.after(platform::seconds(m_config.endAfter), [this, generation] {
            if (m_connection && m_connection->generation == generation) endByLimit("end-after");
        });
    }
    sendUpdateRequest();
    scheduleHeartbeat();
}

// ---- Main stream ----

bool Client::sendOnStream(ByteView bytes) {
    if (!m_connection || m_connection->fd < 0) return false;
    // Stamped before the send: the peer may react (and a test move the clock) before it returns.
    m_connection->lastSent = platform::now();
    if (m_connection->usb) return sendAll(m_connection->fd, encodeUsbDataFrame(kUsbFrameStream, m_connection->nextTag++, bytes));
    return sendAll(m_connection->fd, bytes);
}

// With --stop-requests-after-frames N, frames 1..N are answered and then nothing is.
bool Client::requestsAllowed(bool answeringFrame) const {
    if (m_config.stopRequestsAfterFrames < 0) return true;
    auto limit = static_cast<uint64_t>(m_config.stopRequestsAfterFrames);
    return m_framesInRun < limit || (answeringFrame && m_framesInRun == limit);
}

void Client::sendUpdateRequest() {
    if (!sendOnStream(updateRequestMessage())) return;
    m_log.add(m_streamSource, "request-sent");
    update([](Snapshot& s) { ++s.requestsSent; });
}

void Client::scheduleDelayedRequest() {
    uint64_t generation = m_connection->generation;
    m_loop.after(platform::seconds(kEmptyAnswerDelaySeconds), [this, generation] {
        if (m_connection && m_connection->generation == generation && m_connection->parser && requestsAllowed(false))
            sendUpdateRequest();
    });
}

void Client::scheduleHeartbeat() {
    if (m_config.noHeartbeat || !m_connection) return;
    uint64_t generation = m_connection->generation;
    auto due = m_connection->lastSent + platform::seconds(kHeartbeatIdleSeconds);
    m_connection->heartbeatTimer = m_loop.at(due, [this, generation] {
        if (!m_connection || m_connection->generation != generation || !m_connection->parser) return;
        if (platform::now() - m_connection->lastSent >= platform::seconds(kHeartbeatIdleSeconds)) {
            if (sendOnStream(clientHeartbeatMessage())) {
                m_log.add(m_streamSource, "heartbeat-sent");
                update([](Snapshot& s) { ++s.heartbeatsSent; });
            }
        }
        scheduleHeartbeat();
    });
}

void Client::onStreamReadable() {
    Bytes& buffer = m_streamReadBuffer;
    if (buffer.size() < kStreamReadChunk) buffer.resize(kStreamReadChunk);
    ssize_t n;
    do {
        n = ::recv(m_connection->fd, buffer.data(), buffer.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        const std::string reason = n == 0 ? "eof" : std::strerror(errno);
        if (!m_waitingRecords.empty()) {
            // What was read before the end is handled first; a record may end the reading.
            flushRecords();
            settlePending();
            if (!m_connection || m_connection->parser->stopped()) return;
        }
        closeConnection(reason, EndMode::Fin);
        return;
    }
    ByteView got(buffer.data(), static_cast<size_t>(n));
    if (m_connection->usb) {
        UsbFrameDecoder& frames = *m_connection->frames;
        frames.feed(got);
        if (frames.ended() && !m_pending.close && !m_pending.endCode) {
            m_pending.close = true;
            m_pending.reason = "end-frame";
        }
    } else {
        m_connection->parser->feed(got);
    }
    settlePending();
}

// Actions decided inside parser callbacks run here, once the parser has returned.
void Client::settlePending() {
    Pending pending = std::move(m_pending);
    m_pending = Pending();
    if (pending.usbDetach) {
        usbDetach();
        return;
    }
    if (pending.endCode) {
        if (*pending.endCode == 0) {
            endByLimit(pending.reason);
        } else {
            endRun(*pending.endCode, pending.reason);
        }
    } else if (pending.close) {
        closeConnection(pending.reason, EndMode::Fin);
    }
}

void Client::busyReceived(uint64_t id) {
    m_log.add(m_streamSource, "busy", {{"id", text(id)}});
    update([id](Snapshot& s) { s.busyId = id; });
    if (id == 0) {
        m_busyRefused = true;
        m_pending.close = true;
        m_pending.reason = "busy";
        m_connection->parser->stop();
        return;
    }
    std::optional<uint64_t> answer = m_config.busyAnswer;
    if (!answer && id == m_config.caps.gateletClientId) answer = id;
    if (!answer) {
        m_pending.close = true;
        m_pending.reason = "busy-not-ours";
        m_connection->parser->stop();
        return;
    }
    sendOnStream(busyAnswerMessage(*answer));
}

void Client::resolutionReceived(const ResolutionMessage& m) {
    m_log.add(m_streamSource, "resolution",
              {{"w", text(m.width)}, {"h", text(m.height)}, {"req", m.requestNumber ? text(*m.requestNumber) : "none"}});
    {
        std::unique_lock pixels(m_pictureLock);
        std::lock_guard lock(m_mutex);
        m_picture.resize(m.width, m.height);
        m_snapshot.pictureWidth = m_picture.width();
        m_snapshot.pictureHeight = m_picture.height();
        m_snapshot.lastResolution = m;
        ++m_snapshot.resolutions;
    }
    m_changed.notify_all();
}

void Client::updateBegan(uint8_t type, uint16_t count) {
    if (type == kMessageScreenUpdateWithAppInfo) {
        m_log.add(m_streamSource, "update", {{"count", text(count)}, {"type", "0x28"}});
    } else {
        m_log.add(m_streamSource, "update", {{"count", text(count)}});
    }
    m_tally = UpdateTally{type};
    m_updateJpegs.clear();
    m_updateDecodesInPlace = true;
}

void Client::updateRecordReceived(const RectangleRecord& r, ByteView payload) {
    // A JPEG that can be painted starts decoding on a worker at once. From the first such
    // record on, the update's records wait and run in the order they were read, each once the
    // decodings before it are done, so the log and the picture are as if decoded one by one.
    std::shared_ptr<JpegDecodeJob> job;
    if (r.encoding == kEncodingJPG && r.width != 0 && r.height != 0 && !payload.empty() &&
        m_picture.contains(r.x, r.y, r.width, r.height)) {
        if (!m_decoders) m_decoders = std::make_unique<JpegDecodePool>();
        DecodeTarget target;
        if (decodesInPlace(r, payload)) {
            target.pixels = m_picture.pixelAddress(r.x, r.y);
            target.pitch = m_picture.bytesPerRow();
            target.lock = &m_pictureLock;
        }
        m_updateJpegs.push_back(r);
        job = m_decoders->decode(Bytes(payload.begin(), payload.end()), r.width, r.height, target);
    }
    if (!job && m_waitingRecords.empty()) {
        handleRecord(r, payload, nullptr);
        return;
    }
    Bytes kept = job ? Bytes() : Bytes(payload.begin(), payload.end());
    m_waitingRecords.push_back({[this, r, source = m_errorSource, kept = std::move(kept), job] {
                                    std::string_view reading = std::exchange(m_errorSource, source);
                                    handleRecord(r, kept, job.get());
                                    m_errorSource = reading;
                                },
                                job});
}

// Decoding straight into the picture is safe for a rectangle no earlier one of its update
// meets (the later of two overlapping rectangles must paint last). A header that cannot be read
// stops it for the rest of the update: in a strict run nothing after that record may show.
bool Client::decodesInPlace(const RectangleRecord& r, ByteView payload) {
    constexpr size_t kMostCompared = 64; // beyond, the overlap checks would cost more than they save
    if (!m_updateDecodesInPlace) return false;
    if (m_updateJpegs.size() >= kMostCompared || !m_decoders->headerFits(payload, r.width, r.height)) {
        m_updateDecodesInPlace = false;
        return false;
    }
    const auto meets = [&r](const RectangleRecord& o) {
        return r.x < o.x + o.width && o.x < r.x + r.width && r.y < o.y + o.height && o.y < r.y + r.height;
    };
    return std::none_of(m_updateJpegs.begin(), m_updateJpegs.end(), meets);
}

void Client::flushRecords() {
    if (m_flushingRecords) return; // a waiting record's own protocol error
    m_flushingRecords = true;
    // Decodings no worker has taken yet run here first (the records below would only wait
    // for them), then the records run in their order.
    if (m_connection && m_connection->parser && !m_connection->parser->stopped()) {
        for (WaitingRecord& record : m_waitingRecords)
            if (record.job) m_decoders->runIfUnstarted(*record.job);
    }
    while (!m_waitingRecords.empty()) {
        // A stopped parser hands out nothing more: records read after the stop are dropped.
        if (!m_connection || !m_connection->parser || m_connection->parser->stopped()) {
            dropWaitingRecords();
            break;
        }
        auto record = std::move(m_waitingRecords.front());
        m_waitingRecords.pop_front();
        record.run();
    }
    m_flushingRecords = false;
}

void Client::dropWaitingRecords() {
    for (WaitingRecord& record : m_waitingRecords)
        if (record.job) m_decoders->drop(*record.job);
    m_waitingRecords.clear();
}

void Client::handleRecord(const RectangleRecord& r, ByteView payload, JpegDecodeJob* decoded) {
    m_log.add(m_streamSource, "rect",
              {{"x", text(r.x)}, {"y", text(r.y)}, {"w", text(r.width)}, {"h", text(r.height)},
               {"enc", text(r.encoding)}, {"len", text(r.length)}});
    switch (r.encoding) {
    case kEncodingJPG: paintRecord(r, payload, decoded); break;
    case kEncodingMouseCursor: cursorImageRecord(r, payload); break;
    case kEncodingMousePos:
        m_tally.cursor = true;
        m_log.add(m_streamSource, "cursor", {{"x", text(r.x)}, {"y", text(r.y)}, {"visible", r.width == 1 ? "1" : "0"}});
        update([&r](Snapshot& s) {
            s.cursor.haveStreamPosition = true;
            s.cursor.streamX = r.x;
            s.cursor.streamY = r.y;
        });
        break;
    default: break; // skipped by the parser, which reported it
    }
}

void Client::paintRecord(const RectangleRecord& r, ByteView payload, JpegDecodeJob* decoded) {
    if (r.width == 0 || r.height == 0) return; // the empty form of old clients: not a frame
    m_tally.frame = true;
    if (!decoded && payload.empty()) return; // a rectangle whose JPEG could not be made draws nothing
    std::string error;
    bool painted;
    if (decoded) {
        painted = m_decoders->finish(*decoded, error);
        if (painted && !decoded->inPlace()) {
            // Decodings still under way write rectangles this one does not meet.
            std::shared_lock pixels(m_pictureLock);
            std::lock_guard lock(m_mutex);
            painted = m_picture.paint(r.x, r.y, r.width, r.height, decoded->image().bgrx);
        }
        if (!decoded->inPlace()) m_decoders->recycle(std::move(decoded->image().bgrx));
    } else {
        std::shared_lock pixels(m_pictureLock);
        std::lock_guard lock(m_mutex);
        painted = m_picture.paintJpeg(r.x, r.y, r.width, r.height, payload, error);
    }
    if (!painted) {
        protocolError(error, false);
        return;
    }
    m_tally.changed = true;
}

void Client::cursorImageRecord(const RectangleRecord& r, ByteView payload) {
    m_tally.cursor = true;
    auto size = pngSize(payload);
    if (!size) {
        protocolError(platform::format("cursor image of %u bytes is no PNG", payload.size()), false);
        return;
    }
    if (size->first != r.width || size->second != r.height)
        platform::log("refclient: cursor record says %ux%u, its PNG is %ux%u", r.width, r.height, size->first,
                      size->second);
    {
        std::lock_guard lock(m_mutex);
        m_cursorImage = CursorImage{Bytes(payload.begin(), payload.end()), r.x, r.y, r.width, r.height};
        CursorState& c = m_snapshot.cursor;
        c.haveImage = true;
        c.hotX = r.x;
        c.hotY = r.y;
        c.width = r.width;
        c.height = r.height;
        c.pngWidth = size->first;
        c.pngHeight = size->second;
    }
    m_changed.notify_all();
    std::string error;
    if (!m_config.cursorPngPath.empty() && !writeFileAtomically(m_config.cursorPngPath, payload, error))
        platform::log("refclient: %@", error);
}

void Client::updateEnded() {
    flushRecords();
    if (!m_connection || m_connection->parser->stopped()) return; // a record ended the reading
    UpdateTally tally = m_tally;
    if (tally.frame) {
        ++m_framesInRun;
        update([at = platform::now().time_since_epoch().count()](Snapshot& s) {
            ++s.updates;
            ++s.frames;
            s.activated = true;
            s.lastFrameAt = at;
        });
        if (tally.changed) pictureChanged();
        if (!m_stepsStarted) {
            m_stepsStarted = true;
            runSendSteps();
        }
        if (m_config.usb && !m_config.usbFrameFault.empty() && !m_usbFaultSent) injectUsbFrameFault();
        if (m_config.usb && m_config.usbDetachAfterFrames > 0 &&
            m_framesInRun >= static_cast<uint64_t>(m_config.usbDetachAfterFrames)) {
            m_pending.usbDetach = true;
            m_connection->parser->stop();
            return;
        }
        if (m_config.exitAfterFrames > 0 && m_framesInRun >= static_cast<uint64_t>(m_config.exitAfterFrames)) {
            m_pending.endCode = 0;
            m_pending.reason = "exit-after-frames";
            m_connection->parser->stop();
            return;
        }
        if (requestsAllowed(true)) sendUpdateRequest();
        return;
    }
    if (tally.cursor) {
        update([](Snapshot& s) {
            ++s.updates;
            ++s.cursorOnlyUpdates;
        });
        return;
    }
    // Scheduled before the count is published, so a waiter that moves the clock on
    // seeing the count cannot outrun the timer.
    if (!m_config.noEmptyAnswers && requestsAllowed(false)) scheduleDelayedRequest();
    update([](Snapshot& s) {
        ++s.updates;
        ++s.emptyUpdates;
    });
}

void Client::multiDisplayReceived(uint16_t count) {
    m_log.add(m_streamSource, "multi-display", {{"count", text(count)}});
    update([count](Snapshot& s) { s.displayCount = count; });
}

void Client::systemInformationReceived(ByteView document, bool wellFormed) {
    m_log.add(m_streamSource, "sysinfo", {{"len", text(document.size())}, {"ok", wellFormed ? "1" : "0"}});
    update([wellFormed](Snapshot& s) {
        ++s.systemInformationCount;
        s.systemInformationOk = wellFormed;
    });
}

void Client::protocolError(const std::string& what, bool fatal) {
    flushRecords(); // the records read before the fault come first
    platform::log("refclient: protocol error, refused: %@", what);
    m_log.add(m_errorSource, "protocol-error", {{"what", what}});
    update([&what](Snapshot& s) { s.protocolErrors.push_back(what); });
    if (!m_config.lenient) {
        m_pending.endCode = 1;
        m_pending.reason = "protocol-error";
    } else if (fatal) {
        m_pending.close = true;
        m_pending.reason = "protocol-error";
    }
    if (m_connection && m_connection->parser && (fatal || !m_config.lenient)) m_connection->parser->stop();
}

// ---- Ending ----

void Client::closeConnection(const std::string& reason, EndMode mode) {
    if (!m_connection) return;
    flushRecords();
    Connection& c = *m_connection;
    if (c.parser) c.parser->stop();
    m_loop.cancel(c.heartbeatTimer);
    m_loop.cancel(c.endAfterTimer);
    if (c.fd >= 0) {
        m_loop.unwatch(c.fd);
        if (mode == EndMode::Rst) {
            linger hard{1, 0};
            ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        } else {
            ::shutdown(c.fd, SHUT_RDWR);
        }
        ::close(c.fd);
    }
    m_log.add(m_streamSource, "closed", {{"reason", reason}});
    m_connection.reset();
    if (m_config.away > 0) m_awayUntil = platform::now() + platform::seconds(m_config.away);
    setState(ClientState::Idle);
    announceConnState(false);
    if (m_config.once && !m_ended) endRun(m_busyRefused ? 4 : 0, "once");
    m_busyRefused = false;
}

void Client::goSilent() {
    if (!m_connection) return;
    flushRecords();
    Connection& c = *m_connection;
    if (c.parser) c.parser->stop();
    m_loop.cancel(c.heartbeatTimer);
    m_loop.cancel(c.endAfterTimer);
    m_loop.unwatch(c.fd);
    m_log.add(m_streamSource, "silent");
    update([](Snapshot& s) { s.silent = true; });
    if (m_config.reconnectAfterSilent > 0) {
        uint64_t generation = c.generation;
        std::string ip = c.server.ip();
        m_loop.after(platform::seconds(m_config.reconnectAfterSilent), [this, generation, ip] {
            if (m_connection && m_connection->generation == generation) connectTo(ip);
        });
    }
}

// The normal end the fault options and --exit-after-frames ask for, in the chosen way.
void Client::endByLimit(const std::string& reason) {
    if (m_config.endMode == EndMode::Silent) {
        goSilent();
        return;
    }
    closeConnection(reason, m_config.endMode);
    // A device that goes away (--away) stays to be invited back.
    if (m_config.away > 0) return;
    endRun(0, reason);
}

void Client::endRun(int code, const std::string& reason) {
    if (m_ended) return;
    m_ended = true;
    if (m_connection) closeConnection(reason, EndMode::Fin);
    if (!m_config.pngPath.empty()) writePng();
    m_log.add("ctl", "end", {{"code", text(code)}, {"reason", reason}});
    update([code](Snapshot& s) {
        s.exitCode = code;
        s.state = ClientState::Ended;
    });
    m_loop.quit();
}

// ---- Scripted datagrams and picture output ----

void Client::runSendSteps() {
    while (m_nextStep < m_config.sends.size()) {
        const SendStep& step = m_config.sends[m_nextStep++];
        if (step.waitMs > 0) {
            m_loop.after(platform::seconds(step.waitMs / 1000.0), [this] { runSendSteps(); });
            return;
        }
        for (const Bytes& d : step.datagrams) {
            if (!m_connection) break;
            sendDatagram(d);
        }
    }
}

void Client::pictureChanged() {
    if (m_config.pngPath.empty() || m_pngTimer) return;
    auto now = platform::now();
    auto interval = platform::seconds(kPngIntervalSeconds);
    if (!m_lastPngWrite || now - *m_lastPngWrite >= interval) {
        writePng();
        return;
    }
    m_pngTimer = m_loop.at(*m_lastPngWrite + interval, [this] {
        m_pngTimer = 0;
        writePng();
    });
}

void Client::writePng() {
    std::string error;
    std::optional<Bytes> png;
    {
        std::unique_lock pixels(m_pictureLock);
        std::lock_guard lock(m_mutex);
        png = encodePng(m_picture, error);
    }
    m_lastPngWrite = platform::now();
    if (!png || !writeFileAtomically(m_config.pngPath, *png, error)) {
        platform::log("refclient: picture not written: %@", error);
        return;
    }
    m_log.add("ctl", "png-written", {{"file", m_config.pngPath}});
    update([](Snapshot& s) { ++s.pngsWritten; });
}

} // namespace refclient
