// The RTP output road's sockets. QNNetOutboundRTPSocket plays the client towards a session:
// it serves a fixed client handshake, answers every one-byte read with an update request,
// collects what the session writes and sends each update as a frame of RTP packets to fixed
// receivers. QNNetRTPBroadcastSocket, asked to listen, hands one such socket to its delegate
// as if a client had connected.
#pragma once

#include "capture/QNNetRTPSocketBase.h"

#include "net/QNClientHandshake.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct _RtpSession;
struct _RtpProfile;

namespace capture {

struct RTPSocketConfig {
    uint16_t portBase = 8000;     // RTP; RTCP on the next port
    uint16_t receiverPort = 9000; // RTP at each receiver; RTCP on the next port
    // Loopback by default, so nothing leaves the machine.
    std::vector<std::string> receivers{"127.0.0.20", "127.0.0.21"};
    int rtcpReportIntervalMs = 5000; // RFC 3550's minimum
};

class QNNetOutboundRTPSocket : public QNNetRTPSocketBase {
  public:
    static constexpr uint8_t kPayloadType = 125;
    static constexpr int kClockRate = 10; // timestamps count tenths of a second
    static constexpr size_t kChunkBytes = 6000;
    static constexpr size_t kMaxPackets = 255; // the packet count is one byte
    static constexpr uint32_t kTimestampIncrement = 50000;
    static constexpr int kUploadBandwidthBits = 1'600'000;
    static constexpr int64_t kPacketDelayNanoseconds = 30'303'000;
    static constexpr size_t kBlockSize = 61;
    static constexpr uint8_t kBlockType = 0x79;

    enum State : uint32_t { ServingHandshake = 0, Running = 1, Closed = 2 };

    // init: the handshake, the RTP session and its destinations, and the RTP timer.
    static std::shared_ptr<QNNetOutboundRTPSocket> create(const RTPSocketConfig& config = {});
    ~QNNetOutboundRTPSocket() override;

    bool isConnected() const override { return true; }
    // Serves the handshake, then answers each one-byte read with an update request at the
    // RTP timer's next tick.
    bool getClientBytes(void* buffer, size_t length) override;
    bool sendBytes(const void* bytes, size_t length) override;
    void close() override;

    void beginRTPPacket(const std::array<uint8_t, 47>& record, const std::array<uint8_t, 11>& displaySize);
    void endRTPPacketWithDelay(bool delay);
    void endRTPPacket() { endRTPPacketWithDelay(true); }

    std::vector<std::vector<uint8_t>> outboundPackets() const;
    uint32_t state() const;
    // The served handshake: the legacy record, then zeros to the current record's length.
    static std::array<uint8_t, net::QNClientHandshake::kSize> handshakeBytes();
    const std::vector<uint32_t>& activeHosts() const { return mActiveHosts; }
    uint64_t timerTicks() const;

  private:
    explicit QNNetOutboundRTPSocket(const RTPSocketConfig& config);
    void setUpRTPSession(const RTPSocketConfig& config);
    void rtpTimer();
    bool sendPacket(size_t index, size_t count, const uint8_t* chunk, size_t length);

    mutable std::mutex m_mutex; // state, packets and the session
    uint32_t mState = ServingHandshake;
    std::array<uint8_t, net::QNClientHandshake::kSize> mHandshake{};
    size_t mHandshakeOffset = 0;
    std::vector<std::vector<uint8_t>> mOutboundPackets;
    std::vector<uint32_t> mActiveHosts;     // IPv4, network order
    std::condition_variable mConditionLock; // signalled by the RTP timer
    uint64_t mTimerTicks = 0;
    _RtpSession* mRTPSession = nullptr;
    _RtpProfile* mProfile = nullptr;
    uint32_t mTimestamp = 0;
    std::thread mTimerThread;
};

class QNNetRTPBroadcastSocket : public QNNetRTPSocketBase {
  public:
    explicit QNNetRTPBroadcastSocket(RTPSocketConfig config = {}) : m_config(std::move(config)) {}
    // Ignores the port: the new outbound socket goes to the delegate at once.
    bool listenOnPort(uint16_t port, std::weak_ptr<net::QNNetSocketDelegate> delegate,
                      platform::Error* error) override;
    void startMulticastWithMulticastSocket(const std::shared_ptr<QNNetOutboundRTPSocket>& socket);
    bool isOpen() const override { return true; }

  private:
    RTPSocketConfig m_config;
};

} // namespace capture
