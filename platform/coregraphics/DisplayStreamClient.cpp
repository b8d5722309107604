#include "platform/coregraphics/DisplayStreamClient.h"

#include "platform/core/Log.h"

#include <cmath>

namespace cg {

namespace {

constexpr size_t kMaxFrameRects = 4096;

bool finite(const CGRect& r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

} // namespace

DisplayStreamClient::DisplayStreamClient(uint64_t id, std::vector<iosurface::IOSurfaceRef> pool,
                                         dispatch::dispatch_queue_t queue,
                                         CGDisplayStreamFrameAvailableHandler handler, Control control)
    : m_id(id), m_core(std::make_shared<Core>()), m_control(std::move(control)) {
    m_core->pool = std::move(pool);
    m_core->queue = std::move(queue);
    m_core->handler = std::move(handler);
}

DisplayStreamClient::~DisplayStreamClient() {
    bool wasStopped;
    {
        std::lock_guard lock(m_core->mutex);
        wasStopped = m_core->stopped;
        m_core->stopped = true;
    }
    if (!wasStopped && m_control) m_control(false);
}

CGError DisplayStreamClient::start() {
    {
        std::lock_guard lock(m_core->mutex);
        if (m_core->stopped || m_core->blanked) return kCGErrorFailure;
    }
    return m_control ? m_control(true) : kCGErrorFailure;
}

CGError DisplayStreamClient::stop() {
    {
        std::lock_guard lock(m_core->mutex);
        if (m_core->stopped) return kCGErrorSuccess;
        m_core->stopped = true;
    }
    if (m_control) m_control(false);
    auto core = m_core;
    dispatch::dispatch_async(
        core->queue, [core] { core->handler(kCGDisplayStreamFrameStatusStopped, 0, nullptr, nullptr); });
    return kCGErrorSuccess;
}

void DisplayStreamClient::deliver(int32_t status, uint64_t displayTime, int64_t surface,
                                  std::vector<CGRect> rects, uint64_t dropCount) {
    auto core = m_core;
    if (status == kCGDisplayStreamFrameStatusFrameBlank) {
        {
            std::lock_guard lock(core->mutex);
            if (core->blanked || core->stopped) return;
            core->blanked = true;
        }
        dispatch::dispatch_async(core->queue, [core, displayTime] {
            {
                std::lock_guard lock(core->mutex);
                if (core->stopped) return;
            }
            core->handler(kCGDisplayStreamFrameStatusFrameBlank, displayTime, nullptr, nullptr);
        });
        return;
    }
    if (status != kCGDisplayStreamFrameStatusFrameComplete) {
        platform::log("CGDisplayStream: refused a frame of unknown status %d", status);
        return;
    }
    if (surface < 0 || size_t(surface) >= core->pool.size()) {
        platform::log("CGDisplayStream: refused a frame naming surface %lld of a pool of %zu",
                      (long long)surface, core->pool.size());
        return;
    }
    iosurface::IOSurfaceRef frame = core->pool[size_t(surface)];
    bool bad = rects.size() > kMaxFrameRects;
    for (size_t i = 0; i < rects.size() && !bad; ++i)
        bad = !finite(rects[i]);
    if (bad) {
        platform::log("CGDisplayStream: refused a frame of %zu rectangles, too many or not finite",
                      rects.size());
        iosurface::IOSurfaceDecrementUseCount(frame);
        return;
    }
    {
        std::lock_guard lock(core->mutex);
        if (core->stopped || core->blanked) {
            iosurface::IOSurfaceDecrementUseCount(frame);
            return;
        }
    }
    auto update = std::make_shared<CGDisplayStreamUpdate>();
    update->dirtyRects = rects;
    update->reducedDirtyRects = std::move(rects);
    update->dropCount = dropCount;
    dispatch::dispatch_async(core->queue, [core, frame, update, displayTime] {
        bool dropped;
        {
            std::lock_guard lock(core->mutex);
            dropped = core->stopped;
        }
        if (!dropped) core->handler(kCGDisplayStreamFrameStatusFrameComplete, displayTime, frame, update);
        iosurface::IOSurfaceDecrementUseCount(frame);
    });
}

std::vector<iosurface::IOSurfaceRef> mapStreamPool(const std::vector<int>& fds, size_t width, size_t height) {
    std::vector<iosurface::IOSurfaceRef> pool;
    for (int fd : fds) {
        auto surface = iosurface::IOSurface::createWithDescriptor(fd);
        if (!surface || iosurface::IOSurfaceGetWidth(surface) != width ||
            iosurface::IOSurfaceGetHeight(surface) != height) {
            platform::log("CGDisplayStream: refused a pool surface that is not %zu x %zu", width, height);
            return {};
        }
        pool.push_back(std::move(surface));
    }
    return pool;
}

} // namespace cg
