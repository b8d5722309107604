#include "platform/daemon/RequestContext.h"

#include "platform/daemon/ClientConnection.h"
#include "platform/ipc/Message.h"

#include <cmath>

namespace platformd {

Responder::Responder(std::weak_ptr<ClientConnection> connection, int64_t id)
    : m_state(std::make_shared<State>()) {
    m_state->connection = std::move(connection);
    m_state->id = id;
}

void Responder::reply(const std::optional<cf::Value>& result, std::vector<ipc::UniqueFd> fds) {
    if (!m_state || m_state->answered) return;
    m_state->answered = true;
    // The count is read before the descriptors move into send's parameter: argument
    // evaluation order is unspecified, and a moved-from vector would declare none.
    size_t count = fds.size();
    if (auto connection = m_state->connection.lock())
        connection->send(ipc::makeReply(m_state->id, result, count), std::move(fds));
}

void Responder::fail(const platform::Error& error) {
    if (!m_state || m_state->answered) return;
    m_state->answered = true;
    if (auto connection = m_state->connection.lock()) connection->send(ipc::makeFailure(m_state->id, error));
}

platform::Error refusal(const std::string& why) {
    return platform::Error::withDescription(platform::PlatformErrorDomain, platform::kPlatformErrorRefused,
                                            why);
}

const std::string* RequestContext::requiredString(std::string_view key, size_t maxBytes) {
    const cf::Value* v = m_args.find(key);
    const std::string* s = v ? v->asString() : nullptr;
    if (!s || s->size() > maxBytes) {
        refuse("argument \"" + std::string(key) + "\" must be a string of at most " +
               std::to_string(maxBytes) + " bytes");
        return nullptr;
    }
    return s;
}

std::optional<std::string> RequestContext::optionalString(std::string_view key, bool& ok, size_t maxBytes) {
    const cf::Value* v = m_args.find(key);
    if (!v) return std::nullopt;
    const std::string* s = v->asString();
    if (!s || s->size() > maxBytes) {
        refuse("argument \"" + std::string(key) + "\" must be a string of at most " +
               std::to_string(maxBytes) + " bytes");
        ok = false;
        return std::nullopt;
    }
    return *s;
}

std::optional<int64_t> RequestContext::requiredInteger(std::string_view key) {
    const cf::Value* v = m_args.find(key);
    if (!v || !v->isNumber() || v->isFloatNumber()) {
        refuse("argument \"" + std::string(key) + "\" must be an integer");
        return std::nullopt;
    }
    return v->storedInteger();
}

std::optional<int64_t> RequestContext::optionalInteger(std::string_view key, bool& ok) {
    if (!m_args.find(key)) return std::nullopt;
    auto n = requiredInteger(key);
    if (!n) ok = false;
    return n;
}

std::optional<double> RequestContext::optionalReal(std::string_view key, bool& ok) {
    const cf::Value* v = m_args.find(key);
    if (!v) return std::nullopt;
    // NaN passes every range clamp and turns into no duration at all: refused with the rest.
    if (!v->isNumber() || std::isnan(v->doubleValue())) {
        refuse("argument \"" + std::string(key) + "\" must be a number");
        ok = false;
        return std::nullopt;
    }
    return v->doubleValue();
}

const cf::Value* RequestContext::optionalOfKind(std::string_view key, cf::Value::Kind kind, bool& ok) {
    const cf::Value* v = m_args.find(key);
    if (!v) return nullptr;
    if (v->kind() != kind) {
        refuse("argument \"" + std::string(key) + "\" is of the wrong kind");
        ok = false;
        return nullptr;
    }
    return v;
}

} // namespace platformd
