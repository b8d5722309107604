// platformd's parts on their own: the event log, the service thread, spawning and reaping,
// the generated root scripts, and the small parsers that guard file names.
#include "platform/corefoundation/Profile.h"
#include "platform/daemon/ChildReaper.h"
#include "platform/daemon/EventLog.h"
#include "platform/daemon/LoginItemsService.h"
#include "platform/daemon/RootScripts.h"
#include "platform/daemon/ServiceLoop.h"
#include "platform/daemon/Spawner.h"
#include "platform/daemon/testing/PrivatePlatformd.h"

#include <csignal>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace platformd;
using platformd::testing::readFile;
using platformd::testing::runProgram;

TEST(EventLog, NumbersEntriesForeverAndKeepsTheLatestRing) {
    EventLog log;
    EXPECT_EQ(log.oldestSequence(), 1u);
    for (size_t i = 0; i < EventLog::kCapacity + 10; ++i)
        log.record(i % 2 ? "odd" : "even", "", Poster{});
    EXPECT_EQ(log.lastSequence(), EventLog::kCapacity + 10);
    EXPECT_EQ(log.oldestSequence(), 11u);
    auto tail = log.entriesAfter(EventLog::kCapacity + 5);
    ASSERT_EQ(tail.size(), 5u);
    EXPECT_EQ(tail[0].sequence, EventLog::kCapacity + 6);
    EXPECT_EQ(log.entriesAfter(0).size(), EventLog::kCapacity); // from the oldest kept
    EXPECT_EQ(log.entriesAfter(EventLog::kCapacity, "odd").size(), 5u);
    log.clear();
    EXPECT_TRUE(log.entriesAfter(0).empty());
    EXPECT_EQ(log.record("after-clear", "", Poster{}), EventLog::kCapacity + 11);
}

TEST(EventLog, MatchesByKindAndDottedPathsAsText) {
    EventLog log;
    std::vector<uint64_t> heard;
    log.setListener([&](const EventEntry& e) { heard.push_back(e.sequence); });
    log.record("distributed-post", "api", Poster{42, "com.example.App"},
               {{"name", "n"}, {"options", 3}, {"flag", true}, {"ratio", 0.5}});
    auto entry = log.entriesAfter(0)[0];
    EXPECT_EQ(heard, std::vector<uint64_t>{1});
    EXPECT_TRUE(eventMatches(entry, "distributed-post", {}));
    EXPECT_FALSE(eventMatches(entry, "launch", {}));
    EXPECT_TRUE(eventMatches(entry, "", {{"options", "3"}, {"poster.pid", "42"}}));
    EXPECT_TRUE(eventMatches(entry, "", {{"poster.bundleIdentifier", "com.example.App"}, {"flag", "true"}}));
    EXPECT_TRUE(eventMatches(entry, "", {{"ratio", "0.5"}}));
    EXPECT_FALSE(eventMatches(entry, "", {{"flag", "1"}})); // a boolean is not a number
    EXPECT_FALSE(eventMatches(entry, "", {{"missing", "x"}}));
    EXPECT_FALSE(eventMatches(entry, "", {{"name.deeper", "n"}}));
    EXPECT_EQ(matchText(cf::Value(int64_t(1) << 40)), "1099511627776");
}

TEST(ServiceLoop, RunsWorkInArrivalOrderThenDueTimersAndDrainsOnStop) {
    ServiceLoop loop;
    EXPECT_FALSE(loop.post([] {})) << "a loop that never started accepts nothing";
    loop.start();
    std::vector<int> order;
    uint64_t cancelled = loop.runAt(platform::now(), [&] { order.push_back(99); });
    loop.cancel(cancelled);
    loop.runAt(platform::now(), [&] { order.push_back(3); });
    loop.runAt(platform::kDistantFuture, [&] { order.push_back(100); });
    for (int i = 0; i < 3; ++i)
        loop.post([&, i] { order.push_back(i); });
    bool onLoop = false;
    loop.runAndWait([&] { onLoop = loop.isLoopThread(); });
    EXPECT_TRUE(onLoop);
    loop.post([&] { order.push_back(4); });
    loop.stop();
    EXPECT_EQ(order, (std::vector<int>{3, 0, 1, 2, 4}));
    EXPECT_FALSE(loop.post([] {}));
}

TEST(ChildReaper, ReapsChildrenWithTheirStatusOrSignal) {
    ChildReaper reaper;
    std::promise<ExitStatus> exited, killed;
    pid_t a = spawnDetached({"/bin/sh", {"/bin/sh", "-c", "exit 3"}, ""});
    pid_t b = spawnDetached({"/bin/sh", {"/bin/sh", "-c", "exec tail -f /dev/null"}, ""});
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    reaper.watch(a, [&](pid_t, ExitStatus s) { exited.set_value(s); });
    reaper.watch(b, [&](pid_t, ExitStatus s) { killed.set_value(s); });
    auto first = exited.get_future().get();
    EXPECT_EQ(first.code, 3);
    EXPECT_EQ(first.signal, 0);
    reaper.signalAll(SIGKILL);
    EXPECT_EQ(killed.get_future().get().signal, SIGKILL);
    EXPECT_TRUE(reaper.waitUntilEmpty(platform::now() + platform::seconds(10)));
    EXPECT_EQ(reaper.count(), 0u);
    EXPECT_FALSE(reaper.watch(::getpid() + 1000000, nullptr)) << "no such process";
}

