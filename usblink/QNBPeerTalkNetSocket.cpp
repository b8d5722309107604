#include "usblink/QNBPeerTalkNetSocket.h"

#include "platform/core/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Thread.h"
#include "usblink/QNBPeerTalkDeviceManager.h"

#include <algorithm>
#include <arpa/inet.h>

namespace usblink {

namespace {

// How often a connect on the main thread serves the run loop while it waits.
constexpr double kConnectPollInterval = 0.1;

bool isEnded(int state) {
    return state < 0 || state == QNBPeerTalkChannelStateIdle || state == QNBPeerTalkChannelStateClosed ||
           state == QNBPeerTalkChannelStateCancelled || state == QNBPeerTalkChannelStateDisconnected;
}

platform::TimePoint deadlineFor(double timeout) {
    return timeout > 0 ? platform::now() + platform::seconds(timeout) : platform::kDistantFuture;
}

bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, platform::TimePoint deadline,
             const std::function<bool()>& pred) {
    if (deadline == platform::kDistantFuture) {
        cv.wait(lock, pred);
        return true;
    }
    return platform::waitUntil(cv, lock, deadline, pred);
}

} // namespace

QNBPeerTalkNetSocket::QNBPeerTalkNetSocket(bool isUDP, uint16_t port, std::optional<int64_t> deviceID,
                                           std::shared_ptr<QNBPeerTalkDeviceManager> manager,
                                           size_t ringCapacity)
    : m_isUDP(isUDP), m_port(port), m_deviceID(deviceID), m_manager(std::move(manager)),
      m_ringCapacity(ringCapacity) {}

std::shared_ptr<QNBPeerTalkNetSocket>
QNBPeerTalkNetSocket::initWithPort(uint16_t port, std::optional<int64_t> deviceID,
                                   std::shared_ptr<QNBPeerTalkDeviceManager> manager) {
    return initWithPort(port, deviceID, std::move(manager), kReadBufferCapacity);
}

std::shared_ptr<QNBPeerTalkNetSocket>
QNBPeerTalkNetSocket::initWithPort(uint16_t port, std::optional<int64_t> deviceID,
                                   std::shared_ptr<QNBPeerTalkDeviceManager> manager, size_t ringCapacity) {
    return std::shared_ptr<QNBPeerTalkNetSocket>(
        new QNBPeerTalkNetSocket(false, port, deviceID, std::move(manager), ringCapacity));
}

std::shared_ptr<QNBPeerTalkNetSocket>
QNBPeerTalkNetSocket::initUDPWithPort(uint16_t port, std::optional<int64_t> deviceID,
                                      std::shared_ptr<QNBPeerTalkDeviceManager> manager) {
    return std::shared_ptr<QNBPeerTalkNetSocket>(
        new QNBPeerTalkNetSocket(true, port, deviceID, std::move(manager), kReadBufferCapacity));
}

std::shared_ptr<QNBPeerTalkNetSocket>
QNBPeerTalkNetSocket::init(std::shared_ptr<QNBPeerTalkDeviceManager> manager) {
    return initWithPort(0, std::nullopt, std::move(manager));
}

QNBPeerTalkNetSocket::~QNBPeerTalkNetSocket() {
    std::shared_ptr<QNBPeerTalkChannel> channel;
    {
        std::lock_guard lock(m_mutex);
        channel = std::move(m_peerTalkChannel);
    }
    if (channel) {
        channel->setDelegate({});
        channel->close();
    }
}

std::shared_ptr<QNBPeerTalkNetSocket> QNBPeerTalkNetSocket::self() {
    return std::static_pointer_cast<QNBPeerTalkNetSocket>(shared_from_this());
}

QNBRingBuffer& QNBPeerTalkNetSocket::ringLocked() {
    if (!m_readBuffer) m_readBuffer = std::make_unique<QNBRingBuffer>(m_ringCapacity);
    return *m_readBuffer;
}

std::shared_ptr<QNBPeerTalkChannel> QNBPeerTalkNetSocket::peerTalkChannel() const {
    std::lock_guard lock(m_mutex);
    return m_peerTalkChannel;
}

int QNBPeerTalkNetSocket::channelStateLocked() const {
    return m_peerTalkChannel ? m_peerTalkChannel->state() : -1;
}

int QNBPeerTalkNetSocket::channelState() const {
    auto channel = peerTalkChannel();
    return channel ? channel->state() : -1;
}

bool QNBPeerTalkNetSocket::channelEnded() const {
    return isEnded(channelState());
}

void QNBPeerTalkNetSocket::wakeWaiters() {
    { std::lock_guard lock(m_mutex); }
    m_changed.notify_all();
    // A connect waiting on the main thread serves the run loop; give it something to return for.
    if (m_mainThreadConnects.load() > 0)
        dispatch::RunLoop::main()->perform({std::string(dispatch::kCommonRunLoopModes)}, [] {});
}

