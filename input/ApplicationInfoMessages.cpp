#include "input/ApplicationInfoMessages.h"

#include "foundation/DataAdditions.h"
#include "net/QNNetSocketProtocol.h"
#include "platform/appkit/NSImage.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/imageio/ImageIO.h"

#include <algorithm>
#include <cerrno>

namespace input {

namespace {

Bytes pngOf(const cg::CGImageRef& image) {
    if (!image) return {};
    auto data = std::make_shared<std::vector<uint8_t>>();
    auto destination = imageio::CGImageDestinationCreateWithData(data, imageio::kUTTypePNG, 1, nullptr);
    if (!destination) return {};
    imageio::CGImageDestinationAddImage(destination, image, nullptr);
    if (!imageio::CGImageDestinationFinalize(destination)) return {};
    return *data;
}

} // namespace

ApplicationInfoMessages::ApplicationInfoMessages(ApplicationInfoSessionLink& session,
                                                 std::shared_ptr<QNBApplicationMonitor> monitor)
    : m_session(session), m_monitor(std::move(monitor)) {}

bool ApplicationInfoMessages::send(const Bytes& bytes) {
    const auto socket = m_session.clientSocket();
    return socket && socket->sendBytes(bytes.data(), bytes.size());
}

// ---- TCP messages.

bool ApplicationInfoMessages::serializeAndSendAppInfoForApp(const QNBApplicationState& state) {
    const Bytes name = applicationNameBytes(state.name);
    Bytes icon;
    if (state.icon)
        icon = state.icon->TIFFRepresentationUsingCompression(appkit::NSTIFFCompressionLZW, 0.0)
                   .value_or(Bytes{});
    const foundation::Data md5 = foundation::dataWithMD5OfData(icon);
    const bool known = m_monitor->knowsIcon(foundation::hexString(md5));
    QNApplicationInfoMsg header;
    header.pid = state.applicationID;
    header.nameLength = static_cast<uint32_t>(name.size());
    std::copy(md5.begin(), md5.end(), header.iconMD5.begin());
    header.iconLength = known ? 0 : static_cast<uint32_t>(icon.size());
    const auto socket = m_session.clientSocket();
    if (!socket) return false;
    std::lock_guard lock(*socket);
    bool sent = send(header.encode());
    if (sent) sent = send(name);
    if (sent && header.iconLength != 0) sent = send(icon);
    return sent;
}

bool ApplicationInfoMessages::serializeAndSendWindow(const QNBApplicationWindow& window) {
    QNApplicationThumbMsg header;
    header.pid = window.applicationID;
    header.windowID = window.windowID;
    header.placement = windowPlacement(window.bounds, m_session.displayOrigin());
    header.desktopNumber = static_cast<uint16_t>(window.desktopNumber);
    header.zOrder = window.windowZOrder;
    const Bytes png = pngOf(window.thumbnail);
    header.pngLength = static_cast<uint32_t>(png.size());
    const auto socket = m_session.clientSocket();
    if (!socket) return false;
    std::lock_guard lock(*socket);
    if (!send(header.encode())) {
        platform::log("Window update failed to send %ld bytes of QNApplicationThumbMsg - errno %d",
                      long(QNApplicationThumbMsg::kSize), errno);
        return false;
    }
    if (!send(png)) {
        platform::log(
            "Window update failed to send %ld bytes of image data in QNApplicationThumbMsg - errno %d",
            long(png.size()), errno);
        return false;
    }
    return true;
}

Bytes ApplicationInfoMessages::newDataFromSerializedMenu(const QNBApplicationMenu& menu) const {
    QNMenuRecord record;
    record.pid = menu.applicationID;
    record.elementHandle = menu.elementHandle;
    record.flags = uint16_t(
        (menu.enabled ? QNMenuRecord::kEnabled : 0) | (menu.appTopMenu ? QNMenuRecord::kAppTopMenu : 0) |
        (menu.hasSubMenus ? QNMenuRecord::kHasSubMenus : 0) | (menu.checked ? QNMenuRecord::kChecked : 0));
    record.position = menu.position;
    record.size = menu.size;
    record.ordinal = menu.ordinal;
    if (auto parent = menu.parentMenu.lock()) record.parentHandle = parent->elementHandle;
    record.cmdChar = menu.cmdChar;
    record.title = menu.title;
    return record.encode();
}

void ApplicationInfoMessages::produceSetOfFlatMenus(std::map<uint64_t, QNBApplicationMenuRef>& set,
                                                    const QNBApplicationMenuRef& top) {
    if (!top) return;
    set.emplace(top->elementHandle, top);
    for (const QNBApplicationMenuRef& child : top->submenus)
        produceSetOfFlatMenus(set, child);
}

bool ApplicationInfoMessages::sendNewApplicationInfoUsingAppIDList(const std::vector<uint64_t>& pids) {
    std::vector<QNBApplicationStateRef> states;
    {
        std::lock_guard lock(m_monitor->lock());
        for (uint64_t pid : pids)
            if (auto state = m_monitor->applicationStateForPID(pid)) states.push_back(state->copy());
    }
    const auto socket = m_session.clientSocket();
    if (!socket) return false;
    std::lock_guard lock(*socket);
    if (!send(QNNewApplicationsMsg(static_cast<uint32_t>(states.size())).encode())) return false;
    for (const QNBApplicationStateRef& state : states) {
        if (!serializeAndSendAppInfoForApp(*state)) {
            platform::log("AppInfo update failed");
            return false;
        }
    }
    return true;
}

// The snapshot and the menus answer whether their writes went out, not a constant YES: a failed
// write reported as sent would let the update go on writing after a lost message and tell the
// screen update it had gone out whole.
bool ApplicationInfoMessages::sendWindowStateSnapshot(const std::vector<QNBApplicationWindowRef>& windows) {
    const cg::CGPoint origin = m_session.displayOrigin();
    Bytes records;
    {
        std::lock_guard lock(m_monitor->lock()); // the records are shared with the monitor
        for (const QNBApplicationWindowRef& window : windows)
            QNWindowRecord{window->applicationID, window->windowID, windowPlacement(window->bounds, origin),
                           static_cast<uint16_t>(window->desktopNumber), window->windowZOrder}
                .appendTo(records);
    }
    const auto socket = m_session.clientSocket();
    if (!socket) return false;
    std::lock_guard lock(*socket);
    if (!send(QNWindowSnapshotMsg(static_cast<uint32_t>(windows.size())).encode())) return false;
    return windows.empty() || send(records);
}

bool ApplicationInfoMessages::sendWindowUpdates() {
    size_t sent = 0;
    for (const QNBApplicationWindowRef& window : m_monitor->applicationWindows()) {
        QNBApplicationWindowRef copy;
        {
            std::lock_guard lock(m_monitor->lock());
            if (!window->freshThumbnail) continue;
            window->freshThumbnail = false;
            copy = window->copy();
        }
        if (!serializeAndSendWindow(*copy)) {
            platform::log("Application Window update failed");
            return false;
        }
        if (++sent == 3) return true;
    }
    return true;
}

bool ApplicationInfoMessages::sendMenus() {
    Bytes records;
    size_t count = 0;
    {
        std::lock_guard lock(m_monitor->lock());
        std::map<uint64_t, QNBApplicationMenuRef> set;
        for (uint64_t pid : m_monitor->discoveredApplications())
            if (auto state = m_monitor->applicationStateForPID(pid); state && state->topMenu())
                produceSetOfFlatMenus(set, state->topMenu());
        for (const auto& [handle, menu] : set) {
            const Bytes one = newDataFromSerializedMenu(*menu);
            records.insert(records.end(), one.begin(), one.end());
        }
        count = set.size();
    }
    if (count == 0) return true;
    const auto socket = m_session.clientSocket();
    if (!socket) return false;
    std::lock_guard lock(*socket);
    const bool head = send(QNApplicationMenusMsg(uint32_t(count), uint32_t(records.size())).encode());
    return head && send(records);
}

bool ApplicationInfoMessages::sendApplicationUpdate() {
    std::vector<uint64_t> discovered;
    std::vector<QNBApplicationWindowRef> windows;
    std::vector<QNBApplicationStateRef> states;
    {
        std::lock_guard lock(m_monitor->lock());
        discovered = m_monitor->discoveredApplications();
        windows = m_monitor->applicationWindows();
        states = m_monitor->applicationStates();
    }
    if (!sendNewApplicationInfoUsingAppIDList(discovered)) return false;
    m_monitor->updateWindowsFromAppStates(states, false, false);
    if (!sendWindowStateSnapshot(windows)) return false;
    if (!sendWindowUpdates()) return false;
    return sendMenus();
}

// ---- The screen update's part.

bool ApplicationInfoMessages::sendApplicationRecords() {
    if (m_monitor->hasApplicationInfoToSend()) {
        const bool sent = sendApplicationUpdate();
        m_monitor->ackPoll();
        return sent;
    }
    bool sent = false;
    {
        std::lock_guard lock(m_monitor->lock());
        m_monitor->updateWindowsFromAppStates(m_monitor->applicationStates(), false, false);
        sent = sendWindowStateSnapshot(m_monitor->applicationWindows());
    }
    const double now = platform::wallNow();
    if (now - m_lastThumbnailPass > kThumbnailPassInterval) {
        sent = sendWindowUpdates() && sent;
        m_lastThumbnailPass = now;
    }
    return sent;
}

// ---- Sideband datagrams.

void ApplicationInfoMessages::sendSidebandDatagram(const Bytes& datagram) {
    const uint16_t port = m_session.clientSidebandPort();
    m_session.lockSession();
    struct Unlock {
        ApplicationInfoSessionLink& session;
        ~Unlock() { session.unlockSession(); }
    } unlock{m_session};
    const auto socket = m_session.sidebandSocket();
    if (!socket) return;
    if (!socket->sendDatagram(datagram.data(), datagram.size(), socket.get(), port))
        platform::log("The sideband refused a menu datagram of %zu bytes (at most %zu go in one)",
                      datagram.size(), kMaxDatagram);
}

void ApplicationInfoMessages::transmitLowerMenu(const QNBApplicationMenuRef& menu) {
    if (!menu) return;
    Bytes datagram;
    {
        // The record is the monitor's: a poll or sendMenus may be walking it.
        std::lock_guard lock(m_monitor->lock());
        menu->submenus.clear();
        QNBApplicationMenuRef slot;
        m_monitor->continueMenu(menu->element, menu, menu->ordinal + 1, menu->ordinal + 1, slot);
        m_monitor->storeAppleMenuIfNone(slot);
        Bytes records;
        for (const QNBApplicationMenuRef& child : menu->submenus) {
            const Bytes one = newDataFromSerializedMenu(*child);
            records.insert(records.end(), one.begin(), one.end());
        }
        datagram = QNSidebandMenuMsg(menu->elementHandle, menu->applicationID, records);
    }
    sendSidebandDatagram(datagram);
}

void ApplicationInfoMessages::sendTopMenuForApplication(uint64_t pid) {
    Bytes datagram;
    {
        std::lock_guard lock(m_monitor->lock());
        QNBApplicationMenuRef top;
        if (auto state = m_monitor->applicationStateForPID(pid)) {
            m_monitor->refreshApplicationTopMenuForApplication(*state);
            top = state->topMenu();
        }
        Bytes records = newDataFromSerializedMenu(top ? *top : *QNBApplicationMenu::init());
        if (top)
            for (const QNBApplicationMenuRef& child : top->submenus) {
                const Bytes one = newDataFromSerializedMenu(*child);
                records.insert(records.end(), one.begin(), one.end());
            }
        datagram = QNSidebandMenuMsg(top ? top->elementHandle : 0, pid, records);
    }
    sendSidebandDatagram(datagram);
}

void ApplicationInfoMessages::sendActiveApplication(int32_t pid) {
    const auto socket = m_session.clientSocket();
    if (!socket || !socket->isConnected()) return;
    sendSidebandDatagram(QNActiveApplicationMsg(pid));
    sendTopMenuForApplication(static_cast<uint64_t>(static_cast<int64_t>(pid)));
}

// ---- The device's requests. Their numbers are only compared, never made into elements.

void ApplicationInfoMessages::menuRequestDatagramReceived(std::span<const uint8_t> data) {
    const auto request = QNMenuRequestMsgFromDatagram(data);
    if (!request) return;
    const QNBApplicationMenuRef menu = m_monitor->menuForElementID(request->elementHandle, request->pid);
    if (!menu) return;
    if (menu->hasSubMenus)
        transmitLowerMenu(menu);
    else
        menu->executeMenuOption();
}

void ApplicationInfoMessages::windowRequestDatagramReceived(std::span<const uint8_t> data) {
    const auto request = QNWindowRequestMsgFromDatagram(data);
    if (!request) return;
    m_session.removeScreenSaver();
    const auto source = m_monitor->runningApplicationSource();
    if (!source) return;
    const auto applications = source->runningApplicationsWithoutIcons();
    const auto running =
        std::find_if(applications.begin(), applications.end(), [&](const RunningApplicationInfo& a) {
            return a.pid > 0 && static_cast<uint32_t>(a.pid) == request->pid;
        });
    if (running == applications.end()) return;
    // Each call may wait for an application that does not answer: the first such answer ends
    // the request, so one silent application cannot hold the session's input for long.
    const auto application = ax::AXUIElementCreateApplication(running->pid);
    if (ax::AXUIElementSetAttributeValue(application, ax::kAXFrontmostAttribute, cf::Value(true)) ==
        ax::kAXErrorCannotComplete)
        return;
    const QNBApplicationWindowRef target = m_monitor->copyWindowForWID(request->windowID);
    const cg::CGRect bounds = target ? target->bounds : cg::CGRectZero;
    ax::AXAttributeValue value;
    if (ax::AXUIElementCopyAttributeValues(application, ax::kAXWindowsAttribute, 0, 99999, &value) ==
        ax::kAXErrorCannotComplete)
        return;
    const auto* windows = std::get_if<std::vector<ax::AXUIElementRef>>(&value);
    for (size_t i = 0; windows && i < windows->size(); ++i) {
        const ax::AXUIElementRef& window = (*windows)[i];
        ax::AXAttributeValue position, size;
        if (ax::AXUIElementCopyAttributeValue(window, ax::kAXPositionAttribute, &position) ==
                ax::kAXErrorCannotComplete ||
            ax::AXUIElementCopyAttributeValue(window, ax::kAXSizeAttribute, &size) ==
                ax::kAXErrorCannotComplete)
            return;
        cg::CGRect rect{};
        const auto* p = std::get_if<ax::AXValueRef>(&position);
        const auto* s = std::get_if<ax::AXValueRef>(&size);
        if (!p || !s || !ax::AXValueGetValue(*p, ax::kAXValueCGPointType, &rect.origin) ||
            !ax::AXValueGetValue(*s, ax::kAXValueCGSizeType, &rect.size))
            continue;
        if (cg::CGRectEqualToRect(rect, bounds)) {
            ax::AXUIElementSetAttributeValue(window, ax::kAXMainAttribute, cf::Value(true));
            return;
        }
    }
}

} // namespace input
