#include "platform/iokit/IOKitRequestServer.h"

#include "platform/core/Log.h"
#include "platform/iokit/IOKitProtocol.h"
#include "platform/kernel/IORegistryEntry.h"
#include "platform/kernel/OSMetaClass.h"
#include "platform/kernel/OSValueConversion.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <sys/socket.h>

namespace iokit {

using namespace kernel;

namespace {

// Bounds of what a well-formed request carries.
constexpr size_t kMaxPathText = 4096;
constexpr size_t kMaxNameText = 127;
constexpr size_t kMaxPlaneText = 127;
constexpr size_t kMaxKeyText = 1024;

// Kind- and range-checked readers over one request's arguments; the first failure is kept.
class Arguments {
  public:
    Arguments(const cf::Value& args, std::string& why) : m_args(args), m_why(why) {}

    std::optional<uint32_t> u32(std::string_view key) {
        const cf::Value* v = m_args.find(key);
        auto n = v ? v->storedInteger() : std::nullopt;
        if (!n || *n < 0 || *n > std::numeric_limits<uint32_t>::max())
            return fail(key, "an unsigned 32-bit number");
        return static_cast<uint32_t>(*n);
    }
    const std::string* text(std::string_view key, size_t maxBytes) {
        const cf::Value* v = m_args.find(key);
        const std::string* s = v ? v->asString() : nullptr;
        if (!s || s->size() > maxBytes) {
            fail(key, "a text of at most " + std::to_string(maxBytes) + " bytes");
            return nullptr;
        }
        return s;
    }
    const cf::Bytes* data(std::string_view key, size_t maxBytes) {
        const cf::Value* v = m_args.find(key);
        const cf::Bytes* d = v ? v->asData() : nullptr;
        if (!d || d->size() > maxBytes) {
            fail(key, "data of at most " + std::to_string(maxBytes) + " bytes");
            return nullptr;
        }
        return d;
    }

