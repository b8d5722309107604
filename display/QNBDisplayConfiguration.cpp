#include "display/QNBDisplayConfiguration.h"

#include "accessibility/AXUIElementUtilities.h"
#include "display/DisplayInformation.h"
#include "foundation/NSNotificationCenterAdditions.h"
#include "platform/applicationservices/AXUIElement.h"
#include "platform/core/Format.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/coregraphics/CGRemoteOperation.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSThread.h"
#include "platform/iokit/IOGraphicsLib.h"
#include "platform/iokit/IOKitLib.h"

#include <algorithm>
#include <array>

namespace display {

namespace {

// Notifications name a display by its ID as an unsigned long.
cf::Value displayIDNumber(CGDirectDisplayID display) {
    return cf::Value::number(cf::kCFNumberSInt64Type, int64_t(display));
}

// The window's bounds in a window-list dictionary; nothing when they cannot be read.
std::optional<cg::CGRect> windowBounds(const cf::Value& window) {
    cg::CGRect bounds;
    if (!cg::CGRectMakeWithDictionaryRepresentation(window.find(cg::kCGWindowBounds), &bounds))
        return std::nullopt;
    return bounds;
}

std::optional<uint32_t> windowNumber(const cf::Value& window) {
    const cf::Value* number = window.find(cg::kCGWindowNumber);
    if (!number || !number->isNumber()) return std::nullopt;
    return uint32_t(number->unsignedIntegerValue());
}

} // namespace

// ---- The instance

std::shared_ptr<QNBDisplayConfiguration> QNBDisplayConfiguration::displayConfigurationManager() {
    // Lives for the process: at exit the window-server facade it would unregister from may be
    // gone already.
    static const auto* manager =
        new std::shared_ptr<QNBDisplayConfiguration>(std::make_shared<QNBDisplayConfiguration>());
    return *manager;
}

std::recursive_mutex& QNBDisplayConfiguration::screenRefreshLock() {
    static std::recursive_mutex* lock = new std::recursive_mutex; // lives for the process
    return *lock;
}

QNBDisplayConfiguration::QNBDisplayConfiguration() = default;

QNBDisplayConfiguration::~QNBDisplayConfiguration() {
    stopListening();
    if (_registeredForRefresh) unregisterScreenRefreshCallback();
}

bool QNBDisplayConfiguration::startListeningForDevice(const std::string& name) {
    if (cg::CGDisplayRegisterReconfigurationCallback(&QNBDisplayReconfigurationCallBack, this) !=
        cg::kCGErrorSuccess)
        return false;
    mRegisteredForReconfigurationCallback = true;
    setDisplayNameOfInterest(name);
    return true;
}

void QNBDisplayConfiguration::stopListening() {
    if (!mRegisteredForReconfigurationCallback) return;
    if (cg::CGDisplayRemoveReconfigurationCallback(&QNBDisplayReconfigurationCallBack, this) !=
        cg::kCGErrorSuccess)
        return;
    mRegisteredForReconfigurationCallback = false;
    setDisplayNameOfInterest(std::nullopt);
}

// ---- Refresh listeners

void QNBDisplayConfiguration::registerScreenRefreshListener(
    const std::shared_ptr<QNBDisplayRefreshProtocol>& listener) {
    updateScreenRefreshCallback();
    if (!listener) return;
    std::lock_guard guard(m_listenersLock);
    if (std::find(_registeredDisplayKeys.begin(), _registeredDisplayKeys.end(), listener.get()) !=
        _registeredDisplayKeys.end())
        return;
    _registeredDisplays.push_back(listener);
    _registeredDisplayKeys.push_back(listener.get());
}

void QNBDisplayConfiguration::unregisterScreenRefreshListener(const QNBDisplayRefreshProtocol* listener) {
    if (!listener) return;
    bool empty;
    {
        std::lock_guard guard(m_listenersLock);
        auto found = std::find(_registeredDisplayKeys.begin(), _registeredDisplayKeys.end(), listener);
        if (found != _registeredDisplayKeys.end()) {
            const auto index = found - _registeredDisplayKeys.begin();
            _registeredDisplayKeys.erase(found);
            _registeredDisplays.erase(_registeredDisplays.begin() + index);
        }
        empty = _registeredDisplayKeys.empty();
    }
    if (empty && _registeredForRefresh) unregisterScreenRefreshCallback();
}

bool QNBDisplayConfiguration::registerScreenRefreshCallback() {
    if (cg::CGRegisterScreenRefreshCallback(&QNBDisplayScreenRefreshCallback, this) != cg::kCGErrorSuccess)
        return false;
    _registeredForRefresh = true;
    return true;
}

void QNBDisplayConfiguration::unregisterScreenRefreshCallback() {
    cg::CGUnregisterScreenRefreshCallback(&QNBDisplayScreenRefreshCallback, this);
    _registeredForRefresh = false;
}

void QNBDisplayConfiguration::updateScreenRefreshCallback() {
    if (_registeredForRefresh) unregisterScreenRefreshCallback();
    registerScreenRefreshCallback();
}

std::vector<std::shared_ptr<QNBDisplayRefreshProtocol>> QNBDisplayConfiguration::registeredDisplays() const {
    std::vector<std::shared_ptr<QNBDisplayRefreshProtocol>> live;
    std::lock_guard guard(m_listenersLock);
    for (const auto& weak : _registeredDisplays)
        if (auto listener = weak.lock()) live.push_back(std::move(listener));
    return live;
}

// The listeners are walked over a copy taken under the set's lock, so one may register or
// unregister (itself or another) from inside its call; a listener already gone is skipped.
// Several listeners (sessions, each capturing its own display) are called side by side, so a
// refresh costs the slowest of them rather than their sum; all have returned before the callback
// does, while its rectangles are valid.
void QNBDisplayConfiguration::QNBDisplayScreenRefreshCallback(uint32_t count, const cg::CGRect* rectArray,
                                                              void* context) {
    auto* configuration = static_cast<QNBDisplayConfiguration*>(context);
    if (!configuration) return;
    std::lock_guard refreshGuard(screenRefreshLock());
    const auto listeners = configuration->registeredDisplays();
    auto refresh = [count, rectArray](const std::shared_ptr<QNBDisplayRefreshProtocol>& listener) {
        if (listener->respondsToFeedQueuedRefreshes()) listener->feedQueuedRefreshes();
        listener->screenRefreshed(count, rectArray);
    };
    if (listeners.size() <= 1) {
        for (const auto& listener : listeners)
            refresh(listener);
        return;
    }
    auto group = dispatch::dispatch_group_create();
    auto queue = dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_HIGH);
    for (size_t i = 1; i < listeners.size(); ++i)
        dispatch::dispatch_group_async(group, queue, [&refresh, &listeners, i] { refresh(listeners[i]); });
    refresh(listeners.front());
    dispatch::dispatch_group_wait(group, dispatch::DISPATCH_TIME_FOREVER);
}

