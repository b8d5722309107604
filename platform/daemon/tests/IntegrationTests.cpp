// platformd as a real process with real clients: notifications between processes, the release
// of a dead process's holdings, hostile clients, launching and reaping, login items across a
// restart, fake applications in the registry, and platformctl's exit codes.
#include "platform/applicationservices/Processes.h"
#include "platform/core/Clock.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/FrameIO.h"
#include "platform/ipc/Protocol.h"
#include "platform/ipc/UnixSocket.h"
#include "platform/services/LSSharedFileList.h"
#include "platform/services/NSWorkspace.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using platformd::testing::ChildProcess;
using platformd::testing::PlatformdTest;
using platformd::testing::PrivatePlatformd;
using platformd::testing::readFile;
using platformd::testing::runProgram;

const std::string kTestApp = TEST_APP_PATH;
const std::string kTestClient = kTestApp + "/Contents/MacOS/TestClient";

std::shared_ptr<ipc::Connection> connection() {
    platform::Error error;
    auto c = ipc::Connection::shared(&error);
    EXPECT_TRUE(c) << error.description();
    return c;
}

// The first entry of kind matching match, waited for in platformd (nullopt at the timeout).
std::optional<cf::Value> waitEvent(const std::string& kind, cf::Dictionary match, double timeout = 20) {
    return platformd::testing::waitForEvent(kind, std::move(match), timeout);
}

cf::Value post(const std::string& name) {
    auto reply = connection()->request(ipc::op::post, cf::Dictionary{{"name", name}});
    EXPECT_TRUE(reply.ok);
    auto seq = reply.result->objectForKey("sequence")->integerValue();
    auto events = connection()->request(ipc::op::events,
                                        cf::Dictionary{{"after", seq - 1}, {"kind", "distributed-post"}});
    return *events.result->find("events")->at(0);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

class PlatformdIntegration : public PlatformdTest {};

TEST_F(PlatformdIntegration, TwoProcessesReceiveEachOthersPostsAndTheirOwnInOneOrder) {
    const int count = 6;
    ChildProcess a, b;
    std::string outA = m_platformd->root() + "/a.out", outB = m_platformd->root() + "/b.out";
    ASSERT_TRUE(
        a.start({kTestClient, "chatter", "A", std::to_string(count), std::to_string(2 * count)}, outA));
    ASSERT_TRUE(
        b.start({kTestClient, "chatter", "B", std::to_string(count), std::to_string(2 * count)}, outB));
    ASSERT_TRUE(waitEvent("helper-ready", {{"tag", "A"}}));
    ASSERT_TRUE(waitEvent("helper-ready", {{"tag", "B"}}));
    post("test.go");
    ASSERT_EQ(a.wait(30), 0) << readFile(outA);
    ASSERT_EQ(b.wait(30), 0) << readFile(outB);

    auto receivedA = lines(readFile(outA)), receivedB = lines(readFile(outB));
    ASSERT_EQ(receivedA.size(), 2u * count);
    // platformd handles posts one at a time: both processes see the very same order.
    EXPECT_EQ(receivedA, receivedB);
    std::map<std::string, int> nextIndex;
    for (const auto& line : receivedA) {
        std::istringstream in(line);
        std::string poster, flagKind, numberKind;
        int index;
        in >> poster >> index >> flagKind >> numberKind;
        EXPECT_EQ(index, nextIndex[poster]++) << "per-poster order broken at " << line;
        EXPECT_EQ(flagKind, "bool") << "a boolean arrived as " << flagKind;
        EXPECT_EQ(numberKind, "number");
    }
    EXPECT_EQ(nextIndex["A"], count);
    EXPECT_EQ(nextIndex["B"], count);
}

TEST_F(PlatformdIntegration, KillingAClientReleasesItsObserversAndItsApplicationEntry) {
    ChildProcess holder;
    ASSERT_TRUE(holder.start({kTestClient, "hold"}, m_platformd->root() + "/hold.out"));
    ASSERT_TRUE(waitEvent("helper-ready", {{"tag", "hold"}}));
    pid_t pid = holder.pid();

    auto before = post("test.held");
    ASSERT_EQ(before.find("receivers")->count(), 1u);
    EXPECT_EQ(before.find("receivers")->at(0)->integerValue(), pid);
    auto apps = ns::NSWorkspace::sharedWorkspace().runningApplicationsWithBundleIdentifier(
        "com.quenby.tests.TestClient");
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0]->processIdentifier(), pid);
    EXPECT_EQ(apps[0]->localizedName(), "Test Client");

    holder.signal(SIGKILL);
    ASSERT_EQ(holder.wait(10), 128 + SIGKILL);
    ASSERT_TRUE(waitEvent("client-gone", {{"pid", static_cast<int64_t>(pid)}}));
    EXPECT_EQ(post("test.held").find("receivers")->count(), 0u);
    EXPECT_TRUE(ns::NSWorkspace::sharedWorkspace()
                    .runningApplicationsWithBundleIdentifier("com.quenby.tests.TestClient")
                    .empty());
}

