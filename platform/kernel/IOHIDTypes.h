// The HID system's event record as this stand-in defines it: only the members the stylus and
// pointer code set, with the widths they have (8- and 16-bit pressures, 32-bit tablet
// coordinates, a 64-bit unique id). The facade and the window server both read this layout;
// the kernel checks a posted record's size against it.
#pragma once

#include <cstdint>

namespace kernel {

struct IOGPoint {
    int16_t x = 0;
    int16_t y = 0;
};

struct NXTabletPointData {
    int32_t x;
    int32_t y;
    uint16_t buttons;
    uint16_t pressure;
};

union NXEventData {
    struct {
        uint8_t subx;
        uint8_t suby;
        int32_t eventNum;
        int32_t click;
        uint8_t pressure;
        uint8_t buttonNumber;
        uint8_t subType;
        NXTabletPointData tablet;
    } mouse;
    struct {
        int32_t dx;
        int32_t dy;
        uint8_t subx;
        uint8_t suby;
        uint8_t subType;
        NXTabletPointData tablet;
    } mouseMove;
    NXTabletPointData tablet;
    struct {
        uint16_t vendorID;
        uint16_t tabletID;
        uint16_t vendorPointerType;
        uint32_t pointerSerialNumber;
        uint64_t uniqueID;
        uint32_t capabilityMask;
        uint8_t pointerType;
        uint8_t enterProximity;
    } proximity;
};

inline constexpr uint32_t kNXEventDataVersion = 2;

// Event types and the one option the stand-in acts on.
enum : uint32_t {
    NX_NULLEVENT = 0,
    NX_LMOUSEDOWN = 1,
    NX_LMOUSEUP = 2,
    NX_RMOUSEDOWN = 3,
    NX_RMOUSEUP = 4,
    NX_MOUSEMOVED = 5,
    NX_LMOUSEDRAGGED = 6,
    NX_RMOUSEDRAGGED = 7,
    NX_KEYDOWN = 10,
    NX_KEYUP = 11,
    NX_FLAGSCHANGED = 12,
    NX_SCROLLWHEELMOVED = 22,
    NX_TABLETPOINTER = 23,
    NX_TABLETPROXIMITY = 24,
    NX_OMOUSEDOWN = 25,
    NX_OMOUSEUP = 26,
    NX_OMOUSEDRAGGED = 27,
};
inline constexpr uint32_t kIOHIDSetCursorPosition = 0x2;

// The HID system's connection: the record travels as whole little-endian words after the
// call's other arguments.
enum IOHIDSystemSelector : uint32_t {
    kIOHIDPostEventSelector = 0,         // type, x, y, version, flags, options, data size, data words
    kIOHIDGetButtonEventNumSelector = 1, // button -> count
    kIOHIDSystemMethodCount = 2,
};
inline constexpr uint32_t kIOHIDEventDataWords = (sizeof(NXEventData) + 7) / 8;
inline constexpr uint32_t kIOHIDPostEventScalars = 7 + kIOHIDEventDataWords;
inline constexpr uint32_t kIOHIDConnectionType = 1;

} // namespace kernel