TEST(Spawner, StartsDetachedWithNullInputAndOutputToTheLog) {
    char dir[] = "/tmp/pds.XXXXXX";
    std::string root = ::mkdtemp(dir);
    std::string log = root + "/out.log";
    ChildReaper reaper;
    std::promise<ExitStatus> done;
    // Reads stdin (empty), prints its session id relation and argv[0].
    pid_t pid = spawnDetached({"/bin/sh",
                               {"/bin/sh", "-c",
                                "read x; echo \"[$x]\"; [ \"$(cut -d' ' -f6 /proc/$$/stat)\" -eq $$ ] && "
                                "echo own-session; echo err >&2"},
                               log});
    ASSERT_GT(pid, 0);
    reaper.watch(pid, [&](pid_t, ExitStatus s) { done.set_value(s); });
    done.get_future().get();
    std::string text = readFile(log);
    EXPECT_NE(text.find("[]"), std::string::npos) << text;
    EXPECT_NE(text.find("own-session"), std::string::npos) << text;
    EXPECT_NE(text.find("err"), std::string::npos) << text;
    EXPECT_EQ(spawnDetached({root + "/missing", {}, log}), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(spawnDetached({"relative", {}, log}), -1);
    platformd::testing::removeTree(root);
}

TEST(RootScripts, QuoteProfileTextsSoTheyStayText) {
    EXPECT_EQ(shellQuote("plain"), "'plain'");
    EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(shellQuote("$(rm -rf /)"), "'$(rm -rf /)'");
}

TEST(RootScripts, SystemProfilerListsTheProfilesChipsForDisplaysOnly) {
    char dir[] = "/tmp/pdr.XXXXXX";
    std::string root = ::mkdtemp(dir);
    platform::Profile profile;
    profile.graphicsChips = {"Intel Iris Graphics", "Weird 'chip' $(x)"};
    platform::Error error;
    ASSERT_TRUE(writeRootScripts(root, profile, &error)) << error.description();
    auto r = runProgram({root + "/usr/sbin/system_profiler", "SPDisplaysDataType"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Graphics/Displays:\n"
                     "    Intel Iris Graphics:\n"
                     "      Chipset Model: Intel Iris Graphics\n"
                     "    Weird 'chip' $(x):\n"
                     "      Chipset Model: Weird 'chip' $(x)\n");
    EXPECT_EQ(runProgram({root + "/usr/sbin/system_profiler", "SPHardwareDataType"}).out, "");
    platformd::testing::removeTree(root);
}

TEST(RootScripts, SudoRunsTheCommandAsTheNamedUserAndLogsItsArguments) {
    char dir[] = "/tmp/pdr.XXXXXX";
    std::string root = ::mkdtemp(dir);
    ASSERT_TRUE(writeRootScripts(root, platform::Profile{}, nullptr));
    ::mkdir((root + "/var").c_str(), 0755);
    ::mkdir((root + "/var/log").c_str(), 0755);
    std::string sudo = root + "/usr/bin/sudo";
    auto r = runProgram({sudo, "-u", "alice", "/bin/sh", "-c", "echo $PLATFORM_USER; exit 6"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.out, "alice\n");
    EXPECT_EQ(runProgram({sudo, "/bin/true"}).status, 1);
    EXPECT_EQ(runProgram({sudo, "-x", "alice", "/bin/true"}).status, 1);
    std::string log = readFile(root + "/var/log/sudo.log");
    EXPECT_NE(log.find("-u alice /bin/sh -c"), std::string::npos) << log;
    EXPECT_NE(log.find("-x alice /bin/true"), std::string::npos) << log;
    platformd::testing::removeTree(root);
}

TEST(LoginItemNames, FileURLsAndUserNamesAreCheckedBeforeUse) {
    EXPECT_EQ(pathFromFileURL("file:///Applications/Tessel%20Host.app/"), "/Applications/Tessel Host.app");
    EXPECT_EQ(pathFromFileURL("file://localhost/A.app"), "/A.app");
    EXPECT_FALSE(pathFromFileURL("http://example.com/A.app"));
    EXPECT_FALSE(pathFromFileURL("file://relative"));
    EXPECT_FALSE(pathFromFileURL("file:///bad%2"));
    EXPECT_FALSE(pathFromFileURL("file:///bad%zz"));
    EXPECT_FALSE(pathFromFileURL("file:///nul%00byte"));
    EXPECT_TRUE(LoginItemsService::isValidUser("alice.b-c_d"));
    for (const std::string& bad :
         std::vector<std::string>{"", ".", "..", "a/b", "-rf", "sp ace", std::string(65, 'x')})
        EXPECT_FALSE(LoginItemsService::isValidUser(bad)) << bad;
}

} // namespace
