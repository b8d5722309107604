#include "tools/refclient/JpegDecoder.h"

#include "platform/core/Format.h"

#include <turbojpeg.h>

namespace refclient {

JpegDecoder::JpegDecoder() : m_handle(tjInitDecompress()) {}

JpegDecoder::~JpegDecoder() {
    if (m_handle) tjDestroy(m_handle);
}

bool JpegDecoder::decode(ByteView jpeg, int expectedWidth, int expectedHeight, DecodedImage& out,
                         std::string& error) {
    if (!m_handle) {
        error = "no JPEG decompressor";
        return false;
    }
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(m_handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), &width, &height,
                            &subsampling, &colorspace) != 0) {
        error = platform::format("JPEG header unreadable: %@", tjGetErrorStr2(m_handle));
        return false;
    }
    if (width != expectedWidth || height != expectedHeight) {
        error = platform::format("JPEG of %dx%d for a %dx%d rectangle", width, height, expectedWidth, expectedHeight);
        return false;
    }
    out.width = width;
    out.height = height;
    out.bgrx.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 4, 0);
    if (tjDecompress2(m_handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), out.bgrx.data(), width, 0,
                      height, TJPF_BGRX, 0) != 0) {
        error = platform::format("JPEG undecodable: %@", tjGetErrorStr2(m_handle));
        return false;
    }
    return true;
}

} // namespace refclient
