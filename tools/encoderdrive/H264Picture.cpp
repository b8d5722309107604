#include "tools/encoderdrive/H264Picture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <cmath>
#include <cstring>

namespace encoderdrive {

namespace {

constexpr size_t kHeaderSize = 3;
constexpr size_t kRecordSize = 13;
constexpr uint32_t kMaxPayload = 64u << 20;
constexpr uint8_t kFrame = 20, kSPS = 21, kPPS = 22;
constexpr uint8_t kStartCode[] = {0, 0, 0, 1};

uint16_t u16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t u32le(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint32_t u32be(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

} // namespace

double lumaPsnr(const uint8_t* luma, int width, int height, const uint8_t* bgrx, size_t pitch) {
    double sum = 0;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = bgrx + size_t(y) * pitch;
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = row + size_t(x) * 4;
            const double expected = 16 + (65.481 * p[2] + 128.553 * p[1] + 24.966 * p[0]) / 255;
            const double d = double(luma[size_t(y) * size_t(width) + size_t(x)]) - expected;
            sum += d * d;
        }
    }
    const double samples = double(width) * double(height);
    if (samples == 0 || sum / samples < 1e-9) return 99.0;
    return 10 * std::log10(255.0 * 255.0 / (sum / samples));
}

H264Picture::H264Picture() {
    m_frame = av_frame_alloc();
    m_packet = av_packet_alloc();
}

H264Picture::~H264Picture() {
    av_packet_free(&m_packet);
    av_frame_free(&m_frame);
    avcodec_free_context(&m_context);
}

bool H264Picture::fail(std::string why) {
    if (m_error.empty()) m_error = std::move(why);
    return false;
}

bool H264Picture::feed(const uint8_t* bytes, size_t length) {
    if (!m_error.empty()) return false;
    if (!m_frame || !m_packet) return fail("no H.264 decoder");
    m_pending.insert(m_pending.end(), bytes, bytes + length);
    for (;;) {
        // An update is read once all of it is here.
        const uint8_t* p = m_pending.data() + m_at;
        const size_t left = m_pending.size() - m_at;
        if (left < kHeaderSize) break;
        const uint16_t count = u16(p + 1);
        size_t at = kHeaderSize;
        bool whole = true;
        for (uint16_t i = 0; i < count && whole; ++i) {
            if (left - at < kRecordSize) {
                whole = false;
                break;
            }
            const uint32_t payload = u32le(p + at + 9);
            if (payload > kMaxPayload)
                return fail("a record announces " + std::to_string(payload) + " bytes");
            if (left - at - kRecordSize < payload) whole = false;
            at += kRecordSize + payload;
        }
        if (!whole) break;

        std::vector<uint8_t> annexB;
        bool key = false, frame = false;
        for (size_t r = kHeaderSize; r < at;) {
            const uint8_t encoding = p[r + 8];
            const uint32_t payload = u32le(p + r + 9);
            const uint8_t* data = p + r + kRecordSize;
            if (encoding == kSPS || encoding == kPPS) {
                if (payload == 0) return fail("an empty parameter set");
                key = key || encoding == kSPS;
                annexB.insert(annexB.end(), std::begin(kStartCode), std::end(kStartCode));
                annexB.insert(annexB.end(), data, data + payload);
            } else if (encoding == kFrame) {
                if (!appendFrame(data, payload, annexB)) return false;
                frame = true;
            } else if (encoding == 0 && payload == 0) {
                ++m_emptyRecords; // a frame that failed or was dropped
            } else {
                return fail("a record of encoding " + std::to_string(encoding));
            }
            r += kRecordSize + payload;
        }
        m_at += at;
        if (frame) {
            ++m_frames;
            m_keyFrames += key;
            if (!decode(annexB)) return false;
        }
    }
    if (m_at > (1u << 20) && m_at * 2 > m_pending.size()) {
        m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(m_at));
        m_at = 0;
    }
    return true;
}

bool H264Picture::appendFrame(const uint8_t* payload, uint32_t length, std::vector<uint8_t>& annexB) {
    if (length == 0) return fail("an empty frame record");
    for (uint32_t at = 0; at < length;) {
        if (length - at < 4) return fail("a frame record ends inside a NAL length");
        const uint32_t nal = u32be(payload + at);
        at += 4;
        if (nal == 0 || nal > length - at) return fail("a NAL unit runs past its frame record");
        annexB.insert(annexB.end(), std::begin(kStartCode), std::end(kStartCode));
        annexB.insert(annexB.end(), payload + at, payload + at + nal);
        at += nal;
    }
    return true;
}

bool H264Picture::decode(const std::vector<uint8_t>& annexB) {
    // The decoder (some megabytes) is opened by the first frame: a stream refused before any
    // frame never pays for it.
    if (!m_context) {
        if (const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264)) {
            m_context = avcodec_alloc_context3(codec);
            if (m_context && avcodec_open2(m_context, codec, nullptr) < 0) avcodec_free_context(&m_context);
        }
        if (!m_context) return fail("no H.264 decoder");
    }
    std::vector<uint8_t> padded(annexB.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(padded.data(), annexB.data(), annexB.size());
    m_packet->data = padded.data();
    m_packet->size = int(annexB.size());
    const int sent = avcodec_send_packet(m_context, m_packet);
    m_packet->data = nullptr;
    m_packet->size = 0;
    if (sent < 0) return fail("a frame does not decode");
    while (avcodec_receive_frame(m_context, m_frame) == 0) {
        m_width = m_frame->width;
        m_height = m_frame->height;
        m_luma.resize(size_t(m_width) * size_t(m_height));
        for (int y = 0; y < m_height; ++y)
            std::memcpy(&m_luma[size_t(y) * size_t(m_width)],
                        m_frame->data[0] + size_t(y) * size_t(m_frame->linesize[0]), size_t(m_width));
        av_frame_unref(m_frame);
    }
    return true;
}

} // namespace encoderdrive
