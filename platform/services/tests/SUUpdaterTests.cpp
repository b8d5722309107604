// The updater without platformd: the feed check against the bundle's version, the in-process
// answers, and hostile feeds. Delegate calls wait for the main run loop.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/dispatch/Testing.h"
#include "platform/foundation/NSBundle.h"
#include "platform/ipc/Connection.h"
#include "platform/services/SUUpdater.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace ns;

struct Calls : SUUpdaterDelegate {
    std::vector<std::string> lines;
    void didFindValidUpdate(const std::shared_ptr<SUUpdater>&, const SUAppcastItem& item) override {
        lines.push_back("found " + item.versionString + " " + item.displayVersionString);
    }
    void updaterDidNotFindUpdate(const std::shared_ptr<SUUpdater>&) override { lines.push_back("uptodate"); }
    void willInstallUpdate(const std::shared_ptr<SUUpdater>&, const SUAppcastItem& item) override {
        lines.push_back("install " + item.displayVersionString);
    }
};

class SUUpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        ::unsetenv("PLATFORM_ROOT");
        ipc::Connection::resetShared();
        char pattern[] = "/tmp/suu.XXXXXX";
        m_dir = ::mkdtemp(pattern);
        m_calls = std::make_shared<Calls>();
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // An updater for a bundle of its own (one per test) whose feed is the file given.
    std::shared_ptr<SUUpdater> updater(const std::string& version, const std::string& feedURL) {
        const std::string path = m_dir + "/" + std::to_string(++m_count) + ".app";
        cf::Dictionary info{{"CFBundleVersion", cf::Value(version)}, {"SUFeedURL", cf::Value(feedURL)}};
        auto u = SUUpdater::updaterForBundle(
            std::make_shared<NSBundle>(path, path + "/Contents", cf::Value(info)));
        u->setDelegate(m_calls);
        return u;
    }
    std::string feed(const cf::Value& value) {
        const std::string path = m_dir + "/Appcast" + std::to_string(++m_count) + ".plist";
        EXPECT_TRUE(cf::writePropertyListFile(value, path, cf::PropertyListFormat::XML));
        return "file://" + path;
    }
    static cf::Value item(cf::Value version, std::optional<std::string> display = std::nullopt) {
        cf::Dictionary d{{"version", std::move(version)}};
        if (display) d.insert_or_assign("displayVersionString", *display);
        return cf::Value(std::move(d));
    }

    std::string m_dir;
    int m_count = 0;
    std::shared_ptr<Calls> m_calls;
};

TEST_F(SUUpdaterTest, AVersionAboveTheBundlesIsFoundAndNothingElseCounts) {
    auto url = feed(cf::Array{item("1"), item("1.0.1", "1.0.1 beta"), item("x"), item("-1"),
                              item(std::string(20, '9')), item(cf::Value(2)), item("0.9", "old")});
    auto u = updater("1", url);
    EXPECT_EQ(SUUpdater::updaterForBundle(
                  std::make_shared<NSBundle>(u->bundlePath(), "", cf::Value::emptyDictionary())),
              u)
        << "one updater per bundle path";
    u->checkForUpdates();
    EXPECT_TRUE(m_calls->lines.empty()); // only once the main run loop runs
    dispatch::runUntilIdle();
    EXPECT_EQ(m_calls->lines, (std::vector<std::string>{"found 1.0.1 1.0.1 beta"}));

    updater("1.0.1", url)->checkForUpdates();
    dispatch::runUntilIdle();
    EXPECT_EQ(m_calls->lines.back(), "uptodate");
}

TEST_F(SUUpdaterTest, VersionsCompareNumberByNumber) {
    EXPECT_EQ(SUUpdater::compareVersions("1.10", "1.9"), 1);
    EXPECT_EQ(SUUpdater::compareVersions("1", "1.0.0"), 0);
    EXPECT_EQ(SUUpdater::compareVersions("2.0", "10"), -1);
    EXPECT_FALSE(SUUpdater::compareVersions("1..2", "1"));
    EXPECT_FALSE(SUUpdater::compareVersions("", "1"));
    EXPECT_FALSE(SUUpdater::compareVersions("1.x", "1"));
    EXPECT_FALSE(SUUpdater::compareVersions(std::string(19, '1'), "1"));
}

