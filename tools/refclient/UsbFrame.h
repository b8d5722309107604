// The framed channel as the device speaks it over usbmuxd: a 16-byte big-endian header
// (version 1, type, tag, payload size) and the payload; types 100 (stream bytes) and 101
// (one datagram) carry a big-endian u32 length and then that many bytes.
#pragma once

#include "tools/refclient/Bytes.h"

#include <cstdint>
#include <functional>
#include <string>

namespace refclient {

constexpr uint32_t kUsbFrameVersion = 1;
constexpr uint32_t kUsbFrameEnd = 0;
constexpr uint32_t kUsbFrameDictionary = 99;
constexpr uint32_t kUsbFrameStream = 100;
constexpr uint32_t kUsbFrameDatagram = 101;
constexpr size_t kUsbFrameHeaderSize = 16;
// Larger size fields are a broken stream.
constexpr uint32_t kUsbMaxFramePayload = 16u << 20;

constexpr uint16_t kUsbStreamPort = 6004;
constexpr uint16_t kUsbToDevicePort = 6005;
constexpr uint16_t kUsbFromDevicePort = 6006;

Bytes encodeUsbFrame(uint32_t type, uint32_t tag, ByteView payload, uint32_t version = kUsbFrameVersion);
// A type-100/101 frame around bytes (the inner length is the bytes' own).
Bytes encodeUsbDataFrame(uint32_t type, uint32_t tag, ByteView bytes);

// Incremental reader: bytes in arbitrary pieces, one call per whole frame.
class UsbFrameDecoder {
  public:
    // type, the frame's bytes (for 100 and 101 the inner bytes only).
    using FrameHandler = std::function<void(uint32_t type, ByteView bytes)>;
    using ErrorHandler = std::function<void(const std::string& what)>;
    UsbFrameDecoder(FrameHandler onFrame, ErrorHandler onError)
        : m_onFrame(std::move(onFrame)), m_onError(std::move(onError)) {}

    // Stops at the first error or an end frame; answers false from then on.
    bool feed(ByteView bytes);
    bool ended() const { return m_ended; }
    bool failed() const { return m_failed; }

  private:
    bool fail(const std::string& what);

    FrameHandler m_onFrame;
    ErrorHandler m_onError;
    Bytes m_pending;
    bool m_ended = false;
    bool m_failed = false;
};

} // namespace refclient
