#include "platform/iokit/IOKitLib.h"

#include "platform/iokit/IOKitProtocol.h"
#include "platform/iokit/IOKitTransport.h"

#include <cstring>
#include <limits>

namespace iokit {

namespace {

// The one master port this process hands out (any non-zero number serves).
constexpr mach_port_t kMasterPort = 0x0B03;
constexpr task_port_t kTaskSelf = 0x0103;
constexpr size_t kMaxClassNameBytes = 127;
constexpr size_t kMaxKeyBytes = 1024;

bool acceptsMasterPort(mach_port_t port) {
    return port == kIOMasterPortDefault || port == kMasterPort;
}

std::optional<cf::Value> call(std::string_view op, cf::Dictionary args = {}) {
    return IOKitCurrentTransport()->request(op, cf::Value(std::move(args)));
}

std::optional<int64_t> integerIn(const cf::Value& result, std::string_view key, int64_t min, int64_t max) {
    const cf::Value* v = result.find(key);
    auto n = v ? v->storedInteger() : std::nullopt;
    if (!n || *n < min || *n > max) return std::nullopt;
    return n;
}

IOReturn statusOf(const std::optional<cf::Value>& result) {
    if (!result) return kIOReturnIPCError;
    auto status = integerIn(*result, "status", std::numeric_limits<int32_t>::min(),
                            std::numeric_limits<int32_t>::max());
    return status ? static_cast<IOReturn>(*status) : kIOReturnIPCError;
}

io_object_t handleIn(const std::optional<cf::Value>& result, std::string_view key) {
    if (!result) return 0;
    return static_cast<io_object_t>(
        integerIn(*result, key, 0, std::numeric_limits<uint32_t>::max()).value_or(0));
}

// A status request that also answers an iterator handle.
IOReturn iteratorCall(std::string_view op, cf::Dictionary args, io_iterator_t* iterator) {
    auto result = call(op, std::move(args));
    IOReturn status = statusOf(result);
    if (status == kIOReturnSuccess) *iterator = handleIn(result, "iterator");
    return status;
}

// A status request answering a text copied, with its terminating zero, into a buffer of
// capacity bytes. A text that does not fit is a broken reply, never cut.
IOReturn textCall(std::string_view op, cf::Dictionary args, std::string_view key, char* buffer,
                  size_t capacity) {
    auto result = call(op, std::move(args));
    IOReturn status = statusOf(result);
    if (status != kIOReturnSuccess) return status;
    const cf::Value* v = result->find(key);
    const std::string* text = v ? v->asString() : nullptr;
    if (!text || text->size() >= capacity) return kIOReturnIPCError;
    std::memcpy(buffer, text->c_str(), text->size() + 1);
    return kIOReturnSuccess;
}

} // namespace

task_port_t mach_task_self() {
    return kTaskSelf;
}

kern_return_t IOMasterPort(mach_port_t, mach_port_t* masterPort) {
    if (!masterPort) return kIOReturnBadArgument;
    *masterPort = kMasterPort;
    return KERN_SUCCESS;
}

std::optional<cf::Value> IOServiceMatching(const char* name) {
    if (!name) return std::nullopt;
    return cf::Value(cf::Dictionary{{"IOProviderClass", name}});
}

kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, std::optional<cf::Value> matching,
                                           io_iterator_t* existing) {
    if (!existing) return kIOReturnBadArgument;
    *existing = 0;
    if (!acceptsMasterPort(masterPort) || !matching || !matching->isDictionary()) return kIOReturnBadArgument;
    const cf::Value* provider = matching->find("IOProviderClass");
    const std::string* className = provider ? provider->asString() : nullptr;
    if (!className || className->empty() || className->size() > kMaxClassNameBytes)
        return kIOReturnBadArgument;
    if (matching->count() != 1) return kIOReturnUnsupported; // IOProviderClass is the only key served
    return iteratorCall(op::matchingServices, {{"className", *className}}, existing);
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    if (iterator == 0) return 0;
    return handleIn(call(op::iteratorNext, {{"iterator", iterator}}), "handle");
}

kern_return_t IOObjectRelease(io_object_t object) {
    if (object == 0) return kIOReturnSuccess;
    return statusOf(call(op::objectRelease, {{"object", object}}));
}

io_registry_entry_t IORegistryGetRootEntry(mach_port_t masterPort) {
    if (!acceptsMasterPort(masterPort)) return 0;
    return handleIn(call(op::rootEntry), "handle");
}

