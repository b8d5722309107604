// `platformctl install <package>`: what the system's installer does with a package, on the
// stand-in Mac. A package is a folder X.pkg with Payload/ (its Applications and Library copied
// into the root, whole or not at all) and Scripts/postinstall, run as root from the root with
// its output appended to var/log/install.log. A package that installs nothing, or whose script
// says it could not install, is reported as a failure.
#include "platform/ctl/Platformctl.h"

#include "platform/core/Clock.h"
#include "platform/core/Format.h"
#include "platform/ipc/Protocol.h"
#include "platform/ipc/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
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

// What a failed call says, in words for the person installing: a full disk is named as such.
std::string describeError(int error) {
    if (error == ENOSPC || error == EDQUOT) return "no space left on the device";
    return std::generic_category().message(error);
}

struct Failure {
    fs::path path;
    int error = 0;
    bool set(const fs::path& where, int e) {
        path = where;
        error = e;
        return false;
    }
};

// Copies a regular file to a new file with its permission bits. Answers 0 or the errno of the
// first failure, as the system gave it (a full disk is ENOSPC, never a vague I/O error).
int copyFile(const fs::path& from, const fs::path& to, mode_t mode) {
    ipc::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return errno;
    ipc::UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out) return errno;
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t written = ::write(out.get(), buffer.data() + done, static_cast<size_t>(n - done));
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) return errno;
            done += written;
        }
    }
    if (::fchmod(out.get(), mode & 07777) != 0) return errno;
    if (::close(out.release()) != 0) return errno;
    return 0;
}

// Copies a file, folder or link to `to`, which does not exist yet; links are copied as links.
bool copyItem(const fs::path& from, const fs::path& to, Failure& failure) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return failure.set(from, errno);
    std::error_code ec;
    if (S_ISLNK(st.st_mode)) {
        const fs::path target = fs::read_symlink(from, ec);
        if (ec) return failure.set(from, ec.value());
        if (::symlink(target.c_str(), to.c_str()) != 0) return failure.set(to, errno);
        return true;
    }
    if (S_ISREG(st.st_mode)) {
        const int error = copyFile(from, to, st.st_mode);
        return error ? failure.set(to, error) : true;
    }
    if (!S_ISDIR(st.st_mode)) return failure.set(from, EINVAL); // refused before, unless it changed
    if (::mkdir(to.c_str(), 0700) != 0) return failure.set(to, errno);
    for (const auto& entry : sortedEntries(from, ec))
        if (!copyItem(entry, to / entry.filename(), failure)) return false;
    if (ec) return failure.set(from, ec.value());
    if (::chmod(to.c_str(), st.st_mode & 07777) != 0) return failure.set(to, errno);
    return true;
}

// Installs a payload whole or not at all: every item (a bundle or file replaced whole, a
// folder merged) is first copied beside its target, and only when the last copy is done do
// the copies change places with what they replace. A failure before leaves the older install
// as it was; a failing swap puts back the items already swapped.
class PayloadInstaller {
  public:
    explicit PayloadInstaller(std::ostream& out) : m_out(out) {}
    ~PayloadInstaller() { abandon(); }

    bool stage(const fs::path& from, const fs::path& to, const std::string& macPath) {
        std::error_code listing;
        for (const auto& entry : sortedEntries(from, listing)) {
            const std::string name = entry.filename().string();
            const fs::path target = to / name;
            const std::string targetMac = macPath + "/" + name;
            struct stat st {};
            if (::lstat(entry.c_str(), &st) != 0) return failed(entry, errno);
            if (!S_ISDIR(st.st_mode) || isBundleName(name)) {
                if (!stageItem(entry, target, targetMac)) return false;
                continue;
            }
            // A folder is merged into a real folder, made when the root has none; a file or
            // link in its way is replaced whole by the folder, never followed.
            if (::lstat(target.c_str(), &st) != 0) {
                if (errno != ENOENT) return failed(target, errno);
                if (::mkdir(target.c_str(), 0755) != 0) return failed(target, errno);
                m_madeFolders.push_back(target);
            } else if (!S_ISDIR(st.st_mode)) {
                if (!stageItem(entry, target, targetMac)) return false;
                continue;
            }
            if (!stage(entry, target, targetMac)) return false;
        }
        if (listing) return failed(from, listing.value());
        return true;
    }

