// The process-wide listener for the window server's display events. It tells its delegate (the
// mediator) about every reconfiguration of a display bearing the virtual display name, fans the
// window server's changed rectangles out to the registered refresh listeners, runs the
// reconfiguration callback under the framebuffer lock its delegate lends, and keeps the
// bookkeeping of the display of interest: optional local notifications and a record of the
// windows on that display that can be moved back onto it.
#pragma once

#include "display/QNBScreen.h"
#include "platform/applicationservices/AXUIElement.h"
#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGGeometry.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace display {

// Display change flags of the reconfiguration callback.
inline constexpr uint32_t kCGDisplayBeginConfigurationFlag = 0x1;
inline constexpr uint32_t kCGDisplayMovedFlag = 0x2;
inline constexpr uint32_t kCGDisplaySetMainFlag = 0x4;
inline constexpr uint32_t kCGDisplaySetModeFlag = 0x8;
inline constexpr uint32_t kCGDisplayAddFlag = 0x10;
inline constexpr uint32_t kCGDisplayRemoveFlag = 0x20;
inline constexpr uint32_t kCGDisplayEnabledFlag = 0x100;
inline constexpr uint32_t kCGDisplayDisabledFlag = 0x200;
inline constexpr uint32_t kCGDisplayMirrorFlag = 0x400;
inline constexpr uint32_t kCGDisplayUnMirrorFlag = 0x800;
inline constexpr uint32_t kCGDisplayDesktopShapeChangedFlag = 0x1000;

// Local notifications, posted on the main thread while notifications are on.
inline constexpr char TSEDisplayWasAddedNotification[] = "TSEDisplayWasAddedNotification";
inline constexpr char TSEDisplayWasRemovedNotification[] = "TSEDisplayWasRemovedNotification";
inline constexpr char TSEDisplayOfInterestWasAddedNotification[] = "TSEDisplayOfInterestWasAddedNotification";
inline constexpr char TSEDisplayOfInterestWasRemovedNotification[] =
    "TSEDisplayOfInterestWasRemovedNotification";
inline constexpr char TSEWindowMovedOnDisplayOfInterest[] = "TSEWindowMovedOnDisplayOfInterest";
inline constexpr char TSEWindowMovedOffDisplayOfInterest[] = "TSEWindowMovedOffDisplayOfInterest";
inline constexpr char TSEDesktopShapeChangedNotification[] = "TSEDesktopShapeChangedNotification";
inline constexpr char TSEDisplayConfigurationDisplayNameKey[] = "TSEDisplayConfigurationDisplayNameKey";
inline constexpr char TSEDisplayConfigurationDisplayIDKey[] = "TSEDisplayConfigurationDisplayIDKey";
inline constexpr char TSEDisplayConfigurationWindowIDKey[] = "TSEDisplayConfigurationWindowIDKey";
inline constexpr char TSEDisplayConfigurationFlagsKey[] = "TSEDisplayConfigurationFlagsKey";

// A receiver of the window server's changed rectangles (global display points, valid during the
// call only). Called under the configuration's refresh lock.
class QNBDisplayRefreshProtocol {
  public:
    virtual ~QNBDisplayRefreshProtocol() = default;
    virtual void screenRefreshed(uint32_t count, const cg::CGRect* rectArray) = 0;
    // Optional: a listener answers to feedQueuedRefreshes when this is true; it is then called
    // before screenRefreshed.
    virtual bool respondsToFeedQueuedRefreshes() const { return false; }
    virtual void feedQueuedRefreshes() {}
    // Optional, never called by the configuration.
    virtual bool respondsToEnqueueRefreshes() const { return false; }
    virtual void enqueueRefreshes(uint32_t /*count*/, const cg::CGRect* /*rectArray*/) {}
};

// The configuration's delegate: the mediator.
class QNBDisplayConfigurationDelegate {
  public:
    virtual ~QNBDisplayConfigurationDelegate() = default;
    virtual void screenReconfigured(uint32_t flags, CGDirectDisplayID display) = 0;
    // The lock the reconfiguration callback runs under; none by default.
    virtual std::shared_ptr<std::recursive_mutex> frameBufferLockObject() { return nullptr; }
};

class QNBDisplayConfiguration : public std::enable_shared_from_this<QNBDisplayConfiguration> {
  public:
    // The single instance, made once.
    static std::shared_ptr<QNBDisplayConfiguration> displayConfigurationManager();
    // Held around every delivery of refresh rectangles; recursive, so a listener may register
    // or unregister from inside the callback.
    static std::recursive_mutex& screenRefreshLock();

    QNBDisplayConfiguration();
    ~QNBDisplayConfiguration();
    QNBDisplayConfiguration(const QNBDisplayConfiguration&) = delete;
    QNBDisplayConfiguration& operator=(const QNBDisplayConfiguration&) = delete;

    // Registers the reconfiguration callback; on success follows displays named name.
    bool startListeningForDevice(const std::string& name);
    void stopListening();

    // Re-registers the refresh callback and adds the listener (held weakly).
    void registerScreenRefreshListener(const std::shared_ptr<QNBDisplayRefreshProtocol>& listener);
    // Removes the listener; the last one leaving unregisters the callback. Null does nothing
    // but that check. Safe from the listener's destructor.
    void unregisterScreenRefreshListener(const QNBDisplayRefreshProtocol* listener);
    bool registerScreenRefreshCallback();
    void unregisterScreenRefreshCallback();
    void updateScreenRefreshCallback();

    std::shared_ptr<std::recursive_mutex> frameBufferLockObject();

