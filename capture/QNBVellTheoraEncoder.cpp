#include "capture/QNBVellTheoraEncoder.h"

#include <algorithm>

namespace capture {

namespace {
constexpr double kFrameInterval = 1.0 / 30;
} // namespace

std::shared_ptr<QNBVellTheoraEncoder> QNBVellTheoraEncoder::create() {
    return std::make_shared<QNBVellTheoraEncoder>();
}

void QNBVellTheoraEncoder::waitForNextFrame() {
    platform::Duration wait{0};
    {
        std::lock_guard lock(m_frameLock);
        if (m_lastFrameSent != 0 && m_lastFrameTime) {
            const platform::Duration since = platform::now() - *m_lastFrameTime;
            wait = std::clamp(platform::seconds(kFrameInterval) - since, platform::Duration(0),
                              platform::seconds(kFrameInterval));
        }
    }
    if (wait > platform::Duration(0)) platform::sleepFor(wait);
    std::lock_guard lock(m_frameLock);
    m_lastFrameSent = platform::wallNow();
    m_lastFrameTime = platform::now();
}

double QNBVellTheoraEncoder::lastFrameSent() const {
    std::lock_guard lock(m_frameLock);
    return m_lastFrameSent;
}

void QNBVellTheoraEncoder::setLastFrameSent(double seconds) {
    std::lock_guard lock(m_frameLock);
    m_lastFrameSent = seconds;
    // A time set from outside is placed on the process clock as far back as the wall says, but
    // never ahead of now.
    const double ago = platform::wallNow() - seconds;
    m_lastFrameTime = platform::now() - platform::seconds(ago > 0 ? ago : 0);
}

const QNBVellEncoderClass& QNBVellTheoraEncoderClass() {
    static const QNBVellEncoderClass theora{"QNBVellTheoraEncoder",
                                            [] { return QNBVellTheoraEncoder::create(); }};
    return theora;
}

} // namespace capture
