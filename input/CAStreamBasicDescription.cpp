#include "input/CAStreamBasicDescription.h"

#include <cstring>

namespace input {

using namespace coreaudio;

namespace {

constexpr size_t kComparedBytes = 36; // everything but the reserved field

bool isLittleEndianHost() {
    const uint16_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// Flags that leave the samples as they are for this description are dropped before comparing.
UInt32 significantPCMFlags(const AudioStreamBasicDescription& d) {
    UInt32 flags = d.mFormatFlags;
    const CAStreamBasicDescription desc(d);
    const UInt32 word = desc.SampleWordSize();
    if (word > 0 && d.mBitsPerChannel == 8 * word) flags &= ~kAudioFormatFlagIsPacked;
    if (d.mBitsPerChannel <= 8) flags &= ~kAudioFormatFlagIsAlignedHigh;
    if (d.mChannelsPerFrame == 1) flags &= ~kAudioFormatFlagIsNonInterleaved;
    return flags;
}

bool wildcardEqual(UInt32 a, UInt32 b) {
    return a == 0 || b == 0 || a == b;
}

// -1, 0 or 1 where both are non-zero; 0 when either is a wildcard.
template <typename T> int orderOf(T a, T b) {
    if (a == 0 || b == 0 || a == b) return 0;
    return a < b ? -1 : 1;
}

} // namespace

CAStreamBasicDescription::CAStreamBasicDescription() : AudioStreamBasicDescription{} {}

CAStreamBasicDescription::CAStreamBasicDescription(const AudioStreamBasicDescription& desc)
    : AudioStreamBasicDescription{} {
    std::memcpy(static_cast<AudioStreamBasicDescription*>(this), &desc, sizeof desc);
}

CAStreamBasicDescription::CAStreamBasicDescription(double sampleRate, UInt32 formatID, UInt32 bytesPerPacket,
                                                   UInt32 framesPerPacket, UInt32 bytesPerFrame,
                                                   UInt32 channelsPerFrame, UInt32 bitsPerChannel,
                                                   UInt32 formatFlags)
    : AudioStreamBasicDescription{sampleRate,       formatID,        formatFlags,
                                  bytesPerPacket,   framesPerPacket, bytesPerFrame,
                                  channelsPerFrame, bitsPerChannel,  0} {}

UInt32 CAStreamBasicDescription::SampleWordSize() const {
    if (mBytesPerFrame == 0 || mChannelsPerFrame == 0) return 0;
    return IsInterleaved() ? mBytesPerFrame / mChannelsPerFrame : mBytesPerFrame;
}

void CAStreamBasicDescription::NormalizeLinearPCMFormat(AudioStreamBasicDescription& desc) {
    NormalizeLinearPCMFormat(true, desc);
}

void CAStreamBasicDescription::NormalizeLinearPCMFormat(bool nativeEndian,
                                                        AudioStreamBasicDescription& desc) {
    if (desc.mFormatID != kAudioFormatLinearPCM || (desc.mFormatFlags & kAudioFormatFlagIsNonMixable)) return;
    UInt32 flags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    // Not native on a little-endian host means big-endian samples.
    if (nativeEndian != isLittleEndianHost()) flags |= kAudioFormatFlagIsBigEndian;
    desc.mFormatFlags = flags;
    desc.mBytesPerPacket = 4 * desc.mChannelsPerFrame;
    desc.mFramesPerPacket = 1;
    desc.mBytesPerFrame = 4 * desc.mChannelsPerFrame;
    desc.mBitsPerChannel = 32;
}

void CAStreamBasicDescription::ResetFormat() {
    const UInt32 reserved = mReserved;
    *static_cast<AudioStreamBasicDescription*>(this) = AudioStreamBasicDescription{};
    mReserved = reserved;
}

void CAStreamBasicDescription::FillOutFormat(const AudioStreamBasicDescription& from) {
    if (mSampleRate == 0) mSampleRate = from.mSampleRate;
    UInt32* mine[] = {&mFormatID,      &mFormatFlags,      &mBytesPerPacket, &mFramesPerPacket,
                      &mBytesPerFrame, &mChannelsPerFrame, &mBitsPerChannel};
    const UInt32 theirs[] = {from.mFormatID,        from.mFormatFlags,   from.mBytesPerPacket,
                             from.mFramesPerPacket, from.mBytesPerFrame, from.mChannelsPerFrame,
                             from.mBitsPerChannel};
    for (size_t i = 0; i < sizeof theirs / sizeof theirs[0]; ++i)
        if (*mine[i] == 0) *mine[i] = theirs[i];
}

bool CAStreamBasicDescription::IsEqual(const AudioStreamBasicDescription& other,
                                       bool interpretingWildcards) const {
    if (!interpretingWildcards) return std::memcmp(this, &other, kComparedBytes) == 0;
    const AudioStreamBasicDescription& me = *this;
    if (me.mSampleRate != 0 && other.mSampleRate != 0 && me.mSampleRate != other.mSampleRate) return false;
    if (!wildcardEqual(me.mFormatID, other.mFormatID)) return false;
    if (me.mFormatFlags != 0 && other.mFormatFlags != 0) {
        const bool pcm = me.mFormatID == kAudioFormatLinearPCM || other.mFormatID == kAudioFormatLinearPCM;
        const UInt32 a = pcm ? significantPCMFlags(me) : me.mFormatFlags;
        const UInt32 b = pcm ? significantPCMFlags(other) : other.mFormatFlags;
        if (a != b) return false;
    }
    return wildcardEqual(me.mBytesPerPacket, other.mBytesPerPacket) &&
           wildcardEqual(me.mFramesPerPacket, other.mFramesPerPacket) &&
           wildcardEqual(me.mBytesPerFrame, other.mBytesPerFrame) &&
           wildcardEqual(me.mChannelsPerFrame, other.mChannelsPerFrame) &&
           wildcardEqual(me.mBitsPerChannel, other.mBitsPerChannel);
}

bool CAStreamBasicDescription::SanityCheck(const AudioStreamBasicDescription& d) {
    if (!(d.mSampleRate >= 0.0 && d.mSampleRate < 3000000.0)) return false;
    if (d.mBytesPerPacket > 999999 || d.mFramesPerPacket > 999999 || d.mBytesPerFrame > 999999) return false;
    if (d.mChannelsPerFrame > 1024 || d.mBitsPerChannel > 1024) return false;
    if (d.mFormatID == 0) return false;
    if (d.mFormatID == kAudioFormatLinearPCM &&
        (d.mBytesPerPacket != d.mBytesPerFrame || d.mFramesPerPacket != 1))
        return false;
    return true;
}

bool operator==(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b) {
    return CAStreamBasicDescription(a).IsEqual(b, true);
}

bool operator<(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b) {
    if (a.mFormatID != 0 && b.mFormatID != 0 && a.mFormatID != b.mFormatID) {
        if (a.mFormatID == kAudioFormatLinearPCM) return true;
        if (b.mFormatID == kAudioFormatLinearPCM) return false;
        return a.mFormatID < b.mFormatID;
    }
    if (a.mFormatID == kAudioFormatLinearPCM && b.mFormatID == kAudioFormatLinearPCM && a.mFormatFlags != 0 &&
        b.mFormatFlags != 0) {
        const bool aMixable = !(a.mFormatFlags & kAudioFormatFlagIsNonMixable);
        const bool bMixable = !(b.mFormatFlags & kAudioFormatFlagIsNonMixable);
        if (aMixable != bMixable) return aMixable;
        const bool aFloat = a.mFormatFlags & kAudioFormatFlagIsFloat;
        const bool bFloat = b.mFormatFlags & kAudioFormatFlagIsFloat;
        if (aFloat != bFloat) return aFloat;
    }
    if (int o = orderOf(a.mBitsPerChannel, b.mBitsPerChannel)) return o < 0;
    if (int o = orderOf(a.mSampleRate, b.mSampleRate)) return o < 0;
    if (int o = orderOf(a.mChannelsPerFrame, b.mChannelsPerFrame)) return o < 0;
    return false;
}

} // namespace input
