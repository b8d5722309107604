// ns::NSObject: the root of the model and view objects, with key-value coding over a per-class
// key table, key-value observing (weak observers, nested brackets notifying once, dependent
// keys) and bindings (push on change, write-back on user acts, a busy guard per binding).
//
// A class declares its keys in a table that extends its superclass's:
//
//     static const ns::KeyTable& classKeys() {
//         static const ns::KeyTable table = ns::KeyTable("Model", &ns::NSObject::classKeys())
//             .property("name", &Model::name, &Model::setName)
//             .affecting("title", {"name"});
//         return table;
//     }
//     const ns::KeyTable& keyTable() const override { return classKeys(); }
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/foundation/Id.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ns {

// Typed values in and out of an Id, for the key tables' member-function entries.
template <typename T> struct IdConversion;
template <> struct IdConversion<bool> {
    static constexpr bool scalar = true;
    static Id to(bool v) { return Id(v); }
    static bool from(const Id& v) { return v.boolValue(); }
};
template <typename T>
requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) struct IdConversion<T> {
    static constexpr bool scalar = true;
    static Id to(T v) { return Id(v); }
    static T from(const Id& v) { return static_cast<T>(v.integerValue()); }
};
template <typename T>
requires std::is_floating_point_v<T>
struct IdConversion<T> {
    static constexpr bool scalar = true;
    static Id to(T v) { return Id(v); }
    static T from(const Id& v) { return static_cast<T>(v.doubleValue()); }
};
template <> struct IdConversion<std::string> {
    static constexpr bool scalar = false;
    static Id to(const std::string& v) { return Id(v); }
    static std::string from(const Id& v) { return v.string() ? *v.string() : std::string(); }
};
// An optional text: nil when absent.
template <> struct IdConversion<std::optional<std::string>> {
    static constexpr bool scalar = false;
    static Id to(const std::optional<std::string>& v) { return v ? Id(*v) : Id(); }
    static std::optional<std::string> from(const Id& v) {
        return v.string() ? std::optional<std::string>(*v.string()) : std::nullopt;
    }
};
template <> struct IdConversion<Id> {
    static constexpr bool scalar = false;
    static Id to(const Id& v) { return v; }
    static Id from(const Id& v) { return v; }
};
template <> struct IdConversion<IdArray> {
    static constexpr bool scalar = false;
    static Id to(const IdArray& v) { return Id(v); }
    static IdArray from(const Id& v) { return v.arrayValue(); }
};
template <> struct IdConversion<NSIndexSet> {
    static constexpr bool scalar = false;
    static Id to(const NSIndexSet& v) { return Id(v); }
    static NSIndexSet from(const Id& v) { return v.indexSet() ? *v.indexSet() : NSIndexSet{}; }
};
template <typename T>
requires std::is_base_of_v<NSObject, T>
struct IdConversion<std::shared_ptr<T>> {
    static constexpr bool scalar = false;
    static Id to(const std::shared_ptr<T>& v) { return Id(v); }
    static std::shared_ptr<T> from(const Id& v) { return v.objectAs<T>(); }
};

// The keys of one class: getter, setter, whether table setters send will/did-change
// themselves, the keys affecting each key, and the bindings the class exposes.
class KeyTable {
  public:
    using Getter = std::function<Id(const NSObject&)>;
    using Setter = std::function<void(NSObject&, const Id&)>;

    struct Entry {
        Getter getter;
        Setter setter;       // empty for a read-only key
        Id zero;             // what a binding pushes for nil
        bool scalar = false; // nil set on it is ignored (logged)
        bool automaticNotify = true;
    };

    explicit KeyTable(std::string className, const KeyTable* superclass = nullptr);

    // A key read and written through member functions; the setter may be null (read-only).
    template <typename C, typename R, typename S, typename A>
    KeyTable& property(std::string key, R (C::*getter)() const, S (C::*setter)(A)) {
        using T = std::decay_t<R>;
        Entry entry;
        entry.getter = [getter](const NSObject& o) {
            return IdConversion<T>::to((static_cast<const C&>(o).*getter)());
        };
        if (setter)
            entry.setter = [setter](NSObject& o, const Id& v) {
                (static_cast<C&>(o).*setter)(IdConversion<std::decay_t<A>>::from(v));
            };
        entry.zero = IdConversion<T>::to(T{});
        entry.scalar = IdConversion<T>::scalar;
        return add(std::move(key), std::move(entry));
    }
    template <typename C, typename R> KeyTable& property(std::string key, R (C::*getter)() const) {
        return property(std::move(key), getter, static_cast<void (C::*)(std::decay_t<R>)>(nullptr));
    }
    KeyTable& add(std::string key, Entry entry);
    // Table setters of key send no will/did-change: the class brackets its changes itself.
    KeyTable& manualNotification(std::string_view key);
    // Changes of any of keys notify observers of key too.
    KeyTable& affecting(std::string key, std::vector<std::string> keys);
    KeyTable& exposeBinding(std::string binding);

