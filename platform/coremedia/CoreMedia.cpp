#include "platform/coremedia/CoreMedia.h"

namespace cm {

OSStatus CMBlockBufferGetDataPointer(const CMBlockBufferRef& buffer, size_t offset, size_t* lengthAtOffset,
                                     size_t* totalLength, char** dataPointer) {
    if (!buffer) return kCMBlockBufferBadCustomBlockSourceErr;
    if (offset >= buffer->bytes.size()) return kCMBlockBufferBadOffsetParameterErr;
    if (lengthAtOffset) *lengthAtOffset = buffer->bytes.size() - offset;
    if (totalLength) *totalLength = buffer->bytes.size();
    if (dataPointer) *dataPointer = reinterpret_cast<char*>(buffer->bytes.data() + offset);
    return noErr;
}

size_t CMBlockBufferGetDataLength(const CMBlockBufferRef& buffer) {
    return buffer ? buffer->bytes.size() : 0;
}

OSStatus CMVideoFormatDescriptionGetH264ParameterSetAtIndex(const CMFormatDescriptionRef& description,
                                                            size_t index, const uint8_t** pointer,
                                                            size_t* size, size_t* count,
                                                            int* nalUnitHeaderLength) {
    if (!description || description->codecType != kCMVideoCodecType_H264)
        return kCMFormatDescriptionBridgeError_InvalidParameter;
    if (count) *count = description->parameterSets.size();
    if (nalUnitHeaderLength) *nalUnitHeaderLength = description->nalUnitHeaderLength;
    if (!pointer && !size) return noErr;
    if (index >= description->parameterSets.size()) return kCMFormatDescriptionBridgeError_InvalidParameter;
    if (pointer) *pointer = description->parameterSets[index].data();
    if (size) *size = description->parameterSets[index].size();
    return noErr;
}

CMBlockBufferRef CMSampleBufferGetDataBuffer(const CMSampleBufferRef& sample) {
    return sample ? sample->dataBuffer : nullptr;
}

CMFormatDescriptionRef CMSampleBufferGetFormatDescription(const CMSampleBufferRef& sample) {
    return sample ? sample->formatDescription : nullptr;
}

cv::CVImageBufferRef CMSampleBufferGetImageBuffer(const CMSampleBufferRef& sample) {
    return sample ? sample->imageBuffer : nullptr;
}

CMTime CMSampleBufferGetPresentationTimeStamp(const CMSampleBufferRef& sample) {
    return sample ? sample->presentationTimeStamp : kCMTimeInvalid;
}

cf::Array* CMSampleBufferGetSampleAttachmentsArray(const CMSampleBufferRef& sample, bool createIfNecessary) {
    if (!sample) return nullptr;
    if (!sample->attachments && createIfNecessary)
        sample->attachments = cf::Array{cf::Value::emptyDictionary()};
    return sample->attachments ? &*sample->attachments : nullptr;
}

} // namespace cm