// ---- Connecting ----

bool QNBPeerTalkNetSocket::connectToAddress(const net::SocketAddress&, uint16_t port, platform::Error*) {
    {
        std::lock_guard setup(m_channelSetup);
        auto channel = peerTalkChannel();
        if (port != m_port.load() || !channel) {
            if (channel && channel->port() != port) {
                channel->setDelegate({});
                channel->close();
                std::lock_guard lock(m_mutex);
                m_peerTalkChannel = nullptr;
                channel = nullptr;
            }
            m_port = port;
            if (!channel) {
                if (!m_manager) m_manager = QNBPeerTalkDeviceManager::peerTalkManager();
                std::weak_ptr<QNBPeerTalkChannelDelegate> delegate = self();
                auto made = m_deviceID ? m_manager->createChannelForDeviceWithID(*m_deviceID, port, delegate)
                                       : m_manager->createChannelWithPort(port, delegate);
                std::lock_guard lock(m_mutex);
                m_peerTalkChannel = made;
            }
        }
    }
    auto connecting = [this] {
        int s = channelState();
        return s == QNBPeerTalkChannelStateConnecting || s == QNBPeerTalkChannelStateListening;
    };
    auto deadline = platform::now() + platform::seconds(kConnectWait);
    if (dispatch::isMainThread()) {
        // USB connect results come on the main queue: serve it while waiting.
        auto loop = dispatch::RunLoop::current();
        ++m_mainThreadConnects;
        while (connecting() && platform::now() < deadline)
            loop->runModeBeforeDate(
                dispatch::kDefaultRunLoopMode,
                std::min(deadline, platform::now() + platform::seconds(kConnectPollInterval)));
        --m_mainThreadConnects;
    } else {
        std::unique_lock lock(m_mutex);
        platform::waitUntil(m_changed, lock, deadline, [&] {
            int s = channelStateLocked();
            return s != QNBPeerTalkChannelStateConnecting && s != QNBPeerTalkChannelStateListening;
        });
    }
    return !connecting();
}

bool QNBPeerTalkNetSocket::connectToHost(const std::string&, uint16_t port, platform::Error* error) {
    return connectToAddress(net::SocketAddress(), port, error);
}

bool QNBPeerTalkNetSocket::listenOnPort(uint16_t port, std::weak_ptr<net::QNNetSocketDelegate> delegate,
                                        platform::Error* error) {
    setDelegate(std::move(delegate));
    return connectToAddress(net::SocketAddress(), port, error);
}

void QNBPeerTalkNetSocket::listenForDatagramsOnPort(uint16_t port,
                                                    std::weak_ptr<net::QNNetSocketDelegate> delegate) {
    {
        std::lock_guard lock(m_mutex);
        m_waitingForDatagram = false;
    }
    m_cancelled = false;
    setDelegate(std::move(delegate));
    connectToAddress(net::SocketAddress(), port, nullptr);
    // Datagrams reach the delegate from the channel's queue; this thread only waits for the end.
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_cancelled.load() || isEnded(channelStateLocked()); });
}

void QNBPeerTalkNetSocket::listenForDatagramsWithInfo(const net::DatagramListenInfo& info) {
    listenForDatagramsOnPort(info.port, info.delegate);
}

// ---- Stream ----

bool QNBPeerTalkNetSocket::sendBytes(const void* bytes, size_t length, double timeout) {
    if (!isConnected() && !isListening()) return false;
    std::lock_guard writeLock(m_writeLock);
    m_cancelled = false;
    auto deadline = deadlineFor(timeout);
    {
        std::unique_lock lock(m_mutex);
        waitFor(m_changed, lock, deadline, [&] {
            return channelStateLocked() != QNBPeerTalkChannelStateListening || m_cancelled.load();
        });
        if (channelStateLocked() == QNBPeerTalkChannelStateListening || m_cancelled.load() ||
            isEnded(channelStateLocked()))
            return false;
    }
    auto channel = peerTalkChannel();
    if (!channel || m_cancelled.load()) return false;
    auto error = channel->sendBytes(bytes, length, timeout);
    if (error) {
        std::lock_guard lock(m_mutex);
        if (m_listeningForDatagrams || m_waitingForDatagram) m_waitForDatagramError = error;
    }
    return !error;
}

bool QNBPeerTalkNetSocket::sendBytes(const void* bytes, size_t length) {
    return sendBytes(bytes, length, 0);
}

