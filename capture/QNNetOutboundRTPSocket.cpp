#include "capture/QNNetOutboundRTPSocket.h"

#include "net/RTPRuntime.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"

#include <ortp/ortp.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace capture {

namespace {

constexpr const char* kByeReason = "End transmission";
constexpr auto kTimerInterval = std::chrono::milliseconds(40);

std::string errorText(int code) {
    return std::strerror(code < 0 ? -code : code);
}

std::string canonicalName() {
    char host[256] = "localhost";
    gethostname(host, sizeof host - 1);
    return platform::processName() + "@" + host;
}

} // namespace

std::array<uint8_t, net::QNClientHandshake::kSize> QNNetOutboundRTPSocket::handshakeBytes() {
    // Version 3.0.1 reads the whole current record; the legacy part carries what matters.
    net::QNClientHandshake handshake;
    handshake.majorversion = 3;
    handshake.minorversion = 0;
    handshake.subversion = 1;
    handshake.legacyDisplayMode = 0;
    platform::log("!!!DISPLAY MODE SIZE: %u", static_cast<unsigned>(handshake.legacyDisplayMode));
    handshake.capabilities.encodingModes = 122;
    handshake.nominalWidth = 1024;
    handshake.nominalHeight = 768;
    handshake.numberOfDisplayRequests = 0;
    return handshake.encode();
}

std::shared_ptr<QNNetOutboundRTPSocket> QNNetOutboundRTPSocket::create(const RTPSocketConfig& config) {
    return std::shared_ptr<QNNetOutboundRTPSocket>(new QNNetOutboundRTPSocket(config));
}

QNNetOutboundRTPSocket::QNNetOutboundRTPSocket(const RTPSocketConfig& config) {
    mHandshake = handshakeBytes();
    for (const std::string& receiver : config.receivers) {
        in_addr address{};
        if (inet_pton(AF_INET, receiver.c_str(), &address) == 1)
            mActiveHosts.push_back(address.s_addr);
        else
            platform::log("RTP receiver %s is not an IPv4 address", receiver);
    }
    std::random_device random;
    mTimestamp = random();
    setUpRTPSession(config);
    mTimerThread = std::thread([this] { rtpTimer(); });
}

void QNNetOutboundRTPSocket::setUpRTPSession(const RTPSocketConfig& config) {
    net::ensureRTPRuntime();
    mRTPSession = rtp_session_new(RTP_SESSION_SENDONLY);
    mProfile = rtp_profile_new("Tessel");
    PayloadType* payload = payload_type_new();
    payload->type = PAYLOAD_VIDEO;
    payload->clock_rate = kClockRate;
    payload->mime_type = ortp_strdup("x-tessel-screen");
    rtp_profile_set_payload(mProfile, kPayloadType, payload);
    rtp_session_set_profile(mRTPSession, mProfile);
    rtp_session_set_payload_type(mRTPSession, kPayloadType);
    if (rtp_session_set_local_addr(mRTPSession, "0.0.0.0", config.portBase, config.portBase + 1) < 0)
        platform::log("RTP session could not bind ports %u and %u: %s", config.portBase, config.portBase + 1,
                      errorText(errno));
    const int rtpPort = config.receiverPort, rtcpPort = config.receiverPort + 1;
    for (size_t i = 0; i < mActiveHosts.size(); ++i) {
        char text[INET_ADDRSTRLEN] = {};
        in_addr address{mActiveHosts[i]};
        inet_ntop(AF_INET, &address, text, sizeof text);
        int result = i == 0
                         ? rtp_session_set_remote_addr_full(mRTPSession, text, rtpPort, text, rtcpPort)
                         : rtp_session_add_aux_remote_addr_full(mRTPSession, text, rtpPort, text, rtcpPort);
        if (result < 0) platform::log("RTP destination %s could not be added: %s", text, errorText(errno));
    }
    rtp_session_enable_rtcp(mRTPSession, TRUE);
    rtp_session_set_target_upload_bandwidth(mRTPSession, kUploadBandwidthBits);
    rtp_session_set_rtcp_report_interval(mRTPSession, config.rtcpReportIntervalMs);
    const std::string cname = canonicalName();
    rtp_session_set_source_description(mRTPSession, cname.c_str(), nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr);
}

QNNetOutboundRTPSocket::~QNNetOutboundRTPSocket() {
    {
        std::lock_guard lock(m_mutex);
        mState = Closed;
        mConditionLock.notify_all();
    }
    if (mTimerThread.joinable()) mTimerThread.join();
    if (mRTPSession) rtp_session_destroy(mRTPSession);
    if (mProfile) rtp_profile_destroy(mProfile);
}

void QNNetOutboundRTPSocket::rtpTimer() {
    std::unique_lock lock(m_mutex);
    while (mState != Closed) {
        platform::waitUntil(mConditionLock, lock, platform::now() + kTimerInterval,
                            [this] { return mState == Closed; });
        ++mTimerTicks;
        mConditionLock.notify_all();
    }
}

uint64_t QNNetOutboundRTPSocket::timerTicks() const {
    std::lock_guard lock(m_mutex);
    return mTimerTicks;
}

uint32_t QNNetOutboundRTPSocket::state() const {
    std::lock_guard lock(m_mutex);
    return mState;
}

