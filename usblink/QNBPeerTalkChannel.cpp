#include "usblink/QNBPeerTalkChannel.h"

#include "platform/core/Log.h"
#include "platform/foundation/PerformSelector.h"
#include "usblink/QNBPeerTalkDeviceManager.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>

namespace usblink {

namespace {

platform::Error managerError(const char* description) {
    return platform::Error::withDescription(QNBPeerTalkDeviceManagerErrorDomain, 0, description);
}

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

bool isIgnoredLoopbackError(const platform::Error& error) {
    return error.domain == platform::NSPOSIXErrorDomain &&
           (error.code == ECONNREFUSED || error.code == ETIMEDOUT);
}

} // namespace

std::string NSStringFromQNBPeerTalkChannelState(int state) {
    switch (state) {
    case QNBPeerTalkChannelStateIdle:
        return "QNBPeerTalkChannelStateIdle";
    case QNBPeerTalkChannelStateClosed:
        return "QNBPeerTalkChannelStateClosed";
    case QNBPeerTalkChannelStateCancelled:
        return "QNBPeerTalkChannelStateCancelled";
    case QNBPeerTalkChannelStateConnecting:
        return "QNBPeerTalkChannelStateConnecting";
    case QNBPeerTalkChannelStateListening:
        return "QNBPeerTalkChannelStateListening";
    case QNBPeerTalkChannelStateConnected:
        return "QNBPeerTalkChannelStateConnected";
    case QNBPeerTalkChannelStateDisconnected:
        return "QNBPeerTalkChannelStateDisconnected";
    default:
        return "unknown/invalid";
    }
}

dispatch::dispatch_data_t QNBPeerTalkDispatchWithData(const void* bytes, size_t length) {
    std::vector<uint8_t> buffer(length + 4);
    auto n = static_cast<uint32_t>(length);
    buffer[0] = static_cast<uint8_t>(n >> 24);
    buffer[1] = static_cast<uint8_t>(n >> 16);
    buffer[2] = static_cast<uint8_t>(n >> 8);
    buffer[3] = static_cast<uint8_t>(n);
    if (length > 0) std::memcpy(buffer.data() + 4, bytes, length);
    return dispatch::dispatch_data_create_with_bytes(std::move(buffer));
}

// ---- Pending sends ----

void QNBPeerTalkChannel::PendingSend::complete(OptionalError e) {
    std::lock_guard lock(mutex);
    if (done) return;
    done = true;
    error = std::move(e);
    cv.notify_all();
}

bool QNBPeerTalkChannel::PendingSend::wait(platform::TimePoint deadline) {
    std::unique_lock lock(mutex);
    if (deadline == platform::kDistantFuture) {
        cv.wait(lock, [this] { return done; });
        return true;
    }
    return platform::waitUntil(cv, lock, deadline, [this] { return done; });
}

// ---- Life ----

QNBPeerTalkChannel::QNBPeerTalkChannel(std::shared_ptr<QNBPeerTalkDeviceManager> manager,
                                       std::optional<int64_t> deviceID, std::optional<cf::Value> properties,
                                       int port, std::weak_ptr<QNBPeerTalkChannelDelegate> delegate)
    : m_manager(manager), m_deviceID(deviceID), m_deviceProperties(std::move(properties)), m_port(port),
      m_delegate(std::move(delegate)) {}

std::shared_ptr<QNBPeerTalkChannel>
QNBPeerTalkChannel::initWithDeviceID(std::shared_ptr<QNBPeerTalkDeviceManager> manager, int64_t deviceID,
                                     std::optional<cf::Value> properties, int port,
                                     std::weak_ptr<QNBPeerTalkChannelDelegate> delegate) {
    auto channel = std::shared_ptr<QNBPeerTalkChannel>(new QNBPeerTalkChannel(
        std::move(manager), deviceID, std::move(properties), port, std::move(delegate)));
    channel->connect();
    return channel;
}

std::shared_ptr<QNBPeerTalkChannel>
QNBPeerTalkChannel::initWithPort(std::shared_ptr<QNBPeerTalkDeviceManager> manager, int port,
                                 std::weak_ptr<QNBPeerTalkChannelDelegate> delegate) {
    auto channel = std::shared_ptr<QNBPeerTalkChannel>(
        new QNBPeerTalkChannel(std::move(manager), std::nullopt, std::nullopt, port, std::move(delegate)));
    channel->connect();
    return channel;
}

QNBPeerTalkChannel::~QNBPeerTalkChannel() {
    close();
}

int QNBPeerTalkChannel::state() const {
    std::lock_guard lock(m_lock);
    return m_state;
}

std::shared_ptr<PTChannel> QNBPeerTalkChannel::channel() const {
    std::lock_guard lock(m_lock);
    return m_channel;
}

std::shared_ptr<PTChannel> QNBPeerTalkChannel::hostChannel() const {
    std::lock_guard lock(m_lock);
    return m_hostChannel;
}

void QNBPeerTalkChannel::setDelegate(std::weak_ptr<QNBPeerTalkChannelDelegate> delegate) {
    std::lock_guard lock(m_lock);
    m_delegate = std::move(delegate);
}

std::string QNBPeerTalkChannel::description() const {
    const char* state;
    switch (this->state()) {
    case QNBPeerTalkChannelStateConnected:
        state = "; connected";
        break;
    case QNBPeerTalkChannelStateConnecting:
        state = "; connecting";
        break;
    case QNBPeerTalkChannelStateListening:
        state = "; listening";
        break;
    case QNBPeerTalkChannelStateDisconnected:
        state = "; disconnected";
        break;
    default:
        state = "; idle";
        break;
    }
    return platform::format("<QNBPeerTalkChannel: %p; port=%li%s>", static_cast<const void*>(this),
                            static_cast<long>(m_port), state);
}

// ---- Connecting ----

void QNBPeerTalkChannel::connect() {
    {
        std::lock_guard lock(m_lock);
        m_state = QNBPeerTalkChannelStateConnecting;
    }
    auto self = shared_from_this();
    dispatch::dispatch_async(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT),
                             [self] { self->connectToLoopback(); });
}

