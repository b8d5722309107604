#include "platform/dispatch/IOChannel.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace dispatch {

namespace {

// Bytes taken from the descriptor per system call at most (less when the operation needs less).
constexpr size_t kReadChunk = 256 * 1024;

} // namespace

// What the operations share: the descriptor, a wake-up descriptor that STOP makes readable
// for good, and the count of operations not yet ended.
struct IOState : std::enable_shared_from_this<IOState> {
    int fd = -1;
    int wakeFd = -1;
    std::shared_ptr<Queue> cleanupQueue;
    std::function<void(int)> cleanup;
    std::shared_ptr<Queue> readQueue;
    std::shared_ptr<Queue> writeQueue;

    std::mutex mutex;
    bool closed = false;
    bool stopped = false;
    bool cleanedUp = false;
    size_t pending = 0;
    size_t writesQueued = 0;                // writes submitted and not yet ended
    std::mutex submitMutex;                 // one write submission at a time
    std::atomic<bool> writesToSocket{true}; // until the descriptor says it is no socket

    ~IOState() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    bool isStopped() {
        std::lock_guard lock(mutex);
        return stopped;
    }

    // Waits until the descriptor is ready for events or the channel is stopped; false when stopped.
    bool waitReady(short events) {
        for (;;) {
            if (isStopped()) return false;
            pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
            int n = ::poll(fds, 2, -1);
            if (n < 0 && errno == EINTR) continue;
            if (isStopped()) return false;
            if (n < 0) return true; // let the system call report the fault
            if (fds[0].revents != 0) return true;
        }
    }

    void deliver(const std::shared_ptr<Queue>& queue, const dispatch_io_handler_t& handler, bool done,
                 dispatch_data_t data, int error) {
        if (!handler) return;
        dispatch_async(queue, [handler, done, data = std::move(data), error] { handler(done, data, error); });
    }

    void performRead(size_t length, const std::shared_ptr<Queue>& queue,
                     const dispatch_io_handler_t& handler) {
        size_t remaining = length;
        while (remaining > 0) {
            if (!waitReady(POLLIN)) {
                deliver(queue, handler, true, dispatch_data_empty(), ECANCELED);
                return;
            }
            std::vector<uint8_t> buffer(std::min(remaining, kReadChunk));
            ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (n < 0) {
                deliver(queue, handler, true, dispatch_data_empty(), errno);
                return;
            }
            if (n == 0) {
                deliver(queue, handler, true, dispatch_data_empty(), 0);
                return;
            }
            buffer.resize(static_cast<size_t>(n));
            if (remaining != SIZE_MAX) remaining -= static_cast<size_t>(n);
            deliver(queue, handler, remaining == 0, dispatch_data_create_with_bytes(std::move(buffer)), 0);
        }
        if (length == 0) deliver(queue, handler, true, dispatch_data_empty(), 0);
    }

    // The regions of data from offset on, borrowed (they keep the data's storage alive).
    static dispatch_data_t slice(const dispatch_data_t& data, size_t offset) {
        std::vector<std::shared_ptr<const Data::Region>> left;
        for (const auto& r : data->regions()) {
            if (offset >= r->size) {
                offset -= r->size;
                continue;
            }
            auto part = std::make_shared<Data::Region>();
            part->bytes = r->bytes + offset;
            part->size = r->size - offset;
            part->destructor = [r] {};
            left.push_back(part);
            offset = 0;
        }
        return std::make_shared<const Data>(std::move(left));
    }

