// CAStreamBasicDescription as text: descriptions, short names and the format-string parser.
#include "input/CAStreamBasicDescription.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace input {

using namespace coreaudio;

namespace {

// Appends to a caller's buffer, cutting at its size and keeping it NUL-terminated.
class BufferWriter {
  public:
    BufferWriter(char* buffer, size_t size) : m_buffer(buffer), m_size(size) {
        if (m_buffer && m_size) m_buffer[0] = 0;
    }
    void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (!m_buffer || m_used + 1 >= m_size) return;
        va_list args;
        va_start(args, fmt);
        int n = std::vsnprintf(m_buffer + m_used, m_size - m_used, fmt, args);
        va_end(args);
        if (n > 0) m_used = std::min(m_size - 1, m_used + static_cast<size_t>(n));
    }

  private:
    char* m_buffer;
    size_t m_size;
    size_t m_used = 0;
};

std::string osTypeText(OSType type) {
    char text[16];
    return CAStreamBasicDescription::CAStringForOSType(type, text, sizeof text);
}

} // namespace

char* CAStreamBasicDescription::CAStringForOSType(OSType type, char* buffer, size_t size) {
    BufferWriter out(buffer, size);
    const unsigned char bytes[4] = {static_cast<unsigned char>(type >> 24),
                                    static_cast<unsigned char>(type >> 16),
                                    static_cast<unsigned char>(type >> 8), static_cast<unsigned char>(type)};
    bool printable = true;
    for (unsigned char c : bytes)
        if (!std::isprint(c) || c == '\\') printable = false;
    if (printable)
        out.add("'%c%c%c%c'", bytes[0], bytes[1], bytes[2], bytes[3]);
    else
        out.add("0x%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2], bytes[3]);
    return buffer;
}

char* CAStreamBasicDescription::AsString(char* buffer, size_t size) const {
    BufferWriter out(buffer, size);
    out.add("%2d ch, %6.0f Hz, %s (0x%08X) ", static_cast<int>(mChannelsPerFrame), mSampleRate,
            osTypeText(mFormatID).c_str(), mFormatFlags);
    if (mFormatID == kAudioFormatAppleLossless) {
        static const int kSourceDepth[] = {0, 16, 20, 24, 32};
        if (mFormatFlags >= 1 && mFormatFlags <= 4)
            out.add("from %d-bit source, ", kSourceDepth[mFormatFlags]);
        else
            out.add("from UNKNOWN source bit depth, ");
        out.add("%d frames/packet", static_cast<int>(mFramesPerPacket));
        return buffer;
    }
    if (!IsPCM()) {
        out.add("%d bits/channel, %d bytes/packet, %d frames/packet, %d bytes/frame",
                static_cast<int>(mBitsPerChannel), static_cast<int>(mBytesPerPacket),
                static_cast<int>(mFramesPerPacket), static_cast<int>(mBytesPerFrame));
        return buffer;
    }
    const bool isFloat = mFormatFlags & kAudioFormatFlagIsFloat;
    const UInt32 fraction =
        (mFormatFlags & kLinearPCMFormatFlagsSampleFractionMask) >> kLinearPCMFormatFlagsSampleFractionShift;
    char depth[32];
    if (fraction > 0)
        std::snprintf(depth, sizeof depth, "%d.%d", static_cast<int>(mBitsPerChannel - fraction),
                      static_cast<int>(fraction));
    else
        std::snprintf(depth, sizeof depth, "%d", static_cast<int>(mBitsPerChannel));
    const char* endian = mBitsPerChannel > 8
                             ? (mFormatFlags & kAudioFormatFlagIsBigEndian ? " big-endian" : " little-endian")
                             : "";
    const char* sign =
        isFloat ? "" : (mFormatFlags & kAudioFormatFlagIsSignedInteger ? " signed" : " unsigned");
    const UInt32 word = SampleWordSize();
    const bool partial = word > 0 && mBitsPerChannel != 8 * word; // samples narrower than their word
    char packing[48] = "";
    const char* alignment = "";
    if (partial) {
        const bool packed = mFormatFlags & kAudioFormatFlagIsPacked;
        std::snprintf(packing, sizeof packing, "%s in %d bytes", packed ? "packed" : "unpacked",
                      static_cast<int>(word));
        if (!packed)
            alignment = mFormatFlags & kAudioFormatFlagIsAlignedHigh ? " high-aligned" : " low-aligned";
    }
    const char* deinterleaved = IsInterleaved() ? "" : ", deinterleaved";
    out.add("%s-bit%s%s %s%s%s%s%s", depth, endian, sign, isFloat ? "float" : "integer", partial ? ", " : "",
            packing, alignment, deinterleaved);
    return buffer;
}

void CAStreamBasicDescription::GetSimpleName(const AudioStreamBasicDescription& desc, char* buffer,
                                             size_t size, bool abbreviate, bool withSampleRate) {
    BufferWriter out(buffer, size);
    if (withSampleRate) out.add("%.0f ", desc.mSampleRate);
    if (desc.mFormatID == kAudioFormatAC3) {
        out.add("AC-3");
        return;
    }
    if (desc.mFormatID == kAudioFormat60958AC3) {
        out.add("AC-3 for SPDIF");
        return;
    }
    if (desc.mFormatID != kAudioFormatLinearPCM) {
        out.add("%s", osTypeText(desc.mFormatID).c_str());
        return;
    }
    const UInt32 flags = desc.mFormatFlags;
    const char* kind = flags & kAudioFormatFlagIsFloat ? (abbreviate ? "Float" : "Floating Point")
                                                       : (flags & kAudioFormatFlagIsSignedInteger
                                                              ? (abbreviate ? "SInt" : "Signed Integer")
                                                              : (abbreviate ? "UInt" : "Unsigned Integer"));
    const char* mixable = flags & kAudioFormatFlagIsNonMixable ? "Unmixable" : "Mixable";
    const UInt32 word = CAStreamBasicDescription(desc).SampleWordSize();
    const bool bigEndian = word > 1 && (flags & kAudioFormatFlagIsBigEndian);
    const int channels = static_cast<int>(desc.mChannelsPerFrame);
    const int bits = static_cast<int>(desc.mBitsPerChannel);
    const int wordBits = static_cast<int>(8 * word);
    if (word > 0 && desc.mBitsPerChannel != 8 * word) {
        const char* aligned = flags & kAudioFormatFlagIsAlignedHigh ? "High" : "Low";
        if (bigEndian) {
            if (abbreviate)
                out.add("%s %d Ch %s %s %s%d/%s%d", mixable, channels, "Big Endian", aligned, kind, bits,
                        kind, wordBits);
            else
                out.add("%s %d Channel %d Bit %s %s Aligned %s in %d Bits", mixable, channels, bits,
                        "Big Endian", aligned, kind, wordBits);
        } else {
            if (abbreviate)
                out.add("%s %d Ch %s %s%d/%s%d", mixable, channels, aligned, kind, bits, kind, wordBits);
            else
                out.add("%s %d Channel %d Bit %s Aligned %s in %d Bits", mixable, channels, bits, aligned,
                        kind, wordBits);
        }
    } else if (bigEndian) {
        if (abbreviate)
            out.add("%s %d Ch %s %s%d", mixable, channels, "Big Endian", kind, bits);
        else
            out.add("%s %d Channel %d Bit %s %s", mixable, channels, bits, "Big Endian", kind);
    } else {
        if (abbreviate)
            out.add("%s %d Ch %s%d", mixable, channels, kind, bits);
        else
            out.add("%s %d Channel %d Bit %s", mixable, channels, bits, kind);
    }
}

} // namespace input
