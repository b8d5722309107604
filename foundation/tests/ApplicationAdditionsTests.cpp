#include "foundation/ApplicationAdditions.h"
#include "foundation/SystemVersion.h"

#include "platform/windowserver/InProcessEvents.h"

#include <unistd.h>

#include <gtest/gtest.h>

using namespace foundation;
using windowserver::InProcessEvents;
using windowserver::ProcessRecord;

namespace {

class StringAdditionsApplication : public testing::Test {
  protected:
    void SetUp() override {
        m_events = std::make_shared<InProcessEvents>();
        m_events->install();
    }
    void TearDown() override { m_events->uninstall(); }

    static ProcessRecord record(pid_t pid, std::string identifier, std::string executable, pid_t parent,
                                bool launchedBySystem) {
        ProcessRecord r;
        r.pid = pid;
        r.bundleIdentifier = std::move(identifier);
        r.name = "p" + std::to_string(pid);
        r.executable = std::move(executable);
        r.parentPid = parent;
        r.launchedBySystem = launchedBySystem;
        return r;
    }

    std::shared_ptr<InProcessEvents> m_events;
};

} // namespace

TEST_F(StringAdditionsApplication, UnknownProcessHasNoInformation) {
    EXPECT_EQ(processInformation(), std::nullopt);
    EXPECT_EQ(parentProcessInformation(), std::nullopt);
    EXPECT_FALSE(wasLaunchedAtLogin());
}

TEST_F(StringAdditionsApplication, LaunchedBySystemHasLaunchdForParent) {
    m_events->addProcess(record(::getpid(), "com.quenby.TesselHost2",
                                "/Applications/Tessel.app/Contents/MacOS/Tessel", ::getppid(), true));
    auto info = processInformation();
    ASSERT_TRUE(info);
    EXPECT_EQ(*info->find("CFBundleExecutable")->asString(),
              "/Applications/Tessel.app/Contents/MacOS/Tessel");
    EXPECT_EQ(info->find("ParentPSN")->integerValue(), int64_t(1) << 32);
    auto parent = parentProcessInformation();
    ASSERT_TRUE(parent);
    EXPECT_EQ(*parent->find("CFBundleExecutable")->asString(), "/sbin/launchd");
    EXPECT_TRUE(wasLaunchedAtLogin());
}

TEST_F(StringAdditionsApplication, ParentIsTheTableEntryOfTheParentProcess) {
    m_events->addProcess(record(4000, "com.apple.loginwindow", "/System/loginwindow", 1, false));
    m_events->addProcess(record(4001, "com.example.Shell", "/bin/shell", 1, false));
    m_events->addProcess(record(::getpid(), "com.example.me", "/bin/me", 4000, false));
    auto parent = parentProcessInformation();
    ASSERT_TRUE(parent);
    EXPECT_EQ(parent->find("pid")->integerValue(), 4000);
    EXPECT_TRUE(wasLaunchedAtLogin());
}

TEST_F(StringAdditionsApplication, AParentOutsideTheTableIsNoProcess) {
    m_events->addProcess(record(4001, "com.example.Shell", "/bin/shell", 1, false));
    m_events->addProcess(record(::getpid(), "com.example.me", "/bin/me", 4001, false));
    EXPECT_EQ(parentProcessInformation()->find("pid")->integerValue(), 4001);
    EXPECT_FALSE(wasLaunchedAtLogin());
    m_events->uninstall();
    m_events = std::make_shared<InProcessEvents>();
    m_events->install();
    m_events->addProcess(record(::getpid(), "com.example.me", "/bin/me", 99999, false));
    EXPECT_EQ(processInformation()->find("ParentPSN")->integerValue(), 0);
    EXPECT_EQ(parentProcessInformation(), std::nullopt);
    EXPECT_FALSE(wasLaunchedAtLogin());
}

TEST_F(StringAdditionsApplication, SystemVersionOfTheCategoryIsTheFunctions) {
    EXPECT_EQ(BCDSystemVersion(), BCDSystemVersionFunction());
}
