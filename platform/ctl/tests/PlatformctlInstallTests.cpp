// platformctl install: a package's payload merged into the root (bundles replaced whole, links
// kept as links), its postinstall run as root from the root with its output in install.log, a
// hung script killed with its children, and hostile packages refused before anything is copied.
#include "platform/core/Clock.h"
#include "platform/ctl/tests/PlatformctlFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using platformd::testing::readFile;

class PlatformctlInstall : public PlatformctlVerbs {
  protected:
    void SetUp() override {
        PlatformctlVerbs::SetUp();
        m_package = m_root + "/pkgs/Test Package.pkg";
        fs::create_directories(m_package);
    }
    void write(const std::string& relative, const std::string& text, fs::perms perms = fs::perms(0644)) {
        fs::path path = fs::path(m_package) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
        fs::permissions(path, perms);
    }
    void script(const std::string& body, fs::perms perms = fs::perms(0755)) {
        write("Scripts/postinstall", "#!/bin/sh\n" + body + "\n", perms);
    }
    std::string installLog() const { return readFile(m_root + "/var/log/install.log"); }
    // Whatever the hostile package held, nothing new lies in the root outside its own folders.
    bool rootUntouched() const {
        return !fs::exists(m_root + "/Applications/A.app") && !fs::exists(m_root + "/etc") &&
               !fs::exists(m_root + "/var/log/install.log");
    }

    std::string m_package;
};

TEST_F(PlatformctlInstall, CopiesThePayloadAndRunsThePostinstallAsRootFromTheRoot) {
    write("Payload/Applications/A.app/Contents/Info.plist", "<plist/>");
    write("Payload/Applications/A.app/Contents/MacOS/a", "#!/bin/sh\n", fs::perms(0755));
    fs::create_symlink("../Info.plist", m_package + "/Payload/Applications/A.app/Contents/MacOS/info");
    write("Payload/Library/Extensions/X.kext/Info.plist", "<plist/>");
    // What an earlier install left: the bundle is replaced whole, its neighbours stay.
    fs::create_directories(m_root + "/Applications/A.app/Contents/Stale");
    fs::create_directories(m_root + "/Library/Extensions/Other.kext");
    script("echo \"cwd=$(pwd) user=$PLATFORM_USER root=$PLATFORM_ROOT args=$#\"\necho oops >&2");

    ASSERT_EQ(run({"install", m_package}), 0) << m_err.str();
    EXPECT_EQ(m_out.str(), "installed: /Applications/A.app\n"
                           "installed: /Library/Extensions/X.kext\n"
                           "postinstall: exit 0\n");
    EXPECT_FALSE(fs::exists(m_root + "/Applications/A.app/Contents/Stale"));
    EXPECT_TRUE(fs::exists(m_root + "/Library/Extensions/Other.kext"));
    EXPECT_EQ(::access((m_root + "/Applications/A.app/Contents/MacOS/a").c_str(), X_OK), 0);
    EXPECT_TRUE(fs::is_symlink(m_root + "/Applications/A.app/Contents/MacOS/info"));
    EXPECT_EQ(fs::read_symlink(m_root + "/Applications/A.app/Contents/MacOS/info"), "../Info.plist");
    EXPECT_EQ(installLog(), "cwd=" + m_root + " user=root root=" + m_root + " args=0\noops\n");

    ASSERT_EQ(run({"events", "--kind", "install"}), 0);
    EXPECT_NE(m_out.str().find("package=" + m_package), std::string::npos) << m_out.str();
    EXPECT_NE(m_out.str().find("status=0"), std::string::npos) << m_out.str();
    EXPECT_NE(m_out.str().find("/Applications/A.app"), std::string::npos) << m_out.str();

    // Again: the log grows, nothing is left staged beside the bundle.
    const std::string firstLog = installLog();
    ASSERT_EQ(run({"install", m_package}), 0) << m_err.str();
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(m_root + "/Applications"))
        ++entries;
    EXPECT_EQ(entries, 1u);
    EXPECT_EQ(installLog(), firstLog + firstLog);
}

TEST_F(PlatformctlInstall, ExitsZeroOnlyWhenTheScriptDid) {
    script("exit 3");
    EXPECT_EQ(run({"install", m_package}), 1);
    EXPECT_EQ(m_out.str(), "postinstall: exit 3\n");
    EXPECT_NE(m_err.str().find("exit 3"), std::string::npos);

    // A payload alone needs no script.
    fs::remove_all(m_package + "/Scripts");
    write("Payload/Applications/B.app/Contents/Info.plist", "<plist/>");
    EXPECT_EQ(run({"install", m_package}), 0) << m_err.str();
    EXPECT_EQ(m_out.str(), "installed: /Applications/B.app\n");
}

