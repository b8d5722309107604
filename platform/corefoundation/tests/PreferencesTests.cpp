#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

using namespace cf;

namespace {

constexpr char kApp[] = "com.quenby.TesselHost2";

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

pid_t startHelper(std::vector<std::string> args) {
    args.insert(args.begin(), PREFS_HELPER_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, PREFS_HELPER_PATH, nullptr, nullptr, argv.data(), environ), 0);
    return pid;
}

int waitHelper(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Preferences : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/cfprefsXXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        m_dir = pattern;
        setenv("HOME", (m_dir + "/home").c_str(), 1);
        setenv("PLATFORM_ROOT", (m_dir + "/root").c_str(), 1);
        ASSERT_TRUE(platform::testing::makeRoot(m_dir + "/root"));
        m_file = m_dir + "/home/Library/Preferences/" + kApp + ".plist";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string m_dir;
    std::string m_file;
};

} // namespace

TEST_F(Preferences, WritesGoThroughToAPrivateXMLFile) {
    EXPECT_FALSE(CFPreferencesCopyAppValue("showInMenuBar", kApp));
    CFPreferencesSetAppValue("showInMenuBar", Value(true), kApp);
    CFPreferencesSetAppValue("currentState", Value(int32_t(2)), kApp);
    EXPECT_EQ(CFPreferencesCopyAppValue("showInMenuBar", kApp), Value(true));
    std::string xml = readText(m_file);
    EXPECT_NE(xml.find("<key>showInMenuBar</key>\n\t<true/>"), std::string::npos) << xml;
    struct stat st {};
    ASSERT_EQ(stat(m_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((m_dir + "/home/Library/Preferences").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    CFPreferencesSetAppValue("currentState", std::nullopt, kApp);
    EXPECT_FALSE(CFPreferencesCopyAppValue("currentState", kApp));
    EXPECT_EQ(readText(m_file).find("currentState"), std::string::npos);
}

TEST_F(Preferences, AWriteTouchesOnlyItsKeyOfTheFreshFile) {
    EXPECT_FALSE(CFPreferencesCopyAppValue("mine", kApp)); // loads the (missing) file into memory
    ASSERT_TRUE(createDirectories(m_dir + "/home/Library/Preferences", 0700));
    ASSERT_TRUE(writePropertyListFile(Value(Dictionary{{"theirs", Value(5)}}), m_file, PropertyListFormat::XML));
    CFPreferencesSetAppValue("mine", Value("x"), kApp);
    // Memory becomes what was written, which includes the other process's key.
    EXPECT_EQ(CFPreferencesCopyAppValue("theirs", kApp), Value(5));
    EXPECT_EQ(readPropertyListFile(m_file)->count(), 2u);
}

TEST_F(Preferences, AnotherProcessesWriteIsSeenOnlyAfterSynchronize) {
    EXPECT_FALSE(CFPreferencesCopyAppValue("RunCount", kApp));
    EXPECT_EQ(waitHelper(startHelper({"set", kApp, "RunCount", "7"})), 0);
    EXPECT_FALSE(CFPreferencesCopyAppValue("RunCount", kApp));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(CFPreferencesCopyAppValue("RunCount", kApp), Value(7));
}

TEST_F(Preferences, ConcurrentWritersOfOneDomainLoseNothing) {
    constexpr int kCount = 60;
    pid_t a = startHelper({"write", kApp, "a", std::to_string(kCount)});
    pid_t b = startHelper({"write", kApp, "b", std::to_string(kCount)});
    std::thread local([] {
        for (int i = 0; i < kCount; ++i) CFPreferencesSetAppValue("c" + std::to_string(i), Value(i), kApp);
    });
    for (int i = 0; i < kCount; ++i) CFPreferencesSetAppValue("d" + std::to_string(i), Value(i), kApp);
    local.join();
    EXPECT_EQ(waitHelper(a), 0);
    EXPECT_EQ(waitHelper(b), 0);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    for (const char* prefix : {"a", "b", "c", "d"})
        for (int i = 0; i < kCount; ++i)
            ASSERT_EQ(CFPreferencesCopyAppValue(prefix + std::to_string(i), kApp), Value(i)) << prefix << i;
    EXPECT_EQ(readPropertyListFile(m_file)->count(), 4u * kCount);
    EXPECT_FALSE(std::filesystem::exists(m_file + ".tmp." + std::to_string(getpid())));
}

TEST_F(Preferences, UnreadableFileReadsEmptyAndIsRenamedBadBeforeTheFirstWrite) {
    writeText(m_file, "this is not a property list");
    platform::LogCapture capture(true);
    EXPECT_FALSE(CFPreferencesCopyAppValue("k", kApp));
    EXPECT_FALSE(CFPreferencesCopyAppValue("k", kApp));
    EXPECT_FALSE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(capture.count("is unreadable"), 1u);
    EXPECT_TRUE(std::filesystem::exists(m_file));
    CFPreferencesSetAppValue("k", Value(1), kApp);
    EXPECT_EQ(readText(m_file + ".bad"), "this is not a property list");
    EXPECT_EQ(readPropertyListFile(m_file)->description(), "{ k = 1; }");
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));

    // A plist that is not a dictionary is unreadable too.
    std::string other = m_dir + "/home/Library/Preferences/other.plist";
    ASSERT_TRUE(writePropertyListFile(Value(Array{Value(1)}), other, PropertyListFormat::XML));
    EXPECT_FALSE(CFPreferencesSynchronize("other", kCFPreferencesCurrentUser, kCFPreferencesAnyHost));
}

TEST_F(Preferences, SynchronizeRereadsOnlyWhenTheFileChanged) {
    CFPreferencesSetAppValue("k", Value("aaaa"), kApp);
    struct stat before {};
    ASSERT_EQ(stat(m_file.c_str(), &before), 0);
    // Same inode, same size, same mtime: not reparsed, even though the bytes differ.
    std::string xml = readText(m_file);
    xml.replace(xml.find("aaaa"), 4, "bbbb");
    { std::ofstream(m_file, std::ios::binary | std::ios::in) << xml; }
    timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, m_file.c_str(), times, 0), 0);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(CFPreferencesCopyAppValue("k", kApp), Value("aaaa"));
    // A new file (new inode) is.
    ASSERT_TRUE(writePropertyListFile(Value(Dictionary{{"k", Value("cccc")}}), m_file, PropertyListFormat::XML));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(CFPreferencesCopyAppValue("k", kApp), Value("cccc"));
    std::filesystem::remove(m_file);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_FALSE(CFPreferencesCopyAppValue("k", kApp));
}

