#include "usblink/QNBPeerTalkDeviceManager.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "usblink/QNBPeerTalkChannel.h"

#include <algorithm>

namespace usblink {

namespace {

std::mutex& managerMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<QNBPeerTalkDeviceManager>& managerInstance() {
    // Never destroyed: its teardown would otherwise run after the logging facade's at exit.
    static auto* manager = new std::shared_ptr<QNBPeerTalkDeviceManager>();
    return *manager;
}

std::optional<int64_t> deviceIDOf(const ns::NSNotification& notification) {
    const cf::Value* id = notification.userInfo ? notification.userInfo->find("DeviceID") : nullptr;
    return id ? id->storedInteger() : std::nullopt;
}

} // namespace

std::shared_ptr<QNBPeerTalkDeviceManager> QNBPeerTalkDeviceManager::peerTalkManager() {
    std::shared_ptr<QNBPeerTalkDeviceManager> made;
    {
        std::lock_guard lock(managerMutex());
        if (managerInstance()) return managerInstance();
        made = create();
        managerInstance() = made;
    }
    made->startListeningForDevices();
    return made;
}

void QNBPeerTalkDeviceManager::setPeerTalkManager(std::shared_ptr<QNBPeerTalkDeviceManager> manager) {
    std::lock_guard lock(managerMutex());
    managerInstance() = std::move(manager);
}

std::shared_ptr<QNBPeerTalkDeviceManager> QNBPeerTalkDeviceManager::create(HubProvider hubProvider) {
    return std::shared_ptr<QNBPeerTalkDeviceManager>(new QNBPeerTalkDeviceManager(std::move(hubProvider)));
}

QNBPeerTalkDeviceManager::~QNBPeerTalkDeviceManager() {
    stopObserving();
}

void QNBPeerTalkDeviceManager::startListeningForDevices() {
    auto& center = ns::NSNotificationCenter::defaultCenter();
    std::weak_ptr<QNBPeerTalkDeviceManager> weak = shared_from_this();
    std::shared_ptr<PTUSBHub> hub = m_hubProvider ? m_hubProvider() : nullptr;
    std::vector<ns::NSNotificationCenter::ObserverToken> tokens;
    tokens.push_back(center.addObserverForName(PTUSBDeviceDidResetNotification, nullptr, [weak](const auto&) {
        if (auto s = weak.lock()) s->reset();
    }));
    if (hub) {
        tokens.push_back(
            center.addObserverForName(PTUSBDeviceDidAttachNotification, hub.get(), [weak](const auto& n) {
                if (auto s = weak.lock()) s->attached(n);
            }));
        tokens.push_back(
            center.addObserverForName(PTUSBDeviceDidDetachNotification, hub.get(), [weak](const auto& n) {
                if (auto s = weak.lock()) s->detached(n);
            }));
    }
    std::lock_guard lock(m_mutex);
    m_hub = hub;
    m_hubWasReset = false;
    m_observers = std::move(tokens);
}

void QNBPeerTalkDeviceManager::stopObserving() {
    std::vector<ns::NSNotificationCenter::ObserverToken> tokens;
    {
        std::lock_guard lock(m_mutex);
        tokens = std::move(m_observers);
        m_observers.clear();
    }
    for (const auto& token : tokens)
        ns::NSNotificationCenter::defaultCenter().removeObserver(token);
}

void QNBPeerTalkDeviceManager::attached(const ns::NSNotification& notification) {
    auto id = deviceIDOf(notification);
    if (!id) return;
    const cf::Value* properties = notification.userInfo->find("Properties");
    cf::Value props = properties && properties->isDictionary() ? *properties : cf::Value::emptyDictionary();
    {
        std::lock_guard lock(m_mutex);
        if (std::find(m_mutableDeviceIDs.begin(), m_mutableDeviceIDs.end(), *id) != m_mutableDeviceIDs.end())
            return;
        m_mutableDeviceIDs.push_back(*id);
        m_deviceProperties.insert_or_assign(*id, props);
    }
    if (auto d = delegate()) d->peerTalkDeviceConnected(*id, props);
}

void QNBPeerTalkDeviceManager::detached(const ns::NSNotification& notification) {
    auto id = deviceIDOf(notification);
    if (!id) return;
    {
        std::lock_guard lock(m_mutex);
        auto it = std::find(m_mutableDeviceIDs.begin(), m_mutableDeviceIDs.end(), *id);
        if (it == m_mutableDeviceIDs.end()) return;
        m_mutableDeviceIDs.erase(it);
    }
    if (auto d = delegate()) d->peerTalkDeviceDisconnected(*id);
}

void QNBPeerTalkDeviceManager::reset() {
    stopObserving();
    {
        std::lock_guard lock(m_mutex);
        m_hub.reset();
        m_hubWasReset = true;
    }
    std::weak_ptr<QNBPeerTalkDeviceManager> weak = shared_from_this();
    dispatch::dispatch_after(
        dispatch::dispatch_time(dispatch::DISPATCH_TIME_NOW,
                                static_cast<int64_t>(kRestartDelay * dispatch::NSEC_PER_SEC)),
        dispatch::dispatch_get_main_queue(), [weak] {
            if (auto s = weak.lock()) s->startListeningForDevices();
        });
}

std::shared_ptr<QNBPeerTalkChannel>
QNBPeerTalkDeviceManager::createChannelForDeviceWithID(int64_t deviceID, int port,
                                                       std::weak_ptr<QNBPeerTalkChannelDelegate> delegate) {
    auto properties = propertiesForDevice(deviceID);
    return QNBPeerTalkChannel::initWithDeviceID(shared_from_this(), deviceID, properties, port,
                                                std::move(delegate));
}

std::shared_ptr<QNBPeerTalkChannel>
QNBPeerTalkDeviceManager::createChannelWithPort(int port,
                                                std::weak_ptr<QNBPeerTalkChannelDelegate> delegate) {
    return QNBPeerTalkChannel::initWithPort(shared_from_this(), port, std::move(delegate));
}

std::vector<int64_t> QNBPeerTalkDeviceManager::deviceIDs() const {
    std::lock_guard lock(m_mutex);
    return m_mutableDeviceIDs;
}

bool QNBPeerTalkDeviceManager::hasDeviceID(int64_t deviceID) const {
    std::lock_guard lock(m_mutex);
    return std::find(m_mutableDeviceIDs.begin(), m_mutableDeviceIDs.end(), deviceID) !=
           m_mutableDeviceIDs.end();
}

void QNBPeerTalkDeviceManager::addDeviceID(int64_t deviceID) {
    std::lock_guard lock(m_mutex);
    if (std::find(m_mutableDeviceIDs.begin(), m_mutableDeviceIDs.end(), deviceID) == m_mutableDeviceIDs.end())
        m_mutableDeviceIDs.push_back(deviceID);
}

void QNBPeerTalkDeviceManager::removeDeviceID(int64_t deviceID) {
    std::lock_guard lock(m_mutex);
    m_mutableDeviceIDs.erase(std::remove(m_mutableDeviceIDs.begin(), m_mutableDeviceIDs.end(), deviceID),
                             m_mutableDeviceIDs.end());
}

std::optional<cf::Value> QNBPeerTalkDeviceManager::propertiesForDevice(int64_t deviceID) const {
    std::lock_guard lock(m_mutex);
    auto it = m_deviceProperties.find(deviceID);
    if (it == m_deviceProperties.end()) return std::nullopt;
    return it->second;
}

std::shared_ptr<QNBPeerTalkDeviceManagerDelegate> QNBPeerTalkDeviceManager::delegate() const {
    std::lock_guard lock(m_mutex);
    return m_delegate.lock();
}

void QNBPeerTalkDeviceManager::setDelegate(std::weak_ptr<QNBPeerTalkDeviceManagerDelegate> delegate) {
    std::lock_guard lock(m_mutex);
    m_delegate = std::move(delegate);
}

std::shared_ptr<PTUSBHub> QNBPeerTalkDeviceManager::hub() const {
    {
        std::lock_guard lock(m_mutex);
        if (!m_hubWasReset) return m_hub;
    }
    // The hub of before the reset has lost usbmuxd; retries in the 5 s before listening starts
    // again go through the new one (the provider makes it on first use).
    return m_hubProvider ? m_hubProvider() : nullptr;
}

} // namespace usblink
