// Framing of the platformd socket: a little-endian u32 length, then that many bytes
// (a binary property list), with any descriptors riding as SCM_RIGHTS on the same send.
// Used by both ends, so a framing fault shows on either side alike.
#pragma once

#include "platform/ipc/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ipc {

// Pixels and images travel as descriptors, so a message past 16 MiB is a fault, never a workload.
constexpr uint32_t kMaxMessageBytes = 16u * 1024 * 1024;
// No request passes more than a handful of surfaces; the kernel's own cap is 253.
constexpr size_t kMaxMessageFds = 32;

struct Frame {
    std::vector<uint8_t> bytes;
    std::vector<UniqueFd> fds;
};

enum class ReadResult {
    Ok,
    Closed,     // orderly end between messages
    Truncated,  // the peer went away inside a message
    Oversized,  // a length over kMaxMessageBytes
    Empty,      // a zero length: no property list is that short
    TooManyFds, // descriptors beyond kMaxMessageFds (the rest were dropped by the kernel)
    Failed,     // a socket error; errno says which
};
const char* describe(ReadResult result);

// Blocks until one whole frame or an end; a shutdown(2) of the socket from another thread ends
// the wait with Closed. Descriptors received are close-on-exec and owned by the frame.
ReadResult readFrame(int fd, Frame& frame);

// Sends one frame whole (partial sends are continued) with MSG_NOSIGNAL. Answers false with
// errno set when the peer is gone or the frame is too large to be legal.
bool writeFrame(int fd, const std::vector<uint8_t>& bytes, const std::vector<int>& fds = {});

} // namespace ipc
