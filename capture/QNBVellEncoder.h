// The rectangle encoder for fast local networks. The JPEG encoder derives from it and
// replaces every operation the session uses; the rectangle encoder's own frame building is
// not part of the running system.
#pragma once

#include "capture/QNBBaseVellEncoder.h"

namespace capture {

class QNBVellEncoder : public QNBBaseVellEncoder {
  public:
    QNBVellEncoder() = default;
};

} // namespace capture
