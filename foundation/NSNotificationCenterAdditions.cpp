#include "foundation/NSNotificationCenterAdditions.h"

#include "platform/foundation/NSThread.h"
#include "platform/foundation/PerformSelector.h"

namespace foundation {

void postNotificationOnMainThread(ns::NSNotificationCenter& center, ns::NSNotification notification) {
    postNotificationOnMainThread(center, std::move(notification), false);
}

void postNotificationOnMainThread(ns::NSNotificationCenter& center, ns::NSNotification notification,
                                  bool waitUntilDone) {
    if (ns::NSThread::isMainThread()) {
        center.postNotification(notification);
        return;
    }
    ns::performSelectorOnMainThread(
        [&center, notification = std::move(notification)] { center.postNotification(notification); }, waitUntilDone);
}

void postNotificationOnMainThreadWithName(ns::NSNotificationCenter& center, std::string name,
                                          std::shared_ptr<void> object) {
    postNotificationOnMainThreadWithName(center, std::move(name), std::move(object), std::nullopt, false);
}

void postNotificationOnMainThreadWithName(ns::NSNotificationCenter& center, std::string name,
                                          std::shared_ptr<void> object, std::optional<cf::Value> userInfo) {
    postNotificationOnMainThreadWithName(center, std::move(name), std::move(object), std::move(userInfo), false);
}

void postNotificationOnMainThreadWithName(ns::NSNotificationCenter& center, std::string name,
                                          std::shared_ptr<void> object, std::optional<cf::Value> userInfo,
                                          bool waitUntilDone) {
    postNotificationOnMainThread(center, ns::NSNotification{std::move(name), std::move(object), std::move(userInfo)},
                                 waitUntilDone);
}

} // namespace foundation
