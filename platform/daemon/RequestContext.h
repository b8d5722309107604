// One request as a service handles it: the caller, its arguments with kind-checked readers,
// and the one reply it owes. A reply may be deferred (a wait) and sent later from the
// service thread; each request is answered exactly once.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"
#include "platform/daemon/Client.h"
#include "platform/ipc/UniqueFd.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platformd {

class ClientConnection;

// Sends the reply of one request; copies share the answered state.
class Responder {
  public:
    Responder() = default;
    Responder(std::weak_ptr<ClientConnection> connection, int64_t id);

    void reply(const std::optional<cf::Value>& result = std::nullopt, std::vector<ipc::UniqueFd> fds = {});
    void fail(const platform::Error& error);
    bool answered() const { return m_state && m_state->answered; }

  private:
    struct State {
        std::weak_ptr<ClientConnection> connection;
        int64_t id = 0;
        bool answered = false;
    };
    std::shared_ptr<State> m_state;
};

// A refusal: PlatformErrorDomain 3 with a description saying why.
platform::Error refusal(const std::string& why);

class RequestContext {
  public:
    RequestContext(Client& client, const cf::Value& args, std::vector<ipc::UniqueFd>& fds,
                   Responder responder, size_t messageBytes = 0)
        : m_client(client), m_args(args), m_fds(fds), m_responder(std::move(responder)),
          m_messageBytes(messageBytes) {}

    Client& client() { return m_client; }
    const cf::Value& args() const { return m_args; }
    std::vector<ipc::UniqueFd>& fds() { return m_fds; }
    size_t messageBytes() const { return m_messageBytes; }
    Responder& responder() { return m_responder; }

    void reply(const std::optional<cf::Value>& result = std::nullopt) { m_responder.reply(result); }
    void fail(const platform::Error& error) { m_responder.fail(error); }
    void refuse(const std::string& why) { m_responder.fail(refusal(why)); }
    // The handler keeps the responder and answers later.
    void defer() { m_deferred = true; }
    bool deferred() const { return m_deferred; }

    // Readers: a missing required argument or one of the wrong kind refuses the request
    // (the caller answers nothing further); optional ones refuse only a wrong kind.
    const std::string* requiredString(std::string_view key, size_t maxBytes = 4096);
    std::optional<std::string> optionalString(std::string_view key, bool& ok, size_t maxBytes = 4096);
    std::optional<int64_t> requiredInteger(std::string_view key);
    std::optional<int64_t> optionalInteger(std::string_view key, bool& ok);
    std::optional<double> optionalReal(std::string_view key, bool& ok);
    const cf::Value* optionalOfKind(std::string_view key, cf::Value::Kind kind, bool& ok);

  private:
    Client& m_client;
    const cf::Value& m_args;
    std::vector<ipc::UniqueFd>& m_fds;
    Responder m_responder;
    bool m_deferred = false;
    size_t m_messageBytes = 0;
};

using RequestHandler = std::function<void(RequestContext&)>;

} // namespace platformd
