#include "platform/corefoundation/PropertyList.h"

#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PlistBounds.h"

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace cf {

namespace {

using platform::Error;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

void setCorrupt(Error* error) {
    platform::setError(error, platform::NSCocoaErrorDomain, platform::NSPropertyListReadCorruptError,
                       kPropertyListReadCorruptDescription);
}

void setUnwritable(Error* error) {
    platform::setError(error, platform::NSCocoaErrorDomain, platform::NSPropertyListWriteInvalidError);
}

void setErrno(Error* error, int err, const std::string& path) {
    if (!error) return;
    *error = Error::posix(err);
    error->userInfo.insert_or_assign(platform::NSFilePathErrorKey, Value(path));
}

// ---- libplist nodes to values ----

std::optional<Value> fromNode(plist_t node, int depth);
bool isValidUTF8(std::string_view s);

std::optional<Value> fromArray(plist_t node, int depth) {
    if (depth >= kMaxPropertyListDepth) return std::nullopt;
    Array items;
    items.reserve(plist_array_get_size(node));
    // The iterator walks the children once; asking for each by index walks them every time.
    plist_array_iter iter = nullptr;
    plist_array_new_iter(node, &iter);
    if (!iter) return std::nullopt;
    bool ok = true;
    for (;;) {
        plist_t child = nullptr;
        plist_array_next_item(node, iter, &child);
        if (!child) break;
        auto item = fromNode(child, depth + 1);
        if (!item) {
            ok = false;
            break;
        }
        items.push_back(std::move(*item));
    }
    std::free(iter);
    if (!ok) return std::nullopt;
    return Value(std::move(items));
}

std::optional<Value> fromDictionary(plist_t node, int depth) {
    if (depth >= kMaxPropertyListDepth) return std::nullopt;
    Dictionary items;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node, &iter);
    bool ok = iter != nullptr;
    while (ok) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &key, &item);
        if (!item) {
            std::free(key);
            break;
        }
        // Text that could not be written back is refused on reading: a file holding it would
        // read, and then every write of it would fail.
        auto value = key && isValidUTF8(key) ? fromNode(item, depth + 1) : std::nullopt;
        if (value) items.insert_or_assign(std::string(key), std::move(*value));
        else ok = false;
        std::free(key);
    }
    std::free(iter);
    if (!ok) return std::nullopt;
    return Value(std::move(items));
}

std::optional<Value> fromNode(plist_t node, int depth) {
    if (!node) return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return Value::number(kCFNumberSInt64Type, static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value::number(kCFNumberFloat64Type, d);
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        std::string text = s ? std::string(s, length) : std::string();
        if (!isValidUTF8(text)) return std::nullopt; // as for keys: it could never be written back
        return Value(std::move(text));
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // libplist hands a date over as 32-bit seconds and microseconds: one beyond that range
        // comes out as the lowest second, with microseconds that may be past a second (which
        // no writer accepts). Those are refused rather than read as some other date.
        // It also takes the seconds toward zero and the microseconds as a magnitude, so an
        // earlier date's fraction counts back from its second (within the second before the
        // reference date the sign is lost: read as after it).
        const double fraction = static_cast<double>(usec) / 1e6;
        const double seconds = static_cast<double>(sec) + (sec < 0 ? -fraction : fraction);
        if (sec == INT32_MIN || usec <= -1'000'000 || usec >= 1'000'000 || std::floor(seconds) < INT32_MIN)
            return std::nullopt;
        return Value::date(seconds);
    }
    case PLIST_DATA: {
        char* d = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &d, &length);
        Value v = Value::data(d, d ? length : 0);
        std::free(d);
        return v;
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        return Value::uid(u);
    }
    case PLIST_ARRAY: return fromArray(node, depth);
    case PLIST_DICT: return fromDictionary(node, depth);
    default: return std::nullopt;
    }
}

// ---- values to libplist nodes ----