io_registry_entry_t IORegistryEntryFromPath(mach_port_t masterPort, const char* path) {
    if (!acceptsMasterPort(masterPort) || !path || std::strlen(path) >= sizeof(io_string_t)) return 0;
    return handleIn(call(op::entryFromPath, {{"path", path}}), "handle");
}

kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry, const char* plane,
                                              io_iterator_t* iterator) {
    if (!iterator) return kIOReturnBadArgument;
    *iterator = 0;
    if (entry == 0 || !plane) return kIOReturnBadArgument;
    return iteratorCall(op::childIterator, {{"entry", entry}, {"plane", plane}}, iterator);
}

kern_return_t IORegistryEntryGetNameInPlane(io_registry_entry_t entry, const char* plane, io_name_t name) {
    if (entry == 0 || !plane || !name) return kIOReturnBadArgument;
    return textCall(op::name, {{"entry", entry}, {"plane", plane}}, "name", name, sizeof(io_name_t));
}

kern_return_t IORegistryEntryGetLocationInPlane(io_registry_entry_t entry, const char* plane,
                                                io_name_t location) {
    if (entry == 0 || !plane || !location) return kIOReturnBadArgument;
    return textCall(op::location, {{"entry", entry}, {"plane", plane}}, "location", location,
                    sizeof(io_name_t));
}

kern_return_t IORegistryEntryGetPath(io_registry_entry_t entry, const char* plane, io_string_t path) {
    if (entry == 0 || !plane || !path) return kIOReturnBadArgument;
    return textCall(op::path, {{"entry", entry}, {"plane", plane}}, "path", path, sizeof(io_string_t));
}

kern_return_t IOObjectGetClass(io_object_t object, io_name_t className) {
    if (object == 0 || !className) return kIOReturnBadArgument;
    return textCall(op::objectClass, {{"object", object}}, "className", className, sizeof(io_name_t));
}

std::optional<std::string> IOObjectCopySuperclassForClass(const std::string& className) {
    if (className.empty() || className.size() > kMaxClassNameBytes) return std::nullopt;
    auto result = call(op::superclass, {{"className", className}});
    const cf::Value* superclass = result ? result->find("superclass") : nullptr;
    const std::string* text = superclass ? superclass->asString() : nullptr;
    if (!text) return std::nullopt;
    return *text;
}

std::optional<cf::Value> IORegistryEntryCreateCFProperty(io_registry_entry_t entry, const std::string& key,
                                                         const void*, uint32_t) {
    if (entry == 0 || key.empty() || key.size() > kMaxKeyBytes) return std::nullopt;
    auto result = call(op::property, {{"entry", entry}, {"key", key}});
    if (!result) return std::nullopt;
    return result->objectForKey("value");
}

kern_return_t IOServiceOpen(io_service_t service, task_port_t, uint32_t type, io_connect_t* connect) {
    if (!connect) return kIOReturnBadArgument;
    *connect = 0;
    if (service == 0) return kIOReturnBadArgument;
    auto result = call(op::serviceOpen, {{"service", service}, {"type", type}});
    IOReturn status = statusOf(result);
    if (status == kIOReturnSuccess) *connect = handleIn(result, "connection");
    return status;
}

kern_return_t IOServiceClose(io_connect_t connect) {
    if (connect == 0) return kIOReturnBadArgument;
    return statusOf(call(op::serviceClose, {{"connection", connect}}));
}

kern_return_t IOConnectCallScalarMethod(io_connect_t connection, uint32_t selector, const uint64_t* input,
                                        uint32_t inputCnt, uint64_t* output, uint32_t* outputCnt) {
    uint32_t asked = outputCnt ? *outputCnt : 0;
    if (outputCnt) *outputCnt = 0;
    if (connection == 0 || inputCnt > kIOMaxScalarInputCount || asked > kIOMaxScalarOutputCount ||
        (inputCnt && !input) || (asked && !output)) {
        return kIOReturnBadArgument;
    }
    uint32_t filled = 0;
    IOReturn status =
        IOKitCurrentTransport()->callScalarMethod(connection, selector, input, inputCnt, asked, output, &filled);
    if (outputCnt) *outputCnt = filled;
    return status;
}

std::optional<uint64_t> IOKitLiveHandleCount() {
    auto result = call(op::liveHandles);
    if (!result) return std::nullopt;
    auto count = integerIn(*result, "count", 0, std::numeric_limits<int64_t>::max());
    if (!count) return std::nullopt;
    return static_cast<uint64_t>(*count);
}

} // namespace iokit
