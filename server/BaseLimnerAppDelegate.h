// The application delegate's base: the answers a session asks of the application (ports,
// protocol, feature negotiation, wake and screen-saver hooks). LimnerAppDelegate derives
// from it and overrides what the program needs; the process's delegate is reached through
// BaseLimnerAppDelegate::appDelegate(), which tests may replace.
#pragma once

#include "net/SocketAddress.h"

#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace appkit {
class NSWindow;
} // namespace appkit

namespace display {
class QNBDisplay;
} // namespace display

namespace input {
class QNDesktopReflectorPanel;
} // namespace input

namespace server {

class ScreenServer;
class ScreenServerMediator;

class BaseLimnerAppDelegate {
  public:
    virtual ~BaseLimnerAppDelegate() = default;

    // The application's delegate (NSApp's delegate). Until one is set, a shared base delegate
    // with the base answers.
    static std::shared_ptr<BaseLimnerAppDelegate> appDelegate();
    // Replaces the application's delegate (the program at start-up; tests). Null restores the
    // base delegate.
    static void setAppDelegate(std::shared_ptr<BaseLimnerAppDelegate> delegate);

    // Plain accessors of the base fields.
    std::shared_ptr<ScreenServerMediator> screenServerMediator() const;
    void setScreenServerMediator(std::shared_ptr<ScreenServerMediator> mediator);
    bool displayAsleep() const;
    void setDisplayAsleep(bool asleep);
    bool screenSaverRunning() const;
    void setScreenSaverRunning(bool running);
    // The window is not kept alive by the delegate.
    std::shared_ptr<appkit::NSWindow> window() const;
    void setWindow(const std::shared_ptr<appkit::NSWindow>& window);
    std::shared_ptr<display::QNBDisplay> display() const;
    void setDisplay(std::shared_ptr<display::QNBDisplay> display);

    // Answers (base values in the comments).
    virtual uint16_t mainDataTrafficPort() { return 0; }
    virtual uint16_t clientSidebandPort() { return 0; }
    virtual uint16_t serverSidebandPort() { return 0; }
    virtual int32_t activeProtocol() { return 0; }
    virtual bool supportsAppInfo() { return false; }
    virtual bool isDisplayActive() { return true; }
    virtual bool transmitsRetinaGraphics() { return true; }
    // The class name of the local mirror windows; none in the base.
    virtual std::optional<std::string> reflectorClass() const { return std::nullopt; }
    // The connection to a screen; none (nothing makes one).
    virtual std::shared_ptr<void> screenConnection() const { return nullptr; }

    // screenServer:negotiatingFeatureState:forFeature: the server side's wish for a feature
    // the device asked about: for touch (1) and keyboard (2), on (2) for a request on (3) and
    // off (1) for anything else; 0 for any other feature.
    virtual int64_t negotiatingFeatureState(ScreenServer& server, uint16_t state, uint16_t feature);
    // screenServer:didReceiveFeatureChange:activation: a feature's resolved state changed.
    virtual void didReceiveFeatureChange(ScreenServer& server, uint16_t feature, int64_t activation);

    // Operations that do nothing in the base.
    virtual void connectServerToHostName(const std::string& hostName);
    virtual void connectServerToHostName(const net::SocketAddress& address, const std::string& deviceName);
    virtual void disableDisplay();
    virtual void sendInvite(const net::SocketAddress& address);
    virtual void applicationSwitched(int32_t processIdentifier);
    virtual void wakeScreen();
    virtual void removeScreenSaver();
    virtual void restoreScreenState();
    // Observes the panel's screen and main-window changes (the program's delegate).
    virtual void
    registerNotificationsForWindow(const std::shared_ptr<input::QNDesktopReflectorPanel>& window);

    // ---- The application shell's part of the base (BaseLimnerAppDelegateShell.cpp) -------
    // screenServer:disableDisplay: calls disableDisplay.
    virtual void disableDisplay(ScreenServer& server);
    // Hands a connect request to the mediator's connectToScreenServerWithDictionary.
    virtual void connectServerToHostNameWithDictionary(const cf::Value& request);
    // On a global queue: a request naming only the host, handed to the call above.
    void connectServerToHostNameWithTicket(const std::string& hostName, const std::string& ticket,
                                           const std::string& ipTicket);
    // An address token's socket address on port 6001, connected with the device name "Other".
    void connectServerToPeerWithTicket(const std::string& ticket);

  private:
    mutable std::mutex m_mutex;
    std::shared_ptr<ScreenServerMediator> m_screenServerMediator;
    std::weak_ptr<appkit::NSWindow> m_window;
    std::shared_ptr<display::QNBDisplay> m_display;
    // Nothing sets it: no connection of the delegate's needs guarding.
    std::shared_ptr<std::recursive_mutex> m_connectionLock;
    bool m_displayAsleep = false;
    bool m_screenSaverRunning = false;
};

} // namespace server
