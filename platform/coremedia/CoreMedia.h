// Core Media, as far as the H.264 encoder reads its output: times, block buffers of
// compressed bytes, H.264 format descriptions carrying the parameter sets, and sample buffers
// with their attachments.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/corevideo/CVPixelBuffer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace cm {

using OSStatus = int32_t;
using CMVideoCodecType = uint32_t;

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kCMBlockBufferBadOffsetParameterErr = -12703;
inline constexpr OSStatus kCMBlockBufferBadCustomBlockSourceErr = -12702;
inline constexpr OSStatus kCMFormatDescriptionBridgeError_InvalidParameter = -12712;
inline constexpr OSStatus kCMFormatDescriptionError_InvalidParameter = -12710;

inline constexpr CMVideoCodecType kCMVideoCodecType_H264 = 0x61766331; // 'avc1'

// ---- Times

using CMTimeFlags = uint32_t;
inline constexpr CMTimeFlags kCMTimeFlags_Valid = 1;
inline constexpr CMTimeFlags kCMTimeFlags_PositiveInfinity = 4;
inline constexpr CMTimeFlags kCMTimeFlags_NegativeInfinity = 8;
inline constexpr CMTimeFlags kCMTimeFlags_Indefinite = 16;

struct CMTime {
    int64_t value = 0;
    int32_t timescale = 0;
    CMTimeFlags flags = 0;
    int64_t epoch = 0;
    bool operator==(const CMTime&) const = default;
};

inline constexpr CMTime CMTimeMake(int64_t value, int32_t timescale) {
    return CMTime{value, timescale, kCMTimeFlags_Valid, 0};
}
inline constexpr CMTime kCMTimeInvalid{};
inline constexpr CMTime kCMTimeIndefinite{0, 0, kCMTimeFlags_Valid | kCMTimeFlags_Indefinite, 0};
inline constexpr CMTime kCMTimePositiveInfinity{0, 0, kCMTimeFlags_Valid | kCMTimeFlags_PositiveInfinity, 0};

// ---- Block buffers

struct CMBlockBuffer {
    std::vector<uint8_t> bytes;
};
using CMBlockBufferRef = std::shared_ptr<CMBlockBuffer>;

// The bytes from offset on (all contiguous here): lengthAtOffset, totalLength and
// dataPointer may each be null. kCMBlockBufferBadOffsetParameterErr past the end.
OSStatus CMBlockBufferGetDataPointer(const CMBlockBufferRef& buffer, size_t offset, size_t* lengthAtOffset,
                                     size_t* totalLength, char** dataPointer);
size_t CMBlockBufferGetDataLength(const CMBlockBufferRef& buffer);

// ---- Format descriptions

struct CMFormatDescription {
    CMVideoCodecType codecType = 0;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<std::vector<uint8_t>> parameterSets; // H.264: the SPS, then the PPS
    int nalUnitHeaderLength = 4;
};
using CMFormatDescriptionRef = std::shared_ptr<const CMFormatDescription>;
using CMVideoFormatDescriptionRef = CMFormatDescriptionRef;

// Parameter set index of an H.264 description: its bytes and size, the number of sets and
// the NAL unit length size (any out pointer may be null). An index past the sets, or a
// description of another codec, answers kCMFormatDescriptionBridgeError_InvalidParameter.
OSStatus CMVideoFormatDescriptionGetH264ParameterSetAtIndex(const CMFormatDescriptionRef& description,
                                                            size_t index, const uint8_t** parameterSetPointer,
                                                            size_t* parameterSetSize,
                                                            size_t* parameterSetCount,
                                                            int* nalUnitHeaderLength);

// ---- Sample buffers

// Keys of a sample's attachments dictionary.
inline constexpr char kCMSampleAttachmentKey_DependsOnOthers[] = "DependsOnOthers";
inline constexpr char kCMSampleAttachmentKey_NotSync[] = "NotSync";

struct CMSampleBuffer {
    CMBlockBufferRef dataBuffer;
    CMFormatDescriptionRef formatDescription;
    cv::CVImageBufferRef imageBuffer;
    CMTime presentationTimeStamp = kCMTimeInvalid;
    CMTime duration = kCMTimeInvalid;
    // One dictionary a sample; absent when nothing is attached.
    std::optional<cf::Array> attachments;
};
using CMSampleBufferRef = std::shared_ptr<CMSampleBuffer>;

CMBlockBufferRef CMSampleBufferGetDataBuffer(const CMSampleBufferRef& sample);
CMFormatDescriptionRef CMSampleBufferGetFormatDescription(const CMSampleBufferRef& sample);
cv::CVImageBufferRef CMSampleBufferGetImageBuffer(const CMSampleBufferRef& sample);
CMTime CMSampleBufferGetPresentationTimeStamp(const CMSampleBufferRef& sample);
// The sample's attachment dictionaries; null when it has none and none is to be made
// (createIfNecessary makes one empty dictionary).
cf::Array* CMSampleBufferGetSampleAttachmentsArray(const CMSampleBufferRef& sample, bool createIfNecessary);

} // namespace cm
