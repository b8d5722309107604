// The frame-answer steps of the RTP output road: an update written to an outbound RTP socket
// is bracketed by a packet block (the server record and the display's resolution) and sent as
// one RTP frame. The other steps go to an inner steps object when one is set.
#pragma once

#include "server/ScreenServer.h"

#include <array>
#include <memory>

namespace capture {
class QNNetOutboundRTPSocket;
} // namespace capture

namespace server {

class RTPFrameAnswerSteps : public ScreenServer::FrameAnswerSteps {
  public:
    explicit RTPFrameAnswerSteps(std::shared_ptr<ScreenServer::FrameAnswerSteps> inner = nullptr)
        : m_inner(std::move(inner)) {}

    // {1, 3, 0, 1, 1, 0, 0, u16 3, u16 1, zeros}.
    static std::array<uint8_t, 47> packetRecord();
    // The 11-byte resolution message of the display's size.
    static std::array<uint8_t, 11> resolutionRecord(cg::CGSize displayResolution);

    void pollApplicationMonitor() override;
    // Remembers the socket it answers yes for: the brackets that follow go to it.
    bool isRTPOutputSocket(const ScreenServer::Socket& socket) override;
    void beginRTPPacket(cg::CGSize displayResolution) override;
    void endRTPPacket() override;
    bool sendApplicationRecords(const ScreenServer::Socket& socket) override;

  private:
    std::shared_ptr<capture::QNNetOutboundRTPSocket> socket() const;

    std::shared_ptr<ScreenServer::FrameAnswerSteps> m_inner;
    mutable std::mutex m_lock;
    std::weak_ptr<capture::QNNetOutboundRTPSocket> m_socket;
};

} // namespace server
