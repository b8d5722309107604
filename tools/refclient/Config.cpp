#include "tools/refclient/Config.h"
#include "tools/refclient/NetAddress.h"

#include "platform/core/Format.h"

#include <charconv>
#include <cstdlib>
#include <functional>
#include <limits>

namespace refclient {

HandshakeFields Config::handshakeFields() const {
    HandshakeFields f;
    f.version = protocol;
    f.legacyDisplayMode = legacyMode;
    f.capabilities = caps;
    if (!displaySizeGiven) {
        f.capabilities.displayWidth = nominalWidth;
        f.capabilities.displayHeight = nominalHeight;
    }
    f.nominalWidth = nominalWidth;
    f.nominalHeight = nominalHeight;
    f.numberOfDisplayRequests = requestNumber;
    f.deviceIdentifier = effectiveDeviceId();
    f.deviceName = name;
    f.devicePlatform = platformName;
    return f;
}

namespace {

bool unsignedValue(std::string_view t, uint64_t max, uint64_t& out) {
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t.remove_prefix(2);
        base = 16;
    }
    auto [next, ec] = std::from_chars(t.data(), t.data() + t.size(), out, base);
    return !t.empty() && ec == std::errc() && next == t.data() + t.size() && out <= max;
}

bool secondsValue(const std::string& t, double& out) {
    char* end = nullptr;
    out = std::strtod(t.c_str(), &end);
    return !t.empty() && end == t.c_str() + t.size() && out >= 0 && out < 1e7;
}

bool onOff(const std::string& t, bool& out) {
    if (t != "on" && t != "off") return false;
    out = t == "on";
    return true;
}

bool size(const std::string& t, uint16_t& w, uint16_t& h) {
    size_t x = t.find('x');
    uint64_t a, b;
    if (x == std::string::npos || !unsignedValue(std::string_view(t).substr(0, x), 0xFFFF, a) ||
        !unsignedValue(std::string_view(t).substr(x + 1), 0xFFFF, b))
        return false;
    w = static_cast<uint16_t>(a);
    h = static_cast<uint16_t>(b);
    return true;
}

template <typename T> bool integerOption(const std::string& t, T& out, uint64_t max = std::numeric_limits<T>::max()) {
    uint64_t v;
    if (!unsignedValue(t, max, v)) return false;
    out = static_cast<T>(v);
    return true;
}

bool caps(const std::string& list, Config& c, std::string& error) {
    std::string_view rest(list);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            error = platform::format("capability \"%@\" is not K=V", std::string(item));
            return false;
        }
        std::string_view key = item.substr(0, eq);
        if (!c.caps.set(key, item.substr(eq + 1), error)) return false;
        if (key == "displayWidth" || key == "displayHeight") c.displaySizeGiven = true;
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return true;
}

using ValueHandler = std::function<bool(const std::string&, Config&, std::string&)>;
using FlagHandler = std::function<void(Config&)>;

