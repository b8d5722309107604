// A libavcodec H.264 decoder for tests: NAL units in, the decoded picture out. It decodes with
// no frame delay, so each access unit gives its picture at once.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdint>
#include <cstring>
#include <vector>

namespace vt::testing {

class H264Decoder {
  public:
    H264Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        m_context = avcodec_alloc_context3(codec);
        m_context->flags |= AV_CODEC_FLAG_LOW_DELAY;
        m_context->thread_count = 1;
        m_ok = avcodec_open2(m_context, codec, nullptr) == 0;
        m_frame = av_frame_alloc();
        m_packet = av_packet_alloc();
    }
    ~H264Decoder() {
        av_packet_free(&m_packet);
        av_frame_free(&m_frame);
        avcodec_free_context(&m_context);
    }
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // The picture of one access unit (parameter sets first where there are any), or null.
    const AVFrame* decode(const std::vector<std::vector<uint8_t>>& units) {
        std::vector<uint8_t> annexB;
        for (const auto& unit : units) {
            annexB.insert(annexB.end(), {0, 0, 0, 1});
            annexB.insert(annexB.end(), unit.begin(), unit.end());
        }
        if (!m_ok || annexB.empty() || av_new_packet(m_packet, int(annexB.size())) != 0) return nullptr;
        std::memcpy(m_packet->data, annexB.data(), annexB.size());
        const int sent = avcodec_send_packet(m_context, m_packet);
        av_packet_unref(m_packet);
        if (sent != 0) return nullptr;
        return avcodec_receive_frame(m_context, m_frame) == 0 ? m_frame : nullptr;
    }

    // The NAL units of bytes that carry each behind a 4-byte big-endian length; empty when the
    // lengths do not cover the bytes exactly.
    static std::vector<std::vector<uint8_t>> lengthPrefixedUnits(const uint8_t* bytes, size_t length) {
        std::vector<std::vector<uint8_t>> units;
        size_t at = 0;
        while (at + 4 <= length) {
            const size_t n = size_t(bytes[at]) << 24 | size_t(bytes[at + 1]) << 16 |
                             size_t(bytes[at + 2]) << 8 | bytes[at + 3];
            if (n == 0 || at + 4 + n > length) return {};
            units.emplace_back(bytes + at + 4, bytes + at + 4 + n);
            at += 4 + n;
        }
        if (at != length) return {};
        return units;
    }

  private:
    AVCodecContext* m_context = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    bool m_ok = false;
};

} // namespace vt::testing