void QNBPeerTalkChannel::connectToLoopback() {
    std::optional<platform::Error> failed;
    bool connected = false;
    std::shared_ptr<PTChannel> replaced;
    {
        std::lock_guard lock(m_lock);
        // Closed or cancelled before this attempt got its turn: nothing to connect for.
        if (m_state == QNBPeerTalkChannelStateClosed || m_state == QNBPeerTalkChannelStateCancelled) return;
        auto loopback = PTChannel::channelWithDelegate(weak_from_this());
        loopback->setUserInfo(platform::format("127.0.0.1:%d", m_port));
        connectToUSBDevice();
        OptionalError error;
        std::shared_ptr<PTAddress> address;
        loopback->connectToPort(static_cast<uint16_t>(m_port), INADDR_LOOPBACK,
                                [&](OptionalError e, std::shared_ptr<PTAddress> a) {
                                    error = std::move(e);
                                    address = std::move(a);
                                });
        if (error) {
            if (!isIgnoredLoopbackError(*error)) failed = error;
        } else {
            if (m_channel && m_channel != loopback) replaced = m_channel;
            m_channel = loopback;
            loopback->setUserInfo(address ? address->description() : "(?)");
            m_state = QNBPeerTalkChannelStateConnected;
            connected = true;
        }
    }
    if (replaced) {
        replaced->setDelegate({});
        replaced->close();
    }
    if (failed) {
        if (auto d = delegate()) d->peerTalkChannelConnectionFailed(shared_from_this(), *failed);
    }
    if (connected) tellConnected();
}

