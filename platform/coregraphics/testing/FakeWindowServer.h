// A window server answering a few requests from a script, for the cases a real one never
// produces (malformed cursor data) and for counting what the facade asks.
#pragma once

#include "platform/coregraphics/WindowServerTransport.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace cg::testing {

class FakeWindowServer : public WindowServerTransport {
  public:
    using Answer = std::function<std::optional<cf::Value>(const cf::Value& args)>;

    void answer(std::string op, Answer answer) {
        std::lock_guard guard(m_lock);
        m_answers[std::move(op)] = std::move(answer);
    }
    void answer(std::string op, cf::Value result) {
        answer(std::move(op), [result](const cf::Value&) { return std::optional<cf::Value>(result); });
    }
    size_t requests(const std::string& op) const {
        std::lock_guard guard(m_lock);
        auto found = m_counts.find(op);
        return found == m_counts.end() ? 0 : found->second;
    }

    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        Answer handler;
        {
            std::lock_guard guard(m_lock);
            ++m_counts[std::string(op)];
            auto found = m_answers.find(std::string(op));
            if (found == m_answers.end()) return std::nullopt;
            handler = found->second;
        }
        return handler(args);
    }
    void setPushHandler(PushHandler) override {}

  private:
    mutable std::mutex m_lock;
    std::map<std::string, Answer> m_answers;
    std::map<std::string, size_t> m_counts;
};

// Installs a fake window server for the scope, then restores platformd's road.
class ScopedFakeWindowServer {
  public:
    ScopedFakeWindowServer() : server(std::make_shared<FakeWindowServer>()) {
        cg::CGSSetWindowServerTransport(server);
    }
    ~ScopedFakeWindowServer() { cg::CGSSetWindowServerTransport(nullptr); }
    FakeWindowServer* operator->() { return server.get(); }

    std::shared_ptr<FakeWindowServer> server;
};

} // namespace cg::testing
