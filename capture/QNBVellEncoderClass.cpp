#include "capture/QNBJPEGVellEncoder.h"
#include "capture/QNBVellEncoder.h"

namespace capture {

const QNBVellEncoderClass& QNBJPEGVellEncoderClass() {
    static const QNBVellEncoderClass jpeg{"QNBJPEGVellEncoder", [] { return QNBJPEGVellEncoder::create(); }};
    return jpeg;
}

const QNBVellEncoderClass& QNBLANVellEncoderClass() {
    static const QNBVellEncoderClass lan{"QNBVellEncoder", [] { return QNBVellEncoder::create(); }};
    return lan;
}

} // namespace capture
