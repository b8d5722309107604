// The session's input handlers: taps, keyboard, mouse, scroll, button and pen datagrams of any
// length and content on one input object over a fixed display, with the in-process event system
// as the window server (no HID system: pen posts fail at once and are logged). The input is a
// geometry byte, then records: a selector byte (0 tap, 1 keyboard, 2 mouse, 3 scroll, 4 button, 5 pen,
// 6 end of the connection), a length byte and that many bytes after the type byte; a pen
// record always makes a 51-byte tap. Checked: every mouse event a datagram posts lies on the
// session's display, and once the connection has ended no button and no modifier key stays down.
#include "fuzz/FuzzSupport.h"
#include "fuzz/NoKernel.h"
#include "input/ScreenServerInput.h"
#include "platform/windowserver/EventProtocol.h"
#include "platform/windowserver/InProcessEvents.h"

#include <memory>
#include <optional>

namespace {

class FuzzInput final : public input::ScreenServerInput {
  public:
    std::optional<input::InputGeometry> inputGeometry() const override { return geometry; }
    std::optional<input::InputGeometry> geometry;
    // What the session does when its read loop ends.
    void connectionEnded() {
        std::lock_guard lock(inputLock());
        stylusEventEnded(lastMouseDownPoint(), eventPressure(), eventButtons());
        releaseHeldInput();
    }
};

// The display the session drives, beside the main display, at scale 1, 2 or 3; or none.
std::optional<input::InputGeometry> geometryFor(uint8_t selector) {
    const double scale = 1 + selector % 3;
    if (selector / 3 % 4 == 3) return std::nullopt;
    return input::InputGeometry{scale, cg::CGRectMake(1440, 0, 1024 * scale, 768 * scale),
                                cg::CGRectMake(1440, 0, 1024, 768)};
}

constexpr uint8_t kTypes[] = {2, 3, 6, 7, 16};
constexpr uint64_t kCapsLock = 0x10000;

bool isMouseEvent(int64_t type) {
    return type >= 1 && type <= 7;
}

// The mouse events posted lie inside the frame (half-open).
void checkOnTheDisplay(const std::vector<windowserver::EventRecord>& entries,
                       const input::InputGeometry& geometry) {
    for (const auto& e : entries) {
        if (e.kind != windowserver::eventKind::cgEvent || !isMouseEvent(e.fields.at("type").integerValue()))
            continue;
        const double x = e.fields.at("x").doubleValue(), y = e.fields.at("y").doubleValue();
        const cg::CGRect& f = geometry.frame;
        FUZZ_CHECK(x >= f.origin.x && x < f.origin.x + f.size.width && y >= f.origin.y &&
                       y < f.origin.y + f.size.height,
                   "a mouse event off the session's display: " + std::to_string(x) + "," + std::to_string(y));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::shared_ptr<windowserver::InProcessEvents> events = [] {
        fuzz::temporaryRoot();
        fuzz::NoKernel::install();
        auto e = std::make_shared<windowserver::InProcessEvents>(
            std::vector<cg::CGRect>{cg::CGRectMake(0, 0, 1440, 900), cg::CGRectMake(1440, 0, 1024, 768)});
        e->install();
        return e;
    }();
    fuzz::QuietLog quiet;
    fuzz::Reader reader(data, size);

    FuzzInput session;
    session.geometry = geometryFor(reader.u8());
    const input::ScreenServerInput::Socket none;
    // The last event posted, whichever datagram or ending posted it.
    std::optional<windowserver::EventRecord> last;
    while (reader.remaining() > 0) {
        const uint8_t selector = reader.u8() % 7;
        if (selector == 6) {
            events->clearEntries();
            session.connectionEnded();
            const auto ended = events->entries();
            if (!ended.empty()) last = ended.back();
            continue;
        }
        std::vector<uint8_t> datagram{selector == 5 ? uint8_t(2) : kTypes[selector]};
        const std::vector<uint8_t> body = reader.bytes(reader.u8());
        datagram.insert(datagram.end(), body.begin(), body.end());
        if (selector == 5) datagram.resize(51);
        // Cleared before each datagram, the log holds only what this one posted: no copy of the
        // whole log per datagram.
        events->clearEntries();
        switch (datagram[0]) {
        case 2:
            session.tapDatagramReceivedForSocket(none, datagram);
            break;
        case 3:
            session.keyboardEventDatagramReceivedForSocket(none, datagram);
            break;
        case 6:
            session.mouseDatagramReceivedForSocket(none, datagram);
            break;
        case 7:
            session.scrollDatagramReceivedForSocket(none, datagram);
            break;
        default:
            session.buttonDatagramReceivedForSocket(none, datagram);
            break;
        }
        const auto entries = events->entries();
        if (session.geometry)
            checkOnTheDisplay(entries, *session.geometry);
        else
            for (const auto& entry : entries)
                FUZZ_CHECK(entry.kind != windowserver::eventKind::cgEvent ||
                               !isMouseEvent(entry.fields.at("type").integerValue()),
                           "a mouse event without a display");
        if (!entries.empty()) last = entries.back();
    }
    events->clearEntries();
    session.connectionEnded();
    const auto entries = events->entries();
    if (!entries.empty()) last = entries.back();
    if (last) {
        FUZZ_CHECK(last->fields.at("buttons").integerValue() == 0, "a button stayed down");
        FUZZ_CHECK((static_cast<uint64_t>(last->fields.at("modifiers").integerValue()) & ~kCapsLock) == 0,
                   "a modifier key stayed down");
    }
    return 0;
}
