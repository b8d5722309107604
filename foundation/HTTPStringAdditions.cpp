// File types, query texts, escapes, counts and error texts, names and paths of the file-serving
// helpers.
#include "foundation/HTTPStringAdditions.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/PercentEscapes.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace foundation {

namespace {

constexpr char kURLErrorDomain[] = "NSURLErrorDomain";
constexpr int64_t kURLErrorTimedOut = -1001;
constexpr int64_t kURLErrorNotConnectedToInternet = -1009;

const cf::Dictionary* fileTypeEntry(std::string_view extension) {
    const cf::Dictionary& table = fileTypeInfoDictionary();
    auto it = table.find(extension);
    return it == table.end() ? nullptr : it->second.asDictionary();
}

std::optional<std::string> entryText(std::string_view extension, std::string_view key) {
    const cf::Dictionary* entry = fileTypeEntry(extension);
    auto it = entry ? entry->find(key) : cf::Dictionary::const_iterator();
    if (!entry || it == entry->end() || !it->second.isString()) return std::nullopt;
    return *it->second.asString();
}

std::string localized(std::string_view text, std::optional<std::string_view> table = std::nullopt) {
    return ns::NSBundle::mainBundle()->localizedStringForKey(text, "", table);
}

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos || path.size() == 1 ? path : path.substr(slash + 1));
}

} // namespace

cf::Dictionary fileTypeInfoDictionaryFromFile(const std::optional<std::string>& path) {
    if (!path) {
        platform::log("FiletypeInfo.plist is missing: no file types are known");
        return {};
    }
    platform::Error error;
    auto plist = cf::readPropertyListFile(*path, &error);
    if (!plist || !plist->isDictionary()) {
        platform::log("FiletypeInfo.plist is malformed (%@): no file types are known",
                      plist ? std::string("not a dictionary") : error.localizedDescription());
        return {};
    }
    return *plist->asDictionary();
}

const cf::Dictionary& fileTypeInfoDictionary() {
    static std::mutex lock;
    static std::optional<cf::Dictionary> table;
    std::lock_guard guard(lock);
    if (!table)
        table = fileTypeInfoDictionaryFromFile(
            ns::NSBundle::mainBundle()->pathForResource("FiletypeInfo", "plist"));
    return *table;
}

std::optional<std::string> descriptionForFileExtension(std::string_view extension) {
    if (extension.empty()) return std::nullopt;
    auto description = entryText(extension, "description");
    if (!description || description->empty()) return description;
    return localized(*description, "FiletypeInfo");
}

std::string iconNameForFileExtension(std::string_view extension) {
    return entryText(extension, "icon").value_or("GenericDocumentIcon");
}

std::optional<std::string> mimeTypeForFileExtension(std::string_view extension) {
    if (extension.empty()) return std::nullopt;
    return entryText(extension, "mimeType").value_or("application/octet-stream");
}

std::string queryStringWithDictionary(const QueryDictionary* dictionary, ns::NSStringEncoding encoding) {
    if (!dictionary) return "";
    std::string query;
    auto item = [&](const std::string& key, const ns::Id& value) {
        auto escapedKey = urlEncodedValue(key, encoding);
        std::optional<std::string> escapedValue;
        if (!value.isNil()) {
            if (!value.string()) return; // neither nil nor text: skipped
            escapedValue = urlEncodedValue(*value.string(), encoding);
            if (!escapedValue) return;
        }
        if (!escapedKey) return;
        if (!query.empty()) query += '&';
        query += *escapedKey;
        if (escapedValue) query += "=" + *escapedValue;
    };
    for (const auto& [key, value] : *dictionary) {
        if (value.array() || (value.value() && value.value()->isArray()))
            for (const ns::Id& element : value.arrayValue())
                item(key, element);
        else
            item(key, value);
    }
    return query;
}

std::optional<std::string> urlEncodedValue(std::string_view text, ns::NSStringEncoding encoding) {
    return ns::CFURLCreateStringByAddingPercentEscapes(text, "", "?=&+", encoding);
}

std::optional<std::string> stringWithPercents(std::string_view text) {
    return ns::CFURLCreateStringByAddingPercentEscapes(text, "", "!*'();:@&=+$,?%#[]",
                                                       ns::NSUTF8StringEncoding);
}

std::string stringFromCount(int64_t count) {
    if (count == 0) return localized("No items");
    if (count == 1) return localized("1 item");
    std::string format =
        ns::NSBundle::mainBundle()->localizedStringForKey("item count format", "%ld items", {});
    return platform::format(format, count); // a translated format is checked against its argument
}

std::string descriptionForError(const platform::Error& error) {
    if (error.domain != kURLErrorDomain) return localized("Error");
    if (error.code == kURLErrorTimedOut) return localized("Connection Timed Out");
    if (error.code == kURLErrorNotConnectedToInternet) return localized("No Internet Connection");
    return localized("Connection Error");
}

bool isInvisibleFile(std::string_view name) {
    return name.starts_with(".") || ns::lowercaseString(name).starts_with(":2e") || name == "Desktop DB" ||
           name == "Desktop DF" || name == "Icon\r" || name == "Icon_";
}

bool isInvisibleFileAtPath(std::string_view name, std::string_view folder, std::string_view systemType) {
    static constexpr std::array<std::string_view, 18> kDarwinRootNames = {
        "bin/", "cores/",   "dev/",  "etc/", "home/", "mach", "mach_kernel", "mach_kernel.ctfsys",
        "net/", "private/", "sbin/", "tmp/", "usr/",  "var/", "opt/",        "etc",
        "tmp",  "var"};
    if (folder == "/") {
        bool darwin =
            systemType.starts_with("Darwin") &&
            std::find(kDarwinRootNames.begin(), kDarwinRootNames.end(), name) != kDarwinRootNames.end();
        if (darwin || name == "Inbox") return true;
    }
    return isInvisibleFile(name);
}

std::string pathExtension(std::string_view path) {
    std::string name = lastPathComponent(path);
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

std::string documentExtension(std::string_view path) {
    std::string extension = ns::lowercaseString(pathExtension(path));
    if (extension != "zip") return extension;
    std::string name = lastPathComponent(path);
    size_t last = name.rfind('.'), previous = last == 0 ? std::string::npos : name.rfind('.', last - 1);
    if (previous == std::string::npos) return extension; // fewer than three parts
    return ns::lowercaseString(name.substr(previous + 1, last - previous - 1));
}

bool hasPathExtension(std::string_view path, std::string_view extension) {
    return isEqualToCaselessString(pathExtension(path), extension);
}

bool hasDocumentExtension(std::string_view path, std::string_view extension) {
    return isEqualToCaselessString(documentExtension(path), extension);
}

bool pathIsWithinSandbox(std::string_view path) {
    // Counting alone ("parts less two, less one per ..") lets "/a/../../x" pass; the walk also
    // refuses a path whose prefix climbs above where it started.
    int64_t parts = 1, climbs = 0, depth = 0;
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        std::string_view part =
            path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
        if (part == "..") {
            ++climbs;
            if (--depth < 0) return false;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        if (slash == std::string_view::npos) break;
        ++parts;
        start = slash + 1;
    }
    return parts - 2 - climbs >= 0;
}

bool isEqualToCaselessString(std::string_view a, std::string_view b) {
    return ns::caseInsensitiveCompare(a, b) == ns::NSOrderedSame;
}

} // namespace foundation
