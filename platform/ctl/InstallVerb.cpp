// `platformctl install <package>`: what the system's installer does with a package, on the
// stand-in Mac. A package is a folder X.pkg with Payload/ (its Applications and Library copied
// into the root) and Scripts/postinstall, run as root from the root with its output appended to
// var/log/install.log.
#include "platform/ctl/Platformctl.h"

#include "platform/core/Clock.h"
#include "platform/core/Format.h"
#include "platform/ipc/Protocol.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <ostream>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ctl {

namespace {

namespace fs = std::filesystem;

// An installer that hears nothing of its script for a minute gives up on it.
constexpr double kDefaultScriptSeconds = 60;

// The only top folders a payload may bring into the root.
constexpr const char* kPayloadFolders[] = {"Applications", "Library"};

// Folders that are replaced whole rather than merged: an application or a driver from an
// older install must not keep files the new one no longer has.
bool isBundleName(const std::string& name) {
    for (const char* suffix : {".app", ".kext", ".bundle", ".plugin", ".framework"}) {
        std::string s = suffix;
        if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) return true;
    }
    return false;
}

std::vector<fs::path> sortedEntries(const fs::path& folder, std::error_code& ec) {
    std::vector<fs::path> out;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        out.push_back(it->path());
    std::sort(out.begin(), out.end());
    return out;
}

// The first thing below folder that is neither a file, a folder nor a link; empty when none.
std::string firstSpecialFile(const fs::path& folder) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        auto type = it->symlink_status(ec).type();
        if (type != fs::file_type::regular && type != fs::file_type::directory &&
            type != fs::file_type::symlink)
            return it->path().string();
    }
    return ec ? folder.string() + " (" + ec.message() + ")" : "";
}

class PayloadCopier {
  public:
    explicit PayloadCopier(std::ostream& out) : m_out(out) {}

    // Merges folders, replaces bundles and files; links are copied as links. Answers false with
    // why on the first failure.
    bool merge(const fs::path& from, const fs::path& to, const std::string& macPath) {
        std::error_code ec;
        for (const auto& entry : sortedEntries(from, ec)) {
            const std::string name = entry.filename().string();
            const fs::path target = to / name;
            const std::string targetMac = macPath + "/" + name;
            bool folder = fs::symlink_status(entry, ec).type() == fs::file_type::directory;
            if (folder && !isBundleName(name)) {
                if (!ensureFolder(target) || !merge(entry, target, targetMac)) return false;
            } else if (!replace(entry, target, targetMac)) {
                return false;
            }
        }
        if (ec) return failed(from, ec);
        return true;
    }

    const std::vector<std::string>& installed() const { return m_installed; }
    const std::string& why() const { return m_why; }

  private:
    bool failed(const fs::path& path, const std::error_code& ec) {
        m_why = path.string() + ": " + ec.message();
        return false;
    }

    // A real folder at target: a file or link in its way is removed, never followed.
    bool ensureFolder(const fs::path& target) {
        std::error_code ec;
        auto type = fs::symlink_status(target, ec).type();
        if (type == fs::file_type::directory) return true;
        if (type != fs::file_type::not_found) fs::remove_all(target, ec);
        if (!ec) fs::create_directory(target, ec);
        return ec ? failed(target, ec) : true;
    }