TEST_F(PlatformdIntegration, FakeApplicationsAreRunningApplicationsUntilTheirOwnerGoes) {
    ChildProcess owner;
    ASSERT_TRUE(owner.start({kTestClient, "fake"}, m_platformd->root() + "/fake.out"));
    const pid_t ownerPid = owner.pid();
    auto ready = waitEvent("helper-ready", {{"tag", "fake"}});
    ASSERT_TRUE(ready);
    ASSERT_TRUE(ready->find("pid"));
    const pid_t pid = pid_t(ready->find("pid")->integerValue());
    auto app = ns::NSRunningApplication::runningApplicationWithProcessIdentifier(pid);
    ASSERT_TRUE(app);
    EXPECT_EQ(app->localizedName(), "Fake Editor");
    EXPECT_EQ(app->bundleIdentifier(), "com.example.FakeEditor");
    EXPECT_FALSE(app->isActive());
    EXPECT_FALSE(ns::NSRunningApplication::runningApplicationWithProcessIdentifier(0));

    // The window server's activation is the registry's: platformctl marks the line, the
    // entry and the workspace say so.
    ASSERT_EQ(cg::CGSActivateApplicationOfPID(pid), cg::kCGErrorSuccess);
    EXPECT_EQ(cg::CGSActiveApplicationPID(), pid);
    EXPECT_TRUE(ns::NSRunningApplication::runningApplicationWithProcessIdentifier(pid)->isActive());
    EXPECT_EQ(ns::NSWorkspace::sharedWorkspace()
                  .activeApplication()
                  .find("NSApplicationProcessIdentifier")
                  ->integerValue(),
              pid);
    auto r = runProgram({PrivatePlatformd::platformctlPath(), "apps"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string line;
    for (const auto& l : lines(r.out))
        if (l.rfind(std::to_string(pid) + "\t", 0) == 0) line = l;
    EXPECT_NE(line.find("Fake Editor"), std::string::npos) << r.out;
    EXPECT_TRUE(line.size() > 7 && line.compare(line.size() - 7, 7, "\tactive") == 0) << r.out;

    owner.signal(SIGKILL);
    ASSERT_EQ(owner.wait(10), 128 + SIGKILL);
    ASSERT_TRUE(waitEvent("client-gone", {{"pid", static_cast<int64_t>(ownerPid)}}));
    EXPECT_FALSE(ns::NSRunningApplication::runningApplicationWithProcessIdentifier(pid));
    EXPECT_EQ(cg::CGSActiveApplicationPID(), 0);
    r = runProgram({PrivatePlatformd::platformctlPath(), "apps"});
    EXPECT_EQ(r.out.find("active"), std::string::npos) << r.out;
}

TEST_F(PlatformdIntegration, SurvivesGarbageAndClientsThatDisconnectInsideAMessage) {
    auto sendRaw = [&](const std::vector<uint8_t>& bytes) {
        ipc::UniqueFd fd = ipc::connectUnix(m_platformd->socketPath());
        ASSERT_TRUE(fd);
        ASSERT_EQ(::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        // The end of our sending ends the connection, inside a message where the bytes promised
        // more; platformd's close of its end (never a reply) says it has dealt with this one.
        ::shutdown(fd.get(), SHUT_WR);
        char byte;
        while (::recv(fd.get(), &byte, 1, 0) > 0) {
        }
    };
    sendRaw({'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n'});
    sendRaw({0xff, 0xff, 0xff, 0x7f});                     // a length far over 16 MiB
    sendRaw({0x10, 0x00, 0x00, 0x00, 'b', 'p', 'l', 'i'}); // 16 promised, 4 sent, gone
    sendRaw({0x04, 0x00, 0x00, 0x00, 1, 2, 3, 4});         // not a property list

    // A well-formed connection still gets answers, and platformd is the same process.
    auto reply = connection()->request(ipc::op::status);
    ASSERT_TRUE(reply.ok) << reply.error.description();
    EXPECT_EQ(reply.result->find("pid")->integerValue(), m_platformd->pid());
    std::string log = m_platformd->logText();
    for (const char* why :
         {"message over 16 MiB", "connection ended inside a message", "not a property list"})
        EXPECT_NE(log.find(why), std::string::npos) << why << " not logged:\n" << log;
}

TEST_F(PlatformdIntegration, LaunchesATestBundleDetachedAndReapsIt) {
    ASSERT_TRUE(ns::NSWorkspace::sharedWorkspace().launchApplication(kTestApp));
    auto launch = waitEvent("launch", {{"bundleIdentifier", "com.quenby.tests.TestClient"}});
    ASSERT_TRUE(launch);
    pid_t pid = static_cast<pid_t>(launch->find("pid")->integerValue());
    ASSERT_TRUE(waitEvent("helper-ready", {{"tag", "launched"}, {"poster.pid", static_cast<int64_t>(pid)}}));
    // Not our child: platformd started it.
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    // launchd is its parent, as it is of everything platformd launches.
    appservices::ProcessSerialNumber psn;
    ASSERT_EQ(appservices::GetProcessForPID(pid, &psn), 0);
    auto info = appservices::ProcessInformationCopyDictionary(
        &psn, appservices::kProcessDictionaryIncludeAllInformationMask);
    ASSERT_TRUE(info);
    EXPECT_TRUE(
        info->find("CFBundleExecutable")->asString()->ends_with("/TestClient.app/Contents/MacOS/TestClient"));
    uint64_t parent = static_cast<uint64_t>(info->find("ParentPSN")->integerValue());
    appservices::ProcessSerialNumber parentPSN{static_cast<uint32_t>(parent >> 32),
                                               static_cast<uint32_t>(parent)};
    auto launchd = appservices::ProcessInformationCopyDictionary(
        &parentPSN, appservices::kProcessDictionaryIncludeAllInformationMask);
    ASSERT_TRUE(launchd);
    EXPECT_EQ(*launchd->find("CFBundleExecutable")->asString(), "/sbin/launchd");
    // This test was started by no process of the table: no parent.
    ASSERT_EQ(appservices::GetProcessForPID(::getpid(), &psn), 0);
    EXPECT_EQ(appservices::ProcessInformationCopyDictionary(&psn, 0)->find("ParentPSN")->integerValue(), 0);
    // A second launch activates the running copy instead of starting another.
    ASSERT_TRUE(ns::NSWorkspace::sharedWorkspace().launchApplication(kTestApp));
    ASSERT_TRUE(waitEvent("activate", {{"pid", static_cast<int64_t>(pid)}}));
    EXPECT_EQ(ns::NSWorkspace::sharedWorkspace().runningApplications().size(), 1u);

    post("test.quit");
    auto exit = waitEvent("exit", {{"pid", static_cast<int64_t>(pid)}});
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->find("status")->integerValue(), 3);
    struct stat st {};
    EXPECT_NE(::stat(("/proc/" + std::to_string(pid)).c_str(), &st), 0) << "the launched app was not reaped";
    EXPECT_TRUE(ns::NSWorkspace::sharedWorkspace().runningApplications().empty());
    std::string log = readFile(m_platformd->root() + "/var/log/TestClient.log");
    EXPECT_NE(log.find("launched with PLATFORM_ROOT=" + m_platformd->root()), std::string::npos) << log;
    EXPECT_NE(log.find("quitting"), std::string::npos);
}

TEST_F(PlatformdIntegration, LoginItemsPersistAcrossARestart) {
    auto list = ls::LSSharedFileListCreate(nullptr, ls::kLSSharedFileListSessionLoginItems, nullptr);
    ASSERT_TRUE(list);
    auto first =
        ls::LSSharedFileListInsertItemURL(list, ls::kLSSharedFileListItemLast, std::nullopt, nullptr,
                                          "file:///Applications/Tessel%20Host.app/", nullptr, nullptr);
    auto second =
        ls::LSSharedFileListInsertItemURL(list, ls::kLSSharedFileListItemLast, std::nullopt, nullptr,
                                          "file:///Applications/Other.app/", nullptr, nullptr);
    ASSERT_TRUE(first && second);
    list.reset();

    ASSERT_TRUE(m_platformd->stop());
    ASSERT_TRUE(m_platformd->start());

    list = ls::LSSharedFileListCreate(nullptr, ls::kLSSharedFileListSessionLoginItems, nullptr);
    ASSERT_TRUE(list);
    auto items = ls::LSSharedFileListCopySnapshot(list, nullptr);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(ls::LSSharedFileListItemGetID(items[0]), ls::LSSharedFileListItemGetID(first));
    EXPECT_EQ(ls::LSSharedFileListItemResolve(items[0], 0), "file:///Applications/Tessel%20Host.app/");
    EXPECT_EQ(ls::LSSharedFileListItemResolve(items[1], 0), "file:///Applications/Other.app/");
    // Ids stay unique after the restart.
    auto third = ls::LSSharedFileListInsertItemURL(list, ls::kLSSharedFileListItemLast, std::nullopt, nullptr,
                                                   "file:///Applications/Third.app/", nullptr, nullptr);
    ASSERT_TRUE(third);
    EXPECT_GT(ls::LSSharedFileListItemGetID(third), ls::LSSharedFileListItemGetID(second));
}

TEST_F(PlatformdIntegration, PlatformctlDrivesTheEventLogAndNotifications) {
    std::string ctl = PrivatePlatformd::platformctlPath();
    auto r =
        runProgram({ctl, "post", "com.quenby.Tessel.TerminateMenuExtra", "--object", "x", "--options", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = runProgram({ctl, "wait-event", "distributed-post", "--match",
                    "name=com.quenby.Tessel.TerminateMenuExtra", "--match", "options=3", "--timeout", "10"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("object=x"), std::string::npos) << r.out;
    r = runProgram({ctl, "wait-event", "launch", "--timeout", "0.2"});
    EXPECT_EQ(r.status, 4);
    r = runProgram({ctl, "login-items", "remove", "file:///nothing.app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no login item"), std::string::npos);
    r = runProgram({ctl, "shutdown"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = runProgram({ctl, "status"});
    EXPECT_EQ(r.status, 3);
    m_platformd->stop();
}

TEST_F(PlatformdIntegration, SigtermStopsPlatformdAndKillsAnAppThatIgnoresIt) {
    // Ignored signals stay ignored across exec: this app shrugs off SIGTERM.
    std::string app = m_platformd->root() + "/Applications/Stubborn.app";
    ASSERT_TRUE(cf::createDirectories(app + "/Contents/MacOS", 0755));
    std::ofstream(app + "/Contents/Info.plist")
        << "<plist><dict><key>CFBundleExecutable</key><string>Stubborn</string></dict></plist>";
    std::string exe = app + "/Contents/MacOS/Stubborn";
    std::ofstream(exe) << "#!/bin/sh\ntrap '' TERM\nexec tail -f /dev/null\n";
    ::chmod(exe.c_str(), 0755);
    auto r = runProgram({PrivatePlatformd::platformctlPath(), "launch", "/Applications/Stubborn.app"});
    ASSERT_EQ(r.status, 0) << r.err;
    pid_t pid = std::stoi(r.out);
    ipc::Connection::resetShared();

    auto started = platform::now();
    ASSERT_TRUE(m_platformd->terminate(15));
    double took = platform::toSeconds(platform::now() - started);
    EXPECT_GE(took, 1.5) << "the grace period was skipped";
    struct stat st {};
    EXPECT_NE(::stat(("/proc/" + std::to_string(pid)).c_str(), &st), 0) << "the app outlived platformd";
    EXPECT_NE(m_platformd->logText().find("platformd stopped"), std::string::npos);
}

TEST(PlatformctlExitCodes, UnreachablePlatformdIsThreeAndUsageErrorsAreTwo) {
    PrivatePlatformd idle; // a root with no platformd on it
    std::string ctl = PrivatePlatformd::platformctlPath();
    auto r = runProgram({ctl, "status"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("unreachable"), std::string::npos) << r.err;
    EXPECT_EQ(runProgram({ctl, "post", "x"}).status, 3);
    EXPECT_EQ(runProgram({ctl}).status, 2);
    EXPECT_EQ(runProgram({ctl, "no-such-verb"}).status, 2);
    EXPECT_EQ(runProgram({ctl, "post"}).status, 2);
    EXPECT_EQ(runProgram({ctl, "observe", "x", "--count", "many"}).status, 2);
    EXPECT_EQ(runProgram({ctl, "wait-event", "x", "--match", "novalue"}).status, 2);
    EXPECT_EQ(runProgram({ctl, "prefs", "write", "d", "k", "bool", "maybe"}).status, 2);
    EXPECT_EQ(runProgram({ctl, "wait-ready", "--timeout", "0.1"}).status, 4);
}

TEST(PlatformdBoot, RefusesARootWhoseSocketPathIsTooLong) {
    PrivatePlatformd root;
    std::string deep = root.root() + "/" + std::string(100, 'r');
    auto r = runProgram({PrivatePlatformd::platformdPath(), "--root", deep});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("under 108 bytes"), std::string::npos) << r.err;
}

} // namespace
