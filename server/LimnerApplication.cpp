#include "server/LimnerApplication.h"

#include "input/QNDesktopReflectorPanel.h"
#include "platform/appkit/NSEvent.h"
#include "platform/appkit/NSWindow.h"

namespace server {

namespace {

// Device-independent modifier flags: the low 16 bits name the physical keys.
constexpr uint64_t kDeviceIndependentFlags = 0xffff0000;
constexpr uint64_t kCommand = 0x100000;
constexpr uint64_t kCommandShift = 0x120000;

constexpr uint16_t kKeyH = 4;
constexpr uint16_t kKeyW = 13;
constexpr uint16_t kKeyM = 46;
constexpr uint16_t kKeyEquals = 24;

} // namespace

void LimnerApplication::sendEvent(const appkit::NSEvent& event) {
    if (event.type() == appkit::NSEventType::KeyUp) {
        auto key = keyWindow();
        auto* panel = dynamic_cast<input::QNDesktopReflectorPanel*>(key.get());
        if (panel) {
            const uint64_t flags = event.modifierFlags() & kDeviceIndependentFlags;
            const uint16_t code = event.keyCode();
            if (flags == kCommand && (code == kKeyH || code == kKeyM)) {
                key->performMiniaturize(nullptr);
                return;
            }
            if (flags == kCommand && code == kKeyW) {
                panel->closeAction();
                return;
            }
            if (flags == kCommandShift && code == kKeyEquals) {
                key->performZoom(nullptr);
                return;
            }
        }
    }
    appkit::NSApplication::sendEvent(event);
}

} // namespace server