bool QNBPeerTalkNetSocket::getClientBytes(void* buffer, size_t length, double timeout) {
    if (length > m_ringCapacity) {
        platform::log("%@: a read of %zu bytes can never be served by a ring of %zu; refused", description(),
                      length, m_ringCapacity);
        return false;
    }
    std::lock_guard readLock(m_readLock);
    m_cancelled = false;
    auto deadline = deadlineFor(timeout);
    std::unique_lock lock(m_mutex);
    // The delegate callbacks that report the channel's end wake this wait, as stored bytes do.
    waitFor(m_changed, lock, deadline, [&] {
        return ringLocked().length() >= length || m_cancelled.load() || isEnded(channelStateLocked());
    });
    if (ringLocked().length() < length) return false;
    auto* out = static_cast<uint8_t*>(buffer);
    size_t copied = 0;
    while (copied < length)
        copied += ringLocked().getBytes(out + copied, length - copied);
    lock.unlock();
    m_changed.notify_all(); // room for a delivery waiting on a full ring
    return true;
}

bool QNBPeerTalkNetSocket::getClientBytes(void* buffer, size_t length) {
    return getClientBytes(buffer, length, 0);
}

bool QNBPeerTalkNetSocket::getServerBytes(void* buffer, size_t length) {
    return getClientBytes(buffer, length, 0);
}

size_t QNBPeerTalkNetSocket::bytesAvailable() const {
    std::lock_guard lock(m_mutex);
    return m_readBuffer ? m_readBuffer->length() : 0;
}

// ---- Datagrams ----

bool QNBPeerTalkNetSocket::sendDatagram(const void* bytes, size_t length, const net::QNNetSocketProtocol*,
                                        uint16_t) {
    auto channel = peerTalkChannel();
    return channel && channel->sendDatagramWithBytes(bytes, length);
}

bool QNBPeerTalkNetSocket::sendDatagram(const void* bytes, size_t length, const net::SocketAddress&) {
    auto channel = peerTalkChannel();
    return channel && channel->sendDatagramWithBytes(bytes, length);
}

// ---- Ending ----

// Raises the flag and wakes every wait; the waits see the flag and give their locks back.
// Cancel does not then take the write lock and the read lock to wait for them: a send that is
// writing its frame holds the write lock until the device channel has written it or is closed,
// and close() closes the channel only after cancel() has returned, so close() during a send to a
// device that reads nothing would wait for ever (as would a channel report that closes the
// socket on the queue the frame's write needs).
void QNBPeerTalkNetSocket::cancel() {
    m_cancelled = true;
    wakeWaiters();
}

void QNBPeerTalkNetSocket::close() {
    cancel();
    if (auto channel = peerTalkChannel()) channel->close(); // wakes a send waiting for its frame
    wakeWaiters();
}

// ---- State ----

bool QNBPeerTalkNetSocket::isConnected() const {
    return channelState() == QNBPeerTalkChannelStateConnected;
}

// A closed or cancelled channel counts as ended, as a disconnected one does: open while every
// read and send on it fails, the socket would keep a session waiting on a link that is gone.
bool QNBPeerTalkNetSocket::isOpen() const {
    return !channelEnded();
}

bool QNBPeerTalkNetSocket::isListening() const {
    return channelState() == QNBPeerTalkChannelStateListening;
}

bool QNBPeerTalkNetSocket::hasClientAddr() const {
    std::lock_guard lock(m_mutex);
    return m_hasClientAddr;
}

void QNBPeerTalkNetSocket::setHasClientAddr(bool hasClientAddr) {
    std::lock_guard lock(m_mutex);
    m_hasClientAddr = hasClientAddr;
}

net::SocketAddress QNBPeerTalkNetSocket::knownClientAddr() const {
    in_addr address{};
    address.s_addr = htonl(0x0A000001); // 10.0.0.1: a USB device has no address of its own
    return net::SocketAddress::ipv4(address, m_port.load());
}

void QNBPeerTalkNetSocket::setKnownClientAddr(const net::SocketAddress&) {}

std::shared_ptr<net::QNNetSocketDelegate> QNBPeerTalkNetSocket::delegate() const {
    std::lock_guard lock(m_mutex);
    return m_delegate.lock();
}

void QNBPeerTalkNetSocket::setDelegate(std::weak_ptr<net::QNNetSocketDelegate> delegate) {
    std::lock_guard lock(m_mutex);
    m_delegate = std::move(delegate);
}

std::optional<platform::Error> QNBPeerTalkNetSocket::waitForDatagramError() const {
    std::lock_guard lock(m_mutex);
    return m_waitForDatagramError;
}

void QNBPeerTalkNetSocket::setWaitForDatagramError(std::optional<platform::Error> error) {
    std::lock_guard lock(m_mutex);
    m_waitForDatagramError = std::move(error);
}

dispatch::dispatch_semaphore_t QNBPeerTalkNetSocket::waitForDatagramSemaphore() {
    std::lock_guard lock(m_mutex);
    if (!m_waitForDatagramSemaphore) m_waitForDatagramSemaphore = dispatch::dispatch_semaphore_create(0);
    return m_waitForDatagramSemaphore;
}