// ---- Reconfiguration

std::shared_ptr<std::recursive_mutex> QNBDisplayConfiguration::frameBufferLockObject() {
    auto owner = delegate();
    return owner ? owner->frameBufferLockObject() : nullptr;
}

void QNBDisplayConfiguration::QNBDisplayReconfigurationCallBack(CGDirectDisplayID display, uint32_t flags,
                                                                void* context) {
    auto* configuration = static_cast<QNBDisplayConfiguration*>(context);
    if (!configuration) return;
    std::shared_ptr<std::recursive_mutex> frameBufferLock = configuration->frameBufferLockObject();
    std::unique_lock<std::recursive_mutex> guard;
    if (frameBufferLock) guard = std::unique_lock(*frameBufferLock);

    const std::string name = QNBScreen::userDescriptionForDisplayID(display);
    const std::optional<std::string> interest = configuration->displayNameOfInterest();
    if (interest == name) configuration->setDisplayIDOfInterest(display);

    if (auto owner = configuration->delegate(); owner && (!interest || *interest == name))
        owner->screenReconfigured(flags, display);

    if (configuration->registeredForReconfigurationCallback()) {
        if (flags & kCGDisplayAddFlag) {
            configuration->displayOfInterestAdded();
            configuration->displayAdded(display);
        } else if (flags & kCGDisplayRemoveFlag) {
            configuration->displayOfInterestRemoved();
            configuration->displayRemoved(display);
        }
        if ((flags & kCGDisplayDesktopShapeChangedFlag) && interest == name)
            configuration->desktopShapeChangedForDisplayID(display, flags);
    }
}