void QNBPeerTalkChannel::connectToUSBDevice() {
    std::shared_ptr<PTChannel> attempt;
    std::shared_ptr<PTUSBHub> hub;
    {
        std::lock_guard lock(m_lock);
        if (m_state == QNBPeerTalkChannelStateClosed || m_state == QNBPeerTalkChannelStateCancelled ||
            m_state == QNBPeerTalkChannelStateConnected || m_state == QNBPeerTalkChannelStateDisconnected)
            return;
        auto manager = m_manager.lock();
        if (!manager || !m_deviceID || !manager->hasDeviceID(*m_deviceID)) return;
        hub = manager->hub();
        if (!hub) return;
        attempt = PTChannel::channelWithDelegate(weak_from_this());
        attempt->setUserInfo(platform::format("%lld", static_cast<long long>(*m_deviceID)));
        m_channel = attempt;
    }
    std::weak_ptr<QNBPeerTalkChannel> weak = weak_from_this();
    attempt->connectToPort(static_cast<uint16_t>(m_port), hub, *m_deviceID,
                           [weak, attempt](OptionalError error) {
                               if (auto s = weak.lock()) {
                                   s->usbConnectResult(attempt, error);
                               } else {
                                   attempt->close();
                               }
                           });
}

void QNBPeerTalkChannel::usbConnectResult(const std::shared_ptr<PTChannel>& attempt,
                                          const OptionalError& error) {
    {
        std::lock_guard lock(m_lock);
        if (m_channel != attempt || m_state != QNBPeerTalkChannelStateConnecting) {
            // Superseded (a loopback connection won, or the channel was closed): not ours any more.
            attempt->setDelegate({});
            attempt->close();
            return;
        }
        if (error) {
            // usbmuxd refused (the device's app may not listen yet): try again in a second.
            std::weak_ptr<QNBPeerTalkChannel> weak = weak_from_this();
            ns::performSelectorAfterDelay(
                weak_from_this(), "connectToUSBDevice",
                [weak] {
                    if (auto s = weak.lock()) s->connectToUSBDevice();
                },
                kUSBRetryInterval);
            return;
        }
        m_state = QNBPeerTalkChannelStateConnected;
    }
    tellConnected();
}

void QNBPeerTalkChannel::tellConnected() {
    auto d = delegate();
    if (d && d->respondsToConnected()) d->peerTalkChannelConnected(shared_from_this());
}

void QNBPeerTalkChannel::listen() {
    OptionalError failed;
    {
        std::lock_guard lock(m_lock);
        if (m_state == QNBPeerTalkChannelStateListening) return;
        auto host = PTChannel::channelWithDelegate(weak_from_this());
        host->listenOnPort(static_cast<uint16_t>(m_port), INADDR_LOOPBACK,
                           [&](OptionalError e) { failed = e; });
        if (!failed) {
            m_hostChannel = host;
            m_state = QNBPeerTalkChannelStateListening;
        }
    }
    if (failed) {
        if (auto d = delegate()) d->peerTalkChannelListeningFailed(shared_from_this(), *failed);
    }
}

void QNBPeerTalkChannel::shutDown(int newState, bool stop) {
    std::shared_ptr<PTChannel> channel, host;
    std::shared_ptr<PendingSend> send;
    {
        std::lock_guard lock(m_lock);
        channel = std::move(m_channel);
        host = std::move(m_hostChannel);
        m_channel = nullptr;
        m_hostChannel = nullptr;
        m_state = newState;
        send = m_sendSemaphore;
    }
    // A sender still waiting learns that its frame did not go out (before the stopped write's
    // own ECANCELED can reach it): woken without an error, it would report a frame that was
    // never written as sent.
    if (send) send->complete(managerError("Not connected"));
    ns::cancelPreviousPerformRequestsWithTarget(this);
    for (const auto& c : {channel, host}) {
        if (!c) continue;
        c->setDelegate({});
        if (stop) {
            c->close();
        } else {
            c->cancel();
        }
    }
}

