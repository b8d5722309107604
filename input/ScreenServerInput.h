// The session's input operations: each sideband datagram type the device sends for input is
// handed to one of these, and a lost connection releases what is still pressed. ScreenServer
// derives from this class. Taps become left-button events, contextual taps right-button
// events, scroll-wheel taps and scroll datagrams pixel scroll-wheel events, mouse datagrams
// button and movement events; pen strokes go through the HID system as tablet input; hardware
// buttons run the user's action; keyboard datagrams become keyboard events. Window and menu
// requests are dropped here.
//
// One input lock per session serialises the datagram thread's handlers and the read thread's
// end of a connection. It is taken last: nothing that holds it takes the session's locks (the
// display geometry is read before it is taken).
#pragma once

#include "input/InputDatagrams.h"
#include "input/PointerActions.h"
#include "input/PointerStylus.h"
#include "platform/applicationservices/AXUIElement.h"
#include "platform/coregraphics/CGEvent.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

namespace net {
class QNNetSocketProtocol;
} // namespace net

namespace input {

// What the pointer and stylus handlers keep of a session.
struct ScreenServerInputState {
    uint8_t savedMouseFlags = 0;
    uint64_t eventModifiers = 0;
    // eventModifiers holds the last button's keys only: these are what each held button pressed.
    HeldButtonModifiers heldButtonModifiers;
    uint64_t eventButtons = 0;
    uint64_t eventPointerType = 0;
    uint64_t eventClickCount = 0;
    uint64_t lastMouseDownTimeStamp = 0;
    uint64_t lastMouseUpTimeStamp = 0;
    uint32_t beginEventType = 0; // 0: no stroke is open
    uint32_t changeEventType = 0;
    uint32_t endEventType = 0;
    uint32_t eventMouseButton = 0;
    double eventPressure = 0;
    cg::CGPoint eventLocation{};
    cg::CGPoint lastMouseDownPoint{};
    cg::CGPoint lastMouseUpPoint{};
    cg::CGPoint savedTapCursorPosition{-1, -1};
    cg::CGPoint mScrollLocation{};
};

class ScreenServerInput {
  public:
    using Socket = std::shared_ptr<net::QNNetSocketProtocol>;

    virtual ~ScreenServerInput() = default;

    // The session display set's cursor scale, scale-corrected bounds and frame; none before the
    // session has a display. Called without the input lock held.
    virtual std::optional<InputGeometry> inputGeometry() const { return std::nullopt; }

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

    // The tap handlers, with the geometry the entry point read.
    void handleTapEventWithMsg(const QNTapMsg& message, const InputGeometry& geometry);
    void handleContextualTapEventWithMsg(const QNTapMsg& message, const InputGeometry& geometry);
    void handleScrollwheelTapEventWithMsg(const QNTapMsg& message, const InputGeometry& geometry);
    void handleStylusTapEventWithMsg(const QNStylusTapMsg& message, const InputGeometry& geometry);
    void handleStylusHoverEventWithMsg(const QNStylusTapMsg& message, const InputGeometry& geometry);
    void handleButtonEventWithMsg(const QNButtonMsg& message);

    // The three steps of a pen stroke (global point).
    void stylusEventBegan(cg::CGPoint location, double pressure, uint64_t buttons);
    void stylusEventMoved(cg::CGPoint location, double pressure, uint64_t buttons);
    // Ends a stylus stroke at the point; the end of a connection calls it, then releaseHeldInput.
    virtual void stylusEventEnded(cg::CGPoint location, double pressure, uint64_t buttons);
    // The end of a connection: an up at the pointer for each button this session's mouse
    // datagrams and taps hold, savedMouseFlags 0, the keys of eventModifiers released, then 0.
    virtual void releaseHeldInput();

    // The session's input lock (recursive): the end of a connection holds it across the stroke's
    // end and the release, so no datagram lands between the two.
    std::recursive_mutex& inputLock() const { return m_inputLock; }

    // A tablet-proximity event (type 24) as a Quartz event posted at the HID event tap, at the
    // point or at the given event's location: the same fields as the HID system's proximity
    // record. Strokes and hover post that HID record instead; nothing calls these.
    void postProximityEventWithPoint(cg::CGPoint point, bool entered, uint64_t pointerType);
    void postProximityEventWithCGEvent(const cg::CGEventRef& event, bool entered, uint64_t pointerType);

    // Posts at the HID event tap.
    void postEvent(const cg::CGEventRef& event);
    cg::CGEventSourceRef eventSource();
    // The system-wide accessibility element of the process (nothing uses it).
    ax::AXUIElementRef uiElementRef();
    // Pen taps neither save nor restore the pointer position.
    bool moveMousePositionForTapEvent() const { return false; }

    // What the end of a connection passes to stylusEventEnded.
    cg::CGPoint lastMouseDownPoint() const;
    double eventPressure() const;
    uint64_t eventButtons() const;
    uint8_t savedMouseFlags() const;
    uint64_t eventModifiers() const;
    ScreenServerInputState inputState() const;

  private:
    // The status of IOHIDPostEvent on the process's HID system connection.
    int32_t postHIDEventData(const iokit::NXEventData& data, uint32_t eventType, cg::CGPoint location,
                             uint32_t options);
    void postProximityHIDEventWithPoint(cg::CGPoint point, bool entered, uint64_t pointerType);
    void postMouseForm(uint32_t eventType, cg::CGPoint location, double pressure, uint64_t buttons);
    void postButtonEvent(cg::CGEventType type, cg::CGPoint point, cg::CGMouseButton button,
                         std::optional<int64_t> clickState, uint64_t now);
    void mouseDatagram(const QNMouseMsg& message, cg::CGPoint point);
    void tapButtonEvent(uint32_t tapType, cg::CGPoint point, bool contextual);

    mutable std::recursive_mutex m_inputLock;
    ScreenServerInputState m_state;
    uint8_t m_heldButtons = 0;        // bit 0 left, bit 1 right: what this session's posts hold down
    uint8_t m_releasedTapButtons = 0; // tap buttons the end of a connection let go
};

} // namespace input
