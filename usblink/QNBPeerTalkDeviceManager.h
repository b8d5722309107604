// The process-wide record of client devices attached by USB: follows the hub's attach, detach
// and reset notifications, tells its delegate, and makes device channels.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "usblink/PTUSBHub.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace usblink {

class QNBPeerTalkChannel;
class QNBPeerTalkChannelDelegate;

inline constexpr char QNBPeerTalkDeviceManagerErrorDomain[] = "QNBPeerTalkDeviceManagerErrorDomain";

class QNBPeerTalkDeviceManagerDelegate {
  public:
    virtual ~QNBPeerTalkDeviceManagerDelegate() = default;
    virtual void peerTalkDeviceConnected(int64_t deviceID, const cf::Value& properties) = 0;
    virtual void peerTalkDeviceDisconnected(int64_t deviceID) = 0;
};

class QNBPeerTalkDeviceManager : public std::enable_shared_from_this<QNBPeerTalkDeviceManager> {
  public:
    using HubProvider = std::function<std::shared_ptr<PTUSBHub>()>;
    // After a usbmuxd reset the manager listens again this much later.
    static constexpr double kRestartDelay = 5.0;

    // The process's manager, made and started on first use, over the shared hub.
    static std::shared_ptr<QNBPeerTalkDeviceManager> peerTalkManager();
    // Makes the process's manager from a given one (tests); only before the first use.
    static void setPeerTalkManager(std::shared_ptr<QNBPeerTalkDeviceManager> manager);
    // A manager over the hub the provider gives (asked anew after each reset); not started.
    static std::shared_ptr<QNBPeerTalkDeviceManager> create(HubProvider hubProvider = &PTUSBHub::sharedHub);
    ~QNBPeerTalkDeviceManager();

    void startListeningForDevices();
    std::shared_ptr<QNBPeerTalkChannel>
    createChannelForDeviceWithID(int64_t deviceID, int port,
                                 std::weak_ptr<QNBPeerTalkChannelDelegate> delegate);
    std::shared_ptr<QNBPeerTalkChannel>
    createChannelWithPort(int port, std::weak_ptr<QNBPeerTalkChannelDelegate> delegate);

    std::vector<int64_t> deviceIDs() const;
    bool hasDeviceID(int64_t deviceID) const;
    void addDeviceID(int64_t deviceID);
    void removeDeviceID(int64_t deviceID);
    std::optional<cf::Value> propertiesForDevice(int64_t deviceID) const;

    std::shared_ptr<QNBPeerTalkDeviceManagerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<QNBPeerTalkDeviceManagerDelegate> delegate);
    // The hub device channels connect through: the one being listened to, or after a usbmuxd
    // reset, until listening starts again, the provider's new one.
    std::shared_ptr<PTUSBHub> hub() const;

  private:
    explicit QNBPeerTalkDeviceManager(HubProvider hubProvider) : m_hubProvider(std::move(hubProvider)) {}
    void attached(const ns::NSNotification& notification);
    void detached(const ns::NSNotification& notification);
    void reset();
    void stopObserving();

    const HubProvider m_hubProvider;
    mutable std::mutex m_mutex; // the device list's lock: the list is read from other threads
    std::vector<int64_t> m_mutableDeviceIDs;
    std::map<int64_t, cf::Value> m_deviceProperties;
    std::weak_ptr<QNBPeerTalkDeviceManagerDelegate> m_delegate;
    std::shared_ptr<PTUSBHub> m_hub;
    bool m_hubWasReset = false;
    std::vector<ns::NSNotificationCenter::ObserverToken> m_observers;
};

} // namespace usblink