bool isValidUTF8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == 0) return false; // libplist keeps C strings: a NUL would cut the text
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
        if (extra == 0 || c > 0xf4 || i + extra >= s.size())
            return false;
        uint32_t cp = c & (0x3f >> extra);
        for (size_t k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        static const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += extra + 1;
    }
    return true;
}

plist_t toNode(const Value& value, int depth);

plist_t toArray(const Array& items, int depth) {
    if (depth >= kMaxPropertyListDepth) return nullptr;
    PlistPtr array(plist_new_array());
    for (const auto& item : items) {
        plist_t child = toNode(item, depth + 1);
        if (!child) return nullptr;
        plist_array_append_item(array.get(), child);
    }
    return array.release();
}

plist_t toDictionary(const Dictionary& items, int depth) {
    if (depth >= kMaxPropertyListDepth) return nullptr;
    PlistPtr dict(plist_new_dict());
    for (const auto& [key, item] : items) {
        if (!isValidUTF8(key)) return nullptr;
        plist_t child = toNode(item, depth + 1);
        if (!child) return nullptr;
        plist_dict_set_item(dict.get(), key.c_str(), child);
    }
    return dict.release();
}

plist_t toDate(double secondsSince2001) {
    double whole = std::floor(secondsSince2001);
    if (!std::isfinite(whole) || whole < INT32_MIN || whole > INT32_MAX) return nullptr;
    auto sec = static_cast<int64_t>(whole);
    auto usec = static_cast<int64_t>(std::llround((secondsSince2001 - whole) * 1e6));
    if (usec >= 1'000'000) {
        sec += 1;
        usec -= 1'000'000;
    }
    if (sec > INT32_MAX) return nullptr;
    return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec));
}

plist_t toNode(const Value& value, int depth) {
    switch (value.kind()) {
    case Value::Kind::String:
        return isValidUTF8(*value.asString()) ? plist_new_string(value.asString()->c_str()) : nullptr;
    case Value::Kind::Number:
        if (value.isFloatNumber()) return plist_new_real(*value.storedReal());
        return plist_new_uint(static_cast<uint64_t>(*value.storedInteger()));
    case Value::Kind::Boolean: return plist_new_bool(*value.asBool() ? 1 : 0);
    case Value::Kind::Data: {
        const Bytes& bytes = *value.asData();
        return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case Value::Kind::Date: return toDate(*value.asDate());
    case Value::Kind::Array: return toArray(*value.asArray(), depth);
    case Value::Kind::Dictionary: return toDictionary(*value.asDictionary(), depth);
    case Value::Kind::UID: return plist_new_uid(*value.asUID());
    }
    return nullptr;
}

// Serialises one thread at a time per process so <path>.tmp.<pid> is never shared.
std::mutex& atomicWriteMutex() {
    static std::mutex m;
    return m;
}

bool writeAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Reads a whole regular file of at most kMaxPropertyListBytes.
std::optional<std::string> readBoundedFile(const std::string& path, Error* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        setErrno(error, errno, path);
        return std::nullopt;
    }
    struct stat st {};
    std::string contents;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    int err = ok ? 0 : (errno ? errno : EINVAL);
    bool tooLong = ok && static_cast<uint64_t>(st.st_size) > kMaxPropertyListBytes;
    if (ok && !tooLong) {
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                ok = false;
                err = errno;
                break;
            }
            if (n == 0) break;
            contents.append(buffer, static_cast<size_t>(n));
            if (contents.size() > kMaxPropertyListBytes) { // grew while we read
                tooLong = true;
                break;
            }
        }
    }
    ::close(fd);
    if (tooLong) {
        setCorrupt(error);
        return std::nullopt;
    }
    if (!ok) {
        setErrno(error, err, path);
        return std::nullopt;
    }
    return contents;
}

} // namespace

std::optional<Value> propertyListFromData(std::string_view bytes, Error* error) {
    return propertyListFromData(bytes, RootArrayLimit{}, nullptr, error);
}

