// Modal loops and sessions, and the windows that refuse input while one (or a sheet) is up.
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Thread.h"

#include <algorithm>

namespace appkit {

struct NSModalSessionRecord {
    std::weak_ptr<NSWindow> window;
    bool loop = false; // runModalForWindow's, else a session's
    bool stopped = false;
    bool ended = false;
    NSModalResponse code = NSModalResponseStop;
};

namespace {

bool onMainThread(const char* call) {
    if (dispatch::isMainThread()) return true;
    platform::log("NSApplication: %s must be called on the main thread; ignored", call);
    return false;
}

} // namespace

NSModalResponse NSApplication::runModalForWindow(const std::shared_ptr<NSWindow>& window) {
    if (!onMainThread("runModalForWindow:")) return NSModalResponseAbort;
    if (!window) {
        platform::log("NSApplication: runModalForWindow: without a window");
        return NSModalResponseAbort;
    }
    auto session = std::make_shared<NSModalSessionRecord>();
    session->window = window;
    session->loop = true;
    m_modalStack.push_back(session);
    window->makeKeyAndOrderFront();
    auto loop = dispatch::RunLoop::main();
    while (!session->stopped) {
        // Each pass that ran something returns, so a stop made by it is seen at once.
        auto result = loop->runInMode(dispatch::kModalPanelRunLoopMode, platform::kDistantFuture, true);
        // The application's stop ends the modal loop, not the main one.
        if (result == dispatch::RunLoop::RunResult::Stopped && !session->stopped) {
            session->stopped = true;
            session->code = NSModalResponseStop;
        }
    }
    session->ended = true;
    std::erase(m_modalStack, session);
    return session->code;
}

void NSApplication::stopModalWithCode(NSModalResponse code) {
    if (!onMainThread("stopModalWithCode:")) return;
    if (m_modalStack.empty()) {
        platform::log("NSApplication: stopModal with no modal loop or session under way");
        return;
    }
    auto& session = m_modalStack.back();
    session->stopped = true;
    session->code = code;
    dispatch::RunLoop::main()->wakeUp();
}

void NSApplication::stopModal() {
    stopModalWithCode(NSModalResponseStop);
}

void NSApplication::abortModal() {
    stopModalWithCode(NSModalResponseAbort);
}

NSModalSession NSApplication::beginModalSessionForWindow(const std::shared_ptr<NSWindow>& window) {
    if (!onMainThread("beginModalSessionForWindow:")) return nullptr;
    if (!window) {
        platform::log("NSApplication: beginModalSessionForWindow: without a window");
        return nullptr;
    }
    auto session = std::make_shared<NSModalSessionRecord>();
    session->window = window;
    m_modalStack.push_back(session);
    window->makeKeyAndOrderFront();
    return session;
}

NSModalResponse NSApplication::runModalSession(const NSModalSession& session) {
    if (!onMainThread("runModalSession:")) return NSModalResponseAbort;
    if (!session || session->ended) {
        platform::log("NSApplication: runModalSession: on %s session; nothing runs",
                      session ? "an ended" : "a null");
        return NSModalResponseStop;
    }
    if (!session->stopped) dispatch::RunLoop::main()->serveReady(dispatch::kModalPanelRunLoopMode);
    return session->stopped ? session->code : NSModalResponseContinue;
}

// A null or ended handle ends nothing: ending it again must not pop a session still under way.
void NSApplication::endModalSession(const NSModalSession& session) {
    if (!onMainThread("endModalSession:")) return;
    if (!session || session->ended) {
        platform::log("NSApplication: endModalSession: on %s session; nothing to end",
                      session ? "an ended" : "a null");
        return;
    }
    session->ended = true;
    std::erase(m_modalStack, session);
}

std::shared_ptr<NSWindow> NSApplication::modalWindow() const {
    for (auto it = m_modalStack.rbegin(); it != m_modalStack.rend(); ++it)
        if (auto window = (*it)->window.lock()) return window;
    return nullptr;
}

bool NSApplication::windowAcceptsInput(const NSWindow& window) const {
    if (attachedSheet(window)) return false;
    if (m_modalStack.empty()) return true;
    auto modal = modalWindow();
    if (!modal || modal.get() == &window) return true;
    // A menu (opened from the modal window) tracks above it.
    if (window.level() >= NSPopUpMenuWindowLevel) return true;
    auto parent = sheetParent(window);
    return parent && parent == modal;
}

// ---- Sheets.

void NSApplication::attachSheet(const std::shared_ptr<NSWindow>& sheet,
                                const std::shared_ptr<NSWindow>& parent) {
    if (!sheet || !parent || sheet == parent) return;
    detachSheet(*sheet);
    m_sheets.push_back({sheet, parent});
}

void NSApplication::detachSheet(const NSWindow& sheet) {
    std::erase_if(m_sheets, [&](const SheetLink& link) {
        auto s = link.sheet.lock();
        return !s || s.get() == &sheet || link.parent.expired();
    });
}

std::shared_ptr<NSWindow> NSApplication::attachedSheet(const NSWindow& parent) const {
    for (auto& link : m_sheets)
        if (auto p = link.parent.lock(); p && p.get() == &parent) return link.sheet.lock();
    return nullptr;
}

std::shared_ptr<NSWindow> NSApplication::sheetParent(const NSWindow& sheet) const {
    for (auto& link : m_sheets)
        if (auto s = link.sheet.lock(); s && s.get() == &sheet) return link.parent.lock();
    return nullptr;
}

} // namespace appkit