  private:
    std::nullopt_t fail(std::string_view key, const std::string& what) {
        if (m_why.empty()) m_why = "\"" + std::string(key) + "\" must be " + what;
        return std::nullopt;
    }
    const cf::Value& m_args;
    std::string& m_why;
};

using Handler = std::optional<cf::Value> (*)(UserTask&, Arguments&);

cf::Value statusOnly(IOReturn status) {
    return cf::Dictionary{{"status", status}};
}

cf::Value withText(IOReturn status, std::string_view key, const std::string& text) {
    cf::Dictionary out{{"status", status}};
    if (status == kIOReturnSuccess) out.insert_or_assign(std::string(key), text);
    return out;
}

std::optional<cf::Value> rootEntry(UserTask& task, Arguments&) {
    return cf::Dictionary{{"handle", task.rootEntry()}};
}

std::optional<cf::Value> entryFromPath(UserTask& task, Arguments& a) {
    const std::string* path = a.text("path", kMaxPathText);
    if (!path) return std::nullopt;
    io_handle_t handle = path->size() <= kIOMaxPathLength ? task.entryFromPath(*path) : 0;
    return cf::Dictionary{{"handle", handle}};
}

std::optional<cf::Value> matchingServices(UserTask& task, Arguments& a) {
    const std::string* className = a.text("className", kMaxNameText);
    if (!className) return std::nullopt;
    io_handle_t iterator = 0;
    IOReturn status = task.getMatchingServices(*className, &iterator);
    return cf::Dictionary{{"status", status}, {"iterator", iterator}};
}

std::optional<cf::Value> childIterator(UserTask& task, Arguments& a) {
    auto entry = a.u32("entry");
    const std::string* plane = a.text("plane", kMaxPlaneText);
    if (!entry || !plane) return std::nullopt;
    io_handle_t iterator = 0;
    IOReturn status = task.getChildIterator(*entry, *plane, &iterator);
    return cf::Dictionary{{"status", status}, {"iterator", iterator}};
}

std::optional<cf::Value> iteratorNext(UserTask& task, Arguments& a) {
    auto iterator = a.u32("iterator");
    if (!iterator) return std::nullopt;
    return cf::Dictionary{{"handle", task.iteratorNext(*iterator)}};
}

std::optional<cf::Value> objectRelease(UserTask& task, Arguments& a) {
    auto object = a.u32("object");
    if (!object) return std::nullopt;
    return statusOnly(task.objectRelease(*object));
}

// Name and location have no plane of their own in the kernel: any other plane is refused here.
std::optional<cf::Value> entryText(UserTask& task, Arguments& a, std::string_view key,
                                   IOReturn (UserTask::*read)(io_handle_t, std::string*)) {
    auto entry = a.u32("entry");
    const std::string* plane = a.text("plane", kMaxPlaneText);
    if (!entry || !plane) return std::nullopt;
    if (*plane != kIOServicePlane) return statusOnly(kIOReturnBadArgument);
    std::string text;
    IOReturn status = (task.*read)(*entry, &text);
    return withText(status, key, text);
}

std::optional<cf::Value> name(UserTask& task, Arguments& a) {
    return entryText(task, a, "name", &UserTask::getName);
}

std::optional<cf::Value> location(UserTask& task, Arguments& a) {
    return entryText(task, a, "location", &UserTask::getLocation);
}

std::optional<cf::Value> path(UserTask& task, Arguments& a) {
    auto entry = a.u32("entry");
    const std::string* plane = a.text("plane", kMaxPlaneText);
    if (!entry || !plane) return std::nullopt;
    std::string text;
    IOReturn status = task.getPath(*entry, *plane, &text);
    return withText(status, "path", text);
}

std::optional<cf::Value> objectClass(UserTask& task, Arguments& a) {
    auto object = a.u32("object");
    if (!object) return std::nullopt;
    std::string className;
    IOReturn status = task.getClass(*object, &className);
    return withText(status, "className", className);
}

std::optional<cf::Value> superclass(UserTask&, Arguments& a) {
    const std::string* className = a.text("className", kMaxNameText);
    if (!className) return std::nullopt;
    cf::Dictionary out;
    if (auto super = OSMetaClass::superClassNameOf(*className)) out.insert_or_assign("superclass", *super);
    return out;
}

std::optional<cf::Value> property(UserTask& task, Arguments& a) {
    auto entryHandle = a.u32("entry");
    const std::string* key = a.text("key", kMaxKeyText);
    if (!entryHandle || !key) return std::nullopt;
    cf::Dictionary out;
    if (OSPtr<IORegistryEntry> entry = task.entryForHandle(*entryHandle)) {
        OSPtr<OSObject> object = entry->copyProperty(*key);
        if (auto value = object ? valueFromOSObject(object.get()) : std::nullopt)
            out.insert_or_assign("value", *value);
    }
    return out;
}

std::optional<cf::Value> serviceOpen(UserTask& task, Arguments& a) {
    auto service = a.u32("service");
    auto type = a.u32("type");
    if (!service || !type) return std::nullopt;
    io_handle_t connection = 0;
    IOReturn status = task.serviceOpen(*service, *type, &connection);
    return cf::Dictionary{{"status", status}, {"connection", connection}};
}

std::optional<cf::Value> serviceClose(UserTask& task, Arguments& a) {
    auto connection = a.u32("connection");
    if (!connection) return std::nullopt;
    return statusOnly(task.serviceClose(*connection));
}

std::optional<cf::Value> callScalarMethod(UserTask& task, Arguments& a) {
    auto connection = a.u32("connection");
    auto selector = a.u32("selector");
    const cf::Bytes* input = a.data("input", size_t(kIOMaxScalarInputCount) * 8);
    auto outputCount = a.u32("outputCount");
    if (!connection || !selector || !input || !outputCount) return std::nullopt;
    if (input->size() % 8 != 0) return statusOnly(kIOReturnBadArgument);
    std::vector<uint64_t> inputs(input->size() / 8);
    for (size_t i = 0; i < inputs.size(); ++i)
        for (int b = 0; b < 8; ++b)
            inputs[i] |= uint64_t((*input)[i * 8 + b]) << (8 * b);
    uint64_t outputs[kIOMaxScalarOutputCount] = {};
    uint32_t count = *outputCount;
    IOReturn status = task.callScalarMethod(*connection, *selector, inputs.data(),
                                            static_cast<uint32_t>(inputs.size()), outputs, &count);
    cf::Bytes output(size_t(count) * 8);
    for (uint32_t i = 0; i < count; ++i)
        for (int b = 0; b < 8; ++b)
            output[size_t(i) * 8 + b] = static_cast<uint8_t>(outputs[i] >> (8 * b));
    return cf::Dictionary{{"status", status}, {"output", cf::Value(std::move(output))}};
}

std::optional<cf::Value> liveHandles(UserTask& task, Arguments&) {
    return cf::Dictionary{{"count", static_cast<int64_t>(task.liveHandleCount())}};
}

struct Route {
    std::string_view op;
    Handler handler;
};

constexpr Route kRoutes[] = {
    {op::rootEntry, &rootEntry},
    {op::entryFromPath, &entryFromPath},
    {op::matchingServices, &matchingServices},
    {op::childIterator, &childIterator},
    {op::iteratorNext, &iteratorNext},
    {op::objectRelease, &objectRelease},
    {op::name, &name},
    {op::location, &location},
    {op::path, &path},
    {op::objectClass, &objectClass},
    {op::superclass, &superclass},
    {op::property, &property},
    {op::serviceOpen, &serviceOpen},
    {op::serviceClose, &serviceClose},
    {op::callScalarMethod, &callScalarMethod},
    {op::liveHandles, &liveHandles},
};

const Route* routeFor(std::string_view op) {
    for (const Route& route : kRoutes)
        if (route.op == op) return &route;
    return nullptr;
}

} // namespace

bool IOKitRequestServer::handles(std::string_view op) {
    return routeFor(op) != nullptr;
}

std::optional<cf::Value> IOKitRequestServer::serve(UserTask& task, std::string_view op, const cf::Value& args,
                                                   std::string& why) {
    const Route* route = routeFor(op);
    if (!route) {
        why = "unknown request";
        return std::nullopt;
    }
    if (!args.isDictionary()) {
        why = "the arguments are not a dictionary";
        return std::nullopt;
    }
    Arguments arguments(args, why);
    auto result = route->handler(task, arguments);
    if (!result && why.empty()) why = "malformed arguments";
    return result;
}

void IOKitRequestServer::callScalarMethod(kernel::UserTask& task, const fastcall::ScalarCall& call,
                                          fastcall::ScalarResult& result) {
    uint32_t count = call.outputCount;
    result.status = task.callScalarMethod(call.connection, call.selector, call.input.data(), call.inputCount,
                                          result.output.data(), &count);
    result.outputCount = std::min(count, call.outputCount);
}

void IOKitRequestServer::serveFastCalls(int fd, const FastCall& call) {
    fastcall::Message message;
    for (;;) {
        ssize_t got;
        do {
            got = ::recv(fd, message.data(), message.size(), MSG_TRUNC);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return; // the process closed its end, or the channel was shut down
        fastcall::ScalarResult result;
        auto decoded = size_t(got) <= message.size()
                           ? fastcall::decodeCall(std::span<const uint8_t>(message.data(), size_t(got)))
                           : std::nullopt;
        if (!decoded) {
            platform::log("I/O Kit: refused a malformed call of %ld bytes on the lean channel", long(got));
            result.status = kernel::kIOReturnBadArgument;
        } else if (!call(*decoded, result)) {
            result = {};
            result.status = kernel::kIOReturnNotAttached;
        }
        const size_t length = fastcall::encodeResult(result, message);
        ssize_t sent;
        do {
            sent = ::send(fd, message.data(), length, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        if (sent != ssize_t(length)) return;
    }
}

} // namespace iokit
