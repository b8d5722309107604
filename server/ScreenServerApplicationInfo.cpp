// The session's side of application sharing: its link for the application messages, the
// frame-answer steps that poll the monitor and send the messages between the brackets, the
// icon hashes of the handshake, and the device's window and menu requests.
#include "server/BaseLimnerAppDelegate.h"
#include "server/ScreenServer.h"

#include "platform/core/Log.h"

namespace server {

namespace {

class SessionLink final : public input::ApplicationInfoSessionLink {
  public:
    explicit SessionLink(ScreenServer& session) : m_session(session) {}
    Socket clientSocket() const override { return m_session.clientSocket(); }
    Socket sidebandSocket() const override { return m_session.sidebandSocket(); }
    void lockSession() override { m_session.lock(); }
    void unlockSession() override { m_session.unlock(); }
    cg::CGPoint displayOrigin() const override {
        const auto set = m_session.screen();
        return set ? set->scaleCorrectedDisplayBounds().origin : cg::CGPoint{0, 0};
    }
    uint16_t clientSidebandPort() const override {
        auto delegate = BaseLimnerAppDelegate::appDelegate();
        return delegate ? delegate->clientSidebandPort() : 0;
    }
    void removeScreenSaver() override {
        if (auto delegate = BaseLimnerAppDelegate::appDelegate()) delegate->removeScreenSaver();
    }

  private:
    ScreenServer& m_session;
};

// Polls the monitor (on the screen update's background queue) and sends the application
// messages between the screen update's brackets.
class ApplicationFrameAnswerSteps final : public ScreenServer::FrameAnswerSteps {
  public:
    ApplicationFrameAnswerSteps(std::shared_ptr<input::QNBApplicationMonitor> monitor,
                                input::ApplicationInfoMessages& messages)
        : m_monitor(std::move(monitor)), m_messages(messages) {}
    void pollApplicationMonitor() override { m_monitor->poll(); }
    bool sendApplicationRecords(const ScreenServer::Socket&) override {
        return m_messages.sendApplicationRecords();
    }

  private:
    std::shared_ptr<input::QNBApplicationMonitor> m_monitor;
    input::ApplicationInfoMessages& m_messages;
};

} // namespace

void ScreenServer::setUpApplicationSharing() {
    m_applicationLink = std::make_unique<SessionLink>(*this);
    auto shared = input::QNBApplicationMonitor::sharedMonitor();
    m_applicationInfo = std::make_unique<input::ApplicationInfoMessages>(*m_applicationLink, shared);
    auto delegate = BaseLimnerAppDelegate::appDelegate();
    if (!delegate || !delegate->supportsAppInfo()) return;
    m_applicationMonitor = shared;
    m_frameAnswerSteps = std::make_shared<ApplicationFrameAnswerSteps>(shared, *m_applicationInfo);
}

std::shared_ptr<ScreenServer::FrameAnswerSteps> ScreenServer::frameAnswerSteps() const {
    std::lock_guard lock(m_sessionLock);
    return m_frameAnswerSteps;
}

void ScreenServer::cacheIconHashes(const std::vector<std::array<uint8_t, 16>>& hashes) {
    if (hashes.empty()) return;
    auto monitor = input::QNBApplicationMonitor::sharedMonitor();
    size_t refused = 0;
    for (const auto& hash : hashes)
        if (!monitor->cacheHash(std::vector<uint8_t>(hash.begin(), hash.end()))) ++refused;
    if (refused)
        platform::log(
            "%@: the table of known icons is full (%zu entries): %zu icon hashes of the handshake were "
            "not recorded",
            description(), input::QNBApplicationMonitor::kMaxKnownIcons, refused);
}

bool ScreenServer::serializeAndSendAppInfoForApp(const input::QNBApplicationState& state) {
    return m_applicationInfo->serializeAndSendAppInfoForApp(state);
}

bool ScreenServer::serializeAndSendWindow(const input::QNBApplicationWindow& window) {
    return m_applicationInfo->serializeAndSendWindow(window);
}

input::Bytes ScreenServer::newDataFromSerializedMenu(const input::QNBApplicationMenu& menu) {
    return m_applicationInfo->newDataFromSerializedMenu(menu);
}

void ScreenServer::produceSetOfFlatMenus(std::map<uint64_t, input::QNBApplicationMenuRef>& set,
                                         const input::QNBApplicationMenuRef& top) {
    input::ApplicationInfoMessages::produceSetOfFlatMenus(set, top);
}

bool ScreenServer::sendNewApplicationInfoUsingAppIDList(const std::vector<uint64_t>& pids) {
    return m_applicationInfo->sendNewApplicationInfoUsingAppIDList(pids);
}

bool ScreenServer::sendWindowStateSnapshot(const std::vector<input::QNBApplicationWindowRef>& windows) {
    return m_applicationInfo->sendWindowStateSnapshot(windows);
}

bool ScreenServer::sendWindowUpdates() {
    return m_applicationInfo->sendWindowUpdates();
}

bool ScreenServer::sendMenus() {
    return m_applicationInfo->sendMenus();
}

bool ScreenServer::sendApplicationUpdate() {
    return m_applicationInfo->sendApplicationUpdate();
}

void ScreenServer::transmitLowerMenu(const input::QNBApplicationMenuRef& menu) {
    m_applicationInfo->transmitLowerMenu(menu);
}

void ScreenServer::sendTopMenuForApplication(uint64_t pid) {
    m_applicationInfo->sendTopMenuForApplication(pid);
}

void ScreenServer::sendActiveApplication(int32_t pid) {
    m_applicationInfo->sendActiveApplication(pid);
}

void ScreenServer::windowRequestDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) {
    m_applicationInfo->windowRequestDatagramReceived(data);
}

void ScreenServer::menuRequestDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) {
    m_applicationInfo->menuRequestDatagramReceived(data);
}

} // namespace server
