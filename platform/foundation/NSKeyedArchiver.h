// Keyed archives: an object graph as a binary property list
//   {"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {"root": UID 1},
//    "$objects": ["$null", ...]}
// An instance is a dictionary in $objects with its keys and "$class", the UID of a class record
// {"$classname": N, "$classes": [N, ..., "NSObject"]}. Strings, numbers, data and dates are plain
// entries of $objects; arrays are {"NS.objects": [UIDs]} of class NSArray or NSMutableArray.
//
// Classes register a name with their encode and decode functions; an unregistered class is an
// error. Reading refuses, with nil and NSCocoaErrorDomain 4864 and one log line, anything that is
// not such an archive: unreadable or over 16 MiB, not a plist, a missing or wrong $archiver, $top
// or $objects, a UID out of range, a class record without $classname, a reference cycle, nesting
// deeper than 64 or more than 100,000 objects. A key of another kind than asked reads as absent.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

namespace ns {

class NSKeyedArchiver;
class NSKeyedUnarchiver;

inline constexpr size_t kMaxArchiveObjects = 100'000;
inline constexpr int kMaxArchiveDepth = 64;

// One object of an archive: nothing (nil), a plain value (string, number, data, date), an array
// of objects, or an instance of a registered class.
class ArchivedObject {
  public:
    ArchivedObject() = default;
    ArchivedObject(cf::Value value) : m_value(std::move(value)) {}
    static ArchivedObject arrayOf(std::vector<ArchivedObject> items, bool isMutable = false);
    template <typename T> static ArchivedObject instance(std::shared_ptr<T> object) {
        return instanceOfType(std::move(object), std::type_index(typeid(T)));
    }
    static ArchivedObject instanceOfType(std::shared_ptr<void> object, std::type_index type) {
        ArchivedObject o;
        if (object) {
            o.m_type = type;
            o.m_instance = std::move(object);
        }
        return o;
    }
    template <typename T>
    static ArchivedObject arrayOfInstances(const std::vector<std::shared_ptr<T>>& items) {
        std::vector<ArchivedObject> objects;
        for (const auto& item : items)
            objects.push_back(instance(item));
        return arrayOf(std::move(objects));
    }

    bool isNil() const { return !m_value && !m_isArray && !m_instance; }
    const std::optional<cf::Value>& value() const { return m_value; }
    bool isArray() const { return m_isArray; }
    bool isMutableArray() const { return m_isMutable; }
    const std::vector<ArchivedObject>& items() const;
    // The instance when it is one of class T (exactly the registered type), else null.
    template <typename T> std::shared_ptr<T> as() const {
        if (!m_instance || m_type != std::type_index(typeid(T))) return nullptr;
        return std::static_pointer_cast<T>(m_instance);
    }
    const std::shared_ptr<void>& instancePointer() const { return m_instance; }
    // What makes two objects one: the instance, or an array's shared items.
    const void* identity() const {
        return m_instance ? m_instance.get() : static_cast<const void*>(m_items.get());
    }
    std::type_index instanceType() const { return m_type; }

