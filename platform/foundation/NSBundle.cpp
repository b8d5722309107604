#include "platform/foundation/NSBundle.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PropertyList.h"

#include <array>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ns {

namespace {

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string parentOf(std::string_view path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

std::string lastComponent(std::string_view path) {
    auto slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string trimmedPath(std::string_view path) {
    std::string p(path);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

// A dictionary read from a plist file; nullopt when absent or of another kind (logged).
std::optional<cf::Dictionary> readDictionaryFile(const std::string& path) {
    if (!exists(path)) return std::nullopt;
    platform::Error error;
    auto value = cf::readPropertyListFile(path, &error);
    if (!value || !value->isDictionary()) {
        platform::log("NSBundle: %@ is not a readable dictionary; ignored", path);
        return std::nullopt;
    }
    return *value->asDictionary();
}

// Names are file names inside the bundle: a ".." component would leave it.
bool isSafeName(std::string_view name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        if (name.substr(start, end - start) == "..") return false;
        start = end + 1;
    }
    return !name.empty() && name.front() != '/';
}

std::string executableFile() {
    std::array<char, PATH_MAX> buffer{};
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
}

std::shared_ptr<NSBundle> bundleOfExecutable() {
    std::string exe = executableFile();
    std::string macos = parentOf(exe);
    std::string contents = parentOf(macos);
    std::string app = parentOf(contents);
    if (lastComponent(macos) == "MacOS" && lastComponent(contents) == "Contents" && app.size() > 4 &&
        app.ends_with(".app")) {
        if (auto bundle = NSBundle::bundleWithPath(app)) return bundle;
    }
    return std::make_shared<NSBundle>(macos, macos, cf::Value::emptyDictionary());
}

struct MainBundleState {
    std::mutex mutex;
    std::shared_ptr<NSBundle> bundle;
};

MainBundleState& mainState() {
    static auto* state = new MainBundleState();
    return *state;
}

} // namespace

NSBundle::NSBundle(std::string path, std::string contentsPath, cf::Value info)
    : m_path(std::move(path)), m_contents(std::move(contentsPath)), m_info(std::move(info)) {}

std::shared_ptr<NSBundle> NSBundle::mainBundle() {
    auto& state = mainState();
    std::lock_guard lock(state.mutex);
    if (!state.bundle) state.bundle = bundleOfExecutable();
    return state.bundle;
}

void NSBundle::setMainBundle(std::shared_ptr<NSBundle> bundle) {
    auto& state = mainState();
    std::lock_guard lock(state.mutex);
    state.bundle = std::move(bundle);
}

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(std::string_view path) {
    std::string folder = trimmedPath(platform::macPath(path));
    if (folder.empty() || !isDirectory(folder)) return nullptr;
    std::string contents = isDirectory(folder + "/Contents") ? folder + "/Contents" : folder;
    auto info = readDictionaryFile(contents + "/Info.plist");
    return std::make_shared<NSBundle>(folder, contents,
                                      info ? cf::Value(*info) : cf::Value::emptyDictionary());
}

std::string NSBundle::resourcePath() const {
    return m_contents == m_path ? m_path : m_contents + "/Resources";
}

std::optional<std::string> NSBundle::executablePath() const {
    auto name = objectForInfoDictionaryKey("CFBundleExecutable");
    if (!name || !name->isString() || !isSafeName(*name->asString())) return std::nullopt;
    return m_contents + "/MacOS/" + *name->asString();
}

std::optional<std::string> NSBundle::bundleIdentifier() const {
    auto id = objectForInfoDictionaryKey("CFBundleIdentifier");
    if (!id || !id->isString()) return std::nullopt;
    return *id->asString();
}

std::optional<cf::Value> NSBundle::objectForInfoDictionaryKey(std::string_view key) const {
    return m_info.objectForKey(key);
}

std::optional<std::string> NSBundle::pathForResource(std::string_view name,
                                                     std::optional<std::string_view> type) const {
    std::string file(name);
    if (type && !type->empty()) {
        file += '.';
        file += *type;
    }
    if (!isSafeName(file)) {
        if (!name.empty()) platform::log("NSBundle: resource name \"%@\" leaves the bundle; refused", file);
        return std::nullopt;
    }
    std::string resources = resourcePath();
    for (const char* sub : {"", "/en.lproj", "/Base.lproj"}) {
        std::string candidate = resources + sub + "/" + file;
        if (exists(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<cf::Dictionary> NSBundle::stringTable(const std::string& table) const {
    std::lock_guard lock(m_tablesMutex);
    auto it = m_tables.find(table);
    if (it != m_tables.end()) return it->second;
    std::optional<cf::Dictionary> found;
    std::string resources = resourcePath();
    for (const char* sub : {"/en.lproj", "/Base.lproj", ""}) {
        found = readDictionaryFile(resources + sub + "/" + table + ".strings");
        if (found) break;
    }
    m_tables.emplace(table, found);
    return found;
}

std::string NSBundle::localizedStringForKey(std::string_view key, std::optional<std::string_view> value,
                                            std::optional<std::string_view> table) const {
    std::string name = table && !table->empty() ? std::string(*table) : std::string("Localizable");
    if (isSafeName(name)) {
        if (auto strings = stringTable(name)) {
            auto it = strings->find(key);
            if (it != strings->end() && it->second.isString()) return *it->second.asString();
        }
    }
    if (value && !value->empty()) return std::string(*value);
    return std::string(key);
}

std::string NSLocalizedString(std::string_view key, std::string_view) {
    return NSBundle::mainBundle()->localizedStringForKey(key, "", std::nullopt);
}

} // namespace ns