// ---- Notifications

void QNBDisplayConfiguration::postNotification(const char* name, std::optional<cf::Value> userInfo) {
    if (!mSendNotifications) return;
    foundation::postNotificationOnMainThreadWithName(ns::NSNotificationCenter::defaultCenter(), name,
                                                     std::static_pointer_cast<void>(weak_from_this().lock()),
                                                     std::move(userInfo));
}

// Without a name of interest the userInfo ends at its first key: it is empty.
cf::Value QNBDisplayConfiguration::interestUserInfo() const {
    const std::optional<std::string> name = displayNameOfInterest();
    if (!name) return cf::Value::emptyDictionary();
    return cf::Dictionary{{TSEDisplayConfigurationDisplayNameKey, *name},
                          {TSEDisplayConfigurationDisplayIDKey, displayIDNumber(displayIDOfInterest())}};
}

void QNBDisplayConfiguration::displayOfInterestAdded() {
    setDisplayOfInterestBounds(QNBScreen::scaleCorrectedDisplayBoundsForDisplayID(displayIDOfInterest()));
    postNotification(TSEDisplayOfInterestWasAddedNotification, interestUserInfo());
}

void QNBDisplayConfiguration::displayOfInterestRemoved() {
    postNotification(TSEDisplayOfInterestWasRemovedNotification, interestUserInfo());
}

void QNBDisplayConfiguration::displayAdded(CGDirectDisplayID display) {
    postNotification(TSEDisplayWasAddedNotification,
                     cf::Dictionary{{TSEDisplayConfigurationDisplayNameKey,
                                     QNBScreen::userDescriptionForDisplayID(display)},
                                    {TSEDisplayConfigurationDisplayIDKey, displayIDNumber(display)}});
}

void QNBDisplayConfiguration::displayRemoved(CGDirectDisplayID display) {
    postNotification(TSEDisplayWasRemovedNotification,
                     cf::Dictionary{{TSEDisplayConfigurationDisplayNameKey,
                                     QNBScreen::userDescriptionForDisplayID(display)},
                                    {TSEDisplayConfigurationDisplayIDKey, displayIDNumber(display)}});
}

void QNBDisplayConfiguration::desktopShapeChangedForDisplayID(CGDirectDisplayID display, uint32_t flags) {
    postNotification(
        TSEDesktopShapeChangedNotification,
        cf::Dictionary{
            {TSEDisplayConfigurationDisplayNameKey, QNBScreen::userDescriptionForDisplayID(display)},
            {TSEDisplayConfigurationDisplayIDKey, displayIDNumber(display)},
            {TSEDisplayConfigurationFlagsKey, cf::Value::number(cf::kCFNumberSInt64Type, int64_t(flags))}});
}

void QNBDisplayConfiguration::windowMovedOnDisplayOfInterest(uint32_t windowID) {
    cf::Value info = interestUserInfo();
    if (info.count() > 0)
        info = info.setting(TSEDisplayConfigurationWindowIDKey, cf::Value(int32_t(windowID)));
    postNotification(TSEWindowMovedOnDisplayOfInterest, info);
}

void QNBDisplayConfiguration::windowMovedOffDisplayOfInterest(uint32_t windowID) {
    cf::Value info = interestUserInfo();
    if (info.count() > 0)
        info = info.setting(TSEDisplayConfigurationWindowIDKey, cf::Value(int32_t(windowID)));
    postNotification(TSEWindowMovedOffDisplayOfInterest, info);
}

// ---- Windows of interest

std::optional<cf::Value> QNBDisplayConfiguration::windowDescriptionForWindowID(uint32_t windowID) {
    const accessibility::CGWindowIDArray windows({windowID});
    std::optional<cf::Value> descriptions = cg::CGWindowListCreateDescriptionFromArray(windows.windowIDs());
    if (!descriptions || descriptions->count() == 0) return std::nullopt;
    const cf::Value* first = descriptions->at(0);
    if (!first || !first->isDictionary()) return std::nullopt;
    return *first;
}