    bool swap() {
        for (size_t i = 0; i < m_items.size(); ++i) {
            Item& item = m_items[i];
            struct stat st {};
            item.replaces = ::lstat(item.target.c_str(), &st) == 0;
            const unsigned flags = item.replaces ? RENAME_EXCHANGE : RENAME_NOREPLACE;
            if (::renameat2(AT_FDCWD, item.staged.c_str(), AT_FDCWD, item.target.c_str(), flags) != 0) {
                const int error = errno;
                putBack(i);
                return failed(item.target, error);
            }
            item.swapped = true;
        }
        // What the copies replaced now lies at their staging names.
        std::error_code ignored;
        for (Item& item : m_items) {
            if (item.replaces) fs::remove_all(item.staged, ignored);
            m_installed.push_back(item.macPath);
            m_out << "installed: " << item.macPath << "\n";
        }
        m_items.clear();
        m_madeFolders.clear();
        return true;
    }

    const std::vector<std::string>& installed() const { return m_installed; }
    const std::string& why() const { return m_why; }

  private:
    struct Item {
        fs::path staged;
        fs::path target;
        std::string macPath;
        bool replaces = false;
        bool swapped = false;
    };

    bool failed(const fs::path& path, int error) {
        m_why = path.string() + ": " + describeError(error);
        return false;
    }

    bool stageItem(const fs::path& from, const fs::path& target, const std::string& macPath) {
        fs::path staged = target;
        staged += platform::format(".installing-%d", static_cast<int>(::getpid()));
        std::error_code ignored;
        fs::remove_all(staged, ignored);
        m_items.push_back({staged, target, macPath});
        Failure failure;
        if (copyItem(from, staged, failure)) return true;
        return failed(target, failure.error);
    }

    // Undoes the swaps before item `end`, newest first.
    void putBack(size_t end) {
        while (end-- > 0) {
            Item& item = m_items[end];
            const unsigned flags = item.replaces ? RENAME_EXCHANGE : RENAME_NOREPLACE;
            if (::renameat2(AT_FDCWD, item.target.c_str(), AT_FDCWD, item.staged.c_str(), flags) == 0)
                item.swapped = false;
        }
    }

    // Whatever an unfinished install made: its copies and the folders made for them.
    void abandon() {
        std::error_code ignored;
        for (const Item& item : m_items)
            if (!item.swapped) fs::remove_all(item.staged, ignored);
        for (auto it = m_madeFolders.rbegin(); it != m_madeFolders.rend(); ++it)
            ::rmdir(it->c_str());
        m_items.clear();
        m_madeFolders.clear();
    }

    std::ostream& m_out;
    std::vector<Item> m_items;
    std::vector<fs::path> m_madeFolders;
    std::vector<std::string> m_installed;
    std::string m_why;
};

struct ScriptRun {
    bool started = false;
    bool timedOut = false;
    int status = 0; // the exit status, or 128 + the signal that ended it
    std::string why;
};

// The processes below pid in the process table, deepest last (zombies left out: they have
// ended already).
std::vector<pid_t> descendantsOf(pid_t pid) {
    std::multimap<pid_t, pid_t> children;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() ||
            !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        std::ifstream stat(it->path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // "pid (command) state ppid ...": the command may hold spaces and parentheses.
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        char state = 0;
        pid_t parent = 0;
        if (!(rest >> state >> parent) || state == 'Z') continue;
        children.emplace(parent, static_cast<pid_t>(std::stol(name)));
    }
    std::vector<pid_t> out;
    std::vector<pid_t> pending{pid};
    while (!pending.empty()) {
        const pid_t parent = pending.back();
        pending.pop_back();
        auto [first, last] = children.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            out.push_back(it->second);
            pending.push_back(it->second);
        }
    }
    return out;
}

// Ends the script and everything it started. The script is its descendants' reaper while it
// lives, so those that left its process group or session, or whose parent ended, are still
// below it: it is stopped (it cannot end by itself now, nor react), they go, round by round
// until none is left, and the script last.
void endScriptTree(pid_t script) {
    ::kill(script, SIGSTOP);
    for (int round = 0; round < 100; ++round) {
        auto below = descendantsOf(script);
        if (below.empty()) break;
        for (pid_t pid : below)
            ::kill(pid, SIGKILL);
    }
    ::kill(-script, SIGKILL);
    ::kill(script, SIGKILL);
}

