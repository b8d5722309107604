#include "platform/corefoundation/CFPreferences.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PreferencesFile.h"
#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/TextValues.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

struct ApplicationDomain {
    std::mutex mutex;
    std::string domain;
};

ApplicationDomain& applicationDomain() {
    static ApplicationDomain current;
    return current;
}

std::string executableName() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0) {
        std::string path(buffer, static_cast<size_t>(n));
        return path.substr(path.rfind('/') + 1);
    }
    return program_invocation_short_name ? program_invocation_short_name : "process";
}

bool isGlobal(std::string_view app) { return app == cf::kCFPreferencesAnyApplication || app == cf::NSGlobalDomain; }

// The file-name stem of a domain; empty when the name cannot be a file name.
std::string domainStem(std::string_view app) {
    if (isGlobal(app)) return ".GlobalPreferences";
    std::string name = app == cf::kCFPreferencesCurrentApplication ? currentApplicationDomain() : std::string(app);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        return {};
    return name;
}

} // namespace

void setCurrentApplicationDomain(std::string domain) {
    auto& current = applicationDomain();
    std::lock_guard lock(current.mutex);
    current.domain = std::move(domain);
}

std::string currentApplicationDomain() {
    auto& current = applicationDomain();
    std::lock_guard lock(current.mutex);
    if (current.domain.empty()) current.domain = executableName();
    return current.domain;
}

std::string preferencesFilePath(std::string_view app, std::string_view user, std::string_view host) {
    std::string stem = domainStem(app);
    if (stem.empty()) {
        log("Preferences domain \"%s\" is not a valid name; ignored", std::string(app));
        return {};
    }
    std::string folder = user == cf::kCFPreferencesAnyUser ? macPath("/Library/Preferences")
                                                            : homeDirectory() + "/Library/Preferences";
    if (host == cf::kCFPreferencesAnyHost) return folder + "/" + stem + ".plist";
    return folder + "/ByHost/" + stem + "." + Profile::current()->hardwareUUID + ".plist";
}

} // namespace platform

namespace cf {

namespace {

std::shared_ptr<detail::PreferencesFile> fileFor(std::string_view app, std::string_view user, std::string_view host) {
    std::string path = platform::preferencesFilePath(app, user, host);
    if (path.empty()) return nullptr;
    return detail::preferencesFile(path);
}

// The files CFPreferencesCopyAppValue searches, in order.
std::vector<std::shared_ptr<detail::PreferencesFile>> searchList(std::string_view app) {
    std::vector<std::shared_ptr<detail::PreferencesFile>> files;
    if (!platform::isGlobal(app)) files.push_back(fileFor(app, kCFPreferencesCurrentUser, kCFPreferencesAnyHost));
    files.push_back(fileFor(kCFPreferencesAnyApplication, kCFPreferencesCurrentUser, kCFPreferencesAnyHost));
    files.push_back(fileFor(kCFPreferencesAnyApplication, kCFPreferencesAnyUser, kCFPreferencesAnyHost));
    return files;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

void setValid(bool* out, bool valid) {
    if (out) *out = valid;
}

} // namespace

std::optional<Value> CFPreferencesCopyAppValue(std::string_view key, std::string_view applicationID) {
    for (const auto& file : searchList(applicationID)) {
        if (!file) continue;
        if (auto value = file->get(key)) return value;
    }
    return std::nullopt;
}

void CFPreferencesSetAppValue(std::string_view key, const std::optional<Value>& value, std::string_view applicationID) {
    CFPreferencesSetValue(key, value, applicationID, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
}

bool CFPreferencesAppSynchronize(std::string_view applicationID) {
    auto files = searchList(applicationID);
    files.push_back(fileFor(applicationID, kCFPreferencesCurrentUser, kCFPreferencesCurrentHost));
    bool ok = true;
    for (const auto& file : files) {
        if (file && !file->synchronize()) ok = false;
    }
    return ok;
}

bool CFPreferencesGetAppBooleanValue(std::string_view key, std::string_view applicationID,
                                     bool* keyExistsAndHasValidFormat) {
    auto value = CFPreferencesCopyAppValue(key, applicationID);
    setValid(keyExistsAndHasValidFormat, false);
    if (!value) return false;
    if (value->isBoolean() || value->isNumber()) {
        setValid(keyExistsAndHasValidFormat, true);
        return value->boolValue();
    }
    if (const auto* text = value->asString()) {
        bool yes = equalsIgnoringCase(*text, "YES") || equalsIgnoringCase(*text, "true");
        bool no = equalsIgnoringCase(*text, "NO") || equalsIgnoringCase(*text, "false");
        setValid(keyExistsAndHasValidFormat, yes || no);
        return yes;
    }
    return false;
}

CFIndex CFPreferencesGetAppIntegerValue(std::string_view key, std::string_view applicationID,
                                        bool* keyExistsAndHasValidFormat) {
    auto value = CFPreferencesCopyAppValue(key, applicationID);
    setValid(keyExistsAndHasValidFormat, false);
    if (!value) return 0;
    if (value->isBoolean() || value->isNumber()) {
        setValid(keyExistsAndHasValidFormat, true);
        return value->integerValue();
    }
    if (const auto* text = value->asString()) {
        if (auto number = textStrictInteger(*text)) {
            setValid(keyExistsAndHasValidFormat, true);
            return *number;
        }
    }
    return 0;
}

std::optional<Value> CFPreferencesCopyValue(std::string_view key, std::string_view applicationID,
                                            std::string_view userName, std::string_view hostName) {
    auto file = fileFor(applicationID, userName, hostName);
    return file ? file->get(key) : std::nullopt;
}

void CFPreferencesSetValue(std::string_view key, const std::optional<Value>& value, std::string_view applicationID,
                           std::string_view userName, std::string_view hostName) {
    if (auto file = fileFor(applicationID, userName, hostName)) file->set(key, value);
}

bool CFPreferencesSynchronize(std::string_view applicationID, std::string_view userName, std::string_view hostName) {
    auto file = fileFor(applicationID, userName, hostName);
    return file ? file->synchronize() : false;
}

} // namespace cf
