// The messages carried by the frames: binary property-list dictionaries. A request is
// {op, id, args}, a reply {id, ok, result | error}, an event {topic, body}; any of them may
// carry descriptors, counted by "fds". Parsing checks every key's kind before use.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"
#include "platform/ipc/FrameIO.h"

#include <optional>
#include <string>
#include <vector>

namespace ipc {

struct Request {
    std::string op;
    int64_t id = 0;
    cf::Value args = cf::Value::emptyDictionary();
    std::vector<UniqueFd> fds;
    size_t bytes = 0; // the message's size on the wire
};

struct Reply {
    int64_t id = 0;
    bool ok = false;
    std::optional<cf::Value> result;
    platform::Error error;
    std::vector<UniqueFd> fds;
};

struct Event {
    std::string topic;
    cf::Value body = cf::Value::emptyDictionary();
    std::vector<UniqueFd> fds;
};

// Serialised message bytes (binary plist), nullopt when the value cannot be written.
std::optional<std::vector<uint8_t>> encodeMessage(const cf::Value& message, std::string& why);

cf::Value makeRequest(const std::string& op, int64_t id, const cf::Value& args, size_t fdCount);
cf::Value makeReply(int64_t id, const std::optional<cf::Value>& result, size_t fdCount);
cf::Value makeFailure(int64_t id, const platform::Error& error);
cf::Value makeEvent(const std::string& topic, const cf::Value& body, size_t fdCount);

// A frame's dictionary, or nullopt with why: not a property list, not a dictionary, or a
// descriptor count that differs from what arrived.
std::optional<cf::Value> decodeFrame(const Frame& frame, std::string& why);

enum class MessageKind { Request, Reply, Event, Unknown };
MessageKind kindOf(const cf::Value& message);

// Each takes the frame's descriptors; nullopt with why when a key is missing or mistyped.
std::optional<Request> parseRequest(const cf::Value& message, Frame& frame, std::string& why);
std::optional<Reply> parseReply(const cf::Value& message, Frame& frame, std::string& why);
std::optional<Event> parseEvent(const cf::Value& message, Frame& frame, std::string& why);

cf::Value errorToValue(const platform::Error& error);
platform::Error errorFromValue(const cf::Value& value);

} // namespace ipc
