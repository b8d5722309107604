#include "tools/refclient/UsbFrame.h"

#include "platform/core/Format.h"

namespace refclient {

namespace {

void putBe32(Bytes& out, uint32_t v) {
    for (int i = 3; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

} // namespace

Bytes encodeUsbFrame(uint32_t type, uint32_t tag, ByteView payload, uint32_t version) {
    Bytes out;
    out.reserve(kUsbFrameHeaderSize + payload.size());
    putBe32(out, version);
    putBe32(out, type);
    putBe32(out, tag);
    putBe32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes encodeUsbDataFrame(uint32_t type, uint32_t tag, ByteView bytes) {
    Bytes payload;
    payload.reserve(4 + bytes.size());
    putBe32(payload, static_cast<uint32_t>(bytes.size()));
    payload.insert(payload.end(), bytes.begin(), bytes.end());
    return encodeUsbFrame(type, tag, payload);
}

bool UsbFrameDecoder::fail(const std::string& what) {
    m_failed = true;
    m_pending.clear();
    if (m_onError) m_onError(what);
    return false;
}

bool UsbFrameDecoder::feed(ByteView bytes) {
    if (m_ended || m_failed) return false;
    m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
    size_t pos = 0;
    while (m_pending.size() - pos >= kUsbFrameHeaderSize) {
        const uint8_t* h = m_pending.data() + pos;
        uint32_t version = be32(h), type = be32(h + 4), size = be32(h + 12);
        if (version != kUsbFrameVersion) return fail(platform::format("frame version %u", version));
        if (type == kUsbFrameEnd) {
            m_ended = true;
            m_pending.clear();
            return false;
        }
        if (size > kUsbMaxFramePayload) return fail(platform::format("frame payload of %u bytes", size));
        if (m_pending.size() - pos - kUsbFrameHeaderSize < size) break;
        ByteView payload(h + kUsbFrameHeaderSize, size);
        pos += kUsbFrameHeaderSize + size;
        if (type == kUsbFrameStream || type == kUsbFrameDatagram) {
            uint32_t n = payload.size() >= 4 ? be32(payload.data()) : 0;
            if (payload.size() < 4 || n != payload.size() - 4)
                return fail(platform::format("frame type %u of %u bytes announcing %u", type, size, n));
            m_onFrame(type, payload.subspan(4));
        } else {
            m_onFrame(type, payload);
        }
        if (m_failed || m_ended) return false;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(pos));
    return true;
}

} // namespace refclient
