// Reading keyed archives. Every reference is checked before it is followed: a UID must name an
// entry of $objects, an instance is read at most once (shared references share it, so a small
// archive cannot expand into a huge graph), one met again while it is being read is a cycle,
// and nesting stops at kMaxArchiveDepth.
#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/KeyedArchiveClasses.h"
#include "platform/foundation/NSKeyedArchiver.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ns {

namespace {

bool isPlainKind(const cf::Value& value) {
    switch (value.kind()) {
    case cf::Value::Kind::String:
    case cf::Value::Kind::Number:
    case cf::Value::Kind::Boolean:
    case cf::Value::Kind::Data:
    case cf::Value::Kind::Date:
        return true;
    default:
        return false;
    }
}

std::optional<ArchivedObject> refuse(const std::string& reason, platform::Error* error) {
    platform::log("NSKeyedUnarchiver: archive refused: %s", reason);
    platform::setError(error, detail::corruptArchiveError());
    return std::nullopt;
}

} // namespace

void NSKeyedUnarchiver::fail(std::string reason) {
    if (m_failed) return;
    m_failed = true;
    m_failure = std::move(reason);
}

std::optional<ArchivedObject> NSKeyedUnarchiver::unarchiveObjectWithData(const cf::Bytes& data,
                                                                         platform::Error* error) {
    return unarchiveObjectWithData(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                                   error);
}

std::optional<ArchivedObject> NSKeyedUnarchiver::unarchiveObjectWithData(std::string_view data,
                                                                         platform::Error* error) {
    if (data.empty()) return refuse("no data", error);
    if (data.size() > cf::kMaxPropertyListBytes) return refuse("over 16 MiB", error);
    bool tooManyObjects = false;
    auto plist = cf::propertyListFromData(data, {"$objects", kMaxArchiveObjects}, &tooManyObjects);
    if (tooManyObjects) return refuse("over 100000 objects", error);
    if (!plist) return refuse("not a property list", error);
    const cf::Value* archiver = plist->find("$archiver");
    if (!archiver || !archiver->asString() || *archiver->asString() != "NSKeyedArchiver")
        return refuse("no $archiver \"NSKeyedArchiver\"", error);
    const cf::Value* objects = plist->find("$objects");
    if (!objects || !objects->asArray()) return refuse("no $objects array", error);
    if (objects->count() > kMaxArchiveObjects) return refuse("over 100000 objects", error);
    const cf::Value* top = plist->find("$top");
    const cf::Value* root = top ? top->find("root") : nullptr;
    std::optional<uint64_t> rootUID = root ? archiveUID(*root) : std::nullopt;
    if (!top || !top->asDictionary() || !rootUID) return refuse("no $top with a root UID", error);

    NSKeyedUnarchiver unarchiver(*objects->asArray());
    unarchiver.m_inProgress.assign(unarchiver.m_objects.size(), false);
    auto result = unarchiver.objectAt(*rootUID);
    if (unarchiver.m_failed || !result) return refuse(unarchiver.m_failure, error);
    return result;
}

std::optional<ArchivedObject> NSKeyedUnarchiver::unarchiveObjectWithFile(const std::string& path,
                                                                         platform::Error* error) {
    const std::string mapped = platform::macPath(path);
    const int fd = ::open(mapped.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        platform::setError(error, platform::Error::posix(errno));
        return std::nullopt;
    }
    struct stat st {};
    std::string bytes;
    bool tooLarge = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<size_t>(st.st_size) <= cf::kMaxPropertyListBytes) {
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            bytes.append(buffer, static_cast<size_t>(n));
            if (bytes.size() > cf::kMaxPropertyListBytes) {
                tooLarge = true;
                break;
            }
        }
    } else {
        tooLarge = S_ISREG(st.st_mode);
    }
    ::close(fd);
    if (tooLarge) return refuse(mapped + " is over 16 MiB", error);
    if (bytes.empty()) return refuse(mapped + " is empty or not a file", error);
    return unarchiveObjectWithData(std::string_view(bytes), error);
}

std::optional<ArchivedObject> NSKeyedUnarchiver::objectAt(uint64_t uid) {
    if (m_failed) return std::nullopt;
    if (uid == 0) return ArchivedObject();
    if (uid >= m_objects.size()) {
        fail("UID " + std::to_string(uid) + " out of range");
        return std::nullopt;
    }
    if (auto done = m_decoded.find(uid); done != m_decoded.end()) return done->second;
    if (m_inProgress[uid]) {
        fail("a reference cycle through UID " + std::to_string(uid));
        return std::nullopt;
    }
    if (m_depth >= kMaxArchiveDepth) {
        fail("nested deeper than 64");
        return std::nullopt;
    }
    m_inProgress[uid] = true;
    ++m_depth;
    auto result = decodeEntry(uid);
    --m_depth;
    m_inProgress[uid] = false;
    if (m_failed || !result) return std::nullopt;
    m_decoded.emplace(uid, *result);
    return result;
}

