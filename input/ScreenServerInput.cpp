#include "input/ScreenServerInput.h"

namespace input {

void ScreenServerInput::tapDatagramReceivedForSocket(const Socket&, std::span<const uint8_t>) {}
void ScreenServerInput::keyboardEventDatagramReceivedForSocket(const Socket&, std::span<const uint8_t>) {}
void ScreenServerInput::windowRequestDatagramReceivedForSocket(const Socket&, std::span<const uint8_t>) {}
void ScreenServerInput::mouseDatagramReceivedForSocket(const Socket&, std::span<const uint8_t>) {}
void ScreenServerInput::scrollDatagramReceivedForSocket(const Socket&, std::span<const uint8_t>) {}
void ScreenServerInput::menuRequestDatagramReceivedForSocket(const Socket&, std::span<const uint8_t>) {}
void ScreenServerInput::buttonDatagramReceivedForSocket(const Socket&, std::span<const uint8_t>) {}
void ScreenServerInput::stylusEventEnded(cg::CGPoint, float, uint32_t) {}

} // namespace input
