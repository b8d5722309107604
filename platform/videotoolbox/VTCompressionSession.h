// VideoToolbox's compression session, H.264 only, on libx264. A session has a thread of its
// own: EncodeFrame queues the retained pixel buffer and answers at once; the thread converts
// the BGRA pixels to I420 (4:4:4 where a side is odd), encodes them and calls back with a sample as
// VideoToolbox delivers one (NAL units with 4-byte big-endian lengths, the SPS and PPS only in the format
// description, DependsOnOthers false on IDR frames, the caller's presentation time). Every
// frame queued calls back exactly once: encoded, failed or dropped.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coremedia/CoreMedia.h"
#include "platform/corevideo/CVPixelBuffer.h"

#include <cstdint>
#include <memory>

namespace vt {

using OSStatus = int32_t;
using VTEncodeInfoFlags = uint32_t;

inline constexpr VTEncodeInfoFlags kVTEncodeInfo_Asynchronous = 1;
inline constexpr VTEncodeInfoFlags kVTEncodeInfo_FrameDropped = 2;

inline constexpr OSStatus kVTPropertyNotSupportedErr = -12900;
inline constexpr OSStatus kVTParameterErr = -12902;
inline constexpr OSStatus kVTInvalidSessionErr = -12903;
inline constexpr OSStatus kVTCouldNotFindVideoEncoderErr = -12908;
inline constexpr OSStatus kVTVideoEncoderMalfunctionErr = -12911;

inline constexpr char kVTCompressionPropertyKey_RealTime[] = "RealTime";
inline constexpr char kVTCompressionPropertyKey_AllowFrameReordering[] = "AllowFrameReordering";
inline constexpr char kVTCompressionPropertyKey_ExpectedFrameRate[] = "ExpectedFrameRate";

// The largest side a session encodes.
inline constexpr int32_t kVTMaxSide = 16384;

class VTCompressionSession;
using VTCompressionSessionRef = std::shared_ptr<VTCompressionSession>;

// Called on the session's thread. sampleBuffer is null for a failed or dropped frame.
using VTCompressionOutputCallback = void (*)(void* outputCallbackRefCon, void* sourceFrameRefCon,
                                             OSStatus status, VTEncodeInfoFlags infoFlags,
                                             cm::CMSampleBufferRef sampleBuffer);

// Sides of 1 to 16384 (a picture with an odd side is encoded 4:4:4, which H.264 crops to any
// size; 4:2:0 crops only in steps of two), codec
// 'avc1', source attributes asking for 'BGRA' (or none), a callback. kVTParameterErr or
// kVTCouldNotFindVideoEncoderErr otherwise, with *out null.
OSStatus VTCompressionSessionCreate(std::nullptr_t allocator, int32_t width, int32_t height,
                                    cm::CMVideoCodecType codecType,
                                    const cf::Dictionary* encoderSpecification,
                                    const cf::Dictionary* sourceImageBufferAttributes,
                                    std::nullptr_t compressedDataAllocator,
                                    VTCompressionOutputCallback outputCallback, void* outputCallbackRefCon,
                                    VTCompressionSessionRef* out);
// RealTime and AllowFrameReordering (booleans), ExpectedFrameRate (a positive number); they
// take effect when the encoder opens (PrepareToEncodeFrames or the first frame).
OSStatus VTSessionSetProperty(const VTCompressionSessionRef& session, const char* key,
                              const cf::Value& value);
OSStatus VTCompressionSessionPrepareToEncodeFrames(const VTCompressionSessionRef& session);
// A buffer of the session's size and format is queued (retained) and 0 answered; another
// buffer gets kVTParameterErr and no callback.
OSStatus VTCompressionSessionEncodeFrame(const VTCompressionSessionRef& session,
                                         const cv::CVImageBufferRef& imageBuffer,
                                         cm::CMTime presentationTimeStamp, cm::CMTime duration,
                                         const cf::Dictionary* frameProperties, void* sourceFrameRefCon,
                                         VTEncodeInfoFlags* infoFlagsOut);
// Returns once every frame queued before the call has called back (at once on the
// session's own thread, which cannot wait for itself).
OSStatus VTCompressionSessionCompleteFrames(const VTCompressionSessionRef& session, cm::CMTime completeUntil);
// Frames still queued call back as dropped; then the thread ends and the encoder closes.
void VTCompressionSessionInvalidate(const VTCompressionSessionRef& session);

namespace testing {
// The next `frames` frames call back without encoding: with `status` when it is not 0, else
// as dropped (kVTEncodeInfo_FrameDropped).
void VTCompressionSessionFailNextFrames(const VTCompressionSessionRef& session, int frames, OSStatus status);
} // namespace testing

} // namespace vt