void QNBDisplayConfiguration::getWindowsOfInterest() {
    const CGDirectDisplayID interest = displayIDOfInterest();
    if (interest == 0 || movingWindowsOfInterest()) return;
    std::optional<cf::Value> list = cg::CGWindowListCopyWindowInfo(
        cg::kCGWindowListOptionOnScreenOnly | cg::kCGWindowListExcludeDesktopElements, cg::kCGNullWindowID);

    std::vector<uint32_t> movedOn;
    for (size_t i = 0; list && i < list->count(); ++i) {
        const cf::Value& window = *list->at(i);
        const cf::Value* layer = window.find(cg::kCGWindowLayer);
        if (!layer || !layer->isNumber() || (layer->intValue() != 0 && layer->intValue() != 3)) continue;
        const std::optional<cg::CGRect> bounds = windowBounds(window);
        const std::optional<uint32_t> number = windowNumber(window);
        if (!bounds || !number) continue; // unparsable entries are skipped
        std::array<cg::CGDirectDisplayID, 80> displays{};
        uint32_t found = 0;
        if (cg::CGGetDisplaysWithRect(*bounds, uint32_t(displays.size()), displays.data(), &found) !=
            cg::kCGErrorSuccess)
            continue;
        const auto end = displays.begin() + std::min<size_t>(found, displays.size());
        if (std::find(displays.begin(), end, interest) == end) continue;

        std::lock_guard guard(m_stateLock);
        if (mWindowsOfInterestWindowIDs.count(*number)) {
            auto stored = std::find_if(mWindowsOfInterest.begin(), mWindowsOfInterest.end(),
                                       [&](const cf::Value& entry) { return windowNumber(entry) == number; });
            if (stored != mWindowsOfInterest.end()) {
                const std::optional<cg::CGRect> storedBounds = windowBounds(*stored);
                if (!storedBounds || !cg::CGRectEqualToRect(*storedBounds, *bounds)) *stored = window;
            }
        } else {
            mWindowsOfInterestWindowIDs.insert(*number);
            mWindowsOfInterest.push_back(window);
            movedOn.push_back(*number);
        }
    }
    for (uint32_t number : movedOn)
        windowMovedOnDisplayOfInterest(number);

    if (!registeredForRefresh()) return;
    const cg::CGRect interestBounds = displayOfInterestBounds();
    std::vector<uint32_t> movedOff;
    for (const cf::Value& stored : windowsOfInterest()) {
        const std::optional<uint32_t> number = windowNumber(stored);
        if (!number) continue;
        std::optional<cf::Value> current = windowDescriptionForWindowID(*number);
        std::optional<cg::CGRect> bounds = current ? windowBounds(*current) : std::nullopt;
        if (bounds && cg::CGRectIntersectsRect(*bounds, interestBounds)) continue;
        movedOff.push_back(*number);
    }
    {
        std::lock_guard guard(m_stateLock);
        for (uint32_t number : movedOff) {
            mWindowsOfInterestWindowIDs.erase(number);
            mWindowsOfInterest.erase(
                std::remove_if(mWindowsOfInterest.begin(), mWindowsOfInterest.end(),
                               [&](const cf::Value& entry) { return windowNumber(entry) == number; }),
                mWindowsOfInterest.end());
        }
    }
    for (uint32_t number : movedOff)
        windowMovedOffDisplayOfInterest(number);
}

void QNBDisplayConfiguration::moveWindowsOfInterestBack() {
    if (!ns::NSThread::isMainThread()) {
        std::weak_ptr<QNBDisplayConfiguration> weak = weak_from_this();
        dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [weak] {
            if (auto self = weak.lock()) self->moveWindowsOfInterestBack();
        });
        return;
    }
    if (!ax::AXAPIEnabled() || !windowsOfInterestSupport()) return;
    setMovingWindowsOfInterest(true);
    for (const cf::Value& window : windowsOfInterest()) {
        const std::optional<cg::CGRect> bounds = windowBounds(window);
        const cf::Value* owner = window.find(cg::kCGWindowOwnerPID);
        if (!bounds || !owner || !owner->isNumber()) continue;
        ax::AXUIElementRef application = ax::AXUIElementCreateApplication(pid_t(owner->intValue()));
        ax::AXAttributeValue windows;
        if (ax::AXUIElementCopyAttributeValue(application, ax::kAXWindowsAttribute, &windows) !=
            ax::kAXErrorSuccess)
            continue;
        const auto* elements = std::get_if<std::vector<ax::AXUIElementRef>>(&windows);
        if (!elements) continue;
        if (ax::AXUIElementRef match = findMatchingWindowRefInArray(*elements, window))
            moveAXWindow(match, bounds->origin);
    }
    setMovingWindowsOfInterest(false);
}