bool QNNetOutboundRTPSocket::getClientBytes(void* buffer, size_t length) {
    std::unique_lock lock(m_mutex);
    switch (mState) {
    case ServingHandshake: {
        bool served = length <= mHandshake.size() - mHandshakeOffset;
        if (served)
            std::memcpy(buffer, mHandshake.data() + mHandshakeOffset, length);
        else
            platform::log("Server requested a suprise number of %ld bytes", static_cast<long>(length));
        mHandshakeOffset = served ? mHandshakeOffset + length : mHandshake.size();
        if (mHandshakeOffset == mHandshake.size()) mState = Running;
        return served;
    }
    case Running:
        if (length == 1) {
            // One update request per tick of the RTP timer: a session reading in a loop is paced
            // to the timer instead of spinning.
            const uint64_t tick = mTimerTicks;
            mConditionLock.wait(lock, [&] { return mTimerTicks != tick || mState == Closed; });
            if (mState == Closed) return true;
            *static_cast<uint8_t*>(buffer) = 0x20; // an update request
            return true;
        }
        if (length == 0) return true;
        platform::log("Server requested a suprise number of %ld bytes", static_cast<long>(length));
        return false;
    default:
        return true;
    }
}

bool QNNetOutboundRTPSocket::sendBytes(const void* bytes, size_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    std::lock_guard lock(m_mutex);
    mOutboundPackets.emplace_back(p, p + length);
    return true;
}

std::vector<std::vector<uint8_t>> QNNetOutboundRTPSocket::outboundPackets() const {
    std::lock_guard lock(m_mutex);
    return mOutboundPackets;
}

void QNNetOutboundRTPSocket::beginRTPPacket(const std::array<uint8_t, 47>& record,
                                            const std::array<uint8_t, 11>& displaySize) {
    std::vector<uint8_t> block(kBlockSize);
    block[0] = kBlockType;
    block[1] = static_cast<uint8_t>(kBlockSize); // u16, little-endian as the whole stream
    block[2] = static_cast<uint8_t>(kBlockSize >> 8);
    std::memcpy(block.data() + 3, record.data(), record.size());
    std::memcpy(block.data() + 3 + record.size(), displaySize.data(), displaySize.size());
    std::lock_guard lock(m_mutex);
    mOutboundPackets.push_back(std::move(block));
}

bool QNNetOutboundRTPSocket::sendPacket(size_t index, size_t count, const uint8_t* chunk, size_t length) {
    std::lock_guard lock(m_mutex);
    if (!mRTPSession) return false;
    std::vector<uint8_t> payload(2 + length);
    payload[0] = static_cast<uint8_t>(index);
    payload[1] = static_cast<uint8_t>(count);
    std::memcpy(payload.data() + 2, chunk, length);
    mblk_t* packet =
        rtp_session_create_packet(mRTPSession, RTP_FIXED_HEADER_SIZE, payload.data(), payload.size());
    rtp_set_markbit(packet, index == 0);
    if (rtp_session_sendm_with_ts(mRTPSession, packet, mTimestamp) < 0) {
        platform::log("RTP packet %zu of %zu not sent: %s", index + 1, count,
                      errorText(rtp_session_get_last_send_error_code(mRTPSession)));
        return false;
    }
    return true;
}

void QNNetOutboundRTPSocket::endRTPPacketWithDelay(bool delay) {
    std::vector<uint8_t> frame;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& block : mOutboundPackets)
            frame.insert(frame.end(), block.begin(), block.end());
        mOutboundPackets.clear();
    }
    if (frame.empty()) return;
    const size_t count = (frame.size() + kChunkBytes - 1) / kChunkBytes;
    // A count past one byte would wrap, and receivers would take a cut frame for a whole one.
    if (count > kMaxPackets) {
        platform::log("RTP frame of %zu bytes needs %zu packets; not sent", frame.size(), count);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const size_t offset = i * kChunkBytes;
        sendPacket(i, count, frame.data() + offset, std::min(kChunkBytes, frame.size() - offset));
        if (delay) platform::sleepFor(platform::Duration(kPacketDelayNanoseconds));
    }
    std::lock_guard lock(m_mutex);
    mTimestamp += kTimestampIncrement; // every frame, whatever its length
}

void QNNetOutboundRTPSocket::close() {
    {
        std::lock_guard lock(m_mutex);
        if (mState == Closed && !mRTPSession) return;
        mState = Closed;
        mConditionLock.notify_all();
        if (mRTPSession) {
            // The BYE goes to the receivers before they are forgotten.
            if (rtp_session_bye(mRTPSession, kByeReason) < 0)
                platform::log("RTP BYE not sent: %s",
                              errorText(rtp_session_get_last_send_error_code(mRTPSession)));
            rtp_session_clear_aux_remote_addr(mRTPSession);
            rtp_session_destroy(mRTPSession);
            mRTPSession = nullptr;
        }
    }
    if (mTimerThread.joinable() && mTimerThread.get_id() != std::this_thread::get_id()) mTimerThread.join();
}

bool QNNetRTPBroadcastSocket::listenOnPort(uint16_t, std::weak_ptr<net::QNNetSocketDelegate> delegate,
                                           platform::Error*) {
    setDelegate(std::move(delegate));
    startMulticastWithMulticastSocket(QNNetOutboundRTPSocket::create(m_config));
    return true;
}

void QNNetRTPBroadcastSocket::startMulticastWithMulticastSocket(
    const std::shared_ptr<QNNetOutboundRTPSocket>& socket) {
    if (auto d = delegate()) d->acceptedNewClientSocket(socket);
}

} // namespace capture
