#include "platform/kernel/UserTask.h"

#include "platform/core/Log.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/ServiceMatcher.h"

#include <algorithm>

namespace kernel {

namespace {

constexpr io_handle_t kLastHandle = 0x7FFFFFFF;

bool isServicePlane(std::string_view plane) {
    return plane == kIOServicePlane;
}

} // namespace

UserTask::UserTask(Kernel& kernel, pid_t pid, std::string bundleIdentifier)
    : m_kernel(&kernel), m_task{pid, std::move(bundleIdentifier)} {
    m_kernel->addTask(this);
}

UserTask::~UserTask() {
    processDied();
    std::lock_guard lock(m_mutex);
    if (m_kernel) m_kernel->removeTask(this);
}

void UserTask::kernelGone() {
    std::lock_guard lock(m_mutex);
    m_kernel = nullptr;
}

io_handle_t UserTask::insert(Handle handle) {
    std::lock_guard lock(m_mutex);
    if (m_nextHandle > kLastHandle) {
        platform::log("kernel: process %d has used up its handles", static_cast<int>(m_task.pid));
        return 0;
    }
    io_handle_t h = m_nextHandle++;
    m_handles.emplace(h, std::move(handle));
    return h;
}

OSPtr<IORegistryEntry> UserTask::entryFor(io_handle_t handle) const {
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end() || it->second.kind != Kind::Entry) return {};
    return makeRetained(static_cast<IORegistryEntry*>(it->second.object.get()));
}

OSPtr<IOUserClient> UserTask::connectionFor(io_handle_t handle) const {
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end() || it->second.kind != Kind::Connection) return {};
    return makeRetained(static_cast<IOUserClient*>(it->second.object.get()));
}

OSPtr<OSObject> UserTask::objectForHandle(io_handle_t handle) const {
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end() || it->second.kind == Kind::Iterator) return {};
    return it->second.object;
}

io_handle_t UserTask::rootEntry() {
    IORegistryEntry* root = IORegistryEntry::getRegistryRoot();
    return root ? insert({Kind::Entry, makeRetained<OSObject>(root), {}, 0}) : 0;
}

io_handle_t UserTask::entryFromPath(std::string_view path) {
    OSPtr<IORegistryEntry> entry = IORegistryEntry::fromPath(path);
    return entry ? insert({Kind::Entry, OSPtr<OSObject>(std::move(entry)), {}, 0}) : 0;
}

IOReturn UserTask::getMatchingServices(std::string_view className, io_handle_t* iterator) {
    if (!iterator) return kIOReturnBadArgument;
    *iterator = 0;
    Kernel* kernel;
    {
        std::lock_guard lock(m_mutex);
        kernel = m_kernel;
    }
    if (!kernel) return kIOReturnNotAttached;
    Handle handle{Kind::Iterator, {}, {}, 0};
    for (auto& service : kernel->matchingServices(className))
        handle.items.emplace_back(std::move(service));
    *iterator = insert(std::move(handle));
    return *iterator ? kIOReturnSuccess : kIOReturnNoResources;
}

IOReturn UserTask::getChildIterator(io_handle_t entry, std::string_view plane, io_handle_t* iterator) {
    if (!iterator) return kIOReturnBadArgument;
    *iterator = 0;
    if (!isServicePlane(plane)) return kIOReturnBadArgument;
    OSPtr<IORegistryEntry> parent = entryFor(entry);
    if (!parent) return kIOReturnBadArgument;
    Handle handle{Kind::Iterator, {}, parent->copyChildEntries(), 0};
    *iterator = insert(std::move(handle));
    return *iterator ? kIOReturnSuccess : kIOReturnNoResources;
}

io_handle_t UserTask::iteratorNext(io_handle_t iterator) {
    OSPtr<IORegistryEntry> next;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_handles.find(iterator);
        if (it == m_handles.end() || it->second.kind != Kind::Iterator) return 0;
        Handle& h = it->second;
        if (h.position >= h.items.size()) return 0;
        next = h.items[h.position++];
    }
    return insert({Kind::Entry, OSPtr<OSObject>(std::move(next)), {}, 0});
}

IOReturn UserTask::objectRelease(io_handle_t handle) {
    if (handle == 0) return kIOReturnSuccess;
    Handle released;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_handles.find(handle);
        if (it == m_handles.end()) return kIOReturnBadArgument;
        if (it->second.kind == Kind::Connection) return kIOReturnBadArgument; // closed by serviceClose
        released = std::move(it->second);
        m_handles.erase(it);
    }
    return kIOReturnSuccess; // the references go as `released` does, outside the lock
}

IOReturn UserTask::getName(io_handle_t entry, std::string* name) {
    OSPtr<IORegistryEntry> e = entryFor(entry);
    if (!e || !name) return kIOReturnBadArgument;
    *name = e->getName();
    return kIOReturnSuccess;
}

IOReturn UserTask::getLocation(io_handle_t entry, std::string* location) {
    OSPtr<IORegistryEntry> e = entryFor(entry);
    if (!e || !location) return kIOReturnBadArgument;
    auto l = e->getLocation();
    if (!l) return kIOReturnNotFound;
    *location = *l;
    return kIOReturnSuccess;
}

