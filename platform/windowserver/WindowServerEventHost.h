// The event system hosted by the window server: it runs on the window-server thread and moves
// the window server's cursor.
#pragma once

#include "platform/windowserver/EventSystem.h"
#include "platform/windowserver/WindowServer.h"

namespace windowserver {

class WindowServerEventHost : public EventHost {
  public:
    explicit WindowServerEventHost(WindowServer& server) : m_server(server) {}
    void perform(const std::function<void()>& task) override;
    cg::CGPoint cursorLocation() override { return m_server.cursor().location; }
    cg::CGPoint moveCursor(cg::CGPoint to) override { return m_server.moveCursor(to); }
    void routeMouse(int64_t type, cg::CGPoint location, uint64_t flags, double pressure) override {
        m_server.routeMouse(type, location, flags, pressure);
    }
    bool routeKey(int64_t type, uint16_t key, uint64_t flags, const std::string& characters,
                  const std::string& charactersIgnoringModifiers) override {
        return m_server.routeKey(type, key, flags, characters, charactersIgnoringModifiers);
    }

  private:
    WindowServer& m_server;
};

} // namespace windowserver
