// The one wrapper around TurboJPEG's decompressor.
#pragma once

#include "tools/refclient/Bytes.h"

#include <string>

namespace refclient {

struct DecodedImage {
    int width = 0;
    int height = 0;
    Bytes bgrx;
};

class JpegDecoder {
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Decodes to BGRX with no flags; false with a reason when the bytes are no JPEG
    // of the expected size.
    bool decode(ByteView jpeg, int expectedWidth, int expectedHeight, DecodedImage& out, std::string& error);

private:
    void* m_handle;
};

} // namespace refclient
