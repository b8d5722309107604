#include "capture/QNBVellEncoderProtocol.h"

namespace capture {

const QNBVellEncoderClass& QNBJPEGVellEncoderClass() {
    static const QNBVellEncoderClass jpeg{"QNBJPEGVellEncoder", {}};
    return jpeg;
}

} // namespace capture