ax::AXUIElementRef
QNBDisplayConfiguration::findMatchingWindowRefInArray(const std::vector<ax::AXUIElementRef>& windows,
                                                      const cf::Value& windowEntry) {
    const cf::Value* name = windowEntry.find(cg::kCGWindowName);
    const std::optional<uint32_t> number = windowNumber(windowEntry);
    cg::CGRect current = cg::CGRectZero;
    if (number)
        if (std::optional<cf::Value> description = windowDescriptionForWindowID(*number))
            current = windowBounds(*description).value_or(cg::CGRectZero);
    for (const ax::AXUIElementRef& window : windows) {
        const cg::CGRect bounds = accessibility::AXWindowRefGetBounds(window);
        const ax::AXAttributeValue title =
            accessibility::AXUIElementUtilities::valueOfAttribute(ax::kAXTitleAttribute, window);
        const auto* text = std::get_if<cf::Value>(&title);
        if (!text || !name || !(*text == *name)) continue;
        if (cg::CGRectEqualToRect(bounds, current)) return window;
    }
    return nullptr;
}

void QNBDisplayConfiguration::moveAXWindow(const ax::AXUIElementRef& window, cg::CGPoint point) {
    ax::AXValueRef position = ax::AXValueCreate(ax::kAXValueCGPointType, &point);
    if (position) ax::AXUIElementSetAttributeValue(window, ax::kAXPositionAttribute, position);
}

// ---- Accessors

std::shared_ptr<QNBDisplayConfigurationDelegate> QNBDisplayConfiguration::delegate() const {
    std::lock_guard guard(m_stateLock);
    return mDelegate.lock();
}

void QNBDisplayConfiguration::setDelegate(std::weak_ptr<QNBDisplayConfigurationDelegate> delegate) {
    std::lock_guard guard(m_stateLock);
    mDelegate = std::move(delegate);
}

std::optional<std::string> QNBDisplayConfiguration::displayNameOfInterest() const {
    std::lock_guard guard(m_stateLock);
    return mDisplayNameOfInterest;
}

void QNBDisplayConfiguration::setDisplayNameOfInterest(std::optional<std::string> name) {
    std::lock_guard guard(m_stateLock);
    mDisplayNameOfInterest = std::move(name);
}

cg::CGRect QNBDisplayConfiguration::displayOfInterestBounds() const {
    std::lock_guard guard(m_stateLock);
    return mDisplayOfInterestBounds;
}

void QNBDisplayConfiguration::setDisplayOfInterestBounds(cg::CGRect bounds) {
    std::lock_guard guard(m_stateLock);
    mDisplayOfInterestBounds = bounds;
}

std::vector<cf::Value> QNBDisplayConfiguration::windowsOfInterest() const {
    std::lock_guard guard(m_stateLock);
    return mWindowsOfInterest;
}

void QNBDisplayConfiguration::setWindowsOfInterest(std::vector<cf::Value> windows) {
    std::lock_guard guard(m_stateLock);
    mWindowsOfInterest = std::move(windows);
}

std::set<uint32_t> QNBDisplayConfiguration::windowsOfInterestWindowIDs() const {
    std::lock_guard guard(m_stateLock);
    return mWindowsOfInterestWindowIDs;
}

void QNBDisplayConfiguration::setWindowsOfInterestWindowIDs(std::set<uint32_t> windowIDs) {
    std::lock_guard guard(m_stateLock);
    mWindowsOfInterestWindowIDs = std::move(windowIDs);
}

