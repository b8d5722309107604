#include "platform/ipc/FrameIO.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>

namespace ipc {

namespace {

// A claimed length is only a promise: grow the buffer as bytes really arrive, so a peer that
// announces 16 MiB and sends nothing holds no memory for it.
constexpr size_t kReadChunk = 256 * 1024;

void takeDescriptors(msghdr& msg, std::vector<UniqueFd>& fds) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            fds.emplace_back(received);
        }
    }
}

// One recvmsg into buf; collects descriptors. Answers bytes read, 0 at end, -1 on error,
// -2 when descriptors were cut off.
ssize_t receiveSome(int fd, uint8_t* buf, size_t length, std::vector<UniqueFd>& fds) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxMessageFds)];
    iovec iov{buf, length};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    takeDescriptors(msg, fds);
    if (msg.msg_flags & MSG_CTRUNC) return -2;
    return n;
}

// Fills buf whole. Answers Ok, Closed (nothing read at all), Truncated, TooManyFds or Failed.
ReadResult receiveExactly(int fd, uint8_t* buf, size_t length, std::vector<UniqueFd>& fds, bool atStart) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = receiveSome(fd, buf + done, length - done, fds);
        if (n == -2) return ReadResult::TooManyFds;
        if (n < 0)
            return errno == ECONNRESET ? (atStart && done == 0 ? ReadResult::Closed : ReadResult::Truncated)
                                       : ReadResult::Failed;
        if (n == 0) return atStart && done == 0 ? ReadResult::Closed : ReadResult::Truncated;
        done += static_cast<size_t>(n);
        if (fds.size() > kMaxMessageFds) return ReadResult::TooManyFds;
    }
    return ReadResult::Ok;
}

} // namespace

const char* describe(ReadResult result) {
    switch (result) {
    case ReadResult::Ok:
        return "ok";
    case ReadResult::Closed:
        return "closed";
    case ReadResult::Truncated:
        return "connection ended inside a message";
    case ReadResult::Oversized:
        return "message over 16 MiB";
    case ReadResult::Empty:
        return "empty message";
    case ReadResult::TooManyFds:
        return "too many descriptors";
    case ReadResult::Failed:
        return "socket error";
    }
    return "unknown";
}

ReadResult readFrame(int fd, Frame& frame) {
    frame.bytes.clear();
    frame.fds.clear();
    uint8_t header[4];
    ReadResult r = receiveExactly(fd, header, sizeof header, frame.fds, true);
    if (r != ReadResult::Ok) return r;
    uint32_t length = uint32_t(header[0]) | uint32_t(header[1]) << 8 | uint32_t(header[2]) << 16 |
                      uint32_t(header[3]) << 24;
    if (length == 0) return ReadResult::Empty;
    if (length > kMaxMessageBytes) return ReadResult::Oversized;
    size_t done = 0;
    while (done < length) {
        size_t step = std::min<size_t>(kReadChunk, length - done);
        frame.bytes.resize(done + step);
        r = receiveExactly(fd, frame.bytes.data() + done, step, frame.fds, false);
        if (r != ReadResult::Ok) return r;
        done += step;
    }
    return ReadResult::Ok;
}

bool writeFrame(int fd, const std::vector<uint8_t>& bytes, const std::vector<int>& fds) {
    if (bytes.size() > kMaxMessageBytes || fds.size() > kMaxMessageFds) {
        errno = EMSGSIZE;
        return false;
    }
    uint32_t length = static_cast<uint32_t>(bytes.size());
    uint8_t header[4] = {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxMessageFds)];
    iovec iov[2] = {{header, sizeof header}, {const_cast<uint8_t*>(bytes.data()), bytes.size()}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = bytes.empty() ? 1 : 2;
    if (!fds.empty()) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    size_t total = sizeof header + bytes.size();
    size_t sent = 0;
    while (sent < total) {
        ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        sent += static_cast<size_t>(n);
        // The descriptors went with the first bytes; the rest is plain data.
        msg.msg_control = nullptr;
        msg.msg_controllen = 0;
        size_t skip = static_cast<size_t>(n);
        while (msg.msg_iovlen > 0 && skip >= msg.msg_iov[0].iov_len) {
            skip -= msg.msg_iov[0].iov_len;
            ++msg.msg_iov;
            --msg.msg_iovlen;
        }
        if (msg.msg_iovlen > 0) {
            msg.msg_iov[0].iov_base = static_cast<uint8_t*>(msg.msg_iov[0].iov_base) + skip;
            msg.msg_iov[0].iov_len -= skip;
        }
    }
    return true;
}

} // namespace ipc
