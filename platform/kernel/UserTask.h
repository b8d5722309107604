// One user-space process as the kernel sees it: its handles to registry entries, iterators
// and user-client connections, and the calls it makes through them. platformd keeps one per
// connected process and answers its socket requests from here; unit tests call it directly.
//
// Handles are non-zero, below 2^31 and never reused while the task lives; each hand-out is a
// new handle with one reference. A 0, unknown, released, closed or wrong-kind handle answers
// kIOReturnBadArgument and reaches no object. Calls are thread-safe.
#pragma once

#include "platform/kernel/IORegistryEntry.h"
#include "platform/kernel/IOUserClient.h"

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kernel {

class Kernel;

using io_handle_t = uint32_t;

class UserTask {
  public:
    UserTask(Kernel& kernel, pid_t pid, std::string bundleIdentifier = {});
    ~UserTask(); // a task that goes away has died
    UserTask(const UserTask&) = delete;
    UserTask& operator=(const UserTask&) = delete;

    task_t taskPort() { return &m_task; }

    // Registry (0 when there is nothing to hand out).
    io_handle_t rootEntry();
    io_handle_t entryFromPath(std::string_view path);
    IOReturn getMatchingServices(std::string_view className, io_handle_t* iterator);
    IOReturn getChildIterator(io_handle_t entry, std::string_view plane, io_handle_t* iterator);
    io_handle_t iteratorNext(io_handle_t iterator);
    // Releasing 0 succeeds and does nothing.
    IOReturn objectRelease(io_handle_t handle);
    IOReturn getName(io_handle_t entry, std::string* name);
    IOReturn getLocation(io_handle_t entry, std::string* location);
    IOReturn getPath(io_handle_t entry, std::string_view plane, std::string* path);
    IOReturn getClass(io_handle_t handle, std::string* className);
    // The object a handle names (an entry, or the user client of a connection), or null.
    OSPtr<OSObject> objectForHandle(io_handle_t handle) const;
    // The registry entry an entry handle names; null for any other handle.
    OSPtr<IORegistryEntry> entryForHandle(io_handle_t handle) const { return entryFor(handle); }

    // User clients.
    IOReturn serviceOpen(io_handle_t service, uint32_t type, io_handle_t* connection);
    // clientClose; the handle dies whatever the answer.
    IOReturn serviceClose(io_handle_t connection);
    // At most kIOMaxScalarInputCount inputs and kIOMaxScalarOutputCount outputs. outputCount
    // is the capacity asked on entry and the number returned on exit (null means 0); the
    // outputs are zeroed first and exactly that many are returned.
    IOReturn callScalarMethod(io_handle_t connection, uint32_t selector, const uint64_t* input,
                              uint32_t inputCount, uint64_t* output, uint32_t* outputCount);

    // The process's connection dropped: every user client gets clientDied, every handle goes.
    void processDied();
    size_t liveHandleCount() const;

    // Kernel-internal: handles to objects of an unloading kext answer kIOReturnBadArgument
    // from then on; the kernel going away leaves the task without one.
    void dropHandlesOfKext(const std::string& identifier);
    void kernelGone();

  private:
    enum class Kind { Entry, Iterator, Connection };
    struct Handle {
        Kind kind;
        OSPtr<OSObject> object; // the entry, or the user client
        std::vector<OSPtr<IORegistryEntry>> items;
        size_t position = 0;
    };

    io_handle_t insert(Handle handle);
    OSPtr<IORegistryEntry> entryFor(io_handle_t handle) const;
    OSPtr<IOUserClient> connectionFor(io_handle_t handle) const;

    Kernel* m_kernel;
    task m_task;
    mutable std::mutex m_mutex;
    std::map<io_handle_t, Handle> m_handles;
    io_handle_t m_nextHandle = 1;
};

} // namespace kernel
