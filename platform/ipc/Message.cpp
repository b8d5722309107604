#include "platform/ipc/Message.h"

#include "platform/corefoundation/PropertyList.h"
#include "platform/ipc/Protocol.h"

namespace ipc {

namespace {

std::optional<int64_t> integerAt(const cf::Value& dict, std::string_view key) {
    const cf::Value* v = dict.find(key);
    if (!v || !v->isNumber() || v->isFloatNumber()) return std::nullopt;
    return v->storedInteger();
}

const std::string* stringAt(const cf::Value& dict, std::string_view key) {
    const cf::Value* v = dict.find(key);
    return v ? v->asString() : nullptr;
}

} // namespace

std::optional<std::vector<uint8_t>> encodeMessage(const cf::Value& message, std::string& why) {
    platform::Error error;
    auto bytes = cf::dataFromPropertyList(message, cf::PropertyListFormat::Binary, &error);
    if (!bytes) {
        why = error.localizedDescription();
        return std::nullopt;
    }
    if (bytes->size() > kMaxMessageBytes) {
        why = "message over 16 MiB";
        return std::nullopt;
    }
    return bytes;
}

cf::Value makeRequest(const std::string& op, int64_t id, const cf::Value& args, size_t fdCount) {
    cf::Dictionary d{{std::string(key::op), op}, {std::string(key::id), id}, {std::string(key::args), args}};
    if (fdCount) d.insert_or_assign(std::string(key::fds), static_cast<int64_t>(fdCount));
    return d;
}

cf::Value makeReply(int64_t id, const std::optional<cf::Value>& result, size_t fdCount) {
    cf::Dictionary d{{std::string(key::id), id}, {std::string(key::ok), true}};
    if (result) d.insert_or_assign(std::string(key::result), *result);
    if (fdCount) d.insert_or_assign(std::string(key::fds), static_cast<int64_t>(fdCount));
    return d;
}

cf::Value makeFailure(int64_t id, const platform::Error& error) {
    return cf::Dictionary{{std::string(key::id), id},
                          {std::string(key::ok), false},
                          {std::string(key::error), errorToValue(error)}};
}

cf::Value makeEvent(const std::string& topic, const cf::Value& body, size_t fdCount) {
    cf::Dictionary d{{std::string(key::topic), topic}, {std::string(key::body), body}};
    if (fdCount) d.insert_or_assign(std::string(key::fds), static_cast<int64_t>(fdCount));
    return d;
}

std::optional<cf::Value> decodeFrame(const Frame& frame, std::string& why) {
    platform::Error error;
    auto value = cf::propertyListFromData(frame.bytes, &error);
    if (!value) {
        why = "not a property list";
        return std::nullopt;
    }
    if (!value->isDictionary()) {
        why = "not a dictionary";
        return std::nullopt;
    }
    int64_t declared = 0;
    if (value->find(key::fds)) {
        auto n = integerAt(*value, key::fds);
        if (!n || *n < 0) {
            why = "malformed descriptor count";
            return std::nullopt;
        }
        declared = *n;
    }
    if (static_cast<uint64_t>(declared) != frame.fds.size()) {
        why = "descriptor count " + std::to_string(declared) + " but " + std::to_string(frame.fds.size()) +
              " arrived";
        return std::nullopt;
    }
    return value;
}

MessageKind kindOf(const cf::Value& message) {
    if (message.find(key::op)) return MessageKind::Request;
    if (message.find(key::topic)) return MessageKind::Event;
    if (message.find(key::ok)) return MessageKind::Reply;
    return MessageKind::Unknown;
}

std::optional<Request> parseRequest(const cf::Value& message, Frame& frame, std::string& why) {
    const std::string* op = stringAt(message, key::op);
    auto id = integerAt(message, key::id);
    if (!op || op->empty() || !id) {
        why = "request without op or id";
        return std::nullopt;
    }
    Request request;
    request.op = *op;
    request.id = *id;
    if (const cf::Value* args = message.find(key::args)) {
        if (!args->isDictionary()) {
            why = "request arguments are not a dictionary";
            return std::nullopt;
        }
        request.args = *args;
    }
    request.fds = std::move(frame.fds);
    request.bytes = frame.bytes.size();
    return request;
}

std::optional<Reply> parseReply(const cf::Value& message, Frame& frame, std::string& why) {
    auto id = integerAt(message, key::id);
    const cf::Value* ok = message.find(key::ok);
    if (!id || !ok || !ok->isBoolean()) {
        why = "reply without id or ok";
        return std::nullopt;
    }
    Reply reply;
    reply.id = *id;
    reply.ok = *ok->asBool();
    if (const cf::Value* result = message.find(key::result)) reply.result = *result;
    if (!reply.ok) {
        const cf::Value* error = message.find(key::error);
        if (!error || !error->isDictionary()) {
            why = "failure without an error";
            return std::nullopt;
        }
        reply.error = errorFromValue(*error);
    }
    reply.fds = std::move(frame.fds);
    return reply;
}

std::optional<Event> parseEvent(const cf::Value& message, Frame& frame, std::string& why) {
    const std::string* topic = stringAt(message, key::topic);
    const cf::Value* body = message.find(key::body);
    if (!topic || !body || !body->isDictionary()) {
        why = "event without topic or body";
        return std::nullopt;
    }
    Event event;
    event.topic = *topic;
    event.body = *body;
    event.fds = std::move(frame.fds);
    return event;
}

cf::Value errorToValue(const platform::Error& error) {
    return cf::Dictionary{{"domain", error.domain}, {"code", error.code}, {"userInfo", error.userInfo}};
}

platform::Error errorFromValue(const cf::Value& value) {
    platform::Error error;
    const std::string* domain = stringAt(value, "domain");
    auto code = integerAt(value, "code");
    error.domain = domain ? *domain : std::string(platform::PlatformErrorDomain);
    error.code = code ? *code : platform::kPlatformErrorRefused;
    if (const cf::Value* info = value.find("userInfo"); info && info->asDictionary())
        error.userInfo = *info->asDictionary();
    return error;
}

} // namespace ipc