void QNBPeerTalkChannel::close() {
    shutDown(QNBPeerTalkChannelStateClosed, true);
}

void QNBPeerTalkChannel::cancel() {
    shutDown(QNBPeerTalkChannelStateCancelled, false);
}

void QNBPeerTalkChannel::failConnection(const platform::Error& error) {
    platform::log("%@: %@; closing the channel", description(), error.localizedDescription());
    close();
    if (auto d = delegate()) d->peerTalkChannelConnectionFailed(shared_from_this(), error);
    std::lock_guard lock(m_lock);
    if (m_state == QNBPeerTalkChannelStateClosed) m_state = QNBPeerTalkChannelStateDisconnected;
}

// ---- Sending ----

std::optional<platform::Error> QNBPeerTalkChannel::sendBytes(const void* bytes, size_t length,
                                                             double timeout) {
    std::lock_guard sendLock(m_sendLock);
    auto send = std::make_shared<PendingSend>();
    std::shared_ptr<PTChannel> channel;
    {
        std::lock_guard lock(m_lock);
        if (m_state != QNBPeerTalkChannelStateConnected) return managerError("Not connected");
        if (!m_channel) return managerError("No channel");
        m_sendSemaphore = send;
        channel = m_channel;
    }
    auto payload = QNBPeerTalkDispatchWithData(bytes, length);
    auto deadline = timeout > 0 ? platform::now() + platform::seconds(timeout) : platform::kDistantFuture;
    // The frame is issued from the sender's thread: sendLock keeps the sends in order, and the
    // I/O channel's writes are ordered units, so no queue hop is needed to serialise them.
    channel->sendFrameOfType(kQNBFrameTypeStream, channel->protocol()->newTag(), payload,
                             [send](OptionalError error) { send->complete(std::move(error)); });
    bool finished = send->wait(deadline);
    OptionalError result;
    if (finished) {
        std::lock_guard lock(send->mutex);
        result = send->error;
    } else {
        send->complete(managerError("Timed out"));
        result = managerError("Timed out");
    }
    std::lock_guard lock(m_lock);
    if (m_sendSemaphore == send) m_sendSemaphore = nullptr;
    return result;
}

std::optional<platform::Error> QNBPeerTalkChannel::sendBytes(const void* bytes, size_t length) {
    return sendBytes(bytes, length, 0);
}

std::optional<platform::Error> QNBPeerTalkChannel::sendData(const cf::Bytes& data) {
    return sendBytes(data.data(), data.size(), 0);
}

bool QNBPeerTalkChannel::sendDatagramWithBytes(const void* bytes, size_t length) {
    std::shared_ptr<PTChannel> channel;
    {
        std::lock_guard lock(m_lock);
        if (m_state != QNBPeerTalkChannelStateConnected || !m_channel) return false;
        channel = m_channel;
    }
    auto send = std::make_shared<PendingSend>();
    auto deadline = platform::now() + platform::seconds(kDatagramWriteWait);
    channel->sendFrameOfType(kQNBFrameTypeDatagram, channel->protocol()->newTag(),
                             QNBPeerTalkDispatchWithData(bytes, length),
                             [send](OptionalError error) { send->complete(std::move(error)); });
    if (!send->wait(deadline)) return true; // still on its way
    // A write that failed answers NO: reported as sent, a datagram lost on a broken link would
    // look delivered to its sender.
    std::lock_guard lock(send->mutex);
    return !send->error;
}

dispatch::dispatch_queue_t QNBPeerTalkChannel::usb_connect_queue() {
    std::lock_guard lock(m_lock);
    if (!m_usbConnectQueue)
        m_usbConnectQueue = dispatch::dispatch_queue_create("", dispatch::DISPATCH_QUEUE_SERIAL);
    return m_usbConnectQueue;
}

