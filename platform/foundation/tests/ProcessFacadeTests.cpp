// Child processes, the user's name and the standard folders: what the install tool relies on.
#include "platform/foundation/NSSearchPath.h"
#include "platform/foundation/NSTask.h"
#include "platform/foundation/NSUserName.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace ns {

namespace {

namespace fs = std::filesystem;

std::string realUserName() {
    passwd* entry = ::getpwuid(::getuid());
    return entry ? entry->pw_name : std::to_string(::getuid());
}

// An environment variable set for one test and put back after it.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnvironment() { m_old ? ::setenv(m_name, m_old->c_str(), 1) : ::unsetenv(m_name); }

  private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// A stand-in root and home of this test's own.
class StandInFolders : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/nstask.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_dir = pattern;
        fs::create_directories(m_dir + "/root/Applications");
        fs::create_directories(m_dir + "/home");
        m_root = std::make_unique<ScopedEnvironment>("PLATFORM_ROOT", (m_dir + "/root").c_str());
        m_home = std::make_unique<ScopedEnvironment>("HOME", (m_dir + "/home").c_str());
    }
    void TearDown() override {
        m_root.reset();
        m_home.reset();
        fs::remove_all(m_dir);
    }
    std::string writeScript(const std::string& relative, const std::string& body, mode_t mode = 0755) {
        std::string path = m_dir + "/root/" + relative;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), mode);
        return path;
    }

    std::string m_dir;
    std::unique_ptr<ScopedEnvironment> m_root;
    std::unique_ptr<ScopedEnvironment> m_home;
};

// Waits for the process to end without reaping it.
bool waitForExitUnreaped(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0;
}

} // namespace

using NSTaskTest = StandInFolders;

TEST_F(NSTaskTest, RunsTheMappedProgramWithItsArgumentsAndReportsItsStatus) {
    writeScript("Applications/tool", "[ \"$1\" = 'a b' ] && [ \"$#\" = 2 ] || exit 9\nexit \"$2\"");
    NSTask task;
    task.setLaunchPath("/Applications/tool");
    task.setArguments({"a b", "3"});
    platform::Error error;
    ASSERT_TRUE(task.launch(&error)) << error.description();
    EXPECT_GT(task.processIdentifier(), 0);
    task.waitUntilExit();
    EXPECT_FALSE(task.isRunning());
    EXPECT_EQ(task.terminationStatus(), 3);
    EXPECT_FALSE(task.launch(&error)) << "a task runs once";
}

TEST_F(NSTaskTest, AGivenEnvironmentIsTheWholeEnvironment) {
    writeScript("Applications/env", "[ \"$ONLY\" = yes ] && [ -z \"$HOME\" ]");
    NSTask task;
    task.setLaunchPath("/Applications/env");
    task.setEnvironment({{"ONLY", "yes"}});
    ASSERT_TRUE(task.launch());
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 0);

    auto inherited = NSTask::currentEnvironment();
    EXPECT_EQ(inherited["HOME"], m_dir + "/home");
}

TEST_F(NSTaskTest, AMissingOrNotExecutablePathIsAnErrorAndNoChild) {
    NSTask missing;
    missing.setLaunchPath("/Applications/nothing-here");
    platform::Error error;
    EXPECT_FALSE(missing.launch(&error));
    EXPECT_EQ(error.domain, platform::NSPOSIXErrorDomain);
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(missing.processIdentifier(), 0);
    missing.waitUntilExit(); // returns at once

    writeScript("Applications/plain", "exit 0", 0644);
    NSTask plain;
    plain.setLaunchPath("/Applications/plain");
    EXPECT_FALSE(plain.launch(&error));
    EXPECT_EQ(error.code, EACCES);

    NSTask folder;
    folder.setLaunchPath("/Applications");
    EXPECT_FALSE(folder.launch(&error));
}

TEST_F(NSTaskTest, ATaskNeverWaitedForLeavesNoZombie) {
    // Ended before the task goes: reaped on the spot.
    pid_t ended = 0;
    {
        writeScript("Applications/quick", "exit 0");
        NSTask task;
        task.setLaunchPath("/Applications/quick");
        ASSERT_TRUE(task.launch());
        ended = task.processIdentifier();
        ASSERT_TRUE(waitForExitUnreaped(ended));
    }
    EXPECT_EQ(::kill(ended, 0), -1);
    EXPECT_EQ(errno, ESRCH);

    // Still running when the task goes: reaped once it ends.
    std::string fifo = m_dir + "/go";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    writeScript("Applications/blocked", "read line < '" + fifo + "'");
    pid_t running = 0;
    {
        NSTask task;
        task.setLaunchPath("/Applications/blocked");
        ASSERT_TRUE(task.launch());
        running = task.processIdentifier();
        EXPECT_TRUE(task.isRunning());
    }
    int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "x\n", 2), 2);
    ::close(writer);
    // Reaping leaves no event to wait on: look until the process is gone, within a deadline.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::kill(running, 0) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(::kill(running, 0), -1) << "still a process (or a zombie)";
}

TEST_F(NSTaskTest, OurDescriptorsDoNotReachTheChild) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    // The child names the descriptor; it must be closed there.
    writeScript("Applications/probe", "[ -e /proc/self/fd/\"$1\" ] && exit 1; exit 0");
    NSTask task;
    task.setLaunchPath("/Applications/probe");
    task.setArguments({std::to_string(fds[1])});
    ASSERT_TRUE(task.launch());
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 0);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(NSUserName, ThePlatformUserElseTheRealUser) {
    {
        ScopedEnvironment user("PLATFORM_USER", "tester");
        EXPECT_EQ(NSUserName(), "tester");
    }
    {
        ScopedEnvironment user("PLATFORM_USER", "");
        EXPECT_EQ(NSUserName(), realUserName());
    }
    ScopedEnvironment user("PLATFORM_USER", nullptr);
    EXPECT_EQ(NSUserName(), realUserName());
}

using NSSearchPath = StandInFolders;

TEST_F(NSSearchPath, LocalApplicationsIsOneMappedEntryWithOrWithoutTildeExpansion) {
    const std::vector<std::string> expected{m_dir + "/root/Applications"};
    EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSApplicationDirectory, NSLocalDomainMask, false),
              expected);
    EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSApplicationDirectory, NSLocalDomainMask, true), expected);
    EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSApplicationDirectory, NSAllDomainsMask, false), expected);
    EXPECT_TRUE(NSSearchPathForDirectoriesInDomains(NSApplicationDirectory, NSUserDomainMask, true).empty());
}

TEST_F(NSSearchPath, UserApplicationSupportIsInTheHome) {
    EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSApplicationSupportDirectory, NSUserDomainMask, true),
              std::vector<std::string>{m_dir + "/home/Library/Application Support"});
    EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSApplicationSupportDirectory, NSUserDomainMask, false),
              std::vector<std::string>{"~/Library/Application Support"});
    EXPECT_TRUE(
        NSSearchPathForDirectoriesInDomains(NSApplicationSupportDirectory, NSLocalDomainMask, true).empty());
}

TEST_F(NSSearchPath, UserCachesAreInTheHome) {
    EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, true),
              std::vector<std::string>{m_dir + "/home/Library/Caches"});
    EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSAllDomainsMask, false),
              std::vector<std::string>{"~/Library/Caches"});
}

} // namespace ns