    // Copied beside the target first, then swapped in, so a failed copy leaves the old one.
    bool replace(const fs::path& from, const fs::path& target, const std::string& macPath) {
        std::error_code ec;
        fs::path staging = target;
        staging += platform::format(".installing-%d", static_cast<int>(::getpid()));
        fs::remove_all(staging, ec);
        fs::copy(from, staging, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (!ec) fs::remove_all(target, ec);
        if (!ec) fs::rename(staging, target, ec);
        if (ec) {
            std::error_code ignored;
            fs::remove_all(staging, ignored);
            return failed(target, ec);
        }
        m_installed.push_back(macPath);
        m_out << "installed: " << macPath << "\n";
        return true;
    }

    std::ostream& m_out;
    std::vector<std::string> m_installed;
    std::string m_why;
};

struct ScriptRun {
    bool started = false;
    bool timedOut = false;
    int status = 0; // the exit status, or 128 + the signal that ended it
    std::string why;
};

// Runs the script from the root as root, its process group killed at the deadline.
ScriptRun runScript(const std::string& script, const std::string& root, double seconds) {
    ScriptRun run;
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("PLATFORM_USER=", 0) != 0 && entry.rfind("PLATFORM_ROOT=", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("PLATFORM_USER=root");
    env.push_back("PLATFORM_ROOT=" + root);
    std::vector<char*> envp;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string argv0 = script;
    char* argv[] = {argv0.data(), nullptr};

    const std::string log = root + "/var/log/install.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, root.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0); // its own group, so a hung script goes with its children
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int result = ::posix_spawn(&pid, script.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        run.why = std::strerror(result);
        return run;
    }
    run.started = true;

    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    auto deadline = platform::now() + platform::seconds(seconds);
    if (pidfd >= 0) {
        run.timedOut = platform::pollFor(pidfd, POLLIN, deadline) == 0;
        ::close(pidfd);
    }
    if (run.timedOut) ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

} // namespace

int Platformctl::install(const std::vector<std::string>& args) {
    auto a = parse(args, {{"timeout"}}, 1, 1);
    if (!a) return kUsage;
    std::string error;
    double seconds = a->seconds("timeout", error).value_or(kDefaultScriptSeconds);
    if (!error.empty()) return usage(error);
    if (!(seconds > 0)) return usage("--timeout must be above 0");

    std::error_code ec;
    const fs::path package = fs::absolute(a->positionals()[0], ec);
    if (ec || fs::symlink_status(package, ec).type() != fs::file_type::directory)
        return fail("no package folder at " + a->positionals()[0]);
    const fs::path payload = package / "Payload";
    const fs::path script = package / "Scripts" / "postinstall";
    const bool hasPayload = fs::symlink_status(payload, ec).type() == fs::file_type::directory;
    const bool hasScript = fs::exists(fs::symlink_status(script, ec));
    if (!hasPayload && !hasScript)
        return fail("package " + package.string() + " has neither Payload/ nor Scripts/postinstall");
    if (hasScript && (!fs::is_regular_file(script, ec) || ::access(script.c_str(), X_OK) != 0))
        return fail("postinstall " + script.string() + " is not an executable file");
    if (hasPayload) {
        // Everything is checked before anything is copied.
        ec.clear();
        for (const auto& entry : sortedEntries(payload, ec)) {
            const std::string name = entry.filename().string();
            bool known = std::any_of(std::begin(kPayloadFolders), std::end(kPayloadFolders),
                                     [&](const char* folder) { return name == folder; });
            if (!known || fs::symlink_status(entry, ec).type() != fs::file_type::directory)
                return fail("payload item \"" + name + "\" is neither the folder Applications nor Library");
        }
        if (ec) return fail(payload.string() + ": " + ec.message());
        std::string special = firstSpecialFile(payload);
        if (!special.empty())
            return fail("payload holds " + special + ", neither a file, a folder nor a link");
    }
    if (!connect()) return kUnreachable;

    PayloadCopier copier(m_out);
    if (hasPayload) {
        for (const char* folder : kPayloadFolders) {
            if (!fs::is_directory(payload / folder, ec)) continue;
            const fs::path target = fs::path(m_root) / folder;
            fs::create_directories(target, ec);
            if (!copier.merge(payload / folder, target, std::string("/") + folder))
                return fail("copying the payload: " + copier.why());
        }
    }

    int status = 0;
    int code = kSuccess;
    if (hasScript) {
        fs::create_directories(fs::path(m_root) / "var" / "log", ec);
        ScriptRun run = runScript(script.string(), m_root, seconds);
        if (!run.started) return fail("postinstall " + script.string() + " did not start: " + run.why);
        status = run.status;
        m_out << "postinstall: exit " << status << "\n";
        if (run.timedOut) {
            m_err << "platformctl: postinstall still running after " << seconds << " s; killed\n";
            code = kTimedOut;
        } else if (status != 0) {
            code = kFailure;
            m_err << "platformctl: postinstall failed with exit " << status << "\n";
        }
    }
    cf::Array installed;
    for (const auto& path : copier.installed())
        installed.push_back(path);
    int recorded = kSuccess;
    request(ipc::op::recordEvent,
            cf::Dictionary{{"kind", "install"},
                           {"fields", cf::Dictionary{{"package", package.string()},
                                                     {"payload", cf::Value(std::move(installed))},
                                                     {"script", hasScript ? script.string() : std::string()},
                                                     {"status", static_cast<int64_t>(status)}}}},
            recorded);
    return code != kSuccess ? code : recorded;
}

} // namespace ctl
