// platformctl's parsing and verbs, run in-process against a platformd booted in the test.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/ctl/Platformctl.h"
#include "platform/ctl/tests/PlatformctlFixture.h"
#include "platform/daemon/Platformd.h"
#include "platform/daemon/testing/PrivatePlatformd.h"

#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define TESSEL_TESTS_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSEL_TESTS_UNDER_ASAN 1
#endif
#endif
#ifdef TESSEL_TESTS_UNDER_ASAN
// A verb's handlers stay on its connection after the verb returns and run when it closes: one
// that still reached into the verb's finished frame must show as a fault, not pass silently.
extern "C" const char* __asan_default_options() {
    return "detect_stack_use_after_return=1";
}
#endif

namespace {

using ctl::Arguments;
using ctl::OptionInfo;

TEST(Arguments, SplitsWordsAndOptionsAndRefusesWhatAVerbDoesNotTake) {
    std::vector<OptionInfo> option{{"timeout"}, {"match", true, true}, {"follow", false}};
    std::string error;
    auto a = Arguments::parse(
        {"kind", "--match", "a=1", "--timeout=2.5", "--follow", "--match", "b=2", "--", "--x"}, option,
        error);
    ASSERT_TRUE(a) << error;
    EXPECT_EQ(a->positionals(), (std::vector<std::string>{"kind", "--x"}));
    EXPECT_EQ(a->values("match"), (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_EQ(a->seconds("timeout", error), 2.5);
    EXPECT_TRUE(a->has("follow"));
    EXPECT_FALSE(Arguments::parse({"--nope"}, option, error));
    EXPECT_EQ(error, "unknown option --nope");
    EXPECT_FALSE(Arguments::parse({"--timeout"}, option, error));
    EXPECT_FALSE(Arguments::parse({"--timeout", "1", "--timeout", "2"}, option, error));
    EXPECT_FALSE(Arguments::parse({"--follow=yes"}, option, error));
    auto bad = Arguments::parse({"--timeout", "soon"}, option, error);
    ASSERT_TRUE(bad);
    error.clear();
    EXPECT_FALSE(bad->seconds("timeout", error));
    EXPECT_FALSE(error.empty());
}

TEST(Arguments, NumbersAreWholeTextsOnly) {
    EXPECT_EQ(ctl::parseInteger("-12"), -12);
    EXPECT_FALSE(ctl::parseInteger("12abc"));
    EXPECT_FALSE(ctl::parseInteger(""));
    EXPECT_FALSE(ctl::parseInteger("99999999999999999999"));
    EXPECT_EQ(ctl::parseReal("1e3"), 1000.0);
    EXPECT_FALSE(ctl::parseReal("inf"));
    EXPECT_FALSE(ctl::parseReal("0x10"));
    EXPECT_FALSE(ctl::parseReal("1.5s"));
}

TEST(PlatformctlHelp, HelpAndDashDashHelpPrintTheUsageAndSucceedWithoutARoot) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--help"}, {"help"}, {"-h"}}) {
        std::ostringstream out, err;
        ::unsetenv("PLATFORM_ROOT");
        EXPECT_EQ(ctl::Platformctl(out, err).run(args), 0) << args[0];
        EXPECT_EQ(out.str().rfind("usage: platformctl", 0), 0u) << out.str();
        EXPECT_NE(out.str().find("launch <path.app>"), std::string::npos);
        EXPECT_NE(out.str().find("launch an application bundle"), std::string::npos) << "a meaning per verb";
        EXPECT_NE(out.str().find("Event kinds: "), std::string::npos);
        EXPECT_NE(out.str().find("wait-event <kind>"), std::string::npos);
        EXPECT_EQ(err.str(), "");
    }
    std::ostringstream out, err;
    EXPECT_EQ(ctl::Platformctl(out, err).run({"frobnicate"}), 2);
}

TEST(EventLines, PrintFieldsSortedWithThePosterFlattened) {
    cf::Value entry =
        cf::Dictionary{{"sequence", 12}, {"time", 3.5},  {"kind", "distributed-post"},
                       {"name", "n"},    {"flag", true}, {"poster", cf::Dictionary{{"pid", 7}}}};
    EXPECT_EQ(ctl::eventLine(entry), "12 distributed-post flag=YES name=n poster.pid=7");
    EXPECT_EQ(ctl::plainText(cf::Value(2.5)), "2.5");
    EXPECT_EQ(ctl::plainText(cf::Value(false)), "NO");
}

TEST_F(PlatformctlVerbs, PostsWithAUserInfoFileAndFindsThePostInTheLog) {
    std::string file = m_root + "/info.plist";
    cf::writePropertyListFile(cf::Dictionary{{"disableDisplay", true}}, file, cf::PropertyListFormat::XML);
    ASSERT_EQ(run({"post", "com.quenby.Tessel.TerminateScreenServer", "--userinfo", file, "--options", "1"}),
              0)
        << m_err.str();
    ASSERT_EQ(
        run({"wait-event", "distributed-post", "--match", "userInfo.disableDisplay=true", "--timeout", "5"}),
        0)
        << m_err.str();
    EXPECT_NE(m_out.str().find("name=com.quenby.Tessel.TerminateScreenServer"), std::string::npos)
        << m_out.str();
    ASSERT_EQ(run({"events", "--kind", "distributed-post"}), 0);
    EXPECT_NE(m_out.str().find("options=1"), std::string::npos);

    std::ofstream(m_root + "/bad.plist") << "[1, 2]";
    EXPECT_EQ(run({"post", "n", "--userinfo", m_root + "/bad.plist"}), 1);
    EXPECT_EQ(run({"post", "n", "--userinfo", m_root + "/missing.plist"}), 1);
    EXPECT_EQ(run({"post", "n", "--options", "three"}), 2);
}

TEST_F(PlatformctlVerbs, EditsLoginItemsAndReportsTheRegistry) {
    ASSERT_EQ(run({"login-items", "add", "file:///Applications/A.app/", "--user", "alice"}), 0)
        << m_err.str();
    ASSERT_EQ(run({"login-items", "list", "--user", "alice"}), 0);
    EXPECT_EQ(m_out.str(), "1\tfile:///Applications/A.app/\n");
    EXPECT_EQ(run({"login-items", "remove", "file:///Applications/A.app/", "--user", "alice"}), 0);
    EXPECT_EQ(run({"login-items", "remove", "file:///Applications/A.app/", "--user", "alice"}), 1);
    EXPECT_EQ(run({"login-items", "add", "file:///x", "--user", "../root"}), 1);
    EXPECT_EQ(run({"login-items", "frobnicate"}), 2);
    EXPECT_EQ(run({"launch", "/Applications/None.app"}), 1);
    EXPECT_EQ(m_err.str(),
              "platformctl: " + m_root +
                  "/Applications/None.app: no such application bundle (No such file or directory)\n");
    EXPECT_EQ(run({"apps"}), 0);
    EXPECT_EQ(m_out.str(), "");
    EXPECT_EQ(run({"kext", "list"}), 0);
    EXPECT_EQ(run({"auth", "deny"}), 0);
    EXPECT_EQ(run({"auth", "perhaps"}), 2);
    ASSERT_EQ(run({"status"}), 0);
    EXPECT_NE(m_out.str().find("ProductVersion = 10.12.6"), std::string::npos);
}

TEST_F(PlatformctlVerbs, ObserveTimesOutWithFourAndWaitReadyAnswersAtOnce) {
    EXPECT_EQ(run({"wait-ready", "--timeout", "5"}), 0);
    EXPECT_EQ(run({"observe", "nothing.comes", "--count", "1", "--timeout", "0.05"}), 4);
    EXPECT_EQ(run({"wait-event", "logout-requested", "--timeout", "0.05"}), 4);
}

// An unknown kind would wait out its time-out: it is refused at once, naming the kinds.
TEST_F(PlatformctlVerbs, UnknownEventKindsExitTwoNamingTheKnownOnes) {
    EXPECT_EQ(run({"wait-event", "never", "--timeout", "30"}), 2);
    EXPECT_NE(m_err.str().find("no event kind \"never\""), std::string::npos) << m_err.str();
    EXPECT_NE(m_err.str().find("distributed-post"), std::string::npos);
    EXPECT_NE(m_err.str().find("see 'platformctl help'"), std::string::npos);
    EXPECT_EQ(m_err.str().find("usage:"), std::string::npos) << "one line, not the whole usage";
    EXPECT_EQ(run({"events", "--kind", "nope"}), 2);
    EXPECT_NE(m_err.str().find("hid-event"), std::string::npos);
}

TEST_F(PlatformctlVerbs, ObservePrintsWhatArrivesAndItsConnectionClosesCleanlyAfterwards) {
    std::ostringstream out, err;
    std::atomic<int> code{-1};
    std::thread observer([&] {
        ctl::Platformctl ctl(out, err);
        code = ctl.run({"--root", m_root, "observe", "test.note", "--count", "1", "--timeout", "20"});
        // The Platformctl goes here, closing its connection: its handlers run after observe returned.
    });
    // The observer registers at a moment of its own: post until it has seen one.
    auto deadline = platform::now() + platform::seconds(20);
    while (code.load() < 0 && platform::now() < deadline)
        ASSERT_EQ(run({"post", "test.note", "--object", "x"}), 0) << m_err.str();
    observer.join();
    EXPECT_EQ(code.load(), 0) << err.str();
    EXPECT_EQ(out.str(), "test.note object=x\n");
}

TEST_F(PlatformctlVerbs, PrefsWorkThroughTheFacadeWithoutPlatformd) {
    m_daemon.reset(); // prefs need no platformd
    ASSERT_EQ(run({"prefs", "write", "com.quenby.TesselHost2", "RunCount", "int", "3"}), 0) << m_err.str();
    ASSERT_EQ(run({"prefs", "write", "com.quenby.TesselHost2", "Verbose", "bool", "YES"}), 0);
    ASSERT_EQ(run({"prefs", "read", "com.quenby.TesselHost2", "RunCount"}), 0);
    EXPECT_EQ(m_out.str(), "3\n");
    ASSERT_EQ(run({"prefs", "read", "com.quenby.TesselHost2"}), 0);
    EXPECT_EQ(m_out.str(), "RunCount = 3\nVerbose = YES\n");
    ASSERT_EQ(run({"prefs", "delete", "com.quenby.TesselHost2", "RunCount"}), 0);
    EXPECT_EQ(run({"prefs", "read", "com.quenby.TesselHost2", "RunCount"}), 1);
    ASSERT_EQ(run({"prefs", "write", "com.apple.windowserver", "DisplayResolutionEnabled", "bool", "YES",
                   "--any-user", "--current-host"}),
              0);
    struct stat st {};
    EXPECT_EQ(::stat((m_root + "/Library/Preferences/ByHost").c_str(), &st), 0);
    EXPECT_EQ(run({"prefs", "read", "../escape", "k"}), 1);
    EXPECT_EQ(run({"prefs", "write", "d", "k", "float", "nan"}), 2);
    EXPECT_EQ(run({"status"}), 3);
}

TEST_F(PlatformctlVerbs, ListsAndPrintsProgramLogs) {
    std::ofstream(m_root + "/var/log/TesselHelper.log") << "line one\n";
    ASSERT_EQ(run({"logs"}), 0);
    EXPECT_NE(m_out.str().find("TesselHelper\n"), std::string::npos);
    ASSERT_EQ(run({"logs", "TesselHelper"}), 0);
    EXPECT_EQ(m_out.str(), "line one\n");
    EXPECT_EQ(run({"logs", "Nobody"}), 1);
    EXPECT_EQ(run({"logs", "../../etc/passwd"}), 2);
}

TEST_F(PlatformctlVerbs, ShutdownWaitsForPlatformdToStop) {
    // What the platformd program's main does with a shutdown request.
    std::thread main([&] {
        pollfd p{m_daemon->shutdownRequestFd(), POLLIN, 0};
        while (::poll(&p, 1, -1) <= 0) {
        }
        m_daemon->shutdown();
    });
    platform::LogCapture log(true);
    EXPECT_EQ(run({"shutdown"}), 0) << m_err.str();
    EXPECT_EQ(m_out.str(), "") << "shutdown prints nothing when it has stopped";
    EXPECT_EQ(m_err.str(), "") << "the connection ending is the shutdown, not a fault";
    EXPECT_FALSE(log.contains("platformd connection lost")) << "nor logged as one";
    main.join();
    EXPECT_EQ(run({"status"}), 3);
}

} // namespace