void QNBPeerTalkChannel::sendTestFrame() {
    auto channel = this->channel();
    if (!channel) return;
    auto payload = createReferencingDispatchData(cf::Dictionary{{"Connected", cf::Value("Value")}});
    if (!payload) return;
    channel->sendFrameOfType(kQNBFrameTypeDictionary, 0, payload, nullptr);
}

// ---- Frames ----

bool QNBPeerTalkChannel::ioFrameChannelShouldAcceptFrameOfType(const std::shared_ptr<PTChannel>& channel,
                                                               uint32_t type, uint32_t, uint32_t) {
    std::lock_guard lock(m_lock);
    return type >= kQNBFrameTypeDictionary && type <= kQNBFrameTypeDatagram && channel == m_channel;
}

void QNBPeerTalkChannel::ioFrameChannelDidReceiveFrameOfType(const std::shared_ptr<PTChannel>& channel,
                                                             uint32_t type, uint32_t,
                                                             const std::shared_ptr<PTData>& payload) {
    {
        std::lock_guard lock(m_lock);
        if (channel != m_channel) return;
    }
    if (type == kQNBFrameTypeDictionary) {
        if (payload && !dictionaryWithContentsOfDispatchData(payload->mapped()))
            platform::log("%@: a dictionary frame that holds no dictionary; dropped", description());
        return;
    }
    if (type != kQNBFrameTypeStream && type != kQNBFrameTypeDatagram) return;
    size_t payloadLength = payload ? payload->length() : 0;
    uint32_t n = payloadLength >= 4 ? be32(payload->data()) : 0;
    if (payloadLength < 4 || n > payloadLength - 4) {
        if (type == kQNBFrameTypeStream) {
            // Stream bytes were lost: the session's stream would be out of step from here on.
            failConnection(managerError("Malformed stream frame"));
        } else {
            platform::log("%@: a datagram frame of %zu bytes announcing %u; dropped", description(),
                          payloadLength, n);
        }
        return;
    }
    if (n == 0) return;
    auto d = delegate();
    if (!d) return;
    auto self = shared_from_this();
    if (type == kQNBFrameTypeDatagram) {
        d->peerTalkChannelDidReceiveDatagram(self, std::span<const uint8_t>(payload->data() + 4, n));
        return;
    }
    if (!d->peerTalkChannelDidReceiveBytes(self, payload->data() + 4, n))
        failConnection(managerError("Stream bytes could not be stored"));
}

void QNBPeerTalkChannel::ioFrameChannelDidEndWithError(const std::shared_ptr<PTChannel>& channel,
                                                       const OptionalError& error) {
    bool wasConnected;
    {
        std::lock_guard lock(m_lock);
        if (!channel || (channel != m_channel && channel != m_hostChannel)) return;
        wasConnected = m_state == QNBPeerTalkChannelStateConnected;
    }
    if (error) {
        close();
        if (auto d = delegate()) d->peerTalkChannelConnectionFailed(shared_from_this(), *error);
    } else if (wasConnected) {
        close();
        if (auto d = delegate()) d->peerTalkChannelDisconnected(shared_from_this());
    } else {
        return;
    }
    std::lock_guard lock(m_lock);
    if (m_state == QNBPeerTalkChannelStateClosed) m_state = QNBPeerTalkChannelStateDisconnected;
}

void QNBPeerTalkChannel::ioFrameChannelDidAcceptConnection(const std::shared_ptr<PTChannel>&,
                                                           const std::shared_ptr<PTChannel>& newChannel,
                                                           const std::shared_ptr<PTAddress>& address) {
    std::shared_ptr<PTChannel> replaced;
    {
        std::lock_guard lock(m_lock);
        if (m_channel && m_channel != newChannel) replaced = m_channel;
        m_channel = newChannel;
        newChannel->setUserInfo(address ? address->description() : "(?)");
        m_state = QNBPeerTalkChannelStateConnected;
    }
    if (replaced) replaced->cancel();
    tellConnected();
}

} // namespace usblink