// Runs the script from the root as root, in a process group of its own, everything it starts
// ended with it at the deadline.
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
    ipc::UniqueFd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ipc::UniqueFd output(::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    int report[2];
    if (!input || !output || ::pipe2(report, O_CLOEXEC) != 0) {
        run.why = std::strerror(errno);
        return run;
    }
    ipc::UniqueFd reportRead(report[0]), reportWrite(report[1]);
    // Only async-signal-safe calls in the child until the exec: this process has threads.
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0); // its own group, so a hung script goes with its children
        // Orphans of its descendants come to it, not to init: none can slip out of the tree.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &defaults, nullptr);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        int error = 0;
        if (::dup2(input.get(), 0) < 0 || ::dup2(output.get(), 1) < 0 || ::dup2(output.get(), 2) < 0 ||
            ::chdir(root.c_str()) != 0)
            error = errno;
        else {
            ::execve(script.c_str(), argv, envp.data());
            error = errno;
        }
        [[maybe_unused]] ssize_t ignored = ::write(reportWrite.get(), &error, sizeof error);
        ::_exit(127);
    }
    if (pid < 0) {
        run.why = std::strerror(errno);
        return run;
    }
    reportWrite.reset();
    int execError = 0;
    ssize_t n;
    while ((n = ::read(reportRead.get(), &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    int status = 0;
    if (n == static_cast<ssize_t>(sizeof execError)) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        run.why = std::strerror(execError);
        return run;
    }
    run.started = true;

    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    auto deadline = platform::now() + platform::seconds(seconds);
    if (pidfd >= 0) {
        run.timedOut = platform::pollFor(pidfd, POLLIN, deadline) == 0;
        ::close(pidfd);
    }
    if (run.timedOut) endScriptTree(pid);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// A line the script logged saying that it could not install what it came to install.
std::optional<std::string> couldNotInstallLine(const std::string& log, std::streamoff from) {
    std::ifstream in(log);
    in.seekg(from);
    std::string line;
    while (std::getline(in, line)) {
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.find("could not install") != std::string::npos) return line;
    }
    return std::nullopt;
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

    PayloadInstaller installer(m_out);
    if (hasPayload) {
        for (const char* folder : kPayloadFolders) {
            if (!fs::is_directory(payload / folder, ec)) continue;
            const fs::path target = fs::path(m_root) / folder;
            fs::create_directories(target, ec);
            if (!installer.stage(payload / folder, target, std::string("/") + folder))
                return fail("copying the payload: " + installer.why());
        }
        if (!installer.swap()) return fail("installing the payload: " + installer.why());
    }

    // One line says what went wrong, the first of: the script hung, failed, said it could not
    // install; the package had nothing to install.
    int status = 0;
    std::string problem;
    int code = kSuccess;
    if (hasScript) {
        const fs::path log = fs::path(m_root) / "var" / "log" / "install.log";
        fs::create_directories(log.parent_path(), ec);
        ec.clear();
        const auto logSize = fs::file_size(log, ec);
        const std::streamoff before = ec ? 0 : static_cast<std::streamoff>(logSize);
        ScriptRun run = runScript(script.string(), m_root, seconds);
        if (!run.started) return fail("postinstall " + script.string() + " did not start: " + run.why);
        status = run.status;
        m_out << "postinstall: exit " << status << "\n";
        if (run.timedOut) {
            problem = platform::format("postinstall still running after %g s; killed", seconds);
            code = kTimedOut;
        } else if (status != 0) {
            problem = platform::format("postinstall failed with exit %d", status);
        } else if (auto said = couldNotInstallLine(log.string(), before)) {
            problem = "postinstall could not install: " + *said;
        }
    }
    if (problem.empty() && !hasPayload)
        problem = "package " + package.string() + " has no Payload/: nothing was installed";
    if (!problem.empty()) {
        m_err << "platformctl: " << problem << "\n";
        if (code == kSuccess) code = kFailure;
    }
    cf::Array installed;
    for (const auto& path : installer.installed())
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
