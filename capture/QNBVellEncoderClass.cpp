#include "capture/QNBJPEGVellEncoder.h"

namespace capture {

const QNBVellEncoderClass& QNBJPEGVellEncoderClass() {
    static const QNBVellEncoderClass jpeg{"QNBJPEGVellEncoder", [] { return QNBJPEGVellEncoder::create(); }};
    return jpeg;
}

} // namespace capture