TEST_F(SUUpdaterTest, AnUnreadableFeedIsLoggedAndCallsNothing) {
    platform::LogCapture log(true);
    const std::string garbage = m_dir + "/garbage.plist";
    FILE* f = std::fopen(garbage.c_str(), "w");
    std::fputs("not a plist <<<", f);
    std::fclose(f);
    for (const std::string& url : {std::string("file://") + m_dir + "/missing.plist", "file://" + garbage,
                                   feed(cf::Dictionary{{"version", cf::Value("9")}}),
                                   std::string("https://x.invalid/a"), std::string()}) {
        updater("1", url)->checkForUpdates();
    }
    dispatch::runUntilIdle();
    EXPECT_TRUE(m_calls->lines.empty());
    EXPECT_EQ(log.count("SUUpdater: cannot read the update feed"), 5u);
}

TEST_F(SUUpdaterTest, ACheckShowsItsResultAfterTheDelegateHeardAndAnswersShowNothing) {
    std::vector<SUUpdateCheckResult> shown;
    SUUpdater::setUserDriver([&](const SUUpdateCheckResult& r) {
        shown.push_back(r);
        EXPECT_FALSE(m_calls->lines.empty() && r.error.empty()) << "the window follows the delegate's call";
    });
    auto url = feed(cf::Array{item("3", "2.1")});
    auto u = updater("2", url);
    u->checkForUpdates();
    EXPECT_TRUE(shown.empty()) << "only once the main run loop runs";
    dispatch::runUntilIdle();
    ASSERT_EQ(shown.size(), 1u);
    ASSERT_TRUE(shown[0].update);
    EXPECT_EQ(shown[0].update->displayVersionString, "2.1");
    EXPECT_EQ(shown[0].currentVersion, "2") << "no short version: the bundle version";
    EXPECT_TRUE(shown[0].error.empty());

    updater("3", url)->checkForUpdates();
    updater("1", "file://" + m_dir + "/missing.plist")->checkForUpdates();
    SUUpdater::answer("found", "9"); // from outside: the delegate hears, no window
    dispatch::runUntilIdle();
    SUUpdater::setUserDriver(nullptr);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_FALSE(shown[1].update);
    EXPECT_TRUE(shown[1].error.empty());
    EXPECT_FALSE(shown[2].error.empty());
}

TEST_F(SUUpdaterTest, TheFeedIsReadInsideTheStandInRoot) {
    const std::string root = m_dir + "/root";
    std::filesystem::create_directories(root + "/Library/Application Support/Quenby/Tessel");
    ASSERT_TRUE(cf::writePropertyListFile(cf::Value(cf::Array{item("2", "2.0")}),
                                          root + "/Library/Application Support/Quenby/Tessel/Appcast.plist",
                                          cf::PropertyListFormat::XML));
    ::setenv("PLATFORM_ROOT", root.c_str(), 1);
    updater("1", "file:///Library/Application%20Support/Quenby/Tessel/Appcast.plist")->checkForUpdates();
    dispatch::runUntilIdle();
    ::unsetenv("PLATFORM_ROOT");
    ipc::Connection::resetShared();
    EXPECT_EQ(m_calls->lines, (std::vector<std::string>{"found 2 2.0"}));
}

TEST_F(SUUpdaterTest, AnswersReachEveryUpdatersDelegateOnTheMainRunLoop) {
    auto u = updater("1", "");
    u->setUpdateCheckInterval(3600);
    u->setAutomaticallyChecksForUpdates(true);
    EXPECT_EQ(u->updateCheckInterval(), 3600);
    EXPECT_TRUE(u->automaticallyChecksForUpdates());
    EXPECT_GE(SUUpdater::answer("found", "2.0"), 1u);
    EXPECT_GE(SUUpdater::answer("install", "2.0"), 1u);
    EXPECT_GE(SUUpdater::answer("uptodate"), 1u);
    EXPECT_EQ(SUUpdater::answer("bogus"), 0u);
    dispatch::runUntilIdle();
    // Every updater of this process shares the one delegate here, so each answer shows once per updater.
    ASSERT_FALSE(m_calls->lines.empty());
    EXPECT_EQ(m_calls->lines.front(), "found 2.0 2.0");
    EXPECT_NE(std::find(m_calls->lines.begin(), m_calls->lines.end(), "install 2.0"), m_calls->lines.end());
    EXPECT_EQ(m_calls->lines.back(), "uptodate");
}

} // namespace