std::optional<ArchivedObject> NSKeyedUnarchiver::decodeEntry(uint64_t uid) {
    const cf::Value& entry = m_objects[uid];
    if (isPlainKind(entry)) return ArchivedObject(entry);
    const cf::Dictionary* dict = entry.asDictionary();
    if (!dict) {
        fail("entry " + std::to_string(uid) + " is neither a value nor an object");
        return std::nullopt;
    }
    const cf::Value* classRef = entry.find("$class");
    std::optional<uint64_t> classUID = classRef ? archiveUID(*classRef) : std::nullopt;
    if (!classUID) {
        fail("object " + std::to_string(uid) + " without $class");
        return std::nullopt;
    }
    if (*classUID == 0 || *classUID >= m_objects.size()) {
        fail("class UID " + std::to_string(*classUID) + " out of range");
        return std::nullopt;
    }
    const cf::Value* className = m_objects[*classUID].find("$classname");
    if (!className || !className->asString()) {
        fail("class record " + std::to_string(*classUID) + " without $classname");
        return std::nullopt;
    }
    const std::string& name = *className->asString();
    if (name == "NSArray" || name == "NSMutableArray") {
        auto array = decodeArrayEntry(*dict);
        if (array && name == "NSMutableArray") return ArchivedObject::arrayOf(array->items(), true);
        return array;
    }
    auto archiveClass = detail::archiveClassNamed(name);
    if (!archiveClass || !archiveClass->decode) {
        fail("unregistered class \"" + name + "\"");
        return std::nullopt;
    }
    const cf::Dictionary* outer = m_current;
    m_current = dict;
    std::shared_ptr<void> instance = archiveClass->decode(*this);
    m_current = outer;
    if (m_failed) return std::nullopt;
    if (!instance) {
        fail("class \"" + name + "\" could not read object " + std::to_string(uid));
        return std::nullopt;
    }
    return ArchivedObject::instanceOfType(std::move(instance), archiveClass->type);
}

std::optional<ArchivedObject> NSKeyedUnarchiver::decodeArrayEntry(const cf::Dictionary& entry) {
    auto it = entry.find("NS.objects");
    const cf::Array* uids = it == entry.end() ? nullptr : it->second.asArray();
    if (!uids) {
        fail("array without NS.objects");
        return std::nullopt;
    }
    std::vector<ArchivedObject> items;
    items.reserve(uids->size());
    for (const auto& ref : *uids) {
        auto uid = archiveUID(ref);
        if (!uid) {
            fail("array element that is no UID");
            return std::nullopt;
        }
        auto item = objectAt(*uid);
        if (!item) return std::nullopt;
        items.push_back(std::move(*item));
    }
    return ArchivedObject::arrayOf(std::move(items));
}

// ---- Keys of the instance being read

const cf::Value* NSKeyedUnarchiver::field(std::string_view key) const {
    if (!m_current || m_failed) return nullptr;
    auto it = m_current->find(key);
    return it == m_current->end() ? nullptr : &it->second;
}

bool NSKeyedUnarchiver::containsValueForKey(std::string_view key) const {
    return field(key) != nullptr;
}

ArchivedObject NSKeyedUnarchiver::decodeObject(std::string_view key) {
    const cf::Value* value = field(key);
    if (!value) return {};
    if (auto uid = archiveUID(*value)) return objectAt(*uid).value_or(ArchivedObject());
    if (isPlainKind(*value)) return ArchivedObject(*value);
    return {};
}

std::optional<std::string> NSKeyedUnarchiver::decodeString(std::string_view key) {
    auto object = decodeObject(key);
    if (object.value() && object.value()->asString()) return *object.value()->asString();
    return std::nullopt;
}

std::optional<cf::Value> NSKeyedUnarchiver::decodeNumber(std::string_view key) {
    auto object = decodeObject(key);
    if (object.value() && object.value()->isNumber()) return *object.value();
    return std::nullopt;
}

std::optional<cf::Bytes> NSKeyedUnarchiver::decodeData(std::string_view key) {
    auto object = decodeObject(key);
    if (object.value() && object.value()->asData()) return *object.value()->asData();
    return std::nullopt;
}

std::optional<cf::CFAbsoluteTime> NSKeyedUnarchiver::decodeDate(std::string_view key) {
    auto object = decodeObject(key);
    if (object.value()) return object.value()->asDate();
    return std::nullopt;
}

std::optional<std::vector<ArchivedObject>> NSKeyedUnarchiver::decodeArray(std::string_view key) {
    auto object = decodeObject(key);
    if (object.isArray()) return object.items();
    return std::nullopt;
}

bool NSKeyedUnarchiver::decodeBool(std::string_view key) {
    auto object = decodeObject(key);
    if (!object.value()) return false;
    if (auto b = object.value()->asBool()) return *b;
    if (object.value()->isNumber()) return object.value()->doubleValue() != 0.0;
    return false;
}

int64_t NSKeyedUnarchiver::decodeInteger(std::string_view key) {
    auto object = decodeObject(key);
    if (object.value() && object.value()->isNumber()) return object.value()->integerValue();
    return 0;
}

} // namespace ns