    const std::string& className() const { return m_className; }
    const Entry* entry(std::string_view key) const;                      // this class or a superclass
    std::vector<std::string> keysAffectedBy(std::string_view key) const; // the dependent keys
    std::vector<std::string> exposedBindings() const;

  private:
    std::string m_className;
    const KeyTable* m_superclass;
    std::map<std::string, Entry, std::less<>> m_entries;
    std::map<std::string, std::vector<std::string>, std::less<>> m_affecting; // key → keys affecting it
    std::vector<std::string> m_bindings;
};

enum NSKeyValueObservingOptions : NSUInteger {
    NSKeyValueObservingOptionNew = 0x01,
    NSKeyValueObservingOptionOld = 0x02,
    NSKeyValueObservingOptionInitial = 0x04,
};

enum NSKeyValueChange : NSUInteger { NSKeyValueChangeSetting = 1 };

// The change dictionary: NSKeyValueChangeKindKey, NSKeyValueChangeNewKey, NSKeyValueChangeOldKey.
struct NSKeyValueChangeInfo {
    NSKeyValueChange kind = NSKeyValueChangeSetting;
    Id newValue; // nil unless asked for with NSKeyValueObservingOptionNew
    Id oldValue; // nil unless asked for with NSKeyValueObservingOptionOld (and not for the initial call)
};

// infoForBinding:'s dictionary: NSObservedObjectKey, NSObservedKeyPathKey, NSOptionsKey.
struct NSBindingInfo {
    std::shared_ptr<NSObject> observedObject;
    std::string observedKeyPath;
    cf::Dictionary options;
};

class NSObject : public std::enable_shared_from_this<NSObject> {
  public:
    NSObject();
    virtual ~NSObject();
    NSObject(const NSObject&) = delete;
    NSObject& operator=(const NSObject&) = delete;

    static const KeyTable& classKeys();
    virtual const KeyTable& keyTable() const { return classKeys(); }
    const std::string& className() const { return keyTable().className(); }
    virtual std::string description() const;

    // Key-value coding. An unknown key answers nil (a set changes nothing), logs one line and
    // fills error; nil set on a scalar key is ignored, logged.
    Id valueForKey(std::string_view key, platform::Error* error = nullptr) const;
    Id valueForKeyPath(std::string_view keyPath, platform::Error* error = nullptr) const;
    void setValueForKey(const Id& value, std::string_view key, platform::Error* error = nullptr);
    void setValueForKeyPath(const Id& value, std::string_view keyPath, platform::Error* error = nullptr);

    // Key-value observing. Observers are held weakly and called synchronously on the changing
    // thread, in registration order, at the outermost did-change of the key.
    void addObserver(const std::shared_ptr<NSObject>& observer, std::string_view keyPath, NSUInteger options,
                     void* context = nullptr);
    void removeObserver(const NSObject* observer, std::string_view keyPath);
    void willChangeValueForKey(std::string_view key);
    void didChangeValueForKey(std::string_view key);
    virtual void observeValueForKeyPath(const std::string& keyPath, NSObject* object,
                                        const NSKeyValueChangeInfo& change, void* context);

    // Bindings: the binding's key of this object follows observable's keyPath.
    void bind(std::string_view binding, const std::shared_ptr<NSObject>& observable, std::string_view keyPath,
              const cf::Dictionary& options = {});
    void unbind(std::string_view binding);
    std::optional<NSBindingInfo> infoForBinding(std::string_view binding) const;
    std::vector<std::string> exposedBindings() const { return keyTable().exposedBindings(); }
    // A user act changed the bound value: written to the observed object, unless the binding
    // is busy. Answers whether the binding took it.
    bool writeBackBinding(std::string_view binding, const Id& value);
    // Ends every binding of this object (a collection view does so for the items it drops).
    void unbindAll();

  private:
    struct Observation;
    struct Bracket;
    struct Binding;
    class BindingObserver;

    // The key's value through the table, nil for an unknown key, nothing logged.
    Id rawValueForKey(std::string_view key) const;
    Id rawValueForKeyPath(std::string_view keyPath) const;
    void pushBinding(Binding& binding);
    void notify(const std::string& key, const Id& oldValue);
    bool hasObservers(std::string_view key) const;

    mutable std::mutex m_kvoMutex;
    std::vector<Observation> m_observations;
    std::map<std::string, Bracket, std::less<>> m_brackets;
    std::map<std::string, std::shared_ptr<Binding>, std::less<>> m_bindings; // main thread
};

} // namespace ns
