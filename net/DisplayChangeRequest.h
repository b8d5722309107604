// The display-related fields of a client handshake, as a request to change the display.
#pragma once

#include "net/QNCapabilities.h"
#include "net/QNClientHandshake.h"

#include <cstdint>
#include <memory>

namespace net {

class DisplayChangeRequest {
  public:
    DisplayChangeRequest() = default;

    // The display mode is always the u8 at offset 4; the other fields only as far as the
    // handshake's version sends them.
    static std::shared_ptr<DisplayChangeRequest>
    displayChangeRequestWithHandshakeUnion(const QNClientHandshake& handshake);

    int32_t displayMode() const { return m_displayMode; }
    void setDisplayMode(int32_t mode) { m_displayMode = mode; }
    uint16_t nominalWidth() const { return m_nominalWidth; }
    void setNominalWidth(uint16_t width) { m_nominalWidth = width; }
    uint16_t nominalHeight() const { return m_nominalHeight; }
    void setNominalHeight(uint16_t height) { m_nominalHeight = height; }
    const QNCapabilities& capabilities() const { return m_capabilities; }
    void setCapabilities(const QNCapabilities& capabilities) { m_capabilities = capabilities; }
    uint16_t numberOfDisplayRequests() const { return m_numberOfDisplayRequests; }
    void setNumberOfDisplayRequests(uint16_t count) { m_numberOfDisplayRequests = count; }
    bool isHostInitiated() const { return m_isHostInitiated; }
    void setIsHostInitiated(bool hostInitiated) { m_isHostInitiated = hostInitiated; }

  private:
    int32_t m_displayMode = 0;
    uint16_t m_nominalWidth = 0;
    uint16_t m_nominalHeight = 0;
    QNCapabilities m_capabilities;
    uint16_t m_numberOfDisplayRequests = 0;
    bool m_isHostInitiated = false;
};

} // namespace net