  private:
    std::optional<cf::Value> m_value;
    bool m_isArray = false;
    bool m_isMutable = false;
    // Shared, so copies of a graph with shared references stay cheap.
    std::shared_ptr<const std::vector<ArchivedObject>> m_items;
    std::shared_ptr<void> m_instance;
    std::type_index m_type = std::type_index(typeid(void));
};

// A class known to archives. classes: the name and its superclasses, as written in "$classes"
// (defaults to {name, "NSObject"}).
struct ArchiveClass {
    std::string name;
    std::vector<std::string> classes;
    std::type_index type = std::type_index(typeid(void));
    std::function<void(const void* object, NSKeyedArchiver& coder)> encode;
    // Null refuses the archive (the class could not be read).
    std::function<std::shared_ptr<void>(NSKeyedUnarchiver& coder)> decode;
};

void registerArchiveClass(ArchiveClass archiveClass);

template <typename T>
void registerArchiveClass(std::string name, std::function<void(const T&, NSKeyedArchiver&)> encode,
                          std::function<std::shared_ptr<T>(NSKeyedUnarchiver&)> decode,
                          std::vector<std::string> superclasses = {"NSObject"}) {
    ArchiveClass c;
    c.classes.push_back(name);
    c.classes.insert(c.classes.end(), superclasses.begin(), superclasses.end());
    c.name = std::move(name);
    c.type = std::type_index(typeid(T));
    c.encode = [encode](const void* object, NSKeyedArchiver& coder) {
        encode(*static_cast<const T*>(object), coder);
    };
    c.decode = [decode](NSKeyedUnarchiver& coder) -> std::shared_ptr<void> { return decode(coder); };
    registerArchiveClass(std::move(c));
}

class NSKeyedArchiver {
  public:
    // nil + NSCocoaErrorDomain 4864 when the graph holds an unregistered class (logged).
    static std::optional<cf::Bytes> archivedDataWithRootObject(const ArchivedObject& root,
                                                               platform::Error* error = nullptr);
    // Written atomically (a temporary file renamed over path); the path goes through macPath.
    static bool archiveRootObject(const ArchivedObject& root, const std::string& path,
                                  platform::Error* error = nullptr);

    // Within an encode function: keys of the instance being written.
    void encodeObject(const ArchivedObject& object, std::string_view key);
    void encodeBool(bool value, std::string_view key);
    void encodeInteger(int64_t value, std::string_view key);

  private:
    NSKeyedArchiver();
    uint64_t add(const ArchivedObject& object);
    uint64_t classRecord(const std::string& name, const std::vector<std::string>& classes);

    cf::Array m_objects;
    std::map<const void*, uint64_t> m_instances;
    std::map<std::string, uint64_t, std::less<>> m_classes;
    cf::Dictionary* m_current = nullptr;
    bool m_failed = false;
    std::string m_failure;
};

class NSKeyedUnarchiver {
  public:
    static std::optional<ArchivedObject> unarchiveObjectWithData(std::string_view data,
                                                                 platform::Error* error = nullptr);
    static std::optional<ArchivedObject> unarchiveObjectWithData(const cf::Bytes& data,
                                                                 platform::Error* error = nullptr);
    // A missing file gives nil with an NSPOSIXErrorDomain error (not logged); the path goes
    // through macPath.
    static std::optional<ArchivedObject> unarchiveObjectWithFile(const std::string& path,
                                                                 platform::Error* error = nullptr);

    // Within a decode function: keys of the instance being read.
    bool containsValueForKey(std::string_view key) const;
    std::optional<std::string> decodeString(std::string_view key);
    std::optional<cf::Value> decodeNumber(std::string_view key);
    std::optional<cf::Bytes> decodeData(std::string_view key);
    std::optional<cf::CFAbsoluteTime> decodeDate(std::string_view key);
    std::optional<std::vector<ArchivedObject>> decodeArray(std::string_view key);
    // Any object; nil (an empty ArchivedObject) when absent.
    ArchivedObject decodeObject(std::string_view key);
    template <typename T> std::shared_ptr<T> decodeObjectOfClass(std::string_view key) {
        return decodeObject(key).as<T>();
    }
    // NO unless a boolean or a non-zero number.
    bool decodeBool(std::string_view key);
    // 0 unless a number.
    int64_t decodeInteger(std::string_view key);

  private:
    explicit NSKeyedUnarchiver(cf::Array objects) : m_objects(std::move(objects)) {}
    std::optional<ArchivedObject> objectAt(uint64_t uid);
    std::optional<ArchivedObject> decodeEntry(uint64_t uid);
    std::optional<ArchivedObject> decodeArrayEntry(const cf::Dictionary& entry);
    const cf::Value* field(std::string_view key) const;
    void fail(std::string reason);

    cf::Array m_objects;
    std::map<uint64_t, ArchivedObject> m_decoded;
    std::vector<bool> m_inProgress;
    const cf::Dictionary* m_current = nullptr;
    int m_depth = 0;
    bool m_failed = false;
    std::string m_failure;
};

// A UID as a keyed archive writes it: a UID node or {"CF$UID": n}.
std::optional<uint64_t> archiveUID(const cf::Value& value);

} // namespace ns