    // Writes what the descriptor takes now, gathered from the data's regions without copying
    // them; adds to written. Answers 0 when all is out, EAGAIN when the descriptor is full,
    // or the errno of a failure.
    int writeSome(const dispatch_data_t& data, size_t& written) {
        while (written < data->size()) {
            iovec iov[64];
            int count = 0;
            size_t skip = written;
            for (const auto& r : data->regions()) {
                if (count == 64) break;
                if (skip >= r->size) {
                    skip -= r->size;
                    continue;
                }
                iov[count++] = {const_cast<uint8_t*>(r->bytes + skip), r->size - skip};
                skip = 0;
            }
            ssize_t n;
            if (writesToSocket) {
                msghdr message{};
                message.msg_iov = iov;
                message.msg_iovlen = static_cast<size_t>(count);
                n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
                if (n < 0 && errno == ENOTSOCK) {
                    writesToSocket = false;
                    continue;
                }
            } else {
                n = ::writev(fd, iov, count);
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno == EWOULDBLOCK ? EAGAIN : errno;
            written += static_cast<size_t>(n);
        }
        return 0;
    }

    void performWrite(const dispatch_data_t& data, size_t written, const std::shared_ptr<Queue>& queue,
                      const dispatch_io_handler_t& handler) {
        for (;;) {
            if (isStopped()) {
                deliver(queue, handler, true, slice(data, written), ECANCELED);
                return;
            }
            int result = writeSome(data, written);
            if (result == 0) {
                deliver(queue, handler, true, nullptr, 0);
                return;
            }
            if (result != EAGAIN) {
                deliver(queue, handler, true, slice(data, written), result);
                return;
            }
            if (!waitReady(POLLOUT)) {
                deliver(queue, handler, true, slice(data, written), ECANCELED);
                return;
            }
        }
    }

    // A write goes out at once on the caller's thread when no other write is queued and the
    // descriptor takes it all; otherwise (the rest of) it waits its turn on the write queue.
    void submitWrite(const dispatch_data_t& data, const std::shared_ptr<Queue>& queue,
                     dispatch_io_handler_t handler) {
        std::lock_guard submitting(submitMutex); // keeps the units in call order
        bool idle;
        {
            std::lock_guard lock(mutex);
            idle = writesQueued == 0 && !stopped;
            ++writesQueued;
        }
        size_t written = 0;
        if (idle) {
            int result = writeSome(data, written);
            if (result != EAGAIN) {
                deliver(queue, handler, true, result == 0 ? nullptr : slice(data, written), result);
                writeFinished();
                return;
            }
        }
        dispatch_async(writeQueue,
                       [self = shared_from_this(), data, written, queue, handler = std::move(handler)] {
                           self->performWrite(data, written, queue, handler);
                           self->writeFinished();
                       });
    }

    void writeFinished() {
        {
            std::lock_guard lock(mutex);
            --writesQueued;
        }
        finished();
    }

    // Counts an operation in; false when the channel is closed already.
    bool begin() {
        std::lock_guard lock(mutex);
        if (closed) return false;
        ++pending;
        return true;
    }

    void finished() {
        std::unique_lock lock(mutex);
        --pending;
        cleanupIfDoneLocked(lock);
    }

    void close(dispatch_io_close_flags_t flags) {
        std::unique_lock lock(mutex);
        closed = true;
        if ((flags & DISPATCH_IO_STOP) && !stopped) {
            stopped = true;
            uint64_t one = 1;
            ssize_t ignored = ::write(wakeFd, &one, sizeof one);
            (void)ignored;
        }
        cleanupIfDoneLocked(lock);
    }

    void cleanupIfDoneLocked(std::unique_lock<std::mutex>& lock) {
        if (!closed || pending > 0 || cleanedUp) return;
        cleanedUp = true;
        auto handler = std::move(cleanup);
        auto queue = cleanupQueue;
        lock.unlock();
        if (handler) dispatch_async(queue, [handler] { handler(0); });
    }
};

IOChannel::~IOChannel() {
    m_state->close(0);
}

dispatch_io_t dispatch_io_create(dispatch_io_type_t type, dispatch_fd_t fd,
                                 const std::shared_ptr<Queue>& queue,
                                 std::function<void(int error)> cleanup) {
    if (type != DISPATCH_IO_STREAM || fd < 0) {
        platform::log("dispatch_io_create: only stream channels over a descriptor are supported");
        return nullptr;
    }
    auto state = std::make_shared<IOState>();
    state->fd = fd;
    state->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0) {
        platform::log("dispatch_io_create: eventfd failed (errno %d)", errno);
        return nullptr;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    state->cleanupQueue = queue ? queue : dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT);
    state->cleanup = std::move(cleanup);
    state->readQueue = dispatch_queue_create("com.apple.libdispatch-io.read", DISPATCH_QUEUE_SERIAL);
    state->writeQueue = dispatch_queue_create("com.apple.libdispatch-io.write", DISPATCH_QUEUE_SERIAL);
    return std::make_shared<IOChannel>(std::move(state));
}

void dispatch_io_read(const dispatch_io_t& channel, off_t, size_t length, const std::shared_ptr<Queue>& queue,
                      dispatch_io_handler_t handler) {
    if (!channel) return;
    auto state = channel->state();
    if (!state->begin()) {
        state->deliver(queue, handler, true, dispatch_data_empty(), ECANCELED);
        return;
    }
    dispatch_async(state->readQueue, [state, length, queue, handler = std::move(handler)] {
        state->performRead(length, queue, handler);
        state->finished();
    });
}

void dispatch_io_write(const dispatch_io_t& channel, off_t, const dispatch_data_t& data,
                       const std::shared_ptr<Queue>& queue, dispatch_io_handler_t handler) {
    if (!channel) return;
    auto state = channel->state();
    if (!state->begin()) {
        state->deliver(queue, handler, true, data, ECANCELED);
        return;
    }
    state->submitWrite(data ? data : dispatch_data_empty(), queue, std::move(handler));
}

void dispatch_io_close(const dispatch_io_t& channel, dispatch_io_close_flags_t flags) {
    if (channel) channel->state()->close(flags);
}

dispatch_fd_t dispatch_io_get_descriptor(const dispatch_io_t& channel) {
    if (!channel) return -1;
    std::lock_guard lock(channel->state()->mutex);
    return channel->state()->cleanedUp ? -1 : channel->state()->fd;
}

} // namespace dispatch
