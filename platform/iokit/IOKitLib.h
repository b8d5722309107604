// The user-side I/O Kit: the registry, service matching and user-client calls, reached
// through platformd's kernel (or an in-process kernel in unit tests, see IOKitTransport.h).
//
// Handles are per process, non-zero and never reused; each hand-out is a new handle that
// the caller releases. A 0 (save for IOObjectRelease), unknown, released or wrong-kind
// handle answers kIOReturnBadArgument. With platformd unreachable every call answers
// kIOReturnIPCError (or 0, or nothing) and fills no output. Calls are synchronous and may be
// made from any thread at once.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/kernel/IOReturn.h"

#include <cstdint>
#include <optional>
#include <string>

namespace iokit {

using kernel::IOReturn;
using kernel::kern_return_t;
using kernel::KERN_SUCCESS;
using kernel::kIOReturnBadArgument;
using kernel::kIOReturnError;
using kernel::kIOReturnExclusiveAccess;
using kernel::kIOReturnIPCError;
using kernel::kIOReturnNoMemory;
using kernel::kIOReturnNoResources;
using kernel::kIOReturnNotAttached;
using kernel::kIOReturnNotFound;
using kernel::kIOReturnNotOpen;
using kernel::kIOReturnSuccess;
using kernel::kIOReturnUnsupported;

using mach_port_t = uint32_t;
using task_port_t = uint32_t;
using io_object_t = uint32_t;
using io_iterator_t = io_object_t;
using io_registry_entry_t = io_object_t;
using io_service_t = io_object_t;
using io_connect_t = io_object_t;
using io_name_t = char[128];
using io_string_t = char[512];

inline constexpr mach_port_t kIOMasterPortDefault = 0;
inline constexpr char kIOServicePlane[] = "IOService";
inline constexpr uint32_t kIOMaxScalarInputCount = kernel::kIOMaxScalarInputCount;
inline constexpr uint32_t kIOMaxScalarOutputCount = kernel::kIOMaxScalarOutputCount;

// This process's task port: non-zero; the kernel knows the caller by its connection.
task_port_t mach_task_self();

// Success and a non-zero port; every call accepts it or 0.
kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* masterPort);

// {"IOProviderClass": name}, the one matching key supported; nothing for a null name.
std::optional<cf::Value> IOServiceMatching(const char* name);
// Registered services whose class chain holds the matching class, in depth-first registry
// order; no match is success with an empty iterator. The dictionary is consumed.
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, std::optional<cf::Value> matching,
                                           io_iterator_t* existing);
// A new handle, 0 at the end.
io_object_t IOIteratorNext(io_iterator_t iterator);
// 0 is accepted: success, no effect.
kern_return_t IOObjectRelease(io_object_t object);

io_registry_entry_t IORegistryGetRootEntry(mach_port_t masterPort);
// "IOService:/..." (see the kernel's paths); 0 when nothing is there.
io_registry_entry_t IORegistryEntryFromPath(mach_port_t masterPort, const char* path);
// Unregistered children too, in attach order.
kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry, const char* plane,
                                              io_iterator_t* iterator);
kern_return_t IORegistryEntryGetNameInPlane(io_registry_entry_t entry, const char* plane, io_name_t name);
// kIOReturnNotFound for an entry without a location.
kern_return_t IORegistryEntryGetLocationInPlane(io_registry_entry_t entry, const char* plane,
                                                io_name_t location);
kern_return_t IORegistryEntryGetPath(io_registry_entry_t entry, const char* plane, io_string_t path);

kern_return_t IOObjectGetClass(io_object_t object, io_name_t className);
// The superclass's name; nothing at OSObject or for an unknown class.
std::optional<std::string> IOObjectCopySuperclassForClass(const std::string& className);
// A property-list copy of the property, or nothing.
std::optional<cf::Value> IORegistryEntryCreateCFProperty(io_registry_entry_t entry, const std::string& key,
                                                         const void* allocator = nullptr,
                                                         uint32_t options = 0);

// The owning task is ignored: the caller is this process. connect is 0 on failure.
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect);
// The connection goes whatever the answer; closing it again answers kIOReturnBadArgument.
kern_return_t IOServiceClose(io_connect_t connect);
// Up to 1024 inputs and 16 outputs (more answer kIOReturnBadArgument at once). outputCnt is
// the capacity on entry and the number filled on return; a null outputCnt means none.
kern_return_t IOConnectCallScalarMethod(io_connect_t connection, uint32_t selector, const uint64_t* input,
                                        uint32_t inputCnt, uint64_t* output, uint32_t* outputCnt);

// The number of handles this process holds in the kernel, so tests catch leaks; nothing when
// the kernel cannot be reached.
std::optional<uint64_t> IOKitLiveHandleCount();

} // namespace iokit