const std::map<std::string, ValueHandler>& valueOptions() {
    static const std::map<std::string, ValueHandler> options = {
        {"--protocol",
         [](const std::string& v, Config& c, std::string&) {
             auto p = ProtocolVersion::parse(v);
             if (p) c.protocol = *p;
             return p.has_value();
         }},
        {"--bind-address", [](const std::string& v, Config& c, std::string&) { return !(c.bindAddress = v).empty(); }},
        {"--address", [](const std::string& v, Config& c, std::string&) { return !(c.bindAddress = v).empty(); }},
        {"--name", [](const std::string& v, Config& c, std::string&) { return c.name = v, true; }},
        {"--device-id", [](const std::string& v, Config& c, std::string&) { return c.deviceId = v, true; }},
        {"--platform", [](const std::string& v, Config& c, std::string&) { return c.platformName = v, true; }},
        {"--nominal", [](const std::string& v, Config& c, std::string&) { return size(v, c.nominalWidth, c.nominalHeight); }},
        {"--request-number", [](const std::string& v, Config& c, std::string&) { return integerOption(v, c.requestNumber); }},
        {"--legacy-mode", [](const std::string& v, Config& c, std::string&) { return integerOption(v, c.legacyMode); }},
        {"--caps", [](const std::string& v, Config& c, std::string& e) { return caps(v, c, e); }},
        {"--icon-hashes",
         [](const std::string& v, Config& c, std::string&) { return integerOption(v, c.caps.iconHashCount); }},
        {"--touch", [](const std::string& v, Config& c, std::string&) { return onOff(v, c.touch); }},
        {"--keyboard", [](const std::string& v, Config& c, std::string&) { return onOff(v, c.keyboard); }},
        {"--connect",
         [](const std::string& v, Config& c, std::string& e) {
             // Only an address: a name would be resolved by nobody and fail later, less clearly.
             if (!NetAddress::parse(v, 0)) {
                 e = platform::format("--connect takes an IP address, not \"%@\"", v);
                 return false;
             }
             c.connectHost = v;
             return true;
         }},
        {"--send",
         [](const std::string& v, Config& c, std::string& e) {
             auto step = SendStep::parse(v, e);
             if (step) c.sends.push_back(std::move(*step));
             return step.has_value();
         }},
        {"--png", [](const std::string& v, Config& c, std::string&) { return !(c.pngPath = v).empty(); }},
        {"--cursor-png", [](const std::string& v, Config& c, std::string&) { return !(c.cursorPngPath = v).empty(); }},
        {"--log", [](const std::string& v, Config& c, std::string&) { return !(c.logPath = v).empty(); }},
        {"--exit-after-frames",
         [](const std::string& v, Config& c, std::string&) { return integerOption(v, c.exitAfterFrames); }},
        {"--timeout", [](const std::string& v, Config& c, std::string&) { return secondsValue(v, c.timeout); }},
        {"--txt",
         [](const std::string& v, Config& c, std::string&) {
             size_t eq = v.find('=');
             if (eq == std::string::npos || eq == 0) return false;
             c.txt[v.substr(0, eq)] = v.substr(eq + 1);
             return true;
         }},
        {"--battery",
         [](const std::string& v, Config& c, std::string&) {
             double f;
             if (!secondsValue(v, f) || f > 1) return false;
             c.battery = f;
             return true;
         }},
        {"--end-mode",
         [](const std::string& v, Config& c, std::string&) {
             if (v == "fin") c.endMode = EndMode::Fin;
             else if (v == "rst") c.endMode = EndMode::Rst;
             else if (v == "silent") c.endMode = EndMode::Silent;
             else return false;
             return true;
         }},
        {"--end-after", [](const std::string& v, Config& c, std::string&) { return secondsValue(v, c.endAfter); }},
        {"--away", [](const std::string& v, Config& c, std::string&) { return secondsValue(v, c.away); }},
        {"--handshake-cut",
         [](const std::string& v, Config& c, std::string&) { return integerOption(v, c.handshakeCut, 100000); }},
        {"--reconnect-after-silent",
         [](const std::string& v, Config& c, std::string&) { return secondsValue(v, c.reconnectAfterSilent); }},
        {"--usb-device-id",
         [](const std::string& v, Config& c, std::string&) {
             return integerOption(v, c.usbDeviceId) && c.usbDeviceId != 0;
         }},
        {"--usb-hub", [](const std::string& v, Config& c, std::string&) { return !(c.usbHub = v).empty(); }},
        {"--usb-detach-after-frames",
         [](const std::string& v, Config& c, std::string&) { return integerOption(v, c.usbDetachAfterFrames, 1u << 30); }},
        {"--usb-listen-delay", [](const std::string& v, Config& c, std::string&) { return secondsValue(v, c.usbListenDelay); }},
        {"--usb-frame-fault",
         [](const std::string& v, Config& c, std::string& e) {
             static const char* const kKinds[] = {"version2", "zero100", "short101", "long101", "huge", "type99", "type102"};
             for (const char* k : kKinds)
                 if (v == k) return c.usbFrameFault = v, true;
             e = platform::format("unknown --usb-frame-fault \"%@\"", v);
             return false;
         }},
        {"--stop-requests-after-frames",
         [](const std::string& v, Config& c, std::string&) { return integerOption(v, c.stopRequestsAfterFrames); }},
        {"--busy-answer",
         [](const std::string& v, Config& c, std::string&) {
             uint64_t id;
             if (!unsignedValue(v, UINT64_MAX, id)) return false;
             c.busyAnswer = id;
             return true;
         }},
    };
    return options;
}

