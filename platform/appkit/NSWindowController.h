// Window controllers: a window loaded on first use (loadWindow, then windowDidLoad) from the
// nib registry by the window nib name, with the controller as owner (its builder hands the
// window over through setWindow). showWindow makes the window key and orders it front. The
// window knows its controller, which nil-targeted actions try after the window.
#pragma once

#include "platform/appkit/NSWindow.h"
#include "platform/foundation/NSObject.h"

#include <memory>
#include <string>

namespace appkit {

class NSWindowController : public ns::NSObject, public NSResponder {
  public:
    // initWithWindowNibName:
    explicit NSWindowController(std::string windowNibName = {});
    // initWithWindow:
    explicit NSWindowController(std::shared_ptr<NSWindow> window);
    ~NSWindowController() override;

    const std::string& windowNibName() const { return m_nibName; }
    // Loads the window the first time it is asked for; null when loading gave none.
    std::shared_ptr<NSWindow> window();
    void setWindow(std::shared_ptr<NSWindow> window);
    bool isWindowLoaded() const { return m_window != nullptr; }
    // Loads the nib with this controller as owner (logged when it cannot).
    virtual void loadWindow();
    virtual void windowDidLoad() {}
    // showWindow: — key and front.
    virtual void showWindow(NSActionTarget* sender);
    void close();

  private:
    std::string m_nibName;
    std::shared_ptr<NSWindow> m_window;
    bool m_loading = false, m_loaded = false;
};

} // namespace appkit
