// The session's input operations: each sideband datagram type the device sends for input is
// handed to one of these, and a lost connection releases what is still pressed. ScreenServer
// derives from this class; until input injection lands every handler drops its datagram.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <memory>
#include <span>

namespace server {
class QNNetSocketProtocol;
} // namespace server

namespace input {

class ScreenServerInput {
  public:
    using Socket = std::shared_ptr<server::QNNetSocketProtocol>;

    virtual ~ScreenServerInput() = default;

    // One whole datagram of its type (byte 0 is the type); each handler checks its own length.
    virtual void tapDatagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data); // 2
    virtual void keyboardEventDatagramReceivedForSocket(const Socket& socket,
                                                        std::span<const uint8_t> data); // 3
    virtual void windowRequestDatagramReceivedForSocket(const Socket& socket,
                                                        std::span<const uint8_t> data);                // 5
    virtual void mouseDatagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data);  // 6
    virtual void scrollDatagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data); // 7
    virtual void menuRequestDatagramReceivedForSocket(const Socket& socket,
                                                      std::span<const uint8_t> data);                  // 8
    virtual void buttonDatagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data); // 16

    // Ends a stylus or mouse press at the point, releasing what is held.
    virtual void stylusEventEnded(cg::CGPoint point, float pressure, uint32_t buttons);

    // What the last press left behind, for the release at the end of a connection.
    cg::CGPoint lastMouseDownPoint() const { return m_lastMouseDownPoint; }
    float eventPressure() const { return m_eventPressure; }
    uint32_t eventButtons() const { return m_eventButtons; }

  protected:
    cg::CGPoint m_lastMouseDownPoint{};
    float m_eventPressure = 0.0f;
    uint32_t m_eventButtons = 0;
};

} // namespace input