const std::map<std::string, FlagHandler>& flagOptions() {
    static const std::map<std::string, FlagHandler> flags = {
        {"--once", [](Config& c) { c.once = true; }},
        {"--lenient", [](Config& c) { c.lenient = true; }},
        {"--no-announce", [](Config& c) { c.announce = false; }},
        {"--stylus", [](Config& c) { c.stylus = true; }},
        {"--close-after-handshake", [](Config& c) { c.closeAfterHandshake = true; }},
        {"--no-empty-answers", [](Config& c) { c.noEmptyAnswers = true; }},
        {"--no-heartbeat", [](Config& c) { c.noHeartbeat = true; }},
        {"--usb", [](Config& c) { c.usb = true; }},
        {"--usb-loopback", [](Config& c) { c.usbLoopback = true; }},
    };
    return flags;
}

} // namespace

CommandLineResult parseCommandLine(const std::vector<std::string>& args, Config& config) {
    CommandLineResult result;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "--help" || name == "-h") {
            result.help = true;
            return result;
        }
        if (auto flag = flagOptions().find(name); flag != flagOptions().end() && !inlineValue) {
            flag->second(config);
            continue;
        }
        auto option = valueOptions().find(name);
        if (option == valueOptions().end()) {
            result.error = platform::format("unknown option %@", name);
            return result;
        }
        if (!inlineValue && i + 1 >= args.size()) {
            result.error = platform::format("%@ needs a value", name);
            return result;
        }
        std::string value = inlineValue ? *inlineValue : args[++i];
        std::string why;
        if (!option->second(value, config, why)) {
            result.error = why.empty() ? platform::format("bad value \"%@\" for %@", value, name) : why;
            return result;
        }
    }
    result.ok = true;
    return result;
}

const char* usageText() {
    return "usage: refclient [options]\n"
           "The reference client device: waits for an invitation on UDP 6000 (or connects at once with\n"
           "--connect), hands over its handshake, then receives and draws frames.\n"
           "  --protocol M.m.s          handshake version (3.0.1)\n"
           "  --bind-address IP         local address of UDP 6000 and the TCP source (::)\n"
           "  --name S --device-id S --platform S\n"
           "                            the names the handshake carries\n"
           "  --nominal WxH --request-number N --legacy-mode N\n"
           "                            the display size, request number and old-style mode asked for\n"
           "  --caps K=V,...            capability fields by name; lists take ':'-separated values\n"
           "  --icon-hashes N           icon hashes after the handshake\n"
           "  --touch on|off --keyboard on|off\n"
           "  --connect IP              connect at once to that address, without an invitation\n"
           "  --send STEP               datagram after the first frame (repeatable)\n"
           "  --png FILE --cursor-png FILE --log FILE|-\n"
           "                            write the last picture, the cursor, the record log\n"
           "  --once                    one connection only: end when it ends (busy: exit 4)\n"
           "  --exit-after-frames N --timeout S --lenient\n"
           "  --no-announce --txt K=V --battery F --stylus\n"
           "faults (for tests of the server's side):\n"
           "  --end-mode fin|rst|silent how the connection ends: a close, a reset, or going quiet\n"
           "  --end-after S             end the connection S seconds after it was made (with --end-mode)\n"
           "  --away S                  after a connection ends, leave invitations unanswered for S seconds\n"
           "  --handshake-cut N         send only the first N bytes of the handshake, then stop\n"
           "  --close-after-handshake   close right after the handshake\n"
           "  --reconnect-after-silent S  after S silent seconds, connect again from the same address\n"
           "  --stop-requests-after-frames N  ask for no more frames after N\n"
           "  --no-empty-answers        never answer the server's empty update\n"
           "  --no-heartbeat            send no heartbeats\n"
           "  --busy-answer ID          answer a busy message with this client id (a takeover)\n"
           "USB device mode (all need --usb):\n"
           "  --usb --usb-device-id N --usb-hub PATH --usb-loopback\n"
           "  --usb-detach-after-frames N  detach from the usbmuxd double after N frames\n"
           "  --usb-listen-delay S      offer the device's ports S seconds late\n"
           "  --usb-frame-fault KIND    send one bad frame: version2, zero100, short101, long101, huge,\n"
           "                            type99 or type102\n"
           "exit codes: 0 normal, 1 protocol error, 2 usage or environment, 3 timeout, 4 busy under --once\n";
}

} // namespace refclient
