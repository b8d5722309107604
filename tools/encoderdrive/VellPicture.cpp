#include "tools/encoderdrive/VellPicture.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace encoderdrive {

namespace {

constexpr size_t kHeaderSize = 3;
constexpr size_t kRecordSize = 13;
// No record of a display up to 16384 × 16384 needs more, compressed or not.
constexpr uint32_t kMaxPayload = 64u << 20;
constexpr uint16_t kMaxSide = 16384;
// The encoder's high quality quantizes the luma DC term by a handful at most; its low quality
// and squeezed records by tens.
constexpr unsigned kFineDCQuantizer = 8;

enum : uint8_t {
    kLibz = 0,
    kCopyRect = 1,
    kMousePos = 2,
    kJPG = 4,
    kSqueezedJPG = 14,
};

uint16_t u16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

bool jpegIsHighQuality(const uint8_t* jpeg, size_t length) {
    // Markers from the start of image to the first quantization table.
    if (length < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return false;
    size_t at = 2;
    while (at + 4 <= length) {
        if (jpeg[at] != 0xFF) return false;
        const uint8_t marker = jpeg[at + 1];
        const size_t segment = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (segment < 2 || at + 2 + segment > length) return false;
        if (marker == 0xDB) {
            if (segment < 3 + 64) return false;
            const uint8_t precision = jpeg[at + 4] >> 4;
            const unsigned dc = precision ? unsigned(jpeg[at + 5]) << 8 | jpeg[at + 6] : jpeg[at + 5];
            return dc <= kFineDCQuantizer;
        }
        if (marker == 0xDA) return false;
        at += 2 + segment;
    }
    return false;
}

double psnr(const uint8_t* a, size_t aPitch, const uint8_t* b, size_t bPitch, size_t width, size_t height) {
    double sum = 0;
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* p = a + y * aPitch;
        const uint8_t* q = b + y * bPitch;
        for (size_t x = 0; x < width * 4; ++x) {
            if (x % 4 == 3) continue;
            const double d = double(p[x]) - double(q[x]);
            sum += d * d;
        }
    }
    const double samples = double(width) * double(height) * 3;
    if (samples == 0 || sum == 0) return 99.0;
    return 10 * std::log10(255.0 * 255.0 / (sum / samples));
}

VellPicture::VellPicture(size_t width, size_t height)
    : m_width(width), m_height(height), m_pixels(width * height * 4, 0) {
    for (size_t i = 3; i < m_pixels.size(); i += 4)
        m_pixels[i] = 0xFF;
    m_inflateReady = inflateInit(&m_inflate) == Z_OK;
}

VellPicture::~VellPicture() {
    if (m_inflateReady) inflateEnd(&m_inflate);
}

bool VellPicture::fail(std::string why) {
    if (m_error.empty()) m_error = std::move(why);
    return false;
}

bool VellPicture::feed(const uint8_t* bytes, size_t length) {
    if (!m_error.empty()) return false;
    m_pending.insert(m_pending.end(), bytes, bytes + length);
    for (;;) {
        const size_t left = m_pending.size() - m_at;
        const uint8_t* p = m_pending.data() + m_at;
        if (m_remainingRecords == 0) {
            if (left < kHeaderSize) break;
            ++m_counts.updates;
            m_remainingRecords = u16(p + 1);
            m_at += kHeaderSize;
            continue;
        }
        if (left < kRecordSize) break;
        const uint32_t payload = u32(p + 9);
        if (payload > kMaxPayload) return fail("a record announces " + std::to_string(payload) + " bytes");
        if (left < kRecordSize + payload) break;
        if (!applyRecord(int16_t(u16(p)), int16_t(u16(p + 2)), u16(p + 4), u16(p + 6), p[8], p + kRecordSize,
                         payload))
            return false;
        ++m_counts.records;
        --m_remainingRecords;
        m_at += kRecordSize + payload;
    }
    // What was read is dropped once it is a good part of what is held.
    if (m_at > (1u << 20) && m_at * 2 > m_pending.size()) {
        m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(m_at));
        m_at = 0;
    }
    return true;
}

bool VellPicture::applyRecord(int16_t x, int16_t y, uint16_t w, uint16_t h, uint8_t encoding,
                              const uint8_t* payload, uint32_t length) {
    if (w > kMaxSide || h > kMaxSide)
        return fail("a record of " + std::to_string(w) + " x " + std::to_string(h));
    switch (encoding) {
    case kMousePos:
        if (length) return fail("a dummy record with a payload");
        ++m_counts.dummies;
        return true;
    case kLibz:
        if (w == 0 || h == 0) {
            if (length) return fail("an empty zlib record with a payload");
            ++m_counts.empty;
            return true;
        }
        ++m_counts.zlib;
        return paintZlib(x, y, w, h, payload, length);
    case kJPG:
        if (jpegIsHighQuality(payload, length))
            ++m_counts.highQuality;
        else
            ++m_counts.lowQuality;
        return paintJpeg(x, y, w, h, payload, length, false);
    case kSqueezedJPG:
        ++m_counts.squeezed;
        return paintJpeg(x, y, w, h, payload, length, true);
    case kCopyRect:
        ++m_counts.copies;
        return paintCopy(x, y, w, h, payload, length);
    default:
        return fail("a record of encoding " + std::to_string(encoding));
    }
}