    void displayOfInterestAdded();
    void displayOfInterestRemoved();
    void displayAdded(CGDirectDisplayID display);
    void displayRemoved(CGDirectDisplayID display);
    void desktopShapeChangedForDisplayID(CGDirectDisplayID display, uint32_t flags);
    void windowMovedOnDisplayOfInterest(uint32_t windowID);
    void windowMovedOffDisplayOfInterest(uint32_t windowID);

    // Records the windows on the display of interest; moves them back there (main thread).
    void getWindowsOfInterest();
    void moveWindowsOfInterestBack();
    // The accessibility window whose title and bounds match the window-list entry's name and
    // the window's current bounds; null when none does.
    static ax::AXUIElementRef findMatchingWindowRefInArray(const std::vector<ax::AXUIElementRef>& windows,
                                                           const cf::Value& windowEntry);
    // Sets the window's position attribute to the point (CG global).
    static void moveAXWindow(const ax::AXUIElementRef& window, cg::CGPoint point);
    // A copy of the window server's current dictionary of the window, or nothing.
    static std::optional<cf::Value> windowDescriptionForWindowID(uint32_t windowID);

    std::shared_ptr<QNBDisplayConfigurationDelegate> delegate() const;
    void setDelegate(std::weak_ptr<QNBDisplayConfigurationDelegate> delegate);
    bool registeredForReconfigurationCallback() const { return mRegisteredForReconfigurationCallback.load(); }
    void setRegisteredForReconfigurationCallback(bool registered) {
        mRegisteredForReconfigurationCallback = registered;
    }
    std::optional<std::string> displayNameOfInterest() const;
    void setDisplayNameOfInterest(std::optional<std::string> name);
    CGDirectDisplayID displayIDOfInterest() const { return mDisplayIDOfInterest.load(); }
    void setDisplayIDOfInterest(CGDirectDisplayID display) { mDisplayIDOfInterest = display; }
    cg::CGRect displayOfInterestBounds() const;
    void setDisplayOfInterestBounds(cg::CGRect bounds);
    bool sendNotifications() const { return mSendNotifications.load(); }
    void setSendNotifications(bool send) { mSendNotifications = send; }
    std::vector<cf::Value> windowsOfInterest() const;
    void setWindowsOfInterest(std::vector<cf::Value> windows);
    std::set<uint32_t> windowsOfInterestWindowIDs() const;
    void setWindowsOfInterestWindowIDs(std::set<uint32_t> windowIDs);
    bool windowsOfInterestSupport() const { return mWindowsOfInterestSupport.load(); }
    void setWindowsOfInterestSupport(bool support) { mWindowsOfInterestSupport = support; }
    bool movingWindowsOfInterest() const { return mMovingWindowsOfInterest.load(); }
    void setMovingWindowsOfInterest(bool moving) { mMovingWindowsOfInterest = moving; }
    bool registeredForRefresh() const { return _registeredForRefresh.load(); }
    void setRegisteredForRefresh(bool registered) { _registeredForRefresh = registered; }
    // The live listeners.
    std::vector<std::shared_ptr<QNBDisplayRefreshProtocol>> registeredDisplays() const;

    // The window server's callbacks; context is the configuration.
    static void QNBDisplayReconfigurationCallBack(CGDirectDisplayID display, uint32_t flags, void* context);
    static void QNBDisplayScreenRefreshCallback(uint32_t count, const cg::CGRect* rectArray, void* context);

  private:
    void postNotification(const char* name, std::optional<cf::Value> userInfo);
    cf::Value interestUserInfo() const;

    std::weak_ptr<QNBDisplayConfigurationDelegate> mDelegate;
    std::atomic<bool> mRegisteredForReconfigurationCallback{false};
    mutable std::mutex m_stateLock; // guards the name, bounds and window records
    std::optional<std::string> mDisplayNameOfInterest;
    std::atomic<CGDirectDisplayID> mDisplayIDOfInterest{0};
    cg::CGRect mDisplayOfInterestBounds;
    std::atomic<bool> mSendNotifications{false};
    std::vector<cf::Value> mWindowsOfInterest;
    std::set<uint32_t> mWindowsOfInterestWindowIDs;
    std::atomic<bool> mWindowsOfInterestSupport{false};
    std::atomic<bool> mMovingWindowsOfInterest{false};
    std::atomic<bool> _registeredForRefresh{false};
    mutable std::mutex m_listenersLock; // the set's lock
    std::vector<std::weak_ptr<QNBDisplayRefreshProtocol>> _registeredDisplays;
    std::vector<const QNBDisplayRefreshProtocol*> _registeredDisplayKeys; // identity of each entry
};

// "DisplayChangeSummaryFlags: " followed by the name of each flag set, each with a space.
std::string stringFromCGDisplayChangeSummaryFlags(uint32_t flags);
// The "IODisplayConnect" service whose vendor, product and serial match the display; 0 when
// none. The caller releases it.
uint32_t IOServicePortFromCGDisplayID(CGDirectDisplayID display);
// The "en_US" product name of the display's service, else "unknown".
std::string screenNameForDisplay(const std::optional<cf::Value>& displayID);
// The display's first product name, else "Unknown Display (%p)".
std::string displayNameStringWithCGDirectDisplayID(CGDirectDisplayID display);

// Checked array access: nothing for an index at or beyond the count.
template <typename T> std::optional<T> checkedObjectAtIndex(const std::vector<T>& array, size_t index) {
    if (index >= array.size()) return std::nullopt;
    return array[index];
}
template <typename T> void checkedReplaceObjectAtIndex(std::vector<T>& array, size_t index, T object) {
    if (index < array.size()) array[index] = std::move(object);
}

} // namespace display