TEST_F(Preferences, ByHostAndAnyUserFilesFollowTheTable) {
    EXPECT_TRUE(CFPreferencesSynchronize(kApp, kCFPreferencesCurrentUser, kCFPreferencesCurrentHost));
    EXPECT_TRUE(CFPreferencesSynchronize("com.apple.windowserver", kCFPreferencesAnyUser, kCFPreferencesCurrentHost));
    EXPECT_EQ(platform::preferencesFilePath(kApp, kCFPreferencesCurrentUser, kCFPreferencesCurrentHost),
              m_dir + "/home/Library/Preferences/ByHost/" + kApp + ".00000000-0000-4000-8000-000000000001.plist");
    CFPreferencesSetValue("DisplayResolutionEnabled", Value(true), "com.apple.windowserver", kCFPreferencesAnyUser,
                          kCFPreferencesCurrentHost);
    EXPECT_TRUE(std::filesystem::exists(m_dir + "/root/Library/Preferences/ByHost/com.apple.windowserver."
                                                "00000000-0000-4000-8000-000000000001.plist"));
    EXPECT_EQ(CFPreferencesCopyValue("DisplayResolutionEnabled", "com.apple.windowserver", kCFPreferencesAnyUser,
                                     kCFPreferencesCurrentHost),
              Value(true));
    EXPECT_FALSE(CFPreferencesCopyValue("DisplayResolutionEnabled", "com.apple.windowserver",
                                        kCFPreferencesCurrentUser, kCFPreferencesCurrentHost));
    EXPECT_EQ(platform::preferencesFilePath(NSGlobalDomain, kCFPreferencesAnyUser, kCFPreferencesAnyHost),
              m_dir + "/root/Library/Preferences/.GlobalPreferences.plist");
    // Names that cannot be file names touch nothing.
    platform::LogCapture capture(true);
    CFPreferencesSetAppValue("k", Value(1), "../escape");
    EXPECT_FALSE(CFPreferencesCopyAppValue("k", "../escape"));
    EXPECT_FALSE(std::filesystem::exists(m_dir + "/home/Library/escape.plist"));
}

