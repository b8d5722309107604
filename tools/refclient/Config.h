// Every option of the reference client, as the command line or a test sets them.
#pragma once

#include "tools/refclient/Datagrams.h"
#include "tools/refclient/Handshake.h"
#include "tools/refclient/Wire.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace refclient {

enum class EndMode { Fin, Rst, Silent };

struct Config {
    // Handshake.
    ProtocolVersion protocol;
    std::string bindAddress = "::";
    std::string name = "Ref";
    std::string deviceId; // empty: "refclient-" + bind address
    std::string platformName = "iPad";
    uint16_t nominalWidth = 1024;
    uint16_t nominalHeight = 768;
    uint16_t requestNumber = 1;
    uint8_t legacyMode = 0;
    Capabilities caps;
    bool displaySizeGiven = false; // else the display is the nominal size
    bool touch = true;
    bool keyboard = true;
    std::optional<Bytes> handshakeOverride; // sent instead of the built handshake and hashes

    // Run.
    std::string connectHost;
    std::vector<SendStep> sends;
    std::string pngPath;
    std::string cursorPngPath;
    std::string logPath;
    bool once = false;
    int exitAfterFrames = 0;
    double timeout = 0;
    bool lenient = false;

    // Announcement (network mode): registered with platformd once UDP 6000 is bound.
    bool announce = true;
    std::map<std::string, std::string> txt;
    std::optional<double> battery;
    bool stylus = false;

    // Faults.
    EndMode endMode = EndMode::Fin;
    double endAfter = 0;
    // After a connection ends, invitations are logged and not answered for this many seconds.
    double away = 0;
    int handshakeCut = -1;
    bool closeAfterHandshake = false;
    double reconnectAfterSilent = 0;
    int stopRequestsAfterFrames = -1;
    bool noEmptyAnswers = false;
    bool noHeartbeat = false;
    std::optional<uint64_t> busyAnswer;

    // USB device mode.
    bool usb = false;
    uint32_t usbDeviceId = 1;
    std::string usbHub; // the double's device endpoint; empty: $TESSEL_USBMUXD_SOCKET + ".device"
    bool usbLoopback = false;
    int usbDetachAfterFrames = 0;
    double usbListenDelay = 0;
    std::string usbFrameFault; // version2, zero100, short101, long101, huge, type99, type102

    // Ports: the protocol's own unless a test moves them off the shared ones.
    uint16_t sidebandPort = kDeviceSidebandPort;
    uint16_t serverPort = kServerStreamPort;
    uint16_t serverSidebandPort = kServerSidebandPort;

    std::string effectiveDeviceId() const { return deviceId.empty() ? "refclient-" + bindAddress : deviceId; }
    HandshakeFields handshakeFields() const;
};

struct CommandLineResult {
    bool ok = false;
    bool help = false;
    std::string error;
};

CommandLineResult parseCommandLine(const std::vector<std::string>& args, Config& config);
const char* usageText();

} // namespace refclient
