#include "platform/foundation/NSKeyedArchiver.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/KeyedArchiveClasses.h"

#include <mutex>

namespace ns {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, ArchiveClass, std::less<>> byName;
    std::map<std::type_index, std::string> byType;
};

Registry& registry() {
    static Registry r;
    return r;
}

} // namespace

void registerArchiveClass(ArchiveClass archiveClass) {
    if (archiveClass.classes.empty()) archiveClass.classes = {archiveClass.name, "NSObject"};
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.byType[archiveClass.type] = archiveClass.name;
    r.byName[archiveClass.name] = std::move(archiveClass);
}

namespace detail {

std::optional<ArchiveClass> archiveClassNamed(std::string_view name) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byName.find(name);
    if (it == r.byName.end()) return std::nullopt;
    return it->second;
}

std::optional<ArchiveClass> archiveClassOfType(std::type_index type) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byType.find(type);
    if (it == r.byType.end()) return std::nullopt;
    auto named = r.byName.find(it->second);
    if (named == r.byName.end()) return std::nullopt;
    return named->second;
}

platform::Error corruptArchiveError() {
    return platform::Error::withDescription(platform::NSCocoaErrorDomain, platform::NSCoderReadCorruptError,
                                            cf::kPropertyListReadCorruptDescription);
}

} // namespace detail

ArchivedObject ArchivedObject::arrayOf(std::vector<ArchivedObject> items, bool isMutable) {
    ArchivedObject o;
    o.m_isArray = true;
    o.m_isMutable = isMutable;
    o.m_items = std::make_shared<const std::vector<ArchivedObject>>(std::move(items));
    return o;
}

const std::vector<ArchivedObject>& ArchivedObject::items() const {
    static const std::vector<ArchivedObject> none;
    return m_items ? *m_items : none;
}

std::optional<uint64_t> archiveUID(const cf::Value& value) {
    if (auto uid = value.asUID()) return uid;
    const auto* dict = value.asDictionary();
    if (!dict || dict->size() != 1) return std::nullopt;
    const cf::Value* n = value.find("CF$UID");
    if (!n) return std::nullopt;
    auto stored = n->storedInteger();
    if (!stored || *stored < 0) return std::nullopt;
    return static_cast<uint64_t>(*stored);
}

// ---- Writing

NSKeyedArchiver::NSKeyedArchiver() {
    m_objects.push_back(cf::Value("$null"));
}

uint64_t NSKeyedArchiver::classRecord(const std::string& name, const std::vector<std::string>& classes) {
    auto it = m_classes.find(name);
    if (it != m_classes.end()) return it->second;
    cf::Dictionary record{{"$classname", cf::Value(name)}, {"$classes", cf::Value(classes)}};
    m_objects.push_back(cf::Value(std::move(record)));
    const uint64_t uid = m_objects.size() - 1;
    m_classes.emplace(name, uid);
    return uid;
}

uint64_t NSKeyedArchiver::add(const ArchivedObject& object) {
    if (object.isNil() || m_failed) return 0;
    if (object.value()) {
        m_objects.push_back(*object.value());
        return m_objects.size() - 1;
    }
    const void* identity = object.identity();
    if (identity) {
        auto known = m_instances.find(identity);
        if (known != m_instances.end()) return known->second;
    }
    // The slot is taken first, so the root is UID 1 and an instance met again (a shared
    // reference) finds its UID.
    m_objects.push_back(cf::Value::emptyDictionary());
    const uint64_t uid = m_objects.size() - 1;
    if (identity) m_instances.emplace(identity, uid);
    cf::Dictionary entry;
    if (object.isArray()) {
        cf::Array uids;
        for (const auto& item : object.items())
            uids.push_back(cf::Value::uid(add(item)));
        entry.insert_or_assign("NS.objects", cf::Value(std::move(uids)));
        const bool isMutable = object.isMutableArray();
        entry.insert_or_assign(
            "$class", cf::Value::uid(
                          isMutable ? classRecord("NSMutableArray", {"NSMutableArray", "NSArray", "NSObject"})
                                    : classRecord("NSArray", {"NSArray", "NSObject"})));
    } else {
        auto archiveClass = detail::archiveClassOfType(object.instanceType());
        if (!archiveClass) {
            m_failed = true;
            m_failure =
                std::string("an instance of an unregistered class (") + object.instanceType().name() + ")";
            return 0;
        }
        cf::Dictionary* outer = m_current;
        m_current = &entry;
        archiveClass->encode(object.instancePointer().get(), *this);
        m_current = outer;
        entry.insert_or_assign("$class",
                               cf::Value::uid(classRecord(archiveClass->name, archiveClass->classes)));
    }
    m_objects[uid] = cf::Value(std::move(entry));
    return uid;
}

void NSKeyedArchiver::encodeObject(const ArchivedObject& object, std::string_view key) {
    if (!m_current) return;
    const uint64_t uid = add(object);
    m_current->insert_or_assign(std::string(key), cf::Value::uid(uid));
}

void NSKeyedArchiver::encodeBool(bool value, std::string_view key) {
    if (m_current) m_current->insert_or_assign(std::string(key), cf::Value(value));
}

void NSKeyedArchiver::encodeInteger(int64_t value, std::string_view key) {
    if (m_current) m_current->insert_or_assign(std::string(key), cf::Value(value));
}

std::optional<cf::Bytes> NSKeyedArchiver::archivedDataWithRootObject(const ArchivedObject& root,
                                                                     platform::Error* error) {
    NSKeyedArchiver archiver;
    const uint64_t rootUID = archiver.add(root);
    if (archiver.m_failed) {
        platform::log("NSKeyedArchiver: cannot archive %s", archiver.m_failure);
        platform::setError(error, platform::NSCocoaErrorDomain, platform::NSCoderReadCorruptError,
                           "The data couldn't be written because it contains " + archiver.m_failure + ".");
        return std::nullopt;
    }
    cf::Dictionary top{{"root", cf::Value::uid(rootUID)}};
    cf::Dictionary archive{{"$archiver", cf::Value("NSKeyedArchiver")},
                           {"$version", cf::Value(int64_t{100000})},
                           {"$top", cf::Value(std::move(top))},
                           {"$objects", cf::Value(std::move(archiver.m_objects))}};
    return cf::dataFromPropertyList(cf::Value(std::move(archive)), cf::PropertyListFormat::Binary, error);
}

bool NSKeyedArchiver::archiveRootObject(const ArchivedObject& root, const std::string& path,
                                        platform::Error* error) {
    auto data = archivedDataWithRootObject(root, error);
    if (!data) return false;
    return cf::writeFileAtomically(platform::macPath(path), data->data(), data->size(), 0644, error);
}

} // namespace ns