TEST_F(Preferences, AppValuesFallBackToTheGlobalDomains) {
    CFPreferencesSetValue("com.apple.swipescrolldirection", Value(false), kCFPreferencesAnyApplication,
                          kCFPreferencesAnyUser, kCFPreferencesAnyHost);
    CFPreferencesSetValue("com.apple.mouse.doubleClickThreshold", Value(0.5), NSGlobalDomain,
                          kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    EXPECT_EQ(CFPreferencesCopyAppValue("com.apple.swipescrolldirection", kApp), Value(false));
    EXPECT_EQ(CFPreferencesCopyAppValue("com.apple.mouse.doubleClickThreshold", kApp), Value(0.5));
    CFPreferencesSetAppValue("com.apple.swipescrolldirection", Value(true), kApp);
    EXPECT_EQ(CFPreferencesCopyAppValue("com.apple.swipescrolldirection", kApp), Value(true));
    EXPECT_EQ(CFPreferencesCopyAppValue("com.apple.swipescrolldirection", kCFPreferencesAnyApplication), Value(false));
}

TEST_F(Preferences, BooleanAndIntegerGettersReportValidity) {
    struct Case {
        Value value;
        bool result;
        bool valid;
    };
    for (const Case& c : {Case{Value(true), true, true}, Case{Value(2), true, true}, Case{Value(0.0), false, true},
                          Case{Value("yes"), true, true}, Case{Value("TRUE"), true, true},
                          Case{Value("False"), false, true}, Case{Value("no"), false, true},
                          Case{Value("1"), false, false}, Case{Value::data("x", 1), false, false}}) {
        CFPreferencesSetAppValue("b", c.value, kApp);
        bool valid = !c.valid;
        EXPECT_EQ(CFPreferencesGetAppBooleanValue("b", kApp, &valid), c.result) << c.value.description();
        EXPECT_EQ(valid, c.valid) << c.value.description();
    }
    bool valid = true;
    EXPECT_FALSE(CFPreferencesGetAppBooleanValue("absent", kApp, &valid));
    EXPECT_FALSE(valid);
    EXPECT_FALSE(CFPreferencesGetAppBooleanValue("absent", kApp, nullptr));

    CFPreferencesSetAppValue("i", Value(3.9), kApp);
    EXPECT_EQ(CFPreferencesGetAppIntegerValue("i", kApp, &valid), 3);
    EXPECT_TRUE(valid);
    CFPreferencesSetAppValue("i", Value(" 12 "), kApp);
    EXPECT_EQ(CFPreferencesGetAppIntegerValue("i", kApp, &valid), 12);
    EXPECT_TRUE(valid);
    CFPreferencesSetAppValue("i", Value("12abc"), kApp);
    EXPECT_EQ(CFPreferencesGetAppIntegerValue("i", kApp, &valid), 0);
    EXPECT_FALSE(valid);
}

TEST_F(Preferences, UserDefaultsShareTheCachesAndAskTheRegistrationDomainLast) {
    platform::setCurrentApplicationDomain("com.quenby.TesselHelper");
    auto defaults = ns::NSUserDefaults::standardUserDefaults();
    EXPECT_EQ(defaults->domain(), "com.quenby.TesselHelper");
    defaults->registerDefaults({{"VerboseLogging", Value(true)}, {"RunCount", Value(1)}});
    EXPECT_TRUE(defaults->boolForKey("VerboseLogging"));
    EXPECT_EQ(defaults->integerForKey("RunCount"), 1);
    defaults->setInteger(5, "RunCount");
    EXPECT_EQ(CFPreferencesCopyAppValue("RunCount", "com.quenby.TesselHelper"), Value(5));
    CFPreferencesSetAppValue("VerboseLogging", Value("NO"), "com.quenby.TesselHelper");
    EXPECT_FALSE(defaults->boolForKey("VerboseLogging")); // text by boolValue
    defaults->setObject(Value(" 42abc"), "n");
    EXPECT_EQ(defaults->integerForKey("n"), 42);
    EXPECT_EQ(defaults->stringForKey("n"), " 42abc");
    EXPECT_EQ(defaults->stringForKey("RunCount"), "5");
    defaults->setBool(true, "flag");
    EXPECT_FALSE(defaults->stringForKey("flag")); // a boolean is neither text nor number
    defaults->removeObjectForKey("RunCount");
    EXPECT_EQ(defaults->integerForKey("RunCount"), 1); // the registration domain again
    EXPECT_TRUE(defaults->synchronize());
    platform::setCurrentApplicationDomain("other.app");
    EXPECT_EQ(ns::NSUserDefaults::standardUserDefaults()->domain(), "other.app");
    EXPECT_EQ(ns::NSUserDefaults("com.quenby.TesselHelper").integerForKey("n"), 42);
}
