// Ports, message types and encodings of the device side of the wire protocol.
#pragma once

#include <cstddef>
#include <cstdint>

namespace refclient {

// The protocol's fixed ports: the device listens on the first, the server on the other two.
constexpr uint16_t kDeviceSidebandPort = 6000;
constexpr uint16_t kServerStreamPort = 6001;
constexpr uint16_t kServerSidebandPort = 6002;

enum MessageType : uint8_t {
    kMessageHandshake = 0x01,
    kMessageBusy = 0x02,
    kMessageClientHeartbeat = 0x04,
    kMessageResolution = 0x10,
    kMessageScreenUpdate = 0x20,
    kMessageMultiDisplay = 0x25,
    kMessageScreenUpdateWithAppInfo = 0x28,
    kMessageSystemInformation = 0x31,
};

enum Encoding : uint8_t {
    kEncodingMousePos = 2,
    kEncodingMouseCursor = 3,
    kEncodingJPG = 4,
    kEncodingFeatureState = 0x13,
};

enum Feature : uint16_t { kFeatureTouch = 1, kFeatureKeyboard = 2 };
enum FeatureOperation : uint16_t { kFeatureOn = 1, kFeatureOff = 2, kFeatureRequestOn = 3, kFeatureRequestOff = 4 };

constexpr size_t kRectangleRecordSize = 13;
constexpr size_t kInvitationSize = 47;
constexpr size_t kUpdateHeaderSize = 3;

} // namespace refclient
