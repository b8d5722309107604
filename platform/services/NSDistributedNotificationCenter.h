// The distributed notification centre: notifications between processes through platformd.
// A post is a round trip that returns once platformd has recorded it (never waiting for
// delivery). Every process with a matching observer receives it, the poster included, later
// and on its main run loop in the default mode only; the notification's object is the
// poster's text (a std::string behind NSNotification::object) and its userInfo a copy.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/foundation/NSNotification.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ipc {
class Connection;
struct Event;
} // namespace ipc

namespace ns {

using NSUInteger = uint64_t;
inline constexpr NSUInteger NSNotificationDeliverImmediately = 1;
inline constexpr NSUInteger NSNotificationPostToAllSessions = 2;

class NSDistributedNotificationCenter {
  public:
    using Block = std::function<void(const NSNotification&)>;
    struct Observation;
    using ObserverToken = std::shared_ptr<Observation>;

    static NSDistributedNotificationCenter& defaultCenter();

    // Returns once platformd has the observer; posts it handles later reach the block.
    // name nullopt: every name; object nullopt: every object.
    ObserverToken addObserverForName(std::optional<std::string> name, std::optional<std::string> object,
                                     Block block);

    // addObserver:selector:name:object: with the observer held weakly.
    template <typename T>
    ObserverToken addObserver(const std::shared_ptr<T>& observer, void (T::*selector)(const NSNotification&),
                              std::optional<std::string> name, std::optional<std::string> object) {
        std::weak_ptr<T> weak = observer;
        return add(
            observer.get(), std::move(name), std::move(object),
            [weak, selector](const NSNotification& n) {
                if (auto strong = weak.lock()) ((*strong).*selector)(n);
            },
            [weak] { return weak.expired(); });
    }

    // No block runs for a removed observation after this returns (on the main thread).
    void removeObserver(const ObserverToken& token);
    void removeObserver(const void* observer);

    // userInfo must be a dictionary (else logged, not posted). Without platformd the post is
    // dropped with one log line per process.
    void postNotificationName(const std::string& name, const std::optional<std::string>& object,
                              const std::optional<cf::Value>& userInfo, NSUInteger options);
    void postNotificationName(const std::string& name, const std::optional<std::string>& object,
                              const std::optional<cf::Value>& userInfo, bool deliverImmediately);
    void postNotificationName(const std::string& name, const std::optional<std::string>& object);

    // The object text of a notification this centre delivered (nullopt when it had none).
    static std::optional<std::string> objectString(const NSNotification& notification);

    size_t observationCount() const;

    NSDistributedNotificationCenter() = default;
    NSDistributedNotificationCenter(const NSDistributedNotificationCenter&) = delete;
    NSDistributedNotificationCenter& operator=(const NSDistributedNotificationCenter&) = delete;

  private:
    ObserverToken add(const void* owner, std::optional<std::string> name, std::optional<std::string> object,
                      Block block, std::function<bool()> gone);
    std::shared_ptr<ipc::Connection> connection();
    void deliver(ipc::Event& event);
    void forget(int64_t id);
    void logUnreachableOnce(const std::string& why);

    mutable std::mutex m_mutex;
    std::map<int64_t, ObserverToken> m_observations;
    int64_t m_nextId = 1;
    std::weak_ptr<ipc::Connection> m_connection; // the one our event handler is installed on
    bool m_loggedUnreachable = false;
};

} // namespace ns