IOReturn UserTask::getPath(io_handle_t entry, std::string_view plane, std::string* path) {
    OSPtr<IORegistryEntry> e = entryFor(entry);
    if (!e || !path || !isServicePlane(plane)) return kIOReturnBadArgument;
    auto p = e->getPath();
    if (!p) return kIOReturnBadArgument;
    *path = *p;
    return kIOReturnSuccess;
}

IOReturn UserTask::getClass(io_handle_t handle, std::string* className) {
    OSPtr<OSObject> object = objectForHandle(handle);
    if (!object || !className) return kIOReturnBadArgument;
    *className = object->getClassName();
    return kIOReturnSuccess;
}

IOReturn UserTask::serviceOpen(io_handle_t serviceHandle, uint32_t type, io_handle_t* connection) {
    if (connection) *connection = 0;
    OSPtr<IORegistryEntry> entry = entryFor(serviceHandle);
    auto* service = OSDynamicCast(IOService, entry.get());
    if (!service || !connection) return kIOReturnBadArgument;
    IOUserClient* client = nullptr;
    IOReturn result;
    {
        IOGateLock gate(service);
        // Termination marks the service inactive and collects its clients under this gate;
        // a client attached after that would never hear of the termination.
        if (service->isInactive()) return kIOReturnNotAttached;
        result = service->newUserClient(&m_task, nullptr, type, &client);
    }
    if (result != kIOReturnSuccess) {
        if (client) client->release();
        return result;
    }
    if (!client) return kIOReturnError;
    auto clientRef = adoptRetained<OSObject>(client);
    io_handle_t handle = insert({Kind::Connection, clientRef, {}, 0});
    if (!handle) {
        std::lock_guard gate(entryGate(client));
        client->clientClose();
        return kIOReturnNoResources;
    }
    *connection = handle;
    return kIOReturnSuccess;
}

IOReturn UserTask::serviceClose(io_handle_t connection) {
    Handle closed;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_handles.find(connection);
        if (it == m_handles.end() || it->second.kind != Kind::Connection) return kIOReturnBadArgument;
        closed = std::move(it->second);
        m_handles.erase(it);
    }
    auto* client = static_cast<IOUserClient*>(closed.object.get());
    std::lock_guard gate(entryGate(client));
    return client->clientClose();
}

IOReturn UserTask::callScalarMethod(io_handle_t connection, uint32_t selector, const uint64_t* input,
                                    uint32_t inputCount, uint64_t* output, uint32_t* outputCount) {
    uint32_t asked = outputCount ? *outputCount : 0;
    if (outputCount) *outputCount = 0;
    if (inputCount > kIOMaxScalarInputCount || asked > kIOMaxScalarOutputCount) return kIOReturnBadArgument;
    if ((inputCount && !input) || (asked && !output)) return kIOReturnBadArgument;
    OSPtr<IOUserClient> client = connectionFor(connection);
    if (!client) return kIOReturnBadArgument;
    uint64_t outputs[kIOMaxScalarOutputCount] = {};
    IOExternalMethodArguments arguments;
    arguments.selector = selector;
    arguments.scalarInput = input;
    arguments.scalarInputCount = inputCount;
    arguments.scalarOutput = outputs;
    arguments.scalarOutputCount = asked;
    IOReturn result;
    {
        // The provider may change while the call runs (a close detaches the client), so the
        // gate is the one chosen at entry.
        OSPtr<IOService> gateOwner = makeRetained<IOService>(client->getProvider());
        if (!gateOwner) gateOwner = makeRetained<IOService>(client.get());
        IOGateLock gate(gateOwner.get());
        result = client->externalMethod(selector, &arguments, nullptr, nullptr, nullptr);
    }
    std::copy(outputs, outputs + asked, output);
    if (outputCount) *outputCount = asked;
    return result;
}

void UserTask::processDied() {
    std::map<io_handle_t, Handle> handles;
    {
        std::lock_guard lock(m_mutex);
        handles.swap(m_handles);
    }
    for (auto& [h, handle] : handles) {
        if (handle.kind != Kind::Connection) continue;
        auto* client = static_cast<IOUserClient*>(handle.object.get());
        std::lock_guard gate(entryGate(client));
        client->clientDied();
    }
}

size_t UserTask::liveHandleCount() const {
    std::lock_guard lock(m_mutex);
    return m_handles.size();
}

void UserTask::dropHandlesOfKext(const std::string& identifier) {
    std::vector<Handle> dropped;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_handles.begin(); it != m_handles.end();) {
            OSObject* object = it->second.object.get();
            if (object && object->getMetaClass()->getKextIdentifier() == identifier) {
                dropped.push_back(std::move(it->second));
                it = m_handles.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& handle : dropped) {
        if (handle.kind != Kind::Connection) continue;
        auto* client = static_cast<IOUserClient*>(handle.object.get());
        std::lock_guard gate(entryGate(client));
        client->clientDied();
    }
}

} // namespace kernel
