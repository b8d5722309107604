// Every kernel request of the I/O Kit facade, in one place: op name, argument keys and reply
// keys. platformd answers them on the calling process's own connection thread, in order.
// Handles, types and selectors are unsigned 32-bit numbers; "status" is the IOReturn.
#pragma once

#include "platform/ipc/Protocol.h"

#include <string_view>

namespace iokit {

namespace op {
constexpr std::string_view rootEntry = "iokit.root";
constexpr std::string_view entryFromPath = "iokit.fromPath";
constexpr std::string_view matchingServices = "iokit.matching";
constexpr std::string_view childIterator = "iokit.children";
constexpr std::string_view iteratorNext = "iokit.next";
constexpr std::string_view objectRelease = "iokit.release";
constexpr std::string_view name = "iokit.name";
constexpr std::string_view location = "iokit.location";
constexpr std::string_view path = "iokit.path";
constexpr std::string_view objectClass = "iokit.class";
constexpr std::string_view superclass = "iokit.superclass";
constexpr std::string_view property = "iokit.property";
constexpr std::string_view serviceOpen = "iokit.open";
constexpr std::string_view serviceClose = "iokit.close";
constexpr std::string_view callScalarMethod = "iokit.callScalar";
constexpr std::string_view liveHandles = "iokit.liveHandles";
} // namespace op

// "input" and "output" of a scalar call are data: one little-endian u64 per scalar.
inline constexpr ipc::OpSignature kIOKitOps[] = {
    {op::rootEntry, "", "handle"},
    {op::entryFromPath, "path", "handle"},
    {op::matchingServices, "className", "status iterator"},
    {op::childIterator, "entry plane", "status iterator"},
    {op::iteratorNext, "iterator", "handle"},
    {op::objectRelease, "object", "status"},
    {op::name, "entry plane", "status name?"},
    {op::location, "entry plane", "status location?"},
    {op::path, "entry plane", "status path?"},
    {op::objectClass, "object", "status className?"},
    {op::superclass, "className", "superclass?"},
    {op::property, "entry key", "value?"},
    {op::serviceOpen, "service type", "status connection"},
    {op::serviceClose, "connection", "status"},
    {op::callScalarMethod, "connection selector input outputCount", "status output"},
    {op::liveHandles, "", "count"},
};

} // namespace iokit