std::optional<cf::Bytes> QNBPeerTalkNetSocket::waitForDatagramsData() const {
    std::lock_guard lock(m_mutex);
    return m_waitForDatagramsData;
}

void QNBPeerTalkNetSocket::setWaitForDatagramsData(std::optional<cf::Bytes> data) {
    std::lock_guard lock(m_mutex);
    m_waitForDatagramsData = std::move(data);
}

std::string QNBPeerTalkNetSocket::tag() const {
    std::lock_guard lock(m_mutex);
    return m_tag;
}

void QNBPeerTalkNetSocket::setTag(std::string tag) {
    std::lock_guard lock(m_mutex);
    m_tag = std::move(tag);
}

std::string QNBPeerTalkNetSocket::description() const {
    std::string tag;
    std::string activity;
    {
        std::lock_guard lock(m_mutex);
        tag = m_tag;
        activity = m_waitingForDatagram ? "waiting" : m_listeningForDatagrams ? "listening" : "idle";
    }
    std::string text = platform::format("<QNBPeerTalkNetSocket: %p", static_cast<const void*>(this));
    if (!tag.empty()) text += "; " + tag;
    text += m_deviceID ? platform::format("; device-id=%lld", static_cast<long long>(*m_deviceID))
                       : std::string("; device-id=(null)");
    text += platform::format("; %@; port=%lu; state=%@; %@>", m_isUDP ? "UDP" : "TCP",
                             static_cast<unsigned long>(m_port.load()),
                             NSStringFromQNBPeerTalkChannelState(channelState()), activity);
    return text;
}

// ---- The device channel's reports ----

void QNBPeerTalkNetSocket::peerTalkChannelConnected(const std::shared_ptr<QNBPeerTalkChannel>&) {
    if (auto d = delegate()) d->acceptedNewClientSocket(self());
    wakeWaiters();
}

void QNBPeerTalkNetSocket::channelGone(const std::optional<platform::Error>& error) {
    close();
    std::lock_guard lock(m_mutex);
    if (m_waitingForDatagram) m_waitForDatagramError = error;
}

void QNBPeerTalkNetSocket::peerTalkChannelDisconnected(const std::shared_ptr<QNBPeerTalkChannel>&) {
    channelGone(platform::Error(QNBPeerTalkNetSocketErrorDomain, 1,
                                cf::Dictionary{{"description", cf::Value("The channel was disconnected")}}));
}

void QNBPeerTalkNetSocket::peerTalkChannelConnectionFailed(const std::shared_ptr<QNBPeerTalkChannel>&,
                                                           const platform::Error& error) {
    channelGone(error);
}

void QNBPeerTalkNetSocket::peerTalkChannelListeningFailed(const std::shared_ptr<QNBPeerTalkChannel>& channel,
                                                          const platform::Error& error) {
    channelGone(error);
    if (channel) channel->close();
}

bool QNBPeerTalkNetSocket::peerTalkChannelDidReceiveBytes(const std::shared_ptr<QNBPeerTalkChannel>&,
                                                          const uint8_t* bytes, size_t length) {
    std::unique_lock lock(m_mutex);
    size_t stored = 0;
    while (stored < length) {
        if (m_cancelled.load()) return true; // the socket is ending; nobody will read these
        size_t n = ringLocked().writeBytes(bytes + stored, length - stored);
        stored += n;
        if (n > 0) m_changed.notify_all();
        if (stored == length) break;
        // Full: wait for the session to read (or the socket to end); a ring that stays full
        // this long means a reader that is gone.
        bool room =
            platform::waitUntil(m_changed, lock, platform::now() + platform::seconds(kFullRingWait), [&] {
                return ringLocked().length() < ringLocked().capacity() || m_cancelled.load();
            });
        if (!room) {
            lock.unlock();
            platform::log("%@: the read buffer stayed full for %g s", description(), kFullRingWait);
            return false;
        }
    }
    lock.unlock();
    m_changed.notify_all();
    return true;
}

void QNBPeerTalkNetSocket::peerTalkChannelDidReceiveDatagram(const std::shared_ptr<QNBPeerTalkChannel>&,
                                                             std::span<const uint8_t> datagram) {
    auto d = delegate();
    if (!d) return;
    switch (d->datagramForm()) {
    case net::QNNetSocketDelegate::DatagramForm::DataAndAddress:
        d->datagramReceivedForSocket(self(), datagram, knownClientAddr());
        break;
    case net::QNNetSocketDelegate::DatagramForm::Data:
        d->datagramReceivedForSocket(self(), datagram);
        break;
    case net::QNNetSocketDelegate::DatagramForm::Bytes:
        d->datagramReceivedForSocket(self(), datagram.data(), datagram.size());
        break;
    case net::QNNetSocketDelegate::DatagramForm::None:
        break;
    }
}

} // namespace usblink