namespace {

// Scripts and people read what a verb changed from its one line; a verb that only reads prints
// what it read, and shutdown prints nothing. (The window server's verbs: CoreGraphicsIntegration.)
TEST_F(PlatformctlVerbs, VerbsThatChangeStatePrintOneLineSayingWhatChanged) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> verbs = {
        {{"post", "test.note"}, "posted test.note"},
        {{"auth", "deny"}, "the next authorization prompt is answered: deny"},
        {{"prefs", "write", "com.quenby.TesselHost2", "RunCount", "int", "3"},
         "com.quenby.TesselHost2: RunCount = 3"},
        {{"prefs", "delete", "com.quenby.TesselHost2", "RunCount"},
         "com.quenby.TesselHost2: RunCount deleted"},
        {{"bonjour", "add", "Alpha", "--type", "_t._tcp", "--port", "1", "--and", "Beta"},
         "published Alpha, Beta"},
        {{"bonjour", "txt", "Alpha", "a=b"}, "TXT record of Alpha set"},
        {{"bonjour", "resolve-delay", "Alpha", "0.5"}, "resolving Alpha answers after 0.5 s"},
        {{"bonjour", "fail-resolve", "Alpha"}, "resolving Alpha fails"},
        {{"bonjour", "remove", "Alpha", "Beta"}, "removed Alpha, Beta"},
        {{"login-items", "add", "file:///Applications/A.app/", "--user", "alice"}, "1"},
        {{"login-items", "remove", "file:///Applications/A.app/", "--user", "alice"},
         "removed login item file:///Applications/A.app/"},
    };
    for (const auto& [args, line] : verbs) {
        ASSERT_EQ(run(args), 0) << args[0] << ": " << m_err.str();
        EXPECT_EQ(m_out.str(), line + "\n") << args[0];
    }
    // A refusal says why on stderr and prints nothing on stdout.
    EXPECT_EQ(run({"bonjour", "remove", "Alpha"}), 1);
    EXPECT_EQ(m_out.str(), "");
    EXPECT_NE(m_err.str(), "");
}

} // namespace
