#include "server/BaseLimnerAppDelegate.h"

namespace server {

namespace {

std::mutex& delegateMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<BaseLimnerAppDelegate>& installedDelegate() {
    static std::shared_ptr<BaseLimnerAppDelegate> delegate;
    return delegate;
}

} // namespace

std::shared_ptr<BaseLimnerAppDelegate> BaseLimnerAppDelegate::appDelegate() {
    std::lock_guard lock(delegateMutex());
    auto& delegate = installedDelegate();
    if (!delegate) delegate = std::make_shared<BaseLimnerAppDelegate>();
    return delegate;
}

void BaseLimnerAppDelegate::setAppDelegate(std::shared_ptr<BaseLimnerAppDelegate> delegate) {
    std::lock_guard lock(delegateMutex());
    installedDelegate() = std::move(delegate);
}

std::shared_ptr<ScreenServerMediator> BaseLimnerAppDelegate::screenServerMediator() const {
    std::lock_guard lock(m_mutex);
    return m_screenServerMediator;
}

void BaseLimnerAppDelegate::setScreenServerMediator(std::shared_ptr<ScreenServerMediator> mediator) {
    std::lock_guard lock(m_mutex);
    m_screenServerMediator = std::move(mediator);
}

bool BaseLimnerAppDelegate::displayAsleep() const {
    std::lock_guard lock(m_mutex);
    return m_displayAsleep;
}

void BaseLimnerAppDelegate::setDisplayAsleep(bool asleep) {
    std::lock_guard lock(m_mutex);
    m_displayAsleep = asleep;
}

bool BaseLimnerAppDelegate::screenSaverRunning() const {
    std::lock_guard lock(m_mutex);
    return m_screenSaverRunning;
}

void BaseLimnerAppDelegate::setScreenSaverRunning(bool running) {
    std::lock_guard lock(m_mutex);
    m_screenSaverRunning = running;
}

std::shared_ptr<appkit::NSWindow> BaseLimnerAppDelegate::window() const {
    std::lock_guard lock(m_mutex);
    return m_window.lock();
}

void BaseLimnerAppDelegate::setWindow(const std::shared_ptr<appkit::NSWindow>& window) {
    std::lock_guard lock(m_mutex);
    m_window = window;
}

std::shared_ptr<display::QNBDisplay> BaseLimnerAppDelegate::display() const {
    std::lock_guard lock(m_mutex);
    return m_display;
}

void BaseLimnerAppDelegate::setDisplay(std::shared_ptr<display::QNBDisplay> display) {
    std::lock_guard lock(m_mutex);
    m_display = std::move(display);
}

int64_t BaseLimnerAppDelegate::negotiatingFeatureState(ScreenServer&, uint16_t state, uint16_t feature) {
    if (feature != 1 && feature != 2) return 0;
    return state == 3 ? 2 : 1;
}

void BaseLimnerAppDelegate::didReceiveFeatureChange(ScreenServer&, uint16_t, int64_t) {}
void BaseLimnerAppDelegate::connectServerToHostName(const std::string&) {}
void BaseLimnerAppDelegate::connectServerToHostName(const net::SocketAddress&, const std::string&) {}
void BaseLimnerAppDelegate::disableDisplay() {}
void BaseLimnerAppDelegate::sendInvite(const net::SocketAddress&) {}
void BaseLimnerAppDelegate::applicationSwitched(int32_t) {}
void BaseLimnerAppDelegate::wakeScreen() {}
void BaseLimnerAppDelegate::removeScreenSaver() {}
void BaseLimnerAppDelegate::restoreScreenState() {}
void BaseLimnerAppDelegate::registerNotificationsForWindow(
    const std::shared_ptr<input::QNDesktopReflectorPanel>&) {}

} // namespace server
