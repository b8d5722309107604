// A display stream as the process sees it: the pool of shared surfaces the window server fills,
// its frames handed to the stream's queue in order, use counts given back after the handler,
// and the asynchronous stop. The same for an in-process window server and for platformd's.
#pragma once

#include "platform/coregraphics/CGDisplayImage.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace cg {

class DisplayStreamClient final : public CGDisplayStream {
  public:
    // Asks the window server to start (true) or stop (false) the stream.
    using Control = std::function<CGError(bool start)>;

    DisplayStreamClient(uint64_t id, std::vector<iosurface::IOSurfaceRef> pool,
                        dispatch::dispatch_queue_t queue, CGDisplayStreamFrameAvailableHandler handler,
                        Control control);
    // Without a stop first, the window server stops the stream and no handler runs again.
    ~DisplayStreamClient() override;

    CGError start() override;
    // Answers at once, also inside a handler: frames still queued are dropped (their use counts
    // given back), then the handler hears Stopped once.
    CGError stop() override;

    // On the thread the window server's events arrive on: checks one event and forwards it to
    // the stream's queue. A frame naming a surface outside the pool, or with too many or
    // non-finite rectangles, is refused (logged).
    void deliver(int32_t status, uint64_t displayTime, int64_t surface, std::vector<CGRect> rects,
                 uint64_t dropCount);

    uint64_t id() const { return m_id; }

  private:
    struct Core {
        std::mutex mutex;
        bool stopped = false;
        bool blanked = false;
        std::vector<iosurface::IOSurfaceRef> pool;
        dispatch::dispatch_queue_t queue;
        CGDisplayStreamFrameAvailableHandler handler;
    };
    uint64_t m_id;
    std::shared_ptr<Core> m_core;
    Control m_control;
};

// Maps the pool's memfds (the descriptors stay the caller's); empty when any is refused.
std::vector<iosurface::IOSurfaceRef> mapStreamPool(const std::vector<int>& fds, size_t width, size_t height);

} // namespace cg