std::optional<Value> propertyListFromData(std::string_view bytes, const RootArrayLimit& limit, bool* overLimit,
                                          Error* error) {
    if (overLimit) *overLimit = false;
    if (bytes.empty() || bytes.size() > kMaxPropertyListBytes) {
        setCorrupt(error);
        return std::nullopt;
    }
    bool binary = bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0;
    bool bounded = binary ? detail::binaryWithinBounds(bytes) : detail::xmlWithinBounds(bytes);
    plist_t root = nullptr;
    if (bounded) {
        auto length = static_cast<uint32_t>(bytes.size());
        if (binary) plist_from_bin(bytes.data(), length, &root);
        else plist_from_xml(bytes.data(), length, &root);
    }
    PlistPtr owner(root);
    if (root && !limit.key.empty() && plist_get_node_type(root) == PLIST_DICT) {
        plist_t array = plist_dict_get_item(root, std::string(limit.key).c_str());
        if (array && plist_get_node_type(array) == PLIST_ARRAY && plist_array_get_size(array) > limit.maxCount) {
            if (overLimit) *overLimit = true;
            setCorrupt(error);
            return std::nullopt;
        }
    }
    auto value = root ? fromNode(root, 0) : std::nullopt;
    if (!value) setCorrupt(error);
    return value;
}

std::optional<Value> propertyListFromData(const Bytes& bytes, Error* error) {
    return propertyListFromData(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error);
}

std::optional<Bytes> dataFromPropertyList(const Value& value, PropertyListFormat format, Error* error) {
    PlistPtr root(toNode(value, 0));
    if (!root) {
        setUnwritable(error);
        return std::nullopt;
    }
    char* out = nullptr; // libplist 2.2 needs a null start
    uint32_t length = 0;
    if (format == PropertyListFormat::XML) plist_to_xml(root.get(), &out, &length);
    else plist_to_bin(root.get(), &out, &length);
    std::optional<Bytes> bytes;
    if (out && length > 0 && length <= kMaxPropertyListBytes)
        bytes = Bytes(reinterpret_cast<uint8_t*>(out), reinterpret_cast<uint8_t*>(out) + length);
    if (format == PropertyListFormat::XML) plist_to_xml_free(out);
    else plist_to_bin_free(out);
    if (!bytes) setUnwritable(error);
    return bytes;
}

std::optional<Value> readPropertyListFile(const std::string& path, Error* error) {
    std::string mapped = platform::macPath(path);
    auto contents = readBoundedFile(mapped, error);
    if (!contents) return std::nullopt;
    return propertyListFromData(std::string_view(*contents), error);
}

bool writePropertyListFile(const Value& value, const std::string& path, PropertyListFormat format, Error* error,
                           mode_t mode) {
    auto bytes = dataFromPropertyList(value, format, error);
    if (!bytes) return false;
    return writeFileAtomically(platform::macPath(path), bytes->data(), bytes->size(), mode, error);
}

bool writeFileAtomically(const std::string& path, const void* bytes, size_t length, mode_t mode, Error* error) {
    std::lock_guard lock(atomicWriteMutex());
    std::string tmp = path + ".tmp." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        setErrno(error, errno, tmp);
        return false;
    }
    // fchmod: the umask must not widen or narrow what the caller asked for.
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, static_cast<const uint8_t*>(bytes), length);
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        setErrno(error, err, path);
    }
    return ok;
}

bool createDirectories(const std::string& path, mode_t mode, Error* error) {
    if (path.empty()) return true;
    size_t at = 0;
    while (at != std::string::npos) {
        at = path.find('/', at + 1);
        std::string prefix = path.substr(0, at);
        if (prefix.empty()) continue;
        if (::mkdir(prefix.c_str(), mode) == 0) continue;
        struct stat st {};
        if (errno == EEXIST && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        setErrno(error, errno == EEXIST ? ENOTDIR : errno, prefix);
        return false;
    }
    return true;
}

} // namespace cf
