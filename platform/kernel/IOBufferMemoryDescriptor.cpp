#include "platform/kernel/IOBufferMemoryDescriptor.h"

#include "platform/core/Log.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace kernel {

OSDefineMetaClassAndStructors(IOBufferMemoryDescriptor, IOMemoryDescriptor);

namespace {

std::mutex gFailureMutex;
std::function<bool(IOByteCount)> gFailure;

bool allocationShouldFail(IOByteCount capacity) {
    std::lock_guard lock(gFailureMutex);
    return gFailure && gFailure(capacity);
}

// Buffers beyond this are refused outright; nothing here needs more than a few VRAMs.
constexpr IOByteCount kMaxBufferCapacity = IOByteCount(1) << 32;

} // namespace

namespace testing {

void failBufferAllocations(std::function<bool(IOByteCount)> predicate) {
    std::lock_guard lock(gFailureMutex);
    gFailure = std::move(predicate);
}

} // namespace testing

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::withOptions(IOOptionBits options, IOByteCount capacity,
                                                                IOByteCount) {
    if (capacity == 0 || capacity > kMaxBufferCapacity || allocationShouldFail(capacity)) return nullptr;
    auto* buffer = new IOBufferMemoryDescriptor;
    if (!buffer->initWithOptions(options, capacity)) {
        buffer->release();
        return nullptr;
    }
    return buffer;
}

bool IOBufferMemoryDescriptor::initWithOptions(IOOptionBits options, IOByteCount capacity) {
    const IOByteCount page = static_cast<IOByteCount>(sysconf(_SC_PAGESIZE));
    m_options = options;
    m_capacity = capacity;
    m_mappedLength = (capacity + page - 1) / page * page;
    m_fd = memfd_create("IOBufferMemoryDescriptor", MFD_CLOEXEC);
    if (m_fd < 0 || ftruncate(m_fd, static_cast<off_t>(m_mappedLength)) != 0) {
        platform::log("kernel: cannot create a buffer of %llu bytes: %s",
                      static_cast<unsigned long long>(capacity), strerror(errno));
        return false;
    }
    void* p = mmap(nullptr, m_mappedLength, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
    if (p == MAP_FAILED) {
        platform::log("kernel: cannot map a buffer of %llu bytes: %s",
                      static_cast<unsigned long long>(capacity), strerror(errno));
        return false;
    }
    m_bytes = p;
    return true;
}

void IOBufferMemoryDescriptor::free() {
    if (m_bytes) munmap(m_bytes, m_mappedLength);
    if (m_fd >= 0) close(m_fd);
    m_bytes = nullptr;
    m_fd = -1;
    super::free();
}

} // namespace kernel
