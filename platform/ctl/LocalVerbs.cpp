// platformctl's verbs that need no platformd: preferences through the preferences facade
// (posting nothing) and the programs' log files.
#include "platform/core/Format.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/ctl/Platformctl.h"
#include "platform/ipc/UniqueFd.h"

#include <algorithm>
#include <cmath>
#include <dirent.h>
#include <fcntl.h>
#include <ostream>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace ctl {

namespace {

std::optional<cf::Value> typedValue(const std::string& type, const std::string& text) {
    if (type == "string") return cf::Value(text);
    if (type == "bool") {
        if (text == "YES" || text == "yes" || text == "true" || text == "1") return cf::Value(true);
        if (text == "NO" || text == "no" || text == "false" || text == "0") return cf::Value(false);
        return std::nullopt;
    }
    if (type == "int") {
        if (auto n = parseInteger(text)) return cf::Value(static_cast<int64_t>(*n));
        return std::nullopt;
    }
    if (type == "float") {
        if (auto d = parseReal(text); d && std::isfinite(*d)) return cf::Value(*d);
        return std::nullopt;
    }
    return std::nullopt;
}

bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

std::string plainText(const cf::Value& value) {
    if (const std::string* s = value.asString()) return *s;
    if (auto b = value.asBool()) return *b ? "YES" : "NO";
    if (value.isNumber() && !value.isFloatNumber()) return std::to_string(*value.storedInteger());
    if (value.isNumber()) return platform::format("%g", value.doubleValue());
    return value.description();
}

int Platformctl::prefs(const std::vector<std::string>& args) {
    auto a = parse(args, {{"any-user", false}, {"current-host", false}}, 2, 5);
    if (!a) return kUsage;
    const auto& words = a->positionals();
    const std::string& action = words[0];
    const std::string& domain = words[1];
    std::string_view user = a->has("any-user") ? cf::kCFPreferencesAnyUser : cf::kCFPreferencesCurrentUser;
    std::string_view host =
        a->has("current-host") ? cf::kCFPreferencesCurrentHost : cf::kCFPreferencesAnyHost;
    std::string file = platform::preferencesFilePath(domain, user, host);
    if (file.empty()) return fail("\"" + domain + "\" is not a preferences domain");
    if (action == "read" && words.size() <= 3) {
        if (words.size() == 3) {
            auto value = cf::CFPreferencesCopyValue(words[2], domain, user, host);
            if (!value) return fail("no value for " + words[2] + " in " + domain);
            m_out << plainText(*value) << "\n";
            return kSuccess;
        }
        auto all = cf::readPropertyListFile(file);
        if (all && all->asDictionary())
            for (const auto& [key, value] : *all->asDictionary())
                m_out << key << " = " << plainText(value) << "\n";
        return kSuccess;
    }
    if (action == "write" && words.size() == 5) {
        auto value = typedValue(words[3], words[4]);
        if (!value) return usage("write takes bool|int|float|string and a value of that type");
        cf::CFPreferencesSetValue(words[2], *value, domain, user, host);
        return changed(domain + ": " + words[2] + " = " + plainText(*value));
    }
    if (action == "delete" && words.size() == 3) {
        cf::CFPreferencesSetValue(words[2], std::nullopt, domain, user, host);
        return changed(domain + ": " + words[2] + " deleted");
    }
    return usage(
        "prefs takes read <domain> [key], write <domain> <key> <type> <value> or delete <domain> <key>");
}

int Platformctl::logs(const std::vector<std::string>& args) {
    auto a = parse(args, {{"follow", false}}, 0, 1);
    if (!a) return kUsage;
    std::string folder = m_root + "/var/log";
    if (a->positionals().empty()) {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
        if (!dir) return fail("no logs in " + folder);
        std::vector<std::string> names;
        while (dirent* e = ::readdir(dir.get())) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0)
                names.push_back(name.substr(0, name.size() - 4));
        }
        std::sort(names.begin(), names.end());
        for (const auto& n : names)
            m_out << n << "\n";
        return kSuccess;
    }
    const std::string& executable = a->positionals()[0];
    if (!isPlainName(executable)) return usage("a log is named by its executable");
    std::string path = folder + "/" + executable + ".log";
    ipc::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd && !a->has("follow")) return fail("no log for " + executable);
    char buf[65536];
    ssize_t n;
    while (fd && (n = ::read(fd.get(), buf, sizeof buf)) > 0)
        m_out.write(buf, n);
    m_out.flush();
    return a->has("follow") ? followFile(path) : kSuccess;
}

int Platformctl::followFile(const std::string& path) {
    ipc::UniqueFd notify(::inotify_init1(IN_CLOEXEC));
    std::string folder = path.substr(0, path.rfind('/'));
    if (!notify || ::inotify_add_watch(notify.get(), folder.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0)
        return fail("cannot follow " + path);
    ipc::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) ::lseek(fd.get(), 0, SEEK_END);
    char buf[65536];
    for (;;) {
        // Only a change in the log's folder ends this wait; following runs until interrupted.
        pollfd p{notify.get(), POLLIN, 0};
        if (::poll(&p, 1, -1) <= 0) continue;
        [[maybe_unused]] ssize_t drained = ::read(notify.get(), buf, sizeof buf);
        if (!fd) fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ssize_t n;
        while (fd && (n = ::read(fd.get(), buf, sizeof buf)) > 0)
            m_out.write(buf, n);
        m_out.flush();
    }
}

} // namespace ctl