TEST_F(PlatformctlInstall, AHungScriptIsKilledWithItsChildrenAtTheTimeout) {
    script("sleep 1000 &\necho $! > '" + m_root + "/child.pid'\nwait");
    EXPECT_EQ(run({"install", m_package, "--timeout", "0.5"}), 4);
    EXPECT_EQ(m_out.str(), "postinstall: exit 137\n");
    EXPECT_NE(m_err.str().find("killed"), std::string::npos) << m_err.str();
    pid_t child = std::stoi(readFile(m_root + "/child.pid"));
    // Its child was in its group: killed too (gone, or a zombie waiting for its new parent).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto alive = [&] {
        std::string stat = readFile("/proc/" + std::to_string(child) + "/stat");
        return !stat.empty() && stat.find(") Z") == std::string::npos;
    };
    while (alive() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(alive());
}

TEST_F(PlatformctlInstall, RefusesHostilePackagesBeforeCopyingAnything) {
    EXPECT_EQ(run({"install", m_root + "/pkgs/Missing.pkg"}), 1);
    EXPECT_NE(m_err.str().find("no package folder"), std::string::npos);

    EXPECT_EQ(run({"install", m_package}), 1);
    EXPECT_NE(m_err.str().find("neither Payload/ nor Scripts/postinstall"), std::string::npos) << m_err.str();

    write("Payload/Applications/A.app/Contents/Info.plist", "<plist/>");
    write("Payload/etc/passwd", "x");
    script("touch '" + m_root + "/ran'");
    EXPECT_EQ(run({"install", m_package}), 1);
    EXPECT_NE(m_err.str().find("\"etc\""), std::string::npos) << m_err.str();
    EXPECT_TRUE(rootUntouched());
    EXPECT_FALSE(fs::exists(m_root + "/ran"));
    fs::remove_all(m_package + "/Payload/etc");

    // A top folder that is a link could lead anywhere.
    fs::create_symlink("/tmp", m_package + "/Payload/Library");
    EXPECT_EQ(run({"install", m_package}), 1);
    EXPECT_TRUE(rootUntouched());
    fs::remove(m_package + "/Payload/Library");

    ASSERT_EQ(::mkfifo((m_package + "/Payload/Applications/A.app/Contents/pipe").c_str(), 0600), 0);
    EXPECT_EQ(run({"install", m_package}), 1);
    EXPECT_NE(m_err.str().find("neither a file, a folder nor a link"), std::string::npos) << m_err.str();
    EXPECT_TRUE(rootUntouched());
    fs::remove(m_package + "/Payload/Applications/A.app/Contents/pipe");

    script("exit 0", fs::perms(0644));
    EXPECT_EQ(run({"install", m_package}), 1);
    EXPECT_NE(m_err.str().find("not an executable file"), std::string::npos) << m_err.str();
    EXPECT_TRUE(rootUntouched());

    EXPECT_EQ(run({"install"}), 2);
    EXPECT_EQ(run({"install", m_package, "--timeout", "soon"}), 2);
    EXPECT_EQ(run({"install", m_package, "--timeout", "0"}), 2);
    EXPECT_TRUE(rootUntouched());
    ASSERT_EQ(run({"help"}), 0);
    EXPECT_NE(m_out.str().find("install <package.pkg> [--timeout S]"), std::string::npos);
}

TEST_F(PlatformctlInstall, APayloadFolderTheRootLacksIsMade) {
    write("Payload/Library/LaunchAgents/com.quenby.agent.plist", "<plist/>");
    write("Payload/Library/Application Support/X/Data/settings", "x");
    ASSERT_FALSE(fs::exists(m_root + "/Library/LaunchAgents"));
    ASSERT_EQ(run({"install", m_package}), 0) << m_err.str();
    EXPECT_EQ(readFile(m_root + "/Library/LaunchAgents/com.quenby.agent.plist"), "<plist/>");
    EXPECT_EQ(readFile(m_root + "/Library/Application Support/X/Data/settings"), "x");
    EXPECT_EQ(m_out.str(), "installed: /Library/Application Support/X/Data/settings\n"
                           "installed: /Library/LaunchAgents/com.quenby.agent.plist\n");
    EXPECT_TRUE(fs::exists(m_root + "/Library/Preferences")); // merged, not replaced
}