bool VellPicture::paintJpeg(int x, int y, int w, int h, const uint8_t* payload, uint32_t length,
                            bool squeezed) {
    if (w == 0 || h == 0 || length == 0) return fail("an image record without a picture");
    tjhandle decoder = tjInitDecompress();
    if (!decoder) return fail("no JPEG decoder");
    int jw = 0, jh = 0, sub = 0, space = 0;
    std::vector<uint8_t> decoded;
    bool ok = tjDecompressHeader3(decoder, payload, length, &jw, &jh, &sub, &space) == 0;
    const int expectW = squeezed ? (w + 1) / 2 : w, expectH = squeezed ? (h + 1) / 2 : h;
    if (ok && (jw != expectW || jh != expectH)) {
        tjDestroy(decoder);
        return fail("a " + std::to_string(w) + " x " + std::to_string(h) + " record holds a JPEG of " +
                    std::to_string(jw) + " x " + std::to_string(jh));
    }
    if (ok) {
        decoded.resize(size_t(jw) * size_t(jh) * 4);
        ok = tjDecompress2(decoder, payload, length, decoded.data(), jw, jw * 4, jh, TJPF_BGRX, 0) == 0;
    }
    tjDestroy(decoder);
    if (!ok) return fail("a JPEG record does not decode");
    if (!squeezed) {
        place(x, y, w, h, decoded.data());
        return true;
    }
    // Grown back to the record's size, each pixel from its nearest small one.
    std::vector<uint8_t> grown(size_t(w) * size_t(h) * 4);
    for (int row = 0; row < h; ++row)
        for (int column = 0; column < w; ++column)
            std::memcpy(&grown[(size_t(row) * w + column) * 4],
                        &decoded[(size_t(row * jh / h) * jw + size_t(column * jw / w)) * 4], 4);
    place(x, y, w, h, grown.data());
    return true;
}

bool VellPicture::paintZlib(int x, int y, int w, int h, const uint8_t* payload, uint32_t length) {
    if (!m_inflateReady) return fail("no inflater");
    // Deflate makes at most 258 bytes of 2 bits (1032 a byte), plus what is left of a match the
    // last record cut: a payload too short for its rectangle is refused before the rectangle
    // (up to a gigabyte) is allocated.
    const size_t size = size_t(w) * size_t(h) * 4;
    if (size > (size_t(length) + 1) * 1032 + 258)
        return fail("a zlib record of " + std::to_string(length) + " bytes for " + std::to_string(w) + " x " +
                    std::to_string(h));
    std::vector<uint8_t> rows(size);
    m_inflate.next_in = const_cast<Bytef*>(payload);
    m_inflate.avail_in = length;
    m_inflate.next_out = rows.data();
    m_inflate.avail_out = uInt(rows.size());
    const int status = inflate(&m_inflate, Z_SYNC_FLUSH);
    if ((status != Z_OK && status != Z_BUF_ERROR) || m_inflate.avail_out != 0 || m_inflate.avail_in != 0)
        return fail("a zlib record does not inflate to its rectangle");
    for (size_t i = 3; i < rows.size(); i += 4)
        rows[i] = 0xFF;
    place(x, y, w, h, rows.data());
    return true;
}

bool VellPicture::paintCopy(int x, int y, int w, int h, const uint8_t* payload, uint32_t length) {
    if (length != 4) return fail("a copy record of " + std::to_string(length) + " bytes");
    // The record is the destination; the delta is how far its pixels moved.
    const int dx = int16_t(u16(payload)), dy = int16_t(u16(payload + 2));
    std::vector<uint8_t> moved(size_t(w) * size_t(h) * 4, 0);
    for (int row = 0; row < h; ++row)
        for (int column = 0; column < w; ++column) {
            const long sx = long(x) + column - dx, sy = long(y) + row - dy;
            if (sx < 0 || sy < 0 || sx >= long(m_width) || sy >= long(m_height)) continue;
            std::memcpy(&moved[(size_t(row) * w + column) * 4],
                        &m_pixels[(size_t(sy) * m_width + size_t(sx)) * 4], 4);
        }
    place(x, y, w, h, moved.data());
    return true;
}

void VellPicture::place(int x, int y, int w, int h, const uint8_t* source) {
    for (int row = 0; row < h; ++row) {
        const long ty = long(y) + row;
        if (ty < 0 || ty >= long(m_height)) continue;
        for (int column = 0; column < w; ++column) {
            const long tx = long(x) + column;
            if (tx < 0 || tx >= long(m_width)) continue;
            std::memcpy(&m_pixels[(size_t(ty) * m_width + size_t(tx)) * 4],
                        &source[(size_t(row) * w + column) * 4], 4);
        }
    }
}

} // namespace encoderdrive
