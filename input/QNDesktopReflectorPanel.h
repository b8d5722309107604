// The local window that mirrors a session's virtual display while its device is away, and
// the delegate through which it reports back to its session. The panel itself comes with
// the local windows; until then the maker makes none.
#pragma once

#include <functional>
#include <memory>

namespace input {

class ScreenServerInput;
class QNDesktopReflectorPanel;

// What the session answers to its panel.
class QNDesktopReflectorDelegate {
  public:
    virtual ~QNDesktopReflectorDelegate() = default;
    virtual void reflectorPanelClosed(QNDesktopReflectorPanel& panel) = 0;
    virtual bool reflectorPanelShouldSuppressHelpSheet(QNDesktopReflectorPanel& panel) = 0;
    virtual void pleaseDoSuppressHelpSheet(bool suppress) = 0;
};

class QNDesktopReflectorPanel {
  public:
    using Maker = std::function<std::shared_ptr<QNDesktopReflectorPanel>(
        const std::shared_ptr<ScreenServerInput>& screenServer)>;

    virtual ~QNDesktopReflectorPanel() = default;

    // initWithScreenServer: through the process's maker; null while no maker is set.
    static std::shared_ptr<QNDesktopReflectorPanel>
    initWithScreenServer(const std::shared_ptr<ScreenServerInput>& screenServer);
    // Replaces the maker (tests; the local windows when they land). An empty maker makes none.
    static void setMaker(Maker maker);

    // The session, as the panel's window delegate and reflector delegate.
    virtual void setDelegate(std::weak_ptr<QNDesktopReflectorDelegate> delegate) = 0;
    virtual void setReflectorDelegate(std::weak_ptr<QNDesktopReflectorDelegate> delegate) = 0;
    // Main thread only, like any window.
    virtual void showWithAnimation() = 0;
    virtual void hideWithAnimation() = 0;
    virtual void close() = 0;
    // The user's close (the close button, Command-W); a panel without its own closes.
    virtual void closeAction() { close(); }
    // Whether it is showing the display.
    virtual bool updating() const = 0;
};

} // namespace input
