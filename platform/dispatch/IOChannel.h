// Dispatch I/O channels of the stream type over a descriptor. Reads never read ahead: an
// operation takes from the descriptor no more than it still needs, so the bytes after one
// reply belong to whoever reads next. Writes go out one whole unit per call, in call order.
// Each operation's handler runs on the queue that operation names; the blocking waits run on
// the channel's own queues, never there.
#pragma once

#include "platform/dispatch/Data.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <sys/types.h>

namespace dispatch {

class Queue;
struct IOState;

using dispatch_fd_t = int;
using dispatch_io_type_t = unsigned long;
inline constexpr dispatch_io_type_t DISPATCH_IO_STREAM = 0;
using dispatch_io_close_flags_t = unsigned long;
inline constexpr dispatch_io_close_flags_t DISPATCH_IO_STOP = 0x1;

// done, data delivered (reads) or not written (writes), error (errno, 0 for none).
using dispatch_io_handler_t = std::function<void(bool done, dispatch_data_t data, int error)>;

class IOChannel {
  public:
    explicit IOChannel(std::shared_ptr<IOState> state) : m_state(std::move(state)) {}
    // Releasing the last reference closes the channel, letting pending operations finish.
    ~IOChannel();
    IOChannel(const IOChannel&) = delete;
    IOChannel& operator=(const IOChannel&) = delete;

    const std::shared_ptr<IOState>& state() const { return m_state; }

  private:
    std::shared_ptr<IOState> m_state;
};

using dispatch_io_t = std::shared_ptr<IOChannel>;

// A stream channel over fd (made non-blocking). cleanup runs once on queue, with 0 or an errno,
// when the channel is closed (or released) and its last operation has ended; the caller then
// closes the descriptor. Null for a type other than DISPATCH_IO_STREAM or a negative fd.
dispatch_io_t dispatch_io_create(dispatch_io_type_t type, dispatch_fd_t fd,
                                 const std::shared_ptr<Queue>& queue, std::function<void(int error)> cleanup);
// Reads length bytes (SIZE_MAX: to the end of the stream). Partial deliveries come with done
// false; the last with done true. End of stream: done, empty data, error 0. The offset is
// ignored, as for every stream channel.
void dispatch_io_read(const dispatch_io_t& channel, off_t offset, size_t length,
                      const std::shared_ptr<Queue>& queue, dispatch_io_handler_t handler);
// Writes the data as one unit after every earlier write. Done with null data when all was
// written; on failure done with the data not written and the errno.
void dispatch_io_write(const dispatch_io_t& channel, off_t offset, const dispatch_data_t& data,
                       const std::shared_ptr<Queue>& queue, dispatch_io_handler_t handler);
// Without flags, pending operations finish first; with DISPATCH_IO_STOP they end at once with
// ECANCELED. Later operations are refused with ECANCELED. Closing again may still stop.
void dispatch_io_close(const dispatch_io_t& channel, dispatch_io_close_flags_t flags);
dispatch_fd_t dispatch_io_get_descriptor(const dispatch_io_t& channel);

} // namespace dispatch
