// A value class over Core Audio's stream description: construction, text in both directions,
// comparison with wildcards (a zero field matches anything), sanity checks and normalisation.
#pragma once

#include "platform/coreaudio/CoreAudio.h"

#include <cstddef>

namespace input {

class CAStreamBasicDescription : public coreaudio::AudioStreamBasicDescription {
  public:
    static constexpr coreaudio::OSType kAudioFormatAppleLossless = 0x616c6163; // 'alac'
    static constexpr coreaudio::OSType kAudioFormatAC3 = 0x61632d33;           // 'ac-3'
    static constexpr coreaudio::OSType kAudioFormat60958AC3 = 0x63616333;      // 'cac3'

    CAStreamBasicDescription();
    explicit CAStreamBasicDescription(const coreaudio::AudioStreamBasicDescription& desc);
    CAStreamBasicDescription(double sampleRate, coreaudio::UInt32 formatID, coreaudio::UInt32 bytesPerPacket,
                             coreaudio::UInt32 framesPerPacket, coreaudio::UInt32 bytesPerFrame,
                             coreaudio::UInt32 channelsPerFrame, coreaudio::UInt32 bitsPerChannel,
                             coreaudio::UInt32 formatFlags);

    bool IsPCM() const { return mFormatID == coreaudio::kAudioFormatLinearPCM; }
    bool IsInterleaved() const {
        return !IsPCM() || !(mFormatFlags & coreaudio::kAudioFormatFlagIsNonInterleaved);
    }
    coreaudio::UInt32 SampleWordSize() const;

    // Writes a description into buffer (cut to size, always NUL-terminated); answers buffer.
    char* AsString(char* buffer, size_t size) const;
    // 'abcd' when all four bytes print and none is a backslash, else 0x and eight hex digits.
    static char* CAStringForOSType(coreaudio::OSType type, char* buffer, size_t size);
    static void GetSimpleName(const coreaudio::AudioStreamBasicDescription& desc, char* buffer, size_t size,
                              bool abbreviate, bool withSampleRate = false);

    static void NormalizeLinearPCMFormat(coreaudio::AudioStreamBasicDescription& desc);
    static void NormalizeLinearPCMFormat(bool nativeEndian, coreaudio::AudioStreamBasicDescription& desc);
    void ResetFormat();
    void FillOutFormat(const coreaudio::AudioStreamBasicDescription& from);

    bool IsEqual(const coreaudio::AudioStreamBasicDescription& other, bool interpretingWildcards) const;
    static bool SanityCheck(const coreaudio::AudioStreamBasicDescription& desc);
    // Parses "format[@rate][/flags][#frames][:LHbytes][,channelsDI]"; prints why and the
    // syntax to stderr when the text does not parse.
    static bool FromText(const char* text, coreaudio::AudioStreamBasicDescription& out);
};

bool operator==(const coreaudio::AudioStreamBasicDescription& a,
                const coreaudio::AudioStreamBasicDescription& b);
bool operator<(const coreaudio::AudioStreamBasicDescription& a,
               const coreaudio::AudioStreamBasicDescription& b);

} // namespace input