TEST_F(PlatformctlInstall, AFailedCopyLeavesTheOlderInstallWhole) {
    // The older install: two bundles and a file.
    for (const char* bundle : {"A.app", "B.app"}) {
        fs::create_directories(m_root + "/Applications/" + std::string(bundle) + "/Contents");
        std::ofstream(m_root + "/Applications/" + std::string(bundle) + "/Contents/Info.plist") << "old";
    }
    // The new one: the first bundle copies, the second cannot (a file over what the system
    // lets this process write, the same failure as a disk that fills on it).
    write("Payload/Applications/A.app/Contents/Info.plist", "new");
    write("Payload/Applications/B.app/Contents/Info.plist", "new");
    write("Payload/Applications/B.app/Contents/Resources/large", std::string(256 * 1024, 'x'));
    write("Payload/Library/LaunchAgents/com.quenby.agent.plist", "<plist/>");
    script("touch '" + m_root + "/ran'");

    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 64 * 1024;
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &previous);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const int status = run({"install", m_package});
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(status, 1);
    EXPECT_NE(m_err.str().find("Applications/B.app: File too large"), std::string::npos) << m_err.str();
    EXPECT_EQ(m_out.str(), "");
    EXPECT_EQ(readFile(m_root + "/Applications/A.app/Contents/Info.plist"), "old");
    EXPECT_EQ(readFile(m_root + "/Applications/B.app/Contents/Info.plist"), "old");
    EXPECT_FALSE(fs::exists(m_root + "/Library/LaunchAgents"));
    EXPECT_FALSE(fs::exists(m_root + "/ran"));
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(m_root + "/Applications"))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"A.app", "B.app"}));

    // With room to write, both are replaced.
    ASSERT_EQ(run({"install", m_package}), 0) << m_err.str();
    EXPECT_EQ(readFile(m_root + "/Applications/A.app/Contents/Info.plist"), "new");
    EXPECT_EQ(readFile(m_root + "/Applications/B.app/Contents/Info.plist"), "new");
}

// A disk that fills during the copy: a small file system over the root's Applications, in a
// mount namespace of platformctl's own (where the machine allows one).
TEST_F(PlatformctlInstall, AFullDiskSaysSoAndNotInputOutputError) {
    write("Payload/Applications/A.app/Contents/Info.plist", "<plist/>");
    write("Payload/Applications/A.app/Contents/Resources/large", std::string(512 * 1024, 'x'));
    auto result = platformd::testing::runProgram(
        {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
         "mount -t tmpfs -o size=128k tmpfs \"$1/Applications\" || exit 99; exec \"$2\" --root \"$1\" "
         "install \"$3\"",
         "sh", m_root, platformd::testing::PrivatePlatformd::platformctlPath(), m_package},
        60);
    if (result.status == 99 || result.status == -1 || result.err.find("unshare:") != std::string::npos)
        GTEST_SKIP() << "no mount namespace here: " << result.err;
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.err.find("Applications/A.app: no space left on the device"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("Input/output error"), std::string::npos) << result.err;
}

TEST_F(PlatformctlInstall, APackageThatInstallsNothingOrWhoseScriptCouldNotInstallFailsInOneLine) {
    script("echo ran");
    EXPECT_EQ(run({"install", m_package}), 1);
    EXPECT_EQ(m_out.str(), "postinstall: exit 0\n");
    EXPECT_EQ(m_err.str(), "platformctl: package " + m_package + " has no Payload/: nothing was installed\n");

    // The script runs, and says (in its log) that it could not do its work: a failure, told
    // with that line; an earlier run's line in the log is not this run's.
    write("Payload/Applications/A.app/Contents/Info.plist", "<plist/>");
    script("echo 'Wakelist: Could not install Tessel Host at install time because it was not found' >&2");
    EXPECT_EQ(run({"install", m_package}), 1);
    EXPECT_EQ(m_out.str(), "installed: /Applications/A.app\npostinstall: exit 0\n");
    EXPECT_EQ(m_err.str(), "platformctl: postinstall could not install: Wakelist: Could not install Tessel "
                           "Host at install time because it was not found\n");
    script("echo done");
    EXPECT_EQ(run({"install", m_package}), 0) << m_err.str();
    EXPECT_EQ(m_err.str(), "");

    // One line, the first problem: a failing script that also said so.
    script("echo 'could not install'; exit 2");
    EXPECT_EQ(run({"install", m_package}), 1);
    EXPECT_EQ(m_err.str(), "platformctl: postinstall failed with exit 2\n");
}

TEST_F(PlatformctlInstall, AtTheTimeoutTheScriptsDescendantsEndAlsoThoseThatLeftItsGroup) {
    // One child leaves for a session of its own; another, a daemon, also loses its parent.
    script("setsid sleep 1000 &\necho $! > '" + m_root +
           "/away.pid'\n"
           "(setsid sleep 1000 & echo $! > '" +
           m_root +
           "/daemon.pid')\n"
           "touch '" +
           m_root + "/ready'\nwait");
    EXPECT_EQ(run({"install", m_package, "--timeout", "3"}), 4);
    ASSERT_TRUE(fs::exists(m_root + "/ready")) << "the script did not get going within the time-out";
    std::vector<pid_t> pids;
    for (const char* name : {"away.pid", "daemon.pid"})
        pids.push_back(std::stoi(readFile(m_root + "/" + name)));
    auto alive = [](pid_t pid) {
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        return !stat.empty() && stat.find(") Z") == std::string::npos;
    };
    // Killed (gone, or a zombie waiting for its new parent).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (pid_t pid : pids) {
        while (alive(pid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(alive(pid)) << pid;
        if (alive(pid)) ::kill(pid, SIGKILL); // not left behind by a failing run
    }
}

} // namespace
