// What the session input suites share: an input object over a given geometry, datagram
// builders and the event log as short lines ("cg 1 1450,20 click=1", "key 55d", "hid 24 exit").
#pragma once

#include "input/ScreenServerInput.h"
#include "platform/corefoundation/Profile.h"
#include "platform/windowserver/EventProtocol.h"
#include "platform/windowserver/InProcessEvents.h"

#include <gmock/gmock.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace input::testing {

// A stand-in Mac of this macOS version in a new temporary root, with its home inside; empty
// when it could not be made.
inline std::string bootMacRoot(const char* version) {
    char pattern[] = "/tmp/mac.XXXXXX";
    if (!::mkdtemp(pattern)) return {};
    std::string root = pattern;
    platform::Profile profile;
    profile.productVersion = version;
    if (!platform::testing::makeRoot(root, profile)) return {};
    ::setenv("PLATFORM_ROOT", root.c_str(), 1);
    ::setenv("HOME", (root + "/Users/me").c_str(), 1);
    platform::Profile::reload();
    return root;
}

inline void removeMacRoot(const std::string& root) {
    if (root.empty()) return;
    std::system(("rm -rf " + root).c_str());
    ::unsetenv("PLATFORM_ROOT");
    platform::Profile::reload();
}

class GeometryInput : public ScreenServerInput {
  public:
    explicit GeometryInput(std::optional<InputGeometry> geometry = std::nullopt) : m_geometry(geometry) {}
    std::optional<InputGeometry> inputGeometry() const override {
        std::lock_guard lock(m_mutex);
        return m_geometry;
    }
    void setGeometry(std::optional<InputGeometry> geometry) {
        std::lock_guard lock(m_mutex);
        m_geometry = geometry;
    }
    // What the session does when its read loop ends.
    void connectionEnded() {
        std::lock_guard input(inputLock());
        stylusEventEnded(lastMouseDownPoint(), eventPressure(), eventButtons());
        releaseHeldInput();
    }
    // A datagram by its type byte, as the sideband hands it on.
    void receive(const std::vector<uint8_t>& d) {
        const Socket none;
        switch (d.empty() ? 0 : d[0]) {
        case 2:
            tapDatagramReceivedForSocket(none, d);
            break;
        case 3:
            keyboardEventDatagramReceivedForSocket(none, d);
            break;
        case 5:
            windowRequestDatagramReceivedForSocket(none, d);
            break;
        case 6:
            mouseDatagramReceivedForSocket(none, d);
            break;
        case 7:
            scrollDatagramReceivedForSocket(none, d);
            break;
        case 8:
            menuRequestDatagramReceivedForSocket(none, d);
            break;
        case 16:
            buttonDatagramReceivedForSocket(none, d);
            break;
        default:
            break;
        }
    }

  private:
    mutable std::mutex m_mutex;
    std::optional<InputGeometry> m_geometry;
};

inline InputGeometry displayAt(double x, double y, double width, double height, double scale = 1) {
    return InputGeometry{scale, cg::CGRectMake(x, y, width * scale, height * scale),
                         cg::CGRectMake(x, y, width, height)};
}

inline void putFloat(std::vector<uint8_t>& d, size_t at, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    for (int i = 0; i < 4; ++i)
        d[at + i] = static_cast<uint8_t>(bits >> (8 * i));
}

inline void putI16(std::vector<uint8_t>& d, size_t at, int v) {
    d[at] = static_cast<uint8_t>(v & 0xFF);
    d[at + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

// A tap of 6, 8 or 51 bytes.
inline std::vector<uint8_t> tap(int type, int x, int y, size_t length = 8, uint8_t modifiers = 0) {
    std::vector<uint8_t> d(length, 0);
    d[0] = 2;
    d[1] = static_cast<uint8_t>(type);
    putI16(d, 2, x);
    putI16(d, 4, y);
    if (length > 6) d[6] = modifiers;
    return d;
}

inline std::vector<uint8_t> stylus(int type, int x, int y, float pressure, uint16_t buttons,
                                   float hover = 0) {
    auto d = tap(type, x, y, 51);
    putFloat(d, 9, pressure);
    putFloat(d, 13, hover);
    d[33] = static_cast<uint8_t>(buttons & 0xFF);
    d[34] = static_cast<uint8_t>(buttons >> 8);
    return d;
}

inline std::vector<uint8_t> mouse(uint8_t buttons, int x, int y) {
    std::vector<uint8_t> d(6, 0);
    d[0] = 6;
    d[1] = buttons;
    putI16(d, 2, x);
    putI16(d, 4, y);
    return d;
}

inline std::vector<uint8_t> scroll(float h, float v) {
    std::vector<uint8_t> d(13, 0);
    d[0] = 7;
    putFloat(d, 5, h);
    putFloat(d, 9, v);
    return d;
}

inline std::vector<uint8_t> button(int number, int pressed) {
    return {16, static_cast<uint8_t>(number), static_cast<uint8_t>(pressed)};
}

inline int64_t integerField(const windowserver::EventRecord& e, int field) {
    auto fields = e.fields.find("fields");
    if (fields == e.fields.end()) return 0;
    const cf::Value* f = fields->second.find(std::to_string(field));
    const cf::Value* i = f ? f->find("integer") : nullptr;
    return i ? i->integerValue() : 0;
}

inline bool fieldIsSet(const windowserver::EventRecord& e, int field) {
    auto fields = e.fields.find("fields");
    if (fields == e.fields.end()) return false;
    const cf::Value* f = fields->second.find(std::to_string(field));
    const cf::Value* set = f ? f->find("set") : nullptr;
    return set && set->asBool().value_or(false);
}

// Quartz events as "cg TYPE X,Y" (with " click=N" when the click state was set), key posts as
// "key K[d|u]", HID posts as "hid TYPE X,Y" (proximity " enter" or " exit").
inline std::string line(const windowserver::EventRecord& e) {
    auto integer = [&](const char* key) { return e.fields.at(key).integerValue(); };
    auto number = [&](const char* key) {
        return std::to_string(static_cast<int64_t>(e.fields.at(key).doubleValue()));
    };
    namespace kind = windowserver::eventKind;
    if (e.kind == kind::cgKeyboard || (e.kind == kind::cgEvent && e.fields.count("key")))
        return "key " + std::to_string(integer("key")) + (*e.fields.at("down").asBool() ? "d" : "u");
    if (e.kind == kind::cgEvent) {
        std::string out = "cg " + std::to_string(integer("type")) + " " + number("x") + "," + number("y");
        if (fieldIsSet(e, 1)) out += " click=" + std::to_string(integerField(e, 1));
        return out;
    }
    if (e.kind == kind::hidEvent) {
        std::string out = "hid " + std::to_string(integer("type")) + " " + std::to_string(integer("x")) +
                          "," + std::to_string(integer("y"));
        if (integer("type") == 24)
            out += e.fields.at("proximity").find("enterProximity")->integerValue() ? " enter" : " exit";
        return out;
    }
    return "";
}

inline std::vector<std::string> lines(const windowserver::InProcessEvents& events) {
    std::vector<std::string> out;
    for (const auto& e : events.entries()) {
        auto l = line(e);
        if (!l.empty()) out.push_back(l);
    }
    return out;
}

} // namespace input::testing
