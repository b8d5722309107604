// Posting local notifications on the main thread from any thread. On the main thread a post
// is synchronous; from another thread it is handed to the main run loop, and the caller either
// goes on at once or waits until the observers have run.
#pragma once

#include "platform/foundation/NSNotificationCenter.h"

#include <memory>
#include <optional>
#include <string>

namespace foundation {

// The centre must outlive a post that has not run yet; in practice it is the default centre.
void postNotificationOnMainThread(ns::NSNotificationCenter& center, ns::NSNotification notification);
void postNotificationOnMainThread(ns::NSNotificationCenter& center, ns::NSNotification notification,
                                  bool waitUntilDone);

void postNotificationOnMainThreadWithName(ns::NSNotificationCenter& center, std::string name,
                                          std::shared_ptr<void> object);
void postNotificationOnMainThreadWithName(ns::NSNotificationCenter& center, std::string name,
                                          std::shared_ptr<void> object, std::optional<cf::Value> userInfo);
void postNotificationOnMainThreadWithName(ns::NSNotificationCenter& center, std::string name,
                                          std::shared_ptr<void> object, std::optional<cf::Value> userInfo,
                                          bool waitUntilDone);

} // namespace foundation
