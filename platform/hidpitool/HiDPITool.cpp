#include "platform/hidpitool/HiDPITool.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

namespace hidpitool {

namespace {

std::string baseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Arguments are a handful of bytes; a long one is shown cut.
std::string shown(const std::string& word) {
    constexpr size_t kShownBytes = 32;
    std::string out;
    for (char c : word.substr(0, kShownBytes)) out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return word.size() > kShownBytes ? out + "..." : out;
}

bool writeSetting(bool enable) {
    cf::CFPreferencesSetValue(kDisplayResolutionEnabled, cf::Value(enable), kWindowServerDomain,
                              cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
    cf::CFPreferencesSynchronize(kWindowServerDomain, cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
    auto stored = cf::CFPreferencesCopyValue(kDisplayResolutionEnabled, kWindowServerDomain, cf::kCFPreferencesAnyUser,
                                             cf::kCFPreferencesCurrentHost);
    return stored && stored->isBoolean() && cf::CFBooleanGetValue(*stored) == enable;
}

bool requestLogout(const std::string& toolName) {
    platform::Error error;
    auto connection = ipc::Connection::shared(&error);
    if (!connection) {
        platform::log("%@: cannot ask for a logout: %@", toolName, error);
        return false;
    }
    auto reply = connection->request(
        ipc::op::recordEvent, cf::Dictionary{{"kind", kLogoutRequestedEvent}, {"fields", cf::Dictionary{{"tool", toolName}}}});
    if (!reply.ok) {
        platform::log("%@: the logout request was refused: %@", toolName, reply.error);
        return false;
    }
    return true;
}

} // namespace

std::optional<Request> requestFromCommandLine(const std::vector<std::string>& words, std::string* why) {
    auto refuse = [&](std::string reason) -> std::optional<Request> {
        if (why) *why = std::move(reason);
        return std::nullopt;
    };
    if (words.empty()) return refuse("no program name");
    std::string name = baseName(words[0]);
    Request request;
    if (name.ends_with("off"))
        request.enable = false;
    else if (name.ends_with("on"))
        request.enable = true;
    else
        return refuse("\"" + shown(name) + "\" names neither the on nor the off tool");
    if (words.size() > 2) return refuse("at most one argument is taken");
    if (words.size() == 2) {
        if (words[1] != kLogoutArgument) return refuse("unknown argument \"" + shown(words[1]) + "\"");
        request.logout = true;
    }
    return request;
}

int perform(const Request& request, const std::string& toolName) {
    if (!writeSetting(request.enable)) {
        platform::log("%@: could not store %@ in %@", toolName, kDisplayResolutionEnabled, kWindowServerDomain);
        return kExitFailure;
    }
    if (request.logout && !requestLogout(toolName)) return kExitFailure;
    return kExitSuccess;
}

int run(const std::vector<std::string>& words) {
    std::string why;
    auto request = requestFromCommandLine(words, &why);
    std::string toolName = words.empty() ? "hidpitool" : baseName(words[0]);
    if (!request) {
        platform::log("%@: refused: %@", toolName, why);
        return kExitUsage;
    }
    return perform(*request, toolName);
}

} // namespace hidpitool
