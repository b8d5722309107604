#include "platform/appkit/NSWindowController.h"

#include "platform/appkit/NSNib.h"

namespace appkit {

NSWindowController::NSWindowController(std::string windowNibName) : m_nibName(std::move(windowNibName)) {}

NSWindowController::NSWindowController(std::shared_ptr<NSWindow> window) : m_window(std::move(window)) {
    m_loaded = m_window != nullptr;
}

NSWindowController::~NSWindowController() = default;

std::shared_ptr<NSWindow> NSWindowController::window() {
    if (!m_window && !m_loaded && !m_loading) {
        m_loading = true;
        loadWindow();
        m_loading = false;
        m_loaded = true;
        if (m_window) windowDidLoad();
    }
    // A controller given its window at construction could not introduce itself then.
    if (m_window && !m_window->windowController()) {
        if (auto self = std::dynamic_pointer_cast<NSWindowController>(weak_from_this().lock()))
            m_window->setWindowController(self);
    }
    return m_window;
}

void NSWindowController::setWindow(std::shared_ptr<NSWindow> window) {
    m_window = std::move(window);
    if (!m_window) return;
    if (auto self = std::dynamic_pointer_cast<NSWindowController>(weak_from_this().lock()))
        m_window->setWindowController(self);
}

void NSWindowController::loadWindow() {
    if (m_nibName.empty()) return;
    NSNib::loadNibNamed(m_nibName, this);
}

void NSWindowController::showWindow(NSActionTarget*) {
    if (auto w = window()) w->makeKeyAndOrderFront();
}

void NSWindowController::close() {
    if (m_window) m_window->close();
}

} // namespace appkit
