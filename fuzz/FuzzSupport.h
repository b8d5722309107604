// What the fuzz targets share: quiet logging for one input, a check that stops the run with a
// message (a finding, like a sanitizer report), descriptor-leak detection, socket pairs that
// carry descriptors, and a temporary stand-in root.
#pragma once

#include "platform/core/Log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace fuzz {

// Refusals are logged on every hostile input; the log goes to memory for one input only.
struct QuietLog {
    platform::LogCapture capture{true};
};

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s %s\n", what, detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                                                        \
    do {                                                                                                     \
        if (!(condition)) ::fuzz::fail(#condition, (detail));                                                \
    } while (0)

// The lowest free descriptor number: a descriptor leaked by one input raises it.
inline int lowestFreeDescriptor() {
    const int fd = ::dup(2);
    ::close(fd);
    return fd;
}

class DescriptorLeakCheck {
  public:
    DescriptorLeakCheck() : m_before(lowestFreeDescriptor()) {}
    ~DescriptorLeakCheck() {
        const int after = lowestFreeDescriptor();
        if (after != m_before)
            fail("a descriptor leaked", std::to_string(m_before) + " -> " + std::to_string(after));
    }

  private:
    int m_before;
};

// Sends bytes with descriptors riding as SCM_RIGHTS; answers false when the socket refused.
inline bool sendWithDescriptors(int fd, const uint8_t* bytes, size_t length, const std::vector<int>& fds) {
    std::vector<char> control(CMSG_SPACE(sizeof(int) * (fds.empty() ? 1 : fds.size())));
    iovec iov{const_cast<uint8_t*>(bytes), length};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (!fds.empty()) {
        msg.msg_control = control.data();
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    size_t sent = 0;
    while (sent < length || (length == 0 && sent == 0)) {
        const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) return false;
        sent += static_cast<size_t>(n);
        if (length == 0) break;
        iov.iov_base = const_cast<uint8_t*>(bytes) + sent;
        iov.iov_len = length - sent;
        msg.msg_control = nullptr;
        msg.msg_controllen = 0;
    }
    return true;
}

// Reads an input front to back in the simple layouts the seed writer also writes; past the
// end every read gives zeros or nothing.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    uint8_t u8() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t u16() {
        const uint16_t low = u8();
        return static_cast<uint16_t>(low | u8() << 8);
    }
    std::vector<uint8_t> bytes(size_t n) {
        n = std::min(n, remaining());
        std::vector<uint8_t> out(m_data + m_at, m_data + m_at + n);
        m_at += n;
        return out;
    }
    std::vector<uint8_t> rest() { return bytes(remaining()); }
    size_t remaining() const { return m_size - m_at; }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// A temporary folder made once per process, standing in for $HOME and $PLATFORM_ROOT. In
// memory where the machine has a memory file system: targets whose inputs write files (the
// preferences) would otherwise spend most of their time in the disk's write-back.
inline const std::string& temporaryRoot() {
    static const std::string root = [] {
        std::string pattern =
            ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/tessel-fuzz-XXXXXX" : "/tmp/tessel-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) fail("mkdtemp");
        // Removed at exit; the path is kept apart from this string, which may be gone by then.
        static const std::string* removeAtExit = new std::string(pattern);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(*removeAtExit, ignored);
        });
        ::setenv("HOME", (pattern + "/home").c_str(), 1);
        ::setenv("PLATFORM_ROOT", (pattern + "/root").c_str(), 1);
        return pattern;
    }();
    return root;
}

} // namespace fuzz
