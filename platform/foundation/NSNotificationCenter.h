// The local notification centre. A post is synchronous on the posting thread and reaches the
// observers in registration order, filtered by name and object (null matches any). An observer
// added during a post misses it; one removed before its turn is skipped. Thread-safe: no lock
// is held while an observer runs, so observers may post, add and remove.
#pragma once

#include "platform/foundation/NSNotification.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ns {

class NSNotificationCenter {
  public:
    using Block = std::function<void(const NSNotification&)>;
    // What addObserver answers; removeObserver(token) ends the observation.
    struct Registration;
    using ObserverToken = std::shared_ptr<Registration>;

    static NSNotificationCenter& defaultCenter();

    // addObserverForName:object:queue:usingBlock: (no queue: the block runs on the posting
    // thread). name nullopt: every name; object null: every object.
    ObserverToken addObserverForName(std::optional<std::string> name, const void* object, Block block);

    // addObserver:selector:name:object: with the observer held weakly: once it is gone it is
    // skipped and forgotten. Its destructor should still call removeObserver(this).
    template <typename T>
    ObserverToken addObserver(const std::shared_ptr<T>& observer, void (T::*selector)(const NSNotification&),
                              std::optional<std::string> name, const void* object) {
        std::weak_ptr<T> weak = observer;
        return add(
            static_cast<const void*>(observer.get()), std::move(name), object,
            [weak, selector](const NSNotification& n) {
                if (auto strong = weak.lock()) ((*strong).*selector)(n);
            },
            [weak] { return weak.expired(); });
    }

    void removeObserver(const ObserverToken& token);
    // Every observation of this observer (a raw pointer, as in a destructor), or only those
    // with this name and object (nullopt / null: any).
    void removeObserver(const void* observer);
    void removeObserver(const void* observer, std::optional<std::string> name, const void* object);

    void postNotification(const NSNotification& notification);
    void postNotificationName(std::string name, std::shared_ptr<void> object,
                              std::optional<cf::Value> userInfo = std::nullopt);

    // Live observations (for tests and leak checks).
    size_t observationCount() const;

    NSNotificationCenter() = default;
    NSNotificationCenter(const NSNotificationCenter&) = delete;
    NSNotificationCenter& operator=(const NSNotificationCenter&) = delete;

  private:
    ObserverToken add(const void* observer, std::optional<std::string> name, const void* object, Block block,
                      std::function<bool()> gone);
    void prune();

    mutable std::mutex m_mutex;
    std::vector<ObserverToken> m_registrations;
};

} // namespace ns