// ---- Display-change flag names and I/O Kit lookups

std::string stringFromCGDisplayChangeSummaryFlags(uint32_t flags) {
    static const std::pair<uint32_t, const char*> kNames[] = {
        {kCGDisplayBeginConfigurationFlag, "kCGDisplayBeginConfigurationFlag "},
        {kCGDisplayMovedFlag, "kCGDisplayMovedFlag "},
        {kCGDisplaySetMainFlag, "kCGDisplaySetMainFlag "},
        {kCGDisplaySetModeFlag, "kCGDisplaySetModeFlag "},
        {kCGDisplayAddFlag, "kCGDisplayAddFlag "},
        {kCGDisplayRemoveFlag, "kCGDisplayRemoveFlag "},
        {kCGDisplayEnabledFlag, "kCGDisplayEnabledFlag "},
        {kCGDisplayDisabledFlag, "kCGDisplayDisabledFlag "},
        {kCGDisplayMirrorFlag, "kCGDisplayMirrorFlag "},
        {kCGDisplayUnMirrorFlag, "kCGDisplayUnMirrorFlag "},
        {kCGDisplayDesktopShapeChangedFlag, "kCGDisplayDesktopShapeChangedFlag "},
    };
    std::string text = "DisplayChangeSummaryFlags: ";
    for (const auto& [bit, name] : kNames)
        if (flags & bit) text += name;
    return text;
}

// The dictionary holds the numbers as SInt32: compare their 32-bit patterns.
uint32_t IOServicePortFromCGDisplayID(CGDirectDisplayID display) {
    iokit::io_iterator_t iterator = 0;
    if (iokit::IOServiceGetMatchingServices(iokit::kIOMasterPortDefault,
                                            iokit::IOServiceMatching("IODisplayConnect"),
                                            &iterator) != iokit::kIOReturnSuccess)
        return 0;
    const uint32_t vendor = cg::CGDisplayVendorNumber(display);
    const uint32_t model = cg::CGDisplayModelNumber(display);
    const uint32_t serial = cg::CGDisplaySerialNumber(display);
    const auto pattern = [](const cf::Value& info, const char* key) -> std::optional<uint32_t> {
        const cf::Value* value = info.find(key);
        if (!value || !value->isNumber()) return std::nullopt;
        return uint32_t(value->integerValue());
    };
    uint32_t answer = 0;
    while (iokit::io_service_t service = iokit::IOIteratorNext(iterator)) {
        std::optional<cf::Value> info =
            answer ? std::nullopt
                   : iokit::IODisplayCreateInfoDictionary(service, iokit::kIODisplayOnlyPreferredName);
        if (info && pattern(*info, iokit::kDisplayVendorID) == vendor &&
            pattern(*info, iokit::kDisplayProductID) == model &&
            pattern(*info, iokit::kDisplaySerialNumber).value_or(0) == serial) {
            answer = service;
            continue;
        }
        iokit::IOObjectRelease(service);
    }
    iokit::IOObjectRelease(iterator);
    return answer;
}

std::string screenNameForDisplay(const std::optional<cf::Value>& displayID) {
    if (!displayID || !displayID->isNumber()) return "unknown";
    const iokit::io_service_t service =
        IOServicePortFromCGDisplayID(CGDirectDisplayID(displayID->unsignedIntegerValue()));
    if (service == 0) return "unknown";
    std::optional<cf::Value> info =
        iokit::IODisplayCreateInfoDictionary(service, iokit::kIODisplayOnlyPreferredName);
    iokit::IOObjectRelease(service);
    const cf::Value* names = info ? info->find(iokit::kDisplayProductName) : nullptr;
    const cf::Value* name = names ? names->find("en_US") : nullptr;
    return name && name->asString() ? *name->asString() : "unknown";
}

std::string displayNameStringWithCGDirectDisplayID(CGDirectDisplayID display) {
    if (auto name = firstProductName(copyDisplayInformation(display, iokit::kIODisplayOnlyPreferredName)))
        return *name;
    static const char kClassObject = 0; // the receiving class object
    return platform::format("Unknown Display (%p)", static_cast<const void*>(&kClassObject));
}

} // namespace display
