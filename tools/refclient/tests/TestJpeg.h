// Test helper: JPEGs made the way the server makes them.
#pragma once

#include "tools/refclient/Bytes.h"

#include <turbojpeg.h>

namespace refclient::test {

// A width x height BGRX block of one colour, JPEG-compressed (4:2:0, quality 99, fast DCT).
inline Bytes solidJpeg(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    Bytes bgrx(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    for (size_t i = 0; i < bgrx.size(); i += 4) {
        bgrx[i] = b;
        bgrx[i + 1] = g;
        bgrx[i + 2] = r;
        bgrx[i + 3] = 0xFF;
    }
    tjhandle h = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(h, bgrx.data(), width, 0, height, TJPF_BGRX, &out, &size, TJSAMP_420, 99, TJFLAG_FASTDCT);
    Bytes jpeg(out, out + size);
    tjFree(out);
    tjDestroy(h);
    return jpeg;
}

} // namespace refclient::test
